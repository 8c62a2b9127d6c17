// Writes the stand-in firmware image as Intel HEX: same layout and escape profile as the real
// one, reproducible byte for byte on any machine, so the checked-in file can be regenerated.
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "frames.h"
#include "intelhex.h"

namespace {

// splitmix64: our own generator, because the standard distributions may differ between
// library versions and the output must not.
struct Rng {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
};

constexpr std::uint64_t kSeed = 0x5A4152564F1012ull;

struct Run {
    std::uint32_t first;
    int frames;
};
// Sending order. The lone frame at 0x3D24 overlaps the first four bytes of the run after it.
constexpr std::array<Run, 3> kRuns{{{0x000800, 589}, {0x003D24, 1}, {0x003D30, 1068}}};
constexpr std::size_t kOverlapFrame = 589; // index of the 0x3D24 frame
constexpr int kOverlapBytes = 4;

// How many frames carry 0, 1, 2 and 3 escapes on the wire.
constexpr std::array<int, 4> kEscapeProfile{1376, 249, 32, 1};

constexpr int kBlock = 16;

// Upper bytes of 24-bit instruction words, so the data reads like program memory.
constexpr std::array<std::uint8_t, 32> kOpcodes{
    0x78, 0x80, 0x88, 0xEB, 0x37, 0x02, 0x06, 0x00, 0xB0, 0xE8, 0x3A, 0x20, 0x21, 0x22, 0x23, 0x24,
    0x25, 0x2F, 0xFB, 0x90, 0x98, 0x40, 0x50, 0xE0, 0xA8, 0xA9, 0xAF, 0x04, 0x07, 0x32, 0x3E, 0xB8};

bool needsEscape(std::uint8_t b) {
    return b == frames::FrameStart || b == frames::FrameEnd || b == frames::FrameEscape;
}

int escapesOf(std::uint32_t address, const std::array<std::uint8_t, kBlock> &data) {
    const std::string text =
        frames::buildFrame(frames::CmdWriteBlocks, 0x02, address, std::span(data));
    return static_cast<int>(text.size() - 50) / 2;
}

bool addressEscaped(std::uint32_t address) {
    return needsEscape(address & 0xFF) || needsEscape((address >> 8) & 0xFF) ||
           needsEscape((address >> 16) & 0xFF);
}

// Program words are 3 bytes plus a zero phantom byte; the phantom sits at addresses 3 mod 4.
std::uint8_t instructionByte(Rng &rng, std::uint32_t address) {
    switch (address % 4) {
    case 3:
        return 0x00;
    case 2:
        return kOpcodes[rng.below(kOpcodes.size())];
    default:
        return static_cast<std::uint8_t>(rng.next() >> 56);
    }
}

// Escape count wanted for each frame: the profile, shuffled. Nothing when the profile does
// not add up to the frame count.
std::optional<std::vector<int>> escapePlan(const std::vector<std::uint32_t> &addresses, Rng &rng) {
    std::vector<int> wanted;
    for (int n = 0; n < static_cast<int>(kEscapeProfile.size()); ++n)
        wanted.insert(wanted.end(), kEscapeProfile[n], n);
    if (wanted.size() != addresses.size())
        return std::nullopt;
    for (std::size_t i = wanted.size() - 1; i > 0; --i)
        std::swap(wanted[i], wanted[rng.below(static_cast<std::uint32_t>(i + 1))]);
    // A frame whose address already needs an escape cannot have none: trade with the next
    // frame that wants some and is free to have none.
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (wanted[i] != 0 || !addressEscaped(addresses[i]))
            continue;
        for (std::size_t k = 1; k < addresses.size(); ++k) {
            const std::size_t j = (i + k) % addresses.size();
            if (wanted[j] > 0 && !addressEscaped(addresses[j])) {
                std::swap(wanted[i], wanted[j]);
                break;
            }
        }
    }

    return wanted;
}

// Through a temporary file, so that a failed run never leaves half an image behind.
bool writeFile(const std::string &path, const std::string &out) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file << out;
        file.close();
        if (!file) {
            std::cerr << "zarvo-mkimage: cannot write " << temp << "\n";
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::cerr << "zarvo-mkimage: cannot replace " << path << "\n";
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::cerr << "usage: zarvo-mkimage <output.hex>\n";
        return 2;
    }
    Rng rng{kSeed};

    std::vector<std::uint32_t> addresses;
    for (const Run &run : kRuns)
        for (int i = 0; i < run.frames; ++i)
            addresses.push_back(run.first + static_cast<std::uint32_t>(kBlock * i));

    const std::optional<std::vector<int>> wanted = escapePlan(addresses, rng);
    if (!wanted) {
        std::cerr << "zarvo-mkimage: escape profile does not match the frame count\n";
        return 1;
    }

    std::string out;
    std::array<std::uint8_t, kBlock> carried{}; // the overlap, handed to the next frame
    for (std::size_t f = 0; f < addresses.size(); ++f) {
        const std::uint32_t address = addresses[f];
        const int fixed = f == kOverlapFrame + 1 ? kOverlapBytes : 0;
        std::array<std::uint8_t, kBlock> data{};
        for (long tries = 0;; ++tries) {
            if (tries == 10'000'000) {
                std::cerr << "zarvo-mkimage: no data found for frame " << f + 1 << "\n";
                return 1;
            }
            for (int j = 0; j < kBlock; ++j)
                data[j] = j < fixed ? carried[j] : instructionByte(rng, address + j);
            if (escapesOf(address, data) != (*wanted)[f])
                continue;
            // The overlapping bytes must not spend escapes that belong to the next frame.
            if (f == kOverlapFrame) {
                bool clean = true;
                for (int j = kBlock - kOverlapBytes; j < kBlock; ++j)
                    clean = clean && !needsEscape(data[j]);
                if (!clean)
                    continue;
            }
            break;
        }
        if (f == kOverlapFrame)
            for (int j = 0; j < kOverlapBytes; ++j)
                carried[j] = data[kBlock - kOverlapBytes + j];
        out += intelhex::record(std::uint16_t(address), intelhex::Data, data);
    }
    out += intelhex::endOfFile();

    return writeFile(argv[1], out) ? 0 : 1;
}
