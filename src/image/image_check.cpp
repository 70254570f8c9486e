#include "image/image_check.h"

#include "app/text_format.h"

#include <algorithm>
#include <limits>

namespace flash3 {

void RecordChecker::fault(const QString& message)
{
    fault(message, report_.records);
}

void RecordChecker::fault(const QString& message, int64_t record)
{
    ++report_.faults;
    if (!recordFaulty_) {
        recordFaulty_ = true;
        ++report_.faultyRecords;
    }
    const ImageFault f{line_, offset_ - lineStart_ + 1, record, offset_, message};
    if (!report_.firstFault)
        report_.firstFault = f;
    if (onFault_)
        onFault_(f);
}

void RecordChecker::checkRecord(const char* rec)
{
    ++report_.records;
    recordFaulty_ = false;
    if (rec[3] != ':') {
        if (!report_.firstFault && rec[0] == 'E' && (rec[1] == '\n' || rec[1] == '\r') && rec[2] == ':')
            report_.lineEndsConverted = true;
        fault(QStringLiteral("Char4 not a :"));
    } else if (rec[0] == 'T' || rec[0] == 'R') {
        ++(rec[0] == 'T' ? report_.tRecords : report_.rRecords);
        if (!isHexDigit(rec[1]))
            fault(QStringLiteral("Nib1 not valid: ") + hexText(static_cast<unsigned char>(rec[1])));
        if (!isHexDigit(rec[2]))
            fault(QStringLiteral("Nib0 not valid: ") + hexText(static_cast<unsigned char>(rec[2])));
    } else if (rec[0] == 'E') {
        ++report_.eRecords;
        if (rec[1] != '\r' || rec[2] != '\n')
            fault(QStringLiteral("Error. Expected <cr> <lf> not found."));
    } else {
        fault(QStringLiteral("Invalid packet read from input file.  ") + QString::fromLatin1(rec, 4));
    }
    for (int i = 0; i < 4; ++i) {
        if (rec[i] == '\n') {
            ++line_;
            lineStart_ = offset_ + i + 1;
        }
    }
    offset_ += 4;
}

void RecordChecker::feed(const char* data, std::size_t count)
{
    std::size_t i = 0;
    if (partialCount_ > 0) {
        while (partialCount_ < 4 && i < count)
            partial_[partialCount_++] = data[i++];
        if (partialCount_ < 4)
            return;
        checkRecord(partial_);
        partialCount_ = 0;
    }
    for (; i + 4 <= count; i += 4)
        checkRecord(data + i);
    while (i < count)
        partial_[partialCount_++] = data[i++];
}

void RecordChecker::finish()
{
    if (partialCount_ > 0) {
        // Line ends or blanks after the final ":" (as editors add) end the image normally.
        bool blank = true;
        for (int i = 0; i < partialCount_; ++i)
            blank = blank && (partial_[i] == '\r' || partial_[i] == '\n' || partial_[i] == ' ');
        if (!blank) {
            recordFaulty_ = false;
            fault(QStringLiteral("Error. Incomplete record at end of input file."), report_.records + 1);
        }
        partialCount_ = 0;
    }
    if (report_.records == 0 && report_.faults == 0)
        fault(QStringLiteral("Input file holds no records."), 0);
}

void RecordChecker::readError()
{
    recordFaulty_ = false;
    fault(QStringLiteral("Error reading input file."), report_.records + 1);
    partialCount_ = 0;
}

bool ImageCheck::open(const QString& path, bool withDigest, bool withSha256)
{
    ImageCheckReport& report = checker_.report();
    if (!file_.open(path))
        return false;
    identity_ = file_.identityAtOpen();
    report.opened = true;
    report.bytes = file_.length();
    if (recordCountForLength(report.bytes) < 0) {
        report.tooLarge = true;
        done_ = true;
        return true;
    }
    if (withDigest || withSha256)
        file_.keepDigest(withSha256);
    return true;
}

bool ImageCheck::step(int64_t budget)
{
    while (!done_ && budget > 0) {
        const char* data = nullptr;
        const int max = static_cast<int>(std::min<int64_t>(budget, std::numeric_limits<int>::max()));
        const int got = file_.take(data, max);
        if (got < 0) {
            checker_.readError();
            done_ = true;
        } else if (got == 0) {
            checker_.finish();
            done_ = true;
        } else {
            checker_.feed(data, static_cast<std::size_t>(got));
            checked_ += got;
            budget -= got;
        }
    }
    return done_;
}

ImageCheckReport checkImage(const QString& path, const RecordChecker::FaultSink& onFault)
{
    ImageCheck check(onFault);
    if (!check.open(path, false))
        return check.report();
    check.step(std::numeric_limits<int64_t>::max());
    return check.report();
}

} // namespace flash3
