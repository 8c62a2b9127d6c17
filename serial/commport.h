// The serial port control the tool drives: one port, MSComm-style properties and events,
// on a line (line.h) of the platform. Every notification arrives on the thread that owns
// it, through its event processing; it owns no thread of its own.
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <chrono>
#include <functional>
#include <memory>
#include <utility>

#include "line.h"

class CommPort : public QObject {
    Q_OBJECT
public:
    static constexpr int kEvReceive = 2; // CommEvent: RThreshold bytes are buffered

    // The port's errors are its line's (line.h), which carry the port control's numbers:
    // Missing (8002) and InUse (8005) are the ones callers test for. The port adds its own
    // of the same kinds: a number no device has (Missing), settings text it cannot take
    // (Settings), a call that needs an open port (NotOpen).
    using Error = serial::LineFailure;

    explicit CommPort(QObject *parent = nullptr);
    ~CommPort() override;

    // The port number; serial::devicePath() says which device it is.
    void setCommPort(int port);
    int commPort() const { return m_port; }
    // A device path that stands in for the port number (a front end given a path rather
    // than a number); empty, the number decides.
    void setDevice(const QString &path) { m_deviceOverride = path; }
    // Tests only: each open takes its line from `maker`, given the device or address, rather
    // than from serial::makeLine, so that the port can run on a line held in memory.
    using LineMaker = std::function<std::unique_ptr<serial::Line>(const QString &address)>;
    void setLineMaker(LineMaker maker) { m_lineMaker = std::move(maker); }

    // "<baud>,N,8,1"; anything else is refused (false, lastError Settings). While open, the
    // bytes already written leave the line before the speed changes.
    bool setSettings(const QString &settings);
    QString settings() const { return m_settings; }
    // The settings text for a speed: `baud` (digits) followed by ",N,8,1".
    static QString settingsFor(const QString &baud);

    void setRThreshold(int bytes) { m_rThreshold = bytes; }
    int rThreshold() const { return m_rThreshold; }
    void setInputLen(int len) { m_inputLen = len; }
    // Flow control and the modem lines are the line's at each open.
    void setDTREnable(bool on) { m_dtr = on; }
    void setRTSEnable(bool on) { m_rts = on; }
    void setHandshaking(int mode) { m_handshaking = mode; }
    void setNullDiscard(bool on) { m_nullDiscard = on; }
    // Taken as the port control's users set them, and nothing more: input is always bytes
    // (InputMode 0, one character a byte), and nobody listens for a send event (SThreshold),
    // so the line needs nothing from either.
    void setInputMode(int) {}
    void setSThreshold(int) {}

    // PortOpen = True. False on failure, with lastError() telling which failure it was.
    bool open();
    // PortOpen = False: what was written is on the line first. Harmless when closed.
    // False when the line did not take it all in time; the rest was dropped.
    bool close();
    bool isOpen() const;

    // Hands the bytes to the operating system at once, in order. False when refused. Raises
    // no receive event inside; one that came due meanwhile follows in the next event pass.
    bool output(const QByteArray &bytes);
    // Every byte buffered so far, removed from the buffer.
    QByteArray input();
    // Blocks until the device has bytes to read or the deadline passes; true when bytes
    // are there (not taken yet). A closed port waits for the deadline.
    bool waitForInput(const QDeadlineTimer &deadline);
    // Takes the bytes the device has now, raising the receive event when RThreshold is
    // reached, without waiting for the next round of event processing to do it.
    void takeInputNow();
    int inBufferCount() const;
    // Puts bytes taken by input() back in front of the buffer, unchanged and raising no
    // event: the receiver took more than was its own. Ignored while closed.
    void putBack(const QByteArray &bytes);

    Error lastError() const { return m_error; }
    void clearError() { m_error = {}; }

signals:
    // CommEvent 2 once at least RThreshold bytes are buffered.
    void commEvent(int event);
    // The device went away while open (adapter unplugged, line hung up). Emitted once;
    // the port is closed by then.
    void deviceLost(const QString &reason);
    // close() has just closed an open port (not raised for a lost device or on destruction).
    // Between the port check and the update's own open this is the one point from which a
    // test can take the device away, as an unplug in that moment would.
    void closed();

private:
    void onReadyRead();
    void onLineLost(const QString &reason);
    void raiseReceiveIfDue();
    void takeArrived();
    void setLineError(serial::LineFault fallback);
    void setError(serial::LineFault fault, const QString &reason);

    std::unique_ptr<serial::Line> m_line;
    LineMaker m_lineMaker;
    QString m_deviceOverride;
    QString m_settings = settingsFor(QString::number(serial::kDefaultBaud));
    qint32 m_baud = serial::kDefaultBaud;
    int m_port = 1;
    int m_rThreshold = 0;
    int m_inputLen = 0;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_nullDiscard = false;
    int m_handshaking = 0;
    // Counts opens, so that a held receive event cannot reach a later one.
    serial::SessionGuard m_sessions;
    bool m_writing = false;     // output() is handing bytes to the line
    bool m_receiveHeld = false; // bytes came in meanwhile; their event follows the write
    int m_lineBusy = 0;         // calls into the line that wait, letting events run, on the stack
    QByteArray m_inBuffer;
    Error m_error;
};
