#include "commport.h"

#include "lockfiles.h"
#include "portnames.h"
#include "showntext.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSerialPort>
#include <QSignalBlocker>
#include <QStringList>
#include <algorithm>
#include <limits>
#include <optional>
#include <thread>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/serial.h>
#endif

// Off unless asked for: QT_LOGGING_RULES="zarvo.serial.debug=true".
Q_LOGGING_CATEGORY(lcSerial, "zarvo.serial", QtWarningMsg)

namespace {

using namespace std::chrono_literals;

// One start bit, eight data bits, one stop bit.
constexpr qint64 kBitsPerByte = 10;
// Slack on top of the line time of the queued bytes: driver latency, a USB adapter's
// own buffer and the scheduler. Only a line that has stopped moving runs into it.
constexpr std::chrono::milliseconds kDrainMargin = 500ms;
// How often a drain looks at the driver's output queue.
constexpr std::chrono::milliseconds kDrainPoll = 1ms;
// Read faults in a row, on a line that still answers, before it counts as lost: enough
// for passing faults, few enough that a failing line cannot keep the event loop busy.
constexpr int kReadFailuresTolerated = 50;
// The longest single wait for a full output buffer to take more bytes.
constexpr std::chrono::milliseconds kWritePoll = 100ms;

std::optional<qint32> parseSettings(const QString &text) {
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("([0-9]{1,10}),[Nn],8,1")));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const qlonglong baud = match.captured(1).toLongLong(&ok);
    if (!ok || baud < 1 || baud > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(baud);
}

QSerialPort::FlowControl flowControlFor(int handshaking) {
    switch (handshaking) {
    case 1:
        return QSerialPort::SoftwareControl;
    case 2:
    case 3: // RTS/CTS and XON/XOFF together: the hardware lines are the stronger guarantee
        return QSerialPort::HardwareControl;
    default:
        return QSerialPort::NoFlowControl;
    }
}

#ifdef Q_OS_UNIX

QString osError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString permissionText(const QString &device, int error) {
    QString text = QStringLiteral("%1: %2").arg(device, osError(error));
    struct stat info {};
    if (::stat(QFile::encodeName(device).constData(), &info) == 0) {
        if (const group *owner = ::getgrgid(info.st_gid))
            text += QStringLiteral(" (the device belongs to group '%1'; this user is not a "
                                   "member of it)")
                        .arg(QString::fromLocal8Bit(owner->gr_name));
    }
    return text;
}

#endif

} // namespace

CommPort::CommPort(QObject *parent) : QObject(parent), m_serial(std::make_unique<QSerialPort>()) {
    connect(m_serial.get(), &QSerialPort::readyRead, this, &CommPort::onReadyRead);
    connect(m_serial.get(), &QSerialPort::errorOccurred, this,
            [this](QSerialPort::SerialPortError error) { onErrorOccurred(int(error)); });
}

CommPort::~CommPort() {
    // Whoever listens to closed() may be gone before the port is.
    const QSignalBlocker quiet(this);
    close();
}

void CommPort::setCommPort(int port) {
    m_port = port;
}

bool CommPort::setSettings(const QString &settings) {
    const std::optional<qint32> baud = parseSettings(settings);
    if (!baud) {
        setError(
            kErrInvalidSettings,
            QStringLiteral("Invalid port settings \"%1\"; expected <baud>,N,8,1").arg(settings));
        return false;
    }
    if (isOpen()) {
        drain();
        if (!applySettings(*baud))
            return false;
    }
    m_baud = *baud;
    m_settings = settings;
    return true;
}

bool CommPort::applySettings(qint32 baud) {
    m_quiet = true;
    const bool ok = m_serial->setBaudRate(baud);
    m_quiet = false;
    if (!ok) {
        setError(kErrInvalidSettings, QStringLiteral("The driver refused %1 baud: %2")
                                          .arg(baud)
                                          .arg(m_serial->errorString()));
        m_serial->clearError();
    }
    return ok;
}

bool CommPort::isOpen() const {
    return m_serial->isOpen();
}

bool CommPort::open() {
    if (isOpen())
        return true;
    m_error = {};
    m_inBuffer.clear();
    m_lostReported = false;
    m_readFailures = 0;
    ++m_session;

    const QString entry =
        m_deviceOverride.isEmpty() ? serial::devicePath(m_port) : m_deviceOverride;
    if (entry.isEmpty()) {
        setError(kErrInvalidPort, QStringLiteral("There is no serial port %1").arg(m_port));
        return false;
    }
    if (m_deviceOverride.isEmpty())
        if (const QString why = serial::distrustPortEntry(entry); !why.isEmpty()) {
            qCDebug(lcSerial).noquote() << "refused" << why;
            setError(kErrOpenFailed, why);
            return false;
        }
#ifdef Q_OS_UNIX
    // The real device, so that the lock file is the one other programs use for it.
    const QString device = QFileInfo(entry).canonicalFilePath();
    if (device.isEmpty()) {
        const QString target = QFileInfo(entry).symLinkTarget();
        setError(kErrInvalidPort,
                 QStringLiteral("%1: %2").arg(target.isEmpty() ? entry : target, osError(ENOENT)));
        return false;
    }
    if (const std::optional<serial::LockHolder> holder = serial::liveLock({device, entry})) {
        portHeld(device, *holder);
        return false;
    }
#else
    const QString device = entry;
#endif
    m_devicePath = device;
    m_serial->setPortName(device);
    m_serial->setBaudRate(m_baud);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    m_serial->setFlowControl(flowControlFor(m_handshaking));

    m_quiet = true;
    const bool opened = m_serial->open(QIODevice::ReadWrite);
    m_quiet = false;
    if (!opened) {
        classifyOpenFailure(device, entry);
        m_serial->clearError();
        return false;
    }
    m_serial->clearError();
    setModemLines();
    requestLowLatency();
    qCDebug(lcSerial).noquote() << "opened" << device << "for port" << m_port << "at" << m_settings;
    return true;
}

void CommPort::classifyOpenFailure(const QString &device, const QString &entry) {
    const QSerialPort::SerialPortError qtError = m_serial->error();
    const QString qtReason = m_serial->errorString();
#ifdef Q_OS_UNIX
    // Qt reports a busy device, a held lock and a refused permission all as
    // PermissionError; opening the device once more here tells them apart by errno.
    const int fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int error = fd < 0 ? errno : 0;
    if (fd >= 0)
        ::close(fd);

    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EIO: // a /dev/ttyS node with no UART behind it
        setError(kErrInvalidPort, QStringLiteral("%1: %2").arg(device, osError(error)));
        return;
    default:
        break;
    }
    if (const std::optional<serial::LockHolder> holder = serial::liveLock({device, entry})) {
        portHeld(device, *holder);
        return;
    }
    switch (error) {
    case EBUSY:
        setError(kErrPortOpen,
                 QStringLiteral("%1 is in use by another program: %2").arg(device, osError(error)));
        if (const std::optional<serial::LockHolder> user = serial::deviceUser(device))
            m_error.holder = serial::holderText(*user);
        return;
    case EACCES:
    case EPERM:
    case EROFS:
        setError(kErrPermission, permissionText(device, error));
        return;
    case 0:
        break;
    default:
        setError(kErrOpenFailed, QStringLiteral("%1: %2").arg(device, osError(error)));
        return;
    }
    // The device itself opens: what failed was the lock file or setting up the line.
    if (qtError == QSerialPort::DeviceNotFoundError)
        setError(kErrInvalidPort, QStringLiteral("%1: %2").arg(device, qtReason));
    else
        setError(kErrOpenFailed, QStringLiteral("%1: %2").arg(device, qtReason));
#else
    Q_UNUSED(entry);
    switch (qtError) {
    case QSerialPort::DeviceNotFoundError:
        setError(kErrInvalidPort, QStringLiteral("%1: %2").arg(device, qtReason));
        break;
    case QSerialPort::PermissionError: // Windows answers "access denied" for a held port
        setError(kErrPortOpen, QStringLiteral("%1: %2").arg(device, qtReason));
        break;
    default:
        setError(kErrOpenFailed, QStringLiteral("%1: %2").arg(device, qtReason));
        break;
    }
#endif
}

void CommPort::setModemLines() {
#ifdef Q_OS_UNIX
    // A pseudo-terminal has no modem lines and refuses both requests; there is nothing to
    // raise then, so the answer is not looked at.
    const int fd = m_serial->handle();
    int dtr = TIOCM_DTR;
    int rts = TIOCM_RTS;
    ::ioctl(fd, m_dtr ? TIOCMBIS : TIOCMBIC, &dtr);
    if (m_serial->flowControl() != QSerialPort::HardwareControl)
        ::ioctl(fd, m_rts ? TIOCMBIS : TIOCMBIC, &rts);
#else
    m_quiet = true;
    m_serial->setDataTerminalReady(m_dtr);
    if (m_serial->flowControl() != QSerialPort::HardwareControl)
        m_serial->setRequestToSend(m_rts);
    m_quiet = false;
    m_serial->clearError();
#endif
}

void CommPort::requestLowLatency() {
#ifdef Q_OS_LINUX
    // USB-serial adapters otherwise hold each short reply back for up to 16 ms. Drivers
    // without the setting, and pseudo-terminals, refuse; the port works as well without.
    const int fd = m_serial->handle();
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0 && !(info.flags & ASYNC_LOW_LATENCY)) {
        info.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }
#endif
}

std::chrono::milliseconds CommPort::lineTime(qint64 bytes) const {
    const qint64 baud = std::max<qint64>(m_baud, 1);
    const qint64 ms = (bytes * kBitsPerByte * 1000 + baud - 1) / baud;
    return std::chrono::milliseconds(ms) + kDrainMargin;
}

bool CommPort::output(const QByteArray &bytes) {
    // The caller clears its reply flag once this returns, so no receive event may run
    // inside the write: one that comes due meanwhile is raised in the next event pass.
    m_writing = true;
    const bool written = write(bytes);
    m_writing = false;
    if (m_receiveHeld) {
        m_receiveHeld = false;
        const quint64 session = m_session;
        QMetaObject::invokeMethod(
            this,
            [this, session] {
                if (session == m_session && isOpen())
                    raiseReceiveIfDue();
            },
            Qt::QueuedConnection);
    }
    return written;
}

bool CommPort::write(const QByteArray &bytes) {
    if (!isOpen()) {
        setError(kErrPortClosed, QStringLiteral("The port is not open"));
        return false;
    }
    if (bytes.isEmpty())
        return true;
#ifdef Q_OS_UNIX
    // Straight to the driver: QSerialPort::write only queues for a later event pass, and
    // the reply may be waited for before that pass comes.
    const int fd = m_serial->handle();
    const QDeadlineTimer deadline(lineTime(bytes.size()));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            setError(kErrWriteFailed, QStringLiteral("%1: %2").arg(m_devicePath, osError(errno)));
            return false;
        }
        const qint64 left = deadline.remainingTime();
        if (left <= 0) {
            setError(kErrWriteFailed,
                     QStringLiteral("%1: the line took only %2 of %3 bytes in time")
                         .arg(m_devicePath)
                         .arg(done)
                         .arg(bytes.size()));
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, int(std::min<qint64>(left, kWritePoll.count())));
    }
    return true;
#else
    if (m_serial->write(bytes) != bytes.size()) {
        setError(kErrWriteFailed, m_serial->errorString());
        m_serial->clearError();
        return false;
    }
    const QDeadlineTimer deadline(lineTime(bytes.size()));
    while (m_serial->bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!m_serial->waitForBytesWritten(int(deadline.remainingTime())))
            break;
    }
    return true;
#endif
}

void CommPort::takeArrived() {
    QByteArray arrived = m_serial->readAll();
    if (m_nullDiscard)
        arrived.replace(QByteArray(1, '\0'), QByteArray());
    m_inBuffer += arrived;
}

QByteArray CommPort::input() {
    if (!isOpen()) {
        setError(kErrPortClosed, QStringLiteral("The port is not open"));
        return {};
    }
    takeArrived();
    if (m_inputLen <= 0 || m_inBuffer.size() <= m_inputLen)
        return std::exchange(m_inBuffer, QByteArray());
    QByteArray head = m_inBuffer.left(m_inputLen);
    m_inBuffer.remove(0, m_inputLen);
    return head;
}

bool CommPort::waitForInput(const QDeadlineTimer &deadline) {
#ifdef Q_OS_UNIX
    if (isOpen()) {
        const qint64 left = std::max<qint64>(0, deadline.remainingTimeNSecs());
        const timespec timeout{time_t(left / 1000000000), long(left % 1000000000)};
        pollfd p{int(m_serial->handle()), POLLIN, 0};
        return ::ppoll(&p, 1, &timeout, nullptr) > 0 && p.revents != 0;
    }
#endif
    // Elsewhere the port learns of bytes only through event processing: the clock alone
    // ends the wait there.
    std::this_thread::sleep_for(std::chrono::nanoseconds(deadline.remainingTimeNSecs()));
    return false;
}

void CommPort::takeInputNow() {
    if (!isOpen())
        return;
    // Qt's synchronous read: the same path as a notified one, errors included.
    m_serial->waitForReadyRead(0);
}

int CommPort::inBufferCount() const {
    if (!isOpen())
        return 0;
    return int(m_inBuffer.size() + m_serial->bytesAvailable());
}

void CommPort::onReadyRead() {
    m_readFailures = 0;
    takeArrived();
    if (m_writing)
        m_receiveHeld = true;
    else
        raiseReceiveIfDue();
}

void CommPort::raiseReceiveIfDue() {
    if (m_rThreshold > 0 && m_inBuffer.size() >= m_rThreshold)
        emit commEvent(kEvReceive);
}

void CommPort::onErrorOccurred(int error) {
    if (m_quiet || error == QSerialPort::NoError)
        return;
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError) {
        // Faults of single operations are reported by the operation that met them.
        m_serial->clearError();
        return;
    }
    if (m_lostReported)
        return;
    QString cause = m_serial->errorString();
    m_serial->clearError();
#ifdef Q_OS_UNIX
    // A hung-up line reads as end of file, which Qt reports as a read error with a stale
    // errno. The line itself tells whether it is gone: a hung-up or removed device
    // refuses every request.
    termios line{};
    const bool gone = ::tcgetattr(m_serial->handle(), &line) != 0;
    if (gone)
        cause = osError(errno);
    if (!gone && ++m_readFailures < kReadFailuresTolerated)
        return; // a passing fault; the next read may well succeed
    if (!QFileInfo::exists(m_devicePath))
        cause += QStringLiteral(" (the device was removed)");
#else
    if (error == QSerialPort::ReadError && ++m_readFailures < kReadFailuresTolerated)
        return;
#endif
    reportLost(QStringLiteral("%1 is no longer available: %2").arg(m_devicePath, cause));
}

void CommPort::reportLost(const QString &reason) {
    // The notifier of a lost device keeps firing until the port is closed, and closing
    // inside that notifier's own signal is not safe, so the close and the one report
    // follow in the next event pass.
    m_lostReported = true;
    const quint64 session = m_session;
    QMetaObject::invokeMethod(
        this,
        [this, session, reason] {
            if (session != m_session)
                return;
            if (isOpen())
                closeNow(); // nothing can leave a line that is gone: no drain
            qCDebug(lcSerial).noquote() << "lost:" << reason;
            emit deviceLost(reason);
        },
        Qt::QueuedConnection);
}

bool CommPort::drain() {
    if (!isOpen())
        return true;
#ifdef Q_OS_UNIX
    const int fd = m_serial->handle();
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return true;
    const QDeadlineTimer deadline(lineTime(queued));
    while (!deadline.hasExpired()) {
        ::poll(nullptr, 0, int(kDrainPoll.count()));
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            return true;
    }
    return false;
#else
    const QDeadlineTimer deadline(lineTime(m_serial->bytesToWrite()));
    while (m_serial->bytesToWrite() > 0 && !deadline.hasExpired()) {
        if (!m_serial->waitForBytesWritten(int(deadline.remainingTime())))
            break;
    }
    return m_serial->bytesToWrite() == 0;
#endif
}

bool CommPort::close() {
    if (!isOpen())
        return true;
    const bool drained = drain();
    if (!drained) {
        setError(kErrWriteFailed,
                 QStringLiteral("%1: the line stopped taking bytes").arg(m_devicePath));
#ifdef Q_OS_UNIX
        // The line stopped moving. Dropping what is left keeps the kernel's close from
        // waiting its own half minute for it.
        ::tcflush(m_serial->handle(), TCOFLUSH);
#endif
    }
    closeNow();
    emit closed();
    return drained;
}

void CommPort::closeNow() {
    qCDebug(lcSerial).noquote() << "closed" << m_devicePath;
    m_quiet = true;
    m_serial->close();
    m_quiet = false;
    m_serial->clearError();
    m_inBuffer.clear();
}

void CommPort::setError(int code, const QString &reason) {
    qCDebug(lcSerial).noquote() << "error" << code << reason;
    // Reasons carry device and link names that others may have chosen.
    m_error = Error{code, serial::shownText(reason, 2 * serial::kShownPathLength)};
}

#ifdef Q_OS_UNIX
void CommPort::portHeld(const QString &device, const serial::LockHolder &holder) {
    setError(kErrPortOpen, QStringLiteral("%1 is in use by %2 (lock file %3)")
                               .arg(device, serial::holderName(holder), holder.lockFile));
    m_error.holder = serial::holderText(holder);
}
#endif
