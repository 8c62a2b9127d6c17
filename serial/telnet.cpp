#include "telnet.h"

#include <QtEndian>
#include <utility>

namespace serial::telnet {

namespace {

// Longest subnegotiation kept; anything longer (no COM-PORT-OPTION answer is) is read to
// its end and dropped, so a server cannot make the client hold an unbounded amount.
constexpr qsizetype kMaxSubnegotiation = 512;

QByteArray bytes(std::initializer_list<quint8> list) {
    QByteArray out;
    out.reserve(qsizetype(list.size()));
    for (quint8 b : list)
        out.append(char(b));
    return out;
}

} // namespace

QByteArray escape(const QByteArray &data) {
    if (!data.contains(char(kIAC)))
        return data;
    QByteArray out;
    out.reserve(data.size() + 8);
    for (char c : data) {
        out.append(c);
        if (quint8(c) == kIAC)
            out.append(c);
    }
    return out;
}

QByteArray comPortCommand(ComPort command, const QByteArray &value) {
    return bytes({kIAC, kSB, kOptComPort, quint8(command)}) + escape(value) + bytes({kIAC, kSE});
}

QByteArray setBaudrate(quint32 baud) {
    char value[4];
    qToBigEndian(baud, value);
    return comPortCommand(ComPort::SetBaudrate, QByteArray(value, 4));
}

QByteArray setDatasize(quint8 bits) {
    return comPortCommand(ComPort::SetDatasize, bytes({bits}));
}

QByteArray setParity(quint8 parity) {
    return comPortCommand(ComPort::SetParity, bytes({parity}));
}

QByteArray setStopsize(quint8 stopsize) {
    return comPortCommand(ComPort::SetStopsize, bytes({stopsize}));
}

QByteArray setControl(quint8 control) {
    return comPortCommand(ComPort::SetControl, bytes({control}));
}

QByteArray purgeData(quint8 which) {
    return comPortCommand(ComPort::PurgeData, bytes({which}));
}

bool Client::wantUs(quint8 option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

bool Client::wantHim(quint8 option) {
    return option == kOptBinary || option == kOptSuppressGoAhead;
}

QByteArray Client::start(bool comPort) {
    m_wantComPort = comPort;
    QByteArray out;
    auto ask = [&](quint8 verb, quint8 option) {
        Option &o = m_options[option];
        (verb == kWILL ? o.us : o.him) = Side::Asked;
        out += bytes({kIAC, verb, option});
    };
    ask(kWILL, kOptBinary);
    ask(kDO, kOptBinary);
    ask(kDO, kOptSuppressGoAhead);
    if (comPort) {
        ask(kWILL, kOptComPort);
        m_comPort = ComPortState::Asked;
    }
    return out;
}

QByteArray Client::takeAnswers() {
    return std::exchange(m_answers, QByteArray());
}

QList<Notice> Client::takeNotices() {
    return std::exchange(m_notices, QList<Notice>());
}

void Client::answer(quint8 verb, quint8 option) {
    m_answers += bytes({kIAC, verb, option});
}

// The rules of RFC 1143 for one side each: a request that would change nothing is not
// answered, which is what keeps two peers from answering each other for ever.
void Client::command(quint8 verb, quint8 option) {
    Option &o = m_options[option];
    const bool isComPort = option == kOptComPort;
    switch (verb) {
    case kDO:
        if (o.us == Side::Yes)
            break;
        if (wantUs(option) && (!isComPort || m_wantComPort)) {
            if (o.us == Side::No)
                answer(kWILL, option);
            o.us = Side::Yes;
            if (isComPort)
                m_comPort = ComPortState::Accepted;
        } else {
            answer(kWONT, option);
        }
        break;
    case kDONT:
        if (o.us == Side::Yes)
            answer(kWONT, option);
        o.us = Side::No;
        if (isComPort && m_wantComPort)
            m_comPort = ComPortState::Refused;
        break;
    case kWILL:
        if (o.him == Side::Yes)
            break;
        if (wantHim(option)) {
            if (o.him == Side::No)
                answer(kDO, option);
            o.him = Side::Yes;
        } else {
            answer(kDONT, option);
        }
        break;
    case kWONT:
        if (o.him == Side::Yes)
            answer(kDONT, option);
        o.him = Side::No;
        break;
    default:
        break;
    }
}

void Client::subnegotiation() {
    const QByteArray sub = std::exchange(m_sub, QByteArray());
    if (std::exchange(m_subOverflow, false))
        return;
    if (sub.size() < 2 || quint8(sub[0]) != kOptComPort)
        return; // another option's subnegotiation: nothing this client asked for
    const quint8 code = quint8(sub[1]);
    if (code < kServerOffset || code > kServerOffset + quint8(ComPort::PurgeData))
        return; // a client's command, or one this RFC does not define
    const Notice notice{ComPort(code - kServerOffset), sub.mid(2)};
    switch (notice.command) {
    case ComPort::SetBaudrate:
        if (notice.value.size() == 4)
            m_baud = qFromBigEndian<quint32>(notice.value.constData());
        break;
    case ComPort::NotifyLinestate:
        if (notice.value.size() == 1)
            m_lineState = quint8(notice.value[0]);
        break;
    case ComPort::NotifyModemstate:
        if (notice.value.size() == 1)
            m_modemState = quint8(notice.value[0]);
        break;
    default:
        break;
    }
    m_notices << notice;
}

void Client::commandByte(quint8 b) {
    m_state = State::Data;
    if (b >= kWILL && b <= kDONT) {
        m_verb = b;
        m_state = State::Option;
    } else if (b == kSB) {
        m_sub.clear();
        m_subOverflow = false;
        m_state = State::Sub;
    }
    // Every other command (NOP, data mark, go ahead, a stray SE, ...) means nothing on this
    // line and is dropped with its IAC.
}

QByteArray Client::feed(const QByteArray &in) {
    QByteArray data;
    data.reserve(in.size());
    for (const char c : in) {
        const quint8 b = quint8(c);
        switch (m_state) {
        case State::Data:
            if (b == kIAC)
                m_state = State::Command;
            else
                data.append(c);
            break;
        case State::Command:
            if (b == kIAC) {
                data.append(c);
                m_state = State::Data;
            } else {
                commandByte(b);
            }
            break;
        case State::Option:
            command(m_verb, b);
            m_state = State::Data;
            break;
        case State::Sub:
            if (b == kIAC) {
                m_state = State::SubCommand;
                break;
            }
            if (m_sub.size() < kMaxSubnegotiation)
                m_sub.append(c);
            else
                m_subOverflow = true;
            break;
        case State::SubCommand:
            if (b == kSE) {
                subnegotiation();
                m_state = State::Data;
            } else if (b == kIAC) {
                if (m_sub.size() < kMaxSubnegotiation)
                    m_sub.append(c);
                else
                    m_subOverflow = true;
                m_state = State::Sub;
            } else {
                // A command inside a subnegotiation ends it unfinished; the subnegotiation
                // is dropped and the command is taken as one.
                commandByte(b);
            }
            break;
        }
    }
    return data;
}

} // namespace serial::telnet
