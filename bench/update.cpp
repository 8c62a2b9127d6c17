// Measures whole updates against the virtual instrument: the tool's own cost per frame
// (instrument answering at once) and, with --line-timing, updates at the real line's pace
// beside the bound the line itself sets: the bytes that crossed it and the instrument's own
// time, as the instrument accounted for them. With --ser2net, the same through ser2net on the
// loopback interface: rfc2217:// with the README's settings and with ser2net's defaults,
// tcp://, and socat's pseudo-terminal.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "appinfo.h"
#include "engine.h"
#include "image.h"
#include "plan.h"
#include "recordingview.h"
#include "sequences.h"
#include "ser2net.h"

namespace {

// A window that shows nothing, confirms every question and prints every message; and notes
// the time left that zarvo-flash would show a few seconds into the erase.
// The boxes' titles are the bench's own.
const FormState kShownState;

class QuietView : public RecordingView {
public:
    QuietView(int baud, bool remote)
        : RecordingView(kShownState), timeLeft(updatePlan(remote), baud) {
        clock.start();
    }

    TimeLeft timeLeft;
    QElapsedTimer clock;      // since the update began
    double eraseBegan = -1;   // seconds, on that clock
    double sampledAt = -1;    // when the time left was taken
    double sampledLeft = -1;  // and what it said
    double sampleAfter = 5.0; // seconds into the erase

    void phaseBegun(Phase phase, int frames) override {
        RecordingView::phaseBegun(phase, frames);
        if (phase == Phase::Erase)
            eraseBegan = clock.nsecsElapsed() / 1e9;
    }
    void framesDone(Phase phase, int done, int frames) override {
        RecordingView::framesDone(phase, done, frames);
        const double now = clock.nsecsElapsed() / 1e9;
        if (eraseBegan < 0 || sampledAt >= 0 || now - eraseBegan < sampleAfter)
            return;
        sampledAt = now;
        sampledLeft = timeLeft.secondsLeft({Phase::Erase, 0}, {phase, done}, now - eraseBegan);
    }

    Answer messageBox(const QString &text, const QString &title, Icon icon, Buttons buttons,
                      Answer defaultButton, const QString &informative) override {
        RecordingView::messageBox(text, title, icon, buttons, defaultButton, informative);
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
    }
};

// How the tool reaches the instrument.
enum class Path {
    Local,          // the instrument's pseudo-terminal as COM7
    Rfc2217,        // rfc2217:// to ser2net's telnet(rfc2217), the README's settings
    Rfc2217Default, // the same with ser2net's default settings
    RawTcp,         // tcp:// to ser2net's raw accepter, the same settings
    Socat,          // socat's pseudo-terminal to ser2net's raw accepter, the same settings
};

const char *pathName(Path path) {
    switch (path) {
    case Path::Local:
        return "local pseudo-terminal";
    case Path::Rfc2217:
        return "rfc2217:// through ser2net, tcp(nodelay), chardelay: false";
    case Path::Rfc2217Default:
        return "rfc2217:// through ser2net, default settings";
    case Path::RawTcp:
        return "tcp:// through ser2net, tcp(nodelay), chardelay: false";
    case Path::Socat:
        return "socat pseudo-terminal through ser2net (raw), tcp(nodelay), chardelay: false";
    }
    return "";
}

struct Run {
    bool ok = false;
    double seconds = 0;                      // the whole update, as the tool's caller saw it
    double cpu = 0;                          // the tool's processor time meanwhile, user and system
    double sampledAt = -1, sampledLeft = -1; // the time left a few seconds into the erase
    double planBytes = 0;                    // what the tool reckons will cross the line
    // From the instrument's summary: "name value..." lines.
    QMap<QByteArray, std::vector<double>> line;
    double value(const char *name) const {
        const std::vector<double> v = line.value(name);
        return v.empty() ? 0 : v.front();
    }
};

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Nearest rank; 0 for none.
double percentile(std::vector<double> values, double q) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = std::size_t(std::ceil(q * double(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// One update at the given speed.
Run runOnce(const QString &buildDir, int baud, bool lineTiming, Path path = Path::Local) {
    Run run;
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    const QString summary = config.filePath(QStringLiteral("summary.txt"));
    QProcess sim;
    QStringList args{"--baud", QString::number(baud), "--exit-after-finish", "--summary", summary};
    if (path == Path::Local)
        args << "--com"
             << "7";
    if (lineTiming)
        args << "--line-timing";
    sim.start(buildDir + "/zarvo-sim", args);
    if (!sim.waitForReadyRead(10000))
        return run;
    const QString device = QString::fromLocal8Bit(sim.readLine().trimmed());

    std::unique_ptr<Ser2net> server;
    QProcess socat;
    QString address;
    if (path != Path::Local) {
        Ser2net::Setup setup;
        setup.accepter = path == Path::Rfc2217 || path == Path::Rfc2217Default
                             ? Ser2net::Accepter::Rfc2217
                             : Ser2net::Accepter::Raw;
        setup.fast = path != Path::Rfc2217Default;
        setup.baud = baud;
        server = std::make_unique<Ser2net>(device, config.path(), setup);
        if (!server->ready())
            return run;
        address = server->address(setup.accepter == Ser2net::Accepter::Raw ? "tcp" : "rfc2217");
    }
    if (path == Path::Socat) {
        address = config.filePath(QStringLiteral("ttyREMOTE"));
        socat.start(QStringLiteral("socat"),
                    {"pty,link=" + address + ",raw,echo=0,ignoreeof",
                     QStringLiteral("tcp:127.0.0.1:%1").arg(server->port())});
        QElapsedTimer wait;
        wait.start();
        while (!QFile::exists(address) && wait.elapsed() < 10000)
            socat.waitForReadyRead(20);
    }

    QuietView view(baud, false);
    Engine engine(view);
    engine.state.sTitleVer = QStringLiteral("bench");
    engine.state.sVersion = QStringLiteral("%1%2")
                                .arg(appinfo::kVersionMajor, 2, 10, QLatin1Char('0'))
                                .arg(appinfo::kVersionMinor, 2, 10, QLatin1Char('0'));
    engine.state.iComPort = 7;
    engine.MSComm1.setDevice(address);
    engine.state.sBaudrate = QString::number(baud);
    const double cpuBefore = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    view.clock.start();
    engine.updater.cmdProgram_Click();
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.cpu = cpuSeconds() - cpuBefore;
    run.sampledAt = view.sampledAt;
    run.sampledLeft = view.sampledLeft;
    run.planBytes = view.timeLeft.totalBytes();
    sim.waitForFinished(10000);
    if (socat.state() != QProcess::NotRunning) {
        socat.terminate();
        socat.waitForFinished(10000);
    }
    server.reset();

    QFile file(summary);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &text : file.readAll().split('\n')) {
            QList<QByteArray> fields = text.split(' ');
            std::vector<double> values;
            for (qsizetype i = 1; i < fields.size(); ++i)
                values.push_back(fields[i].toDouble());
            run.line.insert(fields.value(0), values);
        }
    }
    run.ok = view.boxes.isEmpty() && view.panels[2] == "EBPV" && !run.line.isEmpty();
    return run;
}

void printTurnaround(const Run &run) {
    const std::vector<double> &t = run.line.value("turnaround-us");
    std::printf("  idle line, reply's last byte to next frame's first byte, as the instrument saw "
                "it: median %.3f ms, 99th percentile %.3f ms (%zu exchanges)\n",
                percentile(t, 0.5) / 1000, percentile(t, 0.99) / 1000, t.size());
    const std::vector<double> &late = run.line.value("late-us");
    std::printf("  the instrument's own lag sending each reply's last byte (not in the above): "
                "median %.3f ms, 99th percentile %.3f ms\n",
                percentile(late, 0.5) / 1000, percentile(late, 0.99) / 1000);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const bool lineTiming = arguments.contains("--line-timing");
    const bool remote = arguments.contains("--ser2net");
    std::vector<int> bauds;
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i)
        if (arguments[i] == "--baud")
            bauds.push_back(arguments[i + 1].toInt());
    if (bauds.empty())
        bauds = {4800, 1200};
    const QString buildDir = QCoreApplication::applicationDirPath() + "/..";
    const int frames = int(2 + EraseFrames.size() + 1 + WriteFrames.size() + 1 + 2);
    std::printf("(figures from a shared machine are noisy: compare medians, and repeat)\n");

    std::vector<Run> runs;
    for (int i = 0; i < 5; ++i) {
        const Run run = runOnce(buildDir, 4800, false);
        if (!run.ok) {
            std::fprintf(stderr, "bench-update: an update failed\n");
            return 1;
        }
        runs.push_back(run);
    }
    std::sort(runs.begin(), runs.end(),
              [](const Run &a, const Run &b) { return a.seconds < b.seconds; });
    const Run &median = runs[runs.size() / 2];
    std::printf("whole update, instrument answering at once: median %.3f s of %zu runs "
                "(%.3f ms per frame, %d frames; target under 1 s)\n",
                median.seconds, runs.size(), 1000 * median.seconds / frames, frames);
    std::printf("  tool's processor time %.3f s\n", median.cpu);
    printTurnaround(median);

    std::vector<Path> remotePaths;
    if (remote) {
        remotePaths = {Path::Rfc2217, Path::Rfc2217Default, Path::RawTcp, Path::Socat};
        for (Path path : remotePaths) {
            const Run run = runOnce(buildDir, 4800, false, path);
            if (!run.ok) {
                std::fprintf(stderr, "bench-update: an update by %s failed\n", pathName(path));
                return 1;
            }
            std::printf("whole update, instrument answering at once, %s: %.3f s\n", pathName(path),
                        run.seconds);
        }
    }

    if (!lineTiming) {
        std::printf("(add --line-timing for real-time updates at 4800 and 1200 baud, about 2 and "
                    "8 minutes; --baud N for one speed; with --ser2net, at 4800 baud by each "
                    "remote path, 2 minutes each)\n");
        return 0;
    }
    std::vector<std::pair<int, Path>> timed;
    if (remote) {
        for (Path path : remotePaths)
            timed.emplace_back(4800, path);
    } else {
        for (int baud : bauds)
            timed.emplace_back(baud, Path::Local);
    }
    for (const auto &[baud, path] : timed) {
        const Run run = runOnce(buildDir, baud, true, path);
        if (!run.ok) {
            std::fprintf(stderr, "bench-update: the timed update at %d baud by %s failed\n", baud,
                         pathName(path));
            return 1;
        }
        if (path != Path::Local)
            std::printf("%s:\n", pathName(path));
        const double in = run.value("bytes-in");
        const double out = run.value("bytes-out");
        const double device = run.value("device-us") / 1e6;
        const double bound = (in + out) * 10 / baud + device;
        std::printf("whole update at %d baud with the line's timing: %.2f s\n", baud, run.seconds);
        std::printf("  line bound %.2f s: %.0f bytes to the instrument and %.0f back at 10 bits "
                    "a byte, %.2f s, and %.2f s of the instrument's own time\n",
                    bound, in, out, (in + out) * 10 / baud, device);
        std::printf("  whole update / bound = %.4f (target at 4800 baud: at most %s)\n",
                    run.seconds / bound, path == Path::Local ? "1.005" : "1.01 by rfc2217://");
        std::printf(
            "  zarvo-flash's reckoning: %.0f bytes both ways (the instrument counted %.0f), "
            "%.2f s at the line's speed before the instrument's own time\n",
            run.planBytes, in + out, run.planBytes * 10 / baud);
        if (run.sampledAt >= 0)
            std::printf("  time left shown %.1f s into the update: %.1f s; it took %.1f s more "
                        "(estimate / truth = %.3f)\n",
                        run.sampledAt, run.sampledLeft, run.seconds - run.sampledAt,
                        run.sampledLeft / (run.seconds - run.sampledAt));
        printTurnaround(run);
        std::printf("  tool's processor time %.2f s, %.2f %% of one core (target at most 3 %%)\n",
                    run.cpu, 100 * run.cpu / run.seconds);
    }
    return 0;
}
