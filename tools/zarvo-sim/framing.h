// The instrument's own side of the framing: its parser for what the tool sends and its
// encoder for the replies. Written apart from link/'s frame building on purpose: a wrong
// rule there must not be shared by both ends of the line, or the end-to-end tests could
// not see it. Only the command numbers are taken from link/.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kStart = 0x0F;  // twice at the start of every frame
inline constexpr std::uint8_t kEnd = 0x04;    // once at its end
inline constexpr std::uint8_t kEscape = 0x05; // before any of these three inside a frame

// Frame start bytes, the body with its checksum appended, escapes applied, end byte.
Bytes buildReply(const Bytes &body);

// One frame as the parser accepted it: checksum good, escapes removed.
struct Frame {
    std::uint8_t command = 0;
    std::uint8_t count = 0;
    bool hasAddress = false;
    std::uint32_t address = 0;
    Bytes data;
    Bytes wire; // exactly as received, start and end bytes included
};

// Finds frames in a byte stream: start pair, escapes, checksum, end byte. Garbage between
// frames is skipped; an unescaped start byte inside a frame abandons it and starts anew.
class FrameParser {
public:
    // True when `byte` completed a frame with a good checksum; it is then in `frame`.
    bool feed(std::uint8_t byte, Frame &frame);
    void reset();
    int badChecksums() const { return m_badChecksums; }
    int abandoned() const { return m_abandoned; }

private:
    enum class State { Hunt, Start, Body };
    bool finish(Frame &frame);

    State m_state = State::Hunt;
    bool m_escaped = false;
    Bytes m_body;
    Bytes m_wire;
    int m_badChecksums = 0;
    int m_abandoned = 0;
};

} // namespace sim
