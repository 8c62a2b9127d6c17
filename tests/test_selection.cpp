// Port and baud-rate selection: how a typed port number is read, and what choosing,
// typing and ticking store in the window's state.
#include "frmmain.h"
#include "portnumber.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <memory>

class TestSelection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void portNumber_data();
    void portNumber();
    void typedPort_data();
    void typedPort();
    void choosePort_data();
    void choosePort();
    void chooseBaudrate_data();
    void chooseBaudrate();
    void remoteBox_data();
    void remoteBox();

private:
    // Leaves traces of an "update" so that a test can see the handlers clear them.
    void dirtyStatus();
    void expectStatusReset();

    QTemporaryDir m_runtime;
    QTemporaryDir m_config;
    std::unique_ptr<frmMain> m_window;
    QComboBox *m_port = nullptr;
    QComboBox *m_baud = nullptr;
};

void TestSelection::initTestCase() {
    QVERIFY(m_runtime.isValid() && m_config.isValid());
    qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
}

void TestSelection::init() {
    m_window = std::make_unique<frmMain>();
    QVERIFY(m_window->Form_Load());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    m_port = m_window->findChild<QComboBox *>(QStringLiteral("cboComPort"));
    m_baud = m_window->findChild<QComboBox *>(QStringLiteral("cboBaudrate"));
    QVERIFY(m_port && m_baud);
}

void TestSelection::cleanup() {
    if (m_port)
        m_port->hidePopup();
    m_window.reset();
}

void TestSelection::dirtyStatus() {
    m_window->setProgressMax(1920.0f);
    m_window->setProgressValue(700.5f);
    for (int panel = 1; panel <= 4; ++panel)
        m_window->setPanelText(panel, QStringLiteral("left over %1").arg(panel));
}

void TestSelection::expectStatusReset() {
    QCOMPARE(m_window->progressValue(), 0.0f);
    QCOMPARE(m_window->panelText(1), QStringLiteral("For Help press F1"));
    for (int panel = 2; panel <= 4; ++panel)
        QCOMPARE(m_window->panelText(panel), QString());
}

void TestSelection::portNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");

    QTest::newRow("one digit") << "7" << 7;
    QTest::newRow("two digits") << "15" << 15;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("letter") << "C" << 0;
    QTest::newRow("COM5 in full") << "COM5" << 5;
    QTest::newRow("port name, lower case") << "com7" << 7;
    QTest::newRow("port name with blanks") << " Com 1 2" << 12;
    QTest::newRow("port name, leading zero") << "COM07" << 7;
    QTest::newRow("port name without digits") << "COM" << 0;
    QTest::newRow("port name, then letters") << "COM5x" << 0;
    QTest::newRow("port name with a sign") << "COM-5" << 0;
    QTest::newRow("port name, number first") << "5COM" << 5;
    QTest::newRow("another name") << "LPT1" << 0;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("leading blank") << " 3" << 3;
    QTest::newRow("leading tab") << "\t5" << 5;
    QTest::newRow("blank inside the number") << "1 2" << 12;
    QTest::newRow("digits then letters") << "9x" << 9;
    QTest::newRow("plus sign") << "+4" << 4;
    QTest::newRow("minus sign") << "-1" << -1;
    QTest::newRow("two signs") << "--1" << 0;
    QTest::newRow("sign alone") << "-" << 0;
    QTest::newRow("point alone") << "." << 0;
    QTest::newRow("trailing point") << "2." << 2;
    QTest::newRow("half below even") << "2.5" << 2;
    QTest::newRow("half above odd") << "3.5" << 4;
    QTest::newRow("half of nothing") << ".5" << 0;
    QTest::newRow("one and a half") << "1.5" << 2;
    QTest::newRow("negative half") << "-2.5" << -2;
    QTest::newRow("just below a half") << "2.4999" << 2;
    QTest::newRow("just above a half") << "2.5001" << 3;
    QTest::newRow("second point ends it") << "1.2.9" << 1;
    QTest::newRow("exponent") << "1e1" << 10;
    QTest::newRow("exponent upper case") << "12E-1" << 1;
    QTest::newRow("exponent D") << "2d1" << 20;
    QTest::newRow("exponent with plus") << "1e+2" << 100;
    QTest::newRow("exponent without digits") << "7e" << 7;
    QTest::newRow("exponent sign without digits") << "7e-" << 7;
    QTest::newRow("e without mantissa") << "e5" << 0;
    QTest::newRow("above 16 bits") << "40000" << int(std::numeric_limits<qint16>::max());
    QTest::newRow("below 16 bits") << "-40000" << int(std::numeric_limits<qint16>::min());
    QTest::newRow("huge exponent") << "1e999" << int(std::numeric_limits<qint16>::max());
    QTest::newRow("huge negative") << "-1e999" << int(std::numeric_limits<qint16>::min());
    QTest::newRow("tiny") << "1e-999" << 0;
    QTest::newRow("edge of 16 bits") << "32767" << 32767;
    QTest::newRow("rounds past the edge") << "32767.6" << 32767;
    QTest::newRow("non-ASCII digits") << QString::fromUtf8("\u0661\u0662") << 0;
    QTest::newRow("full-width digit") << QString::fromUtf8("\uff17") << 0;
}

void TestSelection::portNumber() {
    QFETCH(QString, text);
    QFETCH(int, port);
    QCOMPARE(int(portNumberFromText(text)), port);
}

void TestSelection::typedPort_data() {
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("pasted"); // false: typed key by key
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<int>("port");

    QTest::newRow("7") << "7" << false << "7" << 7;
    QTest::newRow("15") << "15" << false << "15" << 15;
    QTest::newRow("third digit cut") << "123" << false << "12" << 12;
    QTest::newRow("letter falls back") << "x" << false << "COM1" << 1;
    QTest::newRow("beginning of a port name stays") << "C" << false << "C" << 1;
    QTest::newRow("COM5 typed in full") << "COM5" << false << "COM5" << 5;
    QTest::newRow("com7 typed in lower case") << "com7" << false << "com7" << 7;
    QTest::newRow("COM 12 typed with a blank") << "COM 12" << false << "COM 12" << 12;
    QTest::newRow("third digit of a port name cut") << "COM123" << false << "COM12" << 12;
    QTest::newRow("port name, then a letter") << "COMx" << false << "COM1" << 1;
    QTest::newRow("other letters fall back") << "LPT1" << false << "COM1" << 1;
    QTest::newRow("zero falls back") << "0" << false << "COM1" << 1;
    QTest::newRow("Backspace erases the whole text") << "\b" << false << "COM1" << 1;
    QTest::newRow("digit, then Backspace") << "7\b" << false << "COM1" << 1;
    QTest::newRow("two digits, then Backspace") << "15\b" << false << "1" << 1;
    QTest::newRow("typed blank falls back first") << " 3" << false << "COM1" << 1;
    QTest::newRow("pasted blank and digit") << " 3" << true << " 3" << 3;
    QTest::newRow("minus typed falls back first") << "-1" << false << "COM1" << 1;
    QTest::newRow("pasted minus one") << "-1" << true << "-1" << -1;
    QTest::newRow("pasted long number cut") << "1234" << true << "12" << 12;
    QTest::newRow("pasted 2.5 cut to 2.") << "2.5" << true << "2." << 2;
    QTest::newRow("pasted half") << ".5" << true << "COM1" << 1;
    QTest::newRow("pasted COM7") << "COM7" << true << "COM7" << 7;
    QTest::newRow("pasted COM123 cut") << "COM123" << true << "COM12" << 12;
}

void TestSelection::typedPort() {
    QFETCH(QString, input);
    QFETCH(bool, pasted);
    QFETCH(QString, boxText);
    QFETCH(int, port);

    QLineEdit *edit = m_port->lineEdit();
    QVERIFY(edit);
    // Inline completion would turn a typed "C" into "COM1" and refuse what follows it.
    QVERIFY(!m_port->completer() && !edit->completer());
    // Start from another port so that a fall-back to COM1 is visible.
    m_port->setFocus();
    QTest::keyClick(m_port, Qt::Key_Down);
    QCOMPARE(int(m_window->engine.state.iComPort), 2);
    dirtyStatus();

    edit->selectAll();
    if (pasted) {
        QApplication::clipboard()->setText(input);
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    } else {
        QTest::keyClicks(edit, input);
    }
    QCOMPARE(m_port->currentText(), boxText);
    QCOMPARE(int(m_window->engine.state.iComPort), port);
    if (boxText == QLatin1String("COM1"))
        QCOMPARE(m_port->currentIndex(), 0);
    expectStatusReset();
}

void TestSelection::choosePort_data() {
    QTest::addColumn<int>("downPresses");
    QTest::addColumn<QString>("boxText");
    QTest::addColumn<int>("port");

    QTest::newRow("COM2") << 1 << "COM2" << 2;
    QTest::newRow("COM3") << 2 << "COM3" << 3;
    QTest::newRow("COM8") << 7 << "COM8" << 8;
    QTest::newRow("past the end stays COM8") << 9 << "COM8" << 8;
}

void TestSelection::choosePort() {
    QFETCH(int, downPresses);
    QFETCH(QString, boxText);
    QFETCH(int, port);

    m_port->setFocus();
    dirtyStatus();
    for (int i = 0; i < downPresses; ++i)
        QTest::keyClick(m_port, Qt::Key_Down);
    QCOMPARE(m_port->currentText(), boxText);
    QCOMPARE(int(m_window->engine.state.iComPort), port);
    expectStatusReset();
    QVERIFY(!m_window->engine.MSComm1.isOpen());
}

void TestSelection::chooseBaudrate_data() {
    QTest::addColumn<int>("upPresses");
    QTest::addColumn<QString>("baudrate");

    QTest::newRow("2400") << 1 << "2400";
    QTest::newRow("1200") << 2 << "1200";
    QTest::newRow("past the top stays 1200") << 4 << "1200";
}

void TestSelection::chooseBaudrate() {
    QFETCH(int, upPresses);
    QFETCH(QString, baudrate);

    QCOMPARE(m_window->engine.state.sBaudrate, QStringLiteral("4800"));
    m_baud->setFocus();
    dirtyStatus();
    for (int i = 0; i < upPresses; ++i)
        QTest::keyClick(m_baud, Qt::Key_Up);
    QCOMPARE(m_baud->currentText(), baudrate);
    QCOMPARE(m_window->engine.state.sBaudrate, baudrate);
    expectStatusReset();
    // The baud list takes no typing.
    QVERIFY(!m_baud->isEditable());
    QCOMPARE(int(m_window->engine.state.iComPort), 1);
}

void TestSelection::remoteBox_data() {
    QTest::addColumn<QString>("clicked");
    QTest::addColumn<int>("clicks");
    QTest::addColumn<bool>("checked");

    QTest::newRow("box ticked") << "chkRemote" << 1 << true;
    QTest::newRow("box ticked and cleared") << "chkRemote" << 2 << false;
    QTest::newRow("caption ticks the box") << "lblRemote" << 1 << true;
    QTest::newRow("caption twice") << "lblRemote" << 2 << false;
}

void TestSelection::remoteBox() {
    QFETCH(QString, clicked);
    QFETCH(int, clicks);
    QFETCH(bool, checked);

    auto *target = m_window->findChild<QWidget *>(clicked);
    QVERIFY(target);
    m_port->setFocus();
    QTest::keyClick(m_port, Qt::Key_Down);
    m_baud->setFocus();
    QTest::keyClick(m_baud, Qt::Key_Up);
    const FormState before = m_window->engine.state;

    for (int i = 0; i < clicks; ++i) {
        dirtyStatus();
        QTest::mouseClick(target, Qt::LeftButton);
        expectStatusReset();
    }
    QCOMPARE(m_window->remoteChecked(), checked);
    // Nothing else changes: the box is read only when an update starts.
    const FormState &after = m_window->engine.state;
    QCOMPARE(after.iComPort, before.iComPort);
    QCOMPARE(after.sBaudrate, before.sBaudrate);
    QCOMPARE(after.bIdle, before.bIdle);
    QVERIFY(!m_window->engine.MSComm1.isOpen());
}

QTEST_MAIN(TestSelection)
#include "test_selection.moc"
