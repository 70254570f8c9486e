#pragma once
// The .pf3 record: four characters, its kind ("T" a byte to send, "R" a byte
// the device answers, "E" a line end), two more and ":". The run, the check
// before it, the virtual device and the sample images all read and write
// records here, so that what a run plays is what the check judged. Free of Qt,
// so the virtual device shares it.

#include "protocol/wire.h"

#include <cstdint>
#include <string>

namespace flash3 {

constexpr int RecordSize = 4;
constexpr char RecordSeparator = ':';

enum class RecordKind : uint8_t { Send, Expect, LineEnd, Skipped };

// What can be wrong with a record, or with an image as a whole.
enum class RecordFaultKind : uint8_t {
    NoSeparator,  // the 4th character is not ":": the record is skipped
    HighDigit,    // the first data character is no hex digit: taken as 0
    LowDigit,     // the second one
    BadLineEnd,   // an E record without CR LF: the run ends there
    UnknownKind,  // neither T, R nor E: skipped
    Incomplete,   // the file ends inside a record, and not just in line ends
    NoRecords,    // the file holds no record at all
    ReadError,    // the file could not be read on
};

struct RecordFault {
    RecordFaultKind kind = RecordFaultKind::NoSeparator;
    char character = 0;  // HighDigit, LowDigit: the character that is no digit
};

// One record as read: its kind, its byte, and its faults in the order they
// are reported (two when both digits are bad).
struct ImageRecord {
    RecordKind kind = RecordKind::Skipped;
    uint8_t value = 0;  // Send, Expect: the byte, a bad digit taken as 0
    int faultCount = 0;
    RecordFault faults[2]{};

    bool faulty() const { return faultCount > 0; }
};

// Reads the RecordSize characters at `r`.
inline ImageRecord readRecord(const char* r)
{
    ImageRecord rec;
    const auto fault = [&rec](RecordFaultKind kind, char c = 0) { rec.faults[rec.faultCount++] = {kind, c}; };
    if (r[3] != RecordSeparator) {
        fault(RecordFaultKind::NoSeparator);
        return rec;
    }
    switch (r[0]) {
    case 'T':
    case 'R': {
        rec.kind = r[0] == 'T' ? RecordKind::Send : RecordKind::Expect;
        int high = hexDigitValue(r[1]);
        int low = hexDigitValue(r[2]);
        if (high < 0) {
            fault(RecordFaultKind::HighDigit, r[1]);
            high = 0;
        }
        if (low < 0) {
            fault(RecordFaultKind::LowDigit, r[2]);
            low = 0;
        }
        rec.value = static_cast<uint8_t>(high * 16 + low);
        return rec;
    }
    case 'E':
        rec.kind = RecordKind::LineEnd;
        if (r[1] != '\r' || r[2] != '\n')
            fault(RecordFaultKind::BadLineEnd);
        return rec;
    default:
        fault(RecordFaultKind::UnknownKind);
        return rec;
    }
}

// The record as a file holds it; a LineEnd ignores `value`.
inline std::string recordText(RecordKind kind, uint8_t value = 0)
{
    if (kind == RecordKind::LineEnd)
        return {'E', '\r', '\n', RecordSeparator};
    return {kind == RecordKind::Send ? 'T' : 'R', hexDigitChar(value >> 4u), hexDigitChar(value), RecordSeparator};
}

// An E record whose CR LF became a bare LF or a bare CR: its ":" stands where
// the line end's second character was due. The sign of an image whose line
// ends an editor or a text-mode transfer converted.
inline bool isConvertedLineEnd(const char* r)
{
    return r[0] == 'E' && (r[1] == '\n' || r[1] == '\r') && r[2] == RecordSeparator;
}

// Characters after the last whole record end the image normally when they are
// only line ends or blanks (as editors add after the final ":"); anything else
// is an incomplete record.
inline bool isQuietTail(const char* chars, int count)
{
    for (int i = 0; i < count; ++i) {
        if (chars[i] != '\r' && chars[i] != '\n' && chars[i] != ' ')
            return false;
    }
    return true;
}

// Where the next record starts in the text of an image.
struct RecordCursor {
    int64_t line = 1;       // 1-based
    int64_t lineStart = 0;  // offset of that line's first character
    int64_t offset = 0;     // offset of the next record's first character

    int64_t column() const { return offset - lineStart + 1; }  // 1-based

    // Steps over the record at `r`.
    void pass(const char* r)
    {
        for (int i = 0; i < RecordSize; ++i) {
            if (r[i] == '\n') {
                ++line;
                lineStart = offset + i + 1;
            }
        }
        offset += RecordSize;
    }
};

} // namespace flash3
