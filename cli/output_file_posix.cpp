#include "output_file.h"

#include "image/image_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flash3::cli {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindText(mode_t mode)
{
    return QStringLiteral("is ") + kindOfFile(mode);
}

// `--json /dev/stdout > out.txt`: a file that is this program's own output
// would lose every line written there to the report renamed over it.
QString ownOutputReason(const struct stat& st)
{
    struct stat out {};
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        if (::fstat(fd, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino)
            return fd == STDOUT_FILENO ? QStringLiteral("is where this program's standard output goes")
                                       : QStringLiteral("is where this program's standard error goes");
    }
    return {};
}

// A symbolic link is written through: the file it names is the one replaced.
QString resolved(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink() && info.exists())
        return info.canonicalFilePath();
    return info.absoluteFilePath();
}

bool writeAll(int fd, const QByteArray& bytes, int* error)
{
    const char* p = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

// Whether a new file can be made in `folder` (the report is renamed into it).
QString folderUnwritableReason(const QString& folder)
{
    QByteArray name = QFile::encodeName(folder + QStringLiteral("/.flash3-probe-XXXXXX"));
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("cannot make a file in %1: %2").arg(QDir::toNativeSeparators(folder), systemError(errno));
    ::close(fd);
    ::unlink(name.constData());
    return {};
}

} // namespace

QString unwritableReason(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return kindText(st.st_mode);
        if (const QString own = ownOutputReason(st); !own.isEmpty())
            return own;
    } else if (errno != ENOENT) {
        return systemError(errno);
    } else if (::lstat(name.constData(), &st) == 0) {
        return QStringLiteral("is a symbolic link to a file that does not exist");
    }
    return folderUnwritableReason(QFileInfo(resolved(path)).absolutePath());
}

bool sameFile(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    struct stat sa {}, sb {};
    const bool hasA = ::stat(QFile::encodeName(a).constData(), &sa) == 0;
    const bool hasB = ::stat(QFile::encodeName(b).constData(), &sb) == 0;
    if (hasA && hasB)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (hasA || hasB)
        return false;
    // Neither exists yet: the same name in the same folder.
    const QFileInfo fa(a), fb(b);
    const QString da = QFileInfo(fa.absolutePath()).canonicalFilePath();
    const QString db = QFileInfo(fb.absolutePath()).canonicalFilePath();
    return fa.fileName() == fb.fileName() && QDir::cleanPath(da.isEmpty() ? fa.absolutePath() : da)
        == QDir::cleanPath(db.isEmpty() ? fb.absolutePath() : db);
}

bool writeWholeFile(const QString& path, const QByteArray& bytes, QString* error)
{
    // Asked again: what was a file at the start may be a FIFO by now.
    if (const QString reason = unwritableReason(path); !reason.isEmpty()) {
        *error = reason;
        return false;
    }
    const QString target = resolved(path);
    const QByteArray targetName = QFile::encodeName(target);
    const QFileInfo info(target);
    QByteArray temp = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()
                                        + QStringLiteral(".XXXXXX"));
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemError(errno);
        return false;
    }
    // The new file keeps the old one's mode and owner; a new one gets the
    // mode any new file of this user gets.
    struct stat old {};
    if (::stat(targetName.constData(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
        if (::geteuid() == 0) {
            [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    int failure = 0;
    bool ok = writeAll(fd, bytes, &failure);
    if (ok && ::fsync(fd) != 0 && errno != EINVAL) {
        failure = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    if (ok && ::rename(temp.constData(), targetName.constData()) != 0) {
        failure = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.constData());
        *error = systemError(failure);
    }
    return ok;
}

struct AppendFile::Private {
    int fd = -1;
};

AppendFile::AppendFile() : d_(std::make_unique<Private>()) {}

AppendFile::~AppendFile()
{
    if (d_->fd >= 0)
        ::close(d_->fd);
}

bool AppendFile::open(const QString& path, QString* error)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode)) {
        *error = kindText(st.st_mode);
        return false;
    }
    // Without blocking, so that whatever slipped in meanwhile cannot stall
    // the open; it is looked at again once opened.
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        *error = systemError(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = kindText(st.st_mode);
        ::close(fd);
        return false;
    }
    if (const QString own = ownOutputReason(st); !own.isEmpty()) {
        *error = own;
        ::close(fd);
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    d_->fd = fd;
    return true;
}

bool AppendFile::isOpen() const
{
    return d_->fd >= 0;
}

bool AppendFile::write(const QByteArray& bytes, QString* error)
{
    int failure = 0;
    if (d_->fd < 0 || writeAll(d_->fd, bytes, &failure))
        return true;
    *error = systemError(failure);
    return false;
}

bool AppendFile::close(QString* error)
{
    if (d_->fd < 0)
        return true;
    const int fd = d_->fd;
    d_->fd = -1;
    if (::close(fd) == 0)
        return true;
    *error = systemError(errno);
    return false;
}

} // namespace flash3::cli
