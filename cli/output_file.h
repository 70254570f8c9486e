#pragma once
// The files a run writes, the log (--log) and the report (--json), one file
// per platform. Both go only to a regular file or a new one: a device, a FIFO
// or a socket given by mistake is never opened, let alone replaced. Every
// write is checked, and a failure says its cause.

#include <QByteArray>
#include <QString>

#include <memory>

namespace flash3::cli {

// Why `path` cannot take a report or a log ("is a FIFO", "is a directory",
// "is a character device", the folder's reason, ...); empty when it can: a
// regular file, or a new one in a folder that can be written.
QString unwritableReason(const QString& path);

// The same file whatever its names (hard links, symbolic links, "..": the
// same device and inode); paths of files that do not exist yet are compared
// by their folder and name.
bool sameFile(const QString& a, const QString& b);

// `bytes` written to a new file in the same folder, then renamed over `path`,
// so that `path` holds either its old content or the whole new one, never a
// part. False, with the reason, when it could not be done; nothing is left
// behind then.
bool writeWholeFile(const QString& path, const QByteArray& bytes, QString* error);

// A file appended to, each write handed to the system at once (a crash loses
// nothing written) and checked.
class AppendFile {
public:
    AppendFile();
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // False, with the reason, when `path` is not a regular file (or a new
    // one) or cannot be opened for appending.
    bool open(const QString& path, QString* error);
    bool isOpen() const;
    // False, with the reason, when not all of `bytes` reached the file.
    bool write(const QByteArray& bytes, QString* error);
    // False, with the reason, when the system reports a failure on closing.
    bool close(QString* error);

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace flash3::cli
