// Playing an image: bursts of T bytes, R answers verified within 36 ticks.

#include "engine_harness.h"

#include <QRegularExpression>

using namespace flash3;
using namespace flash3::testing;

namespace {
// A run whose handshake has just been accepted (the first record is read).
struct StreamRun : Engine {
    explicit StreamRun(const QByteArray& image)
    {
        openPort();
        chooseImage(image);
        form.ProgramFlash_Click();
        backend.deliverAt(3, {0x91, 0x26});  // taken in at t0+2
        tick(2 + 37);
        EXPECT_NE(form.ProgramMode, RunMode::AwaitEntryReply);
        trCalls = calls.size();
    }
    std::size_t trCalls = 0;
    std::vector<uint8_t> sentAfterHandshake() const
    {
        return std::vector<uint8_t>(backend.written.begin() + 2, backend.written.end());
    }
};

// `lines` lines of 16 T records, then an R record answered 5A, then E.
QByteArray linesOfSixteen(int lines)
{
    QByteArray image;
    for (int line = 0; line < lines; ++line) {
        for (int i = 0; i < 16; ++i)
            image += QStringLiteral("T%1:").arg((line * 16 + i) & 0xFF, 2, 16, QLatin1Char('0')).toUpper().toLatin1();
        image += "R5A:E\r\n:";
    }
    return image;
}

struct Progress {
    const char* left;
    const char* done;
    const char* percent;
};
} // namespace

// The worked example: ticks counted from the first tick after the start.
TEST(Transfer, WorkedExampleTickByTick)
{
    Engine e;
    e.openPort();
    e.chooseImage(workedExample());
    e.form.ProgramFlash_Click();
    const auto at = [&](int k) { return int64_t{k} + 1; };  // backend tick of tick k
    e.backend.deliverAt(at(3), {0x91, 0x26});
    e.backend.deliverAt(at(42), {0x41});
    e.backend.deliverAt(at(45), {0x2A});
    const auto progress = [&](Progress p) {
        EXPECT_EQ(e.text(TextId::Text3), p.left);
        EXPECT_EQ(e.text(TextId::Text4), p.done);
        EXPECT_EQ(e.text(TextId::Text5), p.percent);
    };
    e.tick(39);  // ticks 0..38
    EXPECT_EQ(e.form.ProgramMode, RunMode::AwaitEntryReply);
    progress({"7", "0", "0.0 %"});
    e.tick();  // 39: reply accepted, record 1 read
    EXPECT_EQ(e.form.ProgramMode, RunMode::Transmit);
    progress({"6", "1", "14.29 %"});
    const int putPackets = e.callCount("ser_rs232_putpacket");
    e.tick();  // 40: 41 and 00 go out, R41 read
    EXPECT_EQ(e.backend.written, (std::vector<uint8_t>{0xE1, 0x94, 0x41, 0x00}));
    EXPECT_EQ(e.callCount("ser_rs232_putpacket"), putPackets + 1);
    EXPECT_EQ(e.form.ProgramMode, RunMode::Verify);
    progress({"4", "3", "42.86 %"});
    e.tick();  // 41: nothing waiting yet
    EXPECT_EQ(e.form.ProgramMode, RunMode::Verify);
    e.tick();  // 42: 41 answered; E and T42 read
    progress({"2", "5", "71.43 %"});
    EXPECT_EQ(e.form.ProgramMode, RunMode::Transmit);
    EXPECT_TRUE(lastOf(e.status1()).startsWith("Processing ...   4"));
    e.tick();  // 43: 42 goes out, R2A read
    progress({"1", "6", "85.71 %"});
    EXPECT_EQ(e.form.ProgramMode, RunMode::Verify);
    e.tick(2);  // 44, 45
    progress({"0", "7", "100.0 %"});
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(e.backend.written, (std::vector<uint8_t>{0xE1, 0x94, 0x41, 0x00, 0x42}));
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);

    // The logs, line for line.
    QStringList expected{"Program Mode = 101", "Program Mode = 102"};
    for (int i = 0; i < 38; ++i)
        expected << "Program Mode = 103 ... please wait";
    const QStringList s1 = e.status1();
    ASSERT_EQ(s1.size(), expected.size() + 1 + 1 + 6 + 1);
    EXPECT_EQ(s1.mid(0, expected.size()), expected);
    const QRegularExpression progressLine(QStringLiteral("^Processing \\.\\.\\.   (4|7)(          Time: .+)?$"));
    EXPECT_TRUE(progressLine.match(s1.at(40)).hasMatch()) << s1.at(40).toStdString();
    EXPECT_TRUE(s1.at(40).contains("          Time: "));  // the first progress line shows the time
    EXPECT_TRUE(progressLine.match(s1.at(41)).hasMatch()) << s1.at(41).toStdString();
    EXPECT_TRUE(s1.at(41).startsWith("Processing ...   7"));
    EXPECT_EQ(s1.mid(42, 6), banner());
    EXPECT_EQ(lastOf(s1), "Processing complete.  Exit this application.");
    const QStringList d = e.debugWithoutHints();
    ASSERT_EQ(d.size(), 4);
    EXPECT_EQ(d.at(0), "COM port initialized and opened.");
    EXPECT_EQ(d.at(1), "Starting voDOZUD of KORVEN-7 interface.");
    EXPECT_TRUE(d.at(2).startsWith("Start time:    "));
    EXPECT_TRUE(d.at(3).startsWith("Stop time:    "));
}

TEST(Transfer, BurstOfTRecordsGoesOutInOneTickWithOnePutPacket)
{
    StreamRun r("T01:T02:T03:R04:");
    const int before = r.callCount("ser_rs232_putpacket");
    r.tick();
    EXPECT_EQ(r.sentAfterHandshake(), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(r.callCount("ser_rs232_putpacket"), before + 1);
    EXPECT_EQ(r.form.ProgramMode, RunMode::Verify);
    // The put-packet call follows the last byte and carries nothing.
    const DriverCall& last = r.calls.back();
    EXPECT_EQ(last.function, "ser_rs232_putpacket");
    EXPECT_EQ(last.args, (std::vector<int32_t>{2, 0}));
    EXPECT_EQ(r.backend.count(FakeBackend::Fn::Write), 2 + 3);
}

TEST(Transfer, AnswersAlreadyWaitingAreVerifiedInOneTick)
{
    StreamRun r("T01:R41:R42:T03:");
    r.tick();  // T01 out, R41 read
    r.backend.deliver({0x41, 0x42});
    r.tick();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Transmit);
    EXPECT_EQ(r.form.TxByte, 3);
}

TEST(Transfer, SecondAnswerGetsAFreshWindow)
{
    StreamRun r("T01:R41:R42:T03:");
    r.tick();
    r.tick(10);
    r.backend.deliver({0x41});
    r.tick();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Verify);
    EXPECT_EQ(r.form.ExpectedByte, 0x42);
    EXPECT_EQ(r.form.TimeoutCount, 36);
    r.tick(35);
    EXPECT_EQ(r.form.ProgramMode, RunMode::Verify);
    r.tick();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.debugWithoutHints().at(r.debugWithoutHints().size() - 2), "Error. Read time out.");
}

TEST(Transfer, AnswerWindowEndsInTick36AfterTheRecord)
{
    // Accepted when waiting at the poll of tick tr+36.
    {
        StreamRun r("T01:R41:T02:");
        r.tick();  // tr: R41 read
        r.tick(35);
        r.backend.deliver({0x41});
        r.tick();
        EXPECT_EQ(r.form.ProgramMode, RunMode::Transmit);
        r.tick();
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
    }
    // Timed out in that tick when nothing is waiting.
    {
        StreamRun r("T01:R41:T02:");
        r.tick();
        r.tick(35);
        EXPECT_EQ(r.form.ProgramMode, RunMode::Verify);
        r.tick();
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        EXPECT_TRUE(r.debugWithoutHints().contains("Error. Read time out."));
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
        r.backend.deliver({0x41});
        r.tick();
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    }
}

TEST(Transfer, WrongAnswerEndsTheRun)
{
    struct Case {
        const char* image;
        uint8_t answer;
        const char* line;
    };
    for (const Case& c : {Case{"T01:R41:", 0x4F, "Error.  Expected = 41  Read = 4F"},
                          Case{"T01:R0A:", 0x0B, "Error.  Expected = A  Read = B"},
                          Case{"T01:R00:", 0xFF, "Error.  Expected = 0  Read = FF"}}) {
        StreamRun r(c.image);
        r.tick();
        r.backend.deliver({c.answer});
        r.tick();
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        EXPECT_EQ(r.debugWithoutHints().at(r.debugWithoutHints().size() - 2), c.line);
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
        EXPECT_FALSE(r.status1().contains("Processing complete.  Exit this application."));
    }
}

TEST(Transfer, ImageEndingWithATRecordStillMakesThePutPacketCall)
{
    StreamRun r("T01:T02:");
    r.tick();
    EXPECT_EQ(r.sentAfterHandshake(), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.calls.back().function, "ser_rs232_putpacket");
    EXPECT_EQ(lastOf(r.status1()), "Processing complete.  Exit this application.");
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
}

TEST(Transfer, PutPacketErrorIsLoggedAndTheStreamGoesOn)
{
    StreamRun r("T01:R01:T02:");
    r.driver.failWith["ser_rs232_putpacket"] = 3;
    r.tick();
    EXPECT_EQ(lastOf(r.debugWithoutHints()), "Error in put packet: 3");
    EXPECT_EQ(r.form.ProgramMode, RunMode::Verify);
    EXPECT_EQ(r.form.PortBusy, False);
    r.backend.deliver({0x01});
    r.tick(2);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
}

// A byte the driver could not send would be missing from the firmware.
TEST(Transfer, FailedPutByteEndsTheRun)
{
    StreamRun r("T01:T02:T03:R04:");
    r.backend.failNext(FakeBackend::Fn::Write, DrvTransmitTimeout);
    r.tick();
    EXPECT_TRUE(r.debugWithoutHints().contains("Error in put byte: 7"));
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_TRUE(r.sentAfterHandshake().empty());
    EXPECT_EQ(r.form.RecordsDone, 1);
}

TEST(Transfer, AbortPendingDuringABurstStopsAfterTheCurrentRecord)
{
    StreamRun r("T01:T02:T03:T04:R05:");
    // The operator's click lands while the burst is running.
    int sent = 0;
    r.backend.onWrite = [&](uint8_t) {
        if (++sent == 2) {
            r.form.ProgramFlash_Click();
        }
    };
    r.tick();
    EXPECT_EQ(r.status1().contains("ProgramMode not zero.  Abort is pending."), true);
    EXPECT_EQ(r.sentAfterHandshake(), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Aborted);
    EXPECT_EQ(r.calls.back().function, "ser_rs232_putpacket");
}

TEST(Transfer, LongImageRunsToTheEndWithTheDeviceModel)
{
    const QByteArray image = linesOfSixteen(200);
    Engine e;
    DeviceModel device(e.backend, image);
    e.openPort();
    e.chooseImage(image);
    e.form.ProgramFlash_Click();
    const int ticks = e.runToEnd();
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(e.backend.written.size(), 2u + 200 * 16);
    // Entry bytes, a reply in the next tick judged 36 ticks later, then a
    // burst tick and an answer tick per line.
    EXPECT_EQ(ticks, 2 + 37 + 200 * 2);
    EXPECT_EQ(e.text(TextId::Text5), "100.0 %");
    EXPECT_EQ(e.text(TextId::Text3), "0");
}

// A station queues each port's bytes and sends them once a tick: the run is
// tick for tick the same, and a burst that cannot be sent still ends it.
TEST(Transfer, QueuedTransmitKeepsEveryTickAndSendsABurstInOneWrite)
{
    const QByteArray image = linesOfSixteen(50);
    Engine e;
    e.driver.setQueuedTransmit(true);
    DeviceModel device(e.backend, image);
    e.openPort();
    e.chooseImage(image);
    e.form.ProgramFlash_Click();
    const int ticks = e.runToEnd();
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(ticks, 2 + 37 + 50 * 2);
    EXPECT_EQ(e.backend.written.size(), 2u + 50 * 16);
    // The two entry bytes on ticks of their own, then one write per burst.
    EXPECT_EQ(e.backend.count(FakeBackend::Fn::Write), 2 + 50);
    EXPECT_EQ(e.form.LastRunReport.bytesSent, 50 * 16);
}

TEST(Transfer, QueuedBurstThatCannotBeSentEndsTheRun)
{
    StreamRun r("T01:T02:T03:R04:T05:R06:");
    r.driver.setQueuedTransmit(true);
    r.backend.failNext(FakeBackend::Fn::Write, DrvIoError);
    r.tick();
    EXPECT_TRUE(r.debugWithoutHints().contains("Error in put packet: 6")) << r.debug().join('\n').toStdString();
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::DeviceGone);
    EXPECT_TRUE(r.sentAfterHandshake().empty());
}

// Queued transmit on an image that begins "T01:R02:": T01 leaves, R02 is
// answered, and the next write fails; the run is played to its end. Returns
// the bytes written before that write.
std::size_t failNextQueuedWriteAfterT01(StreamRun& r)
{
    r.driver.setQueuedTransmit(true);
    r.backend.deliver({0x02});
    r.tick();  // T01 goes; R02 waits for its answer
    EXPECT_EQ(r.form.ProgramMode, RunMode::Verify);
    const std::size_t sentBefore = r.backend.written.size();
    r.backend.failNext(FakeBackend::Fn::Write, DrvIoError);
    r.runToEnd(50);
    return sentBefore;
}

// The last bytes of an image may still be queued when the reader reaches its
// end: the run completes only once they have left.
TEST(Transfer, QueuedTailThatCannotBeSentIsNeverACompletedRun)
{
    // The write that fails is the tail's: T03 and T04, queued as the file ends.
    StreamRun r("T01:R02:E\r\n:T03:T04:E\r\n:");
    const std::size_t sentBefore = failNextQueuedWriteAfterT01(r);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::DeviceGone);
    EXPECT_FALSE(r.status1().contains("Processing complete.  Exit this application."));
    EXPECT_EQ(r.backend.written.size(), sentBefore) << "T03 and T04 never left";
    EXPECT_EQ(r.form.LastRunReport.bytesSent, 1) << "only T01 counts as sent";
}

// A burst longer than the queue leaves in pieces from inside PutByte: when a
// piece cannot be sent, none of its bytes counts as sent.
TEST(Transfer, QueuedPieceOfALongBurstThatCannotBeSentIsNotCounted)
{
    QByteArray image = "T01:R02:E\r\n:";
    for (int i = 0; i < 300; ++i)
        image += "TAA:";
    image += "R55:E\r\n:";
    // The write that fails is the first 256 bytes of the burst.
    StreamRun r(image);
    const std::size_t sentBefore = failNextQueuedWriteAfterT01(r);
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::DeviceGone);
    EXPECT_EQ(r.backend.written.size(), sentBefore);
    EXPECT_EQ(r.form.LastRunReport.bytesSent, 1) << "only T01 left";
    // The run said its last line with "Stop time:"; the burst's closing packet adds none.
    const QStringList debug = r.debug();
    ASSERT_FALSE(debug.isEmpty());
    EXPECT_TRUE(debug.last().startsWith("Stop time:")) << debug.join('\n').toStdString();
}
