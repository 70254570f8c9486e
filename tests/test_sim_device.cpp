// The virtual device's protocol on a clock the tests move by hand.

#include "sim_harness.h"

using namespace flash3sim;
using namespace flash3sim::testing;

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
