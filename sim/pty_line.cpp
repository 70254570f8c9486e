#include "pty_line.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace flash3sim {

bool OpenWatch::start(const std::string& path, std::string& error)
{
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0 || ::inotify_add_watch(fd_, path.c_str(), IN_OPEN) < 0) {
        error = "cannot watch " + path + " for opens: " + std::strerror(errno);
        stop();
        return false;
    }
    return true;
}

void OpenWatch::stop()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::size_t OpenWatch::hostOpens()
{
    alignas(inotify_event) char buf[4096];
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // EAGAIN: all taken
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buf + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_IGNORED) {
                stop();  // the node is gone; nothing more will come
                break;
            }
            if (event->mask & IN_Q_OVERFLOW) {
                ++hostOpens_;  // events were lost: assume the worst
            } else if (event->mask & IN_OPEN) {
                if (ownOpens_ > 0)
                    --ownOpens_;
                else
                    ++hostOpens_;
            }
        }
    }
    return hostOpens_;
}

bool setRaw(int fd)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return false;
    ::cfmakeraw(&t);
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

bool resetSlave(const std::string& slavePath, std::string& error, OpenWatch* watch)
{
    const int fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + slavePath + ": " + std::strerror(errno);
        return false;
    }
    if (watch)
        watch->ownOpen();
    // A host that died without clearing exclusive mode would lock out the next.
    ::ioctl(fd, TIOCNXCL);
    // Only what the device sent and no one read: what a host sends is never
    // stale here, and one that opened just now may have sent its first bytes.
    ::tcflush(fd, TCIFLUSH);
    const bool ok = setRaw(fd);
    if (!ok)
        error = "cannot set raw mode on " + slavePath + ": " + std::strerror(errno);
    ::close(fd);
    return ok;
}

bool makeLink(const std::string& link, const std::string& target, std::string& error)
{
    struct stat st{};
    if (::lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = link + " exists and is not a symbolic link";
        return false;
    }
    // Build it aside and rename over the old one, so the name never dangles.
    const std::string temp = link + ".flash3-sim." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        error = "cannot create link " + link + ": " + std::strerror(errno);
        return false;
    }
    if (::rename(temp.c_str(), link.c_str()) != 0) {
        error = "cannot create link " + link + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& link, const std::string& target)
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = '\0';
    if (target == buf)
        ::unlink(link.c_str());
}

} // namespace flash3sim
