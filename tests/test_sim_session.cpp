// Whole sessions of flash3-sim over a real pty, with a small host written here.

#include "sim_harness.h"

using namespace flash3sim;
using namespace flash3sim::testing;

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
    // The sim tells no one when it has seen an open and a close: give it time to.
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
