// What a port's text names, read from the text alone: a device (its path, or the port
// directory's entry for one), a remote serial port with the line's settings
// (rfc2217://HOST:PORT) or a raw TCP connection to one (tcp://HOST:PORT). Every kind of port
// stands in one table, kPortKinds in portaddress.cpp, with what it carries and its line.
#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>

namespace serial {

class Line;
struct PortAddress;

enum class PortKind { Device, Rfc2217, RawTcp };

struct PortKindFacts {
    PortKind kind;
    const char *scheme; // what its address begins with, before "://"; null for a device
    // The far line takes its speed, format and modem lines from this tool; false where only
    // bytes pass and the far line stays as its server set it.
    bool carriesSettings;
    std::unique_ptr<Line> (*makeLine)(const PortAddress &address);
};

struct PortAddress {
    PortKind kind = PortKind::Device; // only when valid
    QString written;                  // the text as given: a device's path, or the address
    QString host; // a network kind's: a name, an IPv4 address, or an IPv6 one without brackets
    quint16 port = 0;
    QString error; // one sentence naming what is wrong with the text; empty when it is usable

    bool valid() const { return error.isEmpty(); }
    // The text names a scheme: never a device path, even where it does not parse.
    bool isNetwork() const { return !valid() || kind != PortKind::Device; }
    const PortKindFacts &facts() const;
    bool carriesSettings() const { return facts().carriesSettings; }
    // Written again plainly (the scheme in small letters, an IPv6 host in brackets): as it
    // reads back the same, a link made from it does too.
    QString text() const;
};

// Nothing is looked up and no connection is made.
PortAddress parsePortAddress(const QString &text);

// What a port's entry stands for: the entry itself, or the address that the text of a
// symbolic link names (a port directory's comN for a remote serial port).
PortAddress portAddressOf(const QString &entry);

// "rfc2217://HOST:PORT or tcp://HOST:PORT": every form an address may take.
QString addressForms();

} // namespace serial
