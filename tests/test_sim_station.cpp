// flash3-sim as a station: many devices served by one process.

#include "sim_harness.h"

using namespace flash3sim;
using namespace flash3sim::testing;

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
