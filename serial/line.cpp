#include "line.h"

#include "netline.h"

#include <algorithm>
#include <thread>

namespace serial {

namespace {

using namespace std::chrono_literals;

// Slack on top of the line time of the queued bytes: driver latency, a USB adapter's
// own buffer and the scheduler. Only a line that has stopped moving runs into it.
constexpr std::chrono::milliseconds kLineSlack = 500ms;

} // namespace

std::unique_ptr<Line> makeLine(const PortAddress &address) {
    // A text that names a scheme but does not parse is still the remote port the user
    // meant: its line refuses every open with the reason, and connects to nothing.
    if (!address.valid())
        return std::make_unique<NetLine>(address);
    return address.facts().makeLine(address);
}

bool idleUntil(const QDeadlineTimer &deadline) {
    // Forever (-1) would never end: nothing can arrive while the thread sleeps.
    std::this_thread::sleep_for(
        std::chrono::nanoseconds(std::max<qint64>(deadline.remainingTimeNSecs(), 0)));
    return false;
}

bool Line::waitForInput(const QDeadlineTimer &deadline) {
    if (isOpen() && awaitInput(deadline))
        return true;
    // A wait that ended early (nothing can come, a signal) leaves the rest of the deadline.
    return idleUntil(deadline);
}

void Line::reportLost(const QString &reason) {
    if (!isOpen() || lostReported())
        return;
    m_lostReason = reason;
    post([this, reason] { emit lost(reason); });
}

std::chrono::milliseconds lineTime(qint32 baud, qint64 bytes) {
    const qint64 rate = std::max<qint64>(baud, 1);
    const qint64 ms = (std::max<qint64>(bytes, 0) * kBitsPerByte * 1000 + rate - 1) / rate;
    return std::chrono::milliseconds(ms) + kLineSlack;
}

} // namespace serial
