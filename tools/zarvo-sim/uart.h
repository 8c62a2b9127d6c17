// The serial line as the unit's UART sees it: line settings, and what bytes sent at one setting
// turn into when received at another.
#pragma once

#include <cstdint>
#include <string>
#include <termios.h>
#include <vector>

namespace sim {

struct LineFormat {
    int baud = 4800;
    int dataBits = 8;
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 1;

    bool operator==(const LineFormat &) const = default;
    std::string text() const; // "4800,N,8,1"
};

// speed_t for a standard rate, or 0 when the rate has none.
speed_t speedFor(int baud);
int baudOf(speed_t speed);
// The format a pseudo-terminal end was set to; baud 0 for a rate it does not know.
LineFormat formatOf(const termios &tio);
void applyFormat(termios &tio, const LineFormat &format);

struct Reception {
    std::vector<std::uint8_t> bytes;
    int framingErrors = 0;
};

// Plays `sent` onto the line back to back at `sender`'s settings and samples it with a
// receiver at `receiver`'s settings. Characters with a framing error are not delivered.
// Identical formats give back the bytes unchanged.
Reception receive(const std::vector<std::uint8_t> &sent, const LineFormat &sender,
                  const LineFormat &receiver);

} // namespace sim
