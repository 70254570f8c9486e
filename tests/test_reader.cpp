// The .pf3 reader: faulty records, the end of the image, progress lines.

#include "engine_harness.h"

#include "app/text_format.h"

#include <QRegularExpression>

#include <algorithm>
#include <memory>

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

namespace {

struct FaultCase {
    const char* name;
    QByteArray image;
    QStringList lines;          // Debug lines expected, in order
    std::vector<uint8_t> sent;  // bytes after the handshake
};

class FaultyRecord : public ::testing::TestWithParam<FaultCase> {};

// Each case is reported by its name.
void PrintTo(const FaultCase& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace

TEST_P(FaultyRecord, IsReportedAndSkippedOrActedOn)
{
    const FaultCase& c = GetParam();
    ReaderRun r(c.image, true);
    QStringList faults;
    for (const QString& line : r.debug())
        if (!line.startsWith("COM port") && !line.startsWith("Start") && !line.startsWith("Stop"))
            faults << line;
    EXPECT_EQ(faults, c.lines);
    EXPECT_EQ(r.sent(), c.sent);
    EXPECT_TRUE(r.completed());
    EXPECT_EQ(r.text(TextId::Text3), "0");
}

INSTANTIATE_TEST_SUITE_P(
    Reader, FaultyRecord,
    ::testing::Values(
        FaultCase{"UnknownLowerCaseType", "T01:t41:T02:", {"Invalid packet read from input file.  t41:"}, {1, 2}},
        FaultCase{"BadLowNibble", "T01:T4g:", {"Nib0 not valid: 67"}, {1, 0x40}},
        FaultCase{"BothNibblesBad", "T01:T  :", {"Nib1 not valid: 20", "Nib0 not valid: 20"}, {1, 0}},
        FaultCase{"LowerCaseHighNibble", "T01:Ta1:", {"Nib1 not valid: 61"}, {1, 0x01}},
        FaultCase{"BadSeparator", "T01:T41;T02:", {"Char4 not a :"}, {1, 2}},
        // The separator is tested first.
        FaultCase{"BadSeparatorAndType", "T01:X41;T02:", {"Char4 not a :"}, {1, 2}},
        FaultCase{"UnknownType", "T01:Q12:T02:", {"Invalid packet read from input file.  Q12:"}, {1, 2}}));

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
    EXPECT_EQ(lastOf(s1), "Processing complete.  Exit this application.");
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
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
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
    EXPECT_EQ(r.form.TimeShown, lastOf(shown));
}

namespace {
// Reads as a file does until `failAt` bytes, then fails as a failing disk does.
class FailingFile : public QFile {
public:
    FailingFile(const QString& path, qint64 failAt) : QFile(path), failAt_(failAt) {}

protected:
    qint64 readData(char* data, qint64 maxSize) override
    {
        if (pos() >= failAt_)
            return -1;
        return QFile::readData(data, std::min(maxSize, failAt_ - pos()));
    }

private:
    qint64 failAt_;
};

QByteArray linesOfTwoRecords(int lines)
{
    QByteArray image;
    for (int i = 0; i < lines; ++i)
        image += "T" + QByteArray::number(0x10 + i % 0x60, 16).toUpper() + ":R01:E\r\n:";
    return image;
}
} // namespace

// A read error is never the end of the image: a failing disk must not end in
// "Processing complete.".
TEST(Reader, ReadErrorDuringTheRunFailsIt)
{
    const QByteArray image = linesOfTwoRecords(20000);  // 240 KB: read in several pieces
    Engine e;
    DeviceModel device(e.backend, image);
    e.openPort();
    e.chooseImage(image);
    e.form.ImageFile.setOpener([](const QString& path) { return std::make_unique<FailingFile>(path, 150000); });
    e.form.ProgramFlash_Click();
    ASSERT_EQ(e.form.ProgramMode, RunMode::SendEntryByte1);  // the check before the run read the file whole
    e.runToEnd();
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(e.form.LastRunReport.cause, FailureCause::ImageReadError);
    EXPECT_TRUE(e.debug().contains("Error reading input file."));
    EXPECT_FALSE(e.status1().contains("Processing complete.  Exit this application."));
    EXPECT_LT(e.form.RecordsDone, e.form.RecordsTotal);
    EXPECT_LE(e.form.RecordsDone * 4, 150000);
}

// The time of day is appended to the first progress line of every new second,
// and only to it.
TEST(Reader, TimeOfDayIsRefreshedOnTheFirstLineOfEachNewSecond)
{
    struct ClockGuard {
        ~ClockGuard() { setClockForTesting({}); }
    } guard;
    const int64_t base = int64_t{1765100000} * 1000 + 100;  // 100 ms into a second
    int64_t now = base;
    setClockForTesting([&now] { return now; });
    const QString first = timeOfDayText();
    now = base + 1000;
    const QString second = timeOfDayText();
    ASSERT_NE(first, second);

    const QByteArray image = linesOfTwoRecords(5);
    Engine e;
    DeviceModel device(e.backend, image);
    e.openPort();
    e.chooseImage(image);
    e.form.ProgramFlash_Click();
    // The progress lines of lines 1 to 5 fall 0, 0.3, 1.0, 1.2 and 1.25 s after the base.
    const int64_t at[] = {0, 300, 1000, 1200, 1250};
    for (int n = 0; n < 10000 && e.form.ProgramMode != RunMode::Idle; ++n) {
        const QStringList lines = e.status1();
        const int shown = static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const QString& l) {
            return l.startsWith("Processing ...");
        }));
        now = base + at[std::min(shown, 4)];
        e.tick();
    }
    QStringList progress;
    for (const QString& line : e.status1())
        if (line.startsWith("Processing ..."))
            progress << line;
    EXPECT_EQ(progress, (QStringList{"Processing ...   3          Time: " + first, "Processing ...   6",
                                     "Processing ...   9          Time: " + second, "Processing ...   12",
                                     "Processing ...   15"}));
}
