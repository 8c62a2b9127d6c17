#include "singleinstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QSysInfo>
#include <QTimer>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QStandardPaths>
#endif

const QByteArray SingleInstance::kActivateRequest = QByteArrayLiteral("zarvo-update activate 1\n");
const QByteArray SingleInstance::kActivateAck = QByteArrayLiteral("activated\n");

namespace {

constexpr auto kBaseName = "zarvo-update";
constexpr char kBufferProperty[] = "zarvoRequest";

#ifdef Q_OS_UNIX
// A directory only we may change: a real directory, ours, that nobody else may write to.
bool ourOwnDirectory(const QByteArray &path, mode_t forbidden) {
    struct stat info {};
    if (lstat(path.constData(), &info) != 0)
        return false;
    return S_ISDIR(info.st_mode) && info.st_uid == getuid() && (info.st_mode & forbidden) == 0;
}
#endif

// A directory of ours under /tmp: created 0700, and used only when it is a real directory
// (not a link) that belongs to us and that nobody else may enter.
QString privateTmpDirectory() {
#ifdef Q_OS_UNIX
    const QByteArray path = QByteArray("/tmp/") + kBaseName + '-' + QByteArray::number(getuid());
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    if (!ourOwnDirectory(path, 077))
        return {};
    return QString::fromLocal8Bit(path);
#else
    const QString path = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return QDir().mkpath(path) ? path : QString();
#endif
}

// A lock file that QLockFile refused and that no copy answers for: garbled, empty, naming a
// process elsewhere, a directory in its place. A live copy holds a file lock on it from
// the moment it creates it (before its contents are written); if we can take that lock,
// nobody holds it, and it goes.
bool removeStaleLock(const QString &path) {
#ifdef Q_OS_UNIX
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    const QByteArray name = QFile::encodeName(path);
    const int fd = open(name.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return info.isSymLink() && QFile::remove(path);
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    const bool removed = free && unlink(name.constData()) == 0;
    close(fd);
    return removed;
#else
    return QFile::remove(path);
#endif
}

// True when a copy answers on the socket.
bool copyAnswers(const QString &socket) {
    QLocalSocket probe;
    probe.connectToServer(socket);
    const bool answered = probe.waitForConnected(int(SingleInstance::kActivateTimeout.count()));
    probe.abort();
    return answered;
}

} // namespace

SingleInstance::SingleInstance(QObject *parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
    if (m_server)
        m_server->close();
}

QString SingleInstance::runtimeDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
#ifdef Q_OS_UNIX
    // Another user's directory, or one others may write to, could hold a lock or a socket
    // planted to keep us from starting or to listen in our place.
    if (!runtime.isEmpty() && ourOwnDirectory(QFile::encodeName(runtime), S_IWGRP | S_IWOTH))
        return runtime;
#else
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime;
#endif
    return privateTmpDirectory();
}

QString SingleInstance::lockPath() {
    const QString dir = runtimeDirectory();
    return dir.isEmpty() ? QString()
                         : dir + u'/' + QLatin1String(kBaseName) + QStringLiteral(".lock");
}

QString SingleInstance::socketPath() {
    const QString dir = runtimeDirectory();
    return dir.isEmpty() ? QString()
                         : dir + u'/' + QLatin1String(kBaseName) + QStringLiteral(".socket");
}

bool SingleInstance::acquire() {
    if (m_primary)
        return true;
    const QString lock = lockPath();
    if (lock.isEmpty()) {
        // No private place to coordinate in: running unguarded beats refusing to run.
        m_primary = true;
        return true;
    }
    m_lock = std::make_unique<QLockFile>(lock);
    // Only a dead owner makes a lock stale, never its age: a copy may run for days.
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0) && m_lock->error() == QLockFile::LockFailedError) {
        // QLockFile judged the lock live, or could not judge it at all; only in the second
        // case and when no copy answers is it stale.
        qint64 pid = 0;
        QString host, app;
        const bool judged = m_lock->getLockInfo(&pid, &host, &app) &&
                            (host.isEmpty() || host == QSysInfo::machineHostName());
        if (judged || copyAnswers(socketPath()) || !removeStaleLock(lock) || !m_lock->tryLock(0))
            return false;
    }
    if (!m_lock->isLocked()) {
        // Could not tell (no permission, odd file system): do not block the user.
        m_primary = true;
        return true;
    }
    m_primary = true;

    const QString socket = socketPath();
    // A socket left by a copy that crashed would make listen() fail; we hold the lock, so
    // nobody else uses it.
    QLocalServer::removeServer(socket);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    if (!m_server->listen(socket)) {
        // Without the socket a second copy still sees the lock and ends; it only cannot
        // bring this window forward.
        delete m_server;
        m_server = nullptr;
    }
    return true;
}

void SingleInstance::onNewConnection() {
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        QPointer<QLocalSocket> guard(socket);
        QTimer::singleShot(kIdleDrop, this, [guard] {
            if (guard)
                guard->abort();
        });
        if (socket->bytesAvailable() > 0)
            onReadyRead(socket);
    }
}

void SingleInstance::onReadyRead(QLocalSocket *socket) {
    QByteArray buffer = socket->property(kBufferProperty).toByteArray();
    buffer += socket->read(kMaxRequestBytes + 1 - buffer.size());
    const qsizetype end = buffer.indexOf('\n');
    if (end < 0) {
        if (buffer.size() > kMaxRequestBytes || socket->bytesAvailable() > 0) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        socket->setProperty(kBufferProperty, buffer);
        return;
    }
    if (buffer.size() != end + 1 || buffer != kActivateRequest) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    bringWindowForward();
    emit activated();
    socket->write(kActivateAck);
    socket->flush();
    socket->disconnectFromServer();
}

void SingleInstance::bringWindowForward() {
    if (!m_window)
        return;
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

bool SingleInstance::activateRunning() {
    m_acknowledged = false;
    const QString socket = socketPath();
    if (socket.isEmpty())
        return false;
    const int timeout = int(kActivateTimeout.count());
    QLocalSocket client;
    client.connectToServer(socket);
    if (!client.waitForConnected(timeout))
        return false;
    client.write(kActivateRequest);
    if (!client.waitForBytesWritten(timeout))
        return false;
    QByteArray answer;
    while (answer.size() < kActivateAck.size() && client.waitForReadyRead(timeout))
        answer += client.read(kActivateAck.size() - answer.size());
    m_acknowledged = answer == kActivateAck;
    return m_acknowledged;
}
