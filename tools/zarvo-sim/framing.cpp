#include "framing.h"

#include "frames.h"

namespace sim {

namespace {

// Command, count, three address bytes, 16 data bytes and the checksum: nothing longer is a
// frame, so a lost end byte cannot make the parser swallow the rest of the line.
constexpr std::size_t kMaxBody = 22;

bool special(std::uint8_t b) {
    return b == kStart || b == kEnd || b == kEscape;
}

} // namespace

Bytes buildReply(const Bytes &body) {
    Bytes out;
    out.reserve(2 * body.size() + 5);
    out.push_back(kStart);
    out.push_back(kStart);
    std::uint8_t sum = 0;
    auto put = [&out](std::uint8_t b) {
        if (special(b))
            out.push_back(kEscape);
        out.push_back(b);
    };
    for (std::uint8_t b : body) {
        sum = std::uint8_t(sum + b);
        put(b);
    }
    put(std::uint8_t(-sum)); // the body and its checksum sum to zero
    out.push_back(kEnd);
    return out;
}

bool FrameParser::feed(std::uint8_t byte, Frame &frame) {
    switch (m_state) {
    case State::Hunt:
        if (byte == kStart) {
            m_state = State::Start;
            m_wire.assign(1, byte);
        }
        return false;
    case State::Start:
        if (byte == kStart) {
            m_state = State::Body;
            m_wire.push_back(byte);
            m_body.clear();
            m_escaped = false;
        } else {
            m_state = State::Hunt;
        }
        return false;
    case State::Body:
        break;
    }

    if (m_escaped) {
        m_escaped = false;
    } else if (byte == kEscape) {
        m_escaped = true;
        m_wire.push_back(byte);
        return false;
    } else if (byte == kEnd) {
        m_wire.push_back(byte);
        m_state = State::Hunt;
        return finish(frame);
    } else if (byte == kStart) {
        if (m_body.empty()) // a third start byte: still the same frame's start
            return false;
        ++m_abandoned;
        m_state = State::Start;
        m_wire.assign(1, byte);
        return false;
    }
    m_body.push_back(byte);
    m_wire.push_back(byte);
    if (m_body.size() > kMaxBody) {
        ++m_abandoned;
        m_state = State::Hunt;
    }
    return false;
}

bool FrameParser::finish(Frame &frame) {
    std::uint8_t sum = 0;
    for (std::uint8_t b : m_body)
        sum = std::uint8_t(sum + b);
    if (m_body.size() < 3) { // command, count, checksum at the least
        ++m_abandoned;
        return false;
    }
    if (sum != 0) {
        ++m_badChecksums;
        return false;
    }
    const std::size_t n = m_body.size() - 1; // without the checksum
    Frame f;
    f.command = m_body[0];
    f.count = m_body[1];
    std::size_t dataFrom = 2;
    if (f.command != frames::CmdReadVersion) {
        if (n < 5) {
            ++m_abandoned;
            return false;
        }
        f.hasAddress = true;
        f.address = m_body[2] | (m_body[3] << 8) | (std::uint32_t(m_body[4]) << 16);
        dataFrom = 5;
    }
    f.data.assign(m_body.begin() + long(dataFrom), m_body.begin() + long(n));
    f.wire = m_wire;
    frame = std::move(f);
    return true;
}

void FrameParser::reset() {
    m_state = State::Hunt;
    m_escaped = false;
    m_body.clear();
    m_wire.clear();
}

} // namespace sim
