#pragma once
// Number and time texts as the logs and progress boxes show them.

#include <QString>

#include <cstdint>
#include <functional>

namespace flash3 {

// Upper-case hexadecimal, no leading zeros, no prefix: 0, A, 2A, FF.
QString hexText(int value);

// A byte (the low 8 bits of `value`) as two upper-case hex digits: 0A, FF.
QString hexByteText(int value);

// Bytes as hexByteText gives them, a blank between two: "91 26".
template <typename Bytes>
QString hexBytesText(const Bytes& bytes)
{
    QString text;
    for (const auto b : bytes) {
        if (!text.isEmpty())
            text += QLatin1Char(' ');
        text += hexByteText(b);
    }
    return text;
}

// Control characters made visible, so that a record read as it stands fits on
// one log line: <cr>, <lf>, <1a>.
QString visibleText(const QString& text);

// "##0.0# %": the fraction times 100 with one or two decimals (a zero in the
// second place dropped), the locale's decimal separator, a blank and "%".
QString percentText(float fraction);

// Records in a file of `length` bytes: length / 4 taken to the nearest whole
// number, halves to the even neighbour. Returns -1 when the count does not fit
// the 32-bit counters.
int64_t recordCountForLength(int64_t length);

// The time of day in the user's locale format with hours, minutes and seconds
// (on Windows always 24-hour HH:mm:ss).
QString timeOfDayText();

// Where timeOfDayText() reads the time, in milliseconds since the epoch; the
// system clock unless a test sets another (an empty function restores it).
void setClockForTesting(std::function<int64_t()> nowMs);

} // namespace flash3
