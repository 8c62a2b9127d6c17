// The requests to end a program (on Unix Ctrl-C, SIGTERM and a hang-up; on Windows Ctrl-C,
// Ctrl-Break and the console closed) brought into its event loop, so that the end runs as
// the user's own cancel and close do: from the loop, inside Send's wait when an update runs,
// never from the handler itself. Each platform's file catches its own.
#pragma once

#include <QList>
#include <QObject>

class QuitSignals : public QObject {
    Q_OBJECT
public:
    // Catches the platform's requests for the life of the object. Meant to be the only
    // one: objects that live at the same time share them, and one of them reports each.
    explicit QuitSignals(QObject *parent = nullptr);
    ~QuitSignals() override;
    // False when the requests could not be caught (they then end the program as before).
    bool isValid() const { return m_valid; }
    // A request caught whose report has not come through the event loop yet, taken now; 0
    // when there is none.
    int takePending();

    // How a program's help tells the requests: a paragraph on what they do, and each one
    // with the signal number its exit status carries (128 plus it, as a shell shows it).
    struct Request {
        int signal;
        const char *what;
    };
    static const char *helpText();
    static QList<Request> requests();

    // Once its cancel is done, the process ends as `signal` would have ended it, so that a
    // shell or a script sees the program stopped by the user; where the platform has no
    // such end, with `status`.
    [[noreturn]] static void endBy(int signal, int status);
    // Output to a reader that has gone (`| head`) is dropped rather than ending the program.
    static void keepOnBrokenPipe();

signals:
    // The signal's number, on Windows that of SIGINT for each console request.
    void received(int signal);

private:
    // The platform's part: catch (false when it cannot), the next request caught (0 for
    // none) and the release once the last object goes.
    bool catchRequests();
    static int nextRequest();
    void releaseRequests();
    Q_INVOKABLE void deliver();

    bool m_valid = false;
};
