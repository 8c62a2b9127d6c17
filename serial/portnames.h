// Port numbers to devices, as the instrument's manual numbers ports (COM1, COM2, ...). Shared
// by the tool and the virtual instrument, which links itself in as a port number.
#pragma once

#include <QString>

namespace serial {

// Where the system keeps a stable name for each USB serial adapter (Linux).
inline const QString kByIdDirectory = QStringLiteral("/dev/serial/by-id");

// Which file the kernel opened: what a resolution saw and what an open got must agree.
struct DeviceIdentity {
    bool known = false;
    quint64 filesystem = 0;
    quint64 inode = 0;
    quint64 device = 0; // the device number a device node stands for
};

// What a port number leads to, found by walking opened directories from the user's home
// down, so that nobody else can change it between the finding and the open.
struct PortTarget {
    QString entry;    // what the number names: comN in the port directory, /dev/ttyS<N-1>, COMn
    QString linkText; // comN's link text as written; empty when comN is no link
    QString address;  // a remote serial port's address that comN names instead of a device
    QString device;   // the file reached, without links; empty when there is none
    QString problem;  // why the number must not be followed (another user could redirect it)
    bool characterDevice = false; // `device` is a device node (not a file or directory)
    DeviceIdentity identity; // of `device`, as the resolution saw it
};

// $XDG_CONFIG_HOME/zarvo-update/ports (~/.config/zarvo-update/ports when unset, empty or
// relative). scripts/run has a shell twin of this; change both together.
QString portDirectory();

// The port directory's entry for a port number: comN there, whether or not it exists.
QString portEntry(int port);

// "COMn" on Windows; elsewhere the entry comN of the port directory, else /dev/ttyS<N-1>.
// Empty when no device can have that number.
QString devicePath(int port);

// Why the port directory's entry `path` must not be followed, or empty when it may: it,
// and each directory from the user's configuration directory down to it, must belong to
// this user (or root) and be writable by nobody else, or another user could lead the port
// number to a device of his own. The text names what is wrong and how to put it right.
QString distrustPortEntry(const QString &path);

// The port number resolved at once: the entry, each directory down to it (which must be this
// user's or root's and nobody else's to write), and the entry's target, whose directories
// must not be writable by other users (sticky or not) either. Empty `entry` for a number no
// port can have.
PortTarget resolvePort(int port);

// False where there is no port directory (Windows, where COMn is the port itself).
bool hasPortDirectory();

// Why a link to `path` could be led elsewhere by another user (a directory on its way that
// others may write to), or empty when it cannot.
QString distrustTarget(const QString &path);

// Why `path` is not a terminal device a port number may lead to, or empty when it is.
QString notATerminal(const QString &path);

// The name under `byIdDirectory` that leads to the same device as `device`, or empty.
QString stableName(const QString &device, const QString &byIdDirectory = kByIdDirectory);

// Makes the port directory, and the directories above it that are missing, private to
// this user (0700), as the base directory rules ask. False with the reason in `error`.
bool makePortDirectory(QString *error);

// Text that is meant as a network address: it names a scheme ("xyz://..."). Such text is
// never a device path, even where it does not parse (portaddress.h reads it).
bool looksLikeNetAddress(const QString &text);

// The network address a port's entry stands for: `entry` itself when it is one, or the
// text of a symbolic link that is one (a port directory's comN for a remote serial port).
// Empty for a device.
QString networkTarget(const QString &entry);

} // namespace serial
