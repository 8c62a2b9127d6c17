#include "frames.h"

namespace frames {

namespace {

bool needsEscape(std::uint8_t b) {
    return b == FrameStart || b == FrameEnd || b == FrameEscape;
}

// Value of one hex digit; anything else reads as 0 (see aStringToHex).
std::uint8_t nibble(char c) {
    if (c >= '0' && c <= '9')
        return static_cast<std::uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F')
        return static_cast<std::uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f')
        return static_cast<std::uint8_t>(c - 'a' + 10);
    return 0;
}

} // namespace

int expectedReplyLength(std::string_view code) {
    struct Row {
        std::string_view code;
        int length;
    };
    static constexpr Row rows[] = {
        {CodeStartBootloader, 8}, {CodeReadVersion, 16}, {CodeEraseRow, 5}, {CodeWriteBlocks, 5},
        {CodeResetDefaults, 5},   {CodeBlankCheck, 13},  {CodeVerify, 13},  {CodeFinishUpdate, 0},
    };
    for (const Row &row : rows)
        if (code == row.code)
            return row.length;
    return -1;
}

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>((256 - (sum & 0xFF)) & 0xFF);
}

std::vector<std::uint8_t> escape(std::span<const std::uint8_t> body) {
    std::vector<std::uint8_t> out;
    out.reserve(body.size() + 4);
    for (std::uint8_t b : body) {
        if (needsEscape(b))
            out.push_back(FrameEscape);
        out.push_back(b);
    }
    return out;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

std::string buildFrame(std::uint8_t command, std::uint8_t count, std::uint32_t address,
                       std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> body{command, count};
    if (command != CmdReadVersion) {
        body.push_back(static_cast<std::uint8_t>(address & 0xFF));
        body.push_back(static_cast<std::uint8_t>((address >> 8) & 0xFF));
        body.push_back(static_cast<std::uint8_t>((address >> 16) & 0xFF));
    }
    body.insert(body.end(), data.begin(), data.end());
    // The checksum covers the unescaped bytes; escaping comes after, checksum included.
    body.push_back(checksum(body));

    std::vector<std::uint8_t> wire{FrameStart, FrameStart};
    const std::vector<std::uint8_t> escaped = escape(body);
    wire.insert(wire.end(), escaped.begin(), escaped.end());
    wire.push_back(FrameEnd);
    return toHex(wire);
}

// Every stored frame is well-formed upper-case hex of even length, so the rest is a
// safety net, chosen so that nothing is read past the text and every input has one answer:
// a trailing odd character is ignored, lower-case digits read as hex, and any other
// character counts as the digit 0 on its own (so "1G" gives 0x10 and "G1" gives 0x01).
// An empty text gives no bytes.
std::vector<std::uint8_t> aStringToHex(std::string_view sTransmit) {
    const std::size_t n = sTransmit.size() / 2;
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] =
            static_cast<std::uint8_t>(nibble(sTransmit[2 * i]) << 4 | nibble(sTransmit[2 * i + 1]));
    return out;
}

} // namespace frames
