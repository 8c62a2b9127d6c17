#include "line.h"

#include "netaddress.h"
#include "netline.h"

#include <algorithm>

namespace serial {

namespace {

using namespace std::chrono_literals;

// One start bit, eight data bits, one stop bit.
constexpr qint64 kBitsPerByte = 10;
// Slack on top of the line time of the queued bytes: driver latency, a USB adapter's
// own buffer and the scheduler. Only a line that has stopped moving runs into it.
constexpr std::chrono::milliseconds kLineSlack = 500ms;

} // namespace

// The platform's serial line (line_unix.cpp, line_windows.cpp).
std::unique_ptr<Line> makeSerialLine(const QString &device);

std::unique_ptr<Line> makeLine(const QString &address) {
    // A port's entry may name a remote serial port rather than a device.
    if (const QString remote = networkTarget(address); !remote.isEmpty())
        return std::make_unique<NetLine>(remote);
    return makeSerialLine(address);
}

std::chrono::milliseconds lineTime(qint32 baud, qint64 bytes) {
    const qint64 rate = std::max<qint64>(baud, 1);
    const qint64 ms = (std::max<qint64>(bytes, 0) * kBitsPerByte * 1000 + rate - 1) / rate;
    return std::chrono::milliseconds(ms) + kLineSlack;
}

} // namespace serial
