#include "netline.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSignalBlocker>
#include <QtEndian>
#include <algorithm>
#include <iterator>
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
// One pass of the line's own waits, after which the thread's events run: as short as a pass
// of Send's wait, so that a cancel or a repaint never waits on the network.
constexpr qint64 kPassNs = 1'000'000;
// A server that sends requests and never reads the answers would have them pile up here
// without end; a Telnet negotiation takes a few hundred bytes.
constexpr qint64 kMaxQueued = 64 * 1024;
// Of what the server sends as data before the line is set up, only its first words are
// kept: they may say why it closes (ser2net's "Port already in use").
constexpr qsizetype kSetUpWordsKept = 1024;
qint64 byteTimeNs(qint32 baud, qint64 bytes) {
    return bytes * kBitsPerByte * 1'000'000'000 / std::max<qint64>(baud, 1);
}

QString seconds(std::chrono::milliseconds time) {
    return QString::number(double(time.count()) / 1000.0);
}

} // namespace

NetLine::NetLine(const PortAddress &address, QObject *parent)
    : Line(parent), m_text(address.written), m_address(address) {
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
    holdEvents();
    close();
}

bool NetLine::open(const LineSettings &settings) {
    if (m_open)
        return true;
    clearFailure();
    if (!m_address.valid())
        return fail(LineFault::Missing, m_address.error);
    beginSession();
    m_cancelled = false;
    m_overflow = false;
    m_data.clear();
    m_received = 0;
    m_setUpAnswers = 0;
    m_baudConfirmations = 0;
    m_confirmed.clear();
    m_telnet.reset();
    m_socket.abort();

    const QString where = QStringLiteral("%1:%2").arg(m_address.host).arg(m_address.port);
    m_socket.connectToHost(m_address.host, m_address.port);
    const Ended connected = waitUntil(
        QDeadlineTimer(kConnectTimeout),
        [this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, true);
    if (connected != Ended::Done) {
        const QString why =
            connected == Ended::Cancelled ? QStringLiteral("cancelled")
            : connected == Ended::Expired
                ? QStringLiteral("no connection within %1 s").arg(seconds(kConnectTimeout))
                : m_socket.errorString();
        m_socket.abort();
        return fail(connected == Ended::Cancelled ? LineFault::Unusable : LineFault::Missing,
                    QStringLiteral("%1: connecting to %2: %3").arg(m_text, where, why));
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
    if (const Ended dropped = dropStaleInput(); dropped != Ended::Expired) {
        failStep(dropped, QStringLiteral("the open"));
        m_socket.abort();
        m_telnet.reset();
        return false;
    }
    m_data.clear();
    m_baud = settings.baud;
    m_lineFreeAtNs = m_clock.nsecsElapsed();
    m_open = true;
    qCDebug(lcSerial).noquote() << "connected" << m_text
                                << (telnet() ? "with serial port control" : "raw");
    return true;
}

// Input is read and dropped until the line has been quiet for a moment; Expired is the
// good end.
NetLine::Ended NetLine::dropStaleInput() {
    const QDeadlineTimer limit(kOpenDiscardLimit);
    for (;;) {
        m_data.clear();
        const qint64 before = m_received;
        const QDeadlineTimer quiet(std::min<qint64>(kOpenQuiet.count(), limit.remainingTime()));
        const Ended ended = waitUntil(quiet, [&] { return m_received != before; });
        if (ended != Ended::Done || limit.hasExpired()) {
            m_data.clear();
            return ended == Ended::Done ? Ended::Expired : ended;
        }
    }
}

bool NetLine::negotiate(const LineSettings &settings) {
    const QString negotiation = QStringLiteral("the negotiation");
    if (const Ended sent = sendAll(m_telnet->start(true), QDeadlineTimer(kAnswerTimeout));
        sent != Ended::Done)
        return failStep(sent, negotiation);
    const Ended offered = waitUntil(QDeadlineTimer(kAnswerTimeout), [this] {
        return m_telnet->comPort() != telnet::Client::ComPortState::Asked;
    });
    if (offered != Ended::Done)
        return failStep(offered, negotiation);
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
    const QString portSettings = QStringLiteral("the port settings");
    if (const Ended sent = sendAll(setUp, QDeadlineTimer(kAnswerTimeout)); sent != Ended::Done)
        return failStep(sent, portSettings);
    return checkSettings(settings, flow);
}

namespace {

// The settings the open asks the server for, each as its confirmation names it.
struct Confirmed {
    telnet::ComPort command;
    const char *name;
};
constexpr Confirmed kConfirmedSettings[] = {
    {telnet::ComPort::SetBaudrate, "speed"},       {telnet::ComPort::SetDatasize, "data size"},
    {telnet::ComPort::SetParity, "parity"},        {telnet::ComPort::SetStopsize, "stop size"},
    {telnet::ComPort::SetControl, "flow control"},
};

QString parityName(quint8 value) {
    static const char *const names[] = {"unchanged", "none", "odd", "even", "mark", "space"};
    return value < std::size(names) ? QString::fromLatin1(names[value]) : QString::number(value);
}

QString stopName(quint8 value) {
    static const char *const names[] = {"unchanged", "1", "2", "1.5"};
    return value < std::size(names) ? QString::fromLatin1(names[value]) : QString::number(value);
}

QString flowName(quint8 value) {
    static const char *const names[] = {"unchanged", "none", "XON/XOFF", "RTS/CTS"};
    return value < std::size(names) ? QString::fromLatin1(names[value]) : QString::number(value);
}

} // namespace

// Every setting the line depends on must come back as it was asked for: a server that
// answers with its own (or keeps one back) would leave the far UART garbling each frame.
bool NetLine::checkSettings(const LineSettings &settings, quint8 flow) {
    const auto allConfirmed = [this] {
        for (const Confirmed &c : kConfirmedSettings)
            if (!m_confirmed.contains(int(c.command)))
                return false;
        return true;
    };
    const Ended answered = waitUntil(QDeadlineTimer(kAnswerTimeout), allConfirmed);
    if (answered == Ended::Expired && !m_confirmed.isEmpty()) {
        for (const Confirmed &c : kConfirmedSettings)
            if (!m_confirmed.contains(int(c.command)))
                return fail(LineFault::Settings,
                            QStringLiteral("%1 did not confirm the %2 of the line within %3 s")
                                .arg(m_text, QLatin1String(c.name), seconds(kAnswerTimeout)));
    }
    if (answered != Ended::Done)
        return failStep(answered, QStringLiteral("the port settings"));

    const auto byte = [this](telnet::ComPort command) {
        const QByteArray value = m_confirmed.value(int(command));
        return value.isEmpty() ? quint8(0) : quint8(value[0]);
    };
    const QByteArray baud = m_confirmed.value(int(telnet::ComPort::SetBaudrate));
    const quint32 confirmed =
        baud.size() == 4 ? qFromBigEndian<quint32>(baud.constData()) : quint32(0);
    if (confirmed != quint32(settings.baud))
        return fail(LineFault::Settings, QStringLiteral("%1 set the line to %2 baud instead of %3")
                                             .arg(m_text)
                                             .arg(confirmed)
                                             .arg(settings.baud));
    if (const quint8 bits = byte(telnet::ComPort::SetDatasize); bits != telnet::kDatasize8)
        return fail(
            LineFault::Settings,
            QStringLiteral("%1 set the line to %2 data bits instead of 8").arg(m_text).arg(bits));
    if (const quint8 parity = byte(telnet::ComPort::SetParity); parity != telnet::kParityNone)
        return fail(LineFault::Settings,
                    QStringLiteral("%1 set the line's parity to %2 instead of none")
                        .arg(m_text, parityName(parity)));
    if (const quint8 stop = byte(telnet::ComPort::SetStopsize); stop != telnet::kStopsize1)
        return fail(LineFault::Settings,
                    QStringLiteral("%1 set the line to %2 stop bits instead of 1")
                        .arg(m_text, stopName(stop)));
    if (const quint8 control = byte(telnet::ComPort::SetControl); control != flow)
        return fail(LineFault::Settings,
                    QStringLiteral("%1 set the line's flow control to %2 instead of %3")
                        .arg(m_text, flowName(control), flowName(flow)));
    return true;
}

// Runs passes until `done` holds, the deadline passes, the connection ends, the server asks
// for more than it may, or the line is closed from an event meanwhile (a cancel). Each pass takes in what
// the server sent and then lets the thread's events run, as a pass of Send's wait does.
NetLine::Ended NetLine::waitUntil(const QDeadlineTimer &deadline, const std::function<bool()> &done,
                                  bool connecting) {
    ++m_waitDepth;
    const auto ended = [this](Ended how) {
        --m_waitDepth;
        return how;
    };
    for (;;) {
        if (!connecting)
            takeIn();
        if (m_cancelled)
            return ended(Ended::Cancelled);
        if (m_overflow)
            return ended(Ended::Overflow);
        if (done())
            return ended(Ended::Done);
        const QAbstractSocket::SocketState state = m_socket.state();
        if (connecting ? state == QAbstractSocket::UnconnectedState
                       : state != QAbstractSocket::ConnectedState)
            return ended(Ended::Gone);
        if (deadline.hasExpired())
            return ended(Ended::Expired);
        pass(std::min<qint64>(kPassNs, deadline.remainingTimeNSecs()));
    }
}

void NetLine::pass(qint64 timeoutNs) {
    if (m_socket.state() == QAbstractSocket::ConnectedState) {
        if (m_socket.bytesToWrite() > 0)
            m_socket.flush();
        readable(timeoutNs);
    } else {
        idleUntil(QDeadlineTimer(std::chrono::nanoseconds(std::max<qint64>(0, timeoutNs))));
    }
    if (!eventsHeld())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    else if (m_socket.state() == QAbstractSocket::ConnectingState)
        m_socket.waitForConnected(0);
}

NetLine::Ended NetLine::sendAll(const QByteArray &wire, const QDeadlineTimer &deadline) {
    if (!send(wire))
        return m_overflow ? Ended::Overflow : Ended::Gone;
    return waitUntil(deadline, [this] { return m_socket.bytesToWrite() == 0; });
}

// A step of the set-up did not end as it should: cancelled, flooded, or the server closed
// or kept silent.
bool NetLine::failStep(Ended ended, const QString &what) {
    // The port control closes a line that it was told is lost, as a cancel does.
    if (ended == Ended::Cancelled && lostReported())
        return fail(LineFault::Unusable, QStringLiteral("%1 (during %2)").arg(lostReason(), what));
    if (ended == Ended::Cancelled)
        return fail(LineFault::Unusable,
                    QStringLiteral("%1: cancelled during %2").arg(m_text, what));
    if (ended == Ended::Overflow)
        return fail(LineFault::Unusable, overflowText(what));
    return failNegotiation(what);
}

QString NetLine::overflowText(const QString &what) const {
    return QStringLiteral("%1 kept sending Telnet requests during %2 (more than %3 KiB of "
                          "answers owed or waiting to be sent)")
        .arg(m_text, what)
        .arg(kMaxQueued / 1024);
}

// The server ended the connection or kept silent while it was being set up. ser2net, for
// one, accepts a second client only to tell it that the port is taken, and closes.
bool NetLine::failNegotiation(const QString &what) {
    if (m_socket.state() == QAbstractSocket::ConnectedState)
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
    if (m_waitDepth > 0) {
        // From an event inside one of the line's own waits (the user's cancel, a signal):
        // that wait ends at its next pass and its caller lets go of the connection; nothing
        // it still uses may go from under it here.
        if (m_open || m_socket.state() != QAbstractSocket::UnconnectedState) {
            m_cancelled = true;
            m_open = false;
            endSession();
        }
        return;
    }
    if (!m_open && m_socket.state() == QAbstractSocket::UnconnectedState)
        return;
    const bool wasOpen = std::exchange(m_open, false);
    endSession();
    if (wasOpen && m_socket.state() == QAbstractSocket::ConnectedState) {
        const QSignalBlocker quiet(&m_socket);
        m_socket.flush();
#ifdef Q_OS_UNIX
        // Half-close and wait for the server's own close: until then a server that takes
        // one client at a time (ser2net) may still count this connection.
        ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
        m_closing = true;
        waitUntil(QDeadlineTimer(kCloseWait), [] { return false; });
        m_closing = false;
#endif
    }
    m_socket.abort();
    m_data.clear();
    m_telnet.reset();
    m_cancelled = false;
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
    const QString change = QStringLiteral("the speed change");
    // The far UART must have sent every byte written at the old speed before it changes.
    // The protocol says when the server has them (the socket's queue is acknowledged);
    // how long the UART then takes is their line time at the old speed, counted from
    // when they were written.
    if (const Ended drained = waitUntilSent(drainDeadline()); drained != Ended::Done) {
        if (drained == Ended::Cancelled || drained == Ended::Overflow)
            return failStep(drained, change);
        return fail(LineFault::Settings,
                    QStringLiteral("%1: the bytes written at %2 baud did not leave in time")
                        .arg(m_text)
                        .arg(m_baud));
    }
    const int before = m_baudConfirmations;
    if (const Ended sent =
            sendAll(telnet::setBaudrate(quint32(baud)), QDeadlineTimer(kAnswerTimeout));
        sent != Ended::Done) {
        if (sent == Ended::Cancelled || sent == Ended::Overflow)
            return failStep(sent, change);
        return fail(LineFault::Settings,
                    QStringLiteral("%1: the speed change could not be sent").arg(m_text));
    }
    const Ended answered =
        waitUntil(QDeadlineTimer(kAnswerTimeout), [&] { return m_baudConfirmations > before; });
    if (m_open && !m_data.isEmpty()) {
        // Input that came in while the confirmation was awaited is announced as usual.
        post([this] {
            if (!m_data.isEmpty())
                emit readyRead();
        });
    }
    if (answered == Ended::Cancelled || answered == Ended::Overflow)
        return failStep(answered, change);
    if (answered != Ended::Done)
        return fail(LineFault::Settings,
                    QStringLiteral("%1 did not confirm the change to %2 baud within %3 s")
                        .arg(m_text)
                        .arg(baud)
                        .arg(seconds(kAnswerTimeout)));
    const quint32 now = m_telnet->confirmedBaudrate().value_or(0);
    // The line is at whatever the server said, and a later request for the same speed is
    // not taken for one already made.
    m_baud = qint32(now);
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
        return fail(LineFault::NotOpen, QStringLiteral("%1 is not connected").arg(m_text));
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
// keep them until the next round of event processing. What the server does not take stays
// queued here, up to a bound.
bool NetLine::send(const QByteArray &wire) {
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return false;
    if (m_socket.bytesToWrite() + wire.size() > kMaxQueued) {
        m_overflow = true;
        return false;
    }
    if (m_socket.write(wire) != wire.size())
        return false;
    m_socket.flush();
    return true;
}

// Written bytes go out while the server takes them, up to the deadline; the waits of a
// write between frames leave the thread's events alone, as the write of a local line does.
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
NetLine::Ended NetLine::waitUntilSent(const QDeadlineTimer &deadline) {
    const auto sent = [this] {
        if (m_socket.bytesToWrite() > 0)
            return false;
#ifdef Q_OS_LINUX
        int queued = 0;
        if (::ioctl(int(m_socket.socketDescriptor()), SIOCOUTQ, &queued) == 0 && queued > 0)
            return false;
#endif
        return m_lineFreeAtNs <= m_clock.nsecsElapsed();
    };
    const Ended ended = waitUntil(deadline, sent);
    // A server that closes once it has every byte (the far end done with the session) has
    // taken them: what it does with them is beyond this line's view.
    if (ended == Ended::Gone && m_socket.bytesToWrite() == 0)
        return Ended::Done;
    return ended;
}

QDeadlineTimer NetLine::drainDeadline() const {
    const qint64 pendingNs = std::max<qint64>(0, m_lineFreeAtNs - m_clock.nsecsElapsed());
    return QDeadlineTimer(
        lineTime(m_baud, 0) +
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds(pendingNs)));
}

bool NetLine::drain() {
    if (!m_open)
        return true;
    return waitUntilSent(drainDeadline()) == Ended::Done;
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

bool NetLine::awaitInput(const QDeadlineTimer &deadline) {
    // What came before the server closed is still there to read.
    if (!m_data.isEmpty())
        return true;
    return m_socket.state() == QAbstractSocket::ConnectedState &&
           readable(deadline.remainingTimeNSecs());
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
    if (in.isEmpty() || m_closing)
        return; // nothing of what comes while closing is wanted any more
    acknowledgeNow();
    QByteArray data = in;
    if (telnet()) {
        data = m_telnet->feed(in);
        const QByteArray answers = m_telnet->takeAnswers();
        // A negotiation owes a few answers; a server that asks again and again during the
        // set-up is not negotiating, whether or not it reads them.
        if (!m_open && (m_setUpAnswers += answers.size()) > kMaxQueued)
            m_overflow = true;
        else if (!answers.isEmpty() && !send(answers) && m_overflow)
            reportLost(overflowText(QStringLiteral("the session")));
        for (const telnet::Notice &notice : m_telnet->takeNotices()) {
            if (notice.command == telnet::ComPort::SetBaudrate)
                ++m_baudConfirmations;
            if (!m_open && !m_confirmed.contains(int(notice.command)))
                m_confirmed.insert(int(notice.command), notice.value);
        }
    }
    if (data.isEmpty())
        return;
    farEndAnswered();
    m_received += data.size();
    if (!m_open) {
        // Before the line is set up nothing of it is read as data; its first words are kept
        // for a message.
        m_data += data.left(std::max<qsizetype>(0, kSetUpWordsKept - m_data.size()));
        return;
    }
    m_data += data;
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

} // namespace serial
