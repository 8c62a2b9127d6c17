// One line to the instrument, whatever carries it: a serial device through the platform's
// own interface, or a network connection to a remote serial port (netline.h). The port control
// (commport.h) drives every kind through this interface alone. A line belongs to the thread
// that made it and tells of input and of its loss through that thread's event processing.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "portaddress.h"
#include "portnames.h" // DeviceIdentity

namespace serial {

// Every line carries 8 data bits, no parity and 1 stop bit: with the start bit, ten bits on
// the wire for each byte.
inline constexpr int kBitsPerByte = 10;
// The speed of a line (and of the port control) that has not been told one.
inline constexpr qint32 kDefaultBaud = 9600;

struct LineSettings {
    qint32 baud = kDefaultBaud;
    enum class Flow { None, Software, Hardware } flow = Flow::None;
    bool dtr = false;
    bool rts = false;
};

// Why an operation failed, from the line up to the users of the port control, which reports
// these same values. Each has the number of the port control's error of that kind, as its
// users have always known them (8002 invalid port, 8005 port already open).
enum class LineFault {
    None = 0,
    Missing = 8002,     // no such device or address (or it has gone since)
    InUse = 8005,       // another program holds it
    Permission = 8090,  // this user may not open it
    Unusable = 8091,    // it exists but cannot serve as a line (not a terminal, a refusal)
    Settings = 380,     // the line refused the speed or format; a settings text not "<baud>,N,8,1"
    NotOpen = 8018,     // the operation needs an open line
    WriteFailed = 8092, // the bytes could not be handed over in time
};

struct LineFailure {
    LineFault fault = LineFault::None;
    QString reason;      // the system's (or the far end's) words, naming the device
    QString holder = {}; // InUse: who holds it, for the user, when that is known
};

// Counts the sessions of a line or a port (from an open to its close), so that an event
// queued in one never reaches a later one.
class SessionGuard {
public:
    // At every open and every close.
    void next() { ++m_session; }
    // Runs `event` in a later pass of the event processing of `owner`'s thread, if `owner` (who
    // holds this guard) is open then in the session it was queued in.
    template <class Owner> void post(Owner *owner, std::function<void()> event) {
        QMetaObject::invokeMethod(
            owner,
            [this, owner, session = m_session, event = std::move(event)] {
                if (session == m_session && owner->isOpen())
                    event();
            },
            Qt::QueuedConnection);
    }

private:
    quint64 m_session = 0;
};

// The wait of a line or port with nothing to wait for (closed, or gone): no input, and the
// deadline passes all the same, so that a caller's passes keep their pace.
bool idleUntil(const QDeadlineTimer &deadline);

class Line : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Opens the line with these settings; false with failure() set. A line that cannot be
    // reached at all fails with Missing, one held by another program with InUse. Whatever
    // the line held before the open is discarded: nothing of an earlier session is read.
    virtual bool open(const LineSettings &settings) = 0;
    // Closes at once; what is still queued is dropped (drain() first to keep it).
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // The device (or address) actually opened, for messages.
    virtual QString name() const = 0;

    // The new speed applies once the bytes already written have left as far as the line
    // can tell. A line whose far end is reached through a protocol changes it there as
    // the protocol allows.
    virtual bool setBaudRate(qint32 baud) = 0;
    // Raises or lowers the modem lines where the line has them; a line without them
    // ignores the request.
    virtual void setModemLines(bool dtr, bool rts) = 0;

    // Hands every byte to the line, in order, before it returns; waits for room as long as
    // the bytes take on the wire plus a margin, then fails with WriteFailed.
    virtual bool write(const QByteArray &bytes) = 0;
    // Waits until what was written has left, within a deadline that grows with what is
    // still queued. False when the line stopped moving first.
    virtual bool drain() = 0;
    // Drops what is queued for output (a line that stopped moving) or held as input.
    virtual void purgeOutput() = 0;
    virtual void purgeInput() = 0;

    // Blocks until input is there or the deadline passes; true when there is input (not
    // taken yet). A closed line, and one found lost that holds nothing more, waits for the
    // deadline.
    bool waitForInput(const QDeadlineTimer &deadline);
    // What has arrived so far, without waiting. Finding the line gone here reports it
    // through lost() as well.
    virtual QByteArray read() = 0;

    LineFailure failure() const { return m_failure; }

    // The device a port's resolution reached (portnames.h): the open takes that path rather
    // than resolving the entry again, and refuses a file other than the one it saw.
    void expectDevice(const QString &path, const DeviceIdentity &identity) {
        m_expectedPath = path;
        m_expectedIdentity = identity;
    }
    // A line whose waits let the thread's events run (a network line's set-up) leaves them
    // alone from now on: a line closed while its owner is being destroyed must not run
    // events for a window that is half gone.
    void holdEvents() { m_eventsHeld = true; }

signals:
    // Input is there to read(). Raised again while it stays unread.
    void readyRead();
    // The line went away while open (device removed, line hung up, connection dropped).
    // Raised once per open, from the event loop, never inside a call into the line; the
    // line is still open and the receiver closes it.
    void lost(const QString &reason);

protected:
    // The wait of an open line (waitForInput): true once input is there; false at the
    // deadline, or at once when nothing can come any more.
    virtual bool awaitInput(const QDeadlineTimer &deadline) = 0;

    // Every open begins a session and every close ends it: what the line queued for its
    // users in one (readyRead, lost) is dropped in every later one.
    void beginSession() {
        m_sessions.next();
        m_lostReason.reset();
    }
    void endSession() { m_sessions.next(); }
    // Runs `event` in a later pass of the thread's event processing, if the line is still
    // open in this session then.
    void post(std::function<void()> event) { m_sessions.post(this, std::move(event)); }
    // The line went away while open: lost(reason) follows once for this open, in a later
    // event pass; every later report of the same open is dropped.
    void reportLost(const QString &reason);
    bool lostReported() const { return m_lostReason.has_value(); }
    QString lostReason() const { return m_lostReason.value_or(QString()); }

    bool fail(LineFault fault, const QString &reason, const QString &holder = {}) {
        m_failure = LineFailure{fault, reason, holder};
        return false;
    }
    void clearFailure() { m_failure = {}; }
    QString expectedPath() const { return m_expectedPath; }
    DeviceIdentity expectedIdentity() const { return m_expectedIdentity; }
    bool eventsHeld() const { return m_eventsHeld; }

private:
    SessionGuard m_sessions;
    std::optional<QString> m_lostReason; // lost() is on its way, or was raised, for this open
    LineFailure m_failure;
    QString m_expectedPath;
    DeviceIdentity m_expectedIdentity;
    bool m_eventsHeld = false;
};

// The line for a port of the address's kind (portaddress.h).
std::unique_ptr<Line> makeLine(const PortAddress &address);

// After the flush at the open, every line drops what still arrives until it has been quiet
// this long: bytes an adapter still held or that were on the wire (a USB adapter passes its
// buffer on within its latency timer, 16 ms at most), a late reply, a server's chatter. A
// line that keeps talking (a meter running its firmware) is not waited out past the limit.
inline constexpr std::chrono::milliseconds kOpenQuiet{20};
inline constexpr std::chrono::milliseconds kOpenDiscardLimit{250};

// The serial lines' own (line_unix.cpp, line_windows.cpp): how often a drain looks at the
// driver's output queue, and the read faults in a row, on a line that still answers, before it
// counts as lost: enough for passing faults, few enough that a failing line cannot keep the
// event loop busy.
inline constexpr std::chrono::milliseconds kDrainPoll{1};
inline constexpr int kReadFailuresTolerated = 50;

// What `bytes` take on a line at `baud`, plus the slack for driver latency, an adapter's own
// buffer and the scheduler that any wait for them allows.
std::chrono::milliseconds lineTime(qint32 baud, qint64 bytes);

} // namespace serial
