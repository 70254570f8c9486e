#include "serial/posix_backend.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace flash3 {

namespace {
constexpr int32_t kPortCount = 100;

bool portInRange(int32_t comPort)
{
    return comPort >= 0 && comPort < kPortCount;
}
} // namespace

PosixSerialBackend::PosixSerialBackend(ComPathLookup lookup) : lookup_(std::move(lookup))
{
    fds_.fill(-1);
}

PosixSerialBackend::~PosixSerialBackend()
{
    for (int32_t port = 0; port < kPortCount; ++port) {
        if (fds_[static_cast<std::size_t>(port)] >= 0)
            close(port);
    }
}

int PosixSerialBackend::fdFor(int32_t comPort) const
{
    return portInRange(comPort) ? fds_[static_cast<std::size_t>(comPort)] : -1;
}

namespace {

int32_t statusForOpenError(int err)
{
    switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case EISDIR:  // a folder named as the device is no device, not one that vanished
    case ELOOP:   // a symbolic link that leads round in a circle names nothing
    case ENAMETOOLONG:
        return DrvNoDevice;
    case EACCES:
    case EPERM:
        return DrvAccessDenied;
    case EBUSY:
        return DrvPortInUse;
    default:
        return DrvIoError;
    }
}

bool speedFor(int32_t baudRate, speed_t* speed)
{
    switch (baudRate) {
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 38400: *speed = B38400; return true;
    case 57600: *speed = B57600; return true;
    case 115200: *speed = B115200; return true;
    default: return false;
    }
}

// Raw 8N1 without flow control; reads never wait (VMIN = VTIME = 0), so the
// caller polls the receive count instead of blocking in read().
int32_t applyLineSettings(int fd, speed_t speed)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return errno == EIO ? DrvIoError : DrvNotSupported;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
        return DrvNotSupported;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return errno == EIO ? DrvIoError : DrvNotSupported;
    // tcsetattr succeeds when any part of the request was taken; a driver that
    // silently kept another speed would garble every byte, so check.
    termios actual{};
    if (::tcgetattr(fd, &actual) != 0)
        return errno == EIO ? DrvIoError : DrvNotSupported;
    if (::cfgetospeed(&actual) != speed)
        return DrvNotSupported;
    return DrvOk;
}

// A pty whose master closed, or a USB adapter that was pulled, is hung up:
// poll then reports HUP/ERR even though read() just returns 0.
bool hungUp(int fd)
{
    pollfd pfd{fd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&pfd, 1, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return true;
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void releaseFd(int fd)
{
    // Exclusive mode outlives the descriptor on some ttys (a pty while its
    // master stays open), which would refuse our own next open with EBUSY.
    ::ioctl(fd, TIOCNXCL);
    ::flock(fd, LOCK_UN);
    ::close(fd);
}

} // namespace

int32_t PosixSerialBackend::open(int32_t comPort)
{
    if (!portInRange(comPort))
        return DrvBadParameter;
    if (fdFor(comPort) >= 0)
        close(comPort);

    const std::string path = lookup_ ? lookup_(comPort) : std::string();
    if (path.empty())
        return DrvNoDevice;

    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return statusForOpenError(errno);

    if (!::isatty(fd)) {
        const int err = errno;
        ::close(fd);
        // A hung-up tty also fails isatty, but with EIO rather than ENOTTY.
        return err == EIO ? DrvIoError : DrvNoDevice;
    }

    // The lock first, before anything on the line changes: as root the open
    // above succeeds even on a port another run holds in exclusive mode, and
    // a refused open must leave that run's line exactly as it was (clearing
    // its exclusive mode on the way out would let anyone in).
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return DrvPortInUse;
    }
    // Any other flock failure means the lock is unsupported here; exclusive
    // mode still guards the port, so carry on.

#ifdef TIOCGEXCL
    // Exclusive mode already set: another program (one that takes no lock)
    // has the port, and only root got this far. Its mode is not ours to take
    // over, nor to clear when we close.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        ::close(fd);
        return DrvPortInUse;
    }
#endif
    // TIOCEXCL keeps out other opens (except root's); the advisory lock above
    // is what stops a second program that runs as root.
    ::ioctl(fd, TIOCEXCL);

    const int32_t status = applyLineSettings(fd, B38400);
    if (status != DrvOk) {
        releaseFd(fd);
        return status;
    }
    fds_[static_cast<std::size_t>(comPort)] = fd;
    return DrvOk;
}

int32_t PosixSerialBackend::configure(int32_t comPort, int32_t baudRate)
{
    const int fd = fdFor(comPort);
    if (fd < 0)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    speed_t speed;
    if (!speedFor(baudRate, &speed))
        return DrvBadParameter;
    return applyLineSettings(fd, speed);
}

int32_t PosixSerialBackend::flushReceive(int32_t comPort)
{
    const int fd = fdFor(comPort);
    if (fd < 0)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    return ::tcflush(fd, TCIFLUSH) == 0 ? DrvOk : DrvIoError;
}

int32_t PosixSerialBackend::flushTransmit(int32_t comPort)
{
    const int fd = fdFor(comPort);
    if (fd < 0)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    return ::tcflush(fd, TCOFLUSH) == 0 ? DrvOk : DrvIoError;
}

int32_t PosixSerialBackend::bytesWaiting(int32_t comPort)
{
    const int fd = fdFor(comPort);
    if (fd < 0)
        return -(portInRange(comPort) ? DrvNotInitialised : DrvBadParameter);
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) != 0)
        return -DrvIoError;
    if (count > 0)
        return count;
    // Nothing waiting looks the same on a live port and a dead one; only poll
    // tells them apart.
    return hungUp(fd) ? -DrvIoError : 0;
}

int32_t PosixSerialBackend::readByte(int32_t comPort)
{
    const int fd = fdFor(comPort);
    if (fd < 0)
        return -(portInRange(comPort) ? DrvNotInitialised : DrvBadParameter);
    uint8_t byte = 0;
    ssize_t n;
    do {
        n = ::read(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1)
        return byte;
    // With VMIN = VTIME = 0 an empty port reads 0 bytes, just as a hung-up one
    // does; callers only read after bytesWaiting reported data, so either way
    // the byte they were promised is not there.
    return -DrvIoError;
}

int32_t PosixSerialBackend::write(int32_t comPort, const uint8_t* data, std::size_t count, int32_t timeoutMs)
{
    const int fd = fdFor(comPort);
    if (fd < 0)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    if (count == 0)
        return DrvOk;
    if (data == nullptr)
        return DrvBadParameter;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);

    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return DrvIoError;  // EIO after hang-up, EPIPE, ...

        // The OS buffer is full: wait for room, but only until the deadline.
        const auto left = deadline - Clock::now();
        if (left <= Clock::duration::zero())
            return DrvTransmitTimeout;
        // Round up so a sub-millisecond remainder waits instead of spinning.
        const auto leftMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        pollfd pfd{fd, POLLOUT, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(leftMs < INT_MAX ? leftMs : INT_MAX));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            return DrvIoError;
        }
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))
            return DrvIoError;
        // rc == 0: timed out; the next pass sees the deadline gone.
    }
    return DrvOk;
}

int32_t PosixSerialBackend::close(int32_t comPort)
{
    const int fd = fdFor(comPort);
    if (fd < 0)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    fds_[static_cast<std::size_t>(comPort)] = -1;
    releaseFd(fd);
    return DrvOk;
}

} // namespace flash3
