#include "check_report.h"

#include "app/text_format.h"
#include "image/image_check.h"
#include "image/image_file.h"

#include <optional>
#include <string>

namespace flash3::cli {

namespace {

// Puts converted line ends back to CR LF before the records are judged, so
// that one converted file gives one report and its other faults still show.
// The file's first line end tells how it was converted: a bare LF (an editor
// or a text-mode transfer to a Unix system), a bare CR (old Mac tools). A file
// whose first line end is CR LF is passed through untouched.
class LineEndRepair {
public:
    enum class Style { Unknown, CrLf, LfOnly, CrOnly };

    // `feed` takes the repaired bytes; `detected` is told once, in order, when
    // the first line end turns out to be converted.
    LineEndRepair(std::function<void(const char*, std::size_t)> feed,
                  std::function<void(Style, int64_t column)> detected)
        : feed_(std::move(feed)), detected_(std::move(detected))
    {
    }

    void push(const char* data, std::size_t count)
    {
        if (style_ == Style::CrLf) {
            feed_(data, count);
            return;
        }
        out_.clear();
        out_.reserve(count + count / 4 + 2);
        for (std::size_t i = 0; i < count; ++i)
            take(data[i]);
        flush();
    }

    void finish()
    {
        // A line end as the very last character tells nothing of a conversion.
        if (pendingCr_ || pendingLf_) {
            if (style_ == Style::Unknown)
                decide(Style::CrLf, 0);
            out_ += pendingCr_ ? (style_ == Style::CrOnly ? "\r\n" : "\r") : "\n";
            pendingCr_ = pendingLf_ = false;
        }
        flush();
    }

private:
    // A converted line end is an E record's "E" and its ":" with a bare LF (or a
    // bare CR) between them; a bare one followed by anything else is a faulty
    // record, not a converted file.
    void take(char c)
    {
        ++seen_;
        if (pendingCr_) {
            pendingCr_ = false;
            if (style_ == Style::Unknown)
                decide(c == RecordSeparator ? Style::CrOnly : Style::CrLf, seen_ - 1);
            if (c == '\n') {
                out_ += "\r\n";
                prev_ = c;
                return;
            }
            out_ += style_ == Style::CrOnly ? "\r\n" : "\r";
            prev_ = '\n';
        } else if (pendingLf_) {
            pendingLf_ = false;
            decide(c == RecordSeparator ? Style::LfOnly : Style::CrLf, seen_ - 1);
            out_ += style_ == Style::LfOnly ? "\r\n" : "\n";
            prev_ = '\n';
        }
        if (c == '\r' && (style_ == Style::Unknown || style_ == Style::CrOnly)) {
            pendingCr_ = true;  // known only once the next character is
            prev_ = c;
            return;
        }
        if (c == '\n' && prev_ != '\r') {
            if (style_ == Style::Unknown) {
                pendingLf_ = true;
                prev_ = c;
                return;
            }
            if (style_ == Style::LfOnly)
                out_ += '\r';
        }
        out_ += c;
        prev_ = c;
    }

    void decide(Style style, int64_t column)
    {
        style_ = style;
        if (style == Style::CrLf)
            return;
        flush();
        detected_(style, column);
    }

    void flush()
    {
        if (!out_.empty())
            feed_(out_.data(), out_.size());
        out_.clear();
    }

    std::function<void(const char*, std::size_t)> feed_;
    std::function<void(Style, int64_t)> detected_;
    Style style_ = Style::Unknown;
    std::string out_;
    int64_t seen_ = 0;  // characters taken; before the first line end, the column
    char prev_ = 0;
    bool pendingCr_ = false;
    bool pendingLf_ = false;
};

// A bad character of a digit fault, shown as itself where it is printable.
QString withCharacter(const QString& message)
{
    if (!message.startsWith(QLatin1String("Nib")))
        return message;
    bool ok = false;
    const int code = message.section(QLatin1String(": "), 1).toInt(&ok, 16);
    if (!ok || code < 0x20 || code > 0x7E)
        return message;
    return message + QStringLiteral(" ('%1')").arg(QChar(code));
}

// Says a lost record boundary once: a run of records that all fail the
// separator test is one missing or extra character, not many faults.
class MisalignmentCollapser {
public:
    explicit MisalignmentCollapser(const std::function<void(const CheckLine&)>& report) : report_(report) {}

    void fault(const ImageFault& f)
    {
        const bool misaligned = f.kind == RecordFaultKind::NoSeparator;
        if (misaligned && first_ && f.record == lastRecord_ + 1) {
            lastRecord_ = f.record;
            return;
        }
        // An incomplete last record right after the misaligned ones: they ran to the end.
        const bool toTheEnd = first_ && f.record == lastRecord_ + 1 && f.kind == RecordFaultKind::Incomplete;
        flush(toTheEnd ? lastRecord_ : -1);
        if (misaligned) {
            first_ = f;
            lastRecord_ = f.record;
            return;
        }
        say({f.line, f.column, withCharacter(visibleText(f.message))});
    }

    // Before a line that is not a record's fault, and at the end (`records`: all
    // records of the file, so a run to the end can be told).
    void flush(int64_t records)
    {
        if (!first_)
            return;
        const int64_t count = lastRecord_ - first_->record + 1;
        QString message = first_->message;
        if (count > 1) {
            message += QStringLiteral(" from here on: the record boundary is lost (a character missing or extra at "
                                      "or before this point); ")
                + (lastRecord_ == records
                       ? QStringLiteral("all %1 records to the end are misaligned").arg(count)
                       : QStringLiteral("%1 records are misaligned, then they line up again").arg(count));
        }
        say({first_->line, first_->column, message});
        first_.reset();
    }

    void say(const CheckLine& line)
    {
        ++lines_;
        report_(line);
    }

    int64_t lines() const { return lines_; }

private:
    const std::function<void(const CheckLine&)>& report_;
    std::optional<ImageFault> first_;
    int64_t lastRecord_ = 0;
    int64_t lines_ = 0;
};

} // namespace

CheckSummary explainImage(const QString& path, const std::function<void(const CheckLine&)>& report)
{
    CheckSummary summary;
    ImageFileHandle file;
    if (!file.open(path)) {
        summary.openError = file.openError();
        return summary;
    }
    summary.opened = true;
    summary.bytes = file.length();
    if (recordCountForLength(summary.bytes) < 0) {
        summary.tooLarge = true;
        return summary;
    }

    MisalignmentCollapser collapser(report);
    RecordChecker checker([&](const ImageFault& f) { collapser.fault(f); });
    LineEndRepair repair([&](const char* data, std::size_t count) { checker.feed(data, count); },
                         [&](LineEndRepair::Style style, int64_t column) {
                             collapser.flush(-1);
                             summary.lineEnds = style == LineEndRepair::Style::LfOnly ? QStringLiteral("LF")
                                                                                        : QStringLiteral("CR");
                             const QString what = style == LineEndRepair::Style::LfOnly
                                 ? QStringLiteral("Line ends are LF only, not CR LF")
                                 : QStringLiteral("Line ends are CR only, not CR LF");
                             collapser.say({1, column,
                                             what + QStringLiteral(": an editor or a text-mode file transfer "
                                                                   "converted this image. Flash the original "
                                                                   "file; other faults below are judged as if "
                                                                   "its line ends were CR LF.")});
                         });
    for (;;) {
        const char* data = nullptr;
        const int got = file.take(data, 1 << 20);
        if (got < 0) {
            repair.finish();
            checker.readError();
            break;
        }
        if (got == 0) {
            repair.finish();
            checker.finish();
            break;
        }
        repair.push(data, static_cast<std::size_t>(got));
    }
    const ImageCheckReport& r = checker.report();
    collapser.flush(r.records);
    summary.records = r.records;
    summary.tRecords = r.tRecords;
    summary.rRecords = r.rRecords;
    summary.eRecords = r.eRecords;
    summary.faults = collapser.lines();
    return summary;
}

} // namespace flash3::cli
