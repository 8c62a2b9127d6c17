// The Debian package, unpacked into a scratch root, runs: the installed tool starts and shows
// its window, and the installed virtual instrument answers --help. The package is the one
// the package_deb test builds under the build directory.
#include "singleinstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kPackageDir = QStringLiteral(ZARVO_BUILD_DIR "/package-test");
constexpr int kProcessTimeoutMs = 30000;

} // namespace

class TestPackage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void toolShowsItsWindow();
    void simulatorHelp();
    void windowProgramAnswers_data();
    void windowProgramAnswers();

private:
    QTemporaryDir m_root;
    QTemporaryDir m_runtime;
    QProcess m_tool;
};

void TestPackage::initTestCase() {
    QVERIFY(m_root.isValid() && m_runtime.isValid());
    const QStringList debs =
        QDir(kPackageDir).entryList({QStringLiteral("zarvo-update_*.deb")}, QDir::Files);
    QVERIFY2(debs.size() == 1, "run the package_deb test first (it builds the package)");
    QProcess dpkg;
    dpkg.start(QStringLiteral("dpkg"),
               {QStringLiteral("-x"), kPackageDir + u'/' + debs.first(), m_root.path()});
    QVERIFY(dpkg.waitForFinished(kProcessTimeoutMs));
    QVERIFY2(dpkg.exitCode() == 0, dpkg.readAllStandardError().constData());
}

void TestPackage::cleanup() {
    if (m_tool.state() != QProcess::NotRunning) {
        m_tool.terminate();
        if (!m_tool.waitForFinished(kProcessTimeoutMs))
            m_tool.kill();
    }
}

// The running copy answers an activation request from its event loop, which main() enters
// only after the window has been shown: the answer is the sign that the window is up.
void TestPackage::toolShowsItsWindow() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
    m_tool.setProcessEnvironment(env);
    m_tool.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_tool.start(m_root.filePath(QStringLiteral("usr/bin/zarvo-update")), {});
    QVERIFY2(m_tool.waitForStarted(kProcessTimeoutMs), qPrintable(m_tool.errorString()));

    QByteArray answer;
    // Bounded polling: the copy listens once its start-up has run.
    for (int attempt = 0; attempt < 400 && answer.isEmpty(); ++attempt) {
        QVERIFY2(m_tool.state() == QProcess::Running, "the installed tool ended on its own");
        QLocalSocket socket;
        socket.connectToServer(SingleInstance::socketPath());
        if (!socket.waitForConnected(50)) {
            QTest::qWait(25);
            continue;
        }
        socket.write(SingleInstance::kActivateRequest);
        while (answer.size() < SingleInstance::kActivateAck.size() &&
               socket.waitForReadyRead(kProcessTimeoutMs))
            answer += socket.readAll();
    }
    QCOMPARE(answer, SingleInstance::kActivateAck);
}

void TestPackage::simulatorHelp() {
    QProcess sim;
    sim.start(m_root.filePath(QStringLiteral("usr/bin/zarvo-sim")), {QStringLiteral("--help")});
    QVERIFY(sim.waitForFinished(kProcessTimeoutMs));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(sim.readAllStandardOutput().startsWith("Usage: zarvo-sim"));
}

// --help and --version of the window program answer on standard output and end, with no
// display to open and without touching the single-instance lock.
void TestPackage::windowProgramAnswers_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("starts");
    QTest::newRow("--help") << QStringList{"--help"} << QByteArray("Usage: zarvo-update ");
    QTest::newRow("--version") << QStringList{"--version"}
                               << QByteArray("zarvo-update " ZARVO_VERSION " (installs ZARVO "
                                             "firmware ");
    QTest::newRow("--version after Qt's options")
        << QStringList{"-platform", "offscreen", "--version"} << QByteArray("zarvo-update ");
}

void TestPackage::windowProgramAnswers() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, starts);
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *display : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(display));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    QProcess tool;
    tool.setProcessEnvironment(env);
    tool.start(m_root.filePath(QStringLiteral("usr/bin/zarvo-update")), args);
    const bool ended = tool.waitForFinished(10000);
    if (!ended)
        tool.kill();
    QVERIFY2(ended, "it opened a window instead");
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    const QByteArray out = tool.readAllStandardOutput();
    QVERIFY2(out.startsWith(starts), out.constData());
    QVERIFY(tool.readAllStandardError().isEmpty());
    QVERIFY2(QDir(runtime.path())
                 .isEmpty(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
             "the single-instance lock was touched");
}

QTEST_GUILESS_MAIN(TestPackage)
#include "test_package.moc"
