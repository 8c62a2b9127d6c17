// Intel HEX, read and written: the one reader and writer of the project's tools and tests.
// Plain C++ so that the build-time converter can use it.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace intelhex {

enum RecordType : std::uint8_t {
    Data = 0x00,
    EndOfFile = 0x01,
    ExtendedSegment = 0x02,
    StartSegment = 0x03,
    ExtendedLinear = 0x04,
    StartLinear = 0x05,
};

// Why a file is refused, and on which line (1-based).
struct Refusal {
    std::size_t line;
    std::string reason;
};

struct DataRecord {
    std::size_t line;
    // Extended address included, in 64 bits so that nothing near the top wraps around.
    std::uint64_t address;
    std::vector<std::uint8_t> data;
};

// Reads a file record by record, in file order. Every record is checked (syntax, length,
// checksum, known type, nothing after the end-of-file record, that record present);
// extended and start address records are taken in and not handed out. Throws Refusal.
class Reader {
public:
    explicit Reader(std::istream &in) : m_in(in) {}
    // The next data record, or nothing once the file has ended properly.
    std::optional<DataRecord> next();
    // Lines read so far.
    std::size_t lines() const { return m_line; }

private:
    std::istream &m_in;
    std::size_t m_line = 0;
    std::uint32_t m_base = 0;
    std::optional<std::size_t> m_endLine;
};

// Two's complement of the low 8 bits of the sum.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// "0x" and the value in upper-case hex, zero-padded to `digits`: how refusals name numbers.
std::string hex(std::uint64_t value, int digits);

// One record as a line, newline included.
std::string record(std::uint16_t offset, RecordType type, std::span<const std::uint8_t> data = {});
std::string endOfFile();

} // namespace intelhex
