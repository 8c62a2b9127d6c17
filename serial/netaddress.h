// A port that is a network address rather than a device: rfc2217://HOST:PORT (Telnet with
// remote serial port control) or tcp://HOST:PORT (raw bytes), read from its text alone.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

#include "portnames.h" // looksLikeNetAddress(), networkTarget()

namespace serial {

struct NetAddress {
    enum class Kind { Rfc2217, RawTcp };
    Kind kind = Kind::Rfc2217;
    QString host; // a name, an IPv4 address, or an IPv6 address without its brackets
    quint16 port = 0;

    // The address as it is written, brackets around an IPv6 host included.
    QString text() const;
};

struct ParsedNetAddress {
    std::optional<NetAddress> address;
    QString error; // set when address is not: one sentence that names what is wrong
};

// Reads the text only; nothing is looked up and no connection is made.
ParsedNetAddress parseNetAddress(const QString &text);

} // namespace serial
