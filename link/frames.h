// Bootloader frames as the tool holds them (FrameText: the wire bytes in upper-case hex),
// the fixed command frames, and the building rule every stored frame satisfies.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace frames {

inline constexpr std::uint8_t FrameStart = 0x0F;
inline constexpr std::uint8_t FrameEnd = 0x04;
inline constexpr std::uint8_t FrameEscape = 0x05;

// Command codes: command byte and count byte as four hex digits, characters 5 to 8.
inline constexpr std::string_view CodeStartBootloader = "0000";
inline constexpr std::string_view CodeReadVersion = "0001";
inline constexpr std::string_view CodeEraseRow = "0301";
inline constexpr std::string_view CodeWriteBlocks = "0202";
inline constexpr std::string_view CodeBlankCheck = "0A02";
inline constexpr std::string_view CodeVerify = "0A01";
inline constexpr std::string_view CodeResetDefaults = "0B01";
inline constexpr std::string_view CodeFinishUpdate = "0801";

// Length of the reply the bootloader sends to a command, by command code; 0 where no reply
// comes (FinishUpdate), -1 for a code the command set does not have.
int expectedReplyLength(std::string_view code);

// The fixed frames.
inline constexpr std::string_view ReadVersion = "0F0F0001FF04";
inline constexpr std::string_view BlankCheck = "0F0F0A02000800EC04";
inline constexpr std::string_view Verify = "0F0F0A01000800ED04";
inline constexpr std::string_view ResetDefaults = "0F0F0B01160800D604";
inline constexpr std::string_view FinishUpdate = "0F0F08010000003CBB04";
// The remote start request, which the instrument's firmware listens for and echoes. Not a
// bootloader frame: on the wire it follows 18 bytes 0x00.
inline constexpr std::array<std::uint8_t, 8> StartRequest = {0xFE, 0xFE, 0x33, 0x00,
                                                             0x42, 0x4C, 0x3F, 0xFD};
inline constexpr std::size_t StartPadding = 18;
// The speed the firmware listens at for the start request, whatever the bootloader's.
inline constexpr int StartRequestBaud = 4800;

namespace detail {
constexpr auto startBootloaderText() {
    std::array<char, 2 * (StartPadding + StartRequest.size())> text{};
    constexpr char digits[] = "0123456789ABCDEF";
    std::size_t at = 2 * StartPadding;
    for (std::size_t i = 0; i < at; ++i)
        text[i] = '0';
    for (std::uint8_t b : StartRequest) {
        text[at++] = digits[b >> 4];
        text[at++] = digits[b & 0x0F];
    }
    return text;
}
inline constexpr auto kStartBootloaderText = startBootloaderText();
} // namespace detail

// The start request as the tool stores it, padding included.
inline constexpr std::string_view StartBootloader{detail::kStartBootloaderText.data(),
                                                  detail::kStartBootloaderText.size()};

inline constexpr std::uint8_t CmdReadVersion = 0x00;
inline constexpr std::uint8_t CmdWriteBlocks = 0x02;
inline constexpr std::uint8_t CmdEraseRow = 0x03;
inline constexpr std::uint8_t CmdFinishUpdate = 0x08;
inline constexpr std::uint8_t CmdCheck = 0x0A; // count 0x02 blank check, 0x01 verify
inline constexpr std::uint8_t CmdResetDefaults = 0x0B;

// Builds a frame by the rule: checksum over command..data, escapes, start and end bytes.
// ReadVersion (command 0x00) carries no address bytes; every other command carries three.
std::string buildFrame(std::uint8_t command, std::uint8_t count, std::uint32_t address,
                       std::span<const std::uint8_t> data = {});

// Applies the escape rule to the bytes between the start pair and the end byte.
std::vector<std::uint8_t> escape(std::span<const std::uint8_t> body);
// Two's complement of the low 8 bits of the sum.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

std::string toHex(std::span<const std::uint8_t> bytes);

// FrameText to bytes. See the definition for what it makes of text that is not a FrameText.
std::vector<std::uint8_t> aStringToHex(std::string_view sTransmit);

} // namespace frames
