#include "ports/ports_conf.h"

#include "image/image_file.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flash3 {

namespace {

// Opens a ports.conf to read. No file there is the usual case: false with
// `why` left empty. Anything else that keeps it from being read says why, so
// that a binding the user wrote is never dropped in silence. Only a regular
// file is opened at all: a FIFO would block the open, a device would be read
// for ever.
bool openPortsConf(const QString& file, QFile& f, QString& why)
{
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(file);
    struct stat st{};
    if (::stat(name.constData(), &st) != 0) {
        const int err = errno;
        struct stat link{};
        if (err == ENOENT && ::lstat(name.constData(), &link) == 0 && S_ISLNK(link.st_mode)) {
            why = QStringLiteral("is a symbolic link to ") + QFileInfo(file).symLinkTarget()
                + QStringLiteral(", which is not there");
        } else if (err != ENOENT && err != ENOTDIR && err != EACCES) {
            // ENOTDIR: HOME=/dev/null, say. EACCES: a folder on the way that
            // this user may not search (another user's HOME under sudo -u)
            // hides whether there is a file at all; only one known to be
            // there is reported.
            why = QStringLiteral("cannot be read: ") + QString::fromLocal8Bit(std::strerror(err));
        }
        return false;
    }
    const auto notRegular = [&](mode_t mode) {
        why = QStringLiteral("is ") + kindOfFile(mode) + QStringLiteral(", not a regular file");
    };
    if (!S_ISREG(st.st_mode)) {
        notRegular(st.st_mode);
        return false;
    }
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        why = QStringLiteral("cannot be read: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // Replaced between the look and the open: judge what was opened.
    if (::fstat(fd, &st) != 0) {
        why = QStringLiteral("cannot be read: ") + QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        notRegular(st.st_mode);
        ::close(fd);
        return false;
    }
    if (!f.open(fd, QIODevice::ReadOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        why = QStringLiteral("cannot be read: ") + f.errorString();
        ::close(fd);
        return false;
    }
    return true;
#else
    const QFileInfo info(file);
    if (!info.exists()) {
        if (info.isSymLink())
            why = QStringLiteral("is a symbolic link to ") + info.symLinkTarget() + QStringLiteral(", which is not there");
        return false;
    }
    if (!info.isFile()) {
        why = info.isDir() ? QStringLiteral("is a directory, not a regular file")
                           : QStringLiteral("is not a regular file");
        return false;
    }
    f.setFileName(file);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        why = QStringLiteral("cannot be read: ") + f.errorString();
        return false;
    }
    return true;
#endif
}

} // namespace

void readPortsConf(const QString& file, QHash<int, FileBinding>& into, QStringList& warnings)
{
    QFile f;
    QString why;
    if (!openPortsConf(file, f, why)) {
        if (!why.isEmpty())
            warnings << file + QStringLiteral(": ") + why + QStringLiteral("; file ignored");
        return;
    }
    static const QRegularExpression binding(QStringLiteral("^COM(\\d+)\\s*=\\s*(.*?)\\s*$"),
                                            QRegularExpression::CaseInsensitiveOption);
    QTextStream in(&f);
    int number = 0;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        ++number;
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const auto warn = [&](const QString& what) {
            warnings << QStringLiteral("%1:%2: %3; line ignored").arg(file, QString::number(number), what);
        };
        const auto m = binding.match(line);
        if (!m.hasMatch()) {
            warn(QStringLiteral("not COM<N>=PATH: \"%1\"").arg(line));
            continue;
        }
        bool ok = false;
        const int com = m.captured(1).toInt(&ok);
        if (!ok || com < 1 || com > 99) {
            warn(QStringLiteral("COM%1 is not a COM number 1..99").arg(m.captured(1)));
            continue;
        }
        if (m.captured(2).isEmpty()) {
            warn(QStringLiteral("COM%1 has no device path").arg(com));
            continue;
        }
        if (into.contains(com)) {
            warn(QStringLiteral("COM%1 is bound already on line %2").arg(QString::number(com), QString::number(into.value(com).line)));
            continue;
        }
        into.insert(com, FileBinding{m.captured(2), number});
    }
}

} // namespace flash3
