// SystemBackend against a real pseudo-terminal: the test holds the master
// end and plays the device; the backend opens the slave as its COM port.

#include "ports/port_hints.h"
#include "ports/port_map.h"
#include "ports/system_backend.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QStringList>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace flash3;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

class Pty {
public:
    Pty()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0)
            slavePath_ = ::ptsname(master_);
    }
    ~Pty() { closeMaster(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !slavePath_.empty(); }
    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    void bindTo(int comPort) const { bindComToDevice(comPort, QString::fromStdString(slavePath_)); }

    void closeMaster()
    {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    bool send(const std::vector<uint8_t>& bytes) const
    {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until `want` bytes arrived or the line stayed quiet for `quietMs`.
    std::vector<uint8_t> receive(std::size_t want, int quietMs = 500) const
    {
        std::vector<uint8_t> got;
        uint8_t buf[4096];
        while (got.size() < want) {
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) {
                got.insert(got.end(), buf, buf + n);
                continue;
            }
            pollfd pfd{master_, POLLIN, 0};
            if (::poll(&pfd, 1, quietMs) <= 0 || !(pfd.revents & POLLIN))
                break;
        }
        return got;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

bool waitFor(const std::function<bool()>& done, int boundMs = 1000)
{
    const auto deadline = Clock::now() + milliseconds(boundMs);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// The state of thread `tid` of this process ('R' running, 'S' sleeping, ...).
char threadState(pid_t tid)
{
    std::FILE* f = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r");
    if (!f)
        return 0;
    char text[512] = {};
    const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    const char* name = std::strrchr(text, ')');  // the state follows the thread's name
    return name && name + 2 < text + n ? name[2] : char(0);
}

int openFdCount()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// Kernel hand-over from the master to the slave's line discipline is
// asynchronous, so give bytesWaiting a moment to see everything.
bool waitForWaiting(SystemBackend& backend, int comPort, int32_t count)
{
    return waitFor([&] { return backend.bytesWaiting(comPort) >= count; });
}

std::vector<uint8_t> pattern(std::size_t size)
{
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

} // namespace

TEST(TermiosBackendOpen, RefusesWhatIsNotASerialDevice)
{
    SystemBackend backend;
    bindComToDevice(3, QStringLiteral("/nonexistent/flash3-no-such-device"));
    EXPECT_EQ(backend.open(3), DrvNoDevice);

    char regular[] = "/tmp/flash3-termios-XXXXXX";
    const int fd = ::mkstemp(regular);
    ASSERT_GE(fd, 0);
    ::close(fd);
    bindComToDevice(3, QString::fromLatin1(regular));
    EXPECT_EQ(backend.open(3), DrvNoDevice);
    bindComToDevice(3, QString::fromLatin1(regular) + QStringLiteral("/ttyS0"));  // ENOTDIR
    EXPECT_EQ(backend.open(3), DrvNoDevice);
    // Links that lead round in a circle (ELOOP) name no device either.
    const std::string loopA = std::string(regular) + "-loop-a";
    const std::string loopB = std::string(regular) + "-loop-b";
    ASSERT_EQ(::symlink(loopB.c_str(), loopA.c_str()), 0);
    ASSERT_EQ(::symlink(loopA.c_str(), loopB.c_str()), 0);
    bindComToDevice(3, QString::fromStdString(loopA));
    EXPECT_EQ(backend.open(3), DrvNoDevice);
    ::unlink(loopA.c_str());
    ::unlink(loopB.c_str());
    ::unlink(regular);

    bindComToDevice(3, QStringLiteral("/dev/null"));
    EXPECT_EQ(backend.open(3), DrvNoDevice);
    // A failed open leaves nothing behind to use.
    EXPECT_EQ(backend.close(3), DrvNotInitialised);
}

TEST(TermiosBackendOpen, CallsOnPortsNotOpenAreRefused)
{
    SystemBackend backend;
    const uint8_t byte = 0x55;
    EXPECT_EQ(backend.configure(9, 38400), DrvNotInitialised);
    EXPECT_EQ(backend.flushReceive(9), DrvNotInitialised);
    EXPECT_EQ(backend.flushTransmit(9), DrvNotInitialised);
    EXPECT_EQ(backend.bytesWaiting(9), -DrvNotInitialised);
    EXPECT_EQ(backend.readByte(9), -DrvNotInitialised);
    EXPECT_EQ(backend.write(9, &byte, 1, 10), DrvNotInitialised);
    EXPECT_EQ(backend.close(9), DrvNotInitialised);
    // Port numbers outside the table must not index past it.
    EXPECT_EQ(backend.open(100), DrvBadParameter);
    EXPECT_EQ(backend.open(-1), DrvBadParameter);
    EXPECT_LT(backend.bytesWaiting(1000), 0);
}

TEST(TermiosBackendOpen, DeviceWithoutPermissionIsAccessDenied)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "running as root: file permissions do not stop root from opening the device";
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0), 0);
    pty.bindTo(4);
    SystemBackend backend;
    EXPECT_EQ(backend.open(4), DrvAccessDenied);
}

TEST(TermiosBackendOpen, SecondOpenOfTheSameDeviceIsPortInUse)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(5);
    pty.bindTo(6);
    SystemBackend first;
    SystemBackend second;
    ASSERT_EQ(first.open(5), DrvOk);
    EXPECT_EQ(second.open(5), DrvPortInUse);
    EXPECT_EQ(first.open(6), DrvPortInUse);  // same device under another COM number
    EXPECT_EQ(second.bytesWaiting(5), -DrvNotInitialised);

    ASSERT_EQ(first.close(5), DrvOk);
    EXPECT_EQ(first.close(5), DrvNotInitialised);
    // Released on close (lock and exclusive mode), so a re-open works.
    EXPECT_EQ(second.open(5), DrvOk);
    EXPECT_EQ(first.open(5), DrvPortInUse);
    EXPECT_EQ(second.close(5), DrvOk);
    EXPECT_EQ(first.open(5), DrvOk);
}

// Root's open gets past exclusive mode; what refuses it then must not touch
// the line of the program that holds the port.
TEST(TermiosBackendOpen, RefusedOpenAsRootLeavesTheHoldersLineAsItWas)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: exclusive mode refuses the second open before anything else can happen";
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(15);
    SystemBackend holder;
    SystemBackend second;
    ASSERT_EQ(holder.open(15), DrvOk);
    ASSERT_EQ(holder.configure(15, 115200), DrvOk);
    const int probe = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    termios before{};
    ASSERT_EQ(::tcgetattr(probe, &before), 0);

    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(second.open(15), DrvPortInUse) << i;
    int exclusive = 0;
    ASSERT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "the holder's exclusive mode was cleared";
    termios after{};
    ASSERT_EQ(::tcgetattr(probe, &after), 0);
    EXPECT_EQ(::cfgetospeed(&after), B115200);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);

    // A port in exclusive mode without our lock is another program's too.
    ASSERT_EQ(holder.close(15), DrvOk);
    ASSERT_EQ(::ioctl(probe, TIOCEXCL), 0);
    EXPECT_EQ(second.open(15), DrvPortInUse);
    ASSERT_EQ(::ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    ASSERT_EQ(::ioctl(probe, TIOCNXCL), 0);
    EXPECT_EQ(second.open(15), DrvOk);
    ::close(probe);
}

// The codes have none for it, so an open refused for want of a descriptor is
// an I/O error; its hint must name the cause, as nothing else would.
TEST(TermiosBackendOpen, OutOfDescriptorsIsAnIoErrorWhoseHintSaysSo)
{
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' own checks open files as they go: with no descriptor
    // left they report faults of their own making.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(16);
    SystemBackend backend;
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(openFdCount() + 16);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = ::dup(0)) >= 0;)
        filler.push_back(fd);
    const int err = errno;
    const int32_t status = backend.open(16);
    const QStringList hints = portOpenHints(16, status);
    for (int fd : filler)
        ::close(fd);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

    ASSERT_EQ(err, EMFILE);
    EXPECT_EQ(status, DrvIoError);
    EXPECT_EQ(hints, QStringList{QStringLiteral("No file descriptor was left to open %1: too many open files (this "
                                                "program may have %2 open: ulimit -n). Raise the limit, or use fewer "
                                                "ports at once.")
                                     .arg(QString::fromStdString(pty.slavePath()), QString::number(low.rlim_cur))})
        << hints.join('\n').toStdString();
    // With descriptors to spare, an I/O error at open is not put down to them.
    EXPECT_TRUE(portOpenHints(16, DrvIoError).isEmpty());
    EXPECT_EQ(backend.open(16), DrvOk);
}

TEST(TermiosBackendOpen, ReopeningAPortLeaksNoDescriptor)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(7);
    const int before = openFdCount();
    {
        SystemBackend backend;
        ASSERT_EQ(backend.open(7), DrvOk);
        for (int i = 0; i < 20; ++i)
            ASSERT_EQ(backend.open(7), DrvOk);
        EXPECT_EQ(openFdCount(), before + 1);
        ASSERT_TRUE(pty.send({0x42}));
        ASSERT_TRUE(waitForWaiting(backend, 7, 1));
        EXPECT_EQ(backend.readByte(7), 0x42);
    }  // the destructor closes what is still open
    EXPECT_EQ(openFdCount(), before);
}

TEST(TermiosBackendLine, OpenSetsRaw8N1WithoutFlowControl)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    // Start from a deliberately hostile line: cooked, echoing, 2 stop bits,
    // hardware and software flow control, 1200 bit/s. (A pty's settings are
    // shared by both ends, so the master shows what the backend set.)
    termios tio{};
    ASSERT_EQ(::tcgetattr(pty.master(), &tio), 0);
    tio.c_cflag |= CSTOPB | CRTSCTS;
    tio.c_iflag |= IXON | IXOFF | IXANY;
    tio.c_lflag |= ICANON | ECHO | ISIG;
    ::cfsetispeed(&tio, B1200);
    ::cfsetospeed(&tio, B1200);
    ASSERT_EQ(::tcsetattr(pty.master(), TCSANOW, &tio), 0);

    pty.bindTo(8);
    SystemBackend backend;
    ASSERT_EQ(backend.open(8), DrvOk);
    ASSERT_EQ(::tcgetattr(pty.master(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B38400));

    const std::pair<int32_t, speed_t> speeds[] = {
        {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto& [rate, code] : speeds) {
        EXPECT_EQ(backend.configure(8, rate), DrvOk) << rate;
        ASSERT_EQ(::tcgetattr(pty.master(), &tio), 0);
        EXPECT_EQ(::cfgetospeed(&tio), code) << rate;
        EXPECT_EQ(::cfgetispeed(&tio), code) << rate;
    }
    for (int32_t bad : {12345, 0, -9600, 4800, 230400})
        EXPECT_EQ(backend.configure(8, bad), DrvBadParameter) << bad;
    ASSERT_EQ(::tcgetattr(pty.master(), &tio), 0);
    EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));  // a refused rate changes nothing
}

TEST(TermiosBackendLine, EveryByteValuePassesUnchangedBothWays)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(10);
    SystemBackend backend;
    ASSERT_EQ(backend.open(10), DrvOk);
    EXPECT_EQ(backend.bytesWaiting(10), 0);

    // XOFF first: a port that honoured it would then hold back our transmit.
    std::vector<uint8_t> incoming = {0x13, 0x0D, 0x0A, 0x11, 0x03, 0x04, 0x1A, 0x1C, 0x7F, 0x00, 0xFF, 0x0D};
    for (int v = 0; v < 256; ++v)
        incoming.push_back(static_cast<uint8_t>(v));
    ASSERT_TRUE(pty.send(incoming));
    ASSERT_TRUE(waitForWaiting(backend, 10, static_cast<int32_t>(incoming.size())));
    EXPECT_EQ(backend.bytesWaiting(10), static_cast<int32_t>(incoming.size()));
    std::vector<uint8_t> read;
    for (std::size_t i = 0; i < incoming.size(); ++i) {
        const int32_t b = backend.readByte(10);
        ASSERT_GE(b, 0) << "byte " << i;
        read.push_back(static_cast<uint8_t>(b));
    }
    EXPECT_EQ(read, incoming);
    EXPECT_EQ(backend.bytesWaiting(10), 0);
    EXPECT_EQ(backend.readByte(10), -DrvIoError);  // nothing was promised

    // Nothing was echoed back, and what we send arrives exactly as sent.
    EXPECT_TRUE(pty.receive(1, 50).empty());
    const std::vector<uint8_t> outgoing = incoming;
    ASSERT_EQ(backend.write(10, outgoing.data(), outgoing.size(), 1000), DrvOk);
    EXPECT_EQ(pty.receive(outgoing.size()), outgoing);
}

TEST(TermiosBackendLine, FlushesDiscardPendingData)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(11);
    SystemBackend backend;
    ASSERT_EQ(backend.open(11), DrvOk);
    ASSERT_TRUE(pty.send({1, 2, 3, 4}));
    ASSERT_TRUE(waitForWaiting(backend, 11, 4));
    EXPECT_EQ(backend.flushReceive(11), DrvOk);
    EXPECT_EQ(backend.bytesWaiting(11), 0);

    // Fill the path to the master, then drop it: there is room again at once.
    const auto bulk = pattern(100 * 1024);
    ASSERT_EQ(backend.write(11, bulk.data(), bulk.size(), 50), DrvTransmitTimeout);
    EXPECT_EQ(backend.flushTransmit(11), DrvOk);
    const std::vector<uint8_t> marker = {0xA5, 0x5A};
    EXPECT_EQ(backend.write(11, marker.data(), marker.size(), 0), DrvOk);
}

TEST(TermiosBackendWrite, FullBufferTimesOutWithoutDroppingBytes)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(12);
    SystemBackend backend;
    ASSERT_EQ(backend.open(12), DrvOk);

    // One large write: refused within its bound; whatever the OS took arrives
    // intact and in order.
    const auto bulk = pattern(100 * 1024);
    auto start = Clock::now();
    EXPECT_EQ(backend.write(12, bulk.data(), bulk.size(), 200), DrvTransmitTimeout);
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    const auto arrived = pty.receive(bulk.size(), 200);
    ASSERT_FALSE(arrived.empty());
    ASSERT_LT(arrived.size(), bulk.size());
    EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), bulk.begin()));

    // Byte by byte, as the driver sends: every byte reported accepted arrives,
    // and none that was refused does.
    std::size_t accepted = 0;
    int32_t status = DrvOk;
    start = Clock::now();
    // The time bound keeps a backend that never reports a full buffer from
    // spinning through all 100 kB at up to 5 ms a byte.
    while (status == DrvOk && accepted < bulk.size() && Clock::now() - start < milliseconds(3000)) {
        status = backend.write(12, &bulk[accepted], 1, accepted % 2 ? 0 : 5);
        if (status == DrvOk)
            ++accepted;
    }
    EXPECT_EQ(status, DrvTransmitTimeout);
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    const auto drained = pty.receive(bulk.size(), 200);
    ASSERT_EQ(drained.size(), accepted);
    EXPECT_TRUE(std::equal(drained.begin(), drained.end(), bulk.begin()));

    // Room again once the other end has read.
    EXPECT_EQ(backend.write(12, bulk.data(), 1000, 1000), DrvOk);
    EXPECT_EQ(pty.receive(1000).size(), 1000u);
}

TEST(TermiosBackendUnplug, ClosedMasterIsAnIoErrorPromptly)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(13);
    SystemBackend backend;
    ASSERT_EQ(backend.open(13), DrvOk);
    ASSERT_EQ(backend.bytesWaiting(13), 0);

    pty.closeMaster();
    const auto start = Clock::now();
    EXPECT_TRUE(waitFor([&] { return backend.bytesWaiting(13) == -DrvIoError; }, 1000));
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    const uint8_t byte = 0x55;
    EXPECT_EQ(backend.write(13, &byte, 1, 1000), DrvIoError);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));  // not the write's full time-out
    EXPECT_EQ(backend.readByte(13), -DrvIoError);
    EXPECT_EQ(backend.flushReceive(13), DrvIoError);
    EXPECT_EQ(backend.configure(13, 9600), DrvIoError);
    EXPECT_EQ(backend.close(13), DrvOk);
    EXPECT_EQ(backend.open(13), DrvNoDevice);  // the device node went with the master
}

TEST(TermiosBackendUnplug, WriteWaitingForRoomNoticesTheUnplug)
{
    Pty pty;
    ASSERT_TRUE(pty.ok());
    pty.bindTo(14);
    SystemBackend backend;
    ASSERT_EQ(backend.open(14), DrvOk);
    const auto bulk = pattern(100 * 1024);
    // Unplugged while the write waits for room: bytes have reached the
    // device, and the writing thread sleeps.
    const pid_t writer = ::gettid();
    const auto waitingForRoom = [&] {
        int queued = 0;
        return ::ioctl(pty.master(), FIONREAD, &queued) == 0 && queued > 0 && threadState(writer) == 'S';
    };
    std::thread unplug([&] {
        waitFor(waitingForRoom, 5000);
        pty.closeMaster();
    });
    const auto start = Clock::now();
    EXPECT_EQ(backend.write(14, bulk.data(), bulk.size(), 5000), DrvIoError);
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    unplug.join();
}
