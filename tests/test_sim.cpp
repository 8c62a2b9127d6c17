// The virtual instrument, driven as the tool drives it: through its pseudo-terminal, judged by
// the exact bytes that come back and by the records it leaves.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "pty.h"

namespace {

const QString kSimPath = QStringLiteral(ZARVO_BUILD_DIR "/zarvo-sim");
constexpr int kDeadlineMs = 5000;

QByteArray hex(const char *text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// Requests, written by hand from the frame layout.
const QByteArray kReadVersion = hex("0F0F 0001 FF 04");
const QByteArray kEraseRow0800 = hex("0F0F 0301 000800 F4 04");
const QByteArray kBlankCheck = hex("0F0F 0A02 000800 EC 04");
const QByteArray kVerify = hex("0F0F 0A01 000800 ED 04");
const QByteArray kResetDefaults = hex("0F0F 0B01 160800 D6 04");
const QByteArray kFinish = hex("0F0F 0801 000000 3C BB 04");
const QByteArray kStartRequest = hex("000000000000000000000000000000000000 FEFE3300424C3FFD");
// 16 data bytes at 0x000800.
const QByteArray kWrite00 = hex("0F0F 0202 000800 00000000000000000000000000000000 F4 04");
const QByteArray kWrite01 = hex("0F0F 0202 000800 01010101010101010101010101010101 E4 04");
const QByteArray kWriteCC = hex("0F0F 0202 000800 CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC 34 04");
const QByteArray kWrite33 = hex("0F0F 0202 000800 33333333333333333333333333333333 C4 04");
const QByteArray kWrite05 =
    hex("0F0F 0202 000800 0505050505050505050505050505050505050505050505050505050505050505 A4 04");
const QByteArray kWriteCounting =
    hex("0F0F 0202 000800 00010203 0504 0505 060708090A0B0C0D0E 050F 7C 04");

// Replies, likewise by hand.
const QByteArray kVersion1003 = hex("0F0F 0001 30343135 31303033 3031 10 04");
const QByteArray kVersion1012 = hex("0F0F 0001 30343135 31303132 3031 10 04");
const QByteArray kVersionNone = hex("0F0F 0001 30343135 FFFFFFFF 3031 D8 04");
const QByteArray kAckErase = hex("0F0F 03 FD 04");
const QByteArray kAckWrite = hex("0F0F 02 FE 04");
const QByteArray kAckDefaults = hex("0F0F 0B F5 04");
const QByteArray kBlank = hex("0F0F 0A02 000800 00C4FF3B EE 04");
const QByteArray kVerifyFresh = hex("0F0F 0A01 000800 0000 0088 65 04");
const QByteArray kEcho = hex("FEFE3300424C3FFD");

// One running instrument and the tool's end of its line.
class Sim {
public:
    ~Sim() {
        closeLine();
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(kDeadlineMs);
        }
    }

    bool start(const QStringList &args) {
        proc.start(kSimPath, QStringList{"--verbose"} + args);
        if (!proc.waitForStarted(kDeadlineMs))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (!proc.canReadLine() && clock.elapsed() < kDeadlineMs &&
               proc.state() == QProcess::Running)
            proc.waitForReadyRead(100);
        device = QString::fromLocal8Bit(proc.readLine()).trimmed();
        return !device.isEmpty();
    }

    bool openLine(speed_t speed = B4800, tcflag_t size = CS8, tcflag_t extra = 0) {
        fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 && setLine(speed, size, extra);
    }

    bool setLine(speed_t speed, tcflag_t size = CS8, tcflag_t extra = 0) {
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::cfmakeraw(&tio);
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
        tio.c_cflag |= size | extra | CLOCAL | CREAD;
        ::cfsetispeed(&tio, speed);
        ::cfsetospeed(&tio, speed);
        return ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }

    void closeLine() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    bool send(const QByteArray &bytes) {
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // What arrived once n bytes are there, or whatever came before the deadline.
    QByteArray receive(int n, int deadlineMs = kDeadlineMs) {
        QByteArray out;
        QElapsedTimer clock;
        clock.start();
        while (out.size() < n && clock.elapsed() < deadlineMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                if (p.revents & (POLLHUP | POLLERR))
                    break;
                char buf[512];
                const ssize_t got = ::read(fd, buf, sizeof buf);
                if (got > 0)
                    out.append(buf, int(got));
            }
        }
        return out;
    }

    // True once the line has hung up (reads fail or report a hang-up).
    bool waitHangUp() {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < kDeadlineMs) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                if (p.revents & (POLLHUP | POLLERR))
                    return true;
                char buf[64];
                const ssize_t got = ::read(fd, buf, sizeof buf);
                if (got < 0 && errno != EAGAIN)
                    return true;
            }
        }
        return false;
    }

    bool waitForLog(const QByteArray &text) {
        QElapsedTimer clock;
        clock.start();
        while (!log.contains(text) && clock.elapsed() < kDeadlineMs) {
            proc.waitForReadyRead(50);
            log += proc.readAllStandardError();
        }
        return log.contains(text);
    }

    bool waitExit() { return proc.waitForFinished(kDeadlineMs) && proc.exitCode() == 0; }

    QProcess proc;
    QString device;
    QByteArray log;
    int fd = -1;
};

struct Exchange {
    QByteArray request;
    QByteArray reply;
};

} // namespace

Q_DECLARE_METATYPE(Exchange)

namespace {

QByteArray readFile(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestSim : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void replies_data();
    void replies();
    void parser_data();
    void parser();
    void faults_data();
    void faults();
    void lateReplyHeld_data();
    void lateReplyHeld();
    void hangUp();
    void applicationMode_data();
    void applicationMode();
    void lineSettings_data();
    void lineSettings();
    void lineTiming_data();
    void lineTiming();
    void floodOverruns();
    void records();
    void unwritableRecord_data();
    void unwritableRecord();
    void portLink_data();
    void portLink();
    void portLinkInUse_data();
    void portLinkInUse();
    void exitOnClose();
    void options_data();
    void options();
};

void TestSim::initTestCase() {
    QVERIFY2(QFileInfo(kSimPath).isExecutable(), qPrintable(kSimPath));
}

// Each row: frames sent in order, every reply exactly as the tool would receive it.
void TestSim::replies_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<Exchange>>("exchanges");

    QTest::newRow("version") << QStringList{} << QList<Exchange>{{kReadVersion, kVersion1003}};
    QTest::newRow("foreign identification")
        << QStringList{"--id", "0417"}
        << QList<Exchange>{{kReadVersion, hex("0F0F 0001 30343137 31303033 3031 0E 04")}};
    QTest::newRow("no firmware") << QStringList{"--no-firmware"}
                                 << QList<Exchange>{{kReadVersion, kVersionNone}};
    QTest::newRow("version with escaped checksum")
        << QStringList{"--version", "1004"}
        << QList<Exchange>{{kReadVersion, hex("0F0F 0001 30343135 31303034 3031 050F 04")}};
    QTest::newRow("acknowledgements")
        << QStringList{}
        << QList<Exchange>{
               {kEraseRow0800, kAckErase}, {kWrite00, kAckWrite}, {kResetDefaults, kAckDefaults}};
    QTest::newRow("blank check on erased flash")
        << QStringList{} << QList<Exchange>{{kBlankCheck, kBlank}};
    QTest::newRow("blank check names the first written address")
        << QStringList{}
        << QList<Exchange>{{kWrite00, kAckWrite},
                           {kBlankCheck, hex("0F0F 0A02 000800 01000800 E3 04")}};
    QTest::newRow("blank again after erase")
        << QStringList{}
        << QList<Exchange>{
               {kWrite00, kAckWrite}, {kEraseRow0800, kAckErase}, {kBlankCheck, kBlank}};
    QTest::newRow("verify with nothing written")
        << QStringList{} << QList<Exchange>{{kVerify, kVerifyFresh}};
    QTest::newRow("verify after a good write")
        << QStringList{}
        << QList<Exchange>{{kWrite00, kAckWrite},
                           {kVerify, hex("0F0F 0A01 000800 0000 1078 65 04")}};
    QTest::newRow("writing only clears bits")
        << QStringList{}
        << QList<Exchange>{{kWriteCC, kAckWrite},
                           {kWrite33, kAckWrite},
                           {kVerify, hex("0F0F 0A01 000800 1000 1078 55 04")}};
    QTest::newRow("erase forgets what was written") << QStringList{}
                                                    << QList<Exchange>{{kWriteCC, kAckWrite},
                                                                       {kWrite33, kAckWrite},
                                                                       {kEraseRow0800, kAckErase},
                                                                       {kVerify, kVerifyFresh}};
    QTest::newRow("new version after a verified program")
        << QStringList{}
        << QList<Exchange>{{kReadVersion, kVersion1003},
                           {kEraseRow0800, kAckErase},
                           {kReadVersion, kVersionNone},
                           {kWrite00, kAckWrite},
                           {kVerify, hex("0F0F 0A01 000800 0000 1078 65 04")},
                           {kReadVersion, kVersion1012}};
    QTest::newRow("no new version after a failed verify")
        << QStringList{"--fail-verify"}
        << QList<Exchange>{{kWrite01, kAckWrite},
                           {kVerify, hex("0F0F 0A01 000800 0100 1F78 55 04")},
                           {kReadVersion, kVersion1003}};
    QTest::newRow("bootloader area is protected")
        << QStringList{}
        << QList<Exchange>{
               {hex("0F0F 0202 000000 00000000000000000000000000000000 FC 04"), kAckWrite},
               {hex("0F0F 0301 000000 FC 04"), kAckErase},
               {kVerify, kVerifyFresh}};
}

void TestSim::replies() {
    QFETCH(QStringList, args);
    QFETCH(QList<Exchange>, exchanges);
    Sim sim;
    QVERIFY(sim.start(args));
    QVERIFY(sim.openLine());
    for (const Exchange &e : exchanges) {
        QVERIFY(sim.send(e.request));
        QCOMPARE(sim.receive(int(e.reply.size())).toHex(' '), e.reply.toHex(' '));
    }
}

// Each row: a byte stream, then ResetDefaults; what comes back must be exactly `replies` and
// its acknowledgement, so a frame that should have been ignored shows as an extra reply.
void TestSim::parser_data() {
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QByteArray>("replies");

    QTest::newRow("garbage before a frame")
        << QList<QByteArray>{hex("AA 55 0F 00 04 05") + kEraseRow0800} << kAckErase;
    QTest::newRow("bad checksum ignored")
        << QList<QByteArray>{hex("0F0F 0001 FE 04")} << QByteArray();
    QTest::newRow("bad checksum in a write")
        << QList<QByteArray>{hex("0F0F 0202 000800 00000000000000000000000000000000 F5 04")}
        << QByteArray();
    QTest::newRow("escaped address byte")
        << QList<QByteArray>{hex("0F0F 0301 00050F00 ED 04")} << kAckErase;
    QTest::newRow("escaped checksum 0F")
        << QList<QByteArray>{hex("0F0F 0301 C02D00 050F 04")} << kAckErase;
    QTest::newRow("escaped checksum 04")
        << QList<QByteArray>{hex("0F0F 0301 C03800 0504 04")} << kAckErase;
    QTest::newRow("escaped data reads back") << QList<QByteArray>{kWrite05, kVerify}
                                             << kAckWrite + hex("0F0F 0A01 000800 0000 6078 15 04");
    QTest::newRow("frame cut short, next frame understood")
        << QList<QByteArray>{hex("0F0F 0301 00")} << QByteArray();
    QTest::newRow("third start byte") << QList<QByteArray>{hex("0F") + kEraseRow0800} << kAckErase;
    QTest::newRow("overlong frame dropped")
        << QList<QByteArray>{hex("0F0F") + QByteArray(30, '\x11') + hex("04")} << QByteArray();
    QTest::newRow("frame split over writes")
        << QList<QByteArray>{hex("0F0F 03"), hex("01 0008"), hex("00 F4 04")} << kAckErase;
    QTest::newRow("unknown command unanswered")
        << QList<QByteArray>{hex("0F0F 0901 000000 F6 04")} << QByteArray();
    QTest::newRow("start request ignored by the bootloader")
        << QList<QByteArray>{kStartRequest} << QByteArray();
}

void TestSim::parser() {
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QByteArray, replies);
    Sim sim;
    QVERIFY(sim.start({}));
    QVERIFY(sim.openLine());
    for (const QByteArray &w : writes)
        QVERIFY(sim.send(w));
    QVERIFY(sim.send(kResetDefaults));
    const QByteArray expected = replies + kAckDefaults;
    QCOMPARE(sim.receive(int(expected.size())).toHex(' '), expected.toHex(' '));
}

void TestSim::faults_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<QByteArray>("received");

    QByteArray garbled = kVersion1003;
    for (char &c : garbled)
        c = char(c ^ 0x55);

    QTest::newRow("no reply to the second frame")
        << QStringList{"--drop-reply", "2"}
        << QList<QByteArray>{kReadVersion, kEraseRow0800, kReadVersion}
        << kVersion1003 + kVersionNone;
    QTest::newRow("dropped reply, command still done")
        << QStringList{"--drop-reply", "1"} << QList<QByteArray>{kWrite00, kBlankCheck}
        << hex("0F0F 0A02 000800 01000800 E3 04");
    QTest::newRow("garbled reply")
        << QStringList{"--garble-reply", "1"} << QList<QByteArray>{kReadVersion, kReadVersion}
        << garbled + kVersion1003;
    QTest::newRow("reply cut short")
        << QStringList{"--short-reply", "1"} << QList<QByteArray>{kReadVersion, kReadVersion}
        << kVersion1003.left(14) + kVersion1003;
    QTest::newRow("stray bytes before a reply")
        << QStringList{"--stray-bytes", "2"} << QList<QByteArray>{kEraseRow0800, kEraseRow0800}
        << kAckErase + hex("00 55 AA") + kAckErase;
    QTest::newRow("reply repeated late, in front of the next")
        << QStringList{"--repeat-reply", "1"}
        << QList<QByteArray>{kReadVersion, kEraseRow0800, kEraseRow0800}
        << kVersion1003 + kVersion1003 + kAckErase + kAckErase;
    QTest::newRow("failing blank check")
        << QStringList{"--fail-blank-check"}
        << QList<QByteArray>{kBlankCheck, hex("0F0F 0301 004000 BC 04"), kBlankCheck}
        << kBlank + kAckErase + hex("0F0F 0A02 000800 01004000 AB 04");
    QTest::newRow("failing verify")
        << QStringList{"--fail-verify"} << QList<QByteArray>{kWrite01, kVerify}
        << kAckWrite + hex("0F0F 0A01 000800 0100 1F78 55 04");
    QTest::newRow("repeated fault numbers")
        << QStringList{"--drop-reply", "1", "--drop-reply", "3"}
        << QList<QByteArray>{kReadVersion, kEraseRow0800, kReadVersion, kResetDefaults}
        << kAckErase + kAckDefaults;
    QTest::newRow("wrong start byte")
        << QStringList{"--wrong-start", "1"} << QList<QByteArray>{kEraseRow0800, kEraseRow0800}
        << hex("5A0F 03 FD 04") + kAckErase;
    QTest::newRow("late reply, the frames behind it answered in order")
        << QStringList{"--late-reply", "1:50"}
        << QList<QByteArray>{kEraseRow0800, kReadVersion, kEraseRow0800}
        << kAckErase + kVersionNone + kAckErase;
    QTest::newRow("delayed replies arrive whole")
        << QStringList{"--reply-delay", "30"} << QList<QByteArray>{kReadVersion, kEraseRow0800}
        << kVersion1003 + kAckErase;
}

void TestSim::faults() {
    QFETCH(QStringList, args);
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QByteArray, received);
    Sim sim;
    QVERIFY(sim.start(args));
    QVERIFY(sim.openLine());
    for (const QByteArray &r : requests)
        QVERIFY(sim.send(r));
    QCOMPARE(sim.receive(int(received.size())).toHex(' '), received.toHex(' '));
}

// A late reply with a time waits for it, and for a later frame to begin coming in: it can
// only land on a line that someone has opened and is sending on again.
void TestSim::lateReplyHeld_data() {
    QTest::addColumn<int>("late");        // ms
    QTest::addColumn<int>("nextFrameAt"); // ms after the late one
    QTest::newRow("the next frame before its time") << 300 << 0;
    QTest::newRow("its time long before the next frame") << 20 << 400;
}

void TestSim::lateReplyHeld() {
    QFETCH(int, late);
    QFETCH(int, nextFrameAt);
    Sim sim;
    QVERIFY(sim.start({"--late-reply", QStringLiteral("1:%1").arg(late)}));
    QVERIFY(sim.openLine());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(sim.send(kEraseRow0800));
    QCOMPARE(sim.receive(1, nextFrameAt), QByteArray());
    QVERIFY(sim.send(kReadVersion));
    const QByteArray expected = kAckErase + kVersionNone; // the erase took the firmware
    QCOMPARE(sim.receive(int(expected.size())).toHex(' '), expected.toHex(' '));
    QVERIFY2(clock.elapsed() >= std::max(late, nextFrameAt),
             qPrintable(QString::number(clock.elapsed())));
}

void TestSim::hangUp() {
    QTemporaryDir dir;
    const QString transcript = dir.filePath("t.txt");
    Sim sim;
    QVERIFY(sim.start({"--hang-up", "2", "--transcript", transcript}));
    QVERIFY(sim.openLine());
    QVERIFY(sim.send(kReadVersion));
    QCOMPARE(sim.receive(int(kVersion1003.size())), kVersion1003);
    QVERIFY(sim.send(kEraseRow0800));
    QVERIFY(sim.waitHangUp());
    QVERIFY(sim.waitExit());
    QCOMPARE(readFile(transcript).count('\n'), 2); // the frame that ended it is recorded
}

void TestSim::applicationMode_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<speed_t>("bootSpeed");
    QTest::addColumn<QByteArray>("echo");

    QTest::newRow("echo, then bootloader")
        << QStringList{"--mode", "application"} << speed_t(B4800) << kEcho;
    QTest::newRow("no echo, bootloader all the same")
        << QStringList{"--mode", "application", "--no-echo"} << speed_t(B4800) << QByteArray();
    QTest::newRow("start request at 4800, bootloader at 2400")
        << QStringList{"--mode", "application", "--baud", "2400"} << speed_t(B2400) << kEcho;
}

void TestSim::applicationMode() {
    QFETCH(QStringList, args);
    QFETCH(speed_t, bootSpeed);
    QFETCH(QByteArray, echo);
    Sim sim;
    QVERIFY(sim.start(args));
    QVERIFY(sim.openLine(B4800));
    // The firmware ignores bootloader frames: only the echo comes back.
    QVERIFY(sim.send(kReadVersion));
    QVERIFY(sim.send(kStartRequest));
    if (echo.isEmpty())
        QVERIFY(sim.waitForLog("enters its bootloader"));
    else
        QCOMPARE(sim.receive(int(echo.size())).toHex(' '), echo.toHex(' '));
    QVERIFY(sim.setLine(bootSpeed));
    QVERIFY(sim.send(kReadVersion));
    QCOMPARE(sim.receive(int(kVersion1003.size())).toHex(' '), kVersion1003.toHex(' '));
}

// Bytes sent at other settings are not understood; the right settings work again at once.
void TestSim::lineSettings_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<speed_t>("good");
    QTest::addColumn<speed_t>("speed");
    QTest::addColumn<tcflag_t>("size");
    QTest::addColumn<tcflag_t>("extra");

    // Data bits and parity cannot differ here: the pseudo-terminal driver keeps CS8, no parity.
    const tcflag_t none = 0;
    QTest::newRow("half the speed")
        << QStringList{} << speed_t(B4800) << speed_t(B2400) << tcflag_t(CS8) << none;
    QTest::newRow("twice the speed")
        << QStringList{} << speed_t(B4800) << speed_t(B9600) << tcflag_t(CS8) << none;
    QTest::newRow("unit at 2400, tool at 4800") << QStringList{"--baud", "2400"} << speed_t(B2400)
                                                << speed_t(B4800) << tcflag_t(CS8) << none;
    QTest::newRow("two stop bits")
        << QStringList{} << speed_t(B4800) << speed_t(B4800) << tcflag_t(CS8) << tcflag_t(CSTOPB);
    QTest::newRow("application mode hears 4800 only")
        << QStringList{"--mode", "application", "--baud", "2400"} << speed_t(B4800)
        << speed_t(B2400) << tcflag_t(CS8) << none;
}

void TestSim::lineSettings() {
    QFETCH(QStringList, args);
    QFETCH(speed_t, good);
    QFETCH(speed_t, speed);
    QFETCH(tcflag_t, size);
    QFETCH(tcflag_t, extra);
    // The retry is another command, so an answer to the garbled request cannot pass for it.
    const bool application = args.contains("application");
    const QByteArray garbled = application ? kStartRequest : kReadVersion;
    const QByteArray retry = application ? kStartRequest : kResetDefaults;
    const QByteArray answer = application ? kEcho : kAckDefaults;

    Sim sim;
    QVERIFY(sim.start(args));
    QVERIFY(sim.openLine(speed, size, extra));
    QVERIFY(sim.send(garbled));
    QVERIFY(sim.waitForLog("garbled bytes arrive"));
    QVERIFY(sim.setLine(good));
    QVERIFY(sim.send(retry));
    QCOMPARE(sim.receive(int(answer.size())).toHex(' '), answer.toHex(' '));
}

// Lower bounds only: a slow machine can make these take longer, never shorter.
void TestSim::lineTiming_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("atLeastMs");

    // 6 bytes out and 16 back at 4800 baud: 22 * 10 / 4800 s.
    QTest::newRow("bytes at 4800")
        << QStringList{"--line-timing"} << kReadVersion << kVersion1003 << 45;
    QTest::newRow("bytes at 1200")
        << QStringList{"--line-timing", "--baud", "1200"} << kReadVersion << kVersion1003 << 183;
    QTest::newRow("erase time") << QStringList{"--line-timing", "--t-erase", "150"} << kEraseRow0800
                                << kAckErase << 150;
    QTest::newRow("blank check time")
        << QStringList{"--line-timing", "--t-blank", "120"} << kBlankCheck << kBlank << 120;
    QTest::newRow("reply delay") << QStringList{"--reply-delay", "100"} << kReadVersion
                                 << kVersion1003 << 100;
}

void TestSim::lineTiming() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(int, atLeastMs);
    Sim sim;
    QVERIFY(sim.start(args));
    QVERIFY(sim.openLine(args.contains("1200") ? B1200 : B4800));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(sim.send(request));
    QCOMPARE(sim.receive(int(reply.size())).toHex(' '), reply.toHex(' '));
    QVERIFY2(clock.elapsed() >= atLeastMs, qPrintable(QString::number(clock.elapsed())));
}

// A flood far beyond what the line carries is dropped, as a real UART would, and counted;
// the unit neither queues it all nor falls behind by minutes.
void TestSim::floodOverruns() {
    Sim sim;
    QVERIFY(sim.start({"--line-timing", "--baud", "115200"}));
    QVERIFY(sim.openLine(B115200));
    constexpr int kFlood = 400000; // 35 s of line time; the queue holds 2 s of it
    const QByteArray chunk(4096, char(0x55));
    int sent = 0;
    QElapsedTimer clock;
    clock.start();
    while (sent < kFlood && clock.elapsed() < kDeadlineMs) {
        const ssize_t n = ::write(sim.fd, chunk.constData(), size_t(chunk.size()));
        if (n > 0)
            sent += int(n);
        else
            QTest::qWait(1);
    }
    QVERIFY(sent >= kFlood);
    QVERIFY(sim.waitForLog("receive queue full"));
    sim.proc.terminate();
    QVERIFY(sim.waitExit());
    sim.log += sim.proc.readAllStandardError();
    const QRegularExpressionMatch m = QRegularExpression("(\\d+) received bytes lost to overrun")
                                          .match(QString::fromLatin1(sim.log));
    QVERIFY2(m.hasMatch(), sim.log.constData());
    const int lost = m.captured(1).toInt();
    // At most what the queue held plus what the line carried meanwhile got through.
    QVERIFY2(lost > kFlood - 23040 - 11520 * int(clock.elapsed() / 1000 + 1) && lost <= sent,
             qPrintable(QString::number(lost)));
}

void TestSim::records() {
    QTemporaryDir dir;
    const QString transcript = dir.filePath("transcript.txt");
    const QString dump = dir.filePath("flash.hex");
    const QString summary = dir.filePath("summary.txt");
    Sim sim;
    QVERIFY(sim.start({"--transcript", transcript, "--dump", dump, "--summary", summary,
                       "--line-timing", "--exit-after-finish"}));
    QVERIFY(sim.openLine());
    const QList<Exchange> session{{kReadVersion, kVersion1003},
                                  {kEraseRow0800, kAckErase},
                                  {kWriteCounting, kAckWrite},
                                  {kVerify, hex("0F0F 0A01 000800 0000 8878 ED 04")}};
    for (const Exchange &e : session) {
        QVERIFY(sim.send(e.request));
        QCOMPARE(sim.receive(int(e.reply.size())).toHex(' '), e.reply.toHex(' '));
    }
    QVERIFY(sim.send(kFinish));
    QVERIFY(sim.waitExit());

    // What crossed the line each way, the unit's own time (erase 2 ms, write 2 ms, verify
    // 25 ms), and a turnaround and a lag for each reply.
    qsizetype in = kFinish.size(), out = 0;
    for (const Exchange &e : session) {
        in += e.request.size();
        out += e.reply.size();
    }
    QMap<QByteArray, QList<QByteArray>> figures;
    for (const QByteArray &line : readFile(summary).trimmed().split('\n')) {
        QList<QByteArray> fields = line.split(' ');
        figures.insert(fields.takeFirst(), fields);
    }
    QCOMPARE(figures.value("bytes-in"), QList<QByteArray>{QByteArray::number(in)});
    QCOMPARE(figures.value("bytes-out"), QList<QByteArray>{QByteArray::number(out)});
    QCOMPARE(figures.value("device-us"), QList<QByteArray>{"29000"});
    QCOMPARE(figures.value("turnaround-us").size(), session.size());
    QCOMPARE(figures.value("late-us").size(), session.size());

    QCOMPARE(readFile(dump), QByteArray(":10080000000102030405060708090A0B0C0D0E0F70\n"
                                        ":00000001FF\n"));
    const QList<QByteArray> lines = readFile(transcript).trimmed().split('\n');
    const QList<QByteArray> expected{
        "0001 - 0F0F0001FF04", "0301 000800 0F0F0301000800F404",
        "0202 000800 0F0F02020008000001020305040505060708090A0B0C0D0E050F7C04",
        "0A01 000800 0F0F0A01000800ED04", "0801 000000 0F0F08010000003CBB04"};
    QCOMPARE(lines.size(), expected.size());
    qlonglong previous = -1;
    for (int i = 0; i < lines.size(); ++i) {
        const int blank = int(lines[i].indexOf(' '));
        bool ok = false;
        const qlonglong us = lines[i].left(blank).toLongLong(&ok);
        QVERIFY2(ok && us >= previous, lines[i].constData());
        previous = us;
        QCOMPARE(lines[i].mid(blank + 1), expected[i]);
    }
}

// A record that could not be written fails the run, however the run ended: whoever reads
// the file afterwards must not take a missing or cut-short one for what the line carried.
void TestSim::unwritableRecord_data() {
    QTest::addColumn<QString>("option");
    QTest::newRow("transcript") << QStringLiteral("--transcript");
    QTest::newRow("dump") << QStringLiteral("--dump");
    QTest::newRow("summary") << QStringLiteral("--summary");
}

void TestSim::unwritableRecord() {
    QFETCH(QString, option);
    Sim sim;
    QVERIFY(sim.start({option, "/dev/full"}));
    QVERIFY(sim.openLine());
    QVERIFY(sim.send(kWrite00));
    QCOMPARE(sim.receive(int(kAckWrite.size())), kAckWrite);
    ::kill(pid_t(sim.proc.processId()), SIGTERM);
    QVERIFY(sim.proc.waitForFinished(kDeadlineMs));
    sim.log += sim.proc.readAllStandardError();
    QVERIFY2(sim.log.contains("cannot write /dev/full"), sim.log.constData());
    QCOMPARE(sim.proc.exitCode(), 1);
}

void TestSim::portLink_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSim::portLink() {
    QFETCH(int, signal);
    PortSandbox sandbox;
    const QString link = sandbox.portDirectory() + "/com7";
    QVERIFY(QFile::link("/dev/zarvo-sim-test-gone", link)); // left behind earlier: replaced
    QTemporaryDir dir;
    const QString dump = dir.filePath("flash.hex");
    Sim sim;
    QVERIFY(sim.start({"--com", "7", "--dump", dump}));
    QCOMPARE(QFileInfo(link).symLinkTarget(), sim.device);
    sim.device = link; // the tool reaches it through the link
    QVERIFY(sim.openLine());
    QVERIFY(sim.send(kWrite00));
    QCOMPARE(sim.receive(int(kAckWrite.size())), kAckWrite);
    ::kill(pid_t(sim.proc.processId()), signal);
    QVERIFY(sim.waitExit());
    QVERIFY(!QFileInfo::exists(link) && !QFileInfo(link).isSymLink());
    QCOMPARE(readFile(dump), QByteArray(":1008000000000000000000000000000000000000E8\n"
                                        ":00000001FF\n"));
}

// A link that leads to another device, or names a remote serial port (which leads nowhere
// on this machine), is someone's port: left alone, and the unit does not start.
void TestSim::portLinkInUse_data() {
    QTest::addColumn<bool>("remote");
    QTest::newRow("another device") << false;
    QTest::newRow("a remote serial port") << true;
}

void TestSim::portLinkInUse() {
    QFETCH(bool, remote);
    PortSandbox sandbox;
    PtyPair other;
    const QString target =
        remote ? QStringLiteral("rfc2217://site.example.net:3005") : other.slavePath();
    const std::filesystem::path link =
        QFile::encodeName(sandbox.portDirectory() + "/com3").toStdString();
    std::error_code error;
    std::filesystem::create_symlink(QFile::encodeName(target).toStdString(), link, error);
    QVERIFY(!error);
    QProcess proc;
    proc.start(kSimPath, {"--com", "3"});
    QVERIFY(proc.waitForFinished(kDeadlineMs));
    QCOMPARE(proc.exitCode(), 1);
    QCOMPARE(
        QFile::decodeName(QByteArray::fromStdString(std::filesystem::read_symlink(link).string())),
        target);
}

void TestSim::exitOnClose() {
    Sim sim;
    QVERIFY(sim.start({"--exit-on-close"}));
    // A port check opens and closes without traffic: the unit stays.
    QVERIFY(sim.openLine());
    sim.closeLine();
    QVERIFY(sim.openLine());
    QVERIFY(sim.send(kReadVersion));
    QCOMPARE(sim.receive(int(kVersion1003.size())), kVersion1003);
    sim.closeLine();
    QVERIFY(sim.waitExit());
}

void TestSim::options_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message"); // on standard error

    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray();
    QTest::newRow("unknown option")
        << QStringList{"--bogus"} << 2 << QByteArray("unknown option --bogus");
    QTest::newRow("value missing")
        << QStringList{"--com"} << 2 << QByteArray("--com needs a value");
    QTest::newRow("baud without a rate")
        << QStringList{"--baud", "4801"} << 2 << QByteArray("--baud wants a standard rate");
    QTest::newRow("identification too long")
        << QStringList{"--id", "04150"} << 2 << QByteArray("--id wants exactly 4");
    QTest::newRow("late reply, time not a number") << QStringList{"--late-reply", "3:soon"} << 2
                                                   << QByteArray("--late-reply wants milliseconds");
    QTest::newRow("fault number zero")
        << QStringList{"--drop-reply", "0"} << 2 << QByteArray("--drop-reply wants a number");
    QTest::newRow("com with device") << QStringList{"--com", "1", "--device", "/dev/null"} << 2
                                     << QByteArray("cannot be used with --device");
    QTest::newRow("missing device")
        << QStringList{"--device", "/nonexistent/tty"} << 1 << QByteArray("cannot open");
}

void TestSim::options() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QProcess proc;
    proc.start(kSimPath, args);
    QVERIFY(proc.waitForFinished(kDeadlineMs));
    QCOMPARE(proc.exitCode(), exitCode);
    const QByteArray errors = proc.readAllStandardError();
    QVERIFY2(errors.contains(message), errors.constData());
    if (args.first() != "--help")
        return;
    const QByteArray help = proc.readAllStandardOutput();
    for (const char *option : {"--com",
                               "--device",
                               "--baud",
                               "--line-timing",
                               "--t-erase",
                               "--t-write",
                               "--t-blank",
                               "--t-verify",
                               "--t-defaults",
                               "--mode",
                               "--id",
                               "--version",
                               "--new-version",
                               "--no-firmware",
                               "--drop-reply",
                               "--garble-reply",
                               "--short-reply",
                               "--stray-bytes",
                               "--hang-up",
                               "--late-reply",
                               "--wrong-start",
                               "--fail-blank-check",
                               "--fail-verify",
                               "--no-echo",
                               "--reply-delay",
                               "--transcript",
                               "--dump",
                               "--exit-after-finish",
                               "--exit-on-close",
                               "--verbose"})
        QVERIFY2(help.contains(QByteArray("  ") + option + ' '), option);
}

QTEST_GUILESS_MAIN(TestSim)
#include "test_sim.moc"
