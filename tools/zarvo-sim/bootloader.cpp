#include "bootloader.h"

#include <algorithm>
#include <span>
#include <utility>

#include "frames.h"
#include "intelhex.h"

namespace sim {

namespace {

constexpr std::uint8_t kStrayBytes[] = {0x00, 0x55, 0xAA};
constexpr std::size_t kFloodBytes = 4096;
// Replies that arrive corrupted: every bit pattern changes, the start pair included.
constexpr std::uint8_t kGarbleMask = 0x55;

void appendText(Bytes &out, const std::string &text) {
    out.insert(out.end(), text.begin(), text.end());
}

} // namespace

Flash::Flash() {
    m_cells.fill(0xFF);
    m_expected.fill(-1);
}

void Flash::eraseRow(std::uint32_t address) {
    const std::uint32_t row = address & ~(kRowSize - 1);
    if (row < kAppFirst || row > kAppLast)
        return;
    for (std::uint32_t a = row; a < row + kRowSize; ++a) {
        m_cells[a] = (long(a) == m_stuck) ? 0x00 : 0xFF;
        m_expected[a] = -1;
    }
}

void Flash::write(std::uint32_t address, const Bytes &data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint32_t a = address + std::uint32_t(i);
        if (a < kAppFirst || a > kAppLast)
            continue;
        std::uint8_t stored = m_cells[a] & data[i];
        if (m_corruptPending && stored != 0) {
            stored &= std::uint8_t(stored - 1); // loses its lowest set bit
            m_corruptPending = false;
        }
        m_cells[a] = stored;
        m_expected[a] = data[i];
    }
}

long Flash::firstNonBlank(std::uint32_t first, std::uint32_t last) const {
    for (std::uint32_t a = first; a <= last && a < kSize; ++a) {
        if (m_cells[a] != 0xFF)
            return long(a);
    }
    return -1;
}

int Flash::mismatches() const {
    int n = 0;
    for (std::uint32_t a = 0; a < kSize; ++a) {
        if (m_expected[a] >= 0 && m_cells[a] != std::uint8_t(m_expected[a]))
            ++n;
    }
    return n;
}

std::uint16_t Flash::sum16(std::uint32_t first, std::uint32_t last) const {
    std::uint16_t sum = 0;
    for (std::uint32_t a = first; a <= last && a < kSize; ++a)
        sum = std::uint16_t(sum + m_cells[a]);
    return sum;
}

bool Flash::anyWritten() const {
    return std::any_of(m_expected.begin(), m_expected.end(), [](std::int16_t e) { return e >= 0; });
}

std::string Flash::toIntelHex() const {
    std::string out;
    for (std::uint32_t a = 0; a < kSize; a += 16) {
        const std::span<const std::uint8_t> record(m_cells.data() + a, 16);
        if (std::all_of(record.begin(), record.end(), [](std::uint8_t c) { return c == 0xFF; }))
            continue;
        out += intelhex::record(std::uint16_t(a), intelhex::Data, record);
    }
    return out + intelhex::endOfFile();
}

std::string hexText(const Bytes &bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

Unit::Unit(Identity identity, Faults faults, Mode mode)
    : m_identity(std::move(identity)), m_faults(std::move(faults)), m_mode(mode) {
    if (m_identity.noFirmware)
        m_installed = Installed::None;
    if (m_faults.failBlankCheck)
        m_flash.setStuckCell(0x004000);
    if (m_faults.failVerify)
        m_flash.corruptNextWrite();
}

Bytes Unit::versionReply() const {
    Bytes body{frames::CmdReadVersion, 0x01};
    appendText(body, m_identity.id);
    switch (m_installed) {
    case Installed::Original:
        appendText(body, m_identity.version);
        break;
    case Installed::None:
        body.insert(body.end(), 4, 0xFF);
        break;
    case Installed::New:
        appendText(body, m_identity.newVersion);
        break;
    }
    appendText(body, m_identity.suffix);
    return buildReply(body);
}

Response Unit::receive(const Frame &frame) {
    const int n = ++m_frames;
    Response r = execute(frame);
    if (m_faults.hangUp.count(n)) {
        r.reply.clear();
        r.hangUp = true;
        return r;
    }
    if (r.reply.empty())
        return r;
    if (m_faults.dropReply.count(n) || (m_faults.silentFrom > 0 && n >= m_faults.silentFrom)) {
        r.reply.clear();
        return r;
    }
    if (m_faults.garbleReply.count(n)) {
        for (auto &b : r.reply)
            b ^= kGarbleMask;
    }
    if (m_faults.shortReply.count(n)) // checksum and end byte never arrive
        r.reply.resize(r.reply.size() > 2 ? r.reply.size() - 2 : 1);
    if (m_faults.wrongStart.count(n))
        r.reply[0] ^= kGarbleMask;
    if (m_faults.strayBytes.count(n))
        r.reply.insert(r.reply.begin(), std::begin(kStrayBytes), std::end(kStrayBytes));
    if (m_faults.wrongReply.count(n)) // the answer to a ReadVersion, or to an erase
        r.reply = frame.command == frames::CmdReadVersion ? buildReply({frames::CmdEraseRow})
                                                          : versionReply();
    if (m_faults.oversizeReply.count(n)) {
        const Bytes once = r.reply; // a range of the vector itself cannot be inserted into it
        r.reply.insert(r.reply.end(), once.begin(), once.end());
    }
    if (m_faults.floodReply.count(n))
        r.reply.insert(r.reply.begin(), kFloodBytes, 0x55);
    if (m_faults.splitReply.count(n))
        r.pieces = 3;
    if (const auto late = m_faults.lateReply.find(n); late != m_faults.lateReply.end())
        r.late = late->second;
    const Bytes late = std::exchange(m_late, {});
    if (m_faults.repeatReply.count(n))
        m_late = r.reply;
    r.reply.insert(r.reply.begin(), late.begin(), late.end());
    return r;
}

Response Unit::execute(const Frame &frame) {
    Response r;
    switch (frame.command) {
    case frames::CmdReadVersion:
        r.reply = versionReply();
        break;
    case frames::CmdEraseRow:
        m_flash.eraseRow(frame.address);
        // Whatever was installed is gone once any part of the application is erased.
        m_installed = Installed::None;
        r.work = Work::Erase;
        r.reply = buildReply({frame.command});
        break;
    case frames::CmdWriteBlocks:
        m_flash.write(frame.address, frame.data);
        m_writtenSinceVerify = true;
        r.work = Work::Write;
        r.reply = buildReply({frame.command});
        break;
    case frames::CmdCheck:
        r = check(frame);
        break;
    case frames::CmdResetDefaults:
        r.work = Work::Defaults;
        r.reply = buildReply({frame.command});
        break;
    case frames::CmdFinishUpdate:
        r.finished = true;
        m_mode = Mode::Application;
        m_window.clear();
        break;
    default:
        break; // unknown commands go unanswered
    }
    return r;
}

// Blank check (count 0x02) and verify (count 0x01); another count is a check this
// bootloader does not know, and goes unanswered.
Response Unit::check(const Frame &frame) {
    Response r;
    // The reply echoes the command, the count and the address.
    Bytes body{frame.command, frame.count, std::uint8_t(frame.address),
               std::uint8_t(frame.address >> 8), std::uint8_t(frame.address >> 16)};
    if (frame.count == 0x02) {
        const long bad = m_flash.firstNonBlank(Flash::kAppFirst, Flash::kAppLast);
        if (bad < 0) {
            body.insert(body.end(), kBlankResult.begin(), kBlankResult.end());
        } else { // 01, then the first address that did not erase
            body.push_back(0x01);
            for (int shift = 0; shift < 24; shift += 8)
                body.push_back(std::uint8_t(bad >> shift));
        }
        r.work = Work::BlankCheck;
    } else if (frame.count == 0x01) {
        const int bad = std::min(m_flash.mismatches(), 0xFFFF);
        const std::uint16_t sum = m_flash.sum16(Flash::kAppFirst, Flash::kAppLast);
        body.push_back(std::uint8_t(bad));
        body.push_back(std::uint8_t(bad >> 8));
        body.push_back(std::uint8_t(sum));
        body.push_back(std::uint8_t(sum >> 8));
        if (bad == 0 && m_writtenSinceVerify)
            m_installed = Installed::New;
        m_writtenSinceVerify = false;
        r.work = Work::Verify;
    } else {
        return r; // not a check this bootloader knows
    }
    r.reply = buildReply(body);
    return r;
}

Response Unit::receiveInApplication(std::uint8_t byte) {
    Response r;
    m_window.push_back(byte);
    if (m_window.size() > kStartRequest.size())
        m_window.erase(m_window.begin());
    if (!std::equal(m_window.begin(), m_window.end(), kStartRequest.begin(), kStartRequest.end()))
        return r;
    m_window.clear();
    m_mode = Mode::Bootloader;
    r.enteredBootloader = true;
    if (!m_faults.noEcho)
        r.reply.assign(kStartRequest.begin(), kStartRequest.end());
    return r;
}

} // namespace sim
