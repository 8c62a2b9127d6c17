// Measures whole updates against the virtual instrument: the tool's own cost per frame
// (instrument answering at once) and, with --line-timing, the real duration at 4800 baud.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "appinfo.h"
#include "engine.h"
#include "image.h"
#include "recordingview.h"
#include "sequences.h"

namespace {

// A window that shows nothing, confirms every question and prints every message.
class QuietView : public RecordingView {
public:
    Answer messageBox(const QString &text, const QString &title, Icon icon, Buttons buttons,
                      Answer defaultButton) override {
        RecordingView::messageBox(text, title, icon, buttons, defaultButton);
        std::fprintf(stderr, "message: %s\n", qPrintable(text));
        return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
    }
};

// One update at the given speed; returns its duration in seconds, or -1 on failure.
double runOnce(const QString &buildDir, const QString &baud, bool lineTiming) {
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QProcess sim;
    QStringList args{"--com", "7", "--baud", baud, "--exit-after-finish"};
    if (lineTiming)
        args << "--line-timing";
    sim.start(buildDir + "/zarvo-sim", args);
    if (!sim.waitForReadyRead(10000))
        return -1;

    QuietView view;
    Engine engine(view);
    engine.state.sTitleVer = QStringLiteral("bench");
    engine.state.sVersion = QStringLiteral("%1%2")
                                .arg(appinfo::kVersionMajor, 2, 10, QLatin1Char('0'))
                                .arg(appinfo::kVersionMinor, 2, 10, QLatin1Char('0'));
    engine.state.iComPort = 7;
    engine.state.sBaudrate = baud;
    QElapsedTimer clock;
    clock.start();
    engine.updater.cmdProgram_Click();
    const double seconds = clock.nsecsElapsed() / 1e9;
    sim.waitForFinished(10000);
    return view.boxes.isEmpty() && view.panels[2] == "EBPV" ? seconds : -1;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const bool lineTiming = app.arguments().contains("--line-timing");
    const QString buildDir = QCoreApplication::applicationDirPath() + "/..";
    const int frames = int(2 + EraseFrames.size() + 1 + WriteFrames.size() + 1 + 2);

    std::vector<double> runs;
    for (int i = 0; i < 5; ++i) {
        const double s = runOnce(buildDir, "4800", false);
        if (s < 0) {
            std::fprintf(stderr, "bench-update: an update failed\n");
            return 1;
        }
        runs.push_back(s);
    }
    std::sort(runs.begin(), runs.end());
    const double median = runs[runs.size() / 2];
    std::printf("whole update, instrument answering at once: median %.2f s of %zu runs "
                "(%.2f ms per frame, %d frames)\n",
                median, runs.size(), 1000 * median / frames, frames);

    if (lineTiming) {
        const double s = runOnce(buildDir, "4800", true);
        if (s < 0) {
            std::fprintf(stderr, "bench-update: the timed update failed\n");
            return 1;
        }
        std::printf("whole update at 4800 baud with the line's timing: %.1f s\n", s);
    } else {
        std::printf("(add --line-timing for a real-time update at 4800 baud, about 2 minutes)\n");
    }
    return 0;
}
