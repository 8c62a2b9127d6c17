// The main window: its state after start-up, its controls and layout, the F4 and Esc keys,
// the Help menu, and closing it while idle or in the middle of an update.
#include "appinfo.h"
#include "dialogs.h"
#include "frames.h"
#include "frmmain.h"
#include "pty.h"
#include "updater.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <memory>

namespace {

// Counts the commands instead of running them.
class CountingWindow : public frmMain {
public:
    int programCalls = 0;
    int exitCalls = 0;
    void cmdProgram_Click() override { ++programCalls; }
    void cmdExit_Click() override { ++exitCalls; }
};

// Records the keys that reach a widget, and how many commands had run by then.
class KeyRecorder : public QObject {
public:
    KeyRecorder(QWidget *target, const CountingWindow &window) : m_window(window) {
        target->installEventFilter(this);
    }
    QList<int> keys;
    int callsWhenReached = -1;

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent *>(event)->key();
            if (key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt)
                return false;
            keys << key;
            callsWhenReached = m_window.programCalls + m_window.exitCalls;
        }
        return false;
    }

private:
    const CountingWindow &m_window;
};

// Answers every message box that opens, and remembers what it said.
class BoxAnswerer : public QObject {
public:
    BoxAnswerer() {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            texts << box->text();
            box->button(box->standardButtons() & QMessageBox::Yes ? QMessageBox::Yes
                                                                  : QMessageBox::Ok)
                ->click();
        });
        m_timer.start(10);
    }
    QStringList texts;

private:
    QTimer m_timer;
};

template <typename T> T *child(QWidget *window, const char *name) {
    return window->findChild<T *>(QLatin1String(name));
}

// Calls `seen` for every event of one type that reaches `target`.
class EventSpy : public QObject {
public:
    EventSpy(QObject *target, QEvent::Type type, std::function<void()> seen)
        : m_type(type), m_seen(std::move(seen)) {
        target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == m_type)
            m_seen();
        return false;
    }

private:
    QEvent::Type m_type;
    std::function<void()> m_seen;
};

QString spokenName(QObject *object) {
    QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(object);
    return spoken ? spoken->text(QAccessible::Name) : QStringLiteral("<not accessible>");
}

// A label's text as a screen reader reads it character by character.
QString textInterfaceText(QObject *object) {
    QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(object);
    QAccessibleTextInterface *text = spoken ? spoken->textInterface() : nullptr;
    return text ? text->text(0, text->characterCount()) : QStringLiteral("<no text interface>");
}

// Where a label wrapping `text` breaks `part`, at any width from the part's own up to
// `widest` (the box's size follows the screen and the font); empty where it never does.
QString brokenLine(const QString &text, const QString &part, const QFont &font, int widest) {
    const int least = int(std::ceil(QFontMetricsF(font).horizontalAdvance(part))) + 1;
    for (int width = least; width <= widest; ++width) {
        QTextDocument laidOut;
        laidOut.setDocumentMargin(0);
        laidOut.setDefaultFont(font);
        laidOut.setPlainText(text);
        laidOut.setTextWidth(width);
        laidOut.size(); // lays the text out
        bool whole = false;
        for (QTextBlock block = laidOut.begin(); block.isValid(); block = block.next())
            for (int i = 0; i < block.layout()->lineCount(); ++i) {
                const QTextLine line = block.layout()->lineAt(i);
                whole =
                    whole || block.text().mid(line.textStart(), line.textLength()).contains(part);
            }
        if (!whole)
            return QStringLiteral("broken at a width of %1").arg(width);
    }
    return {};
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startUpState();
    void controls_data();
    void controls();
    void spokenTextsFollowTheDisplay();
    void tabOrder();
    void statusBarShares_data();
    void statusBarShares();
    void fixedSizeAndCentred();
    void progressScaling_data();
    void progressScaling();
    void viewControls();
    void messageBox_data();
    void messageBox();
    void keys_data();
    void keys();
    void keyInDialogNotTaken();
    void helpMenu_data();
    void helpMenu();
    void exitWhenIdleClosesEverything();
    void closeDuringUpdate_data();
    void closeDuringUpdate();
    void completionDialogGoesWithTheWindow();
    void repaintsDuringUpdate();

private:
    QTemporaryDir m_runtime;
    QTemporaryDir m_config;
    std::unique_ptr<CountingWindow> m_window;
};

void TestMainWindow::initTestCase() {
    QVERIFY(m_runtime.isValid() && m_config.isValid());
    qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
}

void TestMainWindow::init() {
    m_window = std::make_unique<CountingWindow>();
    QVERIFY(m_window->Form_Load());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestMainWindow::cleanup() {
    if (m_window) {
        for (QComboBox *box : m_window->findChildren<QComboBox *>())
            box->hidePopup();
        m_window.reset();
    }
    for (QWidget *top : QApplication::topLevelWidgets())
        top->close();
}

void TestMainWindow::startUpState() {
    frmMain &w = *m_window;
    const FormState &st = w.engine.state;

    // Written out, not derived: the build states 10.12, the window must show "1012".
    QCOMPARE(QStringLiteral("%1.%2").arg(appinfo::kVersionMajor).arg(appinfo::kVersionMinor),
             QStringLiteral("10.12"));
    QCOMPARE(st.sVersion, QStringLiteral("1012"));
    QCOMPARE(st.sTitleVer, QStringLiteral("ZARVO-415B_417_452 Firmware v1012"));
    QCOMPARE(w.windowTitle(), QStringLiteral("ZARVO-415B_417_452 Firmware v1012"));

    auto *port = child<QComboBox>(&w, "cboComPort");
    auto *baud = child<QComboBox>(&w, "cboBaudrate");
    QStringList ports;
    for (int i = 0; i < port->count(); ++i)
        ports << port->itemText(i);
    QCOMPARE(ports, QStringList({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"}));
    QCOMPARE(port->currentIndex(), 0);
    QCOMPARE(port->currentText(), QStringLiteral("COM1"));
    QVERIFY(port->isEditable());
    QCOMPARE(port->insertPolicy(), QComboBox::NoInsert);
    QStringList rates;
    for (int i = 0; i < baud->count(); ++i)
        rates << baud->itemText(i);
    QCOMPARE(rates, QStringList({"1200", "2400", "4800"}));
    QCOMPARE(baud->currentText(), QStringLiteral("4800"));
    QVERIFY(!baud->isEditable());

    QVERIFY(!child<QCheckBox>(&w, "chkRemote")->isChecked());
    QVERIFY(!w.remoteChecked());
    QCOMPARE(child<QLabel>(&w, "lblMessage")->text(), QString());
    QCOMPARE(w.progressValue(), 0.0f);
    QCOMPARE(child<QProgressBar>(&w, "ProgressBar1")->value(), 0);
    QCOMPARE(w.panelText(1), QStringLiteral("For Help press F1"));
    for (int panel = 2; panel <= 4; ++panel)
        QCOMPARE(w.panelText(panel), QString());
    QCOMPARE(child<QPushButton>(&w, "cmdProgram")->text(), QStringLiteral("Program (F4)"));
    QCOMPARE(child<QPushButton>(&w, "cmdExit")->text(), QStringLiteral("Exit (ESC)"));
    for (const char *name :
         {"cmdProgram", "cmdExit", "chkRemote", "lblRemote", "cboComPort", "cboBaudrate"})
        QVERIFY2(child<QWidget>(&w, name)->isEnabled(), name);

    QCOMPARE(st.bSuccess, false);
    QCOMPARE(st.bIdle, true);
    QCOMPARE(st.bCheckFailed, false);
    QCOMPARE(st.bReceived, false);
    QCOMPARE(st.bVersionOK, false);
    QCOMPARE(st.bEndUpdate, false);
    QCOMPARE(int(st.iComPort), 1);
    QCOMPARE(st.sBaudrate, QStringLiteral("4800"));
    QVERIFY(st.sReply.isEmpty() && st.sCommand.isEmpty() && st.sWakeReply.isEmpty());
    QVERIFY(!w.engine.MSComm1.isOpen());

    QCOMPARE(w.focusWidget(), child<QWidget>(&w, "cmdProgram"));
}

void TestMainWindow::controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("heard"); // the accessible name a screen reader speaks

    QTest::newRow("cmdProgram") << "cmdProgram"
                                << "QPushButton"
                                << "Program (F4)"
                                << "Update Firmware"
                                << "Program (F4)";
    QTest::newRow("cmdExit") << "cmdExit"
                             << "QPushButton"
                             << "Exit (ESC)"
                             << "Exit"
                             << "Exit (ESC)";
    QTest::newRow("chkRemote") << "chkRemote"
                               << "QCheckBox"
                               << ""
                               << "Check for Remote Program"
                               << "Check for Remote Program";
    QTest::newRow("lblRemote") << "lblRemote"
                               << "QLabel"
                               << "Remote Program"
                               << ""
                               << "Remote Program";
    QTest::newRow("cboComPort") << "cboComPort"
                                << "QComboBox"
                                << "COM1"
                                << "COM Port"
                                << "COM Port";
    QTest::newRow("cboBaudrate") << "cboBaudrate"
                                 << "QComboBox"
                                 << "4800"
                                 << "Baudrate"
                                 << "Baudrate";
    QTest::newRow("ProgressBar1") << "ProgressBar1"
                                  << "QProgressBar"
                                  << ""
                                  << "Progress Bar"
                                  << "Progress Bar";
    QTest::newRow("StatusBar1") << "StatusBar1"
                                << "QStatusBar"
                                << ""
                                << ""
                                << "";
    QTest::newRow("lblMessage") << "lblMessage"
                                << "QLabel"
                                << ""
                                << ""
                                << "";
    QTest::newRow("Line1") << "Line1"
                           << "QFrame"
                           << ""
                           << ""
                           << "";
    QTest::newRow("Panel1") << "Panel1"
                            << "QLabel"
                            << "For Help press F1"
                            << "Status"
                            << "For Help press F1";
    QTest::newRow("Panel2") << "Panel2"
                            << "QLabel"
                            << ""
                            << "Indicators: Erase, Blank Check, Program, Verify"
                            << "";
    QTest::newRow("Panel3") << "Panel3"
                            << "QLabel"
                            << ""
                            << "Error Data"
                            << "";
    QTest::newRow("Panel4") << "Panel4"
                            << "QLabel"
                            << ""
                            << "Firmware Version"
                            << "";
}

void TestMainWindow::controls() {
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(QString, heard);

    const QList<QWidget *> found = m_window->findChildren<QWidget *>(name);
    QCOMPARE(found.size(), 1);
    QWidget *widget = found.first();
    QVERIFY(widget->inherits(className.toLatin1()));
    QCOMPARE(widget->toolTip(), toolTip);
    // What the accessibility bus offers: the shown text, else the tool tip; the tool tip is
    // the description.
    QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(spoken);
    QCOMPARE(spoken->text(QAccessible::Name), heard);
    QCOMPARE(spoken->text(QAccessible::Description), toolTip);
    if (auto *label = qobject_cast<QLabel *>(widget))
        QCOMPARE(textInterfaceText(label), text);
    QVERIFY(widget->isVisible());

    QString shown;
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        shown = button->text();
    else if (auto *label = qobject_cast<QLabel *>(widget))
        shown = label->text();
    else if (auto *combo = qobject_cast<QComboBox *>(widget))
        shown = combo->currentText();
    QCOMPARE(shown, text);
    if (name.startsWith(QLatin1String("Panel")))
        QCOMPARE(widget->parentWidget()->objectName(), QStringLiteral("StatusBar1"));
}

void TestMainWindow::spokenTextsFollowTheDisplay() {
    frmMain &w = *m_window;
    QCOMPARE(spokenName(&w), QStringLiteral("ZARVO-415B_417_452 Firmware v1012"));
    QAccessibleInterface *bar = QAccessible::queryAccessibleInterface(w.menuBar());
    QCOMPARE(bar->childCount(), 1);
    QCOMPARE(bar->child(0)->text(QAccessible::Name), QStringLiteral("Help"));
    QAccessibleInterface *menu = QAccessible::queryAccessibleInterface(child<QMenu>(&w, "mnuHelp"));
    QStringList items;
    for (int i = 0; i < menu->childCount(); ++i)
        items << menu->child(i)->text(QAccessible::Name);
    QCOMPARE(items, QStringList({"Instructions", "Version History", "About"}));
    // The port box's text field, where the focus sits, is named like the box.
    QCOMPARE(spokenName(child<QComboBox>(&w, "cboComPort")->lineEdit()),
             QStringLiteral("COM Port"));

    // The texts an update changes, as it changes them.
    w.setExitCaption(QStringLiteral("Cancel (ESC)"));
    w.setMessageLine(QStringLiteral("Please wait.  ZARVO firmware is being updated."));
    w.setPanelText(1, QStringLiteral("Erasing ...  50%"));
    w.setPanelText(2, QStringLiteral("E"));
    w.setPanelText(3, QStringLiteral("3C-FF-C4-00"));
    w.setPanelText(4, QStringLiteral("1003.01"));
    QCOMPARE(spokenName(child<QWidget>(&w, "cmdExit")), QStringLiteral("Cancel (ESC)"));
    for (const auto &[name, shown] :
         {std::pair{"lblMessage", "Please wait.  ZARVO firmware is being updated."},
          std::pair{"Panel1", "Erasing ...  50%"}, std::pair{"Panel2", "E"},
          std::pair{"Panel3", "3C-FF-C4-00"}, std::pair{"Panel4", "1003.01"}}) {
        QWidget *label = child<QWidget>(&w, name);
        QCOMPARE(spokenName(label), QString::fromLatin1(shown));
        QCOMPARE(textInterfaceText(label), QString::fromLatin1(shown));
    }
}

void TestMainWindow::tabOrder() {
    const QStringList designed = {"cmdProgram", "cmdExit",     "chkRemote",
                                  "cboComPort", "cboBaudrate", "ProgressBar1",
                                  "StatusBar1", "lblRemote",   "lblMessage"};
    // Only the controls that take the focus have a place in the chain; the labels, the
    // progress bar and the status bar take none.
    for (const QString &name : designed.mid(5))
        QCOMPARE(child<QWidget>(m_window.get(), name.toLatin1())->focusPolicy(), Qt::NoFocus);
    QStringList walked;
    QWidget *start = child<QWidget>(m_window.get(), "cmdProgram");
    QWidget *w = start;
    do {
        if (designed.mid(0, 5).contains(w->objectName()) && !walked.contains(w->objectName()))
            walked << w->objectName();
        w = w->nextInFocusChain();
    } while (w != start);
    QCOMPARE(walked, designed.mid(0, 5));

    // Tab moves between the controls that take the focus, in that order.
    QStringList tabbed;
    for (int i = 0; i < 5; ++i) {
        tabbed << m_window->focusWidget()->objectName();
        QTest::keyClick(m_window->windowHandle(), Qt::Key_Tab);
    }
    QCOMPARE(tabbed, designed.mid(0, 5));
    QCOMPARE(m_window->focusWidget()->objectName(), QStringLiteral("cmdProgram"));
}

void TestMainWindow::statusBarShares_data() {
    QTest::addColumn<int>("panel");
    QTest::addColumn<int>("percentFrom");
    QTest::addColumn<int>("percent");

    QTest::newRow("panel 1") << 1 << 0 << 44;
    QTest::newRow("panel 2") << 2 << 44 << 14;
    QTest::newRow("panel 3") << 3 << 58 << 25;
    QTest::newRow("panel 4") << 4 << 83 << 17;
}

void TestMainWindow::statusBarShares() {
    QFETCH(int, panel);
    QFETCH(int, percentFrom);
    QFETCH(int, percent);

    auto *bar = child<QStatusBar>(m_window.get(), "StatusBar1");
    auto *label = bar->findChild<QLabel *>(QStringLiteral("Panel%1").arg(panel));
    QVERIFY(label);
    const double width = bar->width();
    QVERIFY(qAbs(label->geometry().left() - width * percentFrom / 100) <= 2);
    QVERIFY2(qAbs(label->width() - width * percent / 100) <= 2,
             qPrintable(QStringLiteral("%1 of %2").arg(label->width()).arg(width)));
    QVERIFY(label->height() >= label->fontMetrics().height());
    // The bar runs along the bottom edge of the window.
    QCOMPARE(bar->geometry().bottom(), m_window->rect().bottom());
}

void TestMainWindow::fixedSizeAndCentred() {
    frmMain &w = *m_window;
    QCOMPARE(w.minimumSize(), w.maximumSize());
    QCOMPARE(w.size(), w.minimumSize());
    QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
    QVERIFY(!w.windowIcon().isNull());
    const QRect screen = w.screen()->availableGeometry();
    QVERIFY(qAbs(w.geometry().center().x() - screen.center().x()) <= 2);
    QVERIFY(qAbs(w.geometry().center().y() - screen.center().y()) <= 40);

    // Rows from top to bottom, as designed.
    auto top = [&](const char *name) {
        QWidget *widget = child<QWidget>(&w, name);
        return widget->mapTo(&w, QPoint(0, 0)).y();
    };
    QVERIFY(w.menuBar()->geometry().bottom() <= top("Line1"));
    QVERIFY(top("Line1") < top("chkRemote"));
    QCOMPARE(top("chkRemote") < top("lblMessage"), true);
    QVERIFY(top("lblMessage") < top("ProgressBar1"));
    QVERIFY(top("ProgressBar1") < top("cmdProgram"));
    QCOMPARE(top("cmdProgram"), top("cmdExit"));
    QVERIFY(top("cmdExit") < top("StatusBar1"));
    auto left = [&](const char *name) { return child<QWidget>(&w, name)->mapTo(&w, QPoint()).x(); };
    QVERIFY(left("chkRemote") < left("lblRemote"));
    QVERIFY(left("lblRemote") < left("cboComPort"));
    QVERIFY(left("cboComPort") < left("cboBaudrate"));
    QVERIFY(left("cmdProgram") < left("cmdExit"));
    QCOMPARE(child<QLabel>(&w, "lblMessage")->alignment() & Qt::AlignHCenter, Qt::AlignHCenter);
}

void TestMainWindow::progressScaling_data() {
    QTest::addColumn<float>("max");
    QTest::addColumn<float>("value");
    QTest::addColumn<double>("shownFraction");

    QTest::newRow("empty") << 100.0f << 0.0f << 0.0;
    QTest::newRow("fraction of a step") << 1920.0f << 0.5f << 0.5 / 1920;
    QTest::newRow("half of erase") << 1920.0f << 960.0f << 0.5;
    QTest::newRow("full") << 1920.0f << 1920.0f << 1.0;
    QTest::newRow("beyond max shows full") << 100.0f << 150.0f << 1.0;
    QTest::newRow("zero max shows empty") << 0.0f << 5.0f << 0.0;
}

void TestMainWindow::progressScaling() {
    QFETCH(float, max);
    QFETCH(float, value);
    QFETCH(double, shownFraction);

    m_window->setProgressMax(max);
    m_window->setProgressValue(value);
    QCOMPARE(m_window->progressMax(), max);
    QCOMPARE(m_window->progressValue(), value);
    auto *bar = child<QProgressBar>(m_window.get(), "ProgressBar1");
    const double shown = double(bar->value() - bar->minimum()) / (bar->maximum() - bar->minimum());
    QVERIFY2(qAbs(shown - shownFraction) <= 1e-4, qPrintable(QString::number(shown)));
}

void TestMainWindow::viewControls() {
    frmMain &w = *m_window;
    const struct {
        Form::Control control;
        const char *name;
    } controls[] = {{Form::Control::cmdProgram, "cmdProgram"},
                    {Form::Control::chkRemote, "chkRemote"},
                    {Form::Control::lblRemote, "lblRemote"},
                    {Form::Control::cboComPort, "cboComPort"},
                    {Form::Control::cboBaudrate, "cboBaudrate"}};
    for (const auto &c : controls) {
        w.setControlEnabled(c.control, false);
        QVERIFY2(!child<QWidget>(&w, c.name)->isEnabled(), c.name);
        QVERIFY(child<QWidget>(&w, "cmdExit")->isEnabled());
    }
    for (const auto &c : controls) {
        w.setControlEnabled(c.control, true);
        QVERIFY2(child<QWidget>(&w, c.name)->isEnabled(), c.name);
    }

    w.setPanelText(0, QStringLiteral("ignored"));
    w.setPanelText(5, QStringLiteral("ignored"));
    QCOMPARE(w.panelText(0), QString());
    QCOMPARE(w.panelText(5), QString());
    // Rich text from a reply must not be interpreted.
    w.setPanelText(3, QStringLiteral("<b>00</b>"));
    QCOMPARE(child<QLabel>(&w, "Panel3")->textFormat(), Qt::PlainText);
}

void TestMainWindow::messageBox_data() {
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("defaultButton");
    QTest::addColumn<int>("press"); // QMessageBox::StandardButton, or 0 for Return
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("boxIcon");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("keptWhole"); // on one line of the box, however it wraps

    const int ok = int(Form::Buttons::Ok), yesNo = int(Form::Buttons::YesNo);
    QTest::newRow("exclamation OK")
        << int(Form::Icon::Exclamation) << ok << int(Form::Answer::Ok) << 0 << int(Form::Answer::Ok)
        << int(QMessageBox::Warning) << QString() << QString();
    QTest::newRow("critical OK") << int(Form::Icon::Critical) << ok << int(Form::Answer::Ok) << 0
                                 << int(Form::Answer::Ok) << int(QMessageBox::Critical) << QString()
                                 << QString();
    QTest::newRow("question default No, Return")
        << int(Form::Icon::Question) << yesNo << int(Form::Answer::No) << 0 << int(Form::Answer::No)
        << int(QMessageBox::Question) << QString() << QString();
    QTest::newRow("question default Yes, Return")
        << int(Form::Icon::Question) << yesNo << int(Form::Answer::Yes) << 0
        << int(Form::Answer::Yes) << int(QMessageBox::Question) << QString() << QString();
    QTest::newRow("question, Yes clicked")
        << int(Form::Icon::Question) << yesNo << int(Form::Answer::No) << int(QMessageBox::Yes)
        << int(Form::Answer::Yes) << int(QMessageBox::Question) << QString() << QString();
    QTest::newRow("question, No clicked")
        << int(Form::Icon::Question) << yesNo << int(Form::Answer::Yes) << int(QMessageBox::No)
        << int(Form::Answer::No) << int(QMessageBox::Question) << QString() << QString();
    // The user types it as it reads.
    QTest::newRow("permission refused: the command not broken")
        << int(Form::Icon::Exclamation) << ok << int(Form::Answer::Ok) << 0 << int(Form::Answer::Ok)
        << int(QMessageBox::Warning)
        << ::openFailureText({serial::LineFault::Permission, "/dev/ttyUSB0: Permission denied"})
        << "sudo usermod -aG dialout $USER";
}

void TestMainWindow::messageBox() {
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QFETCH(int, defaultButton);
    QFETCH(int, press);
    QFETCH(int, answer);
    QFETCH(int, boxIcon);
    QFETCH(QString, text);
    QFETCH(QString, keptWhole);
    if (text.isEmpty())
        text = QStringLiteral("Some text.");

    QString seenText, seenTitle;
    QFont labelFont;
    int labelWidth = 0;
    int seenIcon = -1;
    QMessageBox::StandardButtons seenButtons;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll.stop();
        seenText = box->text();
        seenTitle = box->windowTitle();
        seenIcon = int(box->icon());
        seenButtons = box->standardButtons();
        if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
            labelFont = label->font();
            labelWidth = label->contentsRect().width();
        }
        if (press)
            box->button(QMessageBox::StandardButton(press))->click();
        else
            QTest::keyClick(box, Qt::Key_Return);
    });
    poll.start(10);
    const Form::Answer result =
        m_window->messageBox(text, QStringLiteral("Some title"), Form::Icon(icon),
                             Form::Buttons(buttons), Form::Answer(defaultButton));
    QCOMPARE(int(result), answer);
    QCOMPARE(seenText, text);
    QCOMPARE(seenTitle, QStringLiteral("Some title"));
    if (!keptWhole.isEmpty()) {
        const QString broken = brokenLine(seenText, keptWhole, labelFont, labelWidth);
        QVERIFY2(broken.isEmpty(), qPrintable(broken));
    }
    QCOMPARE(seenIcon, boxIcon);
    QCOMPARE(seenButtons, Form::Buttons(buttons) == Form::Buttons::Ok
                              ? QMessageBox::StandardButtons(QMessageBox::Ok)
                              : QMessageBox::Yes | QMessageBox::No);
}

void TestMainWindow::keys_data() {
    QTest::addColumn<QString>("focus"); // objectName, "edit" for the port box's text
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("programDisabled");
    QTest::addColumn<int>("program");
    QTest::addColumn<int>("exit");

    const int none = Qt::NoModifier;
    const QStringList focusable = {"cmdProgram", "cmdExit", "chkRemote",
                                   "cboComPort", "edit",    "cboBaudrate"};
    for (const QString &focus : focusable) {
        const QByteArray f = focus.toLatin1();
        QTest::addRow("F4 on %s", f.constData())
            << focus << int(Qt::Key_F4) << none << false << 1 << 0;
        QTest::addRow("Esc on %s", f.constData())
            << focus << int(Qt::Key_Escape) << none << false << 0 << 1;
    }
    for (const QString &focus : {QStringLiteral("cmdExit"), QStringLiteral("edit")}) {
        const QByteArray f = focus.toLatin1();
        for (const auto &[modName, mod] :
             {std::pair{"Shift", Qt::ShiftModifier}, std::pair{"Ctrl", Qt::ControlModifier},
              std::pair{"Alt", Qt::AltModifier}}) {
            QTest::addRow("%s+F4 on %s", modName, f.constData())
                << focus << int(Qt::Key_F4) << int(mod) << false << 0 << 0;
            QTest::addRow("%s+Esc on %s", modName, f.constData())
                << focus << int(Qt::Key_Escape) << int(mod) << false << 0 << 0;
        }
    }
    QTest::newRow("Ctrl+Shift+F4")
        << "cmdExit" << int(Qt::Key_F4) << int(Qt::ControlModifier | Qt::ShiftModifier) << false
        << 0 << 0;
    QTest::newRow("F5 does nothing") << "cmdExit" << int(Qt::Key_F5) << none << false << 0 << 0;
    QTest::newRow("Return does nothing")
        << "chkRemote" << int(Qt::Key_Return) << none << false << 0 << 0;
    QTest::newRow("F4 with Program disabled")
        << "cmdProgram" << int(Qt::Key_F4) << none << true << 1 << 0;
    QTest::newRow("Esc with Program disabled")
        << "cmdProgram" << int(Qt::Key_Escape) << none << true << 0 << 1;
    QTest::newRow("F4 with nothing focused") << "" << int(Qt::Key_F4) << none << false << 1 << 0;
    QTest::newRow("Esc with nothing focused")
        << "" << int(Qt::Key_Escape) << none << false << 0 << 1;
    // The menu bar has the keyboard after Alt, and after Esc has closed its drop-down: the
    // keys are the menu's then, and Esc only leaves the menu.
    for (const char *menu : {"menu after Alt", "menu after Help, Esc"}) {
        QTest::addRow("F4 in %s", menu) << menu << int(Qt::Key_F4) << none << false << 0 << 0;
        QTest::addRow("Esc in %s", menu) << menu << int(Qt::Key_Escape) << none << false << 0 << 0;
    }
}

void TestMainWindow::keys() {
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, programDisabled);
    QFETCH(int, program);
    QFETCH(int, exit);

    CountingWindow &w = *m_window;
    QVERIFY(QTest::qWaitForWindowActive(&w));
    auto *port = child<QComboBox>(&w, "cboComPort");
    const bool inMenu = focus.startsWith(QLatin1String("menu"));
    if (focus == QLatin1String("edit")) {
        port->lineEdit()->setFocus();
    } else if (focus == QLatin1String("menu after Alt")) {
        child<QWidget>(&w, "cmdExit")->setFocus();
        QTest::keyClick(w.windowHandle(), Qt::Key_Alt, Qt::AltModifier);
    } else if (inMenu) {
        child<QWidget>(&w, "cmdExit")->setFocus();
        QMenuBar *bar = w.menuBar();
        QAction *help = child<QMenu>(&w, "mnuHelp")->menuAction();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help).center());
        QTRY_VERIFY(QApplication::activePopupWidget());
        QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
        QVERIFY(!QApplication::activePopupWidget());
    } else if (!focus.isEmpty())
        child<QWidget>(&w, focus.toLatin1())->setFocus();
    else if (QWidget *had = w.focusWidget())
        had->clearFocus();
    if (programDisabled)
        w.setControlEnabled(Form::Control::cmdProgram, false);

    QWidget *receiver = w.focusWidget() ? w.focusWidget() : &w;
    if (focus.isEmpty())
        QCOMPARE(receiver, static_cast<QWidget *>(&w));
    if (inMenu)
        QCOMPARE(receiver, static_cast<QWidget *>(w.menuBar()));
    KeyRecorder recorder(receiver, w);

    // Delivered through the window, as the platform delivers a key press.
    QTest::keyClick(w.windowHandle(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(w.programCalls, program);
    QCOMPARE(w.exitCalls, exit);
    // The focused control still gets the key, after the window's handler has run.
    QCOMPARE(recorder.keys, QList<int>{key});
    QCOMPARE(recorder.callsWhenReached, program + exit);
    if (inMenu && key == Qt::Key_Escape)
        QCOMPARE(w.focusWidget(), child<QWidget>(&w, "cmdExit"));
}

void TestMainWindow::keyInDialogNotTaken() {
    CountingWindow &w = *m_window;
    QDialog dialog(&w);
    dialog.setObjectName(QStringLiteral("someDialog"));
    auto *edit = new QLineEdit(&dialog);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_F4);
    QTest::keyClick(edit, Qt::Key_Escape);
    QCOMPARE(w.programCalls, 0);
    QCOMPARE(w.exitCalls, 0);
}

void TestMainWindow::helpMenu_data() {
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QKeySequence>("shortcut");
    QTest::addColumn<QString>("dialog");

    QTest::newRow("Instructions") << "mnuHelpInstr"
                                  << "Instructions" << QKeySequence(Qt::Key_F1)
                                  << "frmInstructions";
    QTest::newRow("Version History") << "mnuHelpHistory"
                                     << "Version History" << QKeySequence() << "frmHistory";
    QTest::newRow("About") << "mnuHelpAbout"
                           << "About" << QKeySequence() << "frmAbout";
}

void TestMainWindow::helpMenu() {
    QFETCH(QString, item);
    QFETCH(QString, caption);
    QFETCH(QKeySequence, shortcut);
    QFETCH(QString, dialog);

    QMenu *help = m_window->findChild<QMenu *>(QStringLiteral("mnuHelp"));
    QVERIFY(help);
    QCOMPARE(help->title(), QStringLiteral("Help"));
    QCOMPARE(m_window->menuBar()->actions().size(), 1);
    QAction *action = m_window->findChild<QAction *>(item);
    QVERIFY(action);
    QVERIFY(help->actions().contains(action));
    QCOMPARE(action->text(), caption);
    QCOMPARE(action->shortcut(), shortcut);

    auto findDialog = [&] {
        for (QWidget *top : QApplication::topLevelWidgets())
            if (top->objectName() == dialog && top->isVisible())
                return top;
        return static_cast<QWidget *>(nullptr);
    };
    QVERIFY(!findDialog());
    if (!shortcut.isEmpty()) {
        // The shortcut works from any control of the window.
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        m_window->findChild<QComboBox *>(QStringLiteral("cboBaudrate"))->setFocus();
        QTest::keyClick(m_window->windowHandle(), shortcut[0].key());
    } else {
        action->trigger();
    }
    QTRY_VERIFY(findDialog());
    // Modeless: the main window stays usable.
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(m_window->isEnabled());
}

void TestMainWindow::exitWhenIdleClosesEverything() {
    // The real commands, not the counting ones.
    frmMain w;
    m_window.reset(); // releases the single-instance lock for this window
    QVERIFY(w.Form_Load());
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QAction *about = w.findChild<QAction *>(QStringLiteral("mnuHelpAbout"));
    about->trigger();
    QWidget *dialog = nullptr;
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String("frmAbout"))
            dialog = top;
    QVERIFY(dialog && dialog->isVisible());
    QPointer<QWidget> guard(dialog);

    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.findChild<QWidget *>(QStringLiteral("cboComPort"))->setFocus();
    QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
    QVERIFY(!w.isVisible());
    QTRY_VERIFY(!guard || !guard->isVisible());
    QVERIFY(!w.engine.MSComm1.isOpen());
}

void TestMainWindow::completionDialogGoesWithTheWindow() {
    // The dialog keeps a reference to the window's flag; left behind, its close would write
    // into a window that no longer exists.
    m_window.reset();
    auto window = std::make_unique<frmMain>();
    QVERIFY(window->Form_Load());
    QPointer<frmSuccess> dialog = frmSuccess::Show(window->engine.state.bSuccess);
    QVERIFY(window->engine.state.bSuccess);
    window.reset();
    QCOMPARE(frmSuccess::instance(), nullptr);
    QTRY_VERIFY(!dialog);
}

void TestMainWindow::closeDuringUpdate_data() {
    QTest::addColumn<QString>("how");    // "close" (the title bar's close box) or "signal"
    QTest::addColumn<QString>("answer"); // to the question: "Yes", "No" or "" (left open)
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<bool>("closed");
    const QString question = "An update is running. Cancel it and close the window?";
    // The silent line runs the identification's wait out while the question is open.
    const QString noReply = "Error communicating with Port.\n\nHint: no reply on COM1. Does the "
                            "meter's display read \"BOOTLOADER READY...\"? If its firmware is "
                            "running instead, check Remote Program; if it does, check that the "
                            "meter uses 4800 baud.";
    QTest::newRow("Yes: cancelled, then closed") << "close"
                                                 << "Yes" << QStringList{question} << true;
    QTest::newRow("No: the update goes on") << "close"
                                            << "No" << QStringList{question, noReply} << false;
    QTest::newRow("question left open: the update goes on under it")
        << "close"
        << "" << QStringList{question, noReply} << false;
    QTest::newRow("signal: closed without asking") << "signal"
                                                   << "" << QStringList{} << true;
}

void TestMainWindow::closeDuringUpdate() {
    QFETCH(QString, how);
    QFETCH(QString, answer);
    QFETCH(QStringList, texts);
    QFETCH(bool, closed);
    m_window.reset();
    PortSandbox sandbox;
    PtyPair line; // the far end stays silent: the first frame's wait runs its full length
    QVERIFY(line.isValid());
    QVERIFY(sandbox.link(1, line.slavePath()));

    frmMain w;
    QVERIFY(w.Form_Load());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // Every box is read once; the question gets the row's answer, any other box its OK.
    QStringList seen;
    QList<QPointer<QMessageBox>> answered;
    QTimer answerer;
    connect(&answerer, &QTimer::timeout, this, [&] {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(top);
            if (!box || !box->isVisible() || answered.contains(box))
                continue;
            answered << box;
            seen << (box->informativeText().isEmpty()
                         ? box->text()
                         : box->text() + "\n\n" + box->informativeText());
            if (box->standardButtons() == QMessageBox::Ok)
                box->button(QMessageBox::Ok)->click();
            else if (!answer.isEmpty())
                box->button(answer == "Yes" ? QMessageBox::Yes : QMessageBox::No)->click();
        }
    });
    answerer.start(10);

    bool closedUnderTheWait = true;
    bool portOpenDuringWait = false;
    QTimer::singleShot(50, &w, [&] {
        portOpenDuringWait = w.engine.MSComm1.isOpen() && w.engine.updater.running();
        if (how == "signal")
            ::raise(SIGTERM);
        else
            w.close();
        closedUnderTheWait = !w.isVisible();
    });
    QTest::mouseClick(w.findChild<QWidget *>(QStringLiteral("cmdProgram")), Qt::LeftButton);

    QVERIFY(portOpenDuringWait);
    QVERIFY2(!closedUnderTheWait, "the window closed while the update's wait was running");
    QCOMPARE(seen, texts);
    QVERIFY(!w.engine.updater.running());
    QCOMPARE(!w.isVisible(), closed);
    // A question about an update that has ended does not stay behind.
    QTRY_VERIFY(
        std::none_of(answered.cbegin(), answered.cend(),
                     [](const QPointer<QMessageBox> &box) { return box && box->isVisible(); }));
    QVERIFY(!w.engine.MSComm1.isOpen());
    QVERIFY(w.engine.state.bIdle);
    // The identification request went out before the close; nothing after it.
    QCOMPARE(line.read(200),
             QByteArray::fromHex(
                 QByteArray(frames::ReadVersion.data(), qsizetype(frames::ReadVersion.size()))));
}

// While an update runs, the texts change with every frame: the window repaints at most
// about 30 times a second, and what it shows in the end is the last change.
void TestMainWindow::repaintsDuringUpdate() {
    CountingWindow &w = *m_window;
    auto *label = child<QStatusBar>(&w, "StatusBar1")->findChild<QLabel *>("Panel1");
    int paints = 0;
    QString painted;
    EventSpy spy(label, QEvent::Paint, [&] {
        ++paints;
        painted = label->text();
    });
    w.engine.state.bIdle = false;
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= 200; ++i) {
        w.setPanelText(1, QStringLiteral("Programming ...  %1%").arg(i));
        w.setProgressValue(float(i));
        QCoreApplication::processEvents();
    }
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(paints <= 2 + elapsed / 33,
             qPrintable(QStringLiteral("%1 repaints in %2 ms").arg(paints).arg(elapsed)));
    QTRY_COMPARE(painted, QStringLiteral("Programming ...  200%"));
    w.engine.state.bIdle = true;
}

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"
