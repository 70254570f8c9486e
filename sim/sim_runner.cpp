#include "sim_runner.h"

#include "pty_line.h"
#include "stop_signal.h"
#include "trace_log.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace flash3sim {

namespace {

// What sets one device apart from the others of a station.
struct DeviceSetup {
    DeviceConfig device;
    int chatterMs = 0;
    std::string link;     // empty: none
    std::string logPath;  // empty: none
    int index = -1;       // in the station; -1: the one device of a plain run
};

class Simulator {
public:
    Simulator(const SimOptions& options, DeviceSetup setup, const ParsedImage* image, WatchHub& hub)
        : options_(options), setup_(std::move(setup)), device_(setup_.device, image), start_(Clock::now()),
          log_(start_), watch_(hub),
          tag_(setup_.index < 0 ? std::string("flash3-sim: ")
                                : "flash3-sim: device " + std::to_string(setup_.index) + ": ")
    {
    }
    ~Simulator() { closeMaster(); }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The terminal and its link; false with a message when either fails.
    bool setUp(std::string& error);
    const std::string& path() const { return slavePath_; }
    // Serves sessions until the device ends; returns its exit status (0 or 1).
    int serve();
    // One device on its own: set up, its path on stdout, served.
    int run();
    const std::string& tag() const { return tag_; }

private:
    bool openPty(std::string& error);
    void closeMaster();
    void readFromHost(std::vector<uint8_t>& into);
    bool takeInput(bool& reopened, int& status);
    void feed(const uint8_t* data, std::size_t count);
    void writeToHost();
    int endSession();
    bool nextSession(bool lineInUse, int& status);
    void resetLine();
    void waitForOpen(std::chrono::milliseconds most);
    int finish(const char* why);

    const SimOptions& options_;
    DeviceSetup setup_;
    Device device_;
    Clock::time_point start_;
    TraceLog log_;
    int master_ = -1;
    std::string slavePath_;
    bool linked_ = false;
    bool hostPresent_ = false;
    std::vector<uint8_t> pending_;  // device output not yet taken by the pty
    std::vector<uint8_t> incoming_; // host bytes read, not yet given to the device
    OpenWatch watch_;
    std::size_t opensSeen_ = 0;     // host opens already accounted for
    int lastSessionStatus_ = -1;
    std::string tag_;               // starts every message but the summary
    std::string label_;             // starts the summary: "device K (PATH): " in a station
};

bool Simulator::openPty(std::string& error)
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        error = std::string("posix_openpt: ") + std::strerror(errno);
        return false;
    }
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        error = std::string("cannot unlock the pty: ") + std::strerror(errno);
        return false;
    }
    char name[PATH_MAX];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    setRaw(master_);
    if (!resetSlave(slavePath_, error))
        return false;
    std::string why;
    if (!watch_.start(slavePath_, why))
        std::fprintf(stderr, "%swarning: %s; a port closed and opened again at once may not start a new session\n",
                     tag_.c_str(), why.c_str());
    return true;
}

void Simulator::closeMaster()
{
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    if (linked_) {
        removeLink(setup_.link, slavePath_);
        linked_ = false;
    }
}

void Simulator::readFromHost(std::vector<uint8_t>& into)
{
    uint8_t buf[512];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            into.insert(into.end(), buf, buf + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // EAGAIN: drained. EIO: the host has closed and nothing is left.
        return;
    }
}

void Simulator::feed(const uint8_t* data, std::size_t count)
{
    log_.bytes("rx", data, count);
    device_.receive(data, count);
}

// Reads what the host has sent, then looks for new opens, in that order: an
// opener's bytes cannot come before its open, so every byte read was sent by
// an opener already known. A new open while the session has bytes ends the
// session as a hang-up would; of what was read with it, only an entry at the
// very end can be the new opener's. Returns true when the sim is to stop.
bool Simulator::takeInput(bool& reopened, int& status)
{
    incoming_.clear();
    readFromHost(incoming_);
    const std::size_t opens = watch_.active() ? watch_.hostOpens() : opensSeen_;
    reopened = opens != opensSeen_;
    opensSeen_ = opens;
    if (!reopened || device_.stats().received == 0) {
        feed(incoming_.data(), incoming_.size());
        return false;
    }
    const std::size_t theirs = entryBytesAtEnd(incoming_.data(), incoming_.size());
    const std::size_t ours = incoming_.size() - theirs;
    feed(incoming_.data(), ours);
    log_.note("host opened the line anew");
    if (nextSession(true, status))
        return true;
    feed(incoming_.data() + ours, theirs);
    return false;
}

void Simulator::writeToHost()
{
    while (!pending_.empty()) {
        const ssize_t n = ::write(master_, pending_.data(), pending_.size());
        if (n > 0) {
            log_.bytes("tx", pending_.data(), static_cast<std::size_t>(n));
            pending_.erase(pending_.begin(), pending_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;  // EAGAIN: the host is not reading; poll tells us when to retry
    }
}

int Simulator::endSession()
{
    const std::string line = device_.summary();
    std::fprintf(stderr, "%s%s\n", label_.c_str(), line.c_str());
    log_.note(line);
    return device_.passed() ? 0 : 1;
}

// After a session: ends the sim unless --persist, else makes the device new
// for the next one. `lineInUse`: a new opener already has the line, so its
// settings and bytes are left alone. Returns true when the sim is to stop.
bool Simulator::nextSession(bool lineInUse, int& status)
{
    status = endSession();
    pending_.clear();
    if (!options_.persist) {
        closeMaster();
        return true;
    }
    lastSessionStatus_ = status;
    device_.reset();
    if (!lineInUse)
        resetLine();
    log_.note("waiting for the next session");
    return false;
}

// Clears what the last session left on the line, unless someone has opened it
// since we looked: its settings are not ours to change. The host's bytes are
// never thrown away: all of the last host's were read before its hang-up was
// judged, so any left are a new opener's.
void Simulator::resetLine()
{
    if (watch_.active() && watch_.hostOpens() != opensSeen_)
        return;
    ::tcflush(master_, TCOFLUSH);
    std::string error;
    if (!resetSlave(slavePath_, error, &watch_))
        std::fprintf(stderr, "%swarning: %s\n", tag_.c_str(), error.c_str());
}

// poll() on a hung-up master returns at once, so while no one has the line
// we wait here: on the watch when there is one, so an open ends the wait (its
// event comes once the terminal is open, so the master is no longer hung up);
// without one, in short naps, so that an opener is not kept waiting long.
void Simulator::waitForOpen(std::chrono::milliseconds most)
{
    if (!watch_.active()) {
        sleepFor(std::min(std::chrono::milliseconds(5), most));
        return;
    }
    pollfd pfd[2] = {{watch_.fd(), POLLIN, 0}, {stopFd(), POLLIN, 0}};
    ::poll(pfd, 2, static_cast<int>(std::max<long long>(0, most.count())));
}

int Simulator::finish(const char* why)
{
    log_.note(why);
    int status;
    if (options_.persist && lastSessionStatus_ >= 0 && device_.stats().received == 0)
        status = lastSessionStatus_;  // that session's summary is already out
    else
        status = endSession();
    closeMaster();
    return status;
}

bool Simulator::setUp(std::string& error)
{
    if (!openPty(error))
        return false;
    // The link before the path is printed: whoever reads it may use the link at once.
    if (!setup_.link.empty()) {
        if (!makeLink(setup_.link, slavePath_, error))
            return false;
        linked_ = true;
    }
    if (setup_.index >= 0)
        label_ = "device " + std::to_string(setup_.index) + " ("
            + (setup_.link.empty() ? slavePath_ : setup_.link) + "): ";
    return true;
}

int Simulator::run()
{
    std::string error;
    if (!setUp(error)) {
        std::fprintf(stderr, "%s%s\n", tag_.c_str(), error.c_str());
        return 2;
    }
    std::printf("%s\n", slavePath_.c_str());
    std::fflush(stdout);
    return serve();
}

int Simulator::serve()
{
    if (!setup_.logPath.empty() && !log_.open(setup_.logPath))
        std::fprintf(stderr, "%scannot open log %s: %s\n", tag_.c_str(), setup_.logPath.c_str(), std::strerror(errno));
    log_.note("pty " + slavePath_);

    const bool timed = options_.timeoutSec > 0;
    const Clock::time_point deadline = start_
        + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.timeoutSec));
    const int chatterMs = setup_.chatterMs;
    const auto chatterEvery = std::chrono::milliseconds(chatterMs);
    Clock::time_point nextChatter = start_ + chatterEvery;

    for (;;) {
        if (const int sig = stopSignal())
            return finish(sig == SIGINT ? "interrupted" : "terminated");
        Clock::time_point now = Clock::now();
        if (timed && now >= deadline)
            return finish("time-out");

        device_.pump(now, pending_);
        if (chatterMs > 0 && now >= nextChatter) {
            // A byte sent while nobody listens would be queued for the next
            // opener by the pty; on a real line it is simply lost.
            if (hostPresent_)
                pending_.push_back(0x55);
            nextChatter += chatterEvery;
            if (nextChatter <= now)
                nextChatter = now + chatterEvery;
        }
        if (hostPresent_)
            writeToHost();

        if (device_.wantsUnplug()) {
            ::close(master_);
            master_ = -1;
            device_.markUnplugged();
            return finish("unplugged");
        }

        // Sleep until the next thing we have to do, but wake at least every
        // 50 ms; a signal wakes us anyway.
        Clock::time_point wake = now + std::chrono::milliseconds(50);
        Clock::time_point due;
        if (device_.nextDue(due))
            wake = std::min(wake, std::max(due, now));
        if (chatterMs > 0)
            wake = std::min(wake, nextChatter);
        if (timed)
            wake = std::min(wake, deadline);
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(wake - now);

        const std::size_t opensBefore = watch_.active() ? watch_.opensTaken() : 0;
        pollfd pfds[2] = {{master_, static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0},
                          {stopFd(), POLLIN, 0}};
        const int rc = ::poll(pfds, 2, static_cast<int>(std::max<long long>(0, waitMs.count())));
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "%spoll: %s\n", tag_.c_str(), std::strerror(errno));
            return finish("poll failed");
        }
        const pollfd& pfd = pfds[0];
        const bool hungUp = (pfd.revents & POLLHUP) != 0;
        if (!hungUp && !hostPresent_) {
            hostPresent_ = true;
            log_.note("host opened the line");
        }
        // Read even when hung up: a host may write and close between polls.
        bool reopened = false;
        int status = 0;
        if (takeInput(reopened, status))
            return status;
        // A hang-up followed by a new open: the line is in use again, which
        // the next poll will tell.
        if (!hungUp || reopened)
            continue;

        // POLLHUP: no one has the slave open.
        if (watch_.active())
            watch_.lineFree(opensBefore);
        if (hostPresent_) {
            hostPresent_ = false;
            log_.note("host closed the line");
        }
        pending_.clear();
        // An open and close with nothing sent (a port probe) is not a session.
        if (device_.stats().received > 0) {
            if (nextSession(false, status))
                return status;
            continue;
        }
        waitForOpen(waitMs);
    }
}

// Every device of a station on a thread of its own, each running the loop of a
// single device: none waits for another, so each answers as promptly as one
// alone. The paths are printed once every terminal and link is there.
int runStation(const SimOptions& options, const ParsedImage* image)
{
    WatchHub hub;  // outlives the devices, whose watches it holds
    const std::size_t count = options.station.size();
    std::vector<std::unique_ptr<Simulator>> devices;
    devices.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        DeviceSetup setup;
        setup.device = options.station[k].device;
        setup.chatterMs = options.station[k].chatterMs;
        if (!options.linkPrefix.empty())
            setup.link = options.linkPrefix + std::to_string(k);
        if (!options.logPath.empty())
            setup.logPath = options.logPath + "." + std::to_string(k);
        setup.index = static_cast<int>(k);
        devices.push_back(std::make_unique<Simulator>(options, std::move(setup), image, hub));
        std::string error;
        if (!devices.back()->setUp(error)) {
            std::fprintf(stderr, "%s%s\n", devices.back()->tag().c_str(), error.c_str());
            return 2;  // the devices made so far take their terminals and links with them
        }
    }
    for (const auto& device : devices)
        std::printf("%s\n", device->path().c_str());
    std::fflush(stdout);

    std::vector<int> status(count, 1);
    std::vector<std::thread> threads;
    threads.reserve(count);
    bool started = true;
    for (std::size_t k = 0; k < count; ++k) {
        try {
            threads.emplace_back([&status, &devices, k] { status[k] = devices[k]->serve(); });
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "%scannot start: %s\n", devices[k]->tag().c_str(), e.what());
            requestStop(SIGTERM);  // the others end as on a signal
            started = false;
            break;
        }
    }
    for (std::thread& t : threads)
        t.join();
    if (!started)
        return 2;
    return std::all_of(status.begin(), status.end(), [](int s) { return s == 0; }) ? 0 : 1;
}

} // namespace

int runMain(int argc, char** argv)
{
    SimOptions options;
    std::string error;
    if (!parseArguments(argc, argv, options, error)) {
        std::fprintf(stderr, "flash3-sim: %s\nTry flash3-sim --help.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("flash3-sim %s\n", FLASH3_VERSION);
        return 0;
    }
    if (!options.writeSample.empty()) {
        if (!writeSampleImage(options.writeSample, options.sample, error)) {
            std::fprintf(stderr, "flash3-sim: %s\n", error.c_str());
            return 2;
        }
        return 0;
    }

    ParsedImage image;
    if (!options.image.empty()) {
        if (!loadImage(options.image, image, error)) {
            std::fprintf(stderr, "flash3-sim: %s\n", error.c_str());
            return 2;
        }
        if (image.skipped || image.invalidDigits || image.endsEarly || image.trailing) {
            std::fprintf(stderr,
                         "flash3-sim: note: %s: %zu records skipped, %zu bad hex digits (taken as 0), "
                         "%zu trailing bytes ignored%s\n",
                         options.image.c_str(), image.skipped, image.invalidDigits, image.trailing,
                         image.endsEarly ? ", ends early at a line end without CR LF" : "");
        }
    }

    installStopSignals();

    const ParsedImage* served = options.image.empty() ? nullptr : &image;
    if (options.devices > 0)
        return runStation(options, served);
    WatchHub hub;
    DeviceSetup setup;
    setup.device = options.device;
    setup.chatterMs = options.chatterMs;
    setup.link = options.link;
    setup.logPath = options.logPath;
    Simulator sim(options, std::move(setup), served, hub);
    return sim.run();
}

} // namespace flash3sim
