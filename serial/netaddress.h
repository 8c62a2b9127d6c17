// A port that is a network address rather than a device: rfc2217://HOST:PORT (Telnet with
// remote serial port control) or tcp://HOST:PORT (raw bytes), read from its text alone.
#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>

namespace serial {

struct NetAddress {
    enum class Kind { Rfc2217, RawTcp };
    Kind kind = Kind::Rfc2217;
    QString host; // a name, an IPv4 address, or an IPv6 address without its brackets
    quint16 port = 0;

    // The address as it is written, brackets around an IPv6 host included.
    QString text() const;
};

// Text that is meant as a network address: it names a scheme ("xyz://..."). Such text is
// never a device path, even where it does not parse.
bool looksLikeNetAddress(const QString &text);

struct ParsedNetAddress {
    std::optional<NetAddress> address;
    QString error; // set when address is not: one sentence that names what is wrong
};

// Reads the text only; nothing is looked up and no connection is made.
ParsedNetAddress parseNetAddress(const QString &text);

// The network address a port's entry stands for: `entry` itself when it is one, or the
// target of a symbolic link that is one (a port directory's comN made for a remote line).
// Empty for a device.
QString networkTarget(const QString &entry);

} // namespace serial
