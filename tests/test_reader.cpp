// The .pf3 reader: faulty records, the end of the image, progress lines.

#include "engine_harness.h"

#include <QRegularExpression>

using namespace flash3;
using namespace flash3::testing;

namespace {
// Runs `image` to its end against a device that answers every R at once.
// `allowFaulty` runs an image with faulty records (flash3-cli --force) instead
// of refusing it, so that the reader's own handling of them shows.
struct ReaderRun : Engine {
    explicit ReaderRun(const QByteArray& image, bool allowFaulty = false) : device(backend, image)
    {
        form.AllowFaultyImage = allowFaulty;
        openPort();
        chooseImage(image);
        form.ProgramFlash_Click();
        runToEnd();
    }
    DeviceModel device;
    std::vector<uint8_t> sent() const { return {backend.written.begin() + 2, backend.written.end()}; }
    bool completed() const { return status1().contains("Processing complete.  Exit this application."); }
};
} // namespace

TEST(Reader, FaultyRecordsAreReportedAndSkippedOrActedOn)
{
    struct Case {
        QByteArray image;
        QStringList lines;            // Debug lines expected, in order
        std::vector<uint8_t> sent;    // bytes after the handshake
    };
    const Case cases[] = {
        {"T01:t41:T02:", {"Invalid packet read from input file.  t41:"}, {1, 2}},
        {"T01:T4g:", {"Nib0 not valid: 67"}, {1, 0x40}},
        {"T01:T  :", {"Nib1 not valid: 20", "Nib0 not valid: 20"}, {1, 0}},
        {"T01:Ta1:", {"Nib1 not valid: 61"}, {1, 0x01}},
        {"T01:T41;T02:", {"Char4 not a :"}, {1, 2}},
        {"T01:X41;T02:", {"Char4 not a :"}, {1, 2}},  // the separator is tested first
        {"T01:Q12:T02:", {"Invalid packet read from input file.  Q12:"}, {1, 2}},
    };
    for (const Case& c : cases) {
        ReaderRun r(c.image, true);
        QStringList faults;
        for (const QString& line : r.debug())
            if (!line.startsWith("COM port") && !line.startsWith("Start") && !line.startsWith("Stop"))
                faults << line;
        EXPECT_EQ(faults, c.lines) << c.image.constData();
        EXPECT_EQ(r.sent(), c.sent) << c.image.constData();
        EXPECT_TRUE(r.completed()) << c.image.constData();
        EXPECT_EQ(r.text(TextId::Text3), "0");
    }
}

TEST(Reader, LineEndMustBeCarriageReturnThenLineFeed)
{
    ReaderRun r("T01:E\n\r:T02:", true);
    EXPECT_TRUE(r.debug().contains("Error. Expected <cr> <lf> not found."));
    EXPECT_EQ(r.sent(), std::vector<uint8_t>{1});
    EXPECT_FALSE(r.completed());
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.text(TextId::Text4), "2");  // no record read after it
}

TEST(Reader, ImageWithoutDeviceRecordsEndsInTheAcceptingTick)
{
    Engine e;
    DeviceModel device(e.backend, "");
    e.openPort();
    e.chooseImage("E\r\n:E\r\n:");
    e.form.ProgramFlash_Click();
    const int ticks = e.runToEnd();
    EXPECT_EQ(ticks, 39);
    const QStringList s1 = e.status1();
    EXPECT_TRUE(s1.at(s1.size() - 9).startsWith("Processing ...   1"));
    EXPECT_TRUE(s1.at(s1.size() - 8).startsWith("Processing ...   2"));
    EXPECT_EQ(s1.last(), "Processing complete.  Exit this application.");
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
}

// Editors add a line end after the final ":"; that is still a complete image.
TEST(Reader, TrailingLineEndEndsNormally)
{
    for (const QByteArray& tail : {QByteArray("\r\n"), QByteArray("\n"), QByteArray("\r\n "), QByteArray(" ")}) {
        ReaderRun r(workedExample() + tail);
        EXPECT_TRUE(r.completed()) << tail.toHex().constData();
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
        EXPECT_FALSE(r.debug().contains("Error. Incomplete record at end of input file."));
    }
}

TEST(Reader, TruncatedLastRecordIsAFailure)
{
    for (const QByteArray& tail : {QByteArray("T"), QByteArray("T4"), QByteArray("T41")}) {
        ReaderRun r(workedExample() + tail, true);
        EXPECT_FALSE(r.completed()) << tail.constData();
        EXPECT_TRUE(r.debug().contains("Error. Incomplete record at end of input file."));
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
        EXPECT_EQ(r.form.ProgramMode, 0);
    }
}

// A missing character shifts every record after it.
TEST(Reader, ShiftedRecordsAreReportedUntilOneEndsTheRun)
{
    QByteArray image = workedExample();
    image.remove(5, 1);  // "T00:" loses its "0"
    ReaderRun r(image, true);
    EXPECT_GE(r.countOf(r.debug(), "Char4 not a :"), 1);
    EXPECT_FALSE(r.completed());
}

TEST(Reader, TimeIsShownOnlyWhenTheSecondChanges)
{
    QByteArray image = "T01:";
    for (int i = 0; i < 50; ++i)
        image += "E\r\n:";
    ReaderRun r(image);
    const QRegularExpression withTime(QStringLiteral("^Processing \\.\\.\\.   \\d+          Time: (.+)$"));
    QStringList shown;
    int lines = 0;
    for (const QString& line : r.status1()) {
        if (!line.startsWith("Processing ...   "))
            continue;
        ++lines;
        const auto m = withTime.match(line);
        if (m.hasMatch())
            shown << m.captured(1);
    }
    EXPECT_EQ(lines, 50);
    ASSERT_GE(shown.size(), 1);
    EXPECT_LE(shown.size(), 2);  // the run may straddle one second boundary
    EXPECT_EQ(shown.removeDuplicates(), 0);
    EXPECT_EQ(r.form.TimeShown, shown.last());
}
