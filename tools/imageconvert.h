// The firmware image (Intel HEX) as the write frames the tool sends, in file order; refuses
// any record it cannot vouch for, naming its line.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace imageconvert {

struct Image {
    std::vector<std::string> writeFrames;
};

// Throws intelhex::Refusal.
Image convert(std::istream &in);

} // namespace imageconvert
