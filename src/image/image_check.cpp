#include "image/image_check.h"

#include "app/text_format.h"

#include <algorithm>
#include <limits>

namespace flash3 {

QString recordFaultMessage(const RecordFault& fault, const char* record)
{
    switch (fault.kind) {
    case RecordFaultKind::NoSeparator:
        return QStringLiteral("Char4 not a :");
    case RecordFaultKind::HighDigit:
        return QStringLiteral("Nib1 not valid: ") + hexText(static_cast<unsigned char>(fault.character));
    case RecordFaultKind::LowDigit:
        return QStringLiteral("Nib0 not valid: ") + hexText(static_cast<unsigned char>(fault.character));
    case RecordFaultKind::BadLineEnd:
        return QStringLiteral("Error. Expected <cr> <lf> not found.");
    case RecordFaultKind::UnknownKind:
        return QStringLiteral("Invalid packet read from input file.  ") + QString::fromLatin1(record, RecordSize);
    case RecordFaultKind::Incomplete:
        return QStringLiteral("Error. Incomplete record at end of input file.");
    case RecordFaultKind::NoRecords:
        return QStringLiteral("Input file holds no records.");
    case RecordFaultKind::ReadError:
        return QStringLiteral("Error reading input file.");
    }
    return {};
}

void RecordChecker::fault(const RecordFault& what, const char* rec, int64_t record)
{
    ++report_.faults;
    if (!recordFaulty_) {
        recordFaulty_ = true;
        ++report_.faultyRecords;
    }
    const ImageFault f{cursor_.line, cursor_.column(), record, cursor_.offset, recordFaultMessage(what, rec), what.kind};
    if (!report_.firstFault)
        report_.firstFault = f;
    if (onFault_)
        onFault_(f);
}

void RecordChecker::checkRecord(const char* rec)
{
    ++report_.records;
    recordFaulty_ = false;
    const ImageRecord read = readRecord(rec);
    switch (read.kind) {
    case RecordKind::Send: ++report_.tRecords; break;
    case RecordKind::Expect: ++report_.rRecords; break;
    case RecordKind::LineEnd: ++report_.eRecords; break;
    case RecordKind::Skipped: break;
    }
    if (read.faulty()) {
        if (!report_.firstFault && read.faults[0].kind == RecordFaultKind::NoSeparator && isConvertedLineEnd(rec))
            report_.lineEndsConverted = true;
        for (int i = 0; i < read.faultCount; ++i)
            fault(read.faults[i], rec, report_.records);
    }
    cursor_.pass(rec);
}

void RecordChecker::feed(const char* data, std::size_t count)
{
    std::size_t i = 0;
    if (partialCount_ > 0) {
        while (partialCount_ < RecordSize && i < count)
            partial_[partialCount_++] = data[i++];
        if (partialCount_ < RecordSize)
            return;
        checkRecord(partial_);
        partialCount_ = 0;
    }
    for (; i + RecordSize <= count; i += RecordSize)
        checkRecord(data + i);
    while (i < count)
        partial_[partialCount_++] = data[i++];
}

void RecordChecker::finish()
{
    if (partialCount_ > 0) {
        if (!isQuietTail(partial_, partialCount_)) {
            recordFaulty_ = false;
            fault({RecordFaultKind::Incomplete}, nullptr, report_.records + 1);
        }
        partialCount_ = 0;
    }
    if (report_.records == 0 && report_.faults == 0)
        fault({RecordFaultKind::NoRecords}, nullptr, 0);
}

void RecordChecker::readError()
{
    recordFaulty_ = false;
    fault({RecordFaultKind::ReadError}, nullptr, report_.records + 1);
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
