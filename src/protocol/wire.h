#pragma once
// The bytes of the FLASH3 entry handshake and the hex digits of records and
// logs. Free of Qt: the virtual device shares them with the program.

#include <array>
#include <cstdint>
#include <string>

namespace flash3 {

// The bytes that ask a device in boot mode to take an image, and its reply.
constexpr std::array<uint8_t, 2> EntryBytes{0xE1, 0x94};
constexpr std::array<uint8_t, 2> EntryReply{0x91, 0x26};

// The value of an upper-case hex digit ("0" to "9", "A" to "F"); -1 for any
// other character, lower case included.
constexpr int hexDigitValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

constexpr char hexDigitChar(unsigned value)
{
    return "0123456789ABCDEF"[value & 0xFu];
}

// Two upper-case hex digits: 0A, FF.
inline std::string hexByte(uint8_t value)
{
    return {hexDigitChar(value >> 4u), hexDigitChar(value)};
}

} // namespace flash3
