// Send, the receive path and the reply evaluation against a scripted bootloader on a
// pseudo-terminal, with a recording window.
#include <QCoreApplication>
#include <QEvent>
#include <QtTest>
#include <thread>
#include <unistd.h>

#include "frames.h"
#include "image.h"
#include "linkrig.h"
#include "memoryline.h"
#include "sequences.h"
#include "updater.h"

namespace {

// Counts the passes of Send's wait: a posted event re-posts itself, so it is delivered
// once per round of event processing.
class PassCounter : public QObject {
public:
    std::function<void(int)> onPass;
    int passes = 0;
    void start() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }
    void stop() { m_stopped = true; }

protected:
    bool event(QEvent *e) override {
        if (e->type() != QEvent::User)
            return QObject::event(e);
        if (m_stopped)
            return true;
        ++passes;
        if (onPass)
            onPass(passes);
        QCoreApplication::postEvent(this, new QEvent(QEvent::User));
        return true;
    }

private:
    bool m_stopped = false;
};

const QByteArray kAck("\x0F\x0F\x03\xFD\x04", 5);

QByteArray bytesOf(std::string_view frame) {
    return QByteArray(frame.data(), qsizetype(frame.size()));
}

} // namespace

class TestLink : public QObject {
    Q_OBJECT

    struct Rig : LinkRig {
        Updater updater{st, view, port, link}; // for the real cancel

        Rig() : LinkRig(1) {
            st.bIdle = false;
            st.bFirstErase = st.bFirstWrite = true;
            port.setCommPort(1);
            port.setSettings(QStringLiteral("4800,N,8,1"));
            port.open();
        }
    };

    // The instrument answers `reply`; or, `cancelled`, the user cancels inside the wait while
    // that reply is already held from before, as after a late reply.
    static void answerOrCancel(Rig &rig, const QByteArray &reply, bool cancelled) {
        rig.peer.respond = [&rig, reply, cancelled](const PeerFrame &) {
            if (!cancelled)
                return reply;
            rig.updater.cmdExit_Click(); // Cancel, inside the wait
            return QByteArray();
        };
        if (cancelled)
            rig.st.sReply = reply;
    }

    static void expectFailure(Rig &rig, const QString &message) {
        QCOMPARE(rig.view.boxTexts(), QStringList{message});
        QCOMPARE(rig.view.boxes[0].icon, Form::Icon::Exclamation);
        QCOMPARE(rig.view.boxes[0].title, QStringLiteral("Title v1012"));
        // What to check goes below the no-reply message alone.
        QCOMPARE(rig.view.boxes[0].informative.startsWith("Hint: "),
                 message == QStringLiteral("Error communicating with Port."));
        QCOMPARE(rig.view.value, 0.0f);
        QCOMPARE(rig.view.panels[1], QStringLiteral("For Help press F1"));
        QCOMPARE(rig.view.exitCaption, QStringLiteral("Exit (ESC)"));
        QVERIFY(rig.st.bIdle);
        QVERIFY(rig.st.bEndUpdate);
        QVERIFY(!rig.st.bVersionOK);
        QVERIFY(!rig.port.isOpen());
    }

private slots:
    void idleSendDoesNothing() {
        Rig rig;
        rig.st.bIdle = true;
        rig.st.sCommand = "keep";
        rig.link.Send(frames::ReadVersion);
        QCOMPARE(rig.pty.read(50), QByteArray());
        QCOMPARE(rig.st.sCommand, QByteArray("keep"));
        QVERIFY(rig.view.boxes.isEmpty());
        QVERIFY(rig.port.isOpen());
    }

    // The decision after the wait is taken on the pass counter, not on the flag. A reply
    // handed in comes at the end of its pass; one on the line is written at the end of the
    // pass before and taken early in its own, which is then made long enough that it cannot
    // run out first.
    void passLimit_data() {
        QTest::addColumn<int>("replyPass");
        QTest::addColumn<bool>("onLine");
        QTest::addColumn<bool>("fails");
        QTest::newRow("first pass") << 1 << false << false;
        QTest::newRow("pass 1000") << 1000 << false << false;
        QTest::newRow("pass 1001") << 1001 << false << true;
        QTest::newRow("never") << 0 << false << true;
        QTest::newRow("on the line, early in pass 1000") << 1000 << true << false;
        QTest::newRow("on the line, early in pass 1001") << 1001 << true << true;
    }
    void passLimit() {
        QFETCH(int, replyPass);
        QFETCH(bool, onLine);
        QFETCH(bool, fails);
        Rig rig;
        rig.peer.respond = nullptr;
        PassCounter counter;
        bool written = true;
        counter.onPass = [&](int pass) {
            if (!onLine && pass == replyPass) {
                rig.link.HandleInput(kAck);
            } else if (onLine && pass == replyPass - 1) {
                rig.link.setPassLength(std::chrono::minutes(10));
                written = rig.pty.write(kAck);
            }
        };
        counter.start();
        rig.link.Send(EraseFrames[0]);
        counter.stop();
        QVERIFY(written);
        // Once the reply is in, no further round of events comes before Send returns.
        const int rounds = onLine ? replyPass - 1 : replyPass > 0 ? replyPass : 1001;
        QCOMPARE(counter.passes, rounds);
        if (fails) {
            expectFailure(rig, QStringLiteral("Error communicating with Port."));
            QCOMPARE(rig.link.waitPasses(), 1001);
        } else {
            QVERIFY(rig.view.boxes.isEmpty());
            QVERIFY(!rig.st.bIdle);
            QCOMPARE(rig.st.sReply, kAck);
            QCOMPARE(rig.link.waitPasses(), replyPass);
        }
    }

    // Bytes arriving end a pass at once, and such passes do not count: with passes far
    // longer than the test, no pass may run out. Once the reply is in, no further round of
    // events comes before Send returns.
    void waitEndsOnInput_data() {
        QTest::addColumn<QByteArrayList>("chunks"); // written one by one while Send waits
        QTest::addColumn<int>("handInAt"); // the test hands the reply in once this many arrived
        QTest::addColumn<int>("rounds");   // rounds of event processing; -1: not judged
        QTest::newRow("reply in one piece") << QByteArrayList{kAck} << 0 << 1;
        QTest::newRow("reply in two pieces") << QByteArrayList{kAck.left(2), kAck.mid(2)} << 0 << 1;
        QTest::newRow("stray bytes below the reply's length")
            << QByteArrayList{QByteArray(1, '\0'), "\x55", "\xAA"} << 3 << -1;
    }
    void waitEndsOnInput() {
        QFETCH(QByteArrayList, chunks);
        QFETCH(int, handInAt);
        QFETCH(int, rounds);
        Rig rig;
        rig.peer.respond = nullptr;
        rig.link.setPassLength(std::chrono::minutes(10));
        PassCounter counter;
        counter.onPass = [&](int) {
            if (handInAt > 0 && rig.port.inBufferCount() >= handInAt && !rig.st.bReceived)
                rig.link.HandleInput(kAck);
        };
        counter.start();
        bool written = true;
        std::thread line([&] {
            for (const QByteArray &chunk : chunks) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                written = written && ::write(rig.pty.masterFd(), chunk.constData(),
                                             size_t(chunk.size())) == ssize_t(chunk.size());
            }
        });
        rig.link.Send(EraseFrames[0]);
        line.join();
        counter.stop();
        QVERIFY(written);
        QCOMPARE(rig.st.sReply, kAck);
        QVERIFY(rig.view.boxes.isEmpty());
        QVERIFY(!rig.st.bIdle);
        // No pass ran out; only the one the reply came in counts.
        QCOMPARE(rig.link.waitPasses(), 1);
        if (rounds >= 0)
            QCOMPARE(counter.passes, rounds);
    }

    // The wait is a time as well as a count: passes of at least a millisecond each, so that
    // a slow line (a version reply alone takes 133 ms at 1200 baud) is still waited for.
    // The upper bound is one that two cores shared by a dozen busy processes still meet (4 s
    // seen there); passes of 10 ms would miss it.
    void waitFollowsTheClock_data() {
        QTest::addColumn<int>("replyAfter"); // ms after the frame reached the line; -1: never
        QTest::newRow("no reply") << -1;
        QTest::newRow("reply after 900 ms") << 900;
    }
    void waitFollowsTheClock() {
        QFETCH(int, replyAfter);
        Rig rig;
        std::thread line;
        bool written = true;
        rig.peer.respond = [&](const PeerFrame &) {
            if (replyAfter >= 0) {
                line = std::thread([&] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(replyAfter));
                    written = ::write(rig.pty.masterFd(), kAck.constData(), size_t(kAck.size())) ==
                              ssize_t(kAck.size());
                });
            }
            return QByteArray();
        };
        QElapsedTimer clock;
        clock.start();
        rig.link.Send(EraseFrames[0]);
        const qint64 elapsed = clock.elapsed();
        if (line.joinable())
            line.join();
        QVERIFY(written);
        if (replyAfter < 0) {
            expectFailure(rig, QStringLiteral("Error communicating with Port."));
            QVERIFY2(elapsed >= 1001 && elapsed <= 8000, qPrintable(QString::number(elapsed)));
        } else {
            QVERIFY(rig.view.boxes.isEmpty());
            QVERIFY(!rig.st.bIdle);
            QCOMPARE(rig.st.sReply, kAck);
            QVERIFY2(elapsed >= replyAfter, qPrintable(QString::number(elapsed)));
        }
    }

    void badReplies_data() {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("message");
        QTest::newRow("shorter than expected")
            << QByteArray("\x0F\x0F\x03", 3) << "Error communicating with Port.";
        QTest::newRow("wrong first start byte")
            << QByteArray("\x0E\x0F\x03\xFD\x04", 5) << "Make sure device is in bootloader mode.";
        QTest::newRow("wrong second start byte")
            << QByteArray("\x0F\x00\x03\xFD\x04", 5) << "Make sure device is in bootloader mode.";
        QTest::newRow("stray byte in front") << QByteArray("\x00\x0F\x0F\x03\xFD\x04", 6)
                                             << "Make sure device is in bootloader mode.";
    }
    void badReplies() {
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        Rig rig;
        rig.peer.respond = [&](const PeerFrame &) { return answer; };
        rig.link.Send(EraseFrames[0]);
        expectFailure(rig, message);
    }

    // A whole reply to another command in front is an earlier request's (a cancelled run's,
    // a repeated one): it is dropped within the same wait, and the bytes behind it are still
    // this frame's reply. A frame of another command still coming in is awaited whole first.
    void earlierReplyDropped_data() {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArrayList>("chunks"); // written one by one while Send waits
        QTest::addColumn<QByteArray>("reply");      // empty: none came in time
        const QByteArray version = BootPeer::versionReply("0415", "1003");
        const QByteArray erase = bytesOf(EraseFrames[0]);
        const QByteArray readVersion = bytesOf(frames::ReadVersion);
        const QByteArray verify = bytesOf(frames::Verify);
        const QByteArray verified = BootPeer::checkReply(0x01, QByteArray("\x00\x00\x12\x34", 4));
        QTest::newRow("erase reply in front of the version reply")
            << readVersion << QByteArrayList{kAck + version} << version;
        QTest::newRow("version reply in front of an erase reply")
            << erase << QByteArrayList{version + kAck} << kAck;
        QTest::newRow("version reply in pieces in front of an erase reply")
            << erase << QByteArrayList{version.left(6), version.mid(6), kAck} << kAck;
        QTest::newRow("erase reply begun behind the dropped one")
            << erase << QByteArrayList{version + kAck.left(2), kAck.mid(2)} << kAck;
        // Same command byte; the count and escaped result bytes tell the blank check's.
        QTest::newRow("blank check reply in front of the verify reply")
            << verify
            << QByteArrayList{BootPeer::checkReply(0x02, QByteArray("\x01\x04\x40\x00", 4)) +
                              verified}
            << verified;
        QTest::newRow("nothing behind it") << erase << QByteArrayList{version} << QByteArray();
    }
    void earlierReplyDropped() {
        QFETCH(QByteArray, sent);
        QFETCH(QByteArrayList, chunks);
        QFETCH(QByteArray, reply);
        Rig rig;
        bool written = true;
        std::thread line;
        rig.peer.respond = [&](const PeerFrame &) {
            line = std::thread([&] {
                for (const QByteArray &chunk : chunks) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    written = written && ::write(rig.pty.masterFd(), chunk.constData(),
                                                 size_t(chunk.size())) == ssize_t(chunk.size());
                }
            });
            return QByteArray();
        };
        rig.link.Send(std::string_view(sent.constData(), std::size_t(sent.size())));
        line.join();
        QVERIFY(written);
        if (reply.isEmpty()) {
            expectFailure(rig, QStringLiteral("Error communicating with Port."));
            QCOMPARE(rig.link.waitPasses(), 1001);
            return;
        }
        QCOMPARE(rig.st.sReply.toHex(' '), reply.toHex(' '));
        QVERIFY(rig.view.boxes.isEmpty());
        QVERIFY(!rig.st.bIdle);
    }

    // No message either way; an echo that comes only after the wait has run out, in the
    // pause that follows it, is still taken.
    void startBootloaderWithoutAnswerSaysNothing_data() {
        QTest::addColumn<bool>("echoInPause");
        QTest::newRow("no answer") << false;
        QTest::newRow("echo in the pause after the wait") << true;
    }
    void startBootloaderWithoutAnswerSaysNothing() {
        QFETCH(bool, echoInPause);
        const QByteArray echo("\xFE\xFE\x33\x00\x42\x4C\x3F\xFD", 8);
        Rig rig;
        rig.peer.respond = nullptr;
        rig.st.sReply = "earlier";
        PassCounter counter;
        bool written = true;
        counter.onPass = [&](int pass) {
            if (echoInPause && pass == 1001) // the wait's last round of events
                written = rig.pty.write(echo);
        };
        counter.start();
        rig.link.Send(frames::StartBootloader);
        counter.stop();
        QVERIFY(written);
        QCOMPARE(counter.passes, 1001 + 1); // the wait's, and the pause's one round
        QVERIFY(rig.view.boxes.isEmpty());
        QCOMPARE(rig.st.sReply, echoInPause ? echo : QByteArray("earlier"));
        QVERIFY(!rig.st.bIdle);
        QVERIFY(rig.port.isOpen());
        QCOMPARE(rig.codes(), QByteArrayList{"0000"});
        QCOMPARE(rig.peer.frames[0].wire.size(), 26);
    }

    void finishUpdateIsWrittenNotAwaited() {
        Rig rig;
        rig.peer.respond = nullptr;
        rig.link.Send(frames::FinishUpdate);
        // Closed at once; the whole frame still reached the line.
        QVERIFY(!rig.port.isOpen());
        QVERIFY(rig.st.bIdle);
        QVERIFY(rig.link.finishWritten());
        QCOMPARE(rig.pty.read(200).toHex().toUpper(), QByteArray("0F0F08010000003CBB04"));
        QCOMPARE(rig.view.panels[1], QStringLiteral("Update Finished"));
        QVERIFY(rig.view.boxes.isEmpty());
    }

    void secondReceiveEventReplacesTheFirst() {
        Rig rig;
        rig.peer.respond = nullptr;
        PassCounter counter;
        counter.onPass = [&](int pass) {
            if (pass == 1) {
                rig.link.HandleInput("first");
                rig.link.HandleInput(kAck);
            }
        };
        counter.start();
        rig.link.Send(EraseFrames[0]);
        counter.stop();
        QCOMPARE(rig.st.sReply, kAck);
        QVERIFY(rig.view.boxes.isEmpty());
    }

    // The receive handler takes every buffered byte as it is, and only on event 2.
    void receivePath() {
        Rig rig;
        rig.port.setRThreshold(0); // the test raises the events itself
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        QVERIFY(rig.pty.write(all));
        QTRY_COMPARE(rig.port.inBufferCount(), 256);
        rig.st.sReply = "held";
        for (int event : {1, 3, 4, 5, 6, 7, 1001, 1011})
            rig.link.MSComm1_OnComm(event);
        QCOMPARE(rig.st.sReply, QByteArray("held"));
        QVERIFY(!rig.st.bReceived);
        rig.link.MSComm1_OnComm(CommPort::kEvReceive);
        QCOMPARE(rig.st.sReply, all);
        QVERIFY(rig.st.bReceived);
    }

    // A frame the port refuses must end the update, not be skipped in silence.
    void writeRefusedEndsTheUpdate() {
        Rig rig;
        rig.port.close();
        rig.st.sCommand = "none";
        EraseFlash(rig.link);
        expectFailure(rig, QStringLiteral("Error communicating with Port."));
        QCOMPARE(rig.view.panel1History.first(), QStringLiteral("Erasing ...  0%"));
        QVERIFY(rig.peer.frames.isEmpty());
    }

    void lineHungUpDuringWait() {
        Rig rig;
        rig.peer.respond = [&](const PeerFrame &) {
            rig.pty.hangUp();
            return QByteArray();
        };
        PassCounter counter;
        counter.start();
        rig.link.Send(frames::ReadVersion);
        counter.stop();
        expectFailure(rig, QStringLiteral("Error communicating with Port."));
        QVERIFY(counter.passes < 1001);
    }

    void versionEvaluation_data() {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QList<Form::Answer>>("answers");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("panel4");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<bool>("ended");
        QTest::addColumn<QString>("version"); // the tool's own; the build gives digits only
        // Cancelled during the wait, with `reply` the one held from before.
        QTest::addColumn<bool>("cancelled");
        const QString question = "Would you like to replace version 1012 with 1012?";
        const QString foreign = "Attached device is not the ZARVO-415B.";
        QTest::newRow("older installed")
            << BootPeer::versionReply("0415", "1003") << QList<Form::Answer>{} << QStringList{}
            << "1003.01" << true << false << "1012" << false;
        QTest::newRow("no firmware")
            << BootPeer::versionReply("0415", "\xFF\xFF\xFF\xFF") << QList<Form::Answer>{}
            << QStringList{} << "0000.00" << true << false << "1012" << false;
        QTest::newRow("same, Yes")
            << BootPeer::versionReply("0415", "1012", "07")
            << QList<Form::Answer>{Form::Answer::Yes} << QStringList{question} << "1012.07" << true
            << false << "1012" << false;
        QTest::newRow("same, No") << BootPeer::versionReply("0415", "1012")
                                  << QList<Form::Answer>{Form::Answer::No} << QStringList{question}
                                  << "1012.01" << false << true << "1012" << false;
        QTest::newRow("newer, question")
            << BootPeer::versionReply("0415", "2001") << QList<Form::Answer>{Form::Answer::Yes}
            << QStringList{"Would you like to replace version 2001 with 1012?"} << "2001.01" << true
            << false << "1012" << false;
        QTest::newRow("foreign device")
            << BootPeer::versionReply("0417", "1003") << QList<Form::Answer>{}
            << QStringList{foreign} << "1003.01" << false << true << "1012" << false;
        QTest::newRow("foreign, no firmware")
            << BootPeer::versionReply("0452", "\xFF\xFF\xFF\xFF") << QList<Form::Answer>{}
            << QStringList{foreign} << "0000.00" << false << true << "1012" << false;

        // The comparison ignores letter case: equal versions ask, whatever their case.
        QTest::newRow("same but for case, question")
            << BootPeer::versionReply("0415", "10AB") << QList<Form::Answer>{Form::Answer::No}
            << QStringList{"Would you like to replace version 10AB with 10ab?"} << "10AB.01"
            << false << true << "10ab" << false;
        QTest::newRow("newer but for case, question")
            << BootPeer::versionReply("0415", "10AC") << QList<Form::Answer>{Form::Answer::Yes}
            << QStringList{"Would you like to replace version 10AC with 10ab?"} << "10AC.01" << true
            << false << "10ab" << false;

        // The question is still asked after a cancel, on the reply held.
        QTest::newRow("cancelled, same held, question")
            << BootPeer::versionReply("0415", "1012") << QList<Form::Answer>{Form::Answer::No}
            << QStringList{"Firmware update was cancelled.", question} << "1012.01" << false << true
            << "1012" << true;
    }

    void versionEvaluation() {
        QFETCH(QByteArray, reply);
        QFETCH(QList<Form::Answer>, answers);
        QFETCH(QStringList, boxes);
        QFETCH(QString, panel4);
        QFETCH(bool, accepted);
        QFETCH(bool, ended);
        QFETCH(QString, version);
        QFETCH(bool, cancelled);
        Rig rig;
        rig.st.sVersion = version;
        answerOrCancel(rig, reply, cancelled);
        rig.view.answers = answers;
        rig.link.Send(frames::ReadVersion);
        QCOMPARE(rig.view.boxTexts(), boxes);
        QCOMPARE(rig.view.panels[4], panel4);
        QCOMPARE(rig.st.bIdle, ended);
        QCOMPARE(rig.port.isOpen(), !ended);
        // The end of an update clears bVersionOK, so an accepted reply shows only while
        // the update goes on.
        QCOMPARE(rig.st.bVersionOK, accepted && !ended);
        for (const RecordingView::Box &box : rig.view.boxes) {
            if (box.icon == Form::Icon::Question) {
                QCOMPARE(box.title, QStringLiteral("Confirm Firmware Replace"));
                QCOMPARE(box.buttons, Form::Buttons::YesNo);
                QCOMPARE(box.defaultButton, Form::Answer::No);
            }
        }
        if (ended)
            QCOMPARE(rig.view.panels[1], QStringLiteral("For Help press F1"));
    }

    // After a cancel the identity check is skipped; an empty reply shows "." and passes.
    void versionAfterCancelOnEmptyReply() {
        Rig rig;
        rig.peer.respond = [&](const PeerFrame &) {
            rig.updater.cmdExit_Click(); // Cancel, inside the wait
            return QByteArray();
        };
        rig.link.Send(frames::ReadVersion);
        QCOMPARE(rig.view.boxTexts(), QStringList{"Firmware update was cancelled."});
        QCOMPARE(rig.view.panels[4], QStringLiteral("."));
        QVERIFY(rig.st.bVersionOK);
    }

    void checkEvaluation_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("panel1");
        QTest::addColumn<QString>("panel3");
        QTest::addColumn<QString>("message");
        // Cancelled during the wait, with `reply` the one held from before: the last erase
        // or write acknowledgement, which lacks the result bytes.
        QTest::addColumn<bool>("cancelled");
        const QByteArray blank = bytesOf(frames::BlankCheck);
        const QByteArray verify = bytesOf(frames::Verify);
        QTest::newRow("blank ok") << blank
                                  << BootPeer::checkReply(2, QByteArray("\x00\xC4\xFF\x3B", 4))
                                  << "Blank Checking ..."
                                  << ""
                                  << "" << false;
        QTest::newRow("blank bad")
            << blank << BootPeer::checkReply(2, QByteArray("\x00\xC4\xFF\x3C", 4))
            << "Blank Check Failed"
            << "3C-FF-C4-00"
            << "Blank Check Error" << false;
        QTest::newRow("blank 3B-FE-C4-00")
            << blank << BootPeer::checkReply(2, QByteArray("\x00\xC4\xFE\x3B", 4))
            << "Blank Check Failed"
            << "3B-FE-C4-00"
            << "Blank Check Error" << false;
        QTest::newRow("verify ok, sum not judged")
            << verify << BootPeer::checkReply(1, QByteArray("\x00\x00\x12\x34", 4))
            << "Verifying ..."
            << ""
            << "" << false;
        QTest::newRow("verify bad")
            << verify << BootPeer::checkReply(1, QByteArray("\x02\x00\x12\x34", 4))
            << "Verify Failed"
            << "34-12-00-02"
            << "Verify Checksum Error" << false;
        QTest::newRow("blank, cancelled") << blank << kAck << "Blank Check Failed"
                                          << "?\?-?\?-?\?-?\?"
                                          << "Blank Check Error" << true;
        QTest::newRow("verify, cancelled") << verify << kAck << "Verify Failed"
                                           << "?\?-?\?-?\?-?\?"
                                           << "Verify Checksum Error" << true;
    }

    void checkEvaluation() {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, reply);
        QFETCH(QString, panel1);
        QFETCH(QString, panel3);
        QFETCH(QString, message);
        QFETCH(bool, cancelled);
        Rig rig;
        answerOrCancel(rig, reply, cancelled);
        rig.link.Send(frame.toStdString());
        QCOMPARE(rig.view.panels[1], panel1);
        QCOMPARE(rig.view.panels[3], panel3);
        QStringList boxes;
        if (cancelled)
            boxes << QStringLiteral("Firmware update was cancelled.");
        if (!message.isEmpty())
            boxes << message;
        QCOMPARE(rig.view.boxTexts(), boxes);
        QCOMPARE(rig.st.bCheckFailed, !message.isEmpty());
        QCOMPARE(rig.st.bIdle, !message.isEmpty());
        if (!message.isEmpty()) {
            QCOMPARE(rig.view.boxes[0].icon, Form::Icon::Critical);
            QVERIFY(!rig.port.isOpen());
        }
    }

    // A reply that is in at once ends the wait after one more round of events; bytes that
    // come in that round (here a second, passing result) belong to the next frame's wait and
    // leave the reply that ended this one as it was.
    void replyTakenStays_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("taken");
        QTest::addColumn<QByteArray>("behind");
        QTest::addColumn<QString>("message");
        const QByteArray blank = bytesOf(frames::BlankCheck);
        const QByteArray verify = bytesOf(frames::Verify);
        QTest::newRow("verify failed, a passing one behind")
            << verify << BootPeer::checkReply(1, QByteArray("\x01\x01\x00\x00", 4))
            << BootPeer::checkReply(1, QByteArray("\x00\x00\x12\x34", 4))
            << "Verify Checksum Error";
        QTest::newRow("blank check failed, a passing one behind")
            << blank << BootPeer::checkReply(2, QByteArray("\x01\x00\x40\x00", 4))
            << BootPeer::checkReply(2, QByteArray("\x00\xC4\xFF\x3B", 4))
            << "Blank Check Error";
    }
    void replyTakenStays() {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, taken);
        QFETCH(QByteArray, behind);
        QFETCH(QString, message);
        FormState st;
        st.sTitleVer = QStringLiteral("Title v1012");
        st.bIdle = false;
        RecordingView view{st};
        CommPort port;
        Link link{st, view, port};
        openInMemory(port, [&](MemoryLine &line) {
            line.peer = [&](const QByteArray &) { return QByteArrayList{taken, behind}; };
        });
        QVERIFY(port.open());
        link.Send(frame.toStdString());
        QCOMPARE(st.sReply.toHex(' '), taken.toHex(' '));
        QCOMPARE(view.boxTexts(), QStringList{message});
        QVERIFY(st.bCheckFailed);
    }

    // A timeout leaves the previous, shorter reply in place; its missing bytes show as ??.
    void checkOnShortHeldReply() {
        Rig rig;
        rig.peer.respond = nullptr;
        rig.st.sReply = QByteArray("\x0F\x0F\x03\xFD\x04\x00\x00\x01", 8);
        rig.link.Send(frames::Verify);
        QCOMPARE(rig.view.boxTexts(),
                 (QStringList{"Error communicating with Port.", "Verify Checksum Error"}));
        // Escaped so as not to read as trigraphs: the text is ??-??-??-01.
        QCOMPARE(rig.view.panels[3], QStringLiteral("?\?-?\?-?\?-01"));
        QVERIFY(rig.st.bCheckFailed);
    }

    void eraseProgress() {
        Rig rig;
        EraseFlash(rig.link);
        QCOMPARE(rig.peer.frames.size(), 480);
        QCOMPARE(rig.view.panel1History.size(), 480);
        QCOMPARE(rig.view.panel1History[0], QStringLiteral("Erasing ...  0%"));
        QCOMPARE(rig.view.panel1History[239], QStringLiteral("Erasing ...  50%"));
        QCOMPARE(rig.view.panel1History[479], QStringLiteral("Erasing ...  100%"));
        QCOMPARE(rig.view.value, 480.0f);
        QCOMPARE(rig.view.max, 480.0f);
        for (int k = 0; k < 480; ++k)
            QCOMPARE(rig.peer.frames[k].address, quint32(0x800 + 0x40 * k));
    }

    void programFillsTheBar() {
        Rig rig;
        ProgramFlash(rig.link);
        QCOMPARE(rig.peer.frames.size(), WriteFrames.size());
        QCOMPARE(rig.view.panel1History[qsizetype(WriteFrames.size()) - 1],
                 QStringLiteral("Programming ...  86%"));
        QCOMPARE(rig.view.value, 1920.0f);
        QCOMPARE(rig.view.max, 1920.0f);
        QCOMPARE(rig.view.panels[1], QStringLiteral("Programming ...  100%"));
        QCOMPARE(rig.peer.frames[589].address, quint32(0x003D24));
        QCOMPARE(rig.peer.frames[590].address, quint32(0x003D30));
    }

    // A cancel in the middle: nothing more leaves the port, the display keeps the reset.
    void cancelMidProgram() {
        Rig rig;
        int answered = 0;
        qsizetype panelWrites = -1;
        rig.peer.respond = [&](const PeerFrame &frame) {
            if (++answered == 100) {
                rig.updater.cmdExit_Click(); // Cancel, inside the wait
                panelWrites = rig.view.panel1History.size();
                return QByteArray();
            }
            return BootPeer::standardReply(frame);
        };
        ProgramFlash(rig.link);
        // The remaining frames pass through Send without a trace: no progress step, no
        // failure, nothing on the line.
        QCOMPARE(rig.view.panel1History.size(), panelWrites);
        QCOMPARE(rig.view.boxTexts(), QStringList{"Firmware update was cancelled."});
        QCOMPARE(rig.peer.frames.size(), 100);
        QCOMPARE(rig.pty.read(100), QByteArray());
        QCOMPARE(rig.view.panels[1], QStringLiteral("For Help press F1"));
        QCOMPARE(rig.view.value, 0.0f);
    }
};

QTEST_GUILESS_MAIN(TestLink)
#include "test_link.moc"
