// Build-time converter: turns the firmware image (Intel HEX) into the FrameText tables compiled
// into the tool, and refuses any record it cannot vouch for so that the build fails instead.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "frames.h"
#include "image.h"

namespace {

// The application area: the erase rows cover it exactly, and no write may leave it.
using image::kBlockSize;
using image::kEraseRows;
using image::kRegionFirst;
using image::kRegionLast;
using image::kRowSize;
// The progress bar counts write frames up to this many; more would run it past its maximum.
constexpr std::size_t kMaxWriteFrames = image::kWriteBlocks;

constexpr std::uint8_t kCountEraseRow = 0x01;
constexpr std::uint8_t kCountWriteBlocks = 0x02;

enum RecordType : std::uint8_t {
    Data = 0x00,
    EndOfFile = 0x01,
    ExtendedSegment = 0x02,
    StartSegment = 0x03,
    ExtendedLinear = 0x04,
    StartLinear = 0x05,
};

struct Refusal {
    std::size_t line;
    std::string reason;
};

std::string hex(std::uint64_t value, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

int digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// One record's bytes (count, address, type, data, checksum), or the reason it is not one.
std::vector<std::uint8_t> decodeLine(const std::string &line, std::size_t number) {
    if (line.front() != ':')
        throw Refusal{number, "record does not start with ':'"};
    const std::size_t digits = line.size() - 1;
    for (std::size_t i = 1; i < line.size(); ++i)
        if (digit(line[i]) < 0)
            throw Refusal{number, "non-hex character at column " + std::to_string(i + 1)};
    if (digits % 2 != 0)
        throw Refusal{number, "odd number of hex digits"};
    std::vector<std::uint8_t> bytes(digits / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(digit(line[1 + 2 * i]) << 4 | digit(line[2 + 2 * i]));
    if (bytes.size() < 5)
        throw Refusal{number, "record too short"};
    if (bytes.size() != bytes[0] + 5u)
        throw Refusal{number, "length field says " + std::to_string(bytes[0]) +
                                  " data bytes but the record holds " +
                                  std::to_string(bytes.size() - 5)};
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    if ((sum & 0xFF) != 0) {
        std::vector<std::uint8_t> body(bytes.begin(), bytes.end() - 1);
        throw Refusal{number, "bad checksum " + hex(bytes.back(), 2) + ", the record sums to " +
                                  hex(frames::checksum(body), 2)};
    }
    return bytes;
}

struct Image {
    std::vector<std::string> writeFrames;
};

Image convert(std::istream &in) {
    Image image;
    std::uint32_t base = 0; // from extended address records
    std::optional<std::size_t> endLine;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (endLine)
            throw Refusal{number, "record after the end-of-file record on line " +
                                      std::to_string(*endLine)};
        const std::vector<std::uint8_t> rec = decodeLine(line, number);
        const std::size_t count = rec[0];
        const std::uint32_t offset = static_cast<std::uint32_t>(rec[1] << 8 | rec[2]);
        const std::uint8_t type = rec[3];
        const std::span<const std::uint8_t> data(rec.data() + 4, count);
        switch (type) {
        case Data: {
            if (count != kBlockSize)
                throw Refusal{number, "data record of " + std::to_string(count) +
                                          " bytes; every write frame carries 16"};
            // In 64 bits: an extended address near the top must not wrap back into range.
            const std::uint64_t first = std::uint64_t(base) + offset;
            const std::uint64_t last = first + kBlockSize - 1;
            if (first < kRegionFirst || last > kRegionLast)
                throw Refusal{number, "bytes " + hex(first, 6) + " to " + hex(last, 6) +
                                          " lie outside " + hex(kRegionFirst, 6) + " to " +
                                          hex(kRegionLast, 6)};
            if (image.writeFrames.size() == kMaxWriteFrames)
                throw Refusal{number,
                              "more than " + std::to_string(kMaxWriteFrames) + " data records"};
            image.writeFrames.push_back(
                frames::buildFrame(frames::CmdWriteBlocks, kCountWriteBlocks,
                                   static_cast<std::uint32_t>(first), data));
            break;
        }
        case EndOfFile:
            if (count != 0)
                throw Refusal{number, "end-of-file record carries data"};
            endLine = number;
            break;
        case ExtendedSegment:
        case ExtendedLinear:
            if (count != 2)
                throw Refusal{number, "extended address record of " + std::to_string(count) +
                                          " bytes, not 2"};
            base = static_cast<std::uint32_t>(data[0] << 8 | data[1]);
            base <<= type == ExtendedLinear ? 16 : 4;
            break;
        case StartSegment:
        case StartLinear:
            // An entry point means nothing to the bootloader; the image starts where it starts.
            if (count != 4)
                throw Refusal{number,
                              "start address record of " + std::to_string(count) + " bytes, not 4"};
            break;
        default:
            throw Refusal{number, "unknown record type " + hex(type, 2)};
        }
    }
    const std::size_t lastLine = number == 0 ? 1 : number;
    if (!endLine)
        throw Refusal{lastLine, "no end-of-file record"};
    if (image.writeFrames.empty())
        throw Refusal{lastLine, "no data records"};
    return image;
}

void writeTable(std::ostream &out, const char *name, const std::vector<std::string> &texts) {
    out << "static constexpr std::string_view " << name << "[] = {\n";
    for (const std::string &t : texts)
        out << "    \"" << t << "\",\n";
    out << "};\n\n";
}

std::string baseName(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::cerr << "usage: zarvo-hex2frames <image.hex> <frame_tables.cpp>\n";
        return 2;
    }
    const std::string input = argv[1];
    const std::string output = argv[2];
    const std::string temp = output + ".tmp";
    // A stale table must not survive a failed conversion either.
    auto fail = [&] {
        std::remove(temp.c_str());
        std::remove(output.c_str());
        return 1;
    };

    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::cerr << input << ":0: cannot open\n";
        return fail();
    }
    Image image;
    try {
        image = convert(in);
    } catch (const Refusal &r) {
        std::cerr << input << ":" << r.line << ": " << r.reason << "\n";
        return fail();
    }
    if (in.bad()) {
        std::cerr << input << ":0: read error\n";
        return fail();
    }

    std::vector<std::string> eraseFrames;
    for (int k = 0; k < kEraseRows; ++k)
        eraseFrames.push_back(
            frames::buildFrame(frames::CmdEraseRow, kCountEraseRow, kRegionFirst + kRowSize * k));

    std::ostringstream src;
    src << "// Generated by zarvo-hex2frames from " << baseName(input)
        << "; change the image, not this file.\n"
        << "#include \"image.h\"\n\n";
    writeTable(src, "kEraseFrames", eraseFrames);
    writeTable(src, "kWriteFrames", image.writeFrames);
    src << "extern const std::span<const std::string_view> EraseFrames{kEraseFrames};\n"
        << "extern const std::span<const std::string_view> WriteFrames{kWriteFrames};\n";

    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << src.str();
        file.close();
        if (!file) {
            std::cerr << temp << ":0: cannot write\n";
            return fail();
        }
    }
    if (std::rename(temp.c_str(), output.c_str()) != 0) {
        std::cerr << output << ":0: cannot replace\n";
        return fail();
    }
    return 0;
}
