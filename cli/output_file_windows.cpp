#include "output_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

namespace flash3::cli {

QString unwritableReason(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists()) {
        if (info.isDir())
            return QStringLiteral("is a directory");
        if (!info.isFile())
            return QStringLiteral("is not a regular file");
    }
    QTemporaryFile probe(info.absolutePath() + QStringLiteral("/.flash3-probe-XXXXXX"));
    if (!probe.open())
        return QStringLiteral("cannot make a file in %1: %2")
            .arg(QDir::toNativeSeparators(info.absolutePath()), probe.errorString());
    return {};
}

bool sameFile(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QFileInfo fa(a), fb(b);
    const QString ca = fa.exists() ? fa.canonicalFilePath() : fa.absoluteFilePath();
    const QString cb = fb.exists() ? fb.canonicalFilePath() : fb.absoluteFilePath();
    return QDir::cleanPath(ca).compare(QDir::cleanPath(cb), Qt::CaseInsensitive) == 0;
}

bool writeWholeFile(const QString& path, const QByteArray& bytes, QString* error)
{
    if (const QString reason = unwritableReason(path); !reason.isEmpty()) {
        *error = reason;
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = file.errorString();
        return false;
    }
    return true;
}

struct AppendFile::Private {
    QFile file;
};

AppendFile::AppendFile() : d_(std::make_unique<Private>()) {}

AppendFile::~AppendFile() = default;

bool AppendFile::open(const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        *error = info.isDir() ? QStringLiteral("is a directory") : QStringLiteral("is not a regular file");
        return false;
    }
    d_->file.setFileName(path);
    if (!d_->file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *error = d_->file.errorString();
        return false;
    }
    return true;
}

bool AppendFile::isOpen() const
{
    return d_->file.isOpen();
}

bool AppendFile::write(const QByteArray& bytes, QString* error)
{
    if (!d_->file.isOpen() || d_->file.write(bytes) == bytes.size())
        return true;
    *error = d_->file.errorString();
    return false;
}

bool AppendFile::close(QString* error)
{
    if (!d_->file.isOpen())
        return true;
    d_->file.close();
    if (d_->file.error() == QFileDevice::NoError)
        return true;
    *error = d_->file.errorString();
    return false;
}

} // namespace flash3::cli
