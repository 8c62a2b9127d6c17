#include "flash.h"

#include "appinfo.h"
#include "engine.h"
#include "jsonreporter.h"
#include "plan.h"
#include "portaddress.h"
#include "portnames.h"
#include "quitsignals.h"
#include "status.h"
#include "terminal.h"
#include "textreporter.h"

#include <memory>

namespace cli {

int runUpdate(const Options &options) {
    ConsoleView::Setup setup;
    setup.style = options.json              ? ConsoleView::Style::Json
                  : isTerminal(stdout)      ? ConsoleView::Style::Terminal
                                            : ConsoleView::Style::Lines;
    setup.quiet = options.quiet;
    setup.replace = options.replace;
    setup.remote = options.remote;
    setup.stdinTerminal = isTerminal(stdin);
    setup.plan = updatePlan(options.remote);
    setup.port = options.port > 0 ? QStringLiteral("COM%1").arg(options.port) : options.device;
    // What the run reaches: the device's path, or the address its entry names.
    setup.device =
        serial::portAddressOf(options.port > 0 ? serial::devicePath(options.port) : options.device)
            .written;
    setup.baud = options.baud;
    setup.version = QString::fromLatin1(appinfo::kVersionDigits);
    const std::unique_ptr<ConsoleView> reporter =
        options.json ? std::unique_ptr<ConsoleView>(std::make_unique<JsonReporter>(setup))
                     : std::make_unique<TextReporter>(setup);
    ConsoleView &view = *reporter;

    Engine engine(view);
    FormState &st = engine.state;
    st.sVersion = setup.version;
    st.sTitleVer = QString::fromUtf8(appinfo::kTitleVersion);
    // A device path stands in for the number; the number then only has to be valid.
    st.iComPort = qint16(options.port > 0 ? options.port : 1);
    engine.MSComm1.setDevice(options.device);
    st.sBaudrate = options.baud;

    // Ctrl-C, SIGTERM, and SIGHUP (the terminal closed, the SSH session dropped; on Windows
    // Ctrl-C, Ctrl-Break and the console closed) cancel as the window's Esc does, from the
    // event loop inside Send's wait.
    QuitSignals quit;
    if (!quit.isValid()) {
        std::perror("zarvo-flash: cannot catch Ctrl-C");
        return kStatusError;
    }
    int cancelSignal = 0; // the first signal that asked for a cancel
    QObject::connect(&quit, &QuitSignals::received, [&](int signal) {
        if (cancelSignal == 0)
            cancelSignal = signal;
        if (engine.updater.running() && !st.bIdle)
            engine.updater.cmdExit_Click();
        view.interrupt();
    });

    engine.updater.cmdProgram_Click();
    // A signal that came as the update ended, too late for a cancel, still ends the process
    // by itself: the user asked to stop.
    if (cancelSignal == 0)
        cancelSignal = quit.takePending();

    const StatusRow &row = statusOf(st.outcome.value);
    if (cancelSignal != 0) {
        view.conclude(st.outcome, kStatusSignal + cancelSignal, row.name);
        // As command-line programs end: a shell running zarvo-flash in a loop sees a
        // program stopped by Ctrl-C (status 130) and stops, rather than going on to the
        // next meter.
        QuitSignals::endBy(cancelSignal, kStatusSignal + cancelSignal);
    }
    view.conclude(st.outcome, row.status, row.name);
    return row.status;
}

} // namespace cli
