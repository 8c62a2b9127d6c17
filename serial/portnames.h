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

} // namespace serial
