// One copy of the tool per user: a second start is refused with a message and brings the
// running copy forward; stray connections and stale locks change nothing. A start without
// any display ends at once with one line that says so.
#include "frmmain.h"
#include "singleinstance.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString kProgram = QStringLiteral(ZARVO_BUILD_DIR "/zarvo-update");

// What the second start's message box showed; the box is answered with OK.
struct SeenBox {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    int count = 0;
};

} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void secondStartIsRefused();
    void strayRequestIgnored_data();
    void strayRequestIgnored();
    void staleLockDoesNotBlock();
    void unjudgedLock_data();
    void unjudgedLock();
    void privateFallbackDirectory();
    void runtimeDirectoryChecked_data();
    void runtimeDirectoryChecked();
    void noDisplay_data();
    void noDisplay();
    void fallbackTakenByAnotherUser_data();
    void fallbackTakenByAnotherUser();
    void floodOfConnections();
    void endsOnSignal_data();
    void endsOnSignal();

private:
    // Starts the tool as the first copy and waits until it listens. `observed`: the first
    // copy is this program's --first-copy mode, which reports what its window does.
    // `fileLimit`: the most files the copy may have open, 0 for the usual.
    bool startFirst(bool observed = false, int fileLimit = 0);
    QByteArray request(const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_runtime;
    QTemporaryDir m_config;
    QProcess m_first;
};

void TestSingleInstance::init() {
    QVERIFY2(QFile::exists(kProgram), "build the zarvo-update target first");
    m_runtime = std::make_unique<QTemporaryDir>();
    QVERIFY(m_runtime->isValid() && m_config.isValid());
    qputenv("XDG_RUNTIME_DIR", m_runtime->path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
}

void TestSingleInstance::cleanup() {
    if (m_first.state() != QProcess::NotRunning) {
        m_first.kill();
        m_first.waitForFinished(10000);
    }
    m_runtime.reset();
}

bool TestSingleInstance::startFirst(bool observed, int fileLimit) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
    m_first.setProcessEnvironment(env);
    m_first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_first.setChildProcessModifier([fileLimit] {
        if (fileLimit > 0) {
            const rlimit limit{rlim_t(fileLimit), rlim_t(fileLimit)};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
    if (observed)
        m_first.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--first-copy")});
    else
        m_first.start(kProgram, {});
    if (!m_first.waitForStarted(10000))
        return false;
    // Bounded polling: the copy listens once its start-up has run.
    QLocalSocket probe;
    for (int i = 0; i < 400; ++i) {
        probe.connectToServer(SingleInstance::socketPath());
        if (probe.waitForConnected(50)) {
            probe.abort();
            return true;
        }
        QTest::qWait(25);
    }
    return false;
}

// Sends bytes to the running copy; returns its answer, or "<dropped>" when it hung up
// without one.
QByteArray TestSingleInstance::request(const QByteArray &bytes) {
    QLocalSocket socket;
    socket.connectToServer(SingleInstance::socketPath());
    if (!socket.waitForConnected(5000))
        return "<no connection>";
    socket.write(bytes);
    socket.waitForBytesWritten(5000);
    QByteArray answer;
    while (socket.state() == QLocalSocket::ConnectedState && socket.waitForReadyRead(10000))
        answer += socket.readAll();
    answer += socket.readAll();
    return answer.isEmpty() ? QByteArray("<dropped>") : answer;
}

void TestSingleInstance::secondStartIsRefused() {
    QVERIFY(startFirst(true));
    // What the first copy's window did, as it reports it.
    QByteArray reported;
    auto readReports = [&] { reported += m_first.readAllStandardOutput(); };
    QTRY_VERIFY_WITH_TIMEOUT((readReports(), reported.contains("ready\n")), 10000);

    SeenBox seen;
    QByteArray reportedWhileBoxOpen;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        readReports();
        reportedWhileBoxOpen = reported;
        ++seen.count;
        seen.text = box->text();
        seen.title = box->windowTitle();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(10);

    frmMain second;
    QVERIFY(!second.Form_Load());
    poll.stop();

    QCOMPARE(seen.count, 1);
    QCOMPARE(seen.text, QStringLiteral("Another instance of this program is already open."));
    QCOMPARE(seen.title, second.engine.state.sTitleVer);
    QVERIFY(seen.title.startsWith(QStringLiteral("ZARVO-415B_417_452 Firmware v")));
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    // The first copy acted on the request; this window was never shown.
    QVERIFY(second.singleInstance().activationAcknowledged());
    QVERIFY(!second.isVisible());
    QCOMPARE(second.windowHandle(), nullptr);
    QCOMPARE(m_first.state(), QProcess::Running);
    // Its window came to the front once the box was closed, not before.
    QVERIFY(!reportedWhileBoxOpen.contains("raised"));
    QVERIFY(!reportedWhileBoxOpen.contains("active frmMain"));
    QTRY_VERIFY_WITH_TIMEOUT((readReports(), reported.contains("active frmMain\n")), 10000);
    QVERIFY(reported.contains("raised\n"));
}

void TestSingleInstance::strayRequestIgnored_data() {
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("other line") << QByteArray("hello\n");
    QTest::newRow("request in capitals") << SingleInstance::kActivateRequest.toUpper();
    QTest::newRow("request with more on the line")
        << QByteArray(SingleInstance::kActivateRequest)
               .insert(SingleInstance::kActivateRequest.size() - 1, " now");
    QTest::newRow("request and a second line") << SingleInstance::kActivateRequest + "again\n";
    QTest::newRow("long line") << QByteArray(4096, 'x') + '\n';
    QTest::newRow("long without line feed") << QByteArray(100000, 'y');
    QTest::newRow("NUL bytes") << QByteArray(8, '\0') + '\n';
}

void TestSingleInstance::strayRequestIgnored() {
    QFETCH(QByteArray, bytes);
    QVERIFY(startFirst());
    QCOMPARE(request(bytes), QByteArray("<dropped>"));
    // Still alive and still answering the real request.
    QCOMPARE(m_first.state(), QProcess::Running);
    QCOMPARE(request(SingleInstance::kActivateRequest), SingleInstance::kActivateAck);
}

void TestSingleInstance::staleLockDoesNotBlock() {
    QVERIFY(startFirst());
    m_first.kill(); // no chance to remove its lock or its socket
    QVERIFY(m_first.waitForFinished(10000));
    QVERIFY(QFile::exists(SingleInstance::lockPath()));

    bool boxShown = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxShown = true;
            box->button(QMessageBox::Ok)->click();
        }
    });
    poll.start(10);
    {
        frmMain window;
        QVERIFY(window.Form_Load());
        QVERIFY(window.singleInstance().isPrimary());
        // This copy now holds the lock and answers in its place.
        QLockFile other(SingleInstance::lockPath());
        QVERIFY(!other.tryLock(0));
        QCOMPARE(other.error(), QLockFile::LockFailedError);
    }
    QVERIFY(!boxShown);
    // Closed cleanly, it leaves no lock behind.
    QVERIFY(!QFile::exists(SingleInstance::lockPath()));
}

// A lock QLockFile cannot judge: stale unless a copy answers for it.
void TestSingleInstance::unjudgedLock_data() {
    QTest::addColumn<QByteArray>("content"); // "<dir>": a directory in the lock's place
    QTest::addColumn<bool>("firstRuns");

    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("garbled") << QByteArray("\x01\xfe not a lock\n") << false;
    QTest::newRow("dead process on another host")
        << QByteArray("999999\nzarvo-update\nsome-other-host\n") << false;
    QTest::newRow("a directory") << QByteArray("<dir>") << false;
    // The running copy's own lock, overwritten: it still answers, so it still holds.
    QTest::newRow("garbled, a copy answers") << QByteArray("garbage") << true;
    QTest::newRow("another host, a copy answers")
        << QByteArray("999999\nzarvo-update\nsome-other-host\n") << true;
}

void TestSingleInstance::unjudgedLock() {
    QFETCH(QByteArray, content);
    QFETCH(bool, firstRuns);
    if (firstRuns)
        QVERIFY(startFirst());
    const QString path = SingleInstance::lockPath();
    if (content == "<dir>") {
        QVERIFY(QDir().mkpath(path + QStringLiteral("/inner")));
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
    }

    SingleInstance instance;
    QCOMPARE(instance.acquire(), !firstRuns);
    if (firstRuns) {
        QVERIFY(QFile::exists(path)); // never taken from a live copy
        return;
    }
    QVERIFY(instance.isPrimary());
    QLockFile other(path);
    QVERIFY(!other.tryLock(0));
    QCOMPARE(other.error(), QLockFile::LockFailedError);
}

void TestSingleInstance::noDisplay_data() {
    QTest::addColumn<QString>("platform"); // QT_QPA_PLATFORM, empty: unset
    QTest::addColumn<QString>("display");  // DISPLAY, empty: unset
    QTest::newRow("no display at all") << ""
                                       << "";
    // A display number nobody serves: nothing listens on its socket.
    QTest::newRow("display unreachable") << "xcb"
                                         << ":4271";
}

void TestSingleInstance::noDisplay() {
    QFETCH(QString, platform);
    QFETCH(QString, display);
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/.X11-unix/X4271")));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "QT_DEBUG_PLUGINS"})
        env.remove(QString::fromLatin1(name));
    if (!platform.isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(kProgram, {});
    QVERIFY(tool.waitForFinished(30000));
    const QString err = QString::fromLocal8Bit(tool.readAllStandardError());
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit); // not an abort
    QCOMPARE(tool.exitCode(), 1);
    QCOMPARE(err, QStringLiteral("zarvo-update: no display found; zarvo-flash updates an "
                                 "instrument without one (zarvo-flash --help)\n"));
    QVERIFY(!QFile::exists(SingleInstance::socketPath()));
}

void TestSingleInstance::runtimeDirectoryChecked_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("otherOwner");
    QTest::addColumn<bool>("used");

    QTest::newRow("ours, private") << 0700 << false << true;
    QTest::newRow("ours, others may read") << 0755 << false << true;
    QTest::newRow("writable by the group") << 0770 << false << false;
    QTest::newRow("writable by anyone") << 0777 << false << false;
    QTest::newRow("another user's") << 0700 << true << false;
}

void TestSingleInstance::runtimeDirectoryChecked() {
    QFETCH(int, mode);
    QFETCH(bool, otherOwner);
    QFETCH(bool, used);
    const QByteArray dir = QFile::encodeName(m_runtime->path());
    QVERIFY(::chmod(dir.constData(), mode_t(mode)) == 0);
    if (otherOwner) {
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody || ::geteuid() != 0)
            QSKIP("needs root and a user nobody");
        QVERIFY(::chown(dir.constData(), nobody->pw_uid, nobody->pw_gid) == 0);
    }
    const QString chosen = SingleInstance::runtimeDirectory();
    if (used) {
        QCOMPARE(chosen, m_runtime->path());
    } else {
        QVERIFY2(chosen.startsWith(QStringLiteral("/tmp/zarvo-update-")), qPrintable(chosen));
        QVERIFY(SingleInstance::lockPath().startsWith(chosen));
    }
}

void TestSingleInstance::privateFallbackDirectory() {
    qunsetenv("XDG_RUNTIME_DIR");
    const QString dir = SingleInstance::runtimeDirectory();
    QVERIFY(!dir.isEmpty());
    QVERIFY(dir.startsWith(QStringLiteral("/tmp/")));
    const QFileInfo info(dir);
    QVERIFY(info.isDir() && !info.isSymLink());
    QCOMPARE(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                   QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
             QFile::Permissions());
    QCOMPARE(info.ownerId(), uint(getuid()));
}

// Without a runtime directory the name in the temporary directory is open to anyone: a
// directory, a link or a file put there first by another user must not switch the guard
// off. Two copies still find each other, in a directory that is ours alone.
void TestSingleInstance::fallbackTakenByAnotherUser_data() {
    QTest::addColumn<QString>("planted");
    QTest::newRow("a directory") << "directory";
    QTest::newRow("a link to one of ours") << "link";
    QTest::newRow("a file") << "file";
}

void TestSingleInstance::fallbackTakenByAnotherUser() {
    QFETCH(QString, planted);
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody || ::geteuid() != 0 || !QFile::exists(QStringLiteral("/usr/bin/setpriv")))
        QSKIP("needs root, a user nobody and setpriv");
    QTemporaryDir tmp, cache, ours;
    QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 01777) == 0);
    const auto restore = qScopeGuard(
        [old = std::pair{qEnvironmentVariable("TMPDIR"), qEnvironmentVariable("XDG_CACHE_HOME")},
         set = std::pair{qEnvironmentVariableIsSet("TMPDIR"),
                         qEnvironmentVariableIsSet("XDG_CACHE_HOME")}] {
            set.first ? qputenv("TMPDIR", old.first.toLocal8Bit()) : qunsetenv("TMPDIR");
            set.second ? qputenv("XDG_CACHE_HOME", old.second.toLocal8Bit())
                       : qunsetenv("XDG_CACHE_HOME");
        });
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    const QString name = tmp.path() + QStringLiteral("/zarvo-update-%1").arg(::getuid());
    QStringList command{QStringLiteral("--reuid=nobody"),
                        QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                        QStringLiteral("--clear-groups")};
    if (planted == QLatin1String("directory"))
        command << QStringLiteral("mkdir") << QStringLiteral("-m") << QStringLiteral("0777");
    else if (planted == QLatin1String("link"))
        command << QStringLiteral("ln") << QStringLiteral("-s") << ours.path();
    else
        command << QStringLiteral("touch");
    QCOMPARE(QProcess::execute(QStringLiteral("/usr/bin/setpriv"), command << name), 0);

    const QString dir = SingleInstance::runtimeDirectory();
    QVERIFY2(!dir.isEmpty() && dir != name && !dir.startsWith(ours.path()), qPrintable(dir));
    const QFileInfo info(dir);
    QVERIFY(info.isDir() && !info.isSymLink());
    QCOMPARE(info.ownerId(), uint(::getuid()));
    QCOMPARE(info.permissions() & (QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                   QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
             QFile::Permissions());
    SingleInstance first, second;
    QVERIFY(first.acquire());
    QVERIFY(!second.acquire());
    // The name is given up again: later copies still meet the first where it is.
    QVERIFY(QProcess::execute(QStringLiteral("/bin/rm"), {QStringLiteral("-rf"), name}) == 0);
    QCOMPARE(SingleInstance::runtimeDirectory(), dir);
    SingleInstance third;
    QVERIFY(!third.acquire());
}

// Connections that say nothing, more than the copy may have files open, neither close its
// server nor remove its socket: the next copy still brings the window forward.
void TestSingleInstance::floodOfConnections() {
    QVERIFY(startFirst(false, 64));
    std::vector<std::unique_ptr<QLocalSocket>> flood;
    for (int i = 0; i < 200; ++i) {
        auto socket = std::make_unique<QLocalSocket>();
        socket->connectToServer(SingleInstance::socketPath());
        socket->waitForConnected(200);
        flood.push_back(std::move(socket));
        QCoreApplication::processEvents();
    }
    QTest::qWait(200);
    flood.clear();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(SingleInstance::socketPath()), 5000);
    SingleInstance second;
    QVERIFY(!second.acquire());
    QVERIFY(second.activateRunning());
    QCOMPARE(m_first.state(), QProcess::Running);
}

// A signal to end the program ends it as closing its window does: a normal exit, and the
// guard given up for the next copy.
void TestSingleInstance::endsOnSignal_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGHUP") << int(SIGHUP);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestSingleInstance::endsOnSignal() {
    QFETCH(int, signal);
    QVERIFY(startFirst());
    ::kill(pid_t(m_first.processId()), signal);
    QVERIFY(m_first.waitForFinished(10000));
    QCOMPARE(m_first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_first.exitCode(), 0);
    SingleInstance next;
    QVERIFY(next.acquire());
}

// The first copy for secondStartIsRefused: the real window, with another window of this
// program active in front of it. Reports on standard output "ready" once that is so, then
// "raised" when the window is raised and "active <name>" whenever the active window changes.
class Reporter : public QObject {
protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::ZOrderChange && watched->objectName() == "frmMain")
            report("raised");
        return false;
    }

public:
    static void report(const QByteArray &line) {
        std::fputs((line + '\n').constData(), stdout);
        std::fflush(stdout);
    }
};

static int firstCopy(int argc, char **argv) {
    QApplication app(argc, argv);
    frmMain window;
    if (!window.Form_Load())
        return 1;
    window.show();
    QWidget other;
    other.setObjectName(QStringLiteral("otherWindow"));
    other.show();
    other.activateWindow();
    if (!QTest::qWaitForWindowActive(&other))
        return 1;
    Reporter reporter;
    window.installEventFilter(&reporter);
    QObject::connect(&app, &QGuiApplication::focusWindowChanged, &app, [] {
        if (QWidget *active = QApplication::activeWindow())
            Reporter::report("active " + active->objectName().toUtf8());
    });
    Reporter::report("ready");
    return app.exec();
}

int main(int argc, char **argv) {
    if (argc == 2 && qstrcmp(argv[1], "--first-copy") == 0)
        return firstCopy(argc, argv);
    QApplication app(argc, argv);
    TestSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_singleinstance.moc"
