// A line to a serial port at a remote site, over TCP: rfc2217:// carries the port's
// settings (speed, format, modem lines) to the far UART through Telnet's COM-PORT-OPTION,
// tcp:// carries the bytes only and leaves the far line as the server set it.
#pragma once

#include "line.h"
#include "netaddress.h"
#include "telnet.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <chrono>
#include <functional>
#include <optional>

namespace serial {

class NetLine final : public Line {
    Q_OBJECT
public:
    // `text` is the address as written; one that does not parse fails every open with
    // Missing and its reason, without a connection attempt.
    explicit NetLine(const QString &text, QObject *parent = nullptr);
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

    bool waitForInput(const QDeadlineTimer &deadline) override;
    QByteArray read() override;

    // The far end takes the speed from this tool (rfc2217://); false for raw TCP.
    bool carriesSettings() const;

private:
    bool telnet() const { return m_telnet.has_value(); }
    bool negotiate(const LineSettings &settings);
    bool awaitAnswer(const QDeadlineTimer &deadline, const std::function<bool()> &answered);
    bool failNegotiation(const QString &what);
    bool send(const QByteArray &wire);
    bool sendBlocking(const QByteArray &wire, const QDeadlineTimer &deadline);
    bool waitUntilSent(const QDeadlineTimer &deadline);
    bool readable(qint64 timeoutNs);
    void takeIn();
    void noteLineTime(qint64 bytes);
    void farEndAnswered();
    void acknowledgeNow();
    void onSocketError(QAbstractSocket::SocketError error);
    void reportLost(const QString &reason);

    QString m_text;
    std::optional<NetAddress> m_address;
    QString m_addressError;
    QTcpSocket m_socket;
    std::optional<telnet::Client> m_telnet;
    bool m_open = false;
    bool m_lostReported = false;
    bool m_taking = false; // takeIn() is reading: the socket's own notice is not passed on
    quint64 m_session = 0;
    qint32 m_baud = 9600;
    int m_baudConfirmations = 0;
    QByteArray m_data;
    // When the far UART will have sent the last byte written, as far as the line time at the
    // speed of the time tells: measured on m_clock, in nanoseconds.
    QElapsedTimer m_clock;
    qint64 m_lineFreeAtNs = 0;
};

} // namespace serial
