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
#include <memory>

#include "portaddress.h"
#include "portnames.h" // DeviceIdentity

namespace serial {

struct LineSettings {
    qint32 baud = 9600; // always 8 data bits, no parity, 1 stop bit
    enum class Flow { None, Software, Hardware } flow = Flow::None;
    bool dtr = false;
    bool rts = false;
};

// Why an operation failed, in the terms the port control reports to its users.
enum class LineFault {
    None,
    Missing,     // no such device or address (or it has gone since)
    InUse,       // another program holds it
    Permission,  // this user may not open it
    Unusable,    // it exists but cannot serve as a line (not a terminal, a refusal)
    Settings,    // the line refused the speed or format
    WriteFailed, // the bytes could not be handed over in time
};

struct LineFailure {
    LineFault fault = LineFault::None;
    QString reason;      // the system's (or the far end's) words, naming the device
    QString holder = {}; // InUse: who holds it, for the user, when that is known
};

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
    // taken yet). A closed line waits for the deadline.
    virtual bool waitForInput(const QDeadlineTimer &deadline) = 0;
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
    bool fail(LineFault fault, const QString &reason, const QString &holder = {}) {
        m_failure = LineFailure{fault, reason, holder};
        return false;
    }
    void clearFailure() { m_failure = {}; }
    QString expectedPath() const { return m_expectedPath; }
    DeviceIdentity expectedIdentity() const { return m_expectedIdentity; }
    bool eventsHeld() const { return m_eventsHeld; }

private:
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

// What `bytes` take on a line at `baud` (10 bits a byte), plus the slack for driver
// latency, an adapter's own buffer and the scheduler that any wait for them allows.
std::chrono::milliseconds lineTime(qint32 baud, qint64 bytes);

} // namespace serial
