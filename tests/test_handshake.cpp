// The entry handshake: E1 94 out, the reply judged after 36 quiet ticks.

#include "engine_harness.h"

using namespace flash3;
using namespace flash3::testing;

namespace {
const QString kWait = QStringLiteral("Program Mode = 103 ... please wait");

// A started run on an image whose first record is T 41; ticks are counted
// from t0, the first tick after the start (backend tick 1).
struct HandshakeRun : Engine {
    explicit HandshakeRun(const QByteArray& image = workedExample())
    {
        openPort();
        chooseImage(image);
        form.ProgramFlash_Click();
    }
    // Reply bytes that the poll of tick t0+k will find waiting.
    void replyAt(int k, std::vector<uint8_t> bytes) { backend.deliverAt(1 + k, bytes); }
    int waits() const { return countOf(status1(), kWait); }
};
} // namespace

TEST(Handshake, NoReplyIsJudgedInThe36thTickOfWaiting)
{
    HandshakeRun r;
    r.tick(2);
    EXPECT_EQ(r.status1().mid(0, 2), (QStringList{"Program Mode = 101", "Program Mode = 102"}));
    EXPECT_EQ(r.backend.written, (std::vector<uint8_t>{0xE1, 0x94}));
    r.tick(35);
    EXPECT_EQ(r.form.ProgramMode, RunMode::AwaitEntryReply);
    EXPECT_EQ(r.waits(), 35);
    r.tick();  // t0+37
    EXPECT_EQ(r.waits(), 36);
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    const QStringList d = r.debugWithoutHints();
    ASSERT_GE(d.size(), 3);
    EXPECT_EQ(d.at(d.size() - 3), "Unexpected data read trying to initialize.");
    EXPECT_EQ(d.at(d.size() - 2), "LastByte0 = 0  LastByte1 = 0");
    EXPECT_TRUE(lastOf(d).startsWith("Stop time:    "));
    EXPECT_EQ(r.status1().mid(r.status1().size() - 6), banner());
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
}

TEST(Handshake, ReplyIsAcceptedAndTheFirstRecordReadIn36thTickAfterIt)
{
    HandshakeRun r;
    r.replyAt(3, {0x91, 0x26});
    r.tick(4);  // t0..t0+3: the reply is taken in at t0+3
    EXPECT_EQ(r.form.LastByte0, 0x91);
    EXPECT_EQ(r.form.LastByte1, 0x26);
    r.tick(35);  // up to t0+38
    EXPECT_EQ(r.form.ProgramMode, RunMode::AwaitEntryReply);
    EXPECT_EQ(r.form.RecordsDone, 0);
    r.tick();  // t0+39
    EXPECT_EQ(r.form.ProgramMode, RunMode::Transmit);
    EXPECT_EQ(r.form.TxByte, 0x41);
    EXPECT_EQ(r.form.RecordsDone, 1);
    EXPECT_EQ(r.waits(), 38);
    EXPECT_EQ(r.backend.written.size(), 2u);  // the T byte goes out at the next tick
}

struct ReplyCase {
    std::vector<uint8_t> reply;
    bool accepted;
    const char* line;
};

void PrintTo(const ReplyCase& c, std::ostream* os)
{
    for (uint8_t b : c.reply)
        *os << std::hex << int(b) << ' ';
}

class HandshakeReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(HandshakeReplies, OnlyTheLastTwoBytesCount)
{
    const ReplyCase& c = GetParam();
    HandshakeRun r;
    r.replyAt(2, c.reply);
    r.tick(2 + 37);
    if (c.accepted) {
        EXPECT_EQ(r.form.ProgramMode, RunMode::Transmit);
    } else {
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        EXPECT_TRUE(r.debugWithoutHints().contains(QString::fromLatin1(c.line)));
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, HandshakeReplies,
                         ::testing::Values(ReplyCase{{0x91, 0x26}, true, ""},
                                           ReplyCase{{0x00, 0x91, 0x26}, true, ""},
                                           ReplyCase{{0x55, 0xAA, 0x13, 0x91, 0x26}, true, ""},
                                           ReplyCase{{0x91, 0x26, 0x00}, false, "LastByte0 = 26  LastByte1 = 0"},
                                           ReplyCase{{0x91, 0x2A}, false, "LastByte0 = 91  LastByte1 = 2A"},
                                           ReplyCase{{0x26, 0x0A}, false, "LastByte0 = 26  LastByte1 = A"}));

TEST(Handshake, BytesInSeparateTicksFormOneReply)
{
    HandshakeRun r;
    r.replyAt(2, {0x91});
    r.replyAt(13, {0x26});  // eleven ticks later
    r.tick(49);             // t0..t0+48
    EXPECT_EQ(r.form.ProgramMode, RunMode::AwaitEntryReply);
    r.tick();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Transmit);
}

TEST(Handshake, ByteInTheTickTheCountReachesZeroRestartsTheQuietPeriod)
{
    HandshakeRun r;
    r.replyAt(2, {0x91, 0x26});
    r.replyAt(38, {0x91, 0x26});  // the tick in which the count reaches 0
    r.tick(39);
    EXPECT_EQ(r.form.ProgramMode, RunMode::AwaitEntryReply);
    EXPECT_EQ(r.form.TimeoutCount, 36);
    r.tick(35);
    EXPECT_EQ(r.form.ProgramMode, RunMode::AwaitEntryReply);
    r.tick();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Transmit);
}

TEST(Handshake, DeviceThatNeverFallsQuietKeepsTheRunWaiting)
{
    HandshakeRun r;
    for (int k = 2; k < 400; k += 30)
        r.replyAt(k, {0x55});
    r.tick(400);
    EXPECT_EQ(r.form.ProgramMode, RunMode::AwaitEntryReply);
    EXPECT_EQ(r.waits(), 398);
    r.form.ProgramFlash_Click();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Aborted);
}

// A run must never be accepted on the bytes a previous run left behind.
TEST(Handshake, SecondRunStartsFromAClearedReply)
{
    HandshakeRun r;
    DeviceModel device(r.backend, workedExample());
    r.runToEnd();
    ASSERT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);

    r.backend.onWrite = nullptr;  // the device has gone quiet
    r.form.ProgramFlash_Click();
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_TRUE(r.debugWithoutHints().contains("LastByte0 = 0  LastByte1 = 0"));

    r.form.ProgramFlash_Click();
    r.backend.deliverAt(r.backend.tick() + 3, {0x26});
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.debugWithoutHints().at(r.debugWithoutHints().size() - 2), "LastByte0 = 0  LastByte1 = 26");
}

// An entry byte the driver could not send: the device never entered; stop.
TEST(Handshake, FailedEntryByteEndsTheRun)
{
    HandshakeRun r;
    r.backend.failNext(FakeBackend::Fn::Write, DrvIoError);
    r.tick();
    EXPECT_EQ(r.debugWithoutHints().at(r.debugWithoutHints().size() - 2), "Error in put byte: 6");
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.form.PortBusy, False);
}

TEST(Handshake, UnpluggedDeviceIsRejectedAfterTheQuietPeriod)
{
    HandshakeRun r;
    r.tick(2);
    r.backend.unplug();
    r.tick(36);
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(r.debugWithoutHints().contains("Unexpected data read trying to initialize."));
}

// A device that went away: the run says so after its own lines, and the next
// "Program FLASH" refuses at once, until the port has been set up again.
TEST(Handshake, GoneDeviceIsNamedAndStopsTheNextRunUntilThePortIsSetUpAgain)
{
    HandshakeRun r;
    r.tick(2);
    r.backend.unplug();
    r.tick(36);
    ASSERT_EQ(r.form.ProgramMode, RunMode::Idle);
    const QStringList d = r.debug();
    const auto at = d.indexOf("LastByte0 = 0  LastByte1 = 0");
    ASSERT_GE(at, 0);
    EXPECT_TRUE(d.value(at + 1).startsWith("Hint: The device on COM 2 (")) << d.value(at + 1).toStdString();
    EXPECT_TRUE(d.value(at + 1).endsWith(") is gone: unplugged or powered off? After plugging it in again, set the "
                                         "port up again (\"Configure COM port\", \"Initialize\")."));
    EXPECT_TRUE(d.value(at + 2).startsWith("Stop time:    "));

}

TEST(Handshake, AfterAnIoErrorTheNextRunWaitsForThePortToBeSetUpAgain)
{
    HandshakeRun r;
    r.backend.failNext(FakeBackend::Fn::Write, DrvIoError);  // E1 cannot go out: the adapter is gone
    r.tick();
    ASSERT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(r.debug().contains("Error in put byte: 6"));

    r.backend.written.clear();
    r.form.ProgramFlash_Click();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(lastOf(r.debug()).startsWith("Hint: The device on COM 2 (")) << lastOf(r.debug()).toStdString();
    EXPECT_TRUE(lastOf(r.debug()).contains("went away during the last run"));
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::PortGone);
    r.tick(5);
    EXPECT_TRUE(r.backend.written.empty());

    r.openPort();  // "Configure COM port", "Initialize"
    r.form.ProgramFlash_Click();
    EXPECT_EQ(r.form.ProgramMode, RunMode::SendEntryByte1);
}

// With queued transmit an entry byte leaves when its tick ends: one that
// cannot be sent fails the run there, as a refused PutByte does, and is never
// mistaken for a device that did not reply.
TEST(Handshake, QueuedEntryByteThatCannotBeSentFailsTheRun)
{
    Engine e;
    e.driver.setQueuedTransmit(true);
    e.openPort();
    e.chooseImage(workedExample());
    e.form.ProgramFlash_Click();
    e.tick();  // E1
    ASSERT_EQ(e.backend.written, (std::vector<uint8_t>{0xE1}));
    e.backend.failNext(FakeBackend::Fn::Write, DrvIoError);
    e.tick();  // 94
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(e.form.LastRunReport.cause, FailureCause::DeviceGone);
    EXPECT_EQ(e.form.LastRunReport.driverStatus, DrvIoError);
    EXPECT_TRUE(e.debugWithoutHints().contains("Error in put byte: 6"));
    EXPECT_FALSE(e.debug().contains("Unexpected data read trying to initialize."));
}
