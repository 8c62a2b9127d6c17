// How far port numbers go, each limit named once for the window, zarvo-flash and the port
// control alike.
#pragma once

#include <QtGlobal>
#include <limits>

namespace serial {

// The window's list offers COM1 to COM8.
inline constexpr int kPortsInWindowList = 8;
// The window's port box keeps two digits of a typed number ("COM123" is cut to "COM12").
inline constexpr int kTypedPortDigits = 2;
// The highest number zarvo-flash takes (--port, --map, --unmap): as far as the box's digits
// reach.
inline constexpr int kHighestTypedPort = [] {
    int highest = 1;
    for (int digit = 0; digit < kTypedPortDigits; ++digit)
        highest *= 10;
    return highest - 1;
}();
// --list-ports shows COM1 to this one whether mapped or not, and every higher one mapped.
inline constexpr int kPortsAlwaysListed = 16;
// The highest number a port can have: the tool keeps it in 16 bits.
inline constexpr int kHighestPort = std::numeric_limits<qint16>::max();

} // namespace serial
