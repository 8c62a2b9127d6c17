// aStringToHex on any text, and the building rule on any command, address and data: every
// frame built is hex, framed, escaped where it must be, and checks to zero.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "frames.h"

namespace {

int digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1; // the tool's frames are upper-case hex only
}

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const std::vector<std::uint8_t> bytes = frames::aStringToHex(text);
    require(bytes.size() == size / 2);
    // Hex written by the tool reads back as the bytes it came from.
    const std::span<const std::uint8_t> raw(data, size);
    require(frames::aStringToHex(frames::toHex(raw)) ==
            std::vector<std::uint8_t>(raw.begin(), raw.end()));

    if (size < 5)
        return 0;
    const std::uint32_t address = data[2] | data[3] << 8 | std::uint32_t(data[4]) << 16;
    const std::string frame =
        frames::buildFrame(data[0], data[1], address, std::span(data + 5, size - 5));
    require(frame.size() % 2 == 0 && frame.size() >= 10);
    for (char c : frame)
        require(digit(c) >= 0);
    const std::vector<std::uint8_t> wire = frames::aStringToHex(frame);
    require(wire[0] == frames::FrameStart && wire[1] == frames::FrameStart);
    require(wire.back() == frames::FrameEnd);
    // Undo the escapes by hand: no special byte may stand alone inside the frame.
    std::vector<std::uint8_t> body;
    for (std::size_t i = 2; i + 1 < wire.size(); ++i) {
        std::uint8_t b = wire[i];
        if (b == frames::FrameEscape) {
            require(i + 2 < wire.size());
            b = wire[++i];
            require(b == frames::FrameStart || b == frames::FrameEnd || b == frames::FrameEscape);
        } else {
            require(b != frames::FrameStart && b != frames::FrameEnd);
        }
        body.push_back(b);
    }
    unsigned sum = 0;
    for (std::uint8_t b : body)
        sum += b;
    require((sum & 0xFF) == 0);
    require(body[0] == data[0] && body[1] == data[1]);
    const std::size_t header = data[0] == frames::CmdReadVersion ? 2 : 5;
    require(body.size() == header + (size - 5) + 1);
    return 0;
}
