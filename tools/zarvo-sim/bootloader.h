// The virtual instrument's behaviour without any I/O: frame parser, flash model, bootloader
// commands, application mode and the faults tests ask for. The process around it owns the line.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "appinfo.h"
#include "frames.h"
#include "framing.h"
#include "image.h"

namespace sim {

// 32 KiB of program flash: rows of 64 bytes erase to 0xFF, writes can only clear bits.
class Flash {
public:
    static constexpr std::uint32_t kSize = 0x8000;
    static constexpr std::uint32_t kRowSize = image::kRowSize;
    static constexpr std::uint32_t kAppFirst = image::kRegionFirst; // below: the bootloader
    static constexpr std::uint32_t kAppLast = image::kRegionLast;

    Flash();
    // Both ignore what lies outside the application area: the bootloader protects itself.
    void eraseRow(std::uint32_t address);
    void write(std::uint32_t address, const Bytes &data);

    std::uint8_t at(std::uint32_t address) const { return m_cells[address]; }
    // First address in [first, last] that is not 0xFF, or -1 when all are erased.
    long firstNonBlank(std::uint32_t first, std::uint32_t last) const;
    // Bytes written since their row was last erased that do not read back as written.
    int mismatches() const;
    std::uint16_t sum16(std::uint32_t first, std::uint32_t last) const;
    // A cell that no erase sets back to 0xFF (it stays 0x00).
    void setStuckCell(long address) { m_stuck = address; }
    // The next written byte that has a bit to lose reads back with that bit cleared.
    void corruptNextWrite() { m_corruptPending = true; }
    bool anyWritten() const;
    // Records of 16 bytes, all-0xFF records left out, then the end-of-file record.
    std::string toIntelHex() const;

private:
    std::array<std::uint8_t, kSize> m_cells;
    std::array<std::int16_t, kSize> m_expected; // -1: not written since the row's erase
    long m_stuck = -1;
    bool m_corruptPending = false;
};

struct Identity {
    std::string id = "0415";
    std::string version = "1003";
    // What the tool installs: the version it carries.
    std::string newVersion = appinfo::kVersionDigits;
    std::string suffix = "01";
    bool noFirmware = false;
};

// A reply that leaves late. `held`: the unit is busy with its command until then, and the
// reply does not leave before a byte of a later frame has come in (the next run's first
// frame, once the interrupted one has given up); otherwise it leaves after `by` whatever
// the line does.
struct LateReply {
    std::chrono::milliseconds by{0};
    bool held = false;
};

// Each set holds 1-based numbers of bootloader frames, counted from the start.
struct Faults {
    std::set<int> dropReply;
    std::set<int> garbleReply;
    std::set<int> shortReply;
    std::set<int> strayBytes;
    std::set<int> repeatReply; // sent again, late: in front of the next reply
    std::set<int> hangUp;
    std::set<int> splitReply;    // in three pieces with pauses between them
    std::map<int, LateReply> lateReply;
    std::set<int> floodReply;    // behind a flood of stray bytes
    std::set<int> oversizeReply; // with more bytes after it than the command's reply has
    std::set<int> wrongReply;    // the reply to another command
    std::set<int> wrongStart;    // the first start byte garbled, the rest as sent
    int silentFrom = 0;          // from this frame on nothing is answered (0: never)
    bool failBlankCheck = false;
    bool failVerify = false;
    bool noEcho = false;
    std::chrono::microseconds replyDelay{0};
};

enum class Work { None, Erase, Write, BlankCheck, Verify, Defaults };

struct Response {
    Bytes reply; // empty: nothing is sent
    Work work = Work::None;
    bool finished = false; // FinishUpdate: the unit left its bootloader
    bool hangUp = false;   // the line goes dead instead of a reply
    int pieces = 1;        // the reply leaves in this many pieces, kPiecePause apart
    LateReply late;        // the reply leaves only this much later
    bool enteredBootloader = false;
};

inline constexpr std::chrono::milliseconds kPiecePause{40};
// --late-reply N without a time: longer than the tool waits for any reply, whose 1,001
// passes of a millisecond stretch when the machine is busy, to two seconds and more with a
// build running beside it.
inline constexpr std::chrono::milliseconds kLateReply{3000};

// 18 bytes 0x00 precede it on the wire; the unit listens for these eight.
inline constexpr auto kStartRequest = frames::StartRequest;
inline constexpr std::array<std::uint8_t, 4> kBlankResult = {0x00, 0xC4, 0xFF, 0x3B};

// The frame's wire bytes as upper-case hex.
std::string hexText(const Bytes &bytes);

class Unit {
public:
    enum class Mode { Bootloader, Application };

    Unit(Identity identity, Faults faults, Mode mode);

    Mode mode() const { return m_mode; }
    const Flash &flash() const { return m_flash; }
    int framesReceived() const { return m_frames; }

    // Bootloader mode: one accepted frame.
    Response receive(const Frame &frame);
    // Application mode: one byte of the line; answers once the start request is complete.
    Response receiveInApplication(std::uint8_t byte);

    Bytes versionReply() const;

private:
    enum class Installed { Original, None, New };
    Response execute(const Frame &frame);
    Response check(const Frame &frame);

    Identity m_identity;
    Faults m_faults;
    Mode m_mode;
    Flash m_flash;
    int m_frames = 0;
    Installed m_installed = Installed::Original;
    bool m_writtenSinceVerify = false;
    Bytes m_window; // the last bytes seen in application mode
    Bytes m_late;   // a repeated reply, waiting for the next one
};

} // namespace sim
