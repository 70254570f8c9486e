#pragma once
// What a station keeps on disk: the image's identity, the dated log file
// (--log) and the time stamps both use.

#include <QDateTime>
#include <QFile>
#include <QString>

#include <cstdint>

namespace flash3::cli {

// The image as it was when the run began: where it is, what it is.
struct ImageFacts {
    QString path;     // absolute
    bool readable = false;
    int64_t size = 0;
    QString sha256;   // lower-case hex
    int64_t records = 0;
    int64_t tRecords = 0;
    int64_t rRecords = 0;
    int64_t eRecords = 0;
};
ImageFacts imageFacts(const QString& path);

// ISO 8601 with milliseconds and the offset from UTC: 2026-12-07T17:30:01.123+01:00.
QString isoTime(const QDateTime& time);

// Lines appended to a file, each written through at once: a crash loses
// nothing that was logged.
class RunLog {
public:
    // False (with the reason) when the file cannot be opened for appending.
    bool open(const QString& path, QString* error);
    bool isOpen() const { return file_.isOpen(); }
    // "<date and time> <text>"
    void write(const QString& text);

private:
    QFile file_;
};

} // namespace flash3::cli
