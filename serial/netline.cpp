#include "netline.h"

#include <QLoggingCategory>
#include <QSignalBlocker>
#include <algorithm>
#include <thread>
#include <utility>

#ifdef Q_OS_UNIX
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#endif

Q_DECLARE_LOGGING_CATEGORY(lcSerial)

namespace serial {

namespace {

using namespace std::chrono_literals;

// A TCP handshake across the Internet takes well under a second; a host that has not
// answered in this time is not reachable now.
constexpr std::chrono::milliseconds kConnectTimeout = 5s;
// A Telnet server answers a negotiation or confirms a setting within a round trip; this
// is many round trips of a slow link, and still short enough to wait out in the window.
constexpr std::chrono::milliseconds kAnswerTimeout = 3s;
// After the tool has closed its side, the time it gives the server to close the
// connection too, so that a port opened again at once does not find it still taken.
constexpr std::chrono::milliseconds kCloseWait = 1s;
// How often a drain looks at the socket's send queue.
constexpr std::chrono::milliseconds kDrainPoll = 1ms;
// One start bit, eight data bits, one stop bit.
constexpr qint64 kBitsPerByte = 10;

qint64 byteTimeNs(qint32 baud, qint64 bytes) {
    return bytes * kBitsPerByte * 1'000'000'000 / std::max<qint64>(baud, 1);
}

QString seconds(std::chrono::milliseconds time) {
    return QString::number(double(time.count()) / 1000.0);
}

} // namespace

NetLine::NetLine(const QString &text, QObject *parent) : Line(parent), m_text(text) {
    const ParsedNetAddress parsed = parseNetAddress(text);
    m_address = parsed.address;
    m_addressError = parsed.error;
    m_clock.start();
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        // Not from inside a call into the line: takeIn() reads those bytes itself.
        if (m_open && !m_taking)
            emit readyRead();
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &NetLine::onSocketError);
    connect(&m_socket, &QTcpSocket::disconnected, this, [this] {
        reportLost(QStringLiteral("%1: the server closed the connection").arg(m_text));
    });
}

NetLine::~NetLine() {
    const QSignalBlocker quiet(this);
    close();
}

bool NetLine::carriesSettings() const {
    return m_address && m_address->kind == NetAddress::Kind::Rfc2217;
}

bool NetLine::open(const LineSettings &settings) {
    if (m_open)
        return true;
    clearFailure();
    if (!m_address)
        return fail(LineFault::Missing, m_addressError);
    ++m_session;
    m_lostReported = false;
    m_data.clear();
    m_baudConfirmations = 0;
    m_telnet.reset();
    m_socket.abort();

    m_socket.connectToHost(m_address->host, m_address->port);
    if (!m_socket.waitForConnected(int(kConnectTimeout.count()))) {
        const QString why =
            m_socket.error() == QAbstractSocket::SocketTimeoutError
                ? QStringLiteral("no connection within %1 s").arg(seconds(kConnectTimeout))
                : m_socket.errorString();
        m_socket.abort();
        return fail(LineFault::Missing, QStringLiteral("%1: %2").arg(m_text, why));
    }
    // Each frame is one small write that is answered before the next: nothing may hold
    // it back to gather more.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);

    if (carriesSettings()) {
        m_telnet.emplace();
        if (!negotiate(settings)) {
            m_socket.abort();
            m_telnet.reset();
            return false;
        }
    }
    // Nothing the far end sent before the line was set up belongs to this session.
    m_data.clear();
    m_baud = settings.baud;
    m_lineFreeAtNs = m_clock.nsecsElapsed();
    m_open = true;
    qCDebug(lcSerial).noquote() << "connected" << m_text
                                << (telnet() ? "with serial port control" : "raw");
    return true;
}

bool NetLine::negotiate(const LineSettings &settings) {
    if (!sendBlocking(m_telnet->start(true), QDeadlineTimer(kAnswerTimeout)))
        return failNegotiation(QStringLiteral("the negotiation"));
    const QDeadlineTimer offered(kAnswerTimeout);
    if (!awaitAnswer(offered,
                     [this] { return m_telnet->comPort() != telnet::Client::ComPortState::Asked; }))
        return failNegotiation(QStringLiteral("the negotiation"));
    if (m_telnet->comPort() == telnet::Client::ComPortState::Refused)
        return fail(LineFault::Unusable,
                    QStringLiteral("%1 refused remote serial port control (the Telnet "
                                   "COM-PORT-OPTION of RFC 2217): it serves plain Telnet or raw "
                                   "TCP only")
                        .arg(m_text));

    using namespace telnet;
    const quint8 flow = settings.flow == LineSettings::Flow::Hardware   ? kControlHardwareFlow
                        : settings.flow == LineSettings::Flow::Software ? kControlXonXoff
                                                                        : kControlNoFlow;
    const QByteArray setUp = setBaudrate(quint32(settings.baud)) + setDatasize(kDatasize8) +
                             setParity(kParityNone) + setStopsize(kStopsize1) + setControl(flow) +
                             setControl(settings.dtr ? kControlDtrOn : kControlDtrOff) +
                             setControl(settings.rts ? kControlRtsOn : kControlRtsOff) +
                             purgeData(kPurgeBoth);
    if (!sendBlocking(setUp, QDeadlineTimer(kAnswerTimeout)))
        return failNegotiation(QStringLiteral("the port settings"));
    if (!awaitAnswer(QDeadlineTimer(kAnswerTimeout), [this] { return m_baudConfirmations > 0; }))
        return failNegotiation(QStringLiteral("the port settings"));
    const quint32 confirmed = m_telnet->confirmedBaudrate().value_or(0);
    if (confirmed != quint32(settings.baud))
        return fail(LineFault::Settings, QStringLiteral("%1 set the line to %2 baud instead of %3")
                                             .arg(m_text)
                                             .arg(confirmed)
                                             .arg(settings.baud));
    return true;
}

// Takes in what the server sends until `answered` holds, the deadline passes or the
// connection ends. Data that arrives meanwhile is kept for read().
bool NetLine::awaitAnswer(const QDeadlineTimer &deadline, const std::function<bool()> &answered) {
    takeIn();
    while (!answered()) {
        if (m_socket.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
            return false;
        if (readable(deadline.remainingTimeNSecs()))
            takeIn();
    }
    return true;
}

// The server ended the connection or kept silent while it was being set up. ser2net, for
// one, accepts a second client only to tell it that the port is taken, and closes.
bool NetLine::failNegotiation(const QString &what) {
    takeIn();
    const QString words = QString::fromLatin1(m_data).simplified();
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        return fail(LineFault::Unusable,
                    QStringLiteral("%1 did not answer %2 for remote serial port control "
                                   "within %3 s")
                        .arg(m_text, what, seconds(kAnswerTimeout)));
    if (words.contains(QStringLiteral("in use"), Qt::CaseInsensitive))
        return fail(LineFault::InUse,
                    QStringLiteral("%1 serves another client: %2").arg(m_text, words), words);
    return fail(
        LineFault::Unusable,
        words.isEmpty()
            ? QStringLiteral("%1 closed the connection during %2").arg(m_text, what)
            : QStringLiteral("%1 closed the connection during %2: %3").arg(m_text, what, words));
}

void NetLine::close() {
    if (!m_open && m_socket.state() == QAbstractSocket::UnconnectedState)
        return;
    const bool wasOpen = std::exchange(m_open, false);
    ++m_session;
    if (wasOpen && m_socket.state() == QAbstractSocket::ConnectedState) {
        const QSignalBlocker quiet(&m_socket);
        m_socket.flush();
#ifdef Q_OS_UNIX
        // Half-close and wait for the server's own close: until then a server that takes
        // one client at a time (ser2net) may still count this connection.
        ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
        const QDeadlineTimer deadline(kCloseWait);
        while (!deadline.hasExpired() && m_socket.state() == QAbstractSocket::ConnectedState) {
            if (!readable(deadline.remainingTimeNSecs()))
                break;
            if (m_socket.bytesAvailable() == 0)
                m_socket.waitForReadyRead(0);
            m_socket.readAll(); // nothing of it is wanted any more
        }
#endif
    }
    m_socket.abort();
    m_data.clear();
    m_telnet.reset();
    qCDebug(lcSerial).noquote() << "disconnected" << m_text;
}

bool NetLine::setBaudRate(qint32 baud) {
    if (!m_open) {
        m_baud = baud;
        return true;
    }
    if (!telnet() || baud == m_baud) {
        m_baud = baud;
        return true;
    }
    // The far UART must have sent every byte written at the old speed before it changes.
    // The protocol says when the server has them (the socket's queue is acknowledged);
    // how long the UART then takes is their line time at the old speed, counted from
    // when they were written.
    if (!drain())
        return fail(LineFault::Settings,
                    QStringLiteral("%1: the bytes written at %2 baud did not leave in time")
                        .arg(m_text)
                        .arg(m_baud));
    const int before = m_baudConfirmations;
    if (!sendBlocking(telnet::setBaudrate(quint32(baud)), QDeadlineTimer(kAnswerTimeout)))
        return fail(LineFault::Settings,
                    QStringLiteral("%1: the speed change could not be sent").arg(m_text));
    const bool confirmed =
        awaitAnswer(QDeadlineTimer(kAnswerTimeout), [&] { return m_baudConfirmations > before; });
    if (!m_data.isEmpty()) {
        // Input that came in while the confirmation was awaited is announced as usual.
        const quint64 session = m_session;
        QMetaObject::invokeMethod(
            this,
            [this, session] {
                if (session == m_session && m_open && !m_data.isEmpty())
                    emit readyRead();
            },
            Qt::QueuedConnection);
    }
    if (!confirmed)
        return fail(LineFault::Settings,
                    QStringLiteral("%1 did not confirm the change to %2 baud within %3 s")
                        .arg(m_text)
                        .arg(baud)
                        .arg(seconds(kAnswerTimeout)));
    const quint32 now = m_telnet->confirmedBaudrate().value_or(0);
    m_baud = baud;
    if (now != quint32(baud))
        return fail(LineFault::Settings, QStringLiteral("%1 set the line to %2 baud instead of %3")
                                             .arg(m_text)
                                             .arg(now)
                                             .arg(baud));
    qCDebug(lcSerial).noquote() << m_text << "now at" << baud << "baud";
    return true;
}

void NetLine::setModemLines(bool dtr, bool rts) {
    if (!m_open || !telnet())
        return;
    using namespace telnet;
    send(setControl(dtr ? kControlDtrOn : kControlDtrOff) +
         setControl(rts ? kControlRtsOn : kControlRtsOff));
}

bool NetLine::write(const QByteArray &bytes) {
    if (!m_open)
        return fail(LineFault::WriteFailed, QStringLiteral("%1 is not connected").arg(m_text));
    if (bytes.isEmpty())
        return true;
    const QByteArray wire = telnet() ? telnet::escape(bytes) : bytes;
    if (!sendBlocking(wire, QDeadlineTimer(lineTime(m_baud, bytes.size()))))
        return fail(LineFault::WriteFailed,
                    QStringLiteral("%1: the connection took only part of %2 bytes in time")
                        .arg(m_text)
                        .arg(bytes.size()));
    noteLineTime(bytes.size());
    return true;
}

void NetLine::noteLineTime(qint64 bytes) {
    const qint64 now = m_clock.nsecsElapsed();
    m_lineFreeAtNs = std::max(now, m_lineFreeAtNs) + byteTimeNs(m_baud, bytes);
}

// A server that sends each byte of a reply as it comes off the line (ser2net without
// chardelay) holds the next small segment until the last one is acknowledged (Nagle), and
// Linux delays acknowledgements by up to 40 ms: acknowledged at once, the reply's bytes
// follow each other as fast as the line delivers them. The kernel clears the request
// again by itself, so it is renewed after every read.
void NetLine::acknowledgeNow() {
#ifdef Q_OS_LINUX
    const int on = 1;
    ::setsockopt(int(m_socket.socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

// The instrument answers a frame only once it has all of it: what was written before has
// left the far UART, whatever its line time said.
void NetLine::farEndAnswered() {
    m_lineFreeAtNs = std::min(m_lineFreeAtNs, m_clock.nsecsElapsed());
}

// Hands the bytes to the operating system now; the socket's own buffer would otherwise
// keep them until the next round of event processing.
bool NetLine::send(const QByteArray &wire) {
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return false;
    if (m_socket.write(wire) != wire.size())
        return false;
    m_socket.flush();
    return true;
}

bool NetLine::sendBlocking(const QByteArray &wire, const QDeadlineTimer &deadline) {
    if (!send(wire))
        return false;
    while (m_socket.bytesToWrite() > 0) {
        if (m_socket.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
            return false;
        m_socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())));
    }
    return true;
}

// Every byte written is with the server (its TCP acknowledged them), and the far UART has
// had their line time to send them on.
bool NetLine::waitUntilSent(const QDeadlineTimer &deadline) {
    while (m_socket.bytesToWrite() > 0) {
        if (m_socket.state() != QAbstractSocket::ConnectedState || deadline.hasExpired())
            return false;
        m_socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())));
    }
#ifdef Q_OS_LINUX
    const int fd = int(m_socket.socketDescriptor());
    int queued = 0;
    while (::ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0) {
        if (deadline.hasExpired())
            return false;
        std::this_thread::sleep_for(kDrainPoll);
    }
#endif
    const qint64 left = m_lineFreeAtNs - m_clock.nsecsElapsed();
    if (left > 0) {
        if (left > deadline.remainingTimeNSecs())
            return false;
        std::this_thread::sleep_for(std::chrono::nanoseconds(left));
    }
    return true;
}

bool NetLine::drain() {
    if (!m_open)
        return true;
    const qint64 pendingNs = std::max<qint64>(0, m_lineFreeAtNs - m_clock.nsecsElapsed());
    const QDeadlineTimer deadline(
        lineTime(m_baud, 0) +
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds(pendingNs)));
    return waitUntilSent(deadline);
}

void NetLine::purgeOutput() {
    if (m_open && telnet())
        send(telnet::purgeData(telnet::kPurgeTransmit));
}

void NetLine::purgeInput() {
    if (!m_open)
        return;
    takeIn();
    m_data.clear();
    if (telnet())
        send(telnet::purgeData(telnet::kPurgeReceive));
}

bool NetLine::readable(qint64 timeoutNs) {
    if (m_socket.bytesAvailable() > 0)
        return true;
    const qintptr fd = m_socket.socketDescriptor();
    if (fd < 0)
        return false;
#ifdef Q_OS_UNIX
    const qint64 left = std::max<qint64>(0, timeoutNs);
    const timespec timeout{time_t(left / 1'000'000'000), long(left % 1'000'000'000)};
    pollfd p{int(fd), POLLIN, 0};
    return ::ppoll(&p, 1, &timeout, nullptr) > 0 && p.revents != 0;
#else
    return m_socket.waitForReadyRead(int((timeoutNs + 999'999) / 1'000'000));
#endif
}

bool NetLine::waitForInput(const QDeadlineTimer &deadline) {
    if (!m_data.isEmpty())
        return true;
    if (m_open && m_socket.state() == QAbstractSocket::ConnectedState)
        return readable(deadline.remainingTimeNSecs());
    std::this_thread::sleep_for(std::chrono::nanoseconds(deadline.remainingTimeNSecs()));
    return false;
}

// What the server sent, through the Telnet decoder where there is one; the answers it
// owes go back at once.
void NetLine::takeIn() {
    if (m_socket.state() == QAbstractSocket::ConnectedState && m_socket.bytesAvailable() == 0 &&
        readable(0)) {
        m_taking = true;
        m_socket.waitForReadyRead(0); // the bytes the kernel holds, without the event loop
        m_taking = false;
    }
    if (!m_socket.isOpen())
        return; // closed by the server, with nothing of it left unread
    const QByteArray in = m_socket.readAll();
    if (in.isEmpty())
        return;
    acknowledgeNow();
    if (!telnet()) {
        farEndAnswered();
        m_data += in;
        return;
    }
    const QByteArray data = m_telnet->feed(in);
    if (!data.isEmpty())
        farEndAnswered();
    m_data += data;
    const QByteArray answers = m_telnet->takeAnswers();
    if (!answers.isEmpty())
        send(answers);
    for (const telnet::Notice &notice : m_telnet->takeNotices()) {
        if (notice.command == telnet::ComPort::SetBaudrate)
            ++m_baudConfirmations;
    }
}

QByteArray NetLine::read() {
    if (!m_open)
        return {};
    takeIn();
    return std::exchange(m_data, QByteArray());
}

void NetLine::onSocketError(QAbstractSocket::SocketError error) {
    // A read that found nothing waiting reports a timeout; that is no fault of the line.
    if (error == QAbstractSocket::SocketTimeoutError)
        return;
    reportLost(QStringLiteral("%1: %2").arg(m_text, m_socket.errorString()));
}

void NetLine::reportLost(const QString &reason) {
    if (!m_open || m_lostReported)
        return;
    m_lostReported = true;
    const quint64 session = m_session;
    QMetaObject::invokeMethod(
        this,
        [this, session, reason] {
            if (session != m_session || !m_open)
                return;
            qCDebug(lcSerial).noquote() << "lost:" << reason;
            emit lost(reason);
        },
        Qt::QueuedConnection);
}

} // namespace serial
