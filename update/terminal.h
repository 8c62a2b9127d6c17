// The terminal a front end talks to, in the platform's own terms: whether a standard stream
// is one (a console on Windows), and what a person types there.
#pragma once

#include <QByteArray>
#include <QObject>
#include <cstdio>
#include <functional>
#include <memory>

bool isTerminal(std::FILE *stream);

// Hands on what is typed on standard input as it comes, through the event loop, so that a
// request to end the program still gets through while a question waits for its answer.
// `chunk` gets each piece, then an empty one once the input has ended.
class TerminalInput : public QObject {
public:
    explicit TerminalInput(std::function<void(const QByteArray &)> chunk,
                           QObject *parent = nullptr);
    ~TerminalInput() override;

private:
    struct Watch;
    std::unique_ptr<Watch> m_watch;
};
