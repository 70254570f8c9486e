#pragma once
// What a station keeps on disk: the image's identity, the dated log file
// (--log) and the time stamps both use.

#include "output_file.h"
#include "image/checksum_file.h"
#include "image/image_check.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace flash3::cli {

// The image as it was when the run began: where it is, what it is.
struct ImageFacts {
    QString path;     // absolute
    bool readable = false;
    bool interrupted = false;  // the reading was stopped, so nothing is known
    int64_t size = 0;
    QString sha256;   // lower-case hex
    QByteArray blake2b;  // as a run's check computes it, to tell it is the same file
    int64_t records = 0;
    int64_t tRecords = 0;
    int64_t rRecords = 0;
    int64_t eRecords = 0;
    // The SHA-256 digests it is known to have (--sha256, IMAGE.sha256).
    QList<KnownDigest> knownDigests;
    // This reading as the check before a run, for every port to take
    // instead of reading the file again (null when it was not read whole).
    std::shared_ptr<const CheckedImage> check;
};
// Reads the file once for all of it, by the same check a run makes before
// its first byte. `keepGoing` is asked between pieces; when it says no, the
// facts are left unknown (readable false). `requiredSha256` is --sha256; the
// SHA-256 is computed when `withSha256` or when a digest is known.
ImageFacts imageFacts(const QString& path, const std::function<bool()>& keepGoing = {},
                      const QString& requiredSha256 = {}, bool withSha256 = true);
// What the log header says of the known digests, a line each (one line when
// there are none).
QStringList knownDigestLines(const ImageFacts& facts);

// ISO 8601 with milliseconds and the offset from UTC: 2026-12-07T17:30:01.123+01:00.
QString isoTime(const QDateTime& time);

// Lines appended to a file, each written through at once: a crash loses
// nothing that was logged. A control character in a path or a device's name
// is shown as <lf>, <cr>, <1b>, so that an entry stays one line.
class RunLog {
public:
    // False (with the reason) when the file cannot be opened for appending.
    bool open(const QString& path, QString* error);
    bool isOpen() const { return file_.isOpen(); }
    // "<date and time> <text>". The first write that fails is said on stderr
    // at once.
    void write(const QString& text);
    // Closes the file; a failure is kept as the others are.
    void close();
    // A write failed (disk full, ...): the reason, once; empty while all went well.
    const QString& failure() const { return failure_; }

private:
    AppendFile file_;
    QString path_;
    QString failure_;
};

} // namespace flash3::cli
