// The client side of a Telnet connection with remote serial port control (RFC 854, 855 and
// 2217), as bytes in and bytes out: no socket, no timer. The network line feeds it what the
// server sent and writes what it produces.
#pragma once

#include <QByteArray>
#include <QList>
#include <QtGlobal>
#include <optional>

namespace serial::telnet {

// Telnet commands (RFC 854).
inline constexpr quint8 kSE = 240;
inline constexpr quint8 kNOP = 241;
inline constexpr quint8 kDM = 242;
inline constexpr quint8 kGA = 249;
inline constexpr quint8 kSB = 250;
inline constexpr quint8 kWILL = 251;
inline constexpr quint8 kWONT = 252;
inline constexpr quint8 kDO = 253;
inline constexpr quint8 kDONT = 254;
inline constexpr quint8 kIAC = 255;

// Options this client takes part in.
inline constexpr quint8 kOptBinary = 0;
inline constexpr quint8 kOptEcho = 1;
inline constexpr quint8 kOptSuppressGoAhead = 3;
inline constexpr quint8 kOptComPort = 44;

// COM-PORT-OPTION commands, client to server; the server's answer carries the same
// command plus kServerOffset.
enum class ComPort : quint8 {
    Signature = 0,
    SetBaudrate = 1,
    SetDatasize = 2,
    SetParity = 3,
    SetStopsize = 4,
    SetControl = 5,
    NotifyLinestate = 6,
    NotifyModemstate = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLinestateMask = 10,
    SetModemstateMask = 11,
    PurgeData = 12,
};
inline constexpr quint8 kServerOffset = 100;

// Values of the settings this line uses.
inline constexpr quint8 kDatasize8 = 8;
inline constexpr quint8 kParityNone = 1;
inline constexpr quint8 kStopsize1 = 1;
inline constexpr quint8 kControlNoFlow = 1;
inline constexpr quint8 kControlXonXoff = 2;
inline constexpr quint8 kControlHardwareFlow = 3;
inline constexpr quint8 kControlDtrOn = 8;
inline constexpr quint8 kControlDtrOff = 9;
inline constexpr quint8 kControlRtsOn = 11;
inline constexpr quint8 kControlRtsOff = 12;
inline constexpr quint8 kControlInboundNoFlow = 14;
inline constexpr quint8 kPurgeReceive = 1;  // the server's buffer of bytes from the line
inline constexpr quint8 kPurgeTransmit = 2; // its buffer of bytes for the line
inline constexpr quint8 kPurgeBoth = 3;

// Data for the server: every 0xFF doubled.
QByteArray escape(const QByteArray &data);

// One COM-PORT-OPTION subnegotiation, its value escaped.
QByteArray comPortCommand(ComPort command, const QByteArray &value);
QByteArray setBaudrate(quint32 baud);
QByteArray setDatasize(quint8 bits);
QByteArray setParity(quint8 parity);
QByteArray setStopsize(quint8 stopsize);
QByteArray setControl(quint8 control);
QByteArray purgeData(quint8 which);

// What the server said with a COM-PORT-OPTION subnegotiation (its command minus
// kServerOffset, and the value, unescaped).
struct Notice {
    ComPort command;
    QByteArray value;
};

class Client {
public:
    enum class ComPortState { Asked, Accepted, Refused };

    // The opening offers: WILL COM-PORT-OPTION (for rfc2217), and binary transmission both
    // ways with go-ahead suppressed, so the server passes every byte as it is.
    QByteArray start(bool comPort);

    // Takes bytes the server sent, in any split; returns the data among them with every
    // Telnet command and subnegotiation taken out and 0xFF 0xFF made one 0xFF. Answers the
    // server is owed collect for takeAnswers().
    QByteArray feed(const QByteArray &bytes);
    QByteArray takeAnswers();
    // COM-PORT-OPTION subnegotiations received since the last call, in order.
    QList<Notice> takeNotices();

    ComPortState comPort() const { return m_comPort; }
    // The speed the server last confirmed; none until it has.
    std::optional<quint32> confirmedBaudrate() const { return m_baud; }
    // Latest line state and modem state the server notified (0 until it does).
    quint8 lineState() const { return m_lineState; }
    quint8 modemState() const { return m_modemState; }

private:
    enum class State { Data, Command, Option, Sub, SubCommand };
    enum class Side { No, Asked, Yes };
    struct Option {
        Side us = Side::No;  // we perform it (WILL/WONT)
        Side him = Side::No; // the server performs it (DO/DONT)
    };

    void commandByte(quint8 b); // the byte after an IAC, IAC itself aside
    void command(quint8 verb, quint8 option);
    void subnegotiation();
    void answer(quint8 verb, quint8 option);
    static bool wantUs(quint8 option);
    static bool wantHim(quint8 option);

    State m_state = State::Data;
    quint8 m_verb = 0;
    QByteArray m_sub;
    bool m_subOverflow = false;
    Option m_options[256];
    bool m_wantComPort = false;
    ComPortState m_comPort = ComPortState::Refused;
    std::optional<quint32> m_baud;
    quint8 m_lineState = 0;
    quint8 m_modemState = 0;
    QByteArray m_answers;
    QList<Notice> m_notices;
};

} // namespace serial::telnet
