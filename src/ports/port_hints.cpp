#include "ports/port_hints.h"

#include "serial/backend.h"
#include "ports/port_map.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_LINUX
#include <dirent.h>

#include <climits>
#include <cstdlib>
#include <string>
#endif
#ifdef Q_OS_UNIX
#include <cerrno>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flash3 {

namespace {

QString presentPorts()
{
    QStringList present;
    for (const ListedPort& p : listSerialPorts()) {
        if (!p.present)
            continue;
        QString text = p.comPort ? QStringLiteral("COM %1 ").arg(p.comPort) + p.devicePath : p.devicePath;
        if (!p.description.isEmpty())
            text += QStringLiteral(" (") + p.description + QLatin1Char(')');
        present << text;
    }
    if (present.isEmpty())
        return QStringLiteral("No serial port is present: is the adapter plugged in?");
    return QStringLiteral("Serial ports present: ") + present.join(QStringLiteral(", ")) + QLatin1Char('.');
}

// The ports present as flash3-cli reaches them: "COM 33 (/dev/ttyUSB0, FT232R
// USB UART): run with -p 33."; a port no COM number stands for by its path.
QString presentPortsForCli()
{
    QStringList present, options;
    for (const ListedPort& p : listSerialPorts()) {
        if (!p.present)
            continue;
        QString inside = p.devicePath;
        if (!p.description.isEmpty())
            inside += QStringLiteral(", ") + p.description;
        present << (p.comPort ? QStringLiteral("COM %1 (").arg(p.comPort) + inside + QLatin1Char(')') : inside);
        options << QStringLiteral("-p ") + (p.comPort ? QString::number(p.comPort) : p.devicePath);
    }
    if (present.isEmpty())
        return QStringLiteral("No serial port is present: is the adapter plugged in?");
    QString run = options.constLast();
    if (options.size() > 1)
        run = options.mid(0, options.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") + run;
    return QStringLiteral("Ports present: ") + present.join(QStringLiteral(", ")) + QStringLiteral(": run with ") + run
        + QLatin1Char('.');
}

QStringList noDevice(int comPort, HintsFor program)
{
    const ComBinding b = bindingForCom(comPort);
    QStringList hints;
    if (b.path.isEmpty())
        hints << QStringLiteral("COM %1 stands for no device until it is bound.").arg(comPort);
    else if (QFileInfo::exists(b.path))
        hints << QStringLiteral("COM %1 stands for %2 (%3), which is not a serial device.")
                     .arg(QString::number(comPort), b.path, b.origin());
    else
        hints << QStringLiteral("COM %1 stands for %2 (%3), which is not there.")
                     .arg(QString::number(comPort), b.path, b.origin());
    hints << (program == HintsFor::Cli ? presentPortsForCli() : presentPorts());
#ifdef Q_OS_WIN
    hints << QStringLiteral("To use another device as COM %1: FLASH3_COM%1=PATH in the environment, a line COM%1=PATH "
                            "in %APPDATA%\\flash3\\ports.conf, or flash3-cli --device PATH.")
                 .arg(comPort);
#else
    hints << QStringLiteral("To use another device as COM %1: FLASH3_COM%1=PATH in the environment, a line COM%1=PATH "
                            "in ~/.config/flash3/ports.conf, or flash3-cli --device PATH.")
                 .arg(comPort);
#endif
    return hints;
}

#ifdef Q_OS_UNIX
QString modeText(mode_t mode)
{
    QString text = S_ISCHR(mode) ? QStringLiteral("c") : S_ISDIR(mode) ? QStringLiteral("d") : QStringLiteral("-");
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        text += (mode & (0400 >> i)) ? QLatin1Char(rwx[i]) : QLatin1Char('-');
    return text;
}

bool inGroup(gid_t gid)
{
    if (getegid() == gid)
        return true;
    gid_t groups[256];
    const int n = getgroups(256, groups);
    for (int i = 0; i < n; ++i) {
        if (groups[i] == gid)
            return true;
    }
    return false;
}

// Whether the user's account lists the group, whatever this session got at login.
bool accountInGroup(const char* user, gid_t gid)
{
    const passwd* pw = getpwnam(user);
    if (!pw)
        return false;
    if (pw->pw_gid == gid)
        return true;
    gid_t groups[256];
    int n = 256;
    if (getgrouplist(user, pw->pw_gid, groups, &n) < 0)
        return false;
    for (int i = 0; i < n; ++i) {
        if (groups[i] == gid)
            return true;
    }
    return false;
}
#endif

QStringList accessDenied(int comPort)
{
    const QString path = devicePathForCom(comPort);
#ifdef Q_OS_UNIX
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {QStringLiteral("%1 cannot be read or written by this user.").arg(path)};
    const passwd* owner = getpwuid(st.st_uid);
    const group* grp = getgrgid(st.st_gid);
    const QString ownerName = owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(st.st_uid);
    const QString groupName = grp ? QString::fromLocal8Bit(grp->gr_name) : QString::number(st.st_gid);
    const passwd* me = getpwuid(geteuid());
    const QString myName = me ? QString::fromLocal8Bit(me->pw_name) : QString::number(geteuid());
    QStringList hints{QStringLiteral("%1 belongs to %2:%3 with mode %4; this program runs as %5.")
                          .arg(path, ownerName, groupName, modeText(st.st_mode), myName)};
    const bool groupMayUse = (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
    if (!groupMayUse || !grp) {
        hints << QStringLiteral("Ask the administrator for read and write access to %1.").arg(path);
    } else if (inGroup(st.st_gid)) {
        hints << QStringLiteral("This user is in group %1, yet access is denied: something else (a security "
                                "module?) keeps it from %2.")
                     .arg(groupName, path);
    } else if (me && accountInGroup(me->pw_name, st.st_gid)) {
        hints << QStringLiteral("User %1 was added to group %2 after this session began: log out and in again.")
                     .arg(myName, groupName);
    } else {
        hints << QStringLiteral("Fix: sudo usermod -aG %1 $USER, then log out and in again.").arg(groupName);
    }
    return hints;
#else
    return {QStringLiteral("%1 cannot be opened by this user.").arg(path)};
#endif
}

// An open refused for want of a file descriptor gets the status of an I/O
// error (the codes have none of its own), and the hints of none: whether
// this process, or the whole system, is out of descriptors is told by trying
// to open one more.
QString descriptorsUsedUp(int comPort)
{
#ifdef Q_OS_UNIX
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return QString();
    }
    const QString device = devicePathForCom(comPort);
    if (errno == ENFILE)
        return QStringLiteral("No file descriptor was left to open ") + device
            + QStringLiteral(": the system has too many open files. Close programs, or raise fs.file-max.");
    if (errno != EMFILE)
        return QString();
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    return QStringLiteral("No file descriptor was left to open ") + device
        + QStringLiteral(": too many open files (this program may have %1 open: ulimit -n). Raise the limit, or use "
                         "fewer ports at once.")
              .arg(static_cast<qulonglong>(limit.rlim_cur));
#else
    Q_UNUSED(comPort);
    return QString();
#endif
}

QStringList portInUse(int comPort, HintsFor program)
{
    const QString path = devicePathForCom(comPort);
    const QString holder = deviceHolder(path);
    const QString again = program == HintsFor::Cli ? QStringLiteral("run flash3-cli again.")
                                                   : QStringLiteral("press \"Initialize\" again.");
    if (holder.isEmpty())
        return {path + QStringLiteral(" is held by another program: close it, then ") + again};
    return {path + QStringLiteral(" is held by ") + holder + QStringLiteral(": close that program, then ") + again};
}

} // namespace

QString deviceHolder(const QString& devicePath)
{
#ifdef Q_OS_LINUX
    const QByteArray target = QFile::encodeName(QFileInfo(devicePath).canonicalFilePath());
    if (target.isEmpty())
        return QString();
    DIR* proc = ::opendir("/proc");
    if (!proc)
        return QString();
    QString holder;
    while (holder.isEmpty()) {
        const dirent* entry = ::readdir(proc);
        if (!entry)
            break;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid())
            continue;
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds)
            continue;  // another user's process: not ours to look into
        while (const dirent* fd = ::readdir(fds)) {
            char link[PATH_MAX];
            const std::string path = fdDir + "/" + fd->d_name;
            const ssize_t n = ::readlink(path.c_str(), link, sizeof link - 1);
            if (n <= 0 || QByteArray(link, static_cast<int>(n)) != target)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            const QString name = comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed()
                                                                : QStringLiteral("?");
            holder = QStringLiteral("process %1 (%2)").arg(QString::number(pid), name);
            break;
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return holder;
#else
    Q_UNUSED(devicePath);
    return QString();
#endif
}

QStringList portOpenHints(int comPort, int status, HintsFor program)
{
    switch (status) {
    case DrvNoDevice:
        return noDevice(comPort, program);
    case DrvAccessDenied:
        return accessDenied(comPort);
    case DrvPortInUse:
        return portInUse(comPort, program);
    case DrvNotSupported:
        return {QStringLiteral("%1 is not a serial port, or refuses these line settings.")
                    .arg(devicePathForCom(comPort))};
    case DrvIoError:
        if (const QString hint = descriptorsUsedUp(comPort); !hint.isEmpty())
            return {hint};
        return {};
    default:
        return {};
    }
}

} // namespace flash3
