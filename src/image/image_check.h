#pragma once
// Checks an image without a device: every fault a run would report, with its
// line and column, and the record counts. Used by --check and, before any byte
// is sent, by every run.

#include "image/image_file.h"
#include "image/record.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace flash3 {

struct ImageFault {
    int64_t line = 0;    // 1-based text line of the record's first character
    int64_t column = 0;  // 1-based column of it
    int64_t record = 0;  // 1-based number of the record (0: none, e.g. an empty file)
    int64_t offset = 0;  // byte offset of the record's first character
    QString message;     // the reader's own line
    RecordFaultKind kind = RecordFaultKind::NoSeparator;
};

// The reader's line for a fault of `record` (the record's characters; not
// needed for the faults of an image as a whole).
QString recordFaultMessage(const RecordFault& fault, const char* record = nullptr);

struct ImageCheckReport {
    bool opened = false;
    bool tooLarge = false;
    int64_t bytes = 0;
    int64_t records = 0;  // whole records read
    int64_t tRecords = 0;
    int64_t rRecords = 0;
    int64_t eRecords = 0;
    int64_t faults = 0;          // every fault line (a record can have two bad digits)
    int64_t faultyRecords = 0;   // records with at least one fault, an incomplete last one included
    std::optional<ImageFault> firstFault;
    // The first fault is an E record whose line end is a bare LF or CR: the
    // file's line ends were most likely converted by an editor or a transfer.
    bool lineEndsConverted = false;
};

// Judges records by the reader's rules from bytes pushed in file order, in
// pieces of any size.
class RecordChecker {
public:
    using FaultSink = std::function<void(const ImageFault&)>;
    explicit RecordChecker(FaultSink onFault = {}) : onFault_(std::move(onFault)) {}

    void feed(const char* data, std::size_t count);
    // The input has ended: judges a last, incomplete record.
    void finish();
    // A read error ends the input at the current position.
    void readError();

    const ImageCheckReport& report() const { return report_; }
    ImageCheckReport& report() { return report_; }

private:
    void checkRecord(const char* rec);
    void fault(const RecordFault& what, const char* rec, int64_t record);

    FaultSink onFault_;
    ImageCheckReport report_;
    char partial_[RecordSize] = {};
    int partialCount_ = 0;
    RecordCursor cursor_;
    bool recordFaulty_ = false;
};

// A whole check of one image file, kept so that a run can start on it
// without reading the file again (a station checks once for all its ports).
struct CheckedImage {
    QString path;            // the file as opened
    FileIdentity identity;   // when it was opened
    ImageCheckReport report;
    QByteArray blake2b;      // of every byte checked
    QByteArray sha256;       // likewise; empty unless asked for
};

// The check of one image file in slices, so that a long check can share the
// thread with the window and be stopped between slices.
class ImageCheck {
public:
    explicit ImageCheck(RecordChecker::FaultSink onFault = {}) : checker_(std::move(onFault)) {}

    // Opens the file; false when it cannot be opened (openError() says why).
    // `withDigest` keeps a digest of the bytes checked, to compare with what a
    // run later reads; `withSha256` a SHA-256 of them too.
    bool open(const QString& path, bool withDigest, bool withSha256 = false);
    const QString& openError() const { return file_.openError(); }
    // Checks up to `budget` more bytes; true when the whole file is checked.
    bool step(int64_t budget);
    bool done() const { return done_; }
    int64_t bytesChecked() const { return checked_; }
    int64_t length() const { return file_.length(); }

    const ImageCheckReport& report() const { return checker_.report(); }
    QByteArray digest() const { return file_.digest(); }
    FileIdentity identity() const { return identity_; }
    CheckedImage result() const { return {file_.openedPath(), identity_, report(), digest(), file_.sha256()}; }

private:
    ImageFileHandle file_;
    RecordChecker checker_;
    FileIdentity identity_;
    int64_t checked_ = 0;
    bool done_ = false;
};

// Checks the whole file at once.
ImageCheckReport checkImage(const QString& path, const RecordChecker::FaultSink& onFault);

} // namespace flash3
