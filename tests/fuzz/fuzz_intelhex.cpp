// Any file through the Intel HEX reader and the image converter: refused with a line number,
// or accepted; what the reader accepts, written again by the writer, reads back the same.
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "imageconvert.h"
#include "intelhex.h"

namespace {

void require(bool condition) {
    if (!condition)
        std::abort();
}

// Every data record, or a refusal (line 0 never: lines count from 1).
bool readAll(const std::string &text, std::vector<intelhex::DataRecord> &records) {
    std::istringstream in(text);
    intelhex::Reader reader(in);
    try {
        while (std::optional<intelhex::DataRecord> rec = reader.next())
            records.push_back(std::move(*rec));
    } catch (const intelhex::Refusal &refusal) {
        require(refusal.line >= 1 && !refusal.reason.empty());
        return false;
    }
    return true;
}

// The records as the writer puts them: an extended linear address record where the upper
// half changes, then the data at its offset.
std::string write(const std::vector<intelhex::DataRecord> &records) {
    std::string out;
    std::uint64_t upper = 0;
    for (const intelhex::DataRecord &rec : records) {
        if ((rec.address >> 16) != upper) {
            upper = rec.address >> 16;
            const std::uint8_t base[2] = {std::uint8_t(upper >> 8), std::uint8_t(upper)};
            out += intelhex::record(0, intelhex::ExtendedLinear, base);
        }
        out += intelhex::record(std::uint16_t(rec.address), intelhex::Data, rec.data);
    }
    return out + intelhex::endOfFile();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<intelhex::DataRecord> records;
    const bool accepted = readAll(text, records);

    std::istringstream in(text);
    try {
        const imageconvert::Image image = imageconvert::convert(in);
        require(accepted && image.writeFrames.size() == records.size());
    } catch (const intelhex::Refusal &refusal) {
        require(refusal.line >= 1 && !refusal.reason.empty());
    }
    if (!accepted)
        return 0;

    // Records that wrap past 4 GiB cannot be written as they were read.
    for (const intelhex::DataRecord &rec : records)
        if ((rec.address & 0xFFFF) + rec.data.size() > 0x10000 || rec.address >> 32)
            return 0;
    std::vector<intelhex::DataRecord> again;
    require(readAll(write(records), again));
    require(again.size() == records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        require(again[i].address == records[i].address && again[i].data == records[i].data);
    return 0;
}
