// Parts of flash3-cli that a run reaches only at its edges: the progress bar
// at its limits and the words of the verdict line.

#include "progress_bar.h"
#include "verdict.h"

#include "qt_print.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace flash3;
using namespace flash3::cli;

namespace {

// What one forced draw of the bar writes.
std::string drawn(long long done, long long total)
{
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    {
        ProgressBar bar(f);
        bar.update(done, total, true);
    }
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(f);
    return text;
}

} // namespace

TEST(CliProgressBar, StaysWithinItsWidthFromNothingToEverything)
{
    struct Case {
        long long done, total;
        int filled;
        const char* percent;
    };
    const Case cases[] = {
        {0, 1000, 0, "  0.0 %"}, {1, 1000, 0, "  0.1 %"}, {999, 1000, 29, " 99.9 %"},
        {1000, 1000, 30, "100.0 %"}, {0, 0, 0, "  0.0 %"}, {5, 0, 0, "  0.0 %"},
    };
    const QRegularExpression shape("^\\r\\[([#.]*)\\] (\\d+)/(\\d+) +([0-9.]+ %)  ");
    for (const Case& c : cases) {
        const QString text = QString::fromStdString(drawn(c.done, c.total));
        const auto m = shape.match(text);
        ASSERT_TRUE(m.hasMatch()) << c.done << "/" << c.total << ": " << text.toStdString();
        EXPECT_EQ(m.captured(1).size(), 30) << c.done << "/" << c.total;
        EXPECT_EQ(m.captured(1).count('#'), c.filled) << c.done << "/" << c.total;
        EXPECT_EQ(" " + m.captured(4), QString(" ") + QString::fromLatin1(c.percent).trimmed()) << c.done;
    }
}

TEST(CliVerdict, SaysHowTheRunEndedInWords)
{
    VerdictContext c;
    c.image = "fw.pf3";
    c.comPort = 2;
    c.devicePath = "/dev/ttyUSB0";
    c.seconds = 3.21;

    RunReport r;
    r.started = true;
    r.record = 5400;
    r.records = 5400;
    r.bytesSent = 4800;
    EXPECT_EQ(verdictLine(RunOutcome::Completed, r, c),
              "flash3-cli: completed: 5400 records, 4800 bytes to COM 2 (/dev/ttyUSB0) in 3.2 s");

    RunReport one = r;
    one.record = one.records = 1;
    one.bytesSent = 1;
    EXPECT_EQ(verdictLine(RunOutcome::Completed, one, c),
              "flash3-cli: completed: 1 record, 1 byte to COM 2 (/dev/ttyUSB0) in 3.2 s");

    r.faultyRecords = 2;
    r.firstFault = ImageFault{70, 34, 901, 3600, "Invalid packet read from input file.  x\r\n:"};
    EXPECT_EQ(verdictLine(RunOutcome::Completed, r, c),
              "flash3-cli: completed WITH 2 faulty records (first at line 70, column 34: Invalid packet read from "
              "input file.  x<cr><lf>:) skipped or taken as 0 (--force): 5400 records, 4800 bytes to COM 2 "
              "(/dev/ttyUSB0) in 3.2 s");

    RunReport f;
    f.started = true;
    f.record = 901;
    f.records = 5400;
    f.line = 70;
    f.column = 34;
    f.cause = FailureCause::WrongAnswer;
    f.expected = 0x41;
    f.received = 0x4F;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, f, c),
              "flash3-cli: FAILED at line 70, column 34 (record 901 of 5400): the device answered 4F, expected 41");
    f.cause = FailureCause::NoAnswer;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, f, c),
              "flash3-cli: FAILED at line 70, column 34 (record 901 of 5400): the device did not answer in time, "
              "expected 41");

    RunReport h;
    h.started = true;
    h.cause = FailureCause::EntryRejected;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, h, c),
              "flash3-cli: FAILED before the first record: no reply to the entry bytes E1 94; is the device waiting "
              "in FLASH3 boot mode?");
    h.replyBytes = 3;
    h.reply0 = 0x26;
    h.reply1 = 0x00;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, h, c),
              "flash3-cli: FAILED before the first record: the device replied 26 00 to the entry bytes, expected 91 26");
    h.replyBytes = 1;
    h.reply1 = 0x91;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, h, c),
              "flash3-cli: FAILED before the first record: the device replied 91 to the entry bytes, expected 91 26");

    RunReport refused;
    refused.cause = FailureCause::ImageEmpty;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, refused, c),
              "flash3-cli: refused: the image 'fw.pf3' holds no records; nothing was sent");
    VerdictContext port = c;
    port.portFailed = true;
    EXPECT_EQ(verdictLine(RunOutcome::None, RunReport(), port),
              "flash3-cli: refused: cannot open COM 2 (/dev/ttyUSB0); nothing was sent");

    VerdictContext stopped = c;
    stopped.interrupted = true;
    EXPECT_EQ(verdictLine(RunOutcome::Aborted, RunReport(), stopped),
              "flash3-cli: interrupted before the first image byte was sent");
    f.bytesSent = 800;
    EXPECT_EQ(verdictLine(RunOutcome::Aborted, f, stopped),
              "flash3-cli: interrupted at line 70, column 34 (record 901 of 5400) after 800 bytes; the device holds "
              "part of the image: cycle its power and flash again");
}
