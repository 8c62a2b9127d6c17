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

namespace serial {
class Line;
}

class CommPort : public QObject {
    Q_OBJECT
public:
    // Error codes of the port control. 8002 and 8005 are the ones callers test for.
    static constexpr int kErrInvalidPort = 8002;    // the device does not exist
    static constexpr int kErrPortOpen = 8005;       // another program holds it
    static constexpr int kErrPermission = 8090;     // this user may not open it
    static constexpr int kErrOpenFailed = 8091;     // any other failure to open
    static constexpr int kErrInvalidSettings = 380; // Settings text not "<baud>,N,8,1"
    static constexpr int kErrPortClosed = 8018;     // operation needs an open port
    static constexpr int kErrWriteFailed = 8092;    // the driver refused the bytes

    static constexpr int kEvReceive = 2; // CommEvent: RThreshold bytes are buffered

    struct Error {
        int code = 0;        // 0: no error
        QString reason;      // the operating system's words, for the user
        QString holder = {}; // kErrPortOpen: who holds the port, when that is known
    };

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

    // "<baud>,N,8,1"; anything else is refused (false, lastError kErrInvalidSettings).
    // While open, the bytes already written leave the line before the speed changes.
    bool setSettings(const QString &settings);
    QString settings() const { return m_settings; }

    void setRThreshold(int bytes) { m_rThreshold = bytes; }
    int rThreshold() const { return m_rThreshold; }
    void setInputLen(int len) { m_inputLen = len; }
    void setInputMode(int mode) { m_inputMode = mode; }
    void setSThreshold(int bytes) { m_sThreshold = bytes; }
    void setDTREnable(bool on) { m_dtr = on; }
    void setRTSEnable(bool on) { m_rts = on; }
    void setNullDiscard(bool on) { m_nullDiscard = on; }
    void setHandshaking(int mode) { m_handshaking = mode; }

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
    void setLineError(int fallbackCode);
    void setError(int code, const QString &reason);

    std::unique_ptr<serial::Line> m_line;
    LineMaker m_lineMaker;
    QString m_deviceOverride;
    QString m_settings = QStringLiteral("9600,N,8,1");
    qint32 m_baud = 9600;
    int m_port = 1;
    int m_rThreshold = 0;
    int m_inputLen = 0;
    int m_inputMode = 0;
    int m_sThreshold = 0;
    bool m_dtr = false;
    bool m_rts = false;
    bool m_nullDiscard = false;
    int m_handshaking = 0;
    quint64 m_session = 0;      // counts opens, so that a held event cannot reach the next
    bool m_writing = false;     // output() is handing bytes to the line
    bool m_receiveHeld = false; // bytes came in meanwhile; their event follows the write
    QByteArray m_inBuffer;
    Error m_error;
};
