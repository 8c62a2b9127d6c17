// Port numbers to devices, as the instrument's manual numbers ports (COM1, COM2, ...). Shared
// by the tool and the virtual instrument, which links itself in as a port number.
#pragma once

#include <QString>

namespace serial {

// $XDG_CONFIG_HOME/zarvo-update/ports (~/.config/zarvo-update/ports when unset, empty or
// relative). scripts/run has a shell twin of this; change both together.
QString portDirectory();

// "COMn" on Windows; elsewhere the entry comN of the port directory, else /dev/ttyS<N-1>.
// Empty when no device can have that number.
QString devicePath(int port);

// Why the port directory's entry `path` must not be followed, or empty when it may: it,
// and each directory from the user's configuration directory down to it, must belong to
// this user (or root) and be writable by nobody else, or another user could lead the port
// number to a device of his own. The text names what is wrong and how to put it right.
QString distrustPortEntry(const QString &path);

// Makes the port directory, and the directories above it that are missing, private to
// this user (0700), as the base directory rules ask. False with the reason in `error`.
bool makePortDirectory(QString *error);

// Text that is meant as a network address: it names a scheme ("xyz://..."). Such text is
// never a device path, even where it does not parse (netaddress.h reads it).
bool looksLikeNetAddress(const QString &text);

// The network address a port's entry stands for: `entry` itself when it is one, or the
// text of a symbolic link that is one (a port directory's comN for a remote serial port).
// Empty for a device.
QString networkTarget(const QString &entry);

} // namespace serial
