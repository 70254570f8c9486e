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

WatchHub::~WatchHub()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void WatchHub::drainLocked()
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
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost, whose we cannot tell: assume the worst for all.
                for (auto& [wd, watch] : watches_)
                    watch->take(IN_Q_OVERFLOW);
                continue;
            }
            const auto found = watches_.find(event->wd);
            if (found != watches_.end())
                found->second->take(event->mask);
        }
    }
}

bool OpenWatch::start(const std::string& path, std::string& error)
{
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    stopLocked();
    if (hub_.fd_ < 0)
        hub_.fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    wd_ = hub_.fd_ < 0 ? -1 : ::inotify_add_watch(hub_.fd_, path.c_str(), IN_OPEN | IN_CLOSE);
    if (wd_ < 0) {
        error = "cannot watch " + path + " for opens: " + std::strerror(errno);
        return false;
    }
    hub_.watches_[wd_] = this;
    active_ = true;
    return true;
}

void OpenWatch::stop()
{
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    stopLocked();
}

void OpenWatch::stopLocked()
{
    if (wd_ >= 0) {
        ::inotify_rm_watch(hub_.fd_, wd_);
        hub_.watches_.erase(wd_);
    }
    wd_ = -1;
    active_ = false;
}

void OpenWatch::take(uint32_t mask)
{
    if (mask & IN_IGNORED) {
        // The node is gone; nothing more will come. The kernel has dropped
        // the watch already.
        hub_.watches_.erase(wd_);
        wd_ = -1;
        active_ = false;
    } else if (mask & IN_Q_OVERFLOW) {
        ++hostOpens_;
        openers_ = 0;
    } else if (mask & IN_OPEN) {
        ++opensTaken_;
        if (ownOpens_ > 0)
            --ownOpens_;
        else if (openers_ == 0)
            ++hostOpens_;
        ++openers_;
    } else if (mask & IN_CLOSE) {
        if (openers_ > 0)
            --openers_;
    }
}

void OpenWatch::ownOpen()
{
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    ++ownOpens_;
}

void OpenWatch::ownOpenFailed()
{
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    if (ownOpens_ > 0)
        --ownOpens_;
}

std::size_t OpenWatch::hostOpens()
{
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    hub_.drainLocked();
    return hostOpens_;
}

std::size_t OpenWatch::opensTaken()
{
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    return opensTaken_;
}

void OpenWatch::lineFree(std::size_t opensBefore)
{
    std::lock_guard<std::mutex> lock(hub_.mutex_);
    hub_.drainLocked();
    // Every close that left the line free was queued before the master said
    // so, and is taken in now; an open since would have to show in the count.
    if (opensTaken_ == opensBefore)
        openers_ = 0;
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
    if (watch)
        watch->ownOpen();
    const int fd = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + slavePath + ": " + std::strerror(errno);
        if (watch)
            watch->ownOpenFailed();
        return false;
    }
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
