#pragma once
// The five line speeds the program offers: the number an operator picks
// (1..5, the port dialog's buttons and flash3-cli -s), the driver's speed
// code, the rate in bit/s, and how the logs and options write it in kbaud.

#include <cstdint>

namespace flash3 {

struct LineSpeed {
    int32_t code;           // the driver's speed code
    int32_t bitsPerSecond;
    const char* kbaud;      // "57.6"
};

constexpr int SpeedCount = 5;
constexpr LineSpeed LineSpeeds[SpeedCount] = {
    {7, 9600, "9.6"}, {8, 19200, "19.2"}, {9, 38400, "38.4"}, {10, 57600, "57.6"}, {11, 115200, "115.2"},
};

// The speed an operator picks as 1..5; nullptr for any other number.
constexpr const LineSpeed* lineSpeed(int number)
{
    return number >= 1 && number <= SpeedCount ? &LineSpeeds[number - 1] : nullptr;
}

} // namespace flash3
