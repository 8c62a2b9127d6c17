// Measures how long the tool takes from process start to its main window on screen, and
// how much memory the idle window holds. Re-runs itself as child processes and prints
// the median of the runs.
#include "frmmain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr int kRuns = 9;
constexpr int kIdleSettleMs = 300; // let the idle window finish its first paints
constexpr int kChildTimeoutMs = 30000;

qint64 monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

qint64 residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine())
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// The child: start like main() does, note when the window is exposed, then report.
int runChild(int argc, char *argv[]) {
    QApplication app(argc, argv);
    frmMain window;
    if (!window.Form_Load())
        return 2;
    qint64 exposedAt = 0;
    window.show();
    QWindow *handle = window.windowHandle();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (!exposedAt && handle->isExposed()) {
            exposedAt = monotonicMicros();
            QTimer::singleShot(kIdleSettleMs, &app, [&] {
                std::printf("%lld %lld\n", static_cast<long long>(exposedAt),
                            static_cast<long long>(residentKiB()));
                std::fflush(stdout);
                app.quit();
            });
        }
    });
    poll.start(0);
    return app.exec();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return runChild(argc, argv);

    QCoreApplication app(argc, argv);
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());

    std::vector<double> startMs;
    std::vector<double> rssMiB;
    for (int run = 0; run < kRuns; ++run) {
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const qint64 startedAt = monotonicMicros();
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
        if (!child.waitForFinished(kChildTimeoutMs) || child.exitCode() != 0) {
            std::fprintf(stderr, "run %d failed\n", run + 1);
            return 1;
        }
        const QList<QByteArray> fields = child.readAllStandardOutput().trimmed().split(' ');
        if (fields.size() != 2)
            return 1;
        startMs.push_back((fields[0].toLongLong() - startedAt) / 1000.0);
        rssMiB.push_back(fields[1].toLongLong() / 1024.0);
        std::printf("run %d: %.1f ms to the window shown, %.1f MiB resident\n", run + 1,
                    startMs.back(), rssMiB.back());
    }
    std::printf("median of %d runs: start-up %.1f ms (target < 200), resident %.1f MiB "
                "(target < 50)\n",
                kRuns, median(startMs), median(rssMiB));
    return 0;
}
