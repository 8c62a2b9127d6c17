#include "pty.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

PtyPair::PtyPair() {
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (m_master < 0)
        return;
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        ::close(m_master);
        m_master = -1;
        return;
    }
    // Programs a test starts do not inherit either end: one that held the master side would
    // pass for the line's far end, one that held the slave side for another user of the port.
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(::ptsname(m_master));
    // Raw line on the slave, so nothing the tool sends is translated before it opens.
    m_slaveKeep = ::open(m_slavePath.toLocal8Bit().constData(),
                         O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slaveKeep >= 0) {
        termios tio{};
        ::tcgetattr(m_slaveKeep, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_slaveKeep, TCSANOW, &tio);
    }
}

PtyPair::~PtyPair() {
    delete m_notifier;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
}

QByteArray PtyPair::read(int timeoutMs) {
    QByteArray out;
    if (m_master < 0)
        return out;
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        char buf[4096];
        ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, int(n));
            continue;
        }
        const int left = timeoutMs - int(clock.elapsed());
        if (!out.isEmpty() || left <= 0)
            return out;
        pollfd p{m_master, POLLIN, 0};
        ::poll(&p, 1, left);
    }
}

QByteArray PtyPair::readAtLeast(int n, int timeoutMs) {
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (out.size() < n) {
        const int left = timeoutMs - int(clock.elapsed());
        if (left <= 0)
            break;
        out += read(left);
    }
    return out;
}

bool PtyPair::write(const QByteArray &bytes) {
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        ssize_t n = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return false;
        }
    }
    return done == bytes.size();
}

termios PtyPair::slaveSettings() const {
    termios tio{};
    if (m_slaveKeep >= 0)
        ::tcgetattr(m_slaveKeep, &tio);
    return tio;
}

void PtyPair::hangUp() {
    delete m_notifier;
    m_notifier = nullptr;
    if (m_slaveKeep >= 0)
        ::close(m_slaveKeep);
    m_slaveKeep = -1;
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

void PtyPair::setPeer(std::function<QByteArray(const QByteArray &)> peer) {
    m_peer = std::move(peer);
    if (!m_notifier && m_master >= 0) {
        m_notifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, &PtyPair::onReadable);
    }
}

void PtyPair::onReadable() {
    const QByteArray chunk = read(0);
    if (chunk.isEmpty() || !m_peer)
        return;
    const QByteArray answer = m_peer(chunk);
    if (!answer.isEmpty())
        write(answer);
}

PortSandbox::PortSandbox() {
    m_hadValue = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_oldValue = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
    QDir().mkpath(portDirectory());
    // Private, as the tools make it: whatever the umask, the port numbers stay trusted.
    QFile::setPermissions(portDirectory(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(m_dir.path() + "/zarvo-update",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir().mkpath(privateDirectory());
    QFile::setPermissions(privateDirectory(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

PortSandbox::~PortSandbox() {
    if (m_hadValue)
        qputenv("XDG_CONFIG_HOME", m_oldValue);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

QString PortSandbox::portDirectory() const {
    return m_dir.path() + "/zarvo-update/ports";
}

QString PortSandbox::privateDirectory() const {
    return m_dir.path() + "/private";
}

bool PortSandbox::linkPrivate(int port, const QString &name) {
    return link(port, QStringLiteral("../../private/") + name);
}

bool PortSandbox::link(int port, const QString &target) {
    const QString name = portDirectory() + QStringLiteral("/com%1").arg(port);
    QFile::remove(name);
    return QFile::link(target, name);
}
