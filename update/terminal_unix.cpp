#include "terminal.h"

#include <QSocketNotifier>
#include <cerrno>
#include <unistd.h>

bool isTerminal(std::FILE *stream) {
    return ::isatty(::fileno(stream)) == 1;
}

struct TerminalInput::Watch {
    QSocketNotifier notifier{STDIN_FILENO, QSocketNotifier::Read};
};

TerminalInput::TerminalInput(std::function<void(const QByteArray &)> chunk, QObject *parent)
    : QObject(parent), m_watch(std::make_unique<Watch>()) {
    QSocketNotifier &notifier = m_watch->notifier;
    connect(&notifier, &QSocketNotifier::activated, this,
            [&notifier, chunk = std::move(chunk)] {
                char bytes[256];
                const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
                if (n < 0 && errno == EINTR)
                    return;
                if (n <= 0)
                    notifier.setEnabled(false); // at its end the input stays readable
                chunk(n > 0 ? QByteArray(bytes, qsizetype(n)) : QByteArray());
            });
}

TerminalInput::~TerminalInput() = default;
