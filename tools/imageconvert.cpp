#include "imageconvert.h"

#include <algorithm>
#include <cstdint>
#include <optional>

#include "frames.h"
#include "image.h"
#include "intelhex.h"

namespace imageconvert {

namespace {

// The application area: the erase rows cover it exactly, and no write may leave it.
using image::kBlockSize;
using image::kRegionFirst;
using image::kRegionLast;
// The progress bar counts write frames up to this many; more would run it past its maximum.
constexpr std::size_t kMaxWriteFrames = image::kWriteBlocks;

constexpr std::uint8_t kCountWriteBlocks = 0x02;

using intelhex::hex;
using intelhex::Refusal;

} // namespace

Image convert(std::istream &in) {
    Image image;
    intelhex::Reader reader(in);
    // Which line wrote each byte of the region so far, and what. Flash can only clear bits:
    // two records that differ on a byte leave the unit with neither, after its erase.
    std::vector<std::size_t> writtenBy(kRegionLast - kRegionFirst + 1, 0);
    std::vector<std::uint8_t> written(writtenBy.size(), 0);
    while (const std::optional<intelhex::DataRecord> rec = reader.next()) {
        if (rec->data.size() != kBlockSize)
            throw Refusal{rec->line, "data record of " + std::to_string(rec->data.size()) +
                                         " bytes; every write frame carries 16"};
        const std::uint64_t first = rec->address;
        const std::uint64_t last = first + kBlockSize - 1;
        if (first < kRegionFirst || last > kRegionLast)
            throw Refusal{rec->line, "bytes " + hex(first, 6) + " to " + hex(last, 6) +
                                         " lie outside " + hex(kRegionFirst, 6) + " to " +
                                         hex(kRegionLast, 6)};
        if (image.writeFrames.size() == kMaxWriteFrames)
            throw Refusal{rec->line,
                          "more than " + std::to_string(kMaxWriteFrames) + " data records"};
        for (std::size_t i = 0; i < kBlockSize; ++i) {
            const std::size_t at = std::size_t(first - kRegionFirst) + i;
            if (writtenBy[at] != 0 && written[at] != rec->data[i])
                throw Refusal{rec->line, "byte " + hex(first + i, 6) + " overlaps line " +
                                             std::to_string(writtenBy[at]) +
                                             " with different data"};
            writtenBy[at] = rec->line;
            written[at] = rec->data[i];
        }
        image.writeFrames.push_back(frames::buildFrame(frames::CmdWriteBlocks, kCountWriteBlocks,
                                                       static_cast<std::uint32_t>(first),
                                                       rec->data));
    }
    if (image.writeFrames.empty())
        throw Refusal{std::max<std::size_t>(reader.lines(), 1), "no data records"};
    return image;
}

} // namespace imageconvert
