// Faults injected end to end: flash3-cli against flash3-sim (or a device the
// test plays itself) over a real pseudo-terminal, with the real 5 ms timer.
// Every case checks the line that says why and the exit status.

#include "process_harness.h"
#include "qt_print.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace flash3::testing;

namespace {

// Ticks of quiet after the last reply byte before the handshake is judged.
constexpr int kQuietTicks = 36;
// How soon after an unplug the CLI must have ended (a hang detector, not a speed test).
constexpr int kUnplugBoundMs = 2000;

const QString kWait = QStringLiteral("Program Mode = 103 ... please wait");
const QString kComplete = QStringLiteral("Processing complete.  Exit this application.");

// The worked example: T41 T00 R41 E / T42 R2A E / ":".
const QByteArray kWorked = QByteArrayLiteral("T41:T00:R41:E\r\n:T42:R2A:E\r\n:");

QString dataFile(const char* name)
{
    return sourceDir() + QStringLiteral("/data/") + QLatin1String(name);
}

QStringList cliArgs(const QString& device, const QString& image, const QStringList& extra = {})
{
    return QStringList{"--quiet", "--port", "2", "--device", device} + extra + QStringList{image};
}

// The closing lines an operator sees after "Exit / Abort" with file and port open.
void expectClosed(const Finished& f)
{
    const QStringList out = f.outLines();
    ASSERT_GE(out.size(), 3) << f.out.toStdString();
    EXPECT_EQ(out.at(out.size() - 3), "Input file closed.");
    EXPECT_EQ(out.at(out.size() - 2), "Closed COM port: 2");
    EXPECT_EQ(lastOf(out), "Program terminated.");
}

// The Debug lines every run writes whatever happens; what remains are the faults.
QString faultLinesOf(const QString& err)
{
    QStringList kept;
    for (const QString& line : err.split(QLatin1Char('\n'))) {
        if (line == "COM port initialized and opened." || line == "Starting voDOZUD of KORVEN-7 interface."
            || line.startsWith("Start time:    ") || line.startsWith("Stop time:    "))
            continue;
        kept << line;
    }
    return kept.join(QLatin1Char('\n'));
}

class Faults : public ProcessTest {};

// ---------------------------------------------------------------------------
// Entry handshake

struct HandshakeCase {
    const char* name;
    QStringList simArgs;
    bool accepted;
    QString lastBytes;  // the rejection's second line
    QStringList hints;  // the Hint lines after it; "%1" stands for the device
};

const QString kSpeedHint = "Hint: Bytes like these often mean the speed does not match the device's: run again "
                           "with another speed (-s 9.6, 19.2, 38.4, 57.6 or 115.2).";
const QString kBootHint = "Hint: Is the device waiting in FLASH3 boot mode? Cycle its power and run flash3-cli again.";

class HandshakeReply : public Faults, public ::testing::WithParamInterface<HandshakeCase> {};

// Each case is reported by its name.
void PrintTo(const HandshakeCase& c, std::ostream* os)
{
    *os << c.name;
}

TEST_P(HandshakeReply, IsJudgedOnTheLastTwoBytesAfterTheQuietPeriod)
{
    const HandshakeCase& c = GetParam();
    const QString image = write("worked.pf3", kWorked);
    const std::string name = c.simArgs.join(' ').toStdString();
    Sim sim(c.simArgs + QStringList{image});
    ASSERT_FALSE(sim.device.isEmpty()) << name;
    const Finished f = Cli(cliArgs(sim.device, image)).finish(20000);
    const Finished device = sim.finish();
    expectClosed(f);
    if (c.accepted) {
        EXPECT_EQ(f.exitCode, kCompleted) << name << "\n" << f.err.toStdString();
        EXPECT_TRUE(f.outLines().contains(kComplete)) << name;
        EXPECT_EQ(device.exitCode, 0) << name << ": " << device.err.toStdString();
        return;
    }
    EXPECT_EQ(f.exitCode, kFailed) << name;
    const QStringList err = f.errLines();
    const auto at = err.indexOf("Unexpected data read trying to initialize.");
    ASSERT_GE(at, 0) << name << "\n" << f.err.toStdString();
    ASSERT_LT(at + 1, err.size());
    EXPECT_EQ(err.at(at + 1), c.lastBytes) << name;
    QStringList hints = c.hints;
    for (QString& hint : hints)
        hint.replace(QLatin1String("%1"), sim.device);
    EXPECT_EQ(err.mid(at + 2, hints.size()), hints) << name << "\n" << f.err.toStdString();
    EXPECT_FALSE(f.out.contains("Processing ...")) << name;
    EXPECT_NE(device.exitCode, 0) << name;
    if (c.simArgs.contains("none")) {
        // Nothing ever arrived: judged in the 36th tick of waiting, whatever the timer's jitter.
        EXPECT_EQ(f.outLines().count(kWait), kQuietTicks);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HandshakeReply,
    ::testing::Values(
        HandshakeCase{"None",
                      {"--reply", "none"},
                      false,
                      "LastByte0 = 0  LastByte1 = 0",
                      {"Hint: No byte came back after the entry bytes E1 94: check the device's power, that it waits "
                       "in FLASH3 boot mode, the cable, and that it is on COM 2 (%1)."}},
        HandshakeCase{"LeadingZero", {"--reply", "00,91,26"}, true, {}, {}},
        HandshakeCase{"TrailingZero",
                      {"--reply", "91,26,00"},
                      false,
                      "LastByte0 = 26  LastByte1 = 0",
                      {"Hint: The device sent 3 bytes: 91 26 00 where 91 26 was due.", kBootHint}},
        // 55 ms is 11 ticks: the 26 comes inside the quiet period and joins the 91.
        HandshakeCase{"PauseInsideTheQuietPeriod", {"--reply", "91,w55,26"}, true, {}, {}},
        // 400 ms is far past the 36 ticks: the 91 is judged alone.
        HandshakeCase{"PausePastTheQuietPeriod",
                      {"--reply", "91,w400,26"},
                      false,
                      "LastByte0 = 0  LastByte1 = 91",
                      {"Hint: The device sent 1 byte: 91 where 91 26 was due.", kBootHint}},
        HandshakeCase{"WrongSecondByte",
                      {"--reply", "91,27"},
                      false,
                      "LastByte0 = 91  LastByte1 = 27",
                      {"Hint: The device sent 2 bytes: 91 27 where 91 26 was due.", kBootHint}},
        // A speed is suggested only for two bytes, neither the one due in its place.
        HandshakeCase{"TwoForeignBytes",
                      {"--reply", "f8,80"},
                      false,
                      "LastByte0 = F8  LastByte1 = 80",
                      {"Hint: The device sent 2 bytes: F8 80 where 91 26 was due.", kSpeedHint}},
        HandshakeCase{"FourForeignBytes",
                      {"--reply", "55,55,55,55"},
                      false,
                      "LastByte0 = 55  LastByte1 = 55",
                      {"Hint: The device sent 4 bytes: 55 55 55 55 where 91 26 was due.", kBootHint}},
        HandshakeCase{"NoiseBeforeTheReply", {"--noise", "40"}, true, {}, {}}));

// A script must not hang on such a device: --timeout ends the wait.
TEST_F(Faults, ChatterIsEndedByTheTimeout)
{
    const QString image = write("worked.pf3", kWorked);
    Sim sim({"--chatter", "20", image});
    QElapsedTimer clock;
    clock.start();
    const Finished f = Cli(cliArgs(sim.device, image, {"--timeout", "3"})).finish(20000);
    EXPECT_LT(clock.elapsed(), 8000) << "the wait was not bounded";
    EXPECT_EQ(f.exitCode, kFailed) << f.err.toStdString();
    EXPECT_TRUE(f.errLines().contains("Hint: The line did not fall quiet within 3 s after the entry bytes: the device "
                                      "keeps sending. Is the speed right (-s), and is the device waiting in FLASH3 "
                                      "boot mode?"))
        << f.err.toStdString();
    EXPECT_EQ(lastOf(f.errLines()), "flash3-cli: FAILED before the first record: the device kept sending after the "
                                    "entry bytes; the line never fell quiet (wrong speed, or not in FLASH3 boot mode?)");
    EXPECT_TRUE(f.out.contains("If aborting, cycle interface power before trying again."));
    expectClosed(f);
}

TEST_F(Faults, ChatterThatNeverFallsQuietWaitsUntilInterrupted)
{
    const QString image = write("worked.pf3", kWorked);
    Sim sim({"--chatter", "20", image});  // a byte every 4 ticks, well inside the quiet period
    Cli cli(cliArgs(sim.device, image));
    // Waited through more than three quiet periods: had the line ever fallen
    // quiet, the reply would have been judged by then.
    ASSERT_TRUE(cli.waitForOutputLines(kWait, 3 * kQuietTicks + 1, 20000));
    cli.signal(SIGINT);
    const Finished f = cli.finishKeepingOutput(5000);
    EXPECT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kInterrupted);
    EXPECT_GT(f.outLines().count(kWait), 3 * kQuietTicks);
    EXPECT_FALSE(f.err.contains("Unexpected data read"));
    EXPECT_FALSE(f.out.contains("Processing ..."));
    const QStringList out = f.outLines();
    const auto banner = out.indexOf("Completing or Aborting operations.");
    ASSERT_GE(banner, 0);
    EXPECT_EQ(out.mid(banner + 1, 2), (QStringList{"----------", "If aborting, cycle interface power before trying again."}));
    expectClosed(f);
}

// ---------------------------------------------------------------------------
// A slow device, played by the test: it answers every byte after the
// handshake with the same byte, and how late is set against the host's own
// ticks, not the wall clock, so that a busy machine cannot move the answer
// across the end of the window. `WhileHostHeld`: the host is stopped as the
// byte arrives (it has ticked at most once since it took the R record and
// started its window), the device waits longer than the whole window lasts on
// the wall clock, answers, and lets the host go on. `Never`: no answer comes,
// however long the host waits.
class SlowEchoDevice {
public:
    enum class Answer { WhileHostHeld, Never };

    explicit SlowEchoDevice(Answer answer) : answer_(answer)
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        path = QString::fromLocal8Bit(::ptsname(master_));
        termios t{};
        if (::tcgetattr(master_, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(master_, TCSANOW, &t);
        }
        thread_ = std::thread([this] { play(); });
    }
    ~SlowEchoDevice()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (master_ >= 0)
            ::close(master_);
    }
    SlowEchoDevice(const SlowEchoDevice&) = delete;
    SlowEchoDevice& operator=(const SlowEchoDevice&) = delete;

    QString path;
    // The host's process, which the device holds still while it is slow.
    void setHost(qint64 pid) { hostPid_ = pid; }
    // Everything the host sent; read once the host has gone.
    std::vector<uint8_t> received() const
    {
        EXPECT_TRUE(waitUntil([this] { return stop_ || hostGone_; }, std::chrono::seconds(20)));
        return received_;
    }
    // How many times the host was held while the device was slow.
    int holds() const { return holds_; }

private:
    void send(uint8_t b) { [[maybe_unused]] const ssize_t n = ::write(master_, &b, 1); }
    // The answer to `b`, late by more than the window's 36 ticks of wall
    // clock, yet within the host's window: it does not tick while held.
    void answerWhileHostHeld(uint8_t b)
    {
        if (!waitUntil([this] { return hostPid_ != 0 || stop_; }, std::chrono::seconds(10)) || stop_)
            return;
        const qint64 host = hostPid_;
        if (!stopProcess(host))
            return;
        ++holds_;
        // The lateness itself, which the host must not see as time.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        send(b);
        continueProcess(host);
    }
    void play()
    {
        bool entered = false;
        bool sawHost = false;
        while (!stop_) {
            pollfd pfd{master_, POLLIN, 0};
            ::poll(&pfd, 1, 10);
            uint8_t b = 0;
            const ssize_t n = ::read(master_, &b, 1);
            if (n != 1) {
                // No host yet, or the host has closed the line.
                if (pfd.revents & POLLHUP) {
                    if (sawHost)
                        hostGone_ = true;
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                }
                continue;
            }
            sawHost = true;
            received_.push_back(b);
            const std::size_t k = received_.size();
            if (!entered) {
                if (k >= 2 && received_[k - 2] == 0xE1 && received_[k - 1] == 0x94) {
                    entered = true;
                    send(0x91);
                    send(0x26);
                }
                continue;
            }
            if (answer_ == Answer::WhileHostHeld)
                answerWhileHostHeld(b);
        }
    }

    Answer answer_;
    int master_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hostGone_{false};
    std::atomic<qint64> hostPid_{0};
    std::atomic<int> holds_{0};
    std::vector<uint8_t> received_;
};

TEST_F(Faults, AnswerWindowIsThirtySixTicks)
{
    const QString image = write("echo.pf3", "T41:R41:E\r\n:T42:R42:E\r\n:T43:R43:E\r\n:");
    {
        // Each answer 250 ms late on the wall clock, more than 36 ticks of
        // 5 ms, but inside the host's window of ticks: accepted, every time.
        SlowEchoDevice device(SlowEchoDevice::Answer::WhileHostHeld);
        ASSERT_FALSE(device.path.isEmpty());
        Cli cli(cliArgs(device.path, image));
        device.setHost(cli.pid());
        const Finished f = cli.finish(20000);
        EXPECT_EQ(f.exitCode, kCompleted) << f.err.toStdString();
        EXPECT_TRUE(f.outLines().contains(kComplete));
        EXPECT_EQ(device.received(), (std::vector<uint8_t>{0xE1, 0x94, 0x41, 0x42, 0x43}));
        EXPECT_EQ(device.holds(), 3) << "every answer came late";
    }
    {
        // No answer within the window: the first answer is missed and the run ends there.
        SlowEchoDevice device(SlowEchoDevice::Answer::Never);
        ASSERT_FALSE(device.path.isEmpty());
        const Finished f = Cli(cliArgs(device.path, image)).finish(20000);
        EXPECT_EQ(f.exitCode, kFailed);
        EXPECT_TRUE(f.errLines().contains("Error. Read time out.")) << f.err.toStdString();
        EXPECT_FALSE(f.out.contains("Processing ..."));
        EXPECT_FALSE(f.outLines().contains(kComplete));
        expectClosed(f);
        EXPECT_EQ(device.received(), (std::vector<uint8_t>{0xE1, 0x94, 0x41}));
    }
}

// ---------------------------------------------------------------------------
// Unplug: the device closes the pseudo-terminal.

struct UnplugCase {
    const char* name;
    const char* when;
    bool longBurst;        // else a sample of lines of 16 T records, one R, one E
    const char* unplugAt;  // record number, 0: right after the entry bytes
    QString line;          // on stderr
};

class Unplug : public Faults, public ::testing::WithParamInterface<UnplugCase> {};

// Each case is reported by its name.
void PrintTo(const UnplugCase& c, std::ostream* os)
{
    *os << c.name;
}

TEST_P(Unplug, EndsTheRunWithinTwoSeconds)
{
    const UnplugCase& c = GetParam();
    QString image;
    if (c.longBurst) {
        // One burst far larger than the pty's buffer, so the host is still
        // writing when the device vanishes.
        QByteArray longBurst;
        for (int i = 0; i < 60000; ++i)
            longBurst += "T5A:";
        longBurst += "R00:E\r\n:";
        image = write("burst.pf3", longBurst);
    } else {
        image = sample(5);
    }
    Sim sim({"--unplug-at", QString::fromLatin1(c.unplugAt), image});
    ASSERT_FALSE(sim.device.isEmpty()) << c.when;
    Cli cli(cliArgs(sim.device, image));
    // The device exits as it unplugs.
    const Finished device = sim.finish(30000);
    ASSERT_FALSE(device.timedOut) << c.when;
    EXPECT_TRUE(device.err.contains("device unplugged")) << c.when << ": " << device.err.toStdString();
    QElapsedTimer sinceUnplug;
    sinceUnplug.start();
    const Finished f = cli.finish(10000);
    EXPECT_FALSE(f.timedOut) << c.when;
    EXPECT_LT(sinceUnplug.elapsed(), kUnplugBoundMs) << c.when;
    EXPECT_EQ(f.exitCode, kFailed) << c.when << "\n" << f.err.toStdString();
    EXPECT_TRUE(f.errLines().contains(c.line)) << c.when << "\n" << f.err.toStdString();
    EXPECT_TRUE(f.errLines().contains("Hint: The device on COM 2 (" + sim.device + ") is gone: unplugged or "
                                      "powered off? After plugging it in again, run flash3-cli again."))
        << c.when << "\n" << f.err.toStdString();
    EXPECT_FALSE(f.outLines().contains(kComplete)) << c.when;
    // Whenever the run noticed, it is one fault with one name.
    EXPECT_TRUE(lastOf(f.errLines()).contains("the device is gone (driver status 6)")) << c.when << "\n"
                                                                                       << f.err.toStdString();
    expectClosed(f);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Unplug,
    ::testing::Values(
        UnplugCase{"DuringTheHandshake", "during the handshake", false, "0", "Unexpected data read trying to initialize."},
        UnplugCase{"DuringABurst", "during a burst", true, "1000", "Error in put byte: 6"},
        UnplugCase{"WhileWaitingForAnAnswer", "while waiting for an answer", false, "17", "Error. Read time out."}));

// ---------------------------------------------------------------------------
// Ports that cannot be opened: the Debug line of the failed open, exit 2, and
// nothing of a run.

// The failed open's own line, then hints that say what to do, then the verdict.
void expectOpenRefused(const Finished& f, int code, const QString& device, const std::string& what,
                       const QString& firstHint)
{
    EXPECT_FALSE(f.crashed) << what;
    EXPECT_EQ(f.exitCode, kUsage) << what << "\n" << f.err.toStdString();
    const QStringList err = f.errLines();
    ASSERT_GE(err.size(), 3) << what << "\n" << f.err.toStdString();
    EXPECT_EQ(err.at(0), QStringLiteral("Error initializing COM port#: 2  error code: %1").arg(code)) << what;
    EXPECT_EQ(err.at(1), firstHint) << what << "\n" << f.err.toStdString();
    for (const QString& line : err.mid(1, err.size() - 2))
        EXPECT_TRUE(line.startsWith("Hint: ")) << what << ": " << line.toStdString();
    EXPECT_EQ(lastOf(err), "flash3-cli: refused: cannot open COM 2 (" + device + "); nothing was sent") << what;
    // The image was chosen (and found usable) before the port was tried.
    EXPECT_EQ(f.out, "Input file closed.\nProgram terminated.\n") << what;
}

TEST_F(Faults, PortsThatCannotBeOpenedAreRefusedWithTheirCode)
{
    const QString image = dataFile("worked-example.pf3");
    // Another program holds the port: a first CLI kept in the handshake by chatter.
    // (As root the refused open is an open the virtual device sees; it must
    // not end the holder's session, or the hint could not name the holder.)
    Sim sim({"--chatter", "20", image});
    Cli holder(cliArgs(sim.device, image));
    ASSERT_TRUE(holder.waitForOutput(kWait, 10000));
    expectOpenRefused(Cli(cliArgs(sim.device, image)).finish(10000), 3, sim.device, "port in use",
                      QStringLiteral("Hint: %1 is held by process %2 (flash3-cli): close that program, then run "
                                     "flash3-cli again.")
                          .arg(sim.device)
                          .arg(holder.pid()));
    holder.signal(SIGINT);
    EXPECT_EQ(holder.finishKeepingOutput(5000).exitCode, kInterrupted);

    const QString noSuchTty = dir.filePath("no-such-tty");
    expectOpenRefused(Cli(cliArgs(noSuchTty, image)).finish(10000), 1, noSuchTty, "no such path",
                      "Hint: COM 2 stands for " + noSuchTty + " (--device), which is not there.");
    const QString plain = write("plain-file", "x");
    expectOpenRefused(Cli(cliArgs(plain, image)).finish(10000), 1, plain, "a plain file",
                      "Hint: COM 2 stands for " + plain + " (--device), which is not a serial device.");
    expectOpenRefused(Cli(cliArgs(dir.path(), image)).finish(10000), 1, dir.path(), "a folder",
                      "Hint: COM 2 stands for " + dir.path() + " (--device), which is not a serial device.");
    const QString loop = dir.filePath("loop-a");
    ASSERT_TRUE(QFile::link(dir.filePath("loop-b"), loop));
    ASSERT_TRUE(QFile::link(loop, dir.filePath("loop-b")));
    expectOpenRefused(Cli(cliArgs(loop, image)).finish(10000), 1, loop, "a symbolic link loop",
                      "Hint: COM 2 stands for " + loop + " (--device), which is not there.");
}

// Technicians run with sudo: root's second open gets past exclusive mode, so
// the refusal must come from the lock alone and leave the first run's line
// (and the device's session) exactly as they were.
TEST_F(Faults, ASecondRunAsRootIsRefusedAndTheFirstCompletes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "not root: exclusive mode refuses the second open outright (the case above)";
    const QString image = sample(300);  // about 4 s: long enough for the refused runs to come and go
    Sim sim({"--timeout", "60", image});
    ASSERT_FALSE(sim.device.isEmpty());
    Cli first(cliArgs(sim.device, image));
    ASSERT_TRUE(first.waitForOutput("Processing ...", 10000));
    for (int i = 0; i < 3; ++i) {
        const Finished second = Cli(cliArgs(sim.device, image)).finish(10000);
        EXPECT_EQ(second.exitCode, kUsage) << i << "\n" << second.err.toStdString();
        EXPECT_EQ(second.errLines().value(0), "Error initializing COM port#: 2  error code: 3") << i;
        EXPECT_TRUE(second.errLines().value(1).startsWith("Hint: " + sim.device + " is held by process "))
            << second.err.toStdString();
    }
    EXPECT_TRUE(first.running()) << "the first run ended before the refused ones were done";
    const Finished f = first.finishKeepingOutput(60000);
    EXPECT_EQ(f.exitCode, kCompleted) << f.err.toStdString();
    EXPECT_TRUE(f.outLines().contains(kComplete));
    const Finished device = sim.finish();
    EXPECT_EQ(device.exitCode, 0) << device.err.toStdString();
    // Every byte of the image matched, in one session.
    EXPECT_TRUE(device.err.contains(QRegularExpression("received (\\d+) bytes, matched (\\d+) of \\2 expected; no "
                                                       "mismatch; image completed\n$")))
        << device.err.toStdString();
    EXPECT_EQ(device.err.count("flash3-sim: received"), 1) << device.err.toStdString();
}

TEST_F(Faults, DeviceWithoutReadWritePermissionIsAccessDenied)
{
    const QString image = dataFile("worked-example.pf3");
    Sim sim({"--timeout", "30", image});
    ASSERT_FALSE(sim.device.isEmpty());
    QStringList command{buildDir() + "/flash3-cli"};
    if (::geteuid() == 0) {
        // Root opens any device; only another user meets the permission bits.
        const QString setpriv = QStringLiteral("/usr/bin/setpriv");
        if (!QFileInfo(setpriv).isExecutable())
            GTEST_SKIP() << "running as root and setpriv is missing: no unprivileged user to run the CLI as";
        command = QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"} + command;
        QProcess probe;
        probe.start(firstOf(command), command.mid(1) + QStringList{"--version"});
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
            GTEST_SKIP() << "running as root and user 65534 cannot run " << buildDir().toStdString()
                         << "/flash3-cli (is a parent folder closed to others?)";
    }
    // Owner only; when that owner is us (not root), not even the owner.
    const mode_t mode = ::geteuid() == 0 ? 0600 : 0;
    ASSERT_EQ(::chmod(QFile::encodeName(sim.device).constData(), mode), 0);

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR");  // root's private folder means nothing to the other user
    p.setProcessEnvironment(env);
    p.start(firstOf(command), command.mid(1) + cliArgs(sim.device, image));
    const Finished f = waitFinished(p, 10000);
    const QString owner = QStringLiteral("Hint: %1 belongs to ").arg(sim.device);
    expectOpenRefused(f, 2, sim.device, "no permission", f.errLines().value(1).startsWith(owner) ? f.errLines().value(1) : owner);
    EXPECT_TRUE(f.errLines().value(1).contains(" with mode crw-------; this program runs as ")) << f.err.toStdString();
}

// ---------------------------------------------------------------------------
// Bad images: --check says what is wrong, a run refuses the image before any
// byte is sent and names its first fault, and with --force the run writes the
// reader's own lines and ends as they demand.

struct BadImage {
    const char* what;
    QByteArray content;
    QStringList checkLines;  // "LINE:COLUMN: message" as --check prints them
    int faultyRecords;
    QString firstFault;      // "line L, column C: message" in the refusal
    int forceStatus;
    QStringList forceLines;  // the run's Debug lines about the image under --force
    QString verdict;         // the refusal's verdict when it is not the usual one (FILE: the image)
};

TEST_F(Faults, BadImagesAreRefusedUnsentExplainedByCheckAndRunAsReadUnderForce)
{
    const QString lost = QStringLiteral("Char4 not a : from here on: the record boundary is lost (a character "
                                        "missing or extra at or before this point); ");
    const QString lfOnly = QStringLiteral("Line ends are LF only, not CR LF: an editor or a text-mode file transfer "
                                          "converted this image. Flash the original file; other faults below are "
                                          "judged as if its line ends were CR LF.");
    QByteArray lfImage = kWorked;
    lfImage.replace("\r", "");
    const QList<BadImage> images{
        {"lower-case record letters",
         "T41:t42:R41:E\r\n:T4a:r2A:R00:e\r\n:",
         {"1:5: Invalid packet read from input file.  t42:", "2:2: Nib0 not valid: 61 ('a')",
          "2:6: Invalid packet read from input file.  r2A:",
          "2:14: Invalid packet read from input file.  e<cr><lf>:"},
         4, "line 1, column 5: Invalid packet read from input file.  t42:",
         kCompleted,
         {"Invalid packet read from input file.  t42:", "Nib0 not valid: 61",
          "Invalid packet read from input file.  r2A:", "Invalid packet read from input file.  e\r\n:"}, {}},
        {"every kind of faulty record",
         "T41;X41:T4G:TG1:T  :R00:E\n\r:T42:T4",
         {"1:1: Char4 not a :", "1:5: Invalid packet read from input file.  X41:", "1:9: Nib0 not valid: 47 ('G')",
          "1:13: Nib1 not valid: 47 ('G')", "1:17: Nib1 not valid: 20 (' ')", "1:17: Nib0 not valid: 20 (' ')",
          "1:25: Error. Expected <cr> <lf> not found.", "2:7: Error. Incomplete record at end of input file."},
         7, "line 1, column 1: Char4 not a :",
         kFailed,
         {"Char4 not a :", "Invalid packet read from input file.  X41:", "Nib0 not valid: 47", "Nib1 not valid: 47",
          "Nib1 not valid: 20", "Nib0 not valid: 20", "Error. Expected <cr> <lf> not found."}, {}},
        {"a character missing",
         "T41:T00R41:E\r\n:T42:R2A:E\r\n:",
         {"1:5: " + lost + "all 5 records to the end are misaligned",
          "2:11: Error. Incomplete record at end of input file."},
         6, "line 1, column 5: Char4 not a :",
         kFailed,
         {"Char4 not a :", "Char4 not a :", "Char4 not a :", "Char4 not a :", "Char4 not a :",
          "Error. Incomplete record at end of input file."}, {}},
        {"a character doubled, then one missing: the records line up again",
         "T41:TT00:R41:E\r\n:T42R2A:E\r\n:T43:T4x:",
         {"1:5: " + lost + "4 records are misaligned, then they line up again", "3:6: Nib0 not valid: 78 ('x')"},
         5, "line 1, column 5: Char4 not a :",
         kCompleted,
         {"Char4 not a :", "Char4 not a :", "Char4 not a :", "Char4 not a :", "Nib0 not valid: 78"}, {}},
        // Refused with the count --check gives and how to put CR LF back, never --force.
        {"LF-only line ends", lfImage,
         {"1:14: " + lfOnly},
         4, "line 1, column 13: Char4 not a :",
         kFailed,
         {"Char4 not a :", "Char4 not a :", "Char4 not a :", "Error. Incomplete record at end of input file."},
         "flash3-cli: refused: the image's line ends are LF alone, not CR LF (converted by an editor or a text-mode "
         "file transfer); --check finds 1 fault; nothing was sent. Restore CR LF with sed -i 's/$/\\r/' FILE "
         "(or unix2dos FILE), or flash the original file"},
        {"a line end after the final colon", kWorked + "\r\n", {}, 0, {}, kCompleted, {}, {}},
    };
    for (const BadImage& b : images) {
        const QString path = write(QStringLiteral("bad.pf3"), b.content);

        const Finished check = Cli({"--check", path}).finish(10000);
        QStringList expected;
        for (const QString& line : b.checkLines)
            expected << path + ":" + line;
        QStringList got = check.outLines();
        ASSERT_FALSE(got.isEmpty()) << b.what;
        const QString summary = got.takeLast();
        EXPECT_EQ(got, expected) << b.what;
        const qsizetype n = b.checkLines.size();
        EXPECT_TRUE(summary.endsWith(n == 0 ? QStringLiteral("; clean")
                                            : QStringLiteral("; %1 fault%2: do not flash").arg(n).arg(n == 1 ? "" : "s")))
            << b.what << ": " << summary.toStdString();
        EXPECT_EQ(check.exitCode, n == 0 ? kCompleted : kFailed) << b.what;

        // By default a faulty image is refused: not a byte reaches the device.
        const QString trace = dir.filePath("line.log");
        QFile::remove(trace);
        {
            Sim sim({"--persist", "--log", trace, path});
            const Finished run = Cli(cliArgs(sim.device, path)).finish(20000);
            sim.terminate();
            sim.finish();
            if (b.faultyRecords == 0) {
                EXPECT_EQ(run.exitCode, kCompleted) << b.what << "\n" << run.err.toStdString();
                continue;
            }
            EXPECT_EQ(run.exitCode, kUsage) << b.what << "\n" << run.err.toStdString();
            const QString refusal = QStringLiteral("** ERROR ** Input file has %1 faulty record%2 (first at %3). "
                                                   "Run not started.")
                                        .arg(b.faultyRecords)
                                        .arg(b.faultyRecords == 1 ? "" : "s")
                                        .arg(b.firstFault);
            EXPECT_TRUE(run.errLines().contains(refusal)) << b.what << "\n" << run.err.toStdString();
            if (b.verdict.isEmpty()) {
                EXPECT_TRUE(lastOf(run.errLines()).startsWith("flash3-cli: refused: the image has ")) << b.what;
            } else {
                EXPECT_EQ(lastOf(run.errLines()), QString(b.verdict).replace("FILE", path)) << b.what;
                EXPECT_FALSE(run.err.contains("--force")) << b.what << ": --force would send it garbled";
            }
            EXPECT_FALSE(run.out.contains("Program Mode")) << b.what;
            expectClosed(run);
            QFile log(trace);
            const QByteArray lines = log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
            EXPECT_FALSE(lines.contains(" rx ")) << b.what << ": the device received\n" << lines.constData();
        }

        // --force: the reader's own handling, record by record.
        Sim sim({path});
        const Finished run = Cli(cliArgs(sim.device, path, {"--force"})).finish(20000);
        const Finished device = sim.finish();
        EXPECT_EQ(run.exitCode, b.forceStatus) << b.what << "\n" << run.err.toStdString();
        QStringList faults = faultLinesOf(run.err).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        EXPECT_TRUE(lastOf(faults).startsWith("flash3-cli: ")) << b.what;
        faults.removeLast();
        EXPECT_EQ(faults.join('\n'), b.forceLines.join('\n')) << b.what;
        EXPECT_EQ(run.outLines().contains(kComplete), b.forceStatus == kCompleted) << b.what;
        if (b.forceStatus == kCompleted) {
            EXPECT_TRUE(lastOf(run.errLines()).startsWith(QStringLiteral("flash3-cli: completed WITH %1 faulty record")
                                                             .arg(b.faultyRecords)))
                << b.what << ": " << lastOf(run.errLines()).toStdString();
        }
        expectClosed(run);
        // Whatever the image did to the run, the device got every byte the host was to send.
        EXPECT_EQ(device.exitCode, 0) << b.what << ": " << device.err.toStdString();

        // The command the refusal gives restores the image the device expects.
        if (const qsizetype from = b.verdict.indexOf("with "); from >= 0) {
            const QString command = b.verdict.mid(from + 5, b.verdict.indexOf(" (or") - from - 5).replace("FILE", path);
            QProcess sh;
            sh.start("sh", {"-c", command});
            ASSERT_TRUE(sh.waitForFinished(10000)) << command.toStdString();
            EXPECT_EQ(sh.exitCode(), 0) << command.toStdString();
            QFile restored(path);
            ASSERT_TRUE(restored.open(QIODevice::ReadOnly));
            EXPECT_EQ(restored.readAll(), QByteArray(b.content).replace("\n", "\r\n") + "\r") << b.what;
            EXPECT_EQ(Cli({"--check", path}).finish(10000).exitCode, kCompleted) << command.toStdString();
        }
    }
}

// Also what cannot be checked at all: the error on stderr, and the summary on
// stdout with the reason (a FIFO or a device is not read, let alone for ever).
enum class Unrecorded { Empty, TwoBytes, Folder, Fifo, Device, Missing, Unreadable };

struct UnrecordedCase {
    const char* name;
    Unrecorded image;
    int status;
    QString line;  // on stdout, after the path
};

class ImageWithoutRecords : public Faults, public ::testing::WithParamInterface<UnrecordedCase> {
protected:
    QString path()
    {
        switch (GetParam().image) {
        case Unrecorded::Empty:
            return write("empty.pf3", "");
        case Unrecorded::TwoBytes:
            return write("two.pf3", "T4");
        case Unrecorded::Folder:
            return dir.path();
        case Unrecorded::Fifo: {
            const QString fifo = dir.filePath("fifo.pf3");
            EXPECT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
            return fifo;
        }
        case Unrecorded::Device:
            return QStringLiteral("/dev/zero");
        case Unrecorded::Missing:
            return dir.filePath("missing.pf3");
        case Unrecorded::Unreadable: {
            const QString unreadable = write("unreadable.pf3", "T41:");
            EXPECT_TRUE(QFile::setPermissions(unreadable, QFileDevice::WriteOwner));
            return unreadable;
        }
        }
        return {};
    }
};

// Each case is reported by its name.
void PrintTo(const UnrecordedCase& c, std::ostream* os)
{
    *os << c.name;
}

TEST_P(ImageWithoutRecords, IsReportedByCheck)
{
    const UnrecordedCase& c = GetParam();
    if (c.image == Unrecorded::Unreadable && ::geteuid() == 0)
        GTEST_SKIP() << "root reads it all the same";
    const QString path = this->path();
    const Finished f = Cli({"--check", path}).finish(10000);
    EXPECT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, c.status);
    if (c.status == kUsage) {
        EXPECT_EQ(f.err, "** ERROR ** Cannot open input file: " + path + "\n");
    }
    EXPECT_TRUE(f.outLines().contains(path + c.line)) << f.out.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ImageWithoutRecords,
    ::testing::Values(
        UnrecordedCase{"Empty", Unrecorded::Empty, kFailed, ":1:1: Input file holds no records."},
        UnrecordedCase{"TwoBytes", Unrecorded::TwoBytes, kFailed, ":1:1: Error. Incomplete record at end of input file."},
        UnrecordedCase{"Folder", Unrecorded::Folder, kUsage, ": is a directory, not a regular file; not checked"},
        UnrecordedCase{"Fifo", Unrecorded::Fifo, kUsage, ": is a FIFO, not a regular file; not checked"},
        UnrecordedCase{"Device", Unrecorded::Device, kUsage, ": is a character device, not a regular file; not checked"},
        UnrecordedCase{"Missing", Unrecorded::Missing, kUsage,
                       ": cannot be opened: No such file or directory; not checked"},
        UnrecordedCase{"Unreadable", Unrecorded::Unreadable, kUsage, ": cannot be opened: Permission denied; not checked"}));

TEST_F(Faults, ImageOfEightGibibytesIsRefused)
{
    const QString path = dir.filePath("huge.pf3");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        // Sparse: takes no disk space. 8 GiB / 4 records overflows the 32-bit counters.
        if (!f.resize(qint64(8) << 30))
            GTEST_SKIP() << "this file system cannot hold a sparse file of 8 GiB";
    }
    Sim sim({"--persist"});
    const Finished run = Cli(cliArgs(sim.device, path)).finish(10000);
    EXPECT_EQ(run.exitCode, kUsage);
    EXPECT_TRUE(run.err.contains("** ERROR ** Input file too large")) << run.err.toStdString();
    EXPECT_FALSE(run.out.contains("Program Mode"));
    EXPECT_TRUE(run.out.endsWith("Program terminated.\n"));

    const Finished check = Cli({"--check", path}).finish(10000);
    EXPECT_EQ(check.exitCode, kUsage);
    EXPECT_TRUE(check.err.startsWith("** ERROR ** Input file too large")) << check.err.toStdString();
}

} // namespace
