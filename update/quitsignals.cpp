#include "quitsignals.h"

#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler may only write a byte: the signal's number, read back in the loop.
int g_pipe[2] = {-1, -1};
int g_live = 0; // objects catching the signals

void onSignal(int signal) {
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[0], &byte, 1);
}

} // namespace

QuitSignals::QuitSignals(std::initializer_list<int> caught, QObject *parent)
    : QObject(parent), m_signals(caught) {
    if (g_pipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : m_signals)
        if (::sigaction(signal, &action, nullptr) != 0)
            return;
    ++g_live;
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        const ssize_t n = ::read(g_pipe[1], bytes, sizeof bytes);
        for (ssize_t i = 0; i < n; ++i)
            emit received(int(bytes[i]));
    });
}

int QuitSignals::takePending() {
    char byte = 0;
    return m_notifier && ::read(g_pipe[1], &byte, 1) == 1 ? int(byte) : 0;
}

QuitSignals::~QuitSignals() {
    // The process goes on without us: the signals end it again as they did before.
    if (m_notifier && --g_live == 0)
        for (int signal : m_signals)
            ::signal(signal, SIG_DFL);
}
