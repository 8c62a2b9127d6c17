#include "intelhex.h"

#include <cstdio>

namespace intelhex {

namespace {

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
    const std::span<const std::uint8_t> body(bytes.data(), bytes.size() - 1);
    if (checksum(body) != bytes.back())
        throw Refusal{number, "bad checksum " + hex(bytes.back(), 2) + ", the record sums to " +
                                  hex(checksum(body), 2)};
    return bytes;
}

} // namespace

std::string hex(std::uint64_t value, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return buf;
}

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t b : bytes)
        sum += b;
    return static_cast<std::uint8_t>((256 - (sum & 0xFF)) & 0xFF);
}

std::optional<DataRecord> Reader::next() {
    std::string line;
    while (std::getline(m_in, line)) {
        ++m_line;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (m_endLine)
            throw Refusal{m_line, "record after the end-of-file record on line " +
                                      std::to_string(*m_endLine)};
        const std::vector<std::uint8_t> rec = decodeLine(line, m_line);
        const std::size_t count = rec[0];
        const std::uint32_t offset = static_cast<std::uint32_t>(rec[1] << 8 | rec[2]);
        const std::uint8_t type = rec[3];
        const std::span<const std::uint8_t> data(rec.data() + 4, count);
        switch (type) {
        case Data:
            return DataRecord{m_line, std::uint64_t(m_base) + offset, {data.begin(), data.end()}};
        case EndOfFile:
            if (count != 0)
                throw Refusal{m_line, "end-of-file record carries data"};
            m_endLine = m_line;
            break;
        case ExtendedSegment:
        case ExtendedLinear:
            if (count != 2)
                throw Refusal{m_line, "extended address record of " + std::to_string(count) +
                                          " bytes, not 2"};
            m_base = static_cast<std::uint32_t>(data[0] << 8 | data[1]);
            m_base <<= type == ExtendedLinear ? 16 : 4;
            break;
        case StartSegment:
        case StartLinear:
            // An entry point means nothing to a bootloader; the image starts where it starts.
            if (count != 4)
                throw Refusal{m_line,
                              "start address record of " + std::to_string(count) + " bytes, not 4"};
            break;
        default:
            throw Refusal{m_line, "unknown record type " + hex(type, 2)};
        }
    }
    if (!m_endLine)
        throw Refusal{m_line == 0 ? 1 : m_line, "no end-of-file record"};
    return std::nullopt;
}

std::string record(std::uint16_t offset, RecordType type, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> rec{static_cast<std::uint8_t>(data.size()),
                                  static_cast<std::uint8_t>(offset >> 8),
                                  static_cast<std::uint8_t>(offset), type};
    rec.insert(rec.end(), data.begin(), data.end());
    rec.push_back(checksum(rec));
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string line = ":";
    for (std::uint8_t b : rec) {
        line += digits[b >> 4];
        line += digits[b & 0x0F];
    }
    return line + "\n";
}

std::string endOfFile() {
    return record(0, EndOfFile);
}

} // namespace intelhex
