#include "flash.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "appinfo.h"
#include "consoleview.h"
#include "engine.h"
#include "netaddress.h"
#include "plan.h"
#include "portnames.h"
#include "quitsignals.h"
#include "status.h"

namespace cli {

namespace {

// Once the cancel has run and its result is written, the process ends by the signal that
// asked for it, as command-line programs do: a shell running zarvo-flash in a loop sees a
// program killed by Ctrl-C (status 130) and stops, rather than going on to the next meter.
[[noreturn]] void endBySignal(int signal) {
    std::fflush(nullptr);
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    std::_Exit(kStatusSignal + signal); // not reached: the default action ends the process
}

} // namespace

int runUpdate(const Options &options) {
    ConsoleView::Setup setup;
    setup.style = options.json              ? ConsoleView::Style::Json
                  : ::isatty(STDOUT_FILENO) ? ConsoleView::Style::Terminal
                                            : ConsoleView::Style::Lines;
    setup.quiet = options.quiet;
    setup.replace = options.replace;
    setup.remote = options.remote;
    setup.stdinTerminal = ::isatty(STDIN_FILENO);
    setup.plan = updatePlan(options.remote);
    setup.port = options.port > 0 ? QStringLiteral("COM%1").arg(options.port) : options.device;
    const QString entry = options.port > 0 ? serial::devicePath(options.port) : options.device;
    const QString address = serial::networkTarget(entry);
    setup.device = address.isEmpty() ? entry : address;
    setup.baud = options.baud;
    setup.version = QString::fromLatin1(appinfo::kVersionDigits);
    ConsoleView view(setup);

    Engine engine(view);
    FormState &st = engine.state;
    st.sVersion = setup.version;
    st.sTitleVer = QString::fromUtf8(appinfo::kTitleVersion);
    // A device path stands in for the number; the number then only has to be valid.
    st.iComPort = qint16(options.port > 0 ? options.port : 1);
    engine.MSComm1.setDevice(options.device);
    st.sBaudrate = options.baud;

    // Ctrl-C, SIGTERM, and SIGHUP (the terminal closed, the SSH session dropped) cancel as
    // the window's Esc does, from the event loop inside Send's wait.
    QuitSignals quit({SIGINT, SIGTERM, SIGHUP});
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
        view.report(st.outcome, kStatusSignal + cancelSignal, row.name);
        endBySignal(cancelSignal);
    }
    view.report(st.outcome, row.status, row.name);
    return row.status;
}

} // namespace cli
