#include "singleinstance.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <QWidget>

#ifdef Q_OS_UNIX
#include <cerrno>
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

// A directory of ours under /tmp: created 0700, and used only when it is a real directory
// (not a link) that belongs to us and that nobody else may enter.
QString privateTmpDirectory() {
#ifdef Q_OS_UNIX
    const QByteArray path = QByteArray("/tmp/") + kBaseName + '-' + QByteArray::number(getuid());
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
        return {};
    struct stat info {};
    if (lstat(path.constData(), &info) != 0)
        return {};
    if (!S_ISDIR(info.st_mode) || info.st_uid != getuid() || (info.st_mode & 077) != 0)
        return {};
    return QString::fromLocal8Bit(path);
#else
    const QString path = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    return QDir().mkpath(path) ? path : QString();
#endif
}

} // namespace

SingleInstance::SingleInstance(QObject *parent) : QObject(parent) {}

SingleInstance::~SingleInstance() {
    if (m_server)
        m_server->close();
}

QString SingleInstance::runtimeDirectory() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime;
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
    if (!m_lock->tryLock(0)) {
        if (m_lock->error() == QLockFile::LockFailedError)
            return false;
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
