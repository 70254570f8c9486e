#include "fd_limit.h"

#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace flash3::cli {

namespace {

#ifndef _WIN32
// Descriptors open now: /proc/self/fd (or /dev/fd) lists them; without
// either, every number below `bound` is asked.
long long openDescriptors(rlim_t bound)
{
    for (const char* folder : {"/proc/self/fd", "/dev/fd"}) {
        if (DIR* dir = ::opendir(folder)) {
            long long count = 0;
            while (const dirent* entry = ::readdir(dir)) {
                if (entry->d_name[0] != '.')
                    ++count;
            }
            ::closedir(dir);
            return count - 1;  // the listing's own
        }
    }
    long long count = 0;
    const int last = bound < 65536 ? static_cast<int>(bound) : 65536;
    for (int fd = 0; fd < last; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1)
            ++count;
    }
    return count;
}
#endif

} // namespace

QString ensureDescriptorsFor(qsizetype ports)
{
#ifdef _WIN32
    // Handles are not counted against such a limit there.
    Q_UNUSED(ports);
    return QString();
#else
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return QString();  // nothing to go by: the opens themselves will say
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // Refused where the hard limit is "unlimited" but the soft one may
        // not be (macOS): the soft limit stays, and is judged as it is.
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return QString();
    const long long needed = openDescriptors(limit.rlim_cur) + kDescriptorsPerPort * static_cast<long long>(ports)
        + kDescriptorsSpare;
    const auto have = static_cast<long long>(limit.rlim_cur);
    if (needed <= have)
        return QString();
    QString text = ports == 1 ? QStringLiteral("too many open files: 1 port needs")
                              : QStringLiteral("too many open files: %1 ports need").arg(ports);
    text += QStringLiteral(" about %1 file descriptors, but this process may have only %2 open").arg(QString::number(needed), QString::number(have));
    if (limit.rlim_cur < limit.rlim_max)
        text += QStringLiteral(" (ulimit -n; it could not be raised to the hard limit)");
    else
        text += QStringLiteral(" (ulimit -n, its hard limit)");
    text += QStringLiteral(". Raise the limit to at least %1, 'ulimit -n %1' in the shell that starts flash3-cli (past "
                           "the hard limit only as root, or by 'nofile' in /etc/security/limits.conf; LimitNOFILE= "
                           "for a service), or flash fewer ports at once. No port was opened")
                .arg(needed);
    return text;
#endif
}

} // namespace flash3::cli
