#pragma once
// What the tests of flash3-sim share: images and scratch files, flash3-sim
// run in a child process, a small host on the other end of its pty, and the
// station's arguments and output taken apart.

#include "sample_image.h"
#include "sim_device.h"
#include "sim_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace flash3sim::testing {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

inline const std::string kWorkedExample = "T41:T00:R41:E\r\n:T42:R2A:E\r\n:";

inline Bytes pumpAll(Device& device, Clock::time_point now)
{
    Bytes out;
    device.pump(now, out);
    return out;
}

inline void feed(Device& device, const Bytes& bytes)
{
    device.receive(bytes.data(), bytes.size());
}

// One scratch folder per test process, under $TMPDIR, removed when the process ends.
inline std::string tempDir()
{
    static const struct Scratch {
        std::string path;
        Scratch()
        {
            const char* base = std::getenv("TMPDIR");
            std::string pattern = std::string(base && *base ? base : "/tmp") + "/test_sim.XXXXXX";
            path = ::mkdtemp(pattern.data()) ? pattern : std::string();
        }
        ~Scratch()
        {
            if (!path.empty()) {
                std::error_code ignored;
                std::filesystem::remove_all(path, ignored);
            }
        }
    } scratch;
    return scratch.path;
}

inline std::string writeTemp(const std::string& name, const std::string& bytes)
{
    const std::string path = tempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// ---- whole sessions over a pty

// flash3-sim run in a child process: the library's runMain() with its stdout
// and stderr captured. It waits for the first `paths` lines of output: the
// terminals' paths, one for a plain run, N for a station of N devices.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args, std::size_t paths = 1)
    {
        int out[2];
        int err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0)
            return;
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::close(out[0]);
            ::close(err[0]);
            std::vector<char*> argv{const_cast<char*>("flash3-sim")};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            const int rc = runMain(static_cast<int>(argv.size() - 1), argv.data());
            std::fflush(nullptr);
            ::_exit(rc);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
        // The first line is the pty's path (a station's first N lines, theirs).
        while (paths_.size() < paths) {
            std::string line;
            char c = 0;
            while (waitReadable(out_, 3000) && ::read(out_, &c, 1) == 1 && c != '\n')
                line += c;
            if (c != '\n')
                break;  // the output ended (or stalled) before the line did
            paths_.push_back(line);
        }
        if (!paths_.empty())
            slave_ = paths_.front();
    }
    ~SimProcess()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            ::close(out_);
        if (err_ >= 0)
            ::close(err_);
    }

    const std::string& slave() const { return slave_; }
    const std::vector<std::string>& paths() const { return paths_; }
    void signal(int sig) { ::kill(pid_, sig); }

    // Exit status, or -1 if it has not ended within `ms`.
    int wait(int ms = 3000)
    {
        for (int waited = 0; waited <= ms; waited += 5) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                char buf[4096];
                ssize_t n;
                while ((n = ::read(err_, buf, sizeof buf)) > 0)
                    stderr_.append(buf, static_cast<std::size_t>(n));
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(5ms);
        }
        return -1;
    }
    const std::string& errText() const { return stderr_; }

    static bool waitReadable(int fd, int ms)
    {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool exited_ = false;
    std::string slave_;
    std::vector<std::string> paths_;
    std::string stderr_;
};

// The host side, kept as simple as the real one: raw line, one entry byte per
// 5 ms tick, then bytes out and answers in.
class Host {
public:
    explicit Host(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) {
            termios t{};
            ::tcgetattr(fd_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(fd_, TCSANOW, &t);
        }
    }
    ~Host() { close(); }
    bool isOpen() const { return fd_ >= 0; }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void send(const Bytes& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void sendEntry()
    {
        send({0xE1});
        std::this_thread::sleep_for(5ms);  // a tick between the two, as the host sends them
        send({0x94});
    }
    // Reads until `count` bytes have come or `ms` have passed with none.
    Bytes read(std::size_t count, int ms = 1000)
    {
        Bytes got;
        while (got.size() < count && SimProcess::waitReadable(fd_, ms)) {
            uint8_t buf[256];
            const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, count - got.size()));
            if (n <= 0) {
                hungUp_ = true;
                break;
            }
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    bool hungUp() const { return hungUp_; }

private:
    int fd_ = -1;
    bool hungUp_ = false;
};

inline bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// ---- a station

inline SimOptions parseOk(std::vector<std::string> args)
{
    std::vector<char*> argv{const_cast<char*>("flash3-sim")};
    for (auto& a : args)
        argv.push_back(a.data());
    SimOptions options;
    std::string error;
    EXPECT_TRUE(parseArguments(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    return options;
}

inline std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t nl; (nl = text.find('\n', from)) != std::string::npos; from = nl + 1)
        out.push_back(text.substr(from, nl - from));
    if (from < text.size())
        out.push_back(text.substr(from));
    return out;
}

// The summary lines of device k ("device k (NAME): ..."), with that prefix taken off.
inline std::vector<std::string> summariesOf(const std::string& err, int k, const std::string& name)
{
    const std::string prefix = "device " + std::to_string(k) + " (" + name + "): ";
    std::vector<std::string> found;
    for (const std::string& line : lines(err))
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line.substr(prefix.size()));
    return found;
}

// What a lone device prints after the host has sent `bytes`: the line a
// station's device must print after its prefix.
inline std::string loneSummary(const ParsedImage* image, const Bytes& bytes, DeviceConfig config = {})
{
    Device device(std::move(config), image);
    feed(device, bytes);
    return device.summary();
}

inline std::string readLink(const std::string& link)
{
    char target[256] = {};
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace flash3sim::testing
