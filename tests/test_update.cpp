// The update procedure, the cancel and the port check, with a recording window and a
// scripted bootloader on a pseudo-terminal reached as port 3.
#include <QtTest>
#include <optional>
#include <sys/stat.h>

#include "frames.h"
#include "image.h"
#include "instrument.h" // asNobody()
#include "linkrig.h"
#include "sequences.h"
#include "updater.h"

namespace {

const QString kTitle = QStringLiteral("Title v1012");

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT

    struct Rig : LinkRig {
        Updater updater{st, view, port, link};

        Rig() : LinkRig(3) {
            st.iComPort = 3;
            st.sBaudrate = QStringLiteral("2400");
        }
        bool idleAgain() const {
            bool controls = true;
            for (Form::Control c :
                 {Form::Control::cmdProgram, Form::Control::chkRemote, Form::Control::lblRemote,
                  Form::Control::cboComPort, Form::Control::cboBaudrate})
                controls = controls && view.enabled.value(c);
            return controls && st.bIdle && view.exitCaption == "Exit (ESC)" && !port.isOpen() &&
                   view.messageLine.isEmpty() && !updater.running();
        }
    };

private slots:
    void completeUpdate() {
        Rig rig;
        rig.updater.cmdProgram_Click();
        QByteArrayList expected{"0001"};
        for (int i = 0; i < 480; ++i)
            expected << "0301";
        expected << "0A02";
        for (size_t i = 0; i < WriteFrames.size(); ++i)
            expected << "0202";
        expected << "0A01"
                 << "0B01"
                 << "0001"
                 << "0801";
        QTRY_COMPARE(rig.codes().size(), expected.size()); // the last frame is not awaited
        QCOMPARE(rig.codes(), expected);
        QCOMPARE(rig.peer.frames.last().wire.toHex().toUpper(), QByteArray("0F0F08010000003CBB04"));
        // FinishUpdate is read here only after the port has closed; the others as they came.
        for (const PeerFrame &f : rig.peer.frames.first(rig.peer.frames.size() - 1))
            QCOMPARE(f.speed, speed_t(B2400));
        QVERIFY(rig.view.boxes.isEmpty());
        QCOMPARE(rig.view.panels[2], QStringLiteral("EBPV"));
        QCOMPARE(rig.view.panels[1], QStringLiteral("Update Finished"));
        QCOMPARE(rig.view.panels[4], QStringLiteral("1003.01"));
        QCOMPARE(rig.view.successShown, 1);
        QVERIFY(rig.idleAgain());
        QVERIFY(rig.st.bEndUpdate);
        QCOMPARE(int(rig.st.outcome.value), int(Outcome::Done));
    }

    void remoteStart_data() {
        QTest::addColumn<bool>("echo");
        QTest::addColumn<QString>("messageLine"); // just before ReadVersion
        QTest::addColumn<QString>("panel1");
        QTest::newRow("answered") << true << ""
                                  << "Bootloader Ready ...";
        QTest::newRow("no answer") << false << "Please wait.  Attempting to start bootloader."
                                   << "Starting Bootloader .";
    }
    void remoteStart() {
        QFETCH(bool, echo);
        QFETCH(QString, messageLine);
        QFETCH(QString, panel1);
        Rig rig;
        rig.view.remote = true;
        QString lineAtVersion, panelAtVersion;
        bool versionSeen = false;
        rig.peer.respond = [&](const PeerFrame &f) {
            if (f.code == "0000" && !echo)
                return QByteArray();
            if (f.code == "0001" && !versionSeen) {
                versionSeen = true;
                lineAtVersion = rig.view.messageLine;
                panelAtVersion = rig.view.panels[1];
            }
            // Stray bytes in front of the echo still count: only the last 8 are compared.
            if (f.code == "0000")
                return QByteArray("\x00\x13", 2) + BootPeer::standardReply(f);
            return BootPeer::standardReply(f);
        };
        rig.updater.cmdProgram_Click();
        QCOMPARE(rig.peer.frames[0].code, QByteArray("0000"));
        QCOMPARE(rig.peer.frames[0].speed, speed_t(B4800));
        QCOMPARE(rig.peer.frames[1].code, QByteArray("0001"));
        for (qsizetype i = 1; i < rig.peer.frames.size() - 1; ++i)
            QCOMPARE(rig.peer.frames[i].speed, speed_t(B2400));
        QCOMPARE(lineAtVersion, messageLine);
        QCOMPARE(panelAtVersion, panel1);
        QCOMPARE(rig.view.successShown, 1);
        QVERIFY(rig.idleAgain());
    }

    // Where each way of ending leaves the update: frames sent, messages, panel 2.
    void endings_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("panel2");
        QTest::addColumn<QByteArray>("lastCode");
        QTest::addColumn<int>("writes");
        QTest::addColumn<int>("outcome");
        QTest::addColumn<QString>("detail"); // how the outcome's detail begins
        QTest::newRow("replace declined")
            << "same version" << QStringList{"Would you like to replace version 1012 with 1012?"}
            << "" << QByteArray("0001") << 0 << int(Outcome::Declined) << "installed version 1012";
        QTest::newRow("foreign device")
            << "foreign" << QStringList{"Attached device is not the ZARVO-415B."} << ""
            << QByteArray("0001") << 0 << int(Outcome::ForeignDevice) << "identification 0417";
        QTest::newRow("no reply to version")
            << "silent 0001" << QStringList{"Error communicating with Port."} << ""
            << QByteArray("0001") << 0 << int(Outcome::CommError) << "no reply to command 0001";
        QTest::newRow("blank check fails")
            << "blank" << QStringList{"Blank Check Error"} << "EB" << QByteArray("0A02") << 0
            << int(Outcome::BlankCheckFailed) << "result bytes 3C-FF-C4-00";
        QTest::newRow("verify fails")
            << "verify" << QStringList{"Verify Checksum Error"} << "EBPV" << QByteArray("0A01")
            << int(WriteFrames.size()) << int(Outcome::VerifyFailed) << "result bytes 00-00-00-01";
        QTest::newRow("no reply mid-programming")
            << "silent 700" << QStringList{"Error communicating with Port."} << "PV"
            << QByteArray("0202") << 700 << int(Outcome::CommError) << "no reply to command 0202";
        QTest::newRow("hang-up mid-erase")
            << "hangup 100" << QStringList{"Error communicating with Port."} << "EBPV"
            << QByteArray("0301") << 0 << int(Outcome::CommError) << "/dev/";
        QTest::newRow("not a bootloader")
            << "garbage 0001" << QStringList{"Make sure device is in bootloader mode."} << ""
            << QByteArray("0001") << 0 << int(Outcome::NotBootloader) << "reply 55 55";
    }
    void endings() {
        QFETCH(QString, fault);
        QFETCH(QStringList, boxes);
        QFETCH(QString, panel2);
        QFETCH(QByteArray, lastCode);
        QFETCH(int, writes);
        QFETCH(int, outcome);
        QFETCH(QString, detail);
        Rig rig;
        int writesSeen = 0, framesSeen = 0;
        rig.peer.respond = [&](const PeerFrame &f) -> QByteArray {
            ++framesSeen;
            if (f.code == "0202")
                ++writesSeen;
            if (f.code == "0001" && fault == "same version")
                return BootPeer::versionReply("0415", "1012");
            if (f.code == "0001" && fault == "foreign")
                return BootPeer::versionReply("0417", "1003");
            if (f.code == "0001" && fault == "silent 0001")
                return {};
            if (f.code == "0001" && fault == "garbage 0001")
                return QByteArray(16, '\x55');
            if (f.code == "0A02" && fault == "blank")
                return BootPeer::checkReply(2, QByteArray("\x00\xC4\xFF\x3C", 4));
            if (f.code == "0A01" && fault == "verify")
                return BootPeer::checkReply(1, QByteArray("\x01\x00\x00\x00", 4));
            if (f.code == "0202" && fault == "silent 700" && writesSeen == 700)
                return {};
            if (fault == "hangup 100" && framesSeen == 100) {
                rig.pty.hangUp();
                return {};
            }
            return BootPeer::standardReply(f);
        };
        rig.updater.cmdProgram_Click();
        QCOMPARE(rig.view.boxTexts(), boxes);
        QCOMPARE(rig.view.panels[2], panel2);
        if (fault != "hangup 100")
            QCOMPARE(rig.peer.frames.last().code, lastCode);
        QCOMPARE(rig.count("0202"), writes);
        QCOMPARE(rig.count("0801"), 0);
        QCOMPARE(rig.view.successShown, 0);
        QVERIFY(rig.idleAgain());
        QCOMPARE(int(rig.st.outcome.value), outcome);
        QVERIFY2(rig.st.outcome.detail.startsWith(detail), qPrintable(rig.st.outcome.detail));
    }

    void cancel_data() {
        QTest::addColumn<QByteArray>("during");
        QTest::addColumn<int>("atFrame");
        QTest::newRow("erasing") << QByteArray("0301") << 50;
        QTest::newRow("programming") << QByteArray("0202") << 900;
        QTest::newRow("version") << QByteArray("0001") << 1;
    }
    void cancel() {
        QFETCH(QByteArray, during);
        QFETCH(int, atFrame);
        Rig rig;
        int seen = 0;
        rig.peer.respond = [&](const PeerFrame &f) -> QByteArray {
            if (f.code == during && ++seen == atFrame) {
                rig.updater.cmdExit_Click(); // the button or Esc, inside Send's wait
                return {};
            }
            return BootPeer::standardReply(f);
        };
        rig.updater.cmdProgram_Click();
        QCOMPARE(rig.view.boxTexts(), QStringList{"Firmware update was cancelled."});
        QCOMPARE(rig.view.boxes[0].icon, Form::Icon::Critical);
        QCOMPARE(rig.codes().count(during), atFrame);
        QCOMPARE(rig.codes().last(), during);
        QCOMPARE(rig.view.successShown, 0);
        QCOMPARE(rig.view.value, 0.0f);
        QVERIFY(rig.idleAgain());
        QCOMPARE(rig.view.mainUnloaded, 0);
        QCOMPARE(int(rig.st.outcome.value), int(Outcome::Cancelled));
    }

    // F4 inside a running update, and an update started while an earlier one unwinds.
    void programRefusedWhileRunning() {
        Rig rig;
        int seen = 0;
        // Every flag and every control the window shows, before and after the refused F4.
        struct Shown {
            FormState state;
            QStringList panels;
            float value, max;
            QMap<Form::Control, bool> enabled;
            QString exitCaption, messageLine;
            bool operator==(const Shown &) const = default;
        };
        auto shown = [&] {
            return Shown{rig.st,
                         {rig.view.panels, rig.view.panels + 5},
                         rig.view.value,
                         rig.view.max,
                         rig.view.enabled,
                         rig.view.exitCaption,
                         rig.view.messageLine};
        };
        std::optional<Shown> before, after;
        rig.peer.respond = [&](const PeerFrame &f) -> QByteArray {
            if (f.code == "0301" && ++seen == 10) {
                before = shown();
                rig.updater.cmdProgram_Click();
                after = shown();
                rig.updater.cmdExit_Click(true); // quiet cancel, as when the window closes
                rig.updater.cmdProgram_Click();  // idle now, but the first is still unwinding
            }
            return BootPeer::standardReply(f);
        };
        rig.updater.cmdProgram_Click();
        QCOMPARE(rig.count("0001"), 1);
        QCOMPARE(rig.count("0301"), 10);
        QVERIFY(before && after);
        QCOMPARE(before->enabled.size(), 5); // all locked, none forgotten
        for (bool on : before->enabled)
            QVERIFY(!on);
        QCOMPARE(before->exitCaption, QStringLiteral("Cancel (ESC)"));
        QVERIFY(after->state == before->state);
        QVERIFY(*after == *before);
        QVERIFY(rig.view.boxes.isEmpty());
        QVERIFY(rig.idleAgain());
    }

    void exitWhileIdleUnloads() {
        Rig rig;
        rig.updater.cmdExit_Click();
        QCOMPARE(rig.view.mainUnloaded, 1);
        rig.updater.cmdExit_Click(true);
        QCOMPARE(rig.view.mainUnloaded, 1);
        QVERIFY(rig.view.boxes.isEmpty());
    }

    void completionDialogClosedByNextUpdate() {
        Rig rig;
        rig.st.bSuccess = true;
        rig.updater.cmdProgram_Click();
        QCOMPARE(rig.view.successUnloaded, 1);
        QCOMPARE(rig.view.successShown, 1);
    }

    // A second update in the same window counts from the start again: the bar re-based at
    // its first erase frame and at its first write frame, the phase letters written anew.
    void secondUpdateCountsAgain_data() {
        QTest::addColumn<QByteArray>("cancelDuring"); // the first update's; empty: it completes
        QTest::newRow("after a complete update") << QByteArray();
        QTest::newRow("after a cancel mid-programming") << QByteArray("0202");
    }
    void secondUpdateCountsAgain() {
        QFETCH(QByteArray, cancelDuring);
        Rig rig;
        int seen = 0;
        rig.peer.respond = [&](const PeerFrame &f) -> QByteArray {
            if (f.code == cancelDuring && ++seen == 900) {
                rig.updater.cmdExit_Click();
                return {};
            }
            return BootPeer::standardReply(f);
        };
        rig.updater.cmdProgram_Click();
        rig.view.panel1History.clear();
        rig.updater.cmdProgram_Click();
        const QStringList &shown = rig.view.panel1History;
        QCOMPARE(shown.size(), 1 + 480 + 1 + int(WriteFrames.size()) + 4);
        QCOMPARE(shown[1], QStringLiteral("Erasing ...  0%"));
        QCOMPARE(shown[480], QStringLiteral("Erasing ...  100%"));
        QCOMPARE(shown[482], QStringLiteral("Programming ...  0%"));
        QCOMPARE(shown[481 + int(WriteFrames.size())], QStringLiteral("Programming ...  86%"));
        QCOMPARE(rig.view.value, 1920.0f);
        QCOMPARE(rig.view.max, 1920.0f);
        QCOMPARE(rig.view.panels[2], QStringLiteral("EBPV"));
        QCOMPARE(rig.view.successShown, 2 - int(!cancelDuring.isEmpty()));
    }

    void checkComPort_data() {
        QTest::addColumn<QString>("device");
        QTest::addColumn<bool>("usable");
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("free pseudo-terminal") << "pty" << true;
        QTest::newRow("held by another program") << "held" << true;
    }
    void checkComPort() {
        QFETCH(QString, device);
        QFETCH(bool, usable);
        Rig rig;
        std::unique_ptr<PortHolder> holder;
        if (device == "missing")
            rig.sandbox.link(3, QStringLiteral("/dev/zarvo-no-such-device"));
        if (device == "held") {
            holder = std::make_unique<PortHolder>(rig.pty.slavePath());
            QVERIFY(holder->held());
        }
        rig.st.bIdle = false;
        rig.view.exitCaption = QStringLiteral("Cancel (ESC)");
        QCOMPARE(rig.updater.CheckComPort(3), usable);
        QVERIFY(!rig.port.isOpen());
        if (usable) {
            QVERIFY(rig.view.boxes.isEmpty());
            QVERIFY(!rig.st.bIdle);
        } else {
            QCOMPARE(rig.view.boxTexts(), QStringList{"Selected Com Port is not available."});
            QCOMPARE(rig.view.boxes[0].title, kTitle);
            QCOMPARE(rig.view.boxes[0].icon, Form::Icon::Exclamation);
            QVERIFY(rig.st.bIdle);
            QCOMPARE(rig.view.exitCaption, QStringLiteral("Exit (ESC)"));
            QCOMPARE(rig.view.panels[1], QStringLiteral("For Help press F1"));
        }
    }

    // Ports that cannot be used end the attempt before any frame, with one message.
    void portFailures_data() {
        addUnusablePortRows();
        QTest::newRow("port 0") << "zero"
                                << "Selected Com Port is not available."
                                << int(Outcome::PortMissing);
        // The configuration directory is writable by all, and another user swaps the port
        // directory for his own once the port check has closed the port.
        QTest::newRow("swapped by another user after the port check")
            << "swapped"
            << "Selected COM Port could not be opened." << int(Outcome::PortUnusable);
    }
    void portFailures() {
        QFETCH(QString, kind);
        QFETCH(QString, message);
        QFETCH(int, outcome);
        Rig rig;
        UnusablePort unusable(rig.sandbox, 3, kind, rig.pty.slavePath());
        QVERIFY(unusable.ready());
        unusable.watch(rig.port, [&] { rig.pty.hangUp(); });
        if (kind == "zero")
            rig.st.iComPort = 0;
        PtyPair theirs;
        QByteArray reachedThem;
        const QString base = QFileInfo(QFileInfo(rig.sandbox.portDirectory()).path()).path();
        if (kind == "swapped") {
            const QStringList runAs = asNobody();
            if (runAs.isEmpty())
                QSKIP("needs root, a user nobody and setpriv");
            QVERIFY(::chmod(QFile::encodeName(base).constData(), 0777) == 0);
            theirs.setPeer([&](const QByteArray &bytes) {
                reachedThem += bytes;
                return QByteArray();
            });
            QObject::connect(&rig.port, &CommPort::closed, &rig.port, [&, runAs] {
                const QString script = QStringLiteral(
                    "mv \"$0/zarvo-update\" \"$0/old\" && mkdir -p \"$0/zarvo-update/ports\" && "
                    "ln -s \"$1\" \"$0/zarvo-update/ports/com3\"");
                QProcess::execute(runAs.first(), runAs.mid(1) + QStringList{"sh", "-c", script,
                                                                            base,
                                                                            theirs.slavePath()});
            });
        }
        rig.updater.cmdProgram_Click();
        if (kind == "swapped") {
            QVERIFY2(rig.view.boxes.value(0).text.contains("chmod go-w " + base),
                     qPrintable(rig.view.boxes.value(0).text));
            QCoreApplication::processEvents();
            QVERIFY(reachedThem.isEmpty());
        }
        QCOMPARE(rig.view.boxes.size(), 1);
        QVERIFY2(rig.view.boxes[0].text.startsWith(message), qPrintable(rig.view.boxes[0].text));
        if (kind == "held" || kind == "opened")
            QCOMPARE(rig.view.boxes[0].text, message + unusable.holderLine());
        QCOMPARE(rig.view.boxes[0].icon, Form::Icon::Exclamation);
        QCOMPARE(rig.view.boxes[0].title, kTitle);
        QVERIFY(rig.peer.frames.isEmpty());
        QVERIFY(rig.idleAgain());
        QCOMPARE(int(rig.st.outcome.value), outcome);
        // Where the message is the window's short one, the port's reason comes as detail.
        if (outcome != int(Outcome::PortUnusable))
            QVERIFY(!rig.st.outcome.detail.isEmpty());
    }

    // A port that exists but will not open: the reason, and how to get access where the
    // operating system refused it to this user.
    void openFailureText_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("dialoutHint");
        QTest::newRow("permission")
            << int(serial::LineFault::Permission) << "/dev/ttyUSB0: Permission denied" << true;
        QTest::newRow("other failure") << int(serial::LineFault::Unusable)
                                       << "/tmp/x: Inappropriate ioctl for device" << false;
        QTest::newRow("no reason given") << int(serial::LineFault::Unusable) << "" << false;
    }
    void openFailureText() {
        QFETCH(int, code);
        QFETCH(QString, reason);
        QFETCH(bool, dialoutHint);
        const QString text = ::openFailureText(CommPort::Error{serial::LineFault(code), reason});
        QVERIFY(text.startsWith("Selected COM Port could not be opened."));
        QVERIFY(text.contains(reason));
#ifdef Q_OS_LINUX
        QCOMPARE(text.contains("dialout"), dialoutHint);
#else
        Q_UNUSED(dialoutHint);
#endif
    }

    // FinishUpdate that cannot be written is a failure, never a completion.
    void finishNotWrittenIsNoSuccess() {
        Rig rig;
        rig.peer.respond = [&](const PeerFrame &f) -> QByteArray {
            QByteArray answer = BootPeer::standardReply(f);
            if (f.code == "0001" && rig.count("0001") == 2) {
                rig.pty.write(answer);
                rig.pty.hangUp(); // the adapter is pulled right after the last reply
                return {};
            }
            return answer;
        };
        rig.updater.cmdProgram_Click();
        QCOMPARE(rig.view.successShown, 0);
        QCOMPARE(rig.view.boxTexts(), QStringList{"Error communicating with Port."});
        QVERIFY(rig.idleAgain());
        QCOMPARE(int(rig.st.outcome.value), int(Outcome::CommError));
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "test_update.moc"
