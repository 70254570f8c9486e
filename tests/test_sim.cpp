// flash3-sim: image reading, the sample writer, the device logic on a fake
// clock, and whole sessions over a real pty with a small host written here.

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

using namespace flash3sim;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

const std::string kWorkedExample = "T41:T00:R41:E\r\n:T42:R2A:E\r\n:";

Bytes pumpAll(Device& device, Clock::time_point now)
{
    Bytes out;
    device.pump(now, out);
    return out;
}

void feed(Device& device, const Bytes& bytes)
{
    device.receive(bytes.data(), bytes.size());
}

// One scratch folder per test process, under $TMPDIR, removed when the process ends.
std::string tempDir()
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

std::string writeTemp(const std::string& name, const std::string& bytes)
{
    const std::string path = tempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

} // namespace

// ---- reading images ---------------------------------------------------------

TEST(ImageParse, WorkedExampleGivesRecordsInOrder)
{
    const ParsedImage image = parseImage(kWorkedExample);
    ASSERT_EQ(image.records.size(), 7u);
    const Record::Kind kinds[] = {Record::Send, Record::Send, Record::Answer, Record::LineEnd,
                                  Record::Send, Record::Answer, Record::LineEnd};
    const uint8_t values[] = {0x41, 0x00, 0x41, 0, 0x42, 0x2A, 0};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(image.records[i].kind, kinds[i]) << i;
        EXPECT_EQ(image.records[i].value, values[i]) << i;
        EXPECT_EQ(image.records[i].offset, i * 4) << i;
    }
    EXPECT_EQ(image.sendCount, 3u);
    EXPECT_EQ(image.answerCount, 2u);
    EXPECT_EQ(image.skipped, 0u);
    EXPECT_FALSE(image.endsEarly);
}

TEST(ImageParse, SkipsBadSeparatorsAndUnknownTypes)
{
    // T41; has no colon, X12 and lower-case t are no known type.
    const ParsedImage image = parseImage("T41;X12:t33:R05:E\r\n;T07:");
    ASSERT_EQ(image.records.size(), 2u);
    EXPECT_EQ(image.records[0].kind, Record::Answer);
    EXPECT_EQ(image.records[0].offset, 12u);
    EXPECT_EQ(image.records[1].kind, Record::Send);
    EXPECT_EQ(image.records[1].value, 0x07);
    EXPECT_EQ(image.skipped, 4u);  // the E with a bad separator is skipped, not an end
    EXPECT_FALSE(image.endsEarly);
}

TEST(ImageParse, BadHexDigitsCountAsZero)
{
    const ParsedImage image = parseImage("T4g:Ta1:R-5:TFF:");
    ASSERT_EQ(image.records.size(), 4u);
    EXPECT_EQ(image.records[0].value, 0x40);
    EXPECT_EQ(image.records[1].value, 0x01);  // only upper-case letters are digits
    EXPECT_EQ(image.records[2].value, 0x05);
    EXPECT_EQ(image.records[3].value, 0xFF);
    EXPECT_EQ(image.invalidDigits, 3u);
}

TEST(ImageParse, LineEndWithoutCrLfEndsImageAndPartialRecordIsIgnored)
{
    const ParsedImage early = parseImage("T41:E\r\r:T42:R42:");
    ASSERT_EQ(early.records.size(), 1u);
    EXPECT_TRUE(early.endsEarly);
    EXPECT_EQ(early.endOffset, 4u);
    EXPECT_EQ(early.sendCount, 1u);

    const ParsedImage partial = parseImage("T41:R4");
    ASSERT_EQ(partial.records.size(), 1u);
    EXPECT_EQ(partial.trailing, 2u);
    EXPECT_EQ(parseImage("").records.size(), 0u);
}

// ---- --reply -----------------------------------------------------------------

TEST(ReplyParse, AcceptsBytesPausesAndNone)
{
    std::vector<ReplyStep> steps;
    std::string error;
    ASSERT_TRUE(parseReply("91,w55,26", steps, error)) << error;
    const std::vector<ReplyStep> want{{false, 0, 0x91}, {true, 55, 0}, {false, 0, 0x26}};
    EXPECT_EQ(steps, want);

    ASSERT_TRUE(parseReply("a", steps, error)) << error;
    ASSERT_EQ(steps.size(), 1u);
    EXPECT_EQ(steps[0].byte, 0x0A);

    ASSERT_TRUE(parseReply("none", steps, error)) << error;
    EXPECT_TRUE(steps.empty());
}

TEST(ReplyParse, RejectsMalformedTokens)
{
    for (const char* bad : {"", ",", "91,", "91,,26", "123", "zz", "0x9", " 91", "w", "w-5", "w5x", "-1"}) {
        std::vector<ReplyStep> steps;
        std::string error;
        EXPECT_FALSE(parseReply(bad, steps, error)) << '"' << bad << '"';
        EXPECT_FALSE(error.empty()) << '"' << bad << '"';
    }
}

TEST(Arguments, OptionsAndTheirLimits)
{
    auto parse = [](std::vector<std::string> args, SimOptions& options, std::string& error) {
        std::vector<char*> argv{const_cast<char*>("flash3-sim")};
        for (auto& a : args)
            argv.push_back(a.data());
        return parseArguments(static_cast<int>(argv.size()), argv.data(), options, error);
    };
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--reply=00,91,26", "--delay", "20", "--unplug-at", "0", "--timeout", "1.5", "img.pf3"}, o,
                      error))
        << error;
    EXPECT_EQ(o.device.reply.size(), 3u);
    EXPECT_EQ(o.device.delayMs, 20);
    EXPECT_EQ(o.device.unplugAt, 0);
    EXPECT_DOUBLE_EQ(o.timeoutSec, 1.5);
    EXPECT_EQ(o.image, "img.pf3");

    for (std::vector<std::string> bad : {std::vector<std::string>{"--wrong-answer", "0"},
                                         {"--noise", "x"},
                                         {"--timeout", "0"},
                                         {"--delay"},
                                         {"--lines", "3"},
                                         {"a.pf3", "b.pf3"},
                                         {"--bogus"}}) {
        SimOptions fresh;
        EXPECT_FALSE(parse(bad, fresh, error)) << bad[0];
    }
}

// ---- the sample writer ---------------------------------------------------------

TEST(SampleImage, LinesHaveBurstThenCheckAnswerThenLineEnd)
{
    SampleOptions options;
    options.lines = 7;
    options.burst = 5;
    options.seed = 3;
    const std::string text = makeSampleImage(options);
    ASSERT_EQ(text.size() % 4, 0u);
    EXPECT_EQ(text.size(), 7u * (5 + 2) * 4);
    EXPECT_EQ(text.substr(text.size() - 4), "E\r\n:");

    const ParsedImage image = parseImage(text);
    EXPECT_EQ(image.skipped, 0u);
    EXPECT_EQ(image.invalidDigits, 0u);
    ASSERT_EQ(image.records.size(), 7u * 7);
    for (std::size_t line = 0; line < 7; ++line) {
        uint8_t check = 0;
        for (std::size_t i = 0; i < 5; ++i) {
            const Record& r = image.records[line * 7 + i];
            ASSERT_EQ(r.kind, Record::Send);
            check ^= r.value;
        }
        EXPECT_EQ(image.records[line * 7 + 5].kind, Record::Answer);
        EXPECT_EQ(image.records[line * 7 + 5].value, check);
        EXPECT_EQ(image.records[line * 7 + 6].kind, Record::LineEnd);
    }
}

TEST(SampleImage, SameSeedSameFileOtherSeedOtherBytes)
{
    SampleOptions a;
    SampleOptions b;
    b.seed = 2;
    EXPECT_EQ(makeSampleImage(a), makeSampleImage(a));
    EXPECT_NE(makeSampleImage(a), makeSampleImage(b));
    EXPECT_EQ(makeSampleImage(a).size(), 300u * 18 * 4);

    std::string error;
    const std::string path = tempDir() + "/sample.pf3";
    ASSERT_TRUE(writeSampleImage(path, a, error)) << error;
    std::ifstream in(path, std::ios::binary);
    const std::string onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(onDisk, makeSampleImage(a));
}

// ---- the device, on a clock we move by hand ------------------------------------

class DeviceLogic : public ::testing::Test {
protected:
    ParsedImage worked = parseImage(kWorkedExample);
    Clock::time_point t0 = Clock::now();
};

TEST_F(DeviceLogic, EntryNeedsE1RightBefore94)
{
    Device device(DeviceConfig{}, &worked);
    feed(device, {0x94, 0xE1, 0x00, 0x94});
    EXPECT_FALSE(device.stats().handshakeSeen);
    EXPECT_TRUE(pumpAll(device, t0).empty());
    feed(device, {0xE1, 0xE1, 0x94});
    EXPECT_TRUE(device.stats().handshakeSeen);
    EXPECT_EQ(pumpAll(device, t0), (Bytes{0x91, 0x26}));
    EXPECT_EQ(device.stats().received, 7u);
}

TEST(EntryTail, OnlyAnEntryAtTheVeryEndCounts)
{
    // What a host that has just reopened the line may have sent by the time
    // the sim reads: E1, or E1 94 and then nothing until the reply.
    const std::vector<std::pair<Bytes, std::size_t>> cases{
        {{}, 0},
        {{0x41, 0xE1}, 1},
        {{0x41, 0xE1, 0x94}, 2},
        {{0xE1, 0xE1}, 1},
        {{0x94, 0xE1, 0x94}, 2},
        {{0xE1, 0x94, 0x41}, 0},  // the device answered that entry already
        {{0x94}, 0},
        {{0x41, 0x94}, 0},
    };
    for (const auto& [bytes, want] : cases)
        EXPECT_EQ(entryBytesAtEnd(bytes.data(), bytes.size()), want) << ::testing::PrintToString(bytes);
}

TEST_F(DeviceLogic, AnswersOnlyAfterItsBytesAndStaysInStepOnMismatch)
{
    Device device(DeviceConfig{}, &worked);
    feed(device, {0xE1, 0x94, 0x41});
    EXPECT_EQ(pumpAll(device, t0), (Bytes{0x91, 0x26}));  // R41 waits for T00
    feed(device, {0x01, 0x43});
    EXPECT_EQ(pumpAll(device, t0), (Bytes{0x41, 0x2A}));
    const DeviceStats& s = device.stats();
    EXPECT_TRUE(s.completed);
    EXPECT_EQ(s.matched, 1u);
    EXPECT_EQ(s.mismatches, 2u);
    EXPECT_EQ(s.firstMismatchIndex, 1u);
    EXPECT_EQ(s.firstMismatchOffset, 4u);
    EXPECT_FALSE(device.passed());

    // A byte after the end is not silently accepted either.
    Device extra(DeviceConfig{}, &worked);
    feed(extra, {0xE1, 0x94, 0x41, 0x00, 0x42, 0x42});
    EXPECT_TRUE(extra.stats().completed);
    EXPECT_EQ(extra.stats().extra, 1u);
    EXPECT_FALSE(extra.passed());
}

TEST_F(DeviceLogic, WrongAndMissingAnswersHitTheKthAnswerOnly)
{
    DeviceConfig wrong;
    wrong.wrongAnswer = 2;
    Device a(wrong, &worked);
    feed(a, {0xE1, 0x94, 0x41, 0x00, 0x42});
    EXPECT_EQ(pumpAll(a, t0), (Bytes{0x91, 0x26, 0x41, 0x2A ^ 0xFF}));

    DeviceConfig missing;
    missing.noAnswer = 1;
    Device b(missing, &worked);
    feed(b, {0xE1, 0x94, 0x41, 0x00, 0x42});
    EXPECT_EQ(pumpAll(b, t0), (Bytes{0x91, 0x26, 0x2A}));
    // The host's bytes were all right, but it was denied an answer: a host
    // that reported success here would be wrong.
    EXPECT_FALSE(b.passed());
    EXPECT_NE(b.summary().find("1 answer(s) withheld or inverted"), std::string::npos) << b.summary();
}

TEST_F(DeviceLogic, PausesInReplyAndDelayHoldBytesBack)
{
    DeviceConfig config;
    std::string error;
    ASSERT_TRUE(parseReply("91,w55,26", config.reply, error)) << error;
    config.delayMs = 20;
    Device device(config, &worked);
    feed(device, {0xE1, 0x94});
    EXPECT_TRUE(pumpAll(device, t0).empty());
    Clock::time_point due;
    ASSERT_TRUE(device.nextDue(due));
    EXPECT_EQ(due, t0 + 20ms);
    EXPECT_TRUE(pumpAll(device, t0 + 19ms).empty());
    EXPECT_EQ(pumpAll(device, t0 + 20ms), (Bytes{0x91}));
    EXPECT_TRUE(pumpAll(device, t0 + 74ms).empty());
    EXPECT_EQ(pumpAll(device, t0 + 75ms), (Bytes{0x26}));
    EXPECT_FALSE(device.hasPendingOutput());

    // The answer's delay runs from when the device got to it.
    feed(device, {0x41, 0x00});
    EXPECT_TRUE(pumpAll(device, t0 + 100ms).empty());
    EXPECT_EQ(pumpAll(device, t0 + 120ms), (Bytes{0x41}));
}

TEST_F(DeviceLogic, NoiseNeverEndsLikeTheReply)
{
    // Find a seed whose first two noise bytes are exactly 91 26.
    uint32_t seed = 0;
    for (uint32_t s = 0; s < 4000000; ++s) {
        ByteSource source(s);
        if (source.next() == 0x91 && source.next() == 0x26) {
            seed = s;
            break;
        }
    }
    ASSERT_NE(seed, 0u);
    DeviceConfig config;
    config.noise = 2;
    config.seed = seed;
    config.reply.clear();
    Device device(config, &worked);
    feed(device, {0xE1, 0x94});
    const Bytes out = pumpAll(device, t0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], 0x91);
    EXPECT_NE(out[1], 0x26);
}

TEST_F(DeviceLogic, UnplugWaitsForEarlierOutputThenStopsEverything)
{
    DeviceConfig config;
    config.unplugAt = 6;  // R2A: the second answer must never go out
    Device device(config, &worked);
    feed(device, {0xE1, 0x94, 0x41, 0x00});
    EXPECT_FALSE(device.wantsUnplug());
    feed(device, {0x42});
    EXPECT_FALSE(device.wantsUnplug());  // 91 26 41 still queued
    EXPECT_EQ(pumpAll(device, t0), (Bytes{0x91, 0x26, 0x41}));
    EXPECT_TRUE(device.wantsUnplug());
    feed(device, {0x99});
    EXPECT_TRUE(pumpAll(device, t0).empty());
    device.markUnplugged();
    EXPECT_FALSE(device.passed());

    DeviceConfig atEntry;
    atEntry.unplugAt = 0;
    Device early(atEntry, &worked);
    feed(early, {0xE1, 0x94});
    EXPECT_TRUE(early.wantsUnplug());
    EXPECT_TRUE(pumpAll(early, t0).empty());
}

TEST_F(DeviceLogic, EchoWithoutImageAndImageEndingEarly)
{
    Device echo(DeviceConfig{}, nullptr);
    feed(echo, {0x10, 0xE1, 0x94, 0x01, 0xFE});
    EXPECT_EQ(pumpAll(echo, t0), (Bytes{0x91, 0x26, 0x01, 0xFE}));
    EXPECT_TRUE(echo.passed());
    echo.reset();
    EXPECT_FALSE(echo.passed());
    EXPECT_EQ(echo.stats().received, 0u);

    const ParsedImage early = parseImage("T41:R42:E\r\r:T43:R44:");
    Device device(DeviceConfig{}, &early);
    feed(device, {0xE1, 0x94, 0x41});
    EXPECT_EQ(pumpAll(device, t0), (Bytes{0x91, 0x26, 0x42}));
    EXPECT_TRUE(device.stats().completed);
    EXPECT_TRUE(device.passed());
}

// ---- whole sessions over a pty ---------------------------------------------------

namespace {

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
        std::this_thread::sleep_for(5ms);
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

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(PtySession, WorkedExampleEndToEnd)
{
    const std::string image = writeTemp("worked.pf3", kWorkedExample);
    const std::string log = tempDir() + "/worked.log";
    SimProcess sim({"--log", log, image});
    ASSERT_EQ(sim.slave().rfind("/dev/pts/", 0), 0u) << sim.slave();
    {
        Host host(sim.slave());
        ASSERT_TRUE(host.isOpen());
        host.sendEntry();
        EXPECT_EQ(host.read(2), (Bytes{0x91, 0x26}));
        host.send({0x41, 0x00});
        EXPECT_EQ(host.read(1), (Bytes{0x41}));
        host.send({0x42});
        EXPECT_EQ(host.read(1), (Bytes{0x2A}));
    }
    EXPECT_EQ(sim.wait(), 0) << sim.errText();
    EXPECT_TRUE(contains(sim.errText(), "received 5 bytes, matched 3 of 3 expected; no mismatch; image completed"))
        << sim.errText();
    std::ifstream in(log);
    const std::string trace((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(contains(trace, "rx 42")) << trace;
    EXPECT_TRUE(contains(trace, "tx 2A")) << trace;
}

TEST(PtySession, MismatchIsReportedAndFails)
{
    SimProcess sim({writeTemp("worked.pf3", kWorkedExample)});
    {
        Host host(sim.slave());
        host.sendEntry();
        EXPECT_EQ(host.read(2), (Bytes{0x91, 0x26}));
        host.send({0x41, 0x01});
        EXPECT_EQ(host.read(1), (Bytes{0x41}));  // still answered
        host.send({0x42});
        EXPECT_EQ(host.read(1), (Bytes{0x2A}));
    }
    EXPECT_EQ(sim.wait(), 1);
    EXPECT_TRUE(contains(sim.errText(), "matched 2 of 3 expected; first mismatch at byte 1: expected 00 got 01"))
        << sim.errText();
}

TEST(PtySession, ReplyTokensWrongAnswerAndNoise)
{
    SimProcess sim({"--reply", "00,91,w60,26", "--wrong-answer", "1", writeTemp("worked.pf3", kWorkedExample)});
    Host host(sim.slave());
    host.sendEntry();
    EXPECT_EQ(host.read(2), (Bytes{0x00, 0x91}));
    const auto before = Clock::now();
    EXPECT_EQ(host.read(1), (Bytes{0x26}));
    EXPECT_GE(Clock::now() - before, 50ms);  // the pause is not skipped
    host.send({0x41, 0x00});
    EXPECT_EQ(host.read(1), (Bytes{0x41 ^ 0xFF}));
    host.close();
    EXPECT_EQ(sim.wait(), 1);  // image not completed
    EXPECT_TRUE(contains(sim.errText(), "image not completed (at record 5 of 7)")) << sim.errText();

    SimProcess noisy({"--noise", "9", "--seed", "4"});
    Host other(noisy.slave());
    other.sendEntry();
    const Bytes got = other.read(11);
    ASSERT_EQ(got.size(), 11u);
    EXPECT_EQ(got[9], 0x91);
    EXPECT_EQ(got[10], 0x26);
}

TEST(PtySession, UnplugClosesTheLineMidImage)
{
    const std::string link = tempDir() + "/unplug-link";
    SimProcess sim({"--unplug-at", "3", "--link", link, writeTemp("worked.pf3", kWorkedExample)});
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.slave(), target);

    Host host(link);
    ASSERT_TRUE(host.isOpen());
    host.sendEntry();
    EXPECT_EQ(host.read(2), (Bytes{0x91, 0x26}));
    host.send({0x41, 0x00});
    EXPECT_TRUE(host.read(1).empty());
    EXPECT_TRUE(host.hungUp());
    EXPECT_EQ(sim.wait(), 1);
    EXPECT_TRUE(contains(sim.errText(), "device unplugged")) << sim.errText();
    struct stat st{};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);  // the link went with the device
    EXPECT_NE(::access(sim.slave().c_str(), F_OK), 0);
}

TEST(PtySession, ProbeIsNotASessionAndPersistServesAgain)
{
    SimProcess sim({"--persist"});
    {
        Host probe(sim.slave());
        ASSERT_TRUE(probe.isOpen());
    }
    std::this_thread::sleep_for(30ms);
    for (int round = 0; round < 2; ++round) {
        Host host(sim.slave());
        ASSERT_TRUE(host.isOpen()) << "round " << round;
        host.sendEntry();
        EXPECT_EQ(host.read(2), (Bytes{0x91, 0x26})) << "round " << round;
        host.send({0x5A});
        EXPECT_EQ(host.read(1), (Bytes{0x5A})) << "round " << round;
        host.close();
        std::this_thread::sleep_for(30ms);
    }
    EXPECT_EQ(sim.wait(100), -1);  // still waiting for the next one
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0) << sim.errText();
    std::size_t sessions = 0;
    for (std::size_t at = 0; (at = sim.errText().find("handshake seen", at)) != std::string::npos; ++at)
        ++sessions;
    EXPECT_EQ(sessions, 2u) << sim.errText();
}

TEST(PtySession, SampleImagePlaysThroughAndTimeoutEndsAnIdleSim)
{
    SampleOptions shape;
    shape.lines = 25;
    const std::string text = makeSampleImage(shape);
    SimProcess sim({writeTemp("sample.pf3", text)});
    Host host(sim.slave());
    host.sendEntry();
    ASSERT_EQ(host.read(2), (Bytes{0x91, 0x26}));
    Bytes burst;
    for (const Record& r : parseImage(text).records) {
        if (r.kind == Record::Send) {
            burst.push_back(r.value);
        } else if (r.kind == Record::Answer) {
            host.send(burst);
            burst.clear();
            ASSERT_EQ(host.read(1), (Bytes{r.value})) << "record at offset " << r.offset;
        }
    }
    host.close();
    EXPECT_EQ(sim.wait(), 0) << sim.errText();
    EXPECT_TRUE(contains(sim.errText(), "matched 400 of 400 expected")) << sim.errText();

    SimProcess idle({"--timeout", "0.2"});
    EXPECT_EQ(idle.wait(), 1);
    EXPECT_TRUE(contains(idle.errText(), "no handshake")) << idle.errText();
}

// Only a regular file is served as the image: a FIFO would block the start for
// ever, a device such as /dev/zero be read until memory runs out.
TEST(PtySession, ImageThatIsNotARegularFileEndsTheStartWithStatus2)
{
    const std::string fifo = tempDir() + "/fifo.pf3";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {fifo, " is a FIFO, not a regular file"},
        {"/dev/zero", " is a character device, not a regular file"},
        {tempDir(), " is a directory, not a regular file"},
        {tempDir() + "/missing.pf3", "cannot open " + tempDir() + "/missing.pf3: No such file or directory"},
    };
    for (const auto& [image, why] : cases) {
        SimProcess sim({"--timeout", "1", image}, 0);
        EXPECT_EQ(sim.wait(), 2) << image;
        EXPECT_TRUE(contains(sim.errText(), why)) << sim.errText();
    }
    ::unlink(fifo.c_str());
}

TEST(PtySession, PortReopenedAtOnceIsANewSessionEveryTime)
{
    // A host that closes the port and opens it again straight away leaves the
    // master no hang-up to see; the device must still take the new opener's
    // entry bytes as a new session. Every other session is dropped part-way
    // into the image, where E1 94 would otherwise pass for image bytes.
    const std::string image = writeTemp("worked.pf3", kWorkedExample);
    SimProcess sim({"--persist", image});
    constexpr int kRounds = 200;
    auto host = std::make_unique<Host>(sim.slave());
    for (int round = 0; round < kRounds; ++round) {
        ASSERT_TRUE(host->isOpen()) << "round " << round;
        host->send({0xE1, 0x94});
        // One missed session spoils the rest: stop at the first.
        ASSERT_EQ(host->read(2), (Bytes{0x91, 0x26})) << "round " << round;
        if (round % 2 == 0) {
            host->send({0x41});  // no answer is due yet, so none is left behind
        } else {
            host->send({0x41, 0x00});
            EXPECT_EQ(host->read(1), (Bytes{0x41})) << "round " << round;
            host->send({0x42});
            EXPECT_EQ(host->read(1), (Bytes{0x2A})) << "round " << round;
        }
        host->close();
        if (round + 1 < kRounds)
            host = std::make_unique<Host>(sim.slave());
    }
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0) << sim.errText();  // the last session was whole

    std::size_t completed = 0;
    std::size_t cut = 0;
    const std::string& err = sim.errText();
    for (std::size_t at = 0; (at = err.find("; image completed", at)) != std::string::npos; ++at)
        ++completed;
    for (std::size_t at = 0; (at = err.find("; image not completed (at record 2 of 7)", at)) != std::string::npos; ++at)
        ++cut;
    EXPECT_EQ(completed, std::size_t(kRounds / 2)) << err.substr(0, 2000);
    EXPECT_EQ(cut, std::size_t(kRounds / 2)) << err.substr(0, 2000);

    // Without --persist the reopen ends the sim with the old session's
    // verdict, and the new opener finds the device gone, as after a hang-up.
    SimProcess single({image});
    auto first = std::make_unique<Host>(single.slave());
    first->send({0xE1, 0x94});
    ASSERT_EQ(first->read(2), (Bytes{0x91, 0x26}));
    first->send({0x41});
    first->close();
    Host second(single.slave());
    EXPECT_EQ(single.wait(), 1);
    EXPECT_TRUE(contains(single.errText(), "image not completed (at record 2 of 7)")) << single.errText();
    if (second.isOpen()) {  // else the sim had seen the hang-up and gone already
        EXPECT_TRUE(second.read(1).empty());
        EXPECT_TRUE(second.hungUp());
    }
}

TEST(PtySession, OpensWhileTheHostHoldsTheLineAreNotNewSessions)
{
    // A second program opens the port and closes it again, refused (root gets
    // past exclusive mode) or probing: the host still has the line, and its
    // session goes on. A reopen by the host itself straight after is still a
    // new session.
    const std::string image = writeTemp("worked.pf3", kWorkedExample);
    SimProcess sim({"--persist", image});
    const auto intrude = [&] {
        for (int i = 0; i < 3; ++i) {
            Host other(sim.slave());
            ASSERT_TRUE(other.isOpen());
        }
    };
    for (int round = 0; round < 2; ++round) {
        Host host(sim.slave());
        ASSERT_TRUE(host.isOpen()) << "round " << round;
        host.sendEntry();
        ASSERT_EQ(host.read(2), (Bytes{0x91, 0x26})) << "round " << round;
        intrude();
        host.send({0x41, 0x00});
        EXPECT_EQ(host.read(1), (Bytes{0x41})) << "round " << round;
        intrude();
        std::this_thread::sleep_for(20ms);  // the sim takes in the opens before the last byte
        host.send({0x42});
        EXPECT_EQ(host.read(1), (Bytes{0x2A})) << "round " << round;
    }  // closed and opened again at once
    sim.signal(SIGTERM);
    EXPECT_EQ(sim.wait(), 0) << sim.errText();
    std::size_t completed = 0;
    for (std::size_t at = 0; (at = sim.errText().find("; image completed", at)) != std::string::npos; ++at)
        ++completed;
    EXPECT_EQ(completed, 2u) << sim.errText();
    EXPECT_FALSE(contains(sim.errText(), "not completed")) << sim.errText();
}

// ---- a station: many devices in one process ------------------------------------

namespace {

SimOptions parseOk(std::vector<std::string> args)
{
    std::vector<char*> argv{const_cast<char*>("flash3-sim")};
    for (auto& a : args)
        argv.push_back(a.data());
    SimOptions options;
    std::string error;
    EXPECT_TRUE(parseArguments(static_cast<int>(argv.size()), argv.data(), options, error)) << error;
    return options;
}

std::vector<std::string> lines(const std::string& text)
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
std::vector<std::string> summariesOf(const std::string& err, int k, const std::string& name)
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
std::string loneSummary(const ParsedImage* image, const Bytes& bytes, DeviceConfig config = {})
{
    Device device(std::move(config), image);
    feed(device, bytes);
    return device.summary();
}

std::string readLink(const std::string& link)
{
    char target[256] = {};
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(SimStationArguments, AimedFaultsOverrideTheSharedOnesForTheirDeviceOnly)
{
    // The aimed --wrong-answer comes before the shared one on purpose: aimed
    // wins whatever the order.
    const SimOptions o = parseOk({"--devices", "4", "--link-prefix", "/tmp/st/dev", "--wrong-answer", "2@3",
                                  "--wrong-answer", "5", "--reply", "none@1", "--delay", "7", "--delay=0@2",
                                  "--chatter", "9@0", "--unplug-at", "4@3", "--noise=3@1", "img.pf3"});
    EXPECT_EQ(o.devices, 4);
    EXPECT_EQ(o.linkPrefix, "/tmp/st/dev");
    EXPECT_EQ(o.image, "img.pf3");
    EXPECT_EQ(o.device.wrongAnswer, 5);  // the shared settings keep no aimed value
    EXPECT_EQ(o.device.unplugAt, -1);
    ASSERT_EQ(o.station.size(), 4u);
    const DeviceConfig plain;
    const int wrong[] = {5, 5, 5, 2};
    const int delay[] = {7, 7, 0, 7};
    const int unplug[] = {-1, -1, -1, 4};
    const int noise[] = {0, 3, 0, 0};
    const int chatter[] = {9, 0, 0, 0};
    for (std::size_t k = 0; k < 4; ++k) {
        const StationDevice& d = o.station[k];
        EXPECT_EQ(d.device.wrongAnswer, wrong[k]) << k;
        EXPECT_EQ(d.device.delayMs, delay[k]) << k;
        EXPECT_EQ(d.device.unplugAt, unplug[k]) << k;
        EXPECT_EQ(d.device.noise, noise[k]) << k;
        EXPECT_EQ(d.chatterMs, chatter[k]) << k;
        EXPECT_EQ(d.device.reply, k == 1 ? std::vector<ReplyStep>{} : plain.reply) << k;
    }

    // Without --devices nothing changes: one device, no station.
    const SimOptions single = parseOk({"--wrong-answer", "2", "--link", "/tmp/l"});
    EXPECT_EQ(single.devices, 0);
    EXPECT_TRUE(single.station.empty());
    EXPECT_EQ(single.device.wrongAnswer, 2);
}

TEST(SimStationArguments, UsageErrorsAreRefusedWithAMessage)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--devices", "2", "--wrong-answer", "2@2"}, "no device 2"},
        {{"--wrong-answer", "2@2", "--devices", "2"}, "no device 2"},  // checked once --devices is known
        {{"--wrong-answer", "2@0"}, "--devices"},
        {{"--link-prefix", "/tmp/st/dev"}, "--devices"},
        {{"--devices", "0"}, "1 to 128"},
        {{"--devices", "129"}, "1 to 128"},
        {{"--devices", "x"}, "1 to 128"},
        {{"--devices"}, "needs a value"},
        {{"--devices", "2", "--link", "/tmp/l"}, "--link-prefix"},
        {{"--devices", "2", "--link-prefix", ""}, "empty"},
        {{"--devices", "2", "--delay", "5@"}, "@"},
        {{"--devices", "2", "--delay", "5@-1"}, "@"},
        {{"--devices", "2", "--delay", "5@1x"}, "@"},
        {{"--devices", "2", "--delay", "-5@1"}, "--delay"},  // the value itself, checked as unaimed
        {{"--devices", "2", "--wrong-answer", "0@1"}, "--wrong-answer"},
        {{"--devices", "2", "--reply", "zz@1"}, "--reply"},
    };
    for (const auto& [args, part] : cases) {
        std::vector<std::string> copy = args;
        std::vector<char*> argv{const_cast<char*>("flash3-sim")};
        for (auto& a : copy)
            argv.push_back(a.data());
        SimOptions options;
        std::string error;
        EXPECT_FALSE(parseArguments(static_cast<int>(argv.size()), argv.data(), options, error))
            << ::testing::PrintToString(args);
        EXPECT_TRUE(contains(error, part)) << ::testing::PrintToString(args) << ": " << error;
    }
}

TEST(SimStationArguments, HelpDocumentsTheStationInTheManPageLayout)
{
    // help2man makes the man page from --help: an option entry is "  --opt ARG"
    // with its text from column 22 (or on the next lines), and any other line
    // that began with an option would be taken for an entry of its own.
    const std::vector<std::string> text = lines(usageText());
    bool devices = false;
    bool linkPrefix = false;
    for (const std::string& line : text) {
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos)
            continue;
        if (first == 2 && line[2] == '-') {
            const std::size_t gap = line.find("  ", 2);
            if (gap != std::string::npos) {
                EXPECT_LE(gap, 20u) << line;
                EXPECT_EQ(line.find_first_not_of(' ', gap), 22u) << line;
            }
            devices = devices || line.rfind("  --devices N ", 0) == 0;
            linkPrefix = linkPrefix || line.rfind("  --link-prefix PATH ", 0) == 0;
        } else {
            EXPECT_NE(line[first], '-') << line;
        }
    }
    EXPECT_TRUE(devices);
    EXPECT_TRUE(linkPrefix);
    EXPECT_TRUE(contains(usageText(), "@K")) << usageText();
    EXPECT_TRUE(contains(usageText(), "FILE.K")) << usageText();
}

TEST(SimArguments, VersionPrintsTheProgramAndVersionAndServesNothing)
{
    EXPECT_TRUE(contains(usageText(), "\n  --version ")) << usageText();
    for (std::vector<std::string> args : {std::vector<std::string>{"--version"}, {"--version", "--persist"}}) {
        SimProcess sim(args, 1);
        EXPECT_EQ(sim.wait(), 0) << sim.errText();
        EXPECT_EQ(sim.paths(), (std::vector<std::string>{"flash3-sim " FLASH3_VERSION}));
        EXPECT_EQ(sim.errText(), "");
    }
}

TEST(SimStation, UsageErrorsEndTheProcessWithStatus2AndServeNothing)
{
    const std::string prefix = tempDir() + "/usage-dev";
    for (std::vector<std::string> args : {std::vector<std::string>{"--devices", "2", "--unplug-at", "3@2"},
                                          {"--link-prefix", prefix},
                                          {"--devices", "200", "--link-prefix", prefix}}) {
        SimProcess sim(args, 1);
        EXPECT_EQ(sim.wait(), 2) << ::testing::PrintToString(args);
        EXPECT_TRUE(sim.paths().empty()) << ::testing::PrintToString(args);
        EXPECT_EQ(sim.errText().rfind("flash3-sim: ", 0), 0u) << sim.errText();
        EXPECT_TRUE(contains(sim.errText(), "Try flash3-sim --help.")) << sim.errText();
        EXPECT_NE(::access((prefix + "0").c_str(), F_OK), 0);
    }
}

TEST(SimStation, DevicesServedAtOnceEachOnItsOwnTerminalWithItsOwnLog)
{
    constexpr int kDevices = 4;
    SampleOptions shape;
    shape.lines = 6;
    shape.burst = 5;
    const std::string text = makeSampleImage(shape);
    const ParsedImage parsed = parseImage(text);
    const std::string prefix = tempDir() + "/served-dev";
    const std::string log = tempDir() + "/served.log";
    SimProcess sim({"--devices", std::to_string(kDevices), "--link-prefix", prefix, "--log", log,
                    writeTemp("served.pf3", text)},
                   kDevices);
    ASSERT_EQ(sim.paths().size(), std::size_t(kDevices));
    for (int k = 0; k < kDevices; ++k) {
        EXPECT_EQ(sim.paths()[k].rfind("/dev/pts/", 0), 0u) << sim.paths()[k];
        EXPECT_EQ(readLink(prefix + std::to_string(k)), sim.paths()[k]) << k;
        for (int j = 0; j < k; ++j)
            EXPECT_NE(sim.paths()[j], sim.paths()[k]);
    }

    // Every device is opened before any is served, and the image is played
    // line by line across all of them, so each is mid-session while the
    // others are too.
    std::vector<std::unique_ptr<Host>> hosts;
    for (int k = 0; k < kDevices; ++k) {
        hosts.push_back(std::make_unique<Host>(prefix + std::to_string(k)));
        ASSERT_TRUE(hosts.back()->isOpen()) << k;
    }
    for (auto& host : hosts)
        host->send({0xE1});
    for (auto& host : hosts)
        host->send({0x94});
    for (int k = 0; k < kDevices; ++k)
        ASSERT_EQ(hosts[k]->read(2, 3000), (Bytes{0x91, 0x26})) << "device " << k;
    Bytes burst;
    Bytes sent{0xE1, 0x94};
    for (const Record& r : parsed.records) {
        if (r.kind == Record::Send) {
            burst.push_back(r.value);
        } else if (r.kind == Record::Answer) {
            for (auto& host : hosts)
                host->send(burst);
            for (int k = 0; k < kDevices; ++k)
                ASSERT_EQ(hosts[k]->read(1, 3000), (Bytes{r.value})) << "device " << k << ", offset " << r.offset;
            sent.insert(sent.end(), burst.begin(), burst.end());
            burst.clear();
        }
    }
    hosts.clear();

    EXPECT_EQ(sim.wait(5000), 0) << sim.errText();
    const std::string expected = loneSummary(&parsed, sent);
    ASSERT_TRUE(contains(expected, "no mismatch; image completed")) << expected;
    EXPECT_EQ(lines(sim.errText()).size(), std::size_t(kDevices)) << sim.errText();
    for (int k = 0; k < kDevices; ++k) {
        const std::string name = prefix + std::to_string(k);
        EXPECT_EQ(summariesOf(sim.errText(), k, name), std::vector<std::string>{expected}) << sim.errText();
        const std::string trace = readFile(log + "." + std::to_string(k));
        EXPECT_TRUE(contains(trace, "pty " + sim.paths()[k])) << k << ": " << trace;
        EXPECT_TRUE(contains(trace, "tx 91 26")) << k << ": " << trace;
        struct stat st{};
        EXPECT_NE(::lstat(name.c_str(), &st), 0) << name;  // the links go with their devices
    }
    EXPECT_NE(::access(log.c_str(), F_OK), 0);  // only the numbered logs
}

TEST(SimStation, FaultsAimedAtOneDeviceHitOnlyThatDevice)
{
    // Shared: a stray 00 before the reply. Device 1 has the plain reply
    // instead; device 0 inverts its first answer; device 2 vanishes at R41.
    const ParsedImage worked = parseImage(kWorkedExample);
    const std::string prefix = tempDir() + "/aimed-dev";
    SimProcess sim({"--devices", "3", "--link-prefix", prefix, "--reply", "00,91,26", "--reply", "91,26@1",
                    "--wrong-answer", "1@0", "--unplug-at", "3@2", writeTemp("worked.pf3", kWorkedExample)},
                   3);
    ASSERT_EQ(sim.paths().size(), 3u);
    Host d0(prefix + "0");
    Host d1(prefix + "1");
    Host d2(prefix + "2");
    for (Host* h : {&d0, &d1, &d2}) {
        ASSERT_TRUE(h->isOpen());
        h->send({0xE1, 0x94});
    }
    EXPECT_EQ(d0.read(3, 3000), (Bytes{0x00, 0x91, 0x26}));
    EXPECT_EQ(d1.read(2, 3000), (Bytes{0x91, 0x26}));
    EXPECT_EQ(d2.read(3, 3000), (Bytes{0x00, 0x91, 0x26}));
    for (Host* h : {&d0, &d1, &d2})
        h->send({0x41, 0x00});
    EXPECT_EQ(d0.read(1, 3000), (Bytes{0x41 ^ 0xFF}));
    EXPECT_EQ(d1.read(1, 3000), (Bytes{0x41}));
    EXPECT_TRUE(d2.read(1, 3000).empty());
    EXPECT_TRUE(d2.hungUp());
    for (Host* h : {&d0, &d1})
        h->send({0x42});
    EXPECT_EQ(d0.read(1, 3000), (Bytes{0x2A}));
    EXPECT_EQ(d1.read(1, 3000), (Bytes{0x2A}));
    d0.close();
    d1.close();
    d2.close();

    EXPECT_EQ(sim.wait(5000), 1) << sim.errText();
    const std::string& err = sim.errText();
    const Bytes whole{0xE1, 0x94, 0x41, 0x00, 0x42};
    DeviceConfig inverting;
    inverting.wrongAnswer = 1;
    EXPECT_EQ(summariesOf(err, 0, prefix + "0"), std::vector<std::string>{loneSummary(&worked, whole, inverting)})
        << err;
    EXPECT_EQ(summariesOf(err, 1, prefix + "1"), std::vector<std::string>{loneSummary(&worked, whole)}) << err;
    const std::vector<std::string> two = summariesOf(err, 2, prefix + "2");
    ASSERT_EQ(two.size(), 1u) << err;
    EXPECT_TRUE(contains(two[0], "image not completed (at record 3 of 7)")) << two[0];
    EXPECT_TRUE(contains(two[0], "; device unplugged")) << two[0];
    // Device 1 is the one that passed: its line is a lone pass, nothing spoiled.
    EXPECT_TRUE(contains(summariesOf(err, 1, prefix + "1").at(0), "no mismatch; image completed")) << err;
    EXPECT_TRUE(contains(summariesOf(err, 0, prefix + "0").at(0), "1 answer(s) withheld or inverted")) << err;
}

TEST(SimStation, DeviceNeverOpenedFailsAtTheTimeoutWhileTheOtherPasses)
{
    // The station's exit waits for its last device: the one nobody opens ends
    // at --timeout with no handshake, long after the other's session.
    SimProcess sim({"--devices", "2", "--timeout", "2", writeTemp("worked.pf3", kWorkedExample)}, 2);
    ASSERT_EQ(sim.paths().size(), 2u);
    {
        Host host(sim.paths()[0]);
        ASSERT_TRUE(host.isOpen());
        host.send({0xE1, 0x94, 0x41, 0x00});
        EXPECT_EQ(host.read(3, 3000), (Bytes{0x91, 0x26, 0x41}));
        host.send({0x42});
        EXPECT_EQ(host.read(1, 3000), (Bytes{0x2A}));
    }
    EXPECT_EQ(sim.wait(10000), 1) << sim.errText();
    const ParsedImage worked = parseImage(kWorkedExample);
    // Without --link-prefix a device is named by its terminal.
    EXPECT_EQ(summariesOf(sim.errText(), 0, sim.paths()[0]),
              std::vector<std::string>{loneSummary(&worked, {0xE1, 0x94, 0x41, 0x00, 0x42})})
        << sim.errText();
    EXPECT_EQ(summariesOf(sim.errText(), 1, sim.paths()[1]), std::vector<std::string>{loneSummary(&worked, {})})
        << sim.errText();
    EXPECT_TRUE(contains(sim.errText(), "; no handshake")) << sim.errText();
}

TEST(SimStation, SignalEndsEveryDeviceEachWithItsSummary)
{
    // --persist: no device would end on its own.
    const std::string prefix = tempDir() + "/signal-dev";
    SimProcess sim({"--devices", "3", "--persist", "--link-prefix", prefix}, 3);
    ASSERT_EQ(sim.paths().size(), 3u);
    for (int k : {0, 2}) {
        Host host(prefix + std::to_string(k));
        ASSERT_TRUE(host.isOpen());
        host.send({0xE1, 0x94, 0x5A});
        EXPECT_EQ(host.read(3, 3000), (Bytes{0x91, 0x26, 0x5A})) << k;
    }
    sim.signal(SIGINT);
    EXPECT_EQ(sim.wait(5000), 1) << sim.errText();  // device 1 never saw a host
    const std::string& err = sim.errText();
    const std::string echoed = loneSummary(nullptr, {0xE1, 0x94, 0x5A});
    EXPECT_EQ(summariesOf(err, 0, prefix + "0"), std::vector<std::string>{echoed}) << err;
    EXPECT_EQ(summariesOf(err, 1, prefix + "1"), std::vector<std::string>{loneSummary(nullptr, {})}) << err;
    EXPECT_EQ(summariesOf(err, 2, prefix + "2"), std::vector<std::string>{echoed}) << err;
    for (int k = 0; k < 3; ++k)
        EXPECT_NE(::access((prefix + std::to_string(k)).c_str(), F_OK), 0) << k;
}
