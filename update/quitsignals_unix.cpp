// Signals, through a self-pipe: the handler writes the signal's number, the loop reads it.
#include "quitsignals.h"

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

// A signal handler may only write a byte: the signal's number, read back in the loop.
int g_pipe[2] = {-1, -1};
int g_live = 0; // objects catching the signals

void onSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[0], &byte, 1);
}

} // namespace

bool QuitSignals::catchRequests() {
    if (g_pipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : kCaught)
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    ++g_live;
    auto *notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitSignals::deliver);
    return true;
}

int QuitSignals::nextRequest() {
    char byte = 0;
    return ::read(g_pipe[1], &byte, 1) == 1 ? int(byte) : 0;
}

void QuitSignals::releaseRequests() {
    if (--g_live == 0)
        for (int signal : kCaught)
            ::signal(signal, SIG_DFL);
}

const char *QuitSignals::helpText() {
    return "Ctrl-C, SIGTERM or SIGHUP (the terminal closed) cancels an update: no further frame\n"
           "is sent and the instrument stays in its bootloader. Once the cancel is done (and\n"
           "with --json its result written), zarvo-flash ends by that signal, as other programs\n"
           "do, so that a shell loop over several meters stops too. (Status 13, which a cancel\n"
           "once returned, is not used any more.)\n";
}

QList<QuitSignals::Request> QuitSignals::requests() {
    return {{SIGHUP, "cancelled by SIGHUP (the terminal closed)"},
            {SIGINT, "cancelled by Ctrl-C (SIGINT)"},
            {SIGTERM, "cancelled by SIGTERM"}};
}

void QuitSignals::endBy(int signal, int status) {
    std::fflush(nullptr);
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    std::_Exit(status); // not reached: the default action ends the process
}

void QuitSignals::keepOnBrokenPipe() {
    std::signal(SIGPIPE, SIG_IGN);
}
