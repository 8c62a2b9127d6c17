// The virtual instrument's frame parser on any byte stream: no crash, and every frame it
// accepts, built again by the tool's own rule, is accepted again with the same contents.
#include <cstdlib>

#include "frames.h"
#include "framing.h"

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    sim::FrameParser parser;
    sim::Frame frame;
    for (std::size_t i = 0; i < size; ++i) {
        if (!parser.feed(data[i], frame))
            continue;
        require(frame.wire.size() >= 6 && frame.wire[0] == sim::kStart &&
                frame.wire[1] == sim::kStart && frame.wire.back() == sim::kEnd);
        // The tool's rule has an address for every command but ReadVersion.
        if (frame.hasAddress != (frame.command != frames::CmdReadVersion) ||
            frame.address > 0xFFFFFF)
            continue;
        const std::vector<std::uint8_t> wire = frames::aStringToHex(
            frames::buildFrame(frame.command, frame.count, frame.address, frame.data));
        sim::FrameParser again;
        sim::Frame rebuilt;
        bool accepted = false;
        for (std::size_t k = 0; k < wire.size(); ++k) {
            accepted = again.feed(wire[k], rebuilt);
            require(!accepted || k + 1 == wire.size());
        }
        require(accepted && rebuilt.command == frame.command && rebuilt.count == frame.count &&
                rebuilt.address == frame.address && rebuilt.data == frame.data);
    }
    return 0;
}
