#pragma once
// Checks an image without a device: every fault a run would report, with its
// line and column, and the record counts.

#include <QString>

#include <cstdint>
#include <functional>

namespace flash3 {

struct ImageFault {
    int64_t line = 0;    // 1-based text line of the record's first character
    int64_t column = 0;  // 1-based column of it
    QString message;     // the reader's own line
};

struct ImageCheckReport {
    bool opened = false;
    bool tooLarge = false;
    int64_t bytes = 0;
    int64_t records = 0;  // whole records read
    int64_t tRecords = 0;
    int64_t rRecords = 0;
    int64_t eRecords = 0;
    int64_t faults = 0;
};

ImageCheckReport checkImage(const QString& path, const std::function<void(const ImageFault&)>& onFault);

} // namespace flash3
