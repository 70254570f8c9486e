#pragma once
// The open image file: sequential reads of one or two characters, as stored
// (no line-end translation), with an end-of-file test. Streams through a small
// buffer; nothing of the image is held beyond it.

#include <QCryptographicHash>
#include <QFile>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace flash3 {

// What a file looked like on disk; a change of size or time means it was
// written, a change of device or inode that its name now stands for another
// file (0 where the system does not tell).
struct FileIdentity {
    qint64 size = -1;
    qint64 modifiedMs = 0;
    quint64 device = 0;
    quint64 inode = 0;
    bool operator==(const FileIdentity& o) const
    {
        return size == o.size && modifiedMs == o.modifiedMs && device == o.device && inode == o.inode;
    }
    bool operator!=(const FileIdentity& o) const { return !(*this == o); }
    static FileIdentity of(const QString& path);
};

// Opens `path` for reading only when it is a regular file. Never blocks (a
// FIFO without a writer would wait in open() for ever) and never hands out a
// device that reads without end. Null otherwise, with why in `error`: the
// system's reason ("cannot be opened: Permission denied") or what the file is
// ("is a FIFO, not a regular file"), to follow the file's name in a sentence.
std::unique_ptr<QFile> openRegularFile(const QString& path, QString* error, FileIdentity* identity = nullptr);

#ifdef Q_OS_UNIX
// What a path that ought to be a regular file is instead, by its st_mode:
// "a directory", "a FIFO", "a character device", ...
QString kindOfFile(unsigned mode);
#endif

class ImageFileHandle {
public:
    ImageFileHandle();
    ~ImageFileHandle();
    ImageFileHandle(const ImageFileHandle&) = delete;
    ImageFileHandle& operator=(const ImageFileHandle&) = delete;

    // Opens `path` for reading at its first character (closing any open file);
    // only a regular file opens. False with openError() saying why.
    bool open(const QString& path);
    // Why the last open() failed, as openRegularFile() says it.
    const QString& openError() const { return openError_; }
    // What open() opens a path with: a QFile, unless told otherwise (tests put
    // a device there that fails as a failing disk would).
    using Opener = std::function<std::unique_ptr<QIODevice>(const QString& path)>;
    void setOpener(Opener opener) { opener_ = std::move(opener); }
    void close();
    bool isOpen() const;
    // Length in bytes of the open file.
    qint64 length() const { return length_; }
    bool atEnd();
    // Reads up to `count` characters; returns how many were read (fewer only at
    // the end of the file), or -1 on a read error.
    int read(char* out, int count);
    // Hands out up to `max` buffered characters without copying; returns how
    // many (0 at the end of the file), or -1 on a read error.
    int take(const char*& data, int max);
    // Path that was actually opened (may differ in the case of ".pf3").
    const QString& openedPath() const { return openedPath_; }
    FileIdentity identityAtOpen() const { return identityAtOpen_; }

    // Keeps a digest of every byte read from the file from now on (call right
    // after open), and a SHA-256 too when asked. Reads are buffered, so at the
    // end of the file the digest covers the whole file.
    void keepDigest(bool withSha256 = false);
    QByteArray digest() const;
    QByteArray sha256() const;
    // From now on every read from disk first makes sure the file on disk still
    // looks like `expected`; if not, the read fails and changedOnDisk() is true.
    void guardAgainstChange(const FileIdentity& expected);
    bool changedOnDisk() const { return changed_; }

    // A name ending in ".PF3" that does not exist stands for the one file in the
    // same folder whose name differs only in the case of that extension, as on a
    // case-insensitive file system.
    static QString resolvePath(const QString& path);

private:
    bool fill();

    Opener opener_;
    std::unique_ptr<QIODevice> file_;
    std::unique_ptr<QCryptographicHash> digest_;
    std::unique_ptr<QCryptographicHash> sha256_;
    QString openedPath_;
    QString openError_;
    FileIdentity identityAtOpen_;
    FileIdentity guard_;
    bool guarded_ = false;
    bool changed_ = false;
    qint64 length_ = 0;
    char buffer_[64 * 1024];
    int pos_ = 0;
    int end_ = 0;
    bool error_ = false;
};

} // namespace flash3
