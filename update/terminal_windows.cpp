#include "terminal.h"

#include <QWinEventNotifier>
#include <io.h>
#include <windows.h>

bool isTerminal(std::FILE *stream) {
    return ::_isatty(::_fileno(stream)) != 0;
}

// The console's input handle is signalled for every input event, keys and mouse alike;
// ReadFile then waits for the line the console is editing, which Ctrl-C and Ctrl-Break end
// with nothing read, so the answer counts as ended and the cancel that follows is seen.
struct TerminalInput::Watch {
    HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
    QWinEventNotifier notifier{input};
};

TerminalInput::TerminalInput(std::function<void(const QByteArray &)> chunk, QObject *parent)
    : QObject(parent), m_watch(std::make_unique<Watch>()) {
    Watch &watch = *m_watch;
    connect(&watch.notifier, &QWinEventNotifier::activated, this,
            [&watch, chunk = std::move(chunk)] {
                char bytes[256];
                DWORD n = 0;
                const bool read = ::ReadFile(watch.input, bytes, sizeof bytes, &n, nullptr);
                if (!read || n == 0)
                    watch.notifier.setEnabled(false);
                chunk(read && n > 0 ? QByteArray(bytes, qsizetype(n)) : QByteArray());
            });
}

TerminalInput::~TerminalInput() = default;
