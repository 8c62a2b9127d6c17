// The real main window, offscreen, against the virtual instrument on a pseudo-terminal
// reached as port 5. Judged by what reached the instrument: its transcript and its flash.
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/ioctl.h>
#include <unistd.h>

#include "boxanswerer.h"
#include "dialogs.h"
#include "frmmain.h"
#include "instrument.h"
#include "intelhex.h"
#include "linkrig.h"
#include "runtime.h"

namespace {

constexpr int kPort = 5;

// Intel HEX into a 32 KiB memory image whose unwritten bytes are 0xFF; empty when the file
// cannot be read or is not Intel HEX.
QByteArray readHex(const QString &path, QByteArray *written = nullptr) {
    QByteArray memory(0x8000, char(0xFF));
    if (written)
        *written = QByteArray(0x8000, 0);
    std::ifstream file(QFile::encodeName(path).toStdString(), std::ios::binary);
    if (!file)
        return {};
    try {
        intelhex::Reader reader(file);
        while (const std::optional<intelhex::DataRecord> rec = reader.next()) {
            for (std::size_t i = 0; i < rec->data.size(); ++i) {
                const std::uint64_t address = rec->address + i;
                if (address >= std::uint64_t(memory.size()))
                    break;
                memory[qsizetype(address)] = char(rec->data[i]);
                if (written)
                    (*written)[qsizetype(address)] = 1;
            }
        }
    } catch (const intelhex::Refusal &refusal) {
        qWarning("%s:%zu: %s", qPrintable(path), refusal.line, refusal.reason.c_str());
        return {};
    }
    return memory;
}

// Whether at least `bytes` wait on the line for whoever opens `device` next; waits up to
// 5 s for them to arrive.
bool lineHolds(const QString &device, int bytes) {
    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int waiting = 0;
    QElapsedTimer clock;
    clock.start();
    while ((::ioctl(fd, FIONREAD, &waiting) != 0 || waiting < bytes) && clock.elapsed() < 5000)
        QTest::qWait(5);
    ::close(fd);
    return waiting >= bytes;
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    RuntimeSandbox m_runtime;

    template <typename T> static T *child(QWidget &w, const char *name) {
        return w.findChild<T *>(QString::fromLatin1(name));
    }
    // What a screen reader hears: the accessible name, and the text interface as well for
    // labels. A name and a text that disagree read as neither.
    static QString spoken(QWidget *widget) {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
        if (!face)
            return QStringLiteral("<not accessible>");
        const QString name = face->text(QAccessible::Name);
        if (qobject_cast<QLabel *>(widget)) {
            QAccessibleTextInterface *text = face->textInterface();
            if (!text || text->text(0, text->characterCount()) != name)
                return QStringLiteral("<text interface differs>");
        }
        return name;
    }
    static QString panel(QWidget &w, int n) {
        return spoken(child<QLabel>(w, qPrintable(QStringLiteral("Panel%1").arg(n))));
    }
    static void key(frmMain &w, Qt::Key k) {
        QWidget *target = w.focusWidget() ? w.focusWidget() : &w;
        QTest::keyClick(target, k);
    }
    // Help opened with the mouse, then Esc twice, as keys reach the window.
    static void helpEscEsc(frmMain &w) {
        QMenuBar *bar = w.menuBar();
        QAction *help = child<QMenu>(w, "mnuHelp")->menuAction();
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(help).center());
        QVERIFY(QApplication::activePopupWidget());
        QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
        QTest::keyClick(w.windowHandle(), Qt::Key_Escape);
    }
    static bool idle(frmMain &w) {
        for (const char *name :
             {"cmdProgram", "chkRemote", "lblRemote", "cboComPort", "cboBaudrate"})
            if (!child<QWidget>(w, name)->isEnabled())
                return false;
        return w.engine.state.bIdle && !w.engine.MSComm1.isOpen() &&
               child<QPushButton>(w, "cmdExit")->text() == "Exit (ESC)" &&
               child<QLabel>(w, "lblMessage")->text().isEmpty();
    }
    // The window as a user leaves it before pressing F4: port typed, baud chosen by key.
    static void prepare(frmMain &w, int baudIndex, bool remote) {
        QVERIFY(w.Form_Load());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QLineEdit *edit = child<QComboBox>(w, "cboComPort")->lineEdit();
        edit->selectAll();
        QTest::keyClicks(edit, QString::number(kPort));
        QCOMPARE(w.engine.state.iComPort, qint16(kPort));
        auto *baud = child<QComboBox>(w, "cboBaudrate");
        baud->setFocus();
        for (int i = baud->currentIndex(); i > baudIndex; --i)
            QTest::keyClick(baud, Qt::Key_Up);
        if (remote)
            QTest::mouseClick(child<QCheckBox>(w, "chkRemote"), Qt::LeftButton);
        child<QPushButton>(w, "cmdProgram")->setFocus();
    }

private slots:
    // A row that failed half-way must not leave its dialogs to the next one.
    void cleanup() {
        UnloadAllForms();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void initTestCase() {
        QVERIFY(m_runtime.isValid());
        QVERIFY(QFile::exists(ZARVO_BUILD_DIR "/zarvo-sim"));
    }

    void update_data() {
        QTest::addColumn<QStringList>("sim");
        QTest::addColumn<int>("baud"); // index: 0 1200, 1 2400, 2 4800
        QTest::addColumn<bool>("remote");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("action"); // what the user does during the update
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("codes");
        QTest::addColumn<QString>("panel2");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QStringList>("panels"); // 1 to 4 at the end, when given

        const QStringList none;
        const QString question = "Would you like to replace version 1012 with 1012?";
        const QString commError = "Error communicating with Port.";
        const QString cancelled = "Firmware update was cancelled.";
        QTest::newRow("complete, local")
            << none << 2 << false << none << "" << none << kCompleteUpdate << "EBPV" << true
            << QStringList{"Update Finished", "EBPV", "", "1012.01"};
        QTest::newRow("remote, answered, 2400")
            << QStringList{"--mode", "application", "--baud", "2400"} << 1 << true << none << ""
            << none << "0000 " + kCompleteUpdate << "EBPV" << true << none;
        QTest::newRow("remote, no answer, 1200")
            << QStringList{"--mode", "application", "--no-echo", "--baud", "1200"} << 0 << true
            << none << "" << none << "0000 " + kCompleteUpdate << "EBPV" << true << none;
        QTest::newRow("replace, Yes")
            << QStringList{"--version", "1012"} << 2 << false << QStringList{"Yes"} << ""
            << QStringList{question} << kCompleteUpdate << "EBPV" << true << none;
        QTest::newRow("replace, No") << QStringList{"--version", "1012"} << 2 << false
                                     << QStringList{"No"} << "" << QStringList{question} << "0001"
                                     << "" << false << none;
        QTest::newRow("foreign device")
            << QStringList{"--id", "0417"} << 2 << false << none << ""
            << QStringList{"Attached device is not the ZARVO-415B."} << "0001"
            << "" << false << none;
        QTest::newRow("no firmware installed")
            << QStringList{"--no-firmware"} << 2 << false << none << "" << none << kCompleteUpdate
            << "EBPV" << true << none;
        QTest::newRow("blank check fails")
            << QStringList{"--fail-blank-check"} << 2 << false << none << ""
            << QStringList{"Blank Check Error"} << "0001 0301*480 0A02"
            << "EB" << false << QStringList{"Blank Check Failed", "EB", "00-40-00-01", "1003.01"};
        QTest::newRow("verify fails")
            << QStringList{"--fail-verify"} << 2 << false << none << ""
            << QStringList{"Verify Checksum Error"} << "0001 0301*480 0A02 0202*1658 0A01"
            << "EBPV" << false << none;
        QTest::newRow("no reply mid-programming")
            << QStringList{"--drop-reply", "1182"} << 2 << false << none << ""
            << QStringList{commError} << "0001 0301*480 0A02 0202*700"
            << "PV" << false << none;
        QTest::newRow("line hung up mid-erase")
            << QStringList{"--hang-up", "300"} << 2 << false << none << "" << QStringList{commError}
            << "0001 0301*299"
            << "EBPV" << false << none;
        QTest::newRow("wrong speed") << QStringList{"--baud", "2400"} << 2 << false << none << ""
                                     << QStringList{commError} << ""
                                     << "" << false << none;
        QTest::newRow("cancel while erasing")
            << none << 2 << false << none << "esc@Erasing ...  10%" << QStringList{cancelled}
            << "0001 0301*<480"
            << "EBPV" << false << none;
        QTest::newRow("cancel while programming")
            << none << 2 << false << none << "esc@Programming ...  30%" << QStringList{cancelled}
            << "0001 0301*480 0A02 0202*<1658"
            << "PV" << false << none;
        QTest::newRow("F4 during the update") << none << 2 << false << none << "f4@Erasing ...  20%"
                                              << none << kCompleteUpdate << "EBPV" << true << none;

        // The Instructions open beside the running update, which goes on frame for frame.
        QTest::newRow("F1 while programming")
            << none << 2 << false << none << "f1@Programming ...  30%" << none << kCompleteUpdate
            << "EBPV" << true << none;
        // While the menu has the keyboard, Esc is the menu's: no cancel.
        QTest::newRow("Help, Esc, Esc while erasing")
            << none << 2 << false << none << "menu@Erasing ...  10%" << none << kCompleteUpdate
            << "EBPV" << true << none;
        const QString closing = "0001 0301*480 0A02 0202*1658 0A01 0B01";
        QTest::newRow("no reply to ResetDefaults")
            << QStringList{"--drop-reply", "2142"} << 2 << false << none << ""
            << QStringList{commError} << closing << "" << false
            << QStringList{"For Help press F1", "", "", ""};
        QTest::newRow("no reply to the second ReadVersion")
            << QStringList{"--drop-reply", "2143"} << 2 << false << none << ""
            << QStringList{commError} << closing + " 0001"
            << "" << false << QStringList{"For Help press F1", "", "", "."};
        // The late copy stands in front of the version reply; a reply to another command, it
        // is not taken for the identification.
        QTest::newRow("late duplicate of the ResetDefaults reply")
            << QStringList{"--repeat-reply", "2142"} << 2 << false << none << "" << none
            << kCompleteUpdate << "EBPV" << true << none;
        // In front of an erase reply it still begins with the start bytes: nothing to see.
        QTest::newRow("late duplicate of the version reply")
            << QStringList{"--repeat-reply", "1"} << 2 << false << none << "" << none
            << kCompleteUpdate << "EBPV" << true << none;

        // Frames of a whole update: 1 version, 2-481 erase, 482 blank check, 483-2140 write,
        // 2141 verify, 2142 reset defaults, 2143 version, 2144 finish.
        const QString notBootloader = "Make sure device is in bootloader mode.";
        const QString throughVerify = "0001 0301*480 0A02 0202*1658 0A01";
        // A failed blank check or verify is still evaluated on the reply held, so a failure
        // of the line there is followed by the check's own message.
        const QStringList blankLost{commError, "Blank Check Error"};
        const auto fault = [&](const char *name, const QStringList &sim, const QStringList &boxes,
                               const QString &codes, const QString &panel2) {
            QTest::newRow(name) << sim << 2 << false << none << "" << boxes << codes << panel2
                                << boxes.isEmpty() << none;
        };
        const QStringList comm{commError};
        const QStringList nb{notBootloader};
        const QString programming = "0001 0301*480 0A02 0202*";
        fault("version reply in pieces", {"--split-reply", "1"}, none, kCompleteUpdate, "EBPV");
        fault("erase reply in pieces", {"--split-reply", "100"}, none, kCompleteUpdate, "EBPV");
        fault("blank check reply in pieces", {"--split-reply", "482"}, none, kCompleteUpdate,
              "EBPV");
        fault("verify reply in pieces", {"--split-reply", "2141"}, none, kCompleteUpdate, "EBPV");
        fault("late version reply", {"--late-reply", "1"}, comm, "0001", "");
        fault("late reply mid-programming, then the next", {"--late-reply", "600"}, comm,
              programming + "118", "PV");
        fault("late blank check reply", {"--late-reply", "482"}, blankLost, "0001 0301*480 0A02",
              "B");
        fault("flood of stray bytes mid-programming", {"--flood-reply", "700"}, nb,
              programming + "218", "PV");
        fault("flood of stray bytes before the version", {"--flood-reply", "1"}, nb, "0001", "");
        fault("stray bytes before the version reply", {"--stray-bytes", "1"}, nb, "0001", "");
        // More than the reply: the surplus is taken with the next reply, whose start bytes
        // come first, and the flash is judged as in any completed update.
        fault("oversized version reply", {"--oversize-reply", "1"}, none, kCompleteUpdate, "EBPV");
        fault("oversized reply while erasing", {"--oversize-reply", "50"}, none, kCompleteUpdate,
              "EBPV");
        fault("oversized blank check reply", {"--oversize-reply", "482"}, none, kCompleteUpdate,
              "EBPV");
        // A whole reply to another command is an earlier request's, never this one's: the
        // wait goes on without it, and no reply came in time.
        fault("reply to another command while erasing", {"--wrong-reply", "10"}, comm,
              "0001 0301*9", "EBPV");
        fault("reply to another command for the version", {"--wrong-reply", "1"}, comm, "0001", "");
        fault("reply to another command for the blank check", {"--wrong-reply", "482"}, blankLost,
              "0001 0301*480 0A02", "B");
        fault("reply to another command for verify", {"--wrong-reply", "2141"},
              {commError, "Verify Checksum Error"}, throughVerify, "V");
        fault("wrong start byte on the version reply", {"--wrong-start", "1"}, nb, "0001", "");
        fault("hang-up during the blank check", {"--hang-up", "482"}, blankLost,
              "0001 0301*480 0A02", "B");
        fault("hang-up mid-programming", {"--hang-up", "1000"}, comm, programming + "518", "PV");
        fault("hang-up during verify", {"--hang-up", "2141"}, {commError, "Verify Checksum Error"},
              throughVerify, "V");
        fault("hang-up on the version read back", {"--hang-up", "2143"}, comm,
              throughVerify + " 0B01 0001", "");
        // FinishUpdate reached the unit before the line went: the update is complete.
        fault("hang-up right after FinishUpdate", {"--hang-up", "2144"}, none, kCompleteUpdate,
              "EBPV");
        fault("silent after ResetDefaults", {"--silent-from", "2143"}, comm,
              throughVerify + " 0B01 0001", "");
        fault("no reply to the blank check", {"--drop-reply", "482"}, blankLost,
              "0001 0301*480 0A02", "B");
        fault("garbled erase reply", {"--garble-reply", "5"}, nb, "0001 0301*4", "EBPV");
        fault("garbled blank check reply", {"--garble-reply", "482"},
              {notBootloader, "Blank Check Error"}, "0001 0301*480 0A02", "B");
        fault("short reply mid-programming", {"--short-reply", "800"}, comm, programming + "318",
              "PV");
    }
    void update() {
        QFETCH(QStringList, sim);
        QFETCH(int, baud);
        QFETCH(bool, remote);
        QFETCH(QStringList, answers);
        QFETCH(QString, action);
        QFETCH(QStringList, boxes);
        QFETCH(QString, codes);
        QFETCH(QString, panel2);
        QFETCH(bool, success);
        QFETCH(QStringList, panels);

        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, sim, records.path());
        QVERIFY(!instrument.device().isEmpty());

        frmMain w;
        prepare(w, baud, remote);
        BoxAnswerer answerer;
        answerer.answers = answers;
        bool acted = false;
        // What a screen reader hears once erasing has begun.
        QStringList heardWhileErasing;
        answerer.onTick = [&] {
            if (heardWhileErasing.isEmpty() && panel(w, 1).startsWith("Erasing"))
                heardWhileErasing << spoken(child<QWidget>(w, "cmdExit"))
                                  << spoken(child<QWidget>(w, "lblMessage"));
        };
        if (!action.isEmpty()) {
            const QString what = action.section('@', 0, 0);
            const QString when = action.section('@', 1);
            const QString text = when.section("  ", 0, 0);
            const int percent = when.section("  ", 1).chopped(1).toInt();
            answerer.onTick = [&, what, text, percent, listen = answerer.onTick] {
                listen();
                const QString now = panel(w, 1);
                if (acted || !now.startsWith(text) ||
                    now.section("  ", 1).chopped(1).toInt() < percent)
                    return;
                acted = true;
                // From a fresh event, so that this poll is free to answer what the key opens.
                QTimer::singleShot(0, &w, [&w, what] {
                    if (what == "menu")
                        helpEscEsc(w);
                    else if (what == "f1")
                        key(w, Qt::Key_F1);
                    else
                        key(w, what == "esc" ? Qt::Key_Escape : Qt::Key_F4);
                });
            };
        }
        key(w, Qt::Key_F4);
        QVERIFY(action.isEmpty() || acted);
        if (action.startsWith("f1@")) {
            const QWidgetList tops = QApplication::topLevelWidgets();
            QVERIFY(std::any_of(tops.begin(), tops.end(), [](QWidget *t) {
                return t->objectName() == "frmInstructions" && t->isVisible();
            }));
        }

        QCOMPARE(answerer.texts(), boxes);
        // The replacement question has a title of its own; every other box is the tool's.
        for (const SeenBox &box : answerer.seen)
            QCOMPARE(box.title, box.icon == QMessageBox::Question
                                    ? QStringLiteral("Confirm Firmware Replace")
                                    : w.engine.state.sTitleVer);
        QVERIFY(idle(w));
        QCOMPARE(panel(w, 2), panel2);
        for (int n = 1; n <= panels.size(); ++n)
            QCOMPARE(panel(w, n), panels[n - 1]);
        if (codes.contains("0301"))
            QCOMPARE(
                heardWhileErasing,
                QStringList({"Cancel (ESC)", "Please wait.  ZARVO firmware is being updated."}));
        QCOMPARE(spoken(child<QWidget>(w, "cmdExit")), QStringLiteral("Exit (ESC)"));
        frmSuccess *dialog = frmSuccess::instance();
        QCOMPARE(dialog != nullptr, success);
        QCOMPARE(w.engine.state.bSuccess, success);

        if (codes.endsWith("0801"))
            QVERIFY(instrument.finished());
        instrument.stop();
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), codes, &why), qPrintable(why));
        if (!success)
            QVERIFY(!instrument.codes().contains("0801"));

        if (success) {
            QCOMPARE(panel(w, 1), QStringLiteral("Update Finished"));
            QCOMPARE(panel(w, 4), QStringLiteral("1012.01"));
            // Every written byte as in the image, everything else in the region erased.
            QByteArray written;
            const QByteArray image = readHex(QStringLiteral(ZARVO_IMAGE_HEX), &written);
            const QByteArray flash = readHex(instrument.dumpPath());
            QCOMPARE(image.size(), 0x8000);
            QCOMPARE(flash.size(), 0x8000);
            QCOMPARE(written.count(char(1)), 26528 - 4); // the 4 overlapping bytes once
            for (int a = 0x800; a < 0x8000; ++a)
                if (flash[a] != image[a])
                    QFAIL(qPrintable(
                        QStringLiteral("flash differs at 0x%1").arg(a, 6, 16, QChar('0'))));
            // The completion dialog counts down and closes itself at the thirtieth tick.
            QCOMPARE(child<QPushButton>(*dialog, "OKButton")->text(),
                     QStringLiteral("OK [30 sec.]"));
            for (int tick = 1; tick < 30; ++tick)
                dialog->tmrCountDown_Timer();
            QCOMPARE(child<QPushButton>(*dialog, "OKButton")->text(),
                     QStringLiteral("OK [1 sec.]"));
            dialog->tmrCountDown_Timer();
            QVERIFY(!frmSuccess::instance());
            QVERIFY(!w.engine.state.bSuccess);
        }
        w.close();
    }

    void portProblems_data() { addUnusablePortRows(); }
    void portProblems() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        PortSandbox sandbox;
        QTemporaryDir records;
        // The port in use is a live instrument that another program holds; the vanishing one
        // is a live instrument until the port check has closed it.
        std::unique_ptr<Instrument> instrument;
        if (kind == "held" || kind == "opened" || kind == "vanishing")
            instrument = std::make_unique<Instrument>(kPort, QStringList{}, records.path());
        UnusablePort unusable(sandbox, kPort, kind, instrument ? instrument->device() : QString());
        QVERIFY(unusable.ready());
        frmMain w;
        unusable.watch(w.engine.MSComm1, [&] { instrument->stop(); });
        prepare(w, 2, false);
        BoxAnswerer answerer;
        key(w, Qt::Key_F4);
        QCOMPARE(answerer.seen.size(), 1);
        QVERIFY2(answerer.seen[0].text.startsWith(message), qPrintable(answerer.seen[0].text));
        if (kind == "held" || kind == "opened")
            QCOMPARE(answerer.seen[0].text, message + unusable.holderLine());
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(answerer.seen[0].title, w.engine.state.sTitleVer);
        QVERIFY(idle(w));
        if (instrument) {
            unusable.release();
            instrument->stop();
            QVERIFY(instrument->codes().isEmpty());
        }
        w.close();
    }

    // Closing the window during an update asks first; answered Yes, the update ends quietly,
    // the window goes only after the update has unwound, and nothing reaches the instrument
    // after the close.
    void closeDuringUpdate() {
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, {}, records.path());
        auto *w = new frmMain;
        w->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<frmMain> guard(w);
        prepare(*w, 2, false);
        showInstructions(w);
        BoxAnswerer answerer;
        answerer.answers = {"Yes"};
        bool closed = false;
        answerer.onTick = [&] {
            if (!closed && guard && panel(*guard, 1).startsWith("Erasing ...  ")) {
                closed = true;
                QVERIFY(!guard->close()); // put off: the wait is on the stack
            }
        };
        key(*w, Qt::Key_F4);
        QVERIFY(closed);
        QTRY_VERIFY(!guard);
        QCOMPARE(answerer.texts(),
                 QStringList{"An update is running. Cancel it and close the window?"});
        QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
                std::none_of(QApplication::topLevelWidgets().begin(),
                             QApplication::topLevelWidgets().end(),
                             [](QWidget *t) { return t->isVisible(); }));
        instrument.stop();
        // The erase frames written before the close may still sit unread in the line when
        // the port closes, and a pseudo-terminal drops them then: how many arrive depends on
        // the instrument's pace, but none may come after the erase.
        const QByteArrayList codes = instrument.codes();
        QVERIFY(!codes.isEmpty());
        QCOMPARE(codes.first(), QByteArray("0001"));
        QVERIFY(codes.size() < 1 + 480);
        for (qsizetype i = 1; i < codes.size(); ++i)
            QCOMPARE(codes[i], QByteArray("0301"));
    }

    // A signal to end the program (the session closed, a service stopped, Ctrl-C in the
    // terminal that started it) closes the window as its close box does: the update ends
    // quietly, the port is closed and its lock file gone, nothing more reaches the
    // instrument; a box waiting for an answer does not hold it up.
    void closeBySignal_data() {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("when"); // the panel text or box that the signal comes at
        QTest::addColumn<QStringList>("sim");
        QTest::newRow("SIGTERM while erasing") << int(SIGTERM) << "Erasing ...  " << QStringList{};
        QTest::newRow("SIGHUP while programming")
            << int(SIGHUP) << "Programming ...  " << QStringList{};
        QTest::newRow("SIGINT while erasing") << int(SIGINT) << "Erasing ...  " << QStringList{};
        QTest::newRow("SIGTERM at the question")
            << int(SIGTERM) << "box" << QStringList{"--version", "1012"};
        QTest::newRow("SIGTERM while idle") << int(SIGTERM) << "idle" << QStringList{};
    }
    void closeBySignal() {
        QFETCH(int, signal);
        QFETCH(QString, when);
        QFETCH(QStringList, sim);
        PortSandbox sandbox;
        QTemporaryDir records;
        Instrument instrument(kPort, sim, records.path());
        const QString lockFile = "/var/lock/LCK.." + instrument.device().mid(5).replace('/', '_');
        auto *w = new frmMain;
        w->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<frmMain> guard(w);
        prepare(*w, 2, false);
        showInstructions(w);
        if (when == "idle") {
            ::kill(::getpid(), signal);
            QTRY_VERIFY(!guard);
            instrument.stop();
            QVERIFY(instrument.codes().isEmpty());
            return;
        }
        // Polls inside Send's wait and inside the question's own modal loop.
        bool sent = false;
        QTimer tick;
        tick.setInterval(2);
        connect(&tick, &QTimer::timeout, [&] {
            if (sent || !guard)
                return;
            const bool atBox = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (when == "box" ? atBox : panel(*guard, 1).startsWith(when)) {
                sent = true;
                QVERIFY(guard->engine.MSComm1.isOpen());
                // The lock that must not be left behind (where serial locks live here).
                if (QFileInfo(QStringLiteral("/var/lock")).isWritable())
                    QVERIFY2(QFile::exists(lockFile), qPrintable(lockFile));
                ::kill(::getpid(), signal);
            }
        });
        tick.start();
        key(*w, Qt::Key_F4);
        QVERIFY(sent);
        QTRY_VERIFY(!guard);
        QVERIFY(!qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
        QVERIFY(std::none_of(QApplication::topLevelWidgets().begin(),
                             QApplication::topLevelWidgets().end(),
                             [](QWidget *t) { return t->isVisible(); }));
        QVERIFY2(!QFile::exists(lockFile), qPrintable(lockFile));
        instrument.stop();
        // Nothing after the phase the signal came in: no write frame after an erase, and
        // never the end of an update.
        const QByteArrayList codes = instrument.codes();
        QVERIFY(!codes.contains("0801"));
        QVERIFY(!codes.contains("0A01"));
        if (when.startsWith("Erasing"))
            QVERIFY(!codes.contains("0202"));
    }

    void exitWhileIdle_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<bool>("closes");
        QTest::newRow("Esc") << "Esc" << true;
        QTest::newRow("Exit button") << "button" << true;
        // Esc while the menu has the keyboard only leaves the menu.
        QTest::newRow("Alt, Esc") << "Alt, Esc" << false;
        QTest::newRow("Help, Esc, Esc") << "Help, Esc, Esc" << false;
    }
    void exitWhileIdle() {
        QFETCH(QString, how);
        QFETCH(bool, closes);
        PortSandbox sandbox;
        auto *w = new frmMain;
        w->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<frmMain> guard(w);
        prepare(*w, 2, false);
        QPointer<QDialog> aboutGuard(closes ? showAbout(w->engine.state.sVersion) : nullptr);
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
        if (how == "Esc") {
            key(*w, Qt::Key_Escape);
        } else if (how == "button") {
            QTest::mouseClick(child<QPushButton>(*w, "cmdExit"), Qt::LeftButton);
        } else if (how == "Alt, Esc") {
            child<QWidget>(*w, "cmdExit")->setFocus();
            QTest::keyClick(w->windowHandle(), Qt::Key_Alt, Qt::AltModifier);
            QVERIFY(qobject_cast<QMenuBar *>(w->focusWidget()));
            QTest::keyClick(w->windowHandle(), Qt::Key_Escape);
        } else {
            helpEscEsc(*w);
        }
        if (closes) {
            QTRY_VERIFY(!guard);
            QTRY_VERIFY(!aboutGuard);
            return;
        }
        QCoreApplication::processEvents(); // where leaving the menu completes
        QVERIFY(guard && guard->isVisible());
        // Back with the window's controls, Esc exits again.
        QVERIFY(!qobject_cast<QMenuBar *>(w->focusWidget()));
        QTest::keyClick(w->windowHandle(), Qt::Key_Escape);
        QTRY_VERIFY(!guard);
    }

    // A second update after a failed check starts clean: the check flag cleared, the bar
    // re-based for erasing and again for programming, and it completes.
    void updateAfterFailedCheck_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("message");
        QTest::newRow("after a failed blank check") << "--fail-blank-check"
                                                    << "Blank Check Error";
        QTest::newRow("after a failed verify") << "--fail-verify"
                                               << "Verify Checksum Error";
    }
    void updateAfterFailedCheck() {
        QFETCH(QString, fault);
        QFETCH(QString, message);
        PortSandbox sandbox;
        QTemporaryDir first, second;
        frmMain w;
        prepare(w, 2, false);
        BoxAnswerer answerer;
        {
            Instrument instrument(kPort, {fault}, first.path());
            key(w, Qt::Key_F4);
            QCOMPARE(answerer.texts(), QStringList{message});
            QVERIFY(w.engine.state.bCheckFailed);
        }
        Instrument instrument(kPort, {}, second.path());
        QList<std::pair<QString, float>> bases; // the bar's maximum when each phase began
        answerer.onTick = [&] {
            const QString phase = panel(w, 1).section(' ', 0, 0);
            if ((phase == "Erasing" || phase == "Programming") &&
                (bases.isEmpty() || bases.last().first != phase))
                bases << std::pair{phase, w.progressMax()};
        };
        key(w, Qt::Key_F4);
        QCOMPARE(answerer.texts(), QStringList{message});
        QVERIFY(!w.engine.state.bCheckFailed);
        QCOMPARE(bases,
                 (QList<std::pair<QString, float>>{{"Erasing", 480.0f}, {"Programming", 1920.0f}}));
        QVERIFY(frmSuccess::instance());
        QVERIFY(instrument.finished());
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), kCompleteUpdate, &why), qPrintable(why));
        w.close();
    }

    void twoUpdates_data() { addTwoUpdateRows(); }
    void twoUpdates() {
        QFETCH(QStringList, first);
        QFETCH(QStringList, second);
        QFETCH(bool, unplug);
        QFETCH(int, firstOutcome);
        QFETCH(int, secondOutcome);
        QFETCH(QString, reason);
        PortSandbox sandbox;
        QTemporaryDir records[2];
        frmMain w;
        prepare(w, 2, false);
        BoxAnswerer answerer;
        const FormState &st = w.engine.state;
        for (int n = 0; n < 2; ++n) {
            Instrument instrument(kPort, n == 0 ? first : second, records[n].path());
            QVERIFY(!instrument.device().isEmpty());
            // Runs right after the reply is stored, before the next frame is written.
            int versionReplies = 0;
            const QMetaObject::Connection pull =
                connect(&w.engine.MSComm1, &CommPort::commEvent, &w, [&](int) {
                    if (n == 1 && unplug && st.sCommand == "0001" && ++versionReplies == 2)
                        instrument.stop();
                });
            answerer.seen.clear();
            key(w, Qt::Key_F4);
            disconnect(pull);
            const int outcome = n == 0 ? firstOutcome : secondOutcome;
            const bool done = outcome == int(Outcome::Done);
            QCOMPARE(int(st.outcome.value), outcome);
            QCOMPARE(answerer.texts(),
                     done ? QStringList{} : QStringList{"Error communicating with Port."});
            if (!done)
                QVERIFY2(st.outcome.detail.contains(reason), qPrintable(st.outcome.detail));
            QCOMPARE(frmSuccess::instance() != nullptr, done);
            QCOMPARE(st.bSuccess, done);
            QVERIFY(idle(w));
        }
        w.close();
    }

    // Send never clears the reply it holds: a first ReadVersion that times out shows the
    // version of the reply held before, and a remote start whose echo never comes is taken
    // as answered when the reply held before ends with the echo.
    void heldReply() {
        PortSandbox sandbox;
        QTemporaryDir first, second, third, fourth;
        frmMain w;
        prepare(w, 2, false);
        BoxAnswerer answerer;
        const QStringList commError{"Error communicating with Port."};
        QString why;
        {
            // Completes; the reply held at the end is the version read back, 1099.01.
            Instrument instrument(kPort, {"--new-version", "1099"}, first.path());
            key(w, Qt::Key_F4);
            QVERIFY(frmSuccess::instance());
        }
        {
            Instrument instrument(kPort, {"--drop-reply", "1"}, second.path());
            key(w, Qt::Key_F4);
            QCOMPARE(answerer.texts(), commError);
            QCOMPARE(panel(w, 4), QStringLiteral("1099.01"));
        }
        QTest::mouseClick(child<QCheckBox>(w, "chkRemote"), Qt::LeftButton);
        {
            // Echoes the start request, then leaves ReadVersion unanswered: the echo is held.
            Instrument instrument(kPort, {"--mode", "application", "--drop-reply", "1"},
                                  third.path());
            key(w, Qt::Key_F4);
            QCOMPARE(answerer.texts(), commError + commError);
            instrument.stop();
            QVERIFY2(matchesCodes(instrument.codes(), "0000 0001", &why), qPrintable(why));
        }
        // This instrument does not echo, and leaves ReadVersion unanswered too, so that what
        // the remote start decided stays on show for the whole wait.
        Instrument instrument(kPort, {"--mode", "application", "--no-echo", "--drop-reply", "1"},
                              fourth.path());
        QStringList shownAfterStart;
        answerer.onTick = [&] {
            const QString now = panel(w, 1);
            if (shownAfterStart.isEmpty() && now != "For Help press F1" &&
                now != "Starting Bootloader .")
                shownAfterStart << now << spoken(child<QWidget>(w, "lblMessage"));
        };
        key(w, Qt::Key_F4);
        QCOMPARE(answerer.texts(), commError + commError + commError);
        QCOMPARE(shownAfterStart, QStringList({"Bootloader Ready ...", ""}));
        instrument.stop();
        QVERIFY2(matchesCodes(instrument.codes(), "0000 0001", &why), qPrintable(why));
        w.close();
    }

    // The next update closes a completion dialog that is still counting.
    void nextUpdateClosesCompletionDialog() {
        PortSandbox sandbox;
        QTemporaryDir first, second;
        frmMain w;
        prepare(w, 2, false);
        BoxAnswerer answerer;
        QPointer<frmSuccess> earlier;
        {
            Instrument instrument(kPort, {}, first.path());
            key(w, Qt::Key_F4);
            earlier = frmSuccess::instance();
            QVERIFY(earlier);
            earlier->tmrCountDown_Timer();
        }
        Instrument instrument(kPort, {}, second.path());
        bool closedAtStart = false;
        answerer.onTick = [&] {
            if (!closedAtStart && panel(w, 1).startsWith("Erasing"))
                closedAtStart = !earlier || !earlier->isVisible();
        };
        key(w, Qt::Key_F4);
        QVERIFY(closedAtStart);
        QVERIFY(answerer.seen.isEmpty());
        QVERIFY(frmSuccess::instance());
        QVERIFY(frmSuccess::instance() != earlier.data());
        QCOMPARE(frmSuccess::instance()->countDown(), 30);
        w.close();
        QVERIFY(!frmSuccess::instance());
    }
    // An update that ends while a reply is on its way (cancelled, given up for want of a
    // reply, its process stopped or killed) leaves that reply on the line, or still to come
    // from a unit busy with the request. The next update, by the window or by zarvo-flash,
    // reads none of it and completes.
    void retryAfterInterruption_data() {
        QTest::addColumn<QString>("first"); // who ran the interrupted update
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QString>("retry"); // who runs the next one
        // How late the reply to the interrupted frame is: -1, on the line before the retry
        // (3 s late); else this many ms, and not before the retry's first frame is coming in.
        QTest::addColumn<int>("late");
        QTest::addColumn<int>("pause"); // ms between the two
        QTest::addColumn<int>("baud");  // 0: the default
        QTest::addColumn<int>("frame"); // the frame whose reply comes late
        const auto row = [](const char *name, const char *first, const char *ending,
                            const char *retry, int late, int pause, int baud, int frame = 3) {
            QTest::newRow(name) << QString(first) << QString(ending) << QString(retry) << late
                                << pause << baud << frame;
        };
        row("window cancelled, then zarvo-flash", "window", "cancel", "flash", -1, 0, 0);
        row("window without a reply in time, then the window", "window", "timeout", "window", -1, 0,
            0);
        row("zarvo-flash interrupted (Ctrl-C), then the window", "flash", "cancel", "window", -1, 0,
            0);
        row("zarvo-flash without a reply in time, then zarvo-flash", "flash", "timeout", "flash",
            -1, 0, 0);
        row("zarvo-flash killed, then zarvo-flash", "flash", "kill", "flash", -1, 0, 0);
        // The late reply lands in the retry's identification, in front of its reply.
        row("Ctrl-C, reply 150 ms late, zarvo-flash at once", "flash", "cancel", "flash", 150, 0,
            0);
        row("killed, reply 400 ms late, the window at once", "flash", "kill", "window", 400, 0, 0);
        row("window cancelled, reply 900 ms late, the window 0.3 s later", "window", "cancel",
            "window", 900, 300, 0);
        row("window without a reply in time, reply 150 ms late, zarvo-flash 0.3 s later", "window",
            "timeout", "flash", 150, 300, 0);
        row("zarvo-flash without a reply in time, reply 900 ms late, zarvo-flash at once", "flash",
            "timeout", "flash", 900, 0, 0);
        row("SIGTERM, reply 400 ms late, zarvo-flash 0.3 s later", "flash", "terminate", "flash",
            400, 300, 0);
        row("SIGHUP, reply 900 ms late, the window at once", "flash", "hang-up", "window", 900, 0,
            0);
        // At the line's own pace a whole update takes minutes: the retry is judged through
        // its identification and the erase frames that follow, each answered in turn.
        row("1200 baud, line timing: Ctrl-C, reply 400 ms late, zarvo-flash at once", "flash",
            "cancel", "flash", 400, 0, 1200);
        // A reply of the same command lands where the retry awaits its own, which then comes
        // byte by byte while the first erase awaits its reply.
        row("1200 baud, line timing: Ctrl-C while identifying, reply 400 ms late, zarvo-flash",
            "flash", "cancel", "flash", 400, 0, 1200, 1);
        row("killed while verifying, reply 400 ms late, zarvo-flash at once", "flash", "kill",
            "flash", 400, 0, 0, 2141);
    }
    void retryAfterInterruption() {
        QFETCH(QString, first);
        QFETCH(QString, ending);
        QFETCH(QString, retry);
        QFETCH(int, late);
        QFETCH(int, pause);
        QFETCH(int, baud);
        QFETCH(int, frame);
        PortSandbox sandbox;
        QTemporaryDir records;
        // What the instrument has received once the interrupted frame is in.
        const QString before = QMap<int, QString>{
            {1, "0001"},
            {3, "0001 0301*2"},
            {2141, "0001 0301*480 0A02 0202*1658 0A01"}}.value(frame);
        QVERIFY(!before.isEmpty());
        // The retry's frames after those: a second version read runs into the first.
        const auto then = [&](const QString &rest) {
            return frame == 1 ? QString(rest).replace(0, 4, "0001*2") : before + ' ' + rest;
        };
        // The reply to that frame comes late: after the tool gave up.
        QStringList sim{"--late-reply", late < 0 ? QString::number(frame)
                                                 : QStringLiteral("%1:%2").arg(frame).arg(late)};
        QStringList flashArgs{"--port", QString::number(kPort)};
        if (baud > 0) {
            sim << "--baud" << QString::number(baud) << "--line-timing";
            flashArgs << "--baud" << QString::number(baud);
        }
        Instrument instrument(kPort, sim, records.path());
        QVERIFY(!instrument.device().isEmpty());
        const auto frameIn = [&] { return instrument.codes().size() >= frame; };
        const QMap<QString, int> bySignal{
            {"cancel", SIGINT}, {"terminate", SIGTERM}, {"hang-up", SIGHUP}, {"kill", SIGKILL}};

        if (first == "window") {
            frmMain w;
            prepare(w, 2, false);
            BoxAnswerer answerer;
            bool acted = false;
            if (ending == "cancel")
                answerer.onTick = [&] {
                    if (!acted && frameIn()) {
                        acted = true;
                        QTimer::singleShot(0, &w, [&w] { key(w, Qt::Key_Escape); });
                    }
                };
            key(w, Qt::Key_F4);
            QCOMPARE(answerer.texts(),
                     QStringList{ending == "cancel" ? "Firmware update was cancelled."
                                                    : "Error communicating with Port."});
            QVERIFY(idle(w));
            w.close();
            UnloadAllForms();
        } else {
            Flash flash(flashArgs);
            if (ending != "timeout") {
                QTRY_VERIFY_WITH_TIMEOUT(frameIn(), 10000);
                ::kill(flash.process().processId(), bySignal.value(ending));
            }
            // A cancel ends by the signal that asked for it, as a kill does (-1: no exit).
            QCOMPARE(flash.finish(), ending == "timeout" ? 9 : -1);
            if (ending != "timeout")
                QCOMPARE(flash.endedBySignal(), bySignal.value(ending));
        }
        QString why;
        QVERIFY2(matchesCodes(instrument.codes(), before, &why), qPrintable(why));
        // The late reply is on the line before the next update begins; the held one only
        // leaves once the retry has the port open and its first frame is on the way.
        if (late < 0)
            QVERIFY(lineHolds(instrument.device(), 5)); // the erase's acknowledgement
        QTest::qWait(pause);

        if (baud > 0) {
            Flash flash(flashArgs);
            const auto erasing = [&] { return instrument.codes().size() >= frame + 1 + 20; };
            QTRY_VERIFY_WITH_TIMEOUT(erasing(), 20000);
            ::kill(flash.process().processId(), SIGINT);
            QCOMPARE(flash.finish(), -1);
            QCOMPARE(flash.endedBySignal(), SIGINT);
            QVERIFY2(matchesCodes(instrument.codes(), then("0001 0301*<480"), &why),
                     qPrintable(why));
            return;
        }
        if (retry == "window") {
            frmMain w;
            prepare(w, 2, false);
            BoxAnswerer answerer;
            key(w, Qt::Key_F4);
            QCOMPARE(answerer.texts(), QStringList{});
            QVERIFY(w.engine.state.bSuccess);
            w.close();
        } else {
            // A verify that passed has installed the new version: replacing it is asked.
            Flash flash(flashArgs + QStringList{"--yes"});
            QCOMPARE(flash.finish(), 0);
        }
        QVERIFY(instrument.finished());
        QVERIFY2(matchesCodes(instrument.codes(), then(kCompleteUpdate), &why),
                 qPrintable(why));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "test_e2e.moc"
