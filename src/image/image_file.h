#pragma once
// The open image file: sequential reads of one or two characters, as stored
// (no line-end translation), with an end-of-file test. Streams through a small
// buffer; nothing of the image is held beyond it.

#include <QFile>
#include <QString>

#include <cstdint>
#include <memory>

namespace flash3 {

class ImageFileHandle {
public:
    ImageFileHandle();
    ~ImageFileHandle();
    ImageFileHandle(const ImageFileHandle&) = delete;
    ImageFileHandle& operator=(const ImageFileHandle&) = delete;

    // Opens `path` for reading at its first character (closing any open file).
    bool open(const QString& path);
    void close();
    bool isOpen() const;
    // Length in bytes of the open file.
    qint64 length() const { return length_; }
    bool atEnd();
    // Reads up to `count` characters; returns how many were read (fewer only at
    // the end of the file), or -1 on a read error.
    int read(char* out, int count);
    // Path that was actually opened (may differ in the case of ".pf3").
    const QString& openedPath() const { return openedPath_; }

    // A name ending in ".PF3" that does not exist stands for the one file in the
    // same folder whose name differs only in the case of that extension, as on a
    // case-insensitive file system.
    static QString resolvePath(const QString& path);

private:
    bool fill();

    std::unique_ptr<QFile> file_;
    QString openedPath_;
    qint64 length_ = 0;
    char buffer_[64 * 1024];
    int pos_ = 0;
    int end_ = 0;
    bool error_ = false;
};

} // namespace flash3
