// The serial line on Unix: the device opened and set with termios directly. Qt's serial
// port would lock it with its own lock files, which trust whatever file has the name (a
// FIFO planted there hangs the open, a link to an endless device exhausts memory) and which
// it insists on; here the tool decides about lock files itself (lockfiles.h) and takes the
// device for itself with an flock and, where it ends with its holder, exclusive use
// (TIOCEXCL).
#include "line.h"
#include "lockfiles.h"
#include "pseudoterminal_unix.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif

Q_DECLARE_LOGGING_CATEGORY(lcSerial)

namespace serial {

namespace {

using namespace std::chrono_literals;

// The longest single wait for a full output buffer to take more bytes.
constexpr std::chrono::milliseconds kWritePoll = 100ms;
// What a USB adapter may still hold to send once its driver's queue is empty (an FT232R's
// transmit buffer): a change of speed before it is out would garble the last reply asked for.
constexpr qint64 kAdapterBufferBytes = 128;

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

// Exclusive use of a pseudo-terminal belongs to it, not to its holder: it outlives a holder
// that was killed for as long as the far end (a relay, the virtual instrument) is open, and
// keeps every later open but root's out. A hardware line drops it with its last close.
bool openedPseudoTerminal(int fd, const QString &device) {
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        info = {};
    return isPseudoTerminal(info, device);
}

// Why the device is busy when no holder could be named (`how`: "holds it exclusively"): a
// program this user may not see, as the system shows other users' open files only to root.
QString unseenHolderText(const QString &device, const QString &how) {
    QString text = QStringLiteral("%1 is in use: a program %2").arg(device, how);
    if (::geteuid() != 0)
        text += QStringLiteral(" (none of this user's; other users' programs are shown only "
                               "to root)");
    return text;
}

speed_t speedFor(qint32 baud) {
    static constexpr std::pair<qint32, speed_t> speeds[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},
#ifdef B4000000
        {460800, B460800},   {500000, B500000},   {576000, B576000},   {921600, B921600},
        {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
        {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
#endif
    };
    for (const auto &[rate, speed] : speeds)
        if (rate == baud)
            return speed;
    return B0;
}

// Why the open file `fd` is not the one a port's resolution saw at `device`, or empty: a
// file swapped in between is never used.
QString notAsResolved(int fd, const QString &device, const DeviceIdentity &seen) {
    struct stat st {};
    if (!seen.known ||
        (::fstat(fd, &st) == 0 && quint64(st.st_dev) == seen.filesystem &&
         quint64(st.st_ino) == seen.inode && quint64(st.st_rdev) == seen.device))
        return {};
    return QStringLiteral("%1 was replaced by another file while it was being opened; "
                          "check who else changes it")
        .arg(device);
}

class UnixLine : public Line {
public:
    explicit UnixLine(const QString &entry) : m_entry(entry) {}
    ~UnixLine() override { close(); }

    bool open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_fd >= 0; }
    QString name() const override { return m_device; }
    bool setBaudRate(qint32 baud) override;
    void setModemLines(bool dtr, bool rts) override;
    bool write(const QByteArray &bytes) override;
    bool drain() override;
    void purgeOutput() override;
    void purgeInput() override;
    QByteArray read() override;

private:
    bool awaitInput(const QDeadlineTimer &deadline) override;
    bool openDevice(const QString &device);
    bool takeDevice();
    bool setTerminal(qint32 baud);
    void restoreFound();
    void requestLowLatency();
    void discardWhatWasThere();
    bool inUse(const LockHolder &holder);
    void noticeGone(const QString &cause);
    void shut();

    QString m_entry;
    QString m_device;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QString m_lockFile;             // ours, removed at the close
    bool m_exclusive = false;       // TIOCEXCL is ours to give up
    std::optional<termios> m_found; // the settings the open met, put back at the close
    qint32 m_baud = kDefaultBaud;
    LineSettings::Flow m_flow = LineSettings::Flow::None;
    int m_readFailures = 0;
};

bool UnixLine::open(const LineSettings &settings) {
    if (isOpen())
        return true;
    clearFailure();
    m_readFailures = 0;
    beginSession();

    // The real device, so that lock files and holders are the ones other programs see.
    const QString device =
        expectedPath().isEmpty() ? QFileInfo(m_entry).canonicalFilePath() : expectedPath();
    if (device.isEmpty()) {
        const QString target = QFileInfo(m_entry).symLinkTarget();
        return fail(LineFault::Missing, QStringLiteral("%1: %2").arg(
                                            target.isEmpty() ? m_entry : target, osError(ENOENT)));
    }
    m_device = device;
    if (const std::optional<LockHolder> holder = liveLock({device, m_entry}))
        return inUse(*holder);
    if (!openDevice(device))
        return false;
    // A program that has the device open without a lock file holds it just the same. Asked
    // only of a terminal: everyone holds /dev/null.
    if (const std::optional<LockHolder> user = deviceUser(device)) {
        shut();
        return inUse(*user);
    }
    m_flow = settings.flow;
    if (!takeDevice() || !setTerminal(settings.baud)) {
        shut();
        return false;
    }
    requestLowLatency();
    setModemLines(settings.dtr, settings.rts);
    discardWhatWasThere();

    m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Line::readyRead);
    qCDebug(lcSerial).noquote() << "line" << device << "open, lock file"
                                << (m_lockFile.isEmpty() ? QStringLiteral("none") : m_lockFile);
    return true;
}

bool UnixLine::openDevice(const QString &device) {
    m_fd =
        ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd >= 0) {
        // Not even asked whether it is a terminal when it is not the file that was checked.
        if (const QString why = notAsResolved(m_fd, device, expectedIdentity()); !why.isEmpty()) {
            shut();
            return fail(LineFault::Unusable, why);
        }
        termios line{};
        if (::tcgetattr(m_fd, &line) == 0)
            return true;
        const int error = errno;
        shut();
        if (error == ENOTTY)
            return fail(LineFault::Unusable,
                        QStringLiteral("%1 is not a terminal device").arg(device));
        return fail(LineFault::Unusable, QStringLiteral("%1: %2").arg(device, osError(error)));
    }
    const int error = errno;
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EIO: // a /dev/ttyS node with no UART behind it
        return fail(LineFault::Missing, QStringLiteral("%1: %2").arg(device, osError(error)));
    case EBUSY: // another program's exclusive use
        if (const std::optional<LockHolder> user = deviceUser(device))
            return inUse(*user);
        return fail(LineFault::InUse,
                    unseenHolderText(device, QStringLiteral("holds it exclusively")));
    case EACCES:
    case EPERM:
    case EROFS:
        return fail(LineFault::Permission, permissionText(device, error));
    default:
        return fail(LineFault::Unusable, QStringLiteral("%1: %2").arg(device, osError(error)));
    }
}

// The device for this process alone while it is open: an flock (the word of programs that
// lock by flock), our lock file (the word of those that read lock files), and exclusive use,
// so that nobody else opens it during the update: on a pseudo-terminal the flock and the
// lock file alone, as exclusive use there would outlive a killed run.
bool UnixLine::takeDevice() {
    if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        if (const std::optional<LockHolder> user = deviceUser(m_device))
            return inUse(*user);
        return fail(LineFault::InUse,
                    unseenHolderText(m_device, QStringLiteral("holds an flock on it")));
    }
    const OwnLock lock = writeLock(m_device);
    if (lock.heldBy)
        return inUse(*lock.heldBy);
    m_lockFile = lock.path;
    m_exclusive = !openedPseudoTerminal(m_fd, m_device) && ::ioctl(m_fd, TIOCEXCL) == 0;
    return true;
}

bool UnixLine::inUse(const LockHolder &holder) {
    const QString reason =
        holder.lockFile.isEmpty()
            ? QStringLiteral("%1 is in use by %2").arg(m_device, holderName(holder))
            : QStringLiteral("%1 is in use by %2 (lock file %3)")
                  .arg(m_device, holderName(holder), holder.lockFile);
    return fail(LineFault::InUse, reason, holderText(holder));
}

// The terminal as the line needs it, at the open and at every change of speed: whatever
// another program left or has set since goes. The settings the first call finds are the
// ones the close puts back.
bool UnixLine::setTerminal(qint32 baud) {
    const speed_t speed = speedFor(baud);
    termios line{};
    if (speed == B0 || ::tcgetattr(m_fd, &line) != 0)
        return fail(LineFault::Settings, QStringLiteral("The driver refused %1 baud").arg(baud));
    if (!m_found)
        m_found = line;
    // Flow control, parity, a second stop bit, line editing, translations, a modem-controlled
    // line: none of it stays, bytes pass as they are, 8N1.
    ::cfmakeraw(&line);
    line.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    line.c_cflag &= ~CMSPAR;
#endif
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | IMAXBEL);
    if (m_flow == LineSettings::Flow::Hardware)
        line.c_cflag |= CRTSCTS;
    else if (m_flow == LineSettings::Flow::Software)
        line.c_iflag |= IXON | IXOFF;
    // A read returns what is there without waiting; with nothing there it fails with
    // EAGAIN, so that a read of no bytes means the line was hung up.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    ::cfsetispeed(&line, speed);
    ::cfsetospeed(&line, speed);
    if (::tcsetattr(m_fd, TCSANOW, &line) != 0)
        return fail(LineFault::Settings,
                    QStringLiteral("The driver refused %1 baud: %2").arg(baud).arg(osError(errno)));
    m_baud = baud;
    return true;
}

void UnixLine::requestLowLatency() {
#ifdef __linux__
    // USB-serial adapters otherwise hold each short reply back for up to 16 ms. Drivers
    // without the setting, and pseudo-terminals, refuse; the port works as well without.
    serial_struct info{};
    if (::ioctl(m_fd, TIOCGSERIAL, &info) == 0 && !(info.flags & ASYNC_LOW_LATENCY)) {
        info.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(m_fd, TIOCSSERIAL, &info);
    }
#endif
}

// A port that has just been opened holds nothing of what came before: the late reply to an
// update that was cancelled or killed would otherwise be read as the answer to the next
// one's first frame. What the driver holds is dropped, and so is what still arrives in the
// moment after.
void UnixLine::discardWhatWasThere() {
    ::tcflush(m_fd, TCIFLUSH);
    const QDeadlineTimer limit(kOpenDiscardLimit);
    qint64 dropped = 0;
    for (;;) {
        pollfd p{m_fd, POLLIN, 0};
        const qint64 wait = std::min<qint64>(kOpenQuiet.count(), limit.remainingTime());
        if (wait <= 0 || ::poll(&p, 1, int(wait)) <= 0 || !(p.revents & POLLIN))
            break;
        char buf[512];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0)
            break; // a hung-up line is noticed by the first read that follows
        dropped += n;
    }
    if (dropped > 0)
        qCDebug(lcSerial).noquote() << "dropped" << dropped << "bytes that arrived at the open";
}

void UnixLine::close() {
    if (!isOpen())
        return;
    qCDebug(lcSerial).noquote() << "line" << m_device << "closed";
    shut();
}

void UnixLine::shut() {
    endSession();
    if (m_notifier) {
        // The close may come from a receiver of the notifier's own signal.
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_fd >= 0) {
        // Exclusive use belongs to the device, not to our open: it stays while anyone
        // else keeps the device open, unless given up.
        if (std::exchange(m_exclusive, false))
            ::ioctl(m_fd, TIOCNXCL);
        restoreFound();
        ::close(m_fd); // the flock goes with it
    }
    m_fd = -1;
    releaseLock(std::exchange(m_lockFile, QString()));
}

// The line goes back to the settings the open found, as the program that set them expects
// to find them, once what was sent has left. Two of them stay as the update had them: speed
// 0, which would drop the modem lines at once (a meter's reset; whether the last close drops
// them, HUPCL, the update never changed), and echo, which with nobody reading after us would
// send the meter's late reply back to it. The next open sets every setting it needs again.
void UnixLine::restoreFound() {
    std::optional<termios> found = std::exchange(m_found, std::nullopt);
    termios now{};
    if (!found || ::tcgetattr(m_fd, &now) != 0)
        return; // nothing changed, or the device is gone
    termios back = *found;
    back.c_lflag &= ~(ECHO | ECHONL);
    if (::cfgetospeed(&back) == B0) {
        ::cfsetispeed(&back, ::cfgetispeed(&now));
        ::cfsetospeed(&back, ::cfgetospeed(&now));
    }
    const bool wireChanges = ::cfgetospeed(&back) != ::cfgetospeed(&now) ||
                             (back.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB)) !=
                                 (now.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB));
    if (wireChanges && drain() && !openedPseudoTerminal(m_fd, m_device))
        ::poll(nullptr, 0,
               int((lineTime(m_baud, kAdapterBufferBytes) - lineTime(m_baud, 0)).count()));
    ::tcsetattr(m_fd, TCSANOW, &back);
}

bool UnixLine::setBaudRate(qint32 baud) {
    if (!isOpen()) {
        m_baud = baud;
        return true;
    }
    drain();
    return setTerminal(baud);
}

void UnixLine::setModemLines(bool dtr, bool rts) {
    if (!isOpen())
        return;
    // A pseudo-terminal has no modem lines and refuses both requests; there is nothing to
    // raise then, so the answer is not looked at.
    int dtrBit = TIOCM_DTR;
    int rtsBit = TIOCM_RTS;
    ::ioctl(m_fd, dtr ? TIOCMBIS : TIOCMBIC, &dtrBit);
    if (m_flow != LineSettings::Flow::Hardware)
        ::ioctl(m_fd, rts ? TIOCMBIS : TIOCMBIC, &rtsBit);
}

bool UnixLine::write(const QByteArray &bytes) {
    if (!isOpen())
        return fail(LineFault::NotOpen, QStringLiteral("The port is not open"));
    // Straight to the driver, so that the bytes are on their way before the reply is
    // waited for.
    const QDeadlineTimer deadline(lineTime(m_baud, bytes.size()));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return fail(LineFault::WriteFailed,
                        QStringLiteral("%1: %2").arg(m_device, osError(errno)));
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return fail(LineFault::WriteFailed,
                        QStringLiteral("%1: the line took only %2 of %3 bytes in time")
                            .arg(m_device)
                            .arg(done)
                            .arg(bytes.size()));
        pollfd p{m_fd, POLLOUT, 0};
        ::poll(&p, 1, int(std::min<qint64>(left, kWritePoll.count())));
    }
    return true;
}

bool UnixLine::drain() {
    if (!isOpen())
        return true;
    int queued = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
        return true;
    const QDeadlineTimer deadline(lineTime(m_baud, queued));
    while (!deadline.hasExpired()) {
        ::poll(nullptr, 0, int(kDrainPoll.count()));
        if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            return true;
    }
    return false;
}

void UnixLine::purgeOutput() {
    if (isOpen())
        ::tcflush(m_fd, TCOFLUSH);
}

void UnixLine::purgeInput() {
    if (isOpen())
        ::tcflush(m_fd, TCIFLUSH);
}

bool UnixLine::awaitInput(const QDeadlineTimer &deadline) {
    if (lostReported())
        return false; // a lost device's poll would wake at once, again and again
    const qint64 left = std::max<qint64>(0, deadline.remainingTimeNSecs());
    const timespec timeout{time_t(left / 1000000000), long(left % 1000000000)};
    pollfd p{m_fd, POLLIN, 0};
    return ::ppoll(&p, 1, &timeout, nullptr) > 0 && p.revents != 0;
}

QByteArray UnixLine::read() {
    QByteArray out;
    if (!isOpen() || lostReported())
        return out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, qsizetype(n));
            m_readFailures = 0;
            continue;
        }
        const int error = n < 0 ? errno : 0;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK)
            break;
        // No bytes from a line that said it had some: it was hung up, or its device is
        // gone. A hung-up or removed device refuses every request; anything else may pass.
        termios line{};
        const bool gone = n == 0 || error == EIO || error == ENXIO || error == ENODEV ||
                          ::tcgetattr(m_fd, &line) != 0;
        if (gone || ++m_readFailures >= kReadFailuresTolerated)
            noticeGone(n == 0 ? QStringLiteral("the line was hung up") : osError(error));
        break;
    }
    return out;
}

void UnixLine::noticeGone(const QString &cause) {
    // The notifier of a lost device keeps firing until it is closed; the one report
    // follows in the next event pass, where the receiver may close the line.
    if (m_notifier)
        m_notifier->setEnabled(false);
    QString reason = QStringLiteral("%1 is no longer available: %2").arg(m_device, cause);
    if (!QFileInfo::exists(m_device))
        reason += QStringLiteral(" (the device was removed)");
    reportLost(reason);
}

} // namespace

std::unique_ptr<Line> makeSerialLine(const QString &device) {
    return std::make_unique<UnixLine>(device);
}

} // namespace serial
