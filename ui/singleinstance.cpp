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
#endif
#include <QStandardPaths>

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

#ifdef Q_OS_UNIX
// Made 0700 when missing; the path when it is then a real directory (not a link) that
// belongs to us and that nobody else may enter.
QByteArray madePrivate(const QByteArray &path) {
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    return ourOwnDirectory(path, 077) ? path : QByteArray();
}
#endif

// Where the lock and the socket go without a runtime directory: <tmp>/zarvo-update-<uid>.
// Anyone may take that name first (a directory, a link, a file); then a directory in our
// own cache directory, which nobody else can take, serves instead, and from then on it is
// tried first, so that every later copy finds the same place even once the name in <tmp>
// is free again. Without either the guard would be off and two windows could run.
QString privateTmpDirectory() {
#ifdef Q_OS_UNIX
    const QString cacheBase =
        QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    const QByteArray cache = cacheBase.isEmpty()
                                 ? QByteArray()
                                 : QFile::encodeName(cacheBase) + '/' + kBaseName + "-runtime";
    if (!cache.isEmpty() && ourOwnDirectory(cache, 077))
        return QFile::decodeName(cache);
    const QByteArray tmp =
        QFile::encodeName(QDir::tempPath()) + '/' + kBaseName + '-' + QByteArray::number(getuid());
    if (const QByteArray path = madePrivate(tmp); !path.isEmpty())
        return QFile::decodeName(path);
    if (cache.isEmpty() || !QDir().mkpath(cacheBase))
        return {};
    return QFile::decodeName(madePrivate(cache));
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

    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::onNewConnection);
    // Qt's server closes for good, its socket removed, when one accept fails (too many
    // open files): it is opened again, so that a second copy can always reach this one.
    auto *watch = new QTimer(this);
    connect(watch, &QTimer::timeout, this, &SingleInstance::listen);
    watch->start(kRelisten);
    listen();
    return true;
}

void SingleInstance::listen() {
    if (m_server->isListening())
        return;
    const QString socket = socketPath();
    // A socket left by a copy that crashed would make listen() fail; we hold the lock, so
    // nobody else uses it. Without the socket a second copy still sees the lock and ends;
    // it only cannot bring this window forward.
    QLocalServer::removeServer(socket);
    m_server->listen(socket);
}

void SingleInstance::onNewConnection() {
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        // A flood of connections that say nothing must not use up the process's files:
        // the oldest goes for the newest, and a real request, said at once, is served.
        m_clients.removeAll(nullptr);
        while (m_clients.size() >= kMaxConnections) {
            QLocalSocket *oldest = m_clients.takeFirst();
            oldest->abort();
            oldest->deleteLater();
        }
        m_clients << socket;
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
