// The firmware image as stored frames, and the two procedures that send them.
#pragma once

#include <span>
#include <string_view>

class Link;

// 480 EraseRow frames, rows 0x000800 to 0x007FC0, built into the tool.
extern const std::span<const std::string_view> EraseFrames;
// The image's WriteBlocks frames in sending order, converted from the Intel HEX file.
extern const std::span<const std::string_view> WriteFrames;

void EraseFlash(Link &link);
void ProgramFlash(Link &link);
