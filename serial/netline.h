// A line to a serial port at a remote site, over TCP: rfc2217:// carries the port's
// settings (speed, format, modem lines) to the far UART through Telnet's COM-PORT-OPTION,
// tcp:// carries the bytes only and leaves the far line as the server set it.
#pragma once

#include "line.h"
#include "portaddress.h"
#include "telnet.h"

#include <QElapsedTimer>
#include <QHash>
#include <QTcpSocket>
#include <chrono>
#include <functional>
#include <optional>

namespace serial {

class NetLine final : public Line {
    Q_OBJECT
public:
    // An address that does not parse fails every open with Missing and its reason, without
    // a connection attempt. Messages name the address as written.
    explicit NetLine(const PortAddress &address, QObject *parent = nullptr);
    ~NetLine() override;

    bool open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return m_open; }
    QString name() const override { return m_text; }

    bool setBaudRate(qint32 baud) override;
    void setModemLines(bool dtr, bool rts) override;

    bool write(const QByteArray &bytes) override;
    bool drain() override;
    void purgeOutput() override;
    void purgeInput() override;

    QByteArray read() override;

    // The far end takes the speed from this tool (rfc2217://); false for raw TCP.
    bool carriesSettings() const { return m_address.valid() && m_address.carriesSettings(); }

private:
    // How one of the line's own waits ended.
    enum class Ended { Done, Expired, Gone, Cancelled, Overflow };

    bool awaitInput(const QDeadlineTimer &deadline) override;
    bool telnet() const { return m_telnet.has_value(); }
    bool negotiate(const LineSettings &settings);
    bool checkSettings(const LineSettings &settings, quint8 flow);
    Ended waitUntil(const QDeadlineTimer &deadline, const std::function<bool()> &done,
                    bool connecting = false);
    void pass(qint64 timeoutNs);
    Ended sendAll(const QByteArray &wire, const QDeadlineTimer &deadline);
    Ended dropStaleInput();
    bool failStep(Ended ended, const QString &what);
    bool failNegotiation(const QString &what);
    QString overflowText(const QString &what) const;
    bool send(const QByteArray &wire);
    bool sendBlocking(const QByteArray &wire, const QDeadlineTimer &deadline);
    QDeadlineTimer drainDeadline() const;
    Ended waitUntilSent(const QDeadlineTimer &deadline);
    bool readable(qint64 timeoutNs);
    void takeIn();
    void noteLineTime(qint64 bytes);
    void farEndAnswered();
    void acknowledgeNow();
    void onSocketError(QAbstractSocket::SocketError error);

    QString m_text;
    PortAddress m_address;
    QTcpSocket m_socket;
    std::optional<telnet::Client> m_telnet;
    bool m_open = false;
    bool m_taking = false; // takeIn() is reading: the socket's own notice is not passed on
    qint32 m_baud = kDefaultBaud;
    int m_baudConfirmations = 0;
    // What the server confirmed of the line's settings during the open, by command code
    // (SET-CONTROL: its first answer, the flow control).
    QHash<int, QByteArray> m_confirmed;
    qint64 m_received = 0;     // data bytes taken in since the open began
    qint64 m_setUpAnswers = 0; // bytes of Telnet answers owed during the open
    int m_waitDepth = 0;       // the line's own waits on the stack, nested in each other's events
    bool m_cancelled = false;  // close() came from an event inside one of them
    bool m_overflow = false;   // the server sent more requests than it may
    bool m_closing = false;    // close() awaits the server's own close: input is dropped
    QByteArray m_data;
    // When the far UART will have sent the last byte written, as far as the line time at the
    // speed of the time tells: measured on m_clock, in nanoseconds.
    QElapsedTimer m_clock;
    qint64 m_lineFreeAtNs = 0;
};

} // namespace serial
