// Keeps the tool to one running copy per user, and lets a second copy bring the first
// copy's window to the front before it ends.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;
class QWidget;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // The one request a running copy acts on, and its answer; both end with a line feed.
    static const QByteArray kActivateRequest;
    static const QByteArray kActivateAck;
    // Anything longer than this without a line feed is not a request and is dropped.
    static constexpr int kMaxRequestBytes = 64;
    // A connection that says nothing for this long is dropped.
    static constexpr std::chrono::milliseconds kIdleDrop{5000};
    // Connections held at once; a flood beyond this drops the oldest.
    static constexpr int kMaxConnections = 16;
    // How often a server that Qt closed (an accept that failed) is opened again.
    static constexpr std::chrono::milliseconds kRelisten{500};
    // How long a second copy waits for the running copy to answer.
    static constexpr std::chrono::milliseconds kActivateTimeout{3000};

    explicit SingleInstance(QObject *parent = nullptr);
    ~SingleInstance() override;

    // The per-user directory that holds the lock and the socket: $XDG_RUNTIME_DIR when set
    // and ours alone to write, else <tmp>/zarvo-update-<uid> created 0700, or, when another
    // user has taken that name, a 0700 directory in our cache directory. Empty when no safe
    // directory exists.
    static QString runtimeDirectory();
    static QString lockPath();
    static QString socketPath();

    // True when no other copy runs: this copy then holds the lock and listens for
    // activation requests. False only when another live copy holds the lock; a lock that
    // cannot be judged and that no copy answers for is removed.
    bool acquire();
    bool isPrimary() const { return m_primary; }

    // The window that an activation request shows, raises and activates.
    void setWindow(QWidget *window) { m_window = window; }

    // Asks the running copy to bring its window forward; true when it acknowledged.
    // Blocks for at most kActivateTimeout; meant for a copy that is about to end and
    // shows no window of its own.
    bool activateRunning();
    bool activationAcknowledged() const { return m_acknowledged; }

signals:
    // The running copy acted on a well-formed request.
    void activated();

private:
    void listen();
    void onNewConnection();
    void onReadyRead(QLocalSocket *socket);
    void bringWindowForward();

    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
    QList<QPointer<QLocalSocket>> m_clients;
    QPointer<QWidget> m_window;
    bool m_primary = false;
    bool m_acknowledged = false;
};
