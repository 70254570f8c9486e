#pragma once
// Number and time texts as the logs and progress boxes show them.

#include <QString>

#include <cstdint>

namespace flash3 {

// Upper-case hexadecimal, no leading zeros, no prefix: 0, A, 2A, FF.
QString hexText(int value);

// "##0.0# %": the fraction times 100 with one or two decimals (a zero in the
// second place dropped), the locale's decimal separator, a blank and "%".
QString percentText(float fraction);

// Records in a file of `length` bytes: length / 4 taken to the nearest whole
// number, halves to the even neighbour. Returns -1 when the count does not fit
// the 32-bit counters.
int64_t recordCountForLength(int64_t length);

// The time of day in the user's locale format with hours, minutes and seconds.
QString timeOfDayText();

} // namespace flash3
