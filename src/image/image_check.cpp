#include "image/image_check.h"

#include "app/text_format.h"
#include "image/image_file.h"

namespace flash3 {

namespace {
bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
} // namespace

ImageCheckReport checkImage(const QString& path, const std::function<void(const ImageFault&)>& onFault)
{
    ImageCheckReport report;
    ImageFileHandle file;
    if (!file.open(path))
        return report;
    report.opened = true;
    report.bytes = file.length();
    if (recordCountForLength(report.bytes) < 0) {
        report.tooLarge = true;
        return report;
    }

    int64_t line = 1;
    int64_t lineStart = 0;  // offset of the current line's first character
    int64_t offset = 0;
    const auto fault = [&](const QString& message) {
        ++report.faults;
        onFault(ImageFault{line, offset - lineStart + 1, message});
    };
    const auto advance = [&](const char* chars, int count) {
        for (int i = 0; i < count; ++i) {
            if (chars[i] == '\n') {
                ++line;
                lineStart = offset + i + 1;
            }
        }
        offset += count;
    };

    char rec[4];
    for (;;) {
        const int got = file.read(rec, 4);
        if (got < 0) {
            fault(QStringLiteral("Error reading input file."));
            break;
        }
        if (got == 0)
            break;
        if (got < 4) {
            bool blank = true;
            for (int i = 0; i < got; ++i)
                blank = blank && (rec[i] == '\r' || rec[i] == '\n' || rec[i] == ' ');
            if (!blank)
                fault(QStringLiteral("Error. Incomplete record at end of input file."));
            break;
        }
        ++report.records;
        if (rec[3] != ':') {
            fault(QStringLiteral("Char4 not a :"));
        } else if (rec[0] == 'T' || rec[0] == 'R') {
            ++(rec[0] == 'T' ? report.tRecords : report.rRecords);
            if (!isHexDigit(rec[1]))
                fault(QStringLiteral("Nib1 not valid: ") + hexText(static_cast<unsigned char>(rec[1])));
            if (!isHexDigit(rec[2]))
                fault(QStringLiteral("Nib0 not valid: ") + hexText(static_cast<unsigned char>(rec[2])));
        } else if (rec[0] == 'E') {
            ++report.eRecords;
            if (rec[1] != '\r' || rec[2] != '\n')
                fault(QStringLiteral("Error. Expected <cr> <lf> not found."));
        } else {
            fault(QStringLiteral("Invalid packet read from input file.  ") + QString::fromLatin1(rec, 4));
        }
        advance(rec, 4);
    }
    if (report.records == 0 && report.faults == 0) {
        ++report.faults;
        onFault(ImageFault{1, 1, QStringLiteral("Input file holds no records.")});
    }
    return report;
}

} // namespace flash3
