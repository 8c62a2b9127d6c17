#include "commport.h"

#include "portnames.h"
#include "showntext.h"

#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <limits>
#include <optional>
#include <utility>

// Off unless asked for: QT_LOGGING_RULES="zarvo.serial.debug=true".
Q_LOGGING_CATEGORY(lcSerial, "zarvo.serial", QtWarningMsg)

namespace {

struct Busy {
    explicit Busy(int &depth) : m_depth(depth) { ++m_depth; }
    ~Busy() { --m_depth; }
    int &m_depth;
};

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

serial::LineSettings::Flow flowFor(int handshaking) {
    switch (handshaking) {
    case 1:
        return serial::LineSettings::Flow::Software;
    case 2:
    case 3: // RTS/CTS and XON/XOFF together: the hardware lines are the stronger guarantee
        return serial::LineSettings::Flow::Hardware;
    default:
        return serial::LineSettings::Flow::None;
    }
}

} // namespace

CommPort::CommPort(QObject *parent) : QObject(parent) {}

CommPort::~CommPort() {
    // Whoever listens to closed() may be gone before the port is.
    const QSignalBlocker quiet(this);
    if (m_line)
        m_line->holdEvents();
    close();
}

void CommPort::setCommPort(int port) {
    m_port = port;
}

QString CommPort::settingsFor(const QString &baud) {
    return baud + QStringLiteral(",N,8,1");
}

bool CommPort::setSettings(const QString &settings) {
    const std::optional<qint32> baud = parseSettings(settings);
    if (!baud) {
        setError(
            serial::LineFault::Settings,
            QStringLiteral("Invalid port settings \"%1\"; expected <baud>,N,8,1").arg(settings));
        return false;
    }
    // The bytes already written leave the line at the old speed.
    if (isOpen()) {
        const Busy busy(m_lineBusy);
        if (!m_line->setBaudRate(*baud)) {
            setLineError(serial::LineFault::Settings);
            return false;
        }
    }
    m_baud = *baud;
    m_settings = settings;
    return true;
}

bool CommPort::isOpen() const {
    return m_line && m_line->isOpen();
}

bool CommPort::open() {
    if (isOpen())
        return true;
    if (m_lineBusy > 0) {
        // From an event inside the line's own wait: that line is still in use below.
        setError(serial::LineFault::Unusable,
                 QStringLiteral("The port is busy opening or closing"));
        return false;
    }
    m_error = {};
    m_inBuffer.clear();
    m_sessions.next();

    // A number is resolved once, and the open takes what the resolution saw.
    serial::PortTarget target;
    if (m_deviceOverride.isEmpty())
        target = serial::resolvePort(m_port);
    else
        target.entry = m_deviceOverride;
    const QString entry = target.entry;
    if (entry.isEmpty()) {
        setError(serial::LineFault::Missing,
                 QStringLiteral("There is no serial port %1").arg(m_port));
        return false;
    }
    if (!target.problem.isEmpty()) {
        qCDebug(lcSerial).noquote() << "refused" << target.problem;
        setError(serial::LineFault::Unusable, target.problem);
        return false;
    }
    // A line for each open: nothing of the previous one (a loss it noticed late) reaches it.
    // A number's entry has been read by the resolution; a path given instead is read here.
    const serial::PortAddress address =
        m_deviceOverride.isEmpty()
            ? serial::parsePortAddress(target.address.isEmpty() ? entry : target.address)
            : serial::portAddressOf(entry);
    m_line = m_lineMaker ? m_lineMaker(address.written) : serial::makeLine(address);
    if (!target.device.isEmpty())
        m_line->expectDevice(target.device, target.identity);
    connect(m_line.get(), &serial::Line::readyRead, this, &CommPort::onReadyRead);
    connect(m_line.get(), &serial::Line::lost, this, &CommPort::onLineLost);
    const Busy busy(m_lineBusy);
    if (!m_line->open({m_baud, flowFor(m_handshaking), m_dtr, m_rts})) {
        setLineError(serial::LineFault::Unusable);
        return false;
    }
    qCDebug(lcSerial).noquote() << "opened" << m_line->name() << "for port" << m_port << "at"
                                << m_settings;
    return true;
}

bool CommPort::output(const QByteArray &bytes) {
    // The caller clears its reply flag once this returns, so no receive event may run
    // inside the write: one that comes due meanwhile is raised in the next event pass.
    m_writing = true;
    bool written = true;
    if (!isOpen()) {
        setError(serial::LineFault::NotOpen, QStringLiteral("The port is not open"));
        written = false;
    } else if (!bytes.isEmpty() && !m_line->write(bytes)) {
        setLineError(serial::LineFault::WriteFailed);
        written = false;
    }
    m_writing = false;
    if (m_receiveHeld) {
        m_receiveHeld = false;
        m_sessions.post(this, [this] { raiseReceiveIfDue(); });
    }
    return written;
}

QByteArray CommPort::input() {
    if (!isOpen()) {
        setError(serial::LineFault::NotOpen, QStringLiteral("The port is not open"));
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
    return m_line ? m_line->waitForInput(deadline) : serial::idleUntil(deadline);
}

void CommPort::takeInputNow() {
    if (isOpen())
        onReadyRead();
}

int CommPort::inBufferCount() const {
    return isOpen() ? int(m_inBuffer.size()) : 0;
}

void CommPort::putBack(const QByteArray &bytes) {
    if (isOpen())
        m_inBuffer.prepend(bytes);
}

void CommPort::takeArrived() {
    QByteArray arrived = m_line->read();
    if (m_nullDiscard)
        arrived.replace(QByteArray(1, '\0'), QByteArray());
    m_inBuffer += arrived;
}

void CommPort::onReadyRead() {
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

void CommPort::onLineLost(const QString &reason) {
    // Nothing can leave a line that is gone: no drain.
    if (isOpen())
        m_line->close();
    m_inBuffer.clear();
    qCDebug(lcSerial).noquote() << "lost:" << reason;
    emit deviceLost(reason);
}

bool CommPort::close() {
    if (m_lineBusy > 0) {
        // A cancel from an event inside the line's own wait (an open, a speed change, a
        // drain): the line lets go, and that wait returns at once to its caller, which
        // still holds the line.
        if (m_line)
            m_line->close();
        m_inBuffer.clear();
        return true;
    }
    if (!isOpen())
        return true;
    bool drained;
    {
        const Busy busy(m_lineBusy);
        drained = m_line->drain();
        if (!drained && m_line->isOpen()) {
            setError(serial::LineFault::WriteFailed,
                     QStringLiteral("%1: the line stopped taking bytes").arg(m_line->name()));
            // The line stopped moving. Dropping what is left keeps the close from waiting
            // its own half minute for it.
            m_line->purgeOutput();
        }
        qCDebug(lcSerial).noquote() << "closed" << m_line->name();
        m_line->close();
    }
    m_inBuffer.clear();
    emit closed();
    return drained;
}

void CommPort::setLineError(serial::LineFault fallback) {
    const serial::LineFailure failure = m_line->failure();
    setError(failure.fault == serial::LineFault::None ? fallback : failure.fault, failure.reason);
    m_error.holder = failure.holder;
}

void CommPort::setError(serial::LineFault fault, const QString &reason) {
    qCDebug(lcSerial).noquote() << "error" << int(fault) << reason;
    // Reasons carry device and link names that others may have chosen.
    m_error = Error{fault, serial::shownText(reason, 2 * serial::kShownPathLength)};
}
