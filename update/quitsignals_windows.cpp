// The console's requests (Ctrl-C, Ctrl-Break, the console window closed, the session
// ending) arrive on a thread the system starts for the handler; the handler notes each as
// SIGINT and posts its delivery to the event loop of the object's thread. A program with
// windows and no console learns of the session's end from the message its windows get.
#include "quitsignals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QMetaObject>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <windows.h>

namespace {

std::mutex g_mutex;
std::condition_variable g_gone;
std::deque<int> g_pending;
QuitSignals *g_target = nullptr; // the object that reports, while one lives
int g_live = 0;

BOOL WINAPI onConsoleEvent(DWORD event) {
    std::unique_lock lock(g_mutex);
    if (!g_target)
        return FALSE; // the default handler ends the process, as before
    g_pending.push_back(SIGINT);
    QMetaObject::invokeMethod(g_target, "deliver", Qt::QueuedConnection);
    // After a close, logoff or shutdown the system ends the process as soon as the handler
    // returns (or after five seconds): hold it until the cancel is done and the program
    // has ended, or its object has gone. Ctrl-C and Ctrl-Break return at once, handled.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        g_gone.wait_for(lock, std::chrono::milliseconds(4500), [] { return g_live == 0; });
    return TRUE;
}

// The system ends the process soon after its windows have answered the session's end:
// the request is delivered there and then, not posted behind it.
class SessionEnd : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *) override {
        if (type != "windows_generic_MSG")
            return false;
        const MSG *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_ENDSESSION || !msg->wParam || m_ended)
            return false;
        m_ended = true; // each top-level window gets the message
        QuitSignals *target = nullptr;
        {
            std::lock_guard lock(g_mutex);
            target = g_target;
            if (target)
                g_pending.push_back(SIGINT);
        }
        if (target)
            QMetaObject::invokeMethod(target, "deliver", Qt::DirectConnection);
        return false;
    }

private:
    bool m_ended = false;
};

SessionEnd g_sessionEnd;

} // namespace

bool QuitSignals::catchRequests() {
    std::lock_guard lock(g_mutex);
    if (g_live == 0) {
        if (!::SetConsoleCtrlHandler(onConsoleEvent, TRUE))
            return false;
        if (auto *app = QCoreApplication::instance())
            app->installNativeEventFilter(&g_sessionEnd);
    }
    ++g_live;
    if (!g_target)
        g_target = this;
    return true;
}

int QuitSignals::nextRequest() {
    std::lock_guard lock(g_mutex);
    if (g_pending.empty())
        return 0;
    const int signal = g_pending.front();
    g_pending.pop_front();
    return signal;
}

void QuitSignals::releaseRequests() {
    std::lock_guard lock(g_mutex);
    if (g_target == this)
        g_target = nullptr;
    if (--g_live == 0) {
        ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
        if (auto *app = QCoreApplication::instance())
            app->removeNativeEventFilter(&g_sessionEnd);
        g_pending.clear();
    }
    g_gone.notify_all();
}

const char *QuitSignals::helpText() {
    return "Ctrl-C, Ctrl-Break or closing the console cancels an update: no further frame is\n"
           "sent and the instrument stays in its bootloader. Once the cancel is done (and with\n"
           "--json its result written), zarvo-flash ends with the status of a program stopped\n"
           "by Ctrl-C, so that a script over several meters can stop too.\n";
}

QList<QuitSignals::Request> QuitSignals::requests() {
    return {{SIGINT, "cancelled by Ctrl-C, Ctrl-Break or the console closed"}};
}

void QuitSignals::endBy(int, int status) {
    // Windows ends no process by a signal: the status says it.
    std::fflush(nullptr);
    std::_Exit(status);
}

void QuitSignals::keepOnBrokenPipe() {
    // A write to a pipe whose reader has gone fails there; no signal ends the program.
}
