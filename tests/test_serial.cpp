// Tests of the serial port layer, against pseudo-terminals whose master end plays the line.
#include "commport.h"
#include "line.h"
#include "lockfiles.h"
#include "portnames.h"
#include "pty.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kPort = 5;
constexpr int kWaitMs = 5000;

QByteArray everyByteValue(int repeats) {
    QByteArray bytes;
    for (int r = 0; r < repeats; ++r)
        for (int v = 0; v < 256; ++v)
            bytes.append(char(v));
    return bytes;
}

// The lock file Qt and the usual serial programs write for a device below /dev.
QString lockFileFor(const QString &device) {
    QString name = device.mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("/var/lock/LCK..") + name;
}

// Restores an environment variable when the test leaves its scope.
class EnvGuard {
public:
    explicit EnvGuard(const char *name)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_value(qgetenv(name)) {}
    ~EnvGuard() {
        if (m_had)
            qputenv(m_name, m_value);
        else
            qunsetenv(m_name);
    }

private:
    const char *m_name;
    bool m_had;
    QByteArray m_value;
};

// A process that lives until this object goes away: a holder of foreign lock files.
class LiveProcess {
public:
    LiveProcess() {
        m_process.start(QStringLiteral("cat"), {});
        m_process.waitForStarted();
    }
    ~LiveProcess() {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(kWaitMs))
            m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

qint64 deadPid() {
    QProcess process;
    process.start(QStringLiteral("true"), {});
    process.waitForStarted();
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}

// Copies everything the master end receives into a file, in a child process, so that the
// tool's side may block in a write or drain while the line keeps moving.
pid_t startLineReader(int masterFd, const QString &file) {
    const QByteArray path = QFile::encodeName(file);
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int out = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char buf[4096];
    for (;;) {
        pollfd p{masterFd, POLLIN, 0};
        ::poll(&p, 1, 1000);
        const ssize_t n = ::read(masterFd, buf, sizeof buf);
        if (n > 0 && ::write(out, buf, size_t(n)) != n)
            ::_exit(1);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            ::_exit(0);
    }
}

void stopChild(pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// The far end of the line read into a file by a child process, for as long as it lives.
struct LineReader {
    explicit LineReader(int masterFd) : pid(startLineReader(masterFd, file)) {}
    ~LineReader() {
        if (pid > 0)
            stopChild(pid);
    }
    QTemporaryDir dir;
    const QString file = dir.path() + QStringLiteral("/line");
    const pid_t pid;
};

// A user without privileges, for attacks and for a victim who is no root: any user
// number that is neither root's nor nobody's does.
constexpr uid_t kVictim = 54321;

// This test program run again as user `uid` with `args`, as an unprivileged process:
// what it printed, and whether it ended by itself in time. Its memory is bounded, so
// that a fault that would read without end ends it instead of the machine.
struct Probe {
    bool skipped = false; // privileges could not be dropped
    bool ended = false;   // ended by itself, not by a signal, within the time
    QByteArray out;
    QByteArray err;
};

Probe runAsUser(uid_t uid, gid_t gid, const QStringList &args, int timeoutMs) {
    QProcess probe;
    probe.setChildProcessModifier([uid, gid] {
#if !defined(__SANITIZE_ADDRESS__)
        const rlimit memory{rlim_t(1) << 30, rlim_t(1) << 30};
        ::setrlimit(RLIMIT_AS, &memory);
#endif
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(77);
    });
    probe.start(QCoreApplication::applicationFilePath(), args);
    Probe result;
    const bool finished = probe.waitForFinished(timeoutMs);
    if (!finished) {
        probe.kill();
        probe.waitForFinished(kWaitMs);
    }
    result.skipped = finished && probe.exitCode() == 77;
    result.ended = finished && probe.exitStatus() == QProcess::NormalExit;
    result.out = probe.readAllStandardOutput();
    result.err = probe.readAllStandardError();
    return result;
}

// Lets every user pass through the directories above `path` (up to `levels` of them).
void letOthersThrough(const QString &path, int levels) {
    QDir dir(path);
    for (int up = 0; up < levels; ++up, dir.cdUp())
        QFile::setPermissions(dir.path(),
                              QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther);
}

} // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void devicePath_data();
    void devicePath();
    void portDirectory_data();
    void portDirectory();
    void openMissing_data();
    void openMissing();
    void portEntryTrust_data();
    void portEntryTrust();
    void openOtherFailure_data();
    void openOtherFailure();
    void openTakesWhatWasResolved();
    void openAsAnotherUser_data();
    void openAsAnotherUser();
    void openHeldByAnotherProgram_data();
    void openHeldByAnotherProgram();
    void othersKeptOutWhileOpen();
    void holderNameShownSafely_data();
    void holderNameShownSafely();
    void lockFiles_data();
    void lockFiles();
    void lockFileTrust_data();
    void lockFileTrust();
    void plantedLocks_data();
    void plantedLocks();
    void openWithoutPermission();
    void openCloseCycle();
    void openDropsWhatWasThere();
    void settings_data();
    void settings();
    void settingsOnLine_data();
    void settingsOnLine();
    void receiveThreshold_data();
    void receiveThreshold();
    void everyByteBothWays();
    void outputLeavesAtOnce();
    void noReceiveEventInsideOutput();
    void outputNeedsOpenPort();
    void largeOutputThenClose();
    void stalledLineDoesNotHang();
    void hangUpReportedOnce();
    void modemLinesOnPseudoTerminal();

private:
    // Opens `port` on a fresh pty reached as port kPort; fails the test when it cannot.
    bool openOn(CommPort &port, PtyPair &pty, PortSandbox &sandbox,
                const QString &settings = QStringLiteral("4800,N,8,1"));
};

bool TestSerial::openOn(CommPort &port, PtyPair &pty, PortSandbox &sandbox,
                        const QString &settings) {
    if (!pty.isValid() || !sandbox.link(kPort, pty.slavePath()))
        return false;
    port.setCommPort(kPort);
    if (!port.setSettings(settings))
        return false;
    if (!port.open()) {
        qWarning("open failed: %d %s", int(port.lastError().fault),
                 qPrintable(port.lastError().reason));
        return false;
    }
    return true;
}

void TestSerial::devicePath_data() {
    QTest::addColumn<QString>("entry"); // entry created in the port directory, if any
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("expected"); // "@" stands for the port directory

    QTest::newRow("entry for the port") << "com3"
                                        << "/dev/null" << 3 << "@/com3";
    QTest::newRow("two-digit port") << "com12"
                                    << "/dev/null" << 12 << "@/com12";
    QTest::newRow("entry whose device is gone") << "com4"
                                                << "/nonexistent/tty" << 4 << "@/com4";
    QTest::newRow("no entry: first serial device") << ""
                                                   << "" << 1 << "/dev/ttyS0";
    QTest::newRow("no entry: port 8") << ""
                                      << "" << 8 << "/dev/ttyS7";
    QTest::newRow("other port's entry ignored") << "com3"
                                                << "/dev/null" << 13 << "/dev/ttyS12";
    QTest::newRow("zero-padded name is not the port") << "com01"
                                                      << "/dev/null" << 1 << "/dev/ttyS0";
    QTest::newRow("port 0") << ""
                            << "" << 0 << "";
    QTest::newRow("negative port") << ""
                                   << "" << -2 << "";
    QTest::newRow("lowest 16-bit value") << ""
                                         << "" << -32768 << "";
}

void TestSerial::devicePath() {
    QFETCH(QString, entry);
    QFETCH(QString, target);
    QFETCH(int, port);
    QFETCH(QString, expected);

    PortSandbox sandbox;
    if (!entry.isEmpty())
        QVERIFY(QFile::link(target, sandbox.portDirectory() + QLatin1Char('/') + entry));
    expected.replace(QLatin1Char('@'), sandbox.portDirectory());
    QCOMPARE(serial::devicePath(port), expected);
}

void TestSerial::portDirectory_data() {
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("value"); // "@" stands for a temporary directory
    QTest::addColumn<QString>("expected");

    QTest::newRow("XDG_CONFIG_HOME set") << true << "@/cfg"
                                         << "@/cfg/zarvo-update/ports";
    QTest::newRow("unset: home directory") << false << ""
                                           << "@/home/.config/zarvo-update/ports";
    QTest::newRow("empty: home directory") << true << ""
                                           << "@/home/.config/zarvo-update/ports";
    QTest::newRow("relative: ignored") << true << "cfg"
                                       << "@/home/.config/zarvo-update/ports";
}

void TestSerial::portDirectory() {
    QFETCH(bool, set);
    QFETCH(QString, value);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    EnvGuard xdg("XDG_CONFIG_HOME");
    EnvGuard home("HOME");
    qputenv("HOME", QFile::encodeName(dir.path() + QStringLiteral("/home")));
    value.replace(QLatin1Char('@'), dir.path());
    expected.replace(QLatin1Char('@'), dir.path());
    if (set)
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(value));
    else
        qunsetenv("XDG_CONFIG_HOME");

    QCOMPARE(serial::portDirectory(), expected);
    // The directory found is the one a port number is looked up in.
    QVERIFY(QDir().mkpath(expected));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), expected + QStringLiteral("/com7")));
    QCOMPARE(serial::devicePath(7), expected + QStringLiteral("/com7"));
}

void TestSerial::openMissing_data() {
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("target"); // what comN links to; empty: no entry

    QTest::newRow("port 0") << 0 << "";
    QTest::newRow("negative port") << -1 << "";
    QTest::newRow("no device behind the fallback") << 9999 << "";
    QTest::newRow("entry to a device that is gone") << 3 << "/dev/ttyUSB-not-here";
    QTest::newRow("entry to a missing directory") << 3 << "/nonexistent/dir/tty";
}

void TestSerial::openMissing() {
    QFETCH(int, port);
    QFETCH(QString, target);

    PortSandbox sandbox;
    if (!target.isEmpty())
        QVERIFY(sandbox.link(port, target));
    CommPort comm;
    comm.setCommPort(port);
    QVERIFY(!comm.open());
    QCOMPARE(comm.lastError().fault, serial::LineFault::Missing);
    QVERIFY(!comm.lastError().reason.isEmpty());
    QVERIFY(!comm.isOpen());
    comm.close(); // harmless on a port that never opened
}

// Whoever can change the port directory decides which device a port number reaches: the
// entry and the directories down to it must be ours (or root's) and ours alone to write.
void TestSerial::portEntryTrust_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("named"); // below the configuration directory; "" opens
    QTest::addColumn<QString>("fix");

    QTest::newRow("own directories, umask 022") << ""
                                                << ""
                                                << "";
    QTest::newRow("ports writable by all, link planted by another user") << "plant"
                                                                         << "zarvo-update/ports"
                                                                         << "chmod go-w";
    QTest::newRow("ports writable by its group") << "ports 0770"
                                                 << "zarvo-update/ports"
                                                 << "chmod go-w";
    QTest::newRow("zarvo-update writable by all") << "top 0777"
                                                  << "zarvo-update"
                                                  << "chmod go-w";
    QTest::newRow("zarvo-update of another user") << "top nobody"
                                                  << "zarvo-update"
                                                  << "remove it";
    QTest::newRow("entry of another user") << "entry nobody"
                                           << "zarvo-update/ports/com5"
                                           << "remove it";
    QTest::newRow("ports a link to another user's directory") << "ports link"
                                                              << "zarvo-update/ports"
                                                              << "remove it";
}

void TestSerial::portEntryTrust() {
    QFETCH(QString, setup);
    QFETCH(QString, named);
    QFETCH(QString, fix);
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody || ::geteuid() != 0 || !QFile::exists(QStringLiteral("/usr/bin/setpriv")))
        QSKIP("needs root, a user nobody and setpriv");
    PtyPair pty, attacker;
    QVERIFY(pty.isValid() && attacker.isValid());
    PortSandbox sandbox;
    const QString ports = sandbox.portDirectory();
    const QString top = QFileInfo(ports).path();
    const QString base = QFileInfo(top).path();
    for (const QString &path : {base, top}) // others may pass, not write
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0711) == 0);
    QVERIFY(sandbox.link(kPort, pty.slavePath()));
    const QByteArray entry = QFile::encodeName(ports + QStringLiteral("/com5"));
    QTemporaryDir elsewhere;

    if (setup == QLatin1String("plant")) {
        QVERIFY(::chmod(QFile::encodeName(ports).constData(), 0777) == 0);
        QVERIFY(QFile::remove(QFile::decodeName(entry)));
        // The other user swaps the entry for his own device.
        QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/setpriv"),
                                   {QStringLiteral("--reuid=nobody"),
                                    QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                                    QStringLiteral("--clear-groups"), QStringLiteral("ln"),
                                    QStringLiteral("-s"), attacker.slavePath(),
                                    QFile::decodeName(entry)}),
                 0);
    } else if (setup == QLatin1String("ports 0770")) {
        QVERIFY(::chmod(QFile::encodeName(ports).constData(), 0770) == 0);
    } else if (setup == QLatin1String("top 0777")) {
        QVERIFY(::chmod(QFile::encodeName(top).constData(), 0777) == 0);
    } else if (setup == QLatin1String("top nobody")) {
        QVERIFY(::chown(QFile::encodeName(top).constData(), nobody->pw_uid, nobody->pw_gid) == 0);
    } else if (setup == QLatin1String("entry nobody")) {
        QVERIFY(::lchown(entry.constData(), nobody->pw_uid, nobody->pw_gid) == 0);
    } else if (setup == QLatin1String("ports link")) {
        QVERIFY(QDir(ports).removeRecursively());
        QVERIFY(QFile::link(pty.slavePath(), elsewhere.filePath(QStringLiteral("com5"))));
        QVERIFY(::chown(QFile::encodeName(elsewhere.path()).constData(), nobody->pw_uid,
                        nobody->pw_gid) == 0);
        QVERIFY(QFile::link(elsewhere.path(), ports));
    }

    CommPort comm;
    comm.setCommPort(kPort);
    const bool opened = comm.open();
    if (named.isEmpty()) {
        QVERIFY2(opened, qPrintable(comm.lastError().reason));
        comm.close();
        return;
    }
    QVERIFY(!opened);
    QCOMPARE(comm.lastError().fault, serial::LineFault::Unusable);
    const QString reason = comm.lastError().reason;
    QVERIFY2(reason.startsWith(base + QLatin1Char('/') + named + QLatin1Char(' ')),
             qPrintable(reason));
    QVERIFY2(reason.contains(fix), qPrintable(reason));
    QVERIFY(!comm.isOpen());
}

void TestSerial::openOtherFailure_data() {
    QTest::addColumn<QString>("target"); // empty: a plain file
    QTest::newRow("plain file") << "";
    // Every process holds /dev/null; none of them is why it cannot serve as a port.
    QTest::newRow("/dev/null") << "/dev/null";
}

void TestSerial::openOtherFailure() {
    // A device that exists but is no serial line: neither missing nor in use.
    QFETCH(QString, target);
    // The plain file where no other user may replace it, or the port would be refused for that.
    PortSandbox sandbox;
    const QString file =
        target.isEmpty() ? sandbox.privateDirectory() + QStringLiteral("/plain-file") : target;
    if (target.isEmpty()) {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("not a tty");
    }
    QVERIFY(target.isEmpty() ? sandbox.linkPrivate(2, QStringLiteral("plain-file"))
                             : sandbox.link(2, file));
    CommPort comm;
    comm.setCommPort(2);
    QVERIFY(!comm.open());
    QCOMPARE(comm.lastError().fault, serial::LineFault::Unusable);
    QVERIFY2(comm.lastError().reason.contains(file + QStringLiteral(" is not a terminal device")),
             qPrintable(comm.lastError().reason));
    QVERIFY(!comm.isOpen());
}

// The open takes the file the port's resolution saw: one put in its place in between is
// refused before anything is asked of it.
void TestSerial::openTakesWhatWasResolved() {
    PortSandbox sandbox;
    const QString file = sandbox.privateDirectory() + QStringLiteral("/adapter");
    for (const QString &path : {file, file + QStringLiteral(".new")}) {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(sandbox.linkPrivate(2, QStringLiteral("adapter")));
    const serial::PortTarget target = serial::resolvePort(2);
    QCOMPARE(target.device, file);
    // Another file renamed over it, as any change by whoever may write there would be.
    QVERIFY(::rename(QFile::encodeName(file + QStringLiteral(".new")).constData(),
                     QFile::encodeName(file).constData()) == 0);
    const std::unique_ptr<serial::Line> line =
        serial::makeLine(serial::portAddressOf(target.entry));
    line->expectDevice(target.device, target.identity);
    QVERIFY(!line->open({}));
    QCOMPARE(line->failure().fault, serial::LineFault::Unusable);
    QVERIFY2(line->failure().reason.contains(file + QStringLiteral(" was replaced by another file")),
             qPrintable(line->failure().reason));
}

// What an unprivileged user meets, who sees only his own processes: a port that a program
// he cannot see holds exclusively, and his own port after a run of his was killed (the
// far end, a relay or the virtual instrument, keeps the pseudo-terminal alive).
void TestSerial::openAsAnotherUser_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    QTest::newRow("held exclusively by a program it cannot see")
        << "exclusive" << int(serial::LineFault::InUse) << "a program holds it exclusively";
    QTest::newRow("locked by a program it cannot see")
        << "flock" << int(serial::LineFault::InUse) << "a program holds an flock on it";
    QTest::newRow("after a run of its own was killed mid-update") << "killed" << 0 << "";
}

void TestSerial::openAsAnotherUser() {
    QFETCH(QString, before);
    QFETCH(int, code);
    QFETCH(QString, says);
    if (::geteuid() != 0 || !QFile::exists(QStringLiteral("/usr/bin/setpriv")))
        QSKIP("needs root and setpriv");
    PtyPair pty;
    PortSandbox sandbox;
    QVERIFY(pty.isValid() && sandbox.link(kPort, pty.slavePath()));
    letOthersThrough(sandbox.portDirectory(), 3);
    const QByteArray device = QFile::encodeName(pty.slavePath());
    QVERIFY(::chown(device.constData(), kVictim, gid_t(-1)) == 0);

    int holder = -1;
    if (before == QLatin1String("exclusive") || before == QLatin1String("flock")) {
        holder = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(holder >= 0);
        QVERIFY(before == QLatin1String("flock") ? ::flock(holder, LOCK_EX | LOCK_NB) == 0
                                                 : ::ioctl(holder, TIOCEXCL) == 0);
    } else {
        QProcess run;
        run.setStandardInputFile(QProcess::nullDevice());
        run.start(QStringLiteral("/usr/bin/setpriv"),
                  {QStringLiteral("--reuid=%1").arg(kVictim),
                   QStringLiteral("--regid=%1").arg(kVictim), QStringLiteral("--clear-groups"),
                   QStringLiteral(ZARVO_BUILD_DIR "/zarvo-flash"), QStringLiteral("--port"),
                   QString::number(kPort)});
        QVERIFY(run.waitForStarted(kWaitMs));
        // Its first frame is on the line: the port is open and the update under way.
        const QByteArray first = pty.readAtLeast(1, kWaitMs * 2);
        if (first.isEmpty()) {
            run.waitForFinished(kWaitMs);
            QFAIL(run.readAllStandardError().constData());
        }
        ::kill(pid_t(run.processId()), SIGKILL);
        QVERIFY(run.waitForFinished(kWaitMs));
    }
    const Probe probe = runAsUser(
        kVictim, kVictim, {QStringLiteral("--open-as-user"), QString::number(kPort)}, kWaitMs * 2);
    if (holder >= 0) {
        ::ioctl(holder, TIOCNXCL);
        ::close(holder);
    }
    if (probe.skipped)
        QSKIP("could not drop privileges");
    QVERIFY2(probe.ended, probe.err.constData());
    const QList<QByteArray> answer = probe.out.split('\n');
    QVERIFY2(answer.size() >= 2, probe.err.constData());
    QCOMPARE(answer.at(0).toInt(), code);
    QVERIFY2(answer.at(1).contains(says.toLocal8Bit()), answer.at(1).constData());
}

// Another program holds the port: one that locks and takes it exclusively, and one that
// only has it open (`cat < device`, a terminal program that locks nothing).
void TestSerial::openHeldByAnotherProgram_data() {
    QTest::addColumn<QStringList>("holderArgs");
    QTest::newRow("lock file and exclusive use") << QStringList{};
    QTest::newRow("open without a lock file") << QStringList{QStringLiteral("--plain")};
}

void TestSerial::openHeldByAnotherProgram() {
    QFETCH(QStringList, holderArgs);
    PtyPair pty;
    QVERIFY(pty.isValid());
    PortSandbox sandbox;
    QVERIFY(sandbox.link(kPort, pty.slavePath()));

    QProcess holder;
    holder.start(QStringLiteral(ZARVO_BUILD_DIR "/zarvo-portholder"),
                 holderArgs + QStringList{pty.slavePath()});
    QVERIFY2(holder.waitForStarted(kWaitMs), qPrintable(holder.errorString()));
    QVERIFY(holder.waitForReadyRead(kWaitMs));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    CommPort comm;
    comm.setCommPort(kPort);
    QVERIFY(!comm.open());
    QCOMPARE(comm.lastError().fault, serial::LineFault::InUse);
    QVERIFY2(comm.lastError().reason.contains(QString::number(holder.processId())),
             qPrintable(comm.lastError().reason));
    QCOMPARE(
        comm.lastError().holder,
        QStringLiteral("It is held by zarvo-portholder (process %1).").arg(holder.processId()));
    QVERIFY(!comm.isOpen());

    // Once the other program lets go, the port is ours.
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(kWaitMs));
    QVERIFY2(comm.open(), qPrintable(comm.lastError().reason));
    comm.close();

    // A holder that was killed leaves its lock file behind; that does not block the port.
    QProcess killed;
    killed.start(QStringLiteral(ZARVO_BUILD_DIR "/zarvo-portholder"),
                 holderArgs + QStringList{pty.slavePath()});
    QVERIFY(killed.waitForReadyRead(kWaitMs));
    killed.kill();
    QVERIFY(killed.waitForFinished(kWaitMs));
    QVERIFY2(comm.open(), qPrintable(comm.lastError().reason));
    comm.close();
}

// The holder's program name is chosen by whoever started it: nothing in it may forge a
// line of the message, hide the rest of it or turn it around, nor flood it.
void TestSerial::holderNameShownSafely_data() {
    QTest::addColumn<QString>("name"); // the holder's argv[0]
    QTest::addColumn<QString>("shown");

    QTest::newRow("newlines") << "innocent\n\nFirmware update complete."
                              << "innocentFirmware update complete.";
    QTest::newRow("escape sequences") << "holder\x1b[8m\x1b[2K\r"
                                      << "holder[8m[2K";
    QTest::newRow("bidirectional override")
        << QStringLiteral("minicom\u202Eexe.\u2066x\u2069") << "minicomexe.x";
    QTest::newRow("4,096 characters")
        << QString(4096, QLatin1Char('a')) << QString(63, QLatin1Char('a')) + QChar(0x2026);
}

void TestSerial::holderNameShownSafely() {
    QFETCH(QString, name);
    QFETCH(QString, shown);
    PtyPair pty;
    QVERIFY(pty.isValid());
    PortSandbox sandbox;
    QVERIFY(sandbox.link(kPort, pty.slavePath()));

    QProcess holder;
    holder.start(QStringLiteral("/bin/bash"),
                 {QStringLiteral("-c"), QStringLiteral("exec -a \"$0\" \"$1\" \"$2\""), name,
                  QStringLiteral(ZARVO_BUILD_DIR "/zarvo-portholder"), pty.slavePath()});
    QVERIFY(holder.waitForReadyRead(kWaitMs));
    QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));

    CommPort comm;
    comm.setCommPort(kPort);
    QVERIFY(!comm.open());
    QCOMPARE(comm.lastError().fault, serial::LineFault::InUse);
    QCOMPARE(comm.lastError().holder,
             QStringLiteral("It is held by %1 (process %2).").arg(shown).arg(holder.processId()));
    for (const QString &text : {comm.lastError().holder, comm.lastError().reason})
        for (QChar c : text)
            QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x7F && c.unicode() != 0x202E,
                     qPrintable(text));
    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(kWaitMs));
}

void TestSerial::lockFiles_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("live");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<QString>("owner"); // "" root, "other" another user, "port" port's group
    QTest::addColumn<int>("expected");

    QTest::newRow("ASCII PID of a running program")
        << "ascii" << true << 0 << "" << int(serial::LineFault::InUse);
    QTest::newRow("old lock of a running program stays")
        << "ascii" << true << 3600 << "" << int(serial::LineFault::InUse);
    QTest::newRow("PID followed by the program name")
        << "named" << true << 0 << "" << int(serial::LineFault::InUse);
    QTest::newRow("binary PID of a running program")
        << "binary" << true << 0 << "" << int(serial::LineFault::InUse);
    QTest::newRow("lock of a process that ended") << "ascii" << false << 0 << "" << 0;
    QTest::newRow("binary lock of a process that ended") << "binary" << false << 0 << "" << 0;
    // Anyone may write to /var/lock: a stranger's file must not block the port.
    QTest::newRow("planted by another user") << "ascii" << true << 0 << "other" << 0;
    QTest::newRow("another user of the port's group")
        << "ascii" << true << 0 << "port" << int(serial::LineFault::InUse);
}

void TestSerial::lockFiles() {
    QFETCH(QString, format);
    QFETCH(bool, live);
    QFETCH(int, ageSeconds);
    QFETCH(QString, owner);
    QFETCH(int, expected);

    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        QSKIP("no writable /var/lock");
    PtyPair pty;
    QVERIFY(pty.isValid());
    PortSandbox sandbox;
    QVERIFY(sandbox.link(kPort, pty.slavePath()));

    LiveProcess other;
    const qint64 pid = live ? other.pid() : deadPid();
    QVERIFY(pid > 0);
    const QString lockFile = lockFileFor(pty.slavePath());
    QByteArray content;
    if (format == QLatin1String("binary")) {
        const qint32 value = qint32(pid);
        content = QByteArray(reinterpret_cast<const char *>(&value), sizeof value);
    } else if (format == QLatin1String("named")) {
        content = QByteArray::number(pid).rightJustified(10, ' ') + " minicom root\n";
    } else {
        content = QByteArray::number(pid).rightJustified(10, ' ') + '\n';
    }
    {
        QFile f(lockFile);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        if (ageSeconds > 0)
            f.setFileTime(QDateTime::currentDateTime().addSecs(-ageSeconds),
                          QFileDevice::FileModificationTime);
    }
    const auto cleanUp = qScopeGuard([&] { QFile::remove(lockFile); });
    if (!owner.isEmpty()) {
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody || ::geteuid() != 0)
            QSKIP("needs root and a user nobody");
        struct stat device {};
        QVERIFY(::stat(QFile::encodeName(pty.slavePath()).constData(), &device) == 0);
        const gid_t group = owner == QLatin1String("port") ? device.st_gid : nobody->pw_gid;
        QVERIFY(group != device.st_gid || owner == QLatin1String("port"));
        QVERIFY(::chown(QFile::encodeName(lockFile).constData(), nobody->pw_uid, group) == 0);
    }

    CommPort comm;
    comm.setCommPort(kPort);
    const bool opened = comm.open();
    QCOMPARE(int(comm.lastError().fault), expected);
    QCOMPARE(opened, expected == 0);
    QVERIFY(QFile::exists(lockFile) || !live);
    if (expected != 0) {
        QVERIFY(comm.lastError().reason.contains(QString::number(pid)));
        QCOMPARE(comm.lastError().holder,
                 QStringLiteral("It is held by cat (process %1).").arg(pid));
        // Somebody else's lock is never removed.
        QVERIFY(QFile::exists(lockFile));
        QCOMPARE(QFile(lockFile).size(), qint64(content.size()));
    }
    comm.close();
}

// Trust follows who could have written the file: root, we, the port's group, and the
// directory's sticky bit or its owners.
void TestSerial::lockFileTrust_data() {
    QTest::addColumn<int>("dirMode");
    QTest::addColumn<QString>("dirOwner"); // user:group, "root" or "nobody"; "port" the group
    QTest::addColumn<QString>("fileOwner");
    QTest::addColumn<bool>("symlink");
    QTest::addColumn<bool>("trusted");

    QTest::newRow("root's file, root's directory") << 0755 << "root:root"
                                                   << "root:root" << false << true;
    QTest::newRow("root's file, sticky directory for all") << 01777 << "root:root"
                                                           << "root:root" << false << true;
    QTest::newRow("root's file, directory anyone may write to") << 0777 << "root:root"
                                                                << "root:root" << false << false;
    QTest::newRow("root's file, directory of another user") << 0755 << "nobody:root"
                                                            << "root:root" << false << false;
    QTest::newRow("root's file, directory the port's group may write to")
        << 0775 << "root:port"
        << "root:root" << false << true;
    QTest::newRow("root's file, directory another group may write to")
        << 0775 << "root:nobody"
        << "root:root" << false << false;
    QTest::newRow("another user's file, sticky directory") << 01777 << "root:root"
                                                           << "nobody:nobody" << false << false;
    QTest::newRow("another user of the port's group, sticky directory")
        << 01777 << "root:root"
        << "nobody:port" << false << true;
    QTest::newRow("a link in place of the file") << 0755 << "root:root"
                                                 << "root:root" << true << false;
}

void TestSerial::lockFileTrust() {
    QFETCH(int, dirMode);
    QFETCH(QString, dirOwner);
    QFETCH(QString, fileOwner);
    QFETCH(bool, symlink);
    QFETCH(bool, trusted);
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody || ::geteuid() != 0)
        QSKIP("needs root and a user nobody");
    const gid_t portGroup = 5; // any group that is neither root's nor nobody's
    QVERIFY(portGroup != nobody->pw_gid);
    const auto ids = [&](const QString &owner, uid_t &uid, gid_t &gid) {
        uid = owner.section(':', 0, 0) == QLatin1String("nobody") ? nobody->pw_uid : 0;
        const QString group = owner.section(':', 1);
        gid = group == QLatin1String("port")     ? portGroup
              : group == QLatin1String("nobody") ? nobody->pw_gid
                                                 : 0;
    };

    QTemporaryDir top;
    const QByteArray dir = QFile::encodeName(top.path() + QStringLiteral("/lock"));
    QVERIFY(::mkdir(dir.constData(), 0700) == 0);
    const QByteArray file = dir + "/LCK..ttyS9";
    if (symlink) {
        const QByteArray target = QFile::encodeName(top.path()) + "/elsewhere";
        QFile(QFile::decodeName(target)).open(QIODevice::WriteOnly);
        QVERIFY(::symlink(target.constData(), file.constData()) == 0);
    } else {
        QFile f(QFile::decodeName(file));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("      1234\n");
    }
    uid_t uid;
    gid_t gid;
    ids(fileOwner, uid, gid);
    QVERIFY(::lchown(file.constData(), uid, gid) == 0);
    ids(dirOwner, uid, gid);
    QVERIFY(::chown(dir.constData(), uid, gid) == 0);
    QVERIFY(::chmod(dir.constData(), mode_t(dirMode)) == 0);

    const std::optional<QString> why = serial::distrustLockFile(QFile::decodeName(file), portGroup);
    QVERIFY2(why.has_value() != trusted, qPrintable(why.value_or(QStringLiteral("trusted"))));
}

// Another user plants something under the port's lock file name in the shared lock
// directory. The victim, no root either, neither trusts it nor reads more of it than its
// first bytes, never waits on it, and opens the port; the log names the file and its owner.
void TestSerial::plantedLocks_data() {
    QTest::addColumn<QString>("planted");
    QTest::newRow("regular file") << "file";
    QTest::newRow("directory") << "directory";
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to /dev/zero") << "zero";
    QTest::newRow("3 GB sparse file") << "sparse";
}

void TestSerial::plantedLocks() {
    QFETCH(QString, planted);
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody || ::geteuid() != 0)
        QSKIP("needs root and a user nobody");
    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        QSKIP("no writable /var/lock");

    PtyPair pty;
    QVERIFY(pty.isValid());
    const QByteArray device = QFile::encodeName(pty.slavePath());
    QVERIFY(::chown(device.constData(), kVictim, gid_t(-1)) == 0);
    PortSandbox sandbox;
    QVERIFY(sandbox.link(kPort, pty.slavePath()));
    letOthersThrough(sandbox.portDirectory(), 3);

    const QString lockFile = lockFileFor(pty.slavePath());
    const QByteArray path = QFile::encodeName(lockFile);
    // The name the log gives it: the lock directory reached without links.
    const QByteArray shown =
        QFile::encodeName(QFileInfo(QFileInfo(lockFile).path()).canonicalFilePath() +
                          QLatin1Char('/') + QFileInfo(lockFile).fileName());
    QFile::remove(lockFile);
    const auto cleanUp = qScopeGuard([&] {
        if (::rmdir(path.constData()) != 0)
            ::unlink(path.constData());
    });
    if (planted == QLatin1String("directory")) {
        QVERIFY(::mkdir(path.constData(), 0755) == 0);
    } else if (planted == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(path.constData(), 0644) == 0);
    } else if (planted == QLatin1String("zero")) {
        QVERIFY(::symlink("/dev/zero", path.constData()) == 0);
    } else {
        QFile f(lockFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
        // A live process's number: a file trusted by mistake would keep the port shut.
        f.write(QByteArray::number(::getpid()).rightJustified(10, ' ') + '\n');
        if (planted == QLatin1String("sparse"))
            QVERIFY(f.resize(qint64(3) << 30));
    }
    QVERIFY(::lchown(path.constData(), nobody->pw_uid, nobody->pw_gid) == 0);
    struct stat before {};
    QVERIFY(::lstat(path.constData(), &before) == 0);

    const Probe probe = runAsUser(
        kVictim, kVictim, {QStringLiteral("--open-as-user"), QString::number(kPort)}, kWaitMs * 2);
    if (probe.skipped)
        QSKIP("could not drop privileges");
    QVERIFY2(probe.ended, "the open hung or the victim was killed");
    const QList<QByteArray> answer = probe.out.split('\n');
    QVERIFY2(answer.size() >= 2, probe.err.constData());
    QVERIFY2(answer.at(0).toInt() == 0, (answer.at(1) + '\n' + probe.err).constData());
    // The log says which file was not trusted and whose it is.
    QVERIFY2(probe.err.contains(shown) && probe.err.contains("nobody"), probe.err.constData());
    // Somebody else's file is left as it was.
    struct stat after {};
    QVERIFY(::lstat(path.constData(), &after) == 0);
    QCOMPARE(after.st_mode, before.st_mode);
    QCOMPARE(after.st_size, before.st_size);
}

// Root opens any device, so as root the open is tried by an unprivileged user who may reach
// the port directory but not the device; any other user is refused a device whose mode lets
// nobody in.
void TestSerial::openWithoutPermission() {
    PtyPair pty; // owned by root, group tty, not readable by others
    QVERIFY(pty.isValid());
    PortSandbox sandbox;
    QVERIFY(sandbox.link(kPort, pty.slavePath()));
    int code = 0;
    QString reason;
    if (::geteuid() == 0) {
        const passwd *nobody = ::getpwnam("nobody");
        QVERIFY2(nobody, "no user nobody");
        const uid_t uid = nobody->pw_uid;
        const gid_t gid = nobody->pw_gid;
        // Let the other user reach the port directory, but not the device.
        QDir dir(sandbox.portDirectory());
        for (int up = 0; up < 3; ++up, dir.cdUp())
            QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ReadOther |
                                                  QFile::ExeOther);
        QProcess probe;
        probe.setChildProcessModifier([uid, gid] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(77);
        });
        probe.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--open-as-user"), QString::number(kPort)});
        QVERIFY(probe.waitForFinished(kWaitMs * 2));
        QVERIFY2(probe.exitCode() != 77, "could not drop privileges");
        const QList<QByteArray> answer = probe.readAllStandardOutput().split('\n');
        QVERIFY2(answer.size() >= 2, probe.readAllStandardError().constData());
        code = answer.at(0).toInt();
        reason = QString::fromLocal8Bit(answer.at(1));
    } else {
        QVERIFY(QFile::setPermissions(pty.slavePath(), {}));
        CommPort comm;
        comm.setCommPort(kPort);
        QVERIFY(!comm.open());
        QVERIFY(!comm.isOpen());
        code = int(comm.lastError().fault);
        reason = comm.lastError().reason;
    }
    QCOMPARE(code, int(serial::LineFault::Permission));
    QVERIFY2(reason.contains(pty.slavePath()), qPrintable(reason));
    QVERIFY2(reason.contains(QString::fromLocal8Bit(std::strerror(EACCES))), qPrintable(reason));
    QVERIFY2(reason.contains(QStringLiteral("group")), qPrintable(reason));
}

void TestSerial::openCloseCycle() {
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox));
    QVERIFY(comm.isOpen());
    QVERIFY(comm.open()); // already ours: nothing changes
    QCOMPARE(comm.lastError().fault, serial::LineFault::None);
    comm.close();
    QVERIFY(!comm.isOpen());
    comm.close();
    QCOMPARE(comm.lastError().fault, serial::LineFault::None);
    // The port, its lock and its exclusive open are released by the close.
    QVERIFY2(comm.open(), qPrintable(comm.lastError().reason));
    CommPort second;
    second.setCommPort(kPort);
    QVERIFY(!second.open());
    QCOMPARE(second.lastError().fault, serial::LineFault::InUse);
    comm.close();
    QVERIFY2(second.open(), qPrintable(second.lastError().reason));
}

// Bytes that were waiting on the line before the open belong to no one: the late reply
// to an update that ended would otherwise stand in front of the next one's first reply.
// Bytes that arrive once the port is open are all delivered.
void TestSerial::openDropsWhatWasThere() {
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(pty.isValid());
    QVERIFY(pty.write(QByteArray("\x0F\x0F\x03\xFD\x04", 5)));
    QVERIFY(openOn(comm, pty, sandbox));
    comm.setRThreshold(3);
    QSignalSpy spy(&comm, &CommPort::commEvent);
    QVERIFY(pty.write(QByteArray("new")));
    QVERIFY(spy.wait(kWaitMs) || spy.count() > 0);
    QCOMPARE(comm.input(), QByteArray("new"));
}

// While the port is open nobody else joins it: not a program that honours flocks, of any
// user. A pseudo-terminal is not taken for exclusive use: that would outlive a killed run.
void TestSerial::othersKeptOutWhileOpen() {
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox));
    const QByteArray device = QFile::encodeName(pty.slavePath());
    // The lock file programs that read lock files look for names us, whole.
    const QString lockFile = lockFileFor(pty.slavePath());
    if (QFileInfo(QStringLiteral("/var/lock")).isWritable()) {
        QFile lock(lockFile);
        QVERIFY(lock.open(QIODevice::ReadOnly));
        QCOMPARE(lock.readAll(),
                 QByteArray::number(QCoreApplication::applicationPid()).rightJustified(10, ' ') +
                     '\n');
    }
    const int other = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (other >= 0) {
        QVERIFY(::flock(other, LOCK_EX | LOCK_NB) != 0);
        QCOMPARE(errno, EWOULDBLOCK);
        ::close(other);
    }
    if (::geteuid() != 0)
        return;
    QVERIFY(::chown(device.constData(), kVictim, gid_t(-1)) == 0);
    const Probe probe =
        runAsUser(kVictim, kVictim, {QStringLiteral("--open-device"), pty.slavePath()}, kWaitMs);
    if (probe.skipped)
        QSKIP("could not drop privileges");
    QVERIFY(probe.ended);
    QCOMPARE(probe.out.trimmed().toInt(), EWOULDBLOCK);
    comm.close();
    QVERIFY(!QFile::exists(lockFile));
    // Once closed, the port is free for that user again.
    const Probe later =
        runAsUser(kVictim, kVictim, {QStringLiteral("--open-device"), pty.slavePath()}, kWaitMs);
    QCOMPARE(later.out.trimmed().toInt(), 0);
}

void TestSerial::settings_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("4800") << "4800,N,8,1" << true;
    QTest::newRow("1200") << "1200,N,8,1" << true;
    QTest::newRow("2400") << "2400,N,8,1" << true;
    QTest::newRow("115200") << "115200,N,8,1" << true;
    QTest::newRow("lower-case n") << "9600,n,8,1" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("baud only") << "4800" << false;
    QTest::newRow("even parity") << "4800,E,8,1" << false;
    QTest::newRow("seven data bits") << "4800,N,7,1" << false;
    QTest::newRow("two stop bits") << "4800,N,8,2" << false;
    QTest::newRow("zero baud") << "0,N,8,1" << false;
    QTest::newRow("negative baud") << "-4800,N,8,1" << false;
    QTest::newRow("baud beyond 32 bits") << "99999999999,N,8,1" << false;
    QTest::newRow("baud not a number") << "fast,N,8,1" << false;
    QTest::newRow("leading blank") << " 4800,N,8,1" << false;
    QTest::newRow("trailing newline") << "4800,N,8,1\n" << false;
    QTest::newRow("extra field") << "4800,N,8,1,X" << false;
    QTest::newRow("semicolons") << "4800;N;8;1" << false;
}

void TestSerial::settings() {
    QFETCH(QString, text);
    QFETCH(bool, accepted);

    for (const bool open : {false, true}) {
        PtyPair pty;
        PortSandbox sandbox;
        CommPort comm;
        QVERIFY(comm.setSettings(QStringLiteral("2400,N,8,1")));
        if (open)
            QVERIFY(openOn(comm, pty, sandbox, QStringLiteral("2400,N,8,1")));
        QCOMPARE(comm.setSettings(text), accepted);
        QCOMPARE(comm.lastError().fault,
                 accepted ? serial::LineFault::None : serial::LineFault::Settings);
        QCOMPARE(comm.settings(), accepted ? text : QStringLiteral("2400,N,8,1"));
        if (open) {
            QVERIFY(comm.isOpen());
            const termios tio = pty.slaveSettings();
            if (!accepted)
                QCOMPARE(cfgetospeed(&tio), speed_t(B2400));
        }
    }
}

void TestSerial::settingsOnLine_data() {
    QTest::addColumn<QString>("atOpen");
    QTest::addColumn<QString>("whileOpen"); // empty: not changed
    QTest::addColumn<int>("speed");
    // What another program left on the line before the open: flags set, "vmin" (a read
    // that waits for more bytes) or "b0" (speed 0, modem lines down: not put back). A
    // pseudo-terminal refuses other data bits and a line without CLOCAL or CREAD.
    // "meanwhile": the far end sets them while the port is open, before the speed changes.
    QTest::addColumn<QStringList>("left");

    QTest::newRow("1200 at open") << "1200,N,8,1"
                                  << "" << int(B1200) << QStringList{};
    QTest::newRow("2400 at open") << "2400,N,8,1"
                                  << "" << int(B2400) << QStringList{};
    QTest::newRow("4800 at open") << "4800,N,8,1"
                                  << "" << int(B4800) << QStringList{};
    QTest::newRow("4800 then 1200") << "4800,N,8,1"
                                    << "1200,N,8,1" << int(B1200) << QStringList{};
    QTest::newRow("4800 then 2400") << "4800,N,8,1"
                                    << "2400,n,8,1" << int(B2400) << QStringList{};
    QTest::newRow("1200 then 115200") << "1200,N,8,1"
                                      << "115200,N,8,1" << int(B115200) << QStringList{};
    const QString plain = QStringLiteral("4800,N,8,1");
    QTest::newRow("left: RTS/CTS flow control")
        << plain << "" << int(B4800) << QStringList{"crtscts"};
    QTest::newRow("left: XON/XOFF, any byte restarts")
        << plain << "" << int(B4800) << QStringList{"ixon", "ixoff", "ixany"};
    QTest::newRow("left: odd parity, checked and marked")
        << plain << "" << int(B4800) << QStringList{"parenb", "parodd", "inpck", "parmrk"};
    QTest::newRow("left: second stop bit") << plain << "" << int(B4800) << QStringList{"cstopb"};
    QTest::newRow("left: line editing, echo, signals")
        << plain << "" << int(B4800) << QStringList{"icanon", "echo", "isig", "iexten"};
    QTest::newRow("left: newline translation")
        << plain << "" << int(B4800) << QStringList{"icrnl", "inlcr", "opost", "onlcr"};
    QTest::newRow("left: stripped to 7 bits, breaks ignored")
        << plain << "" << int(B4800) << QStringList{"istrip", "ignbrk"};
    QTest::newRow("left: reads wait for 10 bytes")
        << plain << "" << int(B4800) << QStringList{"vmin"};
    QTest::newRow("left: speed 0") << plain << "" << int(B4800) << QStringList{"b0"};
    QTest::newRow("set meanwhile: parity, stop bits, line editing, reads that wait")
        << plain << "1200,N,8,1" << int(B1200)
        << QStringList{"meanwhile", "parenb", "cstopb", "icanon", "echo", "vmin"};
}

void TestSerial::settingsOnLine() {
    QFETCH(QString, atOpen);
    QFETCH(QString, whileOpen);
    QFETCH(int, speed);
    QFETCH(QStringList, left);
    const bool meanwhile = left.removeAll(QStringLiteral("meanwhile")) > 0;

    PtyPair pty;
    PortSandbox sandbox;
    QVERIFY(pty.isValid());
    static const QHash<QString, std::pair<int, tcflag_t>> flags{
        {"crtscts", {0, CRTSCTS}}, {"parenb", {0, PARENB}}, {"parodd", {0, PARODD}},
        {"cstopb", {0, CSTOPB}},   {"ixon", {1, IXON}},     {"ixoff", {1, IXOFF}},
        {"ixany", {1, IXANY}},     {"inpck", {1, INPCK}},   {"parmrk", {1, PARMRK}},
        {"icrnl", {1, ICRNL}},     {"inlcr", {1, INLCR}},   {"istrip", {1, ISTRIP}},
        {"ignbrk", {1, IGNBRK}},   {"opost", {2, OPOST}},   {"onlcr", {2, ONLCR}},
        {"icanon", {3, ICANON}},   {"echo", {3, ECHO}},     {"isig", {3, ISIG}},
        {"iexten", {3, IEXTEN}}};
    termios found = pty.slaveSettings();
    for (const QString &flag : left) {
        if (flag == QLatin1String("vmin")) {
            found.c_cc[VMIN] = 10;
            found.c_cc[VTIME] = 5;
            continue;
        }
        if (flag == QLatin1String("b0")) {
            ::cfsetispeed(&found, B0);
            ::cfsetospeed(&found, B0);
            continue;
        }
        QVERIFY2(flags.contains(flag), qPrintable(flag));
        const auto [field, bits] = flags.value(flag);
        tcflag_t *fields[] = {&found.c_cflag, &found.c_iflag, &found.c_oflag, &found.c_lflag};
        *fields[field] |= bits;
    }
    // From the far end, as a terminal program's settings stay on a pseudo-terminal.
    const termios changed = found;
    if (!meanwhile)
        QVERIFY(::tcsetattr(pty.masterFd(), TCSANOW, &changed) == 0);
    found = pty.slaveSettings();

    CommPort comm;
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    QVERIFY(openOn(comm, pty, sandbox, atOpen));
    if (meanwhile)
        QVERIFY(::tcsetattr(pty.masterFd(), TCSANOW, &changed) == 0);
    if (!whileOpen.isEmpty()) {
        QVERIFY(comm.output(QByteArray("before")));
        QVERIFY(comm.setSettings(whileOpen));
        QVERIFY(comm.output(QByteArray("after")));
        QCOMPARE(pty.readAtLeast(11), QByteArray("beforeafter"));
    }

    const termios tio = pty.slaveSettings();
    QCOMPARE(int(cfgetospeed(&tio)), speed);
    QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(tio.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(tio.c_cflag & (CREAD | CLOCAL), tcflag_t(CREAD | CLOCAL));
    // Raw: no line editing, echo, signals, translation or software flow control.
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), tcflag_t(0));
    QCOMPARE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | INPCK |
                            IGNBRK | BRKINT),
             tcflag_t(0));
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QCOMPARE(int(tio.c_cc[VMIN]), 1);
    QCOMPARE(int(tio.c_cc[VTIME]), 0);

    // The close leaves the line as it was found, but for an echo: with nobody reading the
    // line after us it would send the meter's own late reply back to it.
    comm.close();
    const termios back = pty.slaveSettings();
    QCOMPARE(back.c_cflag & ~tcflag_t(CBAUD), found.c_cflag & ~tcflag_t(CBAUD));
    QCOMPARE(back.c_iflag, found.c_iflag);
    QCOMPARE(back.c_oflag, found.c_oflag);
    QCOMPARE(back.c_lflag, found.c_lflag & ~tcflag_t(ECHO | ECHONL));
    QCOMPARE(int(cfgetospeed(&back)), left.contains("b0") ? speed : int(cfgetospeed(&found)));
    QCOMPARE(back.c_cc[VMIN], found.c_cc[VMIN]);
}

void TestSerial::receiveThreshold_data() {
    QTest::addColumn<int>("threshold");
    QTest::addColumn<QList<int>>("pieces");
    QTest::addColumn<int>("events"); // after the last piece

    QTest::newRow("byte by byte to 5") << 5 << QList<int>{1, 1, 1, 1, 1} << 1;
    QTest::newRow("3 then 2") << 5 << QList<int>{3, 2} << 1;
    QTest::newRow("all at once") << 5 << QList<int>{5} << 1;
    QTest::newRow("past the threshold") << 5 << QList<int>{2, 7} << 1;
    QTest::newRow("16-byte reply in halves") << 16 << QList<int>{8, 8} << 1;
    QTest::newRow("13-byte reply, 12 then 1") << 13 << QList<int>{12, 1} << 1;
    QTest::newRow("threshold 1") << 1 << QList<int>{1} << 1;
    QTest::newRow("threshold 0: no events") << 0 << QList<int>{3, 5} << 0;
}

void TestSerial::receiveThreshold() {
    QFETCH(int, threshold);
    QFETCH(QList<int>, pieces);
    QFETCH(int, events);

    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox));
    comm.setRThreshold(threshold);
    QSignalSpy spy(&comm, &CommPort::commEvent);

    QByteArray sent;
    for (int i = 0; i < pieces.size(); ++i) {
        QByteArray piece;
        for (int b = 0; b < pieces[i]; ++b)
            piece.append(char(0xF0 + sent.size() + b));
        QVERIFY(pty.write(piece));
        sent += piece;
        // Counted once its readyRead has been handled: no event may be pending by then.
        QTRY_COMPARE_WITH_TIMEOUT(comm.inBufferCount(), int(sent.size()), kWaitMs);
        if (i + 1 < pieces.size())
            QCOMPARE(spy.count(), 0);
    }
    QCOMPARE(spy.count(), events);
    for (const QList<QVariant> &event : spy)
        QCOMPARE(event.at(0).toInt(), CommPort::kEvReceive);
    QCOMPARE(comm.input(), sent);
    QCOMPARE(comm.inBufferCount(), 0);

    // Less than the threshold after the buffer was read raises nothing more.
    if (threshold > 1) {
        QVERIFY(pty.write(QByteArray(1, '\x0F')));
        QTRY_COMPARE_WITH_TIMEOUT(comm.inBufferCount(), 1, kWaitMs);
        QCOMPARE(spy.count(), events);
    }
}

void TestSerial::everyByteBothWays() {
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    comm.setNullDiscard(false);
    QVERIFY(openOn(comm, pty, sandbox));
    const QByteArray bytes = everyByteValue(2);

    QVERIFY(comm.output(bytes));
    QCOMPARE(pty.readAtLeast(int(bytes.size())), bytes);

    comm.setRThreshold(int(bytes.size()));
    QSignalSpy spy(&comm, &CommPort::commEvent);
    QVERIFY(pty.write(bytes));
    QVERIFY(spy.wait(kWaitMs) || spy.count() > 0);
    QCOMPARE(comm.input(), bytes);
}

void TestSerial::outputLeavesAtOnce() {
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox));
    // No event pass between the writes and the reads: only the driver carries them.
    const QByteArray first("\x0F\x0F\x00\x01\x05\x04", 6);
    const QByteArray second("\x0F\x0F\x03\x01\x40\x10\x00\x04", 8);
    QVERIFY(comm.output(first));
    QVERIFY(comm.output(second));
    QCOMPARE(pty.readAtLeast(int(first.size() + second.size())), first + second);
    QVERIFY(comm.output(QByteArray()));
}

void TestSerial::noReceiveEventInsideOutput() {
    // A reply that is already on the line, and more of it arriving while a block large
    // enough to keep the write busy goes out: the receive event never runs inside the
    // write, where the caller could not yet have cleared its reply flag, and it is not
    // lost either.
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox, QStringLiteral("115200,N,8,1")));
    LineReader farEnd(pty.masterFd());
    QVERIFY(farEnd.pid > 0);
    const QByteArray reply("\x0F\x0F\x03\xFD\x04", 5);
    comm.setRThreshold(int(reply.size()));
    QSignalSpy spy(&comm, &CommPort::commEvent);

    QVERIFY(pty.write(reply.left(3)));
    QVERIFY(pty.write(reply.mid(3)));
    QVERIFY2(comm.output(everyByteValue(256)), qPrintable(comm.lastError().reason));
    QCOMPARE(spy.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, kWaitMs);
    QCOMPARE(comm.input(), reply);
}

void TestSerial::outputNeedsOpenPort() {
    CommPort comm;
    QVERIFY(!comm.output(QByteArray("x")));
    QCOMPARE(comm.lastError().fault, serial::LineFault::NotOpen);
    QVERIFY(comm.input().isEmpty());
    QCOMPARE(comm.inBufferCount(), 0);
}

void TestSerial::largeOutputThenClose() {
    // More than the line's buffers hold: the output waits for the line, and nothing of it
    // is dropped by the close that follows.
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox, QStringLiteral("115200,N,8,1")));
    LineReader farEnd(pty.masterFd());
    QVERIFY(farEnd.pid > 0);
    const QString file = farEnd.file;

    const QByteArray bytes = everyByteValue(256); // 64 KiB
    QVERIFY2(comm.output(bytes), qPrintable(comm.lastError().reason));
    comm.close();
    QVERIFY(!comm.isOpen());
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(file).size(), qint64(bytes.size()), kWaitMs * 2);
    QFile line(file);
    QVERIFY(line.open(QIODevice::ReadOnly));
    QCOMPARE(line.readAll(), bytes);
}

void TestSerial::stalledLineDoesNotHang() {
    // Nobody reads the far end: the write gives up after the line time of the bytes plus a
    // margin and says so, and closing does not wait for the stuck bytes.
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox, QStringLiteral("4000000,N,8,1")));
    const bool sent = comm.output(everyByteValue(256));
    QVERIFY(!sent);
    QCOMPARE(comm.lastError().fault, serial::LineFault::WriteFailed);
    QVERIFY(comm.isOpen());
    comm.close();
    QVERIFY(!comm.isOpen());
}

void TestSerial::hangUpReportedOnce() {
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    QVERIFY(openOn(comm, pty, sandbox));
    comm.setRThreshold(1);
    QSignalSpy received(&comm, &CommPort::commEvent);
    QList<bool> openWhenReported;
    connect(&comm, &CommPort::deviceLost, this,
            [&](const QString &) { openWhenReported << comm.isOpen(); });
    QSignalSpy lost(&comm, &CommPort::deviceLost);

    pty.hangUp();
    QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 1, kWaitMs);
    QVERIFY(!lost.first().at(0).toString().isEmpty());
    QCOMPARE(openWhenReported, QList<bool>{false});
    QVERIFY(!comm.isOpen());

    // Further event passes bring neither more reports nor receive events.
    QTest::qWait(100);
    QCOMPARE(lost.count(), 1);
    QCOMPARE(received.count(), 0);
    QVERIFY(!comm.output(QByteArray("x")));
    QCOMPARE(comm.lastError().fault, serial::LineFault::NotOpen);
    comm.close();
}

void TestSerial::modemLinesOnPseudoTerminal() {
    // A pseudo-terminal has no DTR or RTS: asking for them is not a failure.
    PtyPair pty;
    PortSandbox sandbox;
    CommPort comm;
    comm.setDTREnable(true);
    comm.setRTSEnable(true);
    comm.setHandshaking(0);
    QSignalSpy lost(&comm, &CommPort::deviceLost);
    QVERIFY(openOn(comm, pty, sandbox));
    QCOMPARE(comm.lastError().fault, serial::LineFault::None);
    QTest::qWait(50);
    QVERIFY(comm.isOpen());
    QCOMPARE(lost.count(), 0);
    QVERIFY(comm.output(QByteArray("ok")));
    QCOMPARE(pty.readAtLeast(2), QByteArray("ok"));
}

// Run as another user by openWithoutPermission: opens a port, prints the error code and
// the reason.
static int openAsUser(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    CommPort comm;
    comm.setCommPort(QByteArray(argv[2]).toInt());
    comm.open();
    std::printf("%d\n%s\n", int(comm.lastError().fault), qPrintable(comm.lastError().reason));
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && qstrcmp(argv[1], "--open-as-user") == 0)
        return openAsUser(argc, argv);
    // Run as another user by othersKeptOutWhileOpen: opens a device as a serial program
    // would, with an flock, and prints 0 or the error number.
    if (argc == 3 && qstrcmp(argv[1], "--open-device") == 0) {
        const int fd = ::open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool taken = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        std::printf("%d\n", taken ? 0 : errno);
        return 0;
    }
    QCoreApplication app(argc, argv);
    TestSerial test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "test_serial.moc"
