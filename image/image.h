// The firmware image the tool carries: the facts of its region and the frame tables the
// converter generates from the HEX file. Data only; link/, update/, the converter, the
// virtual instrument and the tests all read their numbers from here.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace image {

// The application area of the instrument's program memory; below it lies the bootloader.
inline constexpr std::uint32_t kRegionFirst = 0x000800;
inline constexpr std::uint32_t kRegionLast = 0x007FFF;
inline constexpr std::uint32_t kRegionEnd = kRegionLast + 1; // one past the last byte
// The unit erases in rows and the image is written in blocks.
inline constexpr std::uint32_t kRowSize = 0x40;
inline constexpr std::uint32_t kBlockSize = 16;
// The rows that cover the region, and the blocks the progress bar counts toward.
inline constexpr int kEraseRows = int((kRegionEnd - kRegionFirst) / kRowSize);
inline constexpr int kWriteBlocks = int((kRegionEnd - kRegionFirst) / kBlockSize);
static_assert(kEraseRows == 480 && kWriteBlocks == 1920);

} // namespace image

// 480 EraseRow frames, rows 0x000800 to 0x007FC0, built into the tool.
extern const std::span<const std::string_view> EraseFrames;
// The image's WriteBlocks frames in sending order, converted from the Intel HEX file.
extern const std::span<const std::string_view> WriteFrames;
