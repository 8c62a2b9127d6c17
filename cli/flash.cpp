#include "flash.h"

#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

#include "appinfo.h"
#include "consoleview.h"
#include "engine.h"
#include "image.h"
#include "netaddress.h"
#include "portnames.h"
#include "status.h"

namespace cli {

namespace {

// A signal handler may only write a byte; the cancel itself runs from the event loop,
// inside Send's wait, just as the window's Esc does.
int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[0], &byte, 1);
}

bool catchCancelSignals() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM})
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    return true;
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
    setup.eraseFrames = int(EraseFrames.size());
    setup.writeFrames = int(WriteFrames.size());
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
    st.sTitleVer = QString::fromUtf8(appinfo::kTitle) + QStringLiteral(" v") + st.sVersion;
    // A device path stands in for the number; the number then only has to be valid.
    st.iComPort = qint16(options.port > 0 ? options.port : 1);
    engine.MSComm1.setDevice(options.device);
    st.sBaudrate = options.baud;

    if (!catchCancelSignals()) {
        std::perror("zarvo-flash: cannot catch Ctrl-C");
        return kStatusError;
    }
    QSocketNotifier cancel(g_signalPipe[1], QSocketNotifier::Read);
    QObject::connect(&cancel, &QSocketNotifier::activated, [&] {
        char bytes[16];
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[1], bytes, sizeof bytes);
        if (engine.updater.running() && !st.bIdle)
            engine.updater.cmdExit_Click();
        view.interrupt();
    });

    engine.updater.cmdProgram_Click();

    const StatusRow &row = statusOf(st.outcome.value);
    view.report(st.outcome, row.status, row.name);
    return row.status;
}

} // namespace cli
