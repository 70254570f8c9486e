#pragma once
// flash3-cli --check: the image's faults as a person reads them. The faults
// are the reader's, but one cause is said once: line ends converted by an
// editor, or a record boundary lost to a missing or extra character, instead
// of a line for every record they spoil.

#include <QString>

#include <cstdint>
#include <functional>

namespace flash3::cli {

struct CheckLine {
    int64_t line = 0;
    int64_t column = 0;
    QString message;
};

struct CheckSummary {
    bool opened = false;
    QString openError;  // why it could not be opened ("is a FIFO, not a regular file")
    bool tooLarge = false;
    int64_t bytes = 0;
    int64_t records = 0;
    int64_t tRecords = 0;
    int64_t rRecords = 0;
    int64_t eRecords = 0;
    int64_t faults = 0;  // lines reported
    QString lineEnds;    // "LF" or "CR" when the line ends were converted to that alone
};

// Reports every fault of the image at `path` through `report`, in file order.
CheckSummary explainImage(const QString& path, const std::function<void(const CheckLine&)>& report);

} // namespace flash3::cli
