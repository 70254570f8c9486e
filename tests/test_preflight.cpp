// The check of the whole image before a run, and a run whose image changes
// under it: nothing unchecked is ever flashed, and a changed image never ends
// as completed.

#include "engine_harness.h"
#include "qt_print.h"

#include "image/checksum_file.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <limits>
#include <memory>

using namespace flash3;
using namespace flash3::testing;

namespace {

const QString kComplete = QStringLiteral("Processing complete.  Exit this application.");
const QString kChanged =
    QStringLiteral("** ERROR ** Input file changed during the run: it is no longer the file that was checked.");

// `lines` text lines of `sends` T records, one R record and an E record; the
// T bytes never take the value 7E, so a byte planted later can be told.
QByteArray image(int lines, int sends = 16)
{
    QByteArray bytes;
    for (int i = 0; i < lines; ++i) {
        for (int t = 0; t < sends; ++t)
            bytes += "T" + QByteArray::number(0x10 + (i + t) % 0x60, 16).toUpper() + ":";
        bytes += "R" + QByteArray::number(0x20 + i % 0x50, 16).toUpper() + ":E\r\n:";
    }
    return bytes;
}

bool sent(const Engine& e, uint8_t byte)
{
    return std::find(e.backend.written.begin(), e.backend.written.end(), byte) != e.backend.written.end();
}

// Rewrites `count` bytes at `offset` in place; `keepTime` puts the old
// modification time back, so that only the bytes tell.
void rewrite(const QString& path, qint64 offset, const QByteArray& bytes, bool keepTime)
{
    const QDateTime before = QFileInfo(path).lastModified();
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.seek(offset));
    ASSERT_EQ(f.write(bytes), bytes.size());
    if (keepTime) {
        f.close();
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(before, QFileDevice::FileModificationTime));
    }
}

struct ImageRun : Engine {
    explicit ImageRun(const QByteArray& content) : device(backend, content)
    {
        openPort();
        chooseImage(content);
    }
    DeviceModel device;
    // Ticks until `records` have been read (or the run ends).
    void runUntilRecord(int records)
    {
        for (int i = 0; i < 1000000 && form.ProgramMode != RunMode::Idle && form.RecordsDone < records; ++i)
            tick();
    }
};

} // namespace

TEST(ImageCheckBeforeRun, FaultyImageIsRefusedBeforeAnyByteAndCanBeRunOnceMended)
{
    QByteArray content = image(60);
    const int record = 901;  // line 53 of 18 records
    content[(record - 1) * 4 + 1] = 'G';
    ImageRun r(content);
    r.form.ProgramFlash_Click();

    EXPECT_TRUE(r.backend.written.empty());
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(r.form.FileMode, 1);
    EXPECT_EQ(r.debug().mid(1), QStringList{"** ERROR ** Input file has 1 faulty record (first at line 51, column 2: "
                                            "Nib1 not valid: 47). Run not started."});
    EXPECT_TRUE(r.status1().isEmpty());
    EXPECT_EQ(r.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
    EXPECT_TRUE(r.window().button(ButtonId::ConfigComPort).enabled);
    EXPECT_TRUE(r.window().button(ButtonId::SelectInputFile).enabled);
    EXPECT_FALSE(r.form.LastRunReport.started);
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::ImageFaults);
    r.tick(40);
    EXPECT_TRUE(r.backend.written.empty()) << "a refused run must stay refused";

    // Several faults: counted by record, the first one named.
    content[(record - 1) * 4 + 2] = 'g';     // the same record, a second digit
    content[(record + 9) * 4 + 3] = ';';     // another record's separator
    r.writeFile("image.pf3", content);
    r.form.ProgramFlash_Click();
    EXPECT_TRUE(r.backend.written.empty());
    EXPECT_EQ(lastOf(r.debug()), "** ERROR ** Input file has 2 faulty records (first at line 51, column 2: Nib1 not "
                                "valid: 47). Run not started.");

    // Mended, the same file runs and completes.
    r.writeFile("image.pf3", image(60));
    r.form.ProgramFlash_Click();
    EXPECT_EQ(r.form.ProgramMode, RunMode::SendEntryByte1);
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(r.form.LastRunReport.bytesSent, 60 * 16);
}

// Line ends converted by an editor: the refusal says what most likely happened.
TEST(ImageCheckBeforeRun, ConvertedLineEndsGetAHint)
{
    for (const char* end : {"\n", "\r"}) {
        QByteArray content = image(4);
        content.replace("\r\n", end);
        ImageRun r(content);
        r.form.ProgramFlash_Click();
        EXPECT_TRUE(r.backend.written.empty());
        EXPECT_TRUE(lastOf(r.debug()).startsWith("Hint: The image's line ends are not CR LF: an editor or a text-mode "
                                                "file transfer converted it."))
            << r.debug().join('\n').toStdString();
        // What went wrong is the refusal's own line, never the hint after it.
        EXPECT_TRUE(r.form.LastRunReport.errorLine.startsWith("** ERROR ** Input file has "))
            << r.form.LastRunReport.errorLine;
        EXPECT_EQ(r.form.phase(), RunPhase::Refused);
    }
    // A single swapped line end is a faulty record, not a converted file.
    QByteArray content = image(4);
    content.replace(72 - 3, 2, "\n\r");
    ImageRun r(content);
    r.form.ProgramFlash_Click();
    EXPECT_TRUE(lastOf(r.debug()).startsWith("** ERROR ** Input file has 1 faulty record")) << lastOf(r.debug()).toStdString();
}

// A record with control characters is named on one log line.
TEST(ImageCheckBeforeRun, RefusalShowsControlCharactersVisibly)
{
    ImageRun r("T01:x\r\n:T02:");
    r.form.ProgramFlash_Click();
    EXPECT_EQ(lastOf(r.debug()), "** ERROR ** Input file has 1 faulty record (first at line 1, column 5: Invalid "
                                "packet read from input file.  x<cr><lf>:). Run not started.");
}

// An image larger than a slice is checked on the ticks: the window stays live,
// shows how far the check is, and "Abort Process" stops it.
TEST(ImageCheckBeforeRun, LargeImageIsCheckedOnTheTicksThenTheRunStarts)
{
    const QByteArray content = image(16000);  // 1.15 MB
    ASSERT_GT(content.size(), Form1::CheckSliceBytes);
    ImageRun r(content);
    r.form.ProgramFlash_Click();
    EXPECT_EQ(r.form.ProgramMode, RunMode::CheckingImage);
    EXPECT_EQ(r.window().button(ButtonId::ProgramFlash).caption, "Abort Process");
    EXPECT_FALSE(r.window().button(ButtonId::ConfigComPort).enabled);
    EXPECT_FALSE(r.window().button(ButtonId::SelectInputFile).enabled);
    EXPECT_TRUE(lastOf(r.debug()).startsWith("Hint: Checking the input file before the run"));
    const int first = r.window().checkProgress();
    EXPECT_GE(first, 50);
    EXPECT_LT(first, 100);

    r.tick();
    EXPECT_EQ(r.form.ProgramMode, RunMode::SendEntryByte1);
    EXPECT_EQ(r.window().checkProgress(), -1);
    EXPECT_TRUE(r.backend.written.empty());
    EXPECT_EQ(r.debug().mid(r.debug().size() - 2, 1), QStringList{"Starting voDOZUD of KORVEN-7 interface."});
    EXPECT_EQ(r.form.TimeoutCount, 36);
    r.tick();
    EXPECT_EQ(r.backend.written, std::vector<uint8_t>{0xE1});
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(r.text(TextId::Text3), "0");
}

TEST(ImageCheckBeforeRun, FaultNearTheEndOfALargeImageIsRefusedAfterTheCheck)
{
    QByteArray content = image(16000);
    content[content.size() - 11] = 'x';
    ImageRun r(content);
    r.form.ProgramFlash_Click();
    ASSERT_EQ(r.form.ProgramMode, RunMode::CheckingImage);
    r.tick(3);
    EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(r.backend.written.empty());
    EXPECT_TRUE(lastOf(r.debug()).startsWith("** ERROR ** Input file has 1 faulty record (first at line 16000, column "));
    EXPECT_EQ(r.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
    EXPECT_TRUE(r.window().button(ButtonId::ConfigComPort).enabled);
    EXPECT_TRUE(r.window().button(ButtonId::SelectInputFile).enabled);
    EXPECT_EQ(r.window().checkProgress(), -1);
}

TEST(ImageCheckBeforeRun, AbortDuringTheCheckSendsNothing)
{
    // "Abort Process" between ticks.
    {
        ImageRun r(image(16000));
        r.form.ProgramFlash_Click();
        ASSERT_EQ(r.form.ProgramMode, RunMode::CheckingImage);
        EXPECT_EQ(r.form.phase(), RunPhase::Checking);
        r.form.ProgramFlash_Click();
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Aborted);
        EXPECT_EQ(r.form.phase(), RunPhase::Aborted);
        EXPECT_EQ(lastOf(r.debug()), "Hint: Run aborted while the input file was being checked; nothing was sent.");
        EXPECT_FALSE(r.debug().contains("Starting voDOZUD of KORVEN-7 interface."));
        EXPECT_EQ(r.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
        EXPECT_EQ(r.window().checkProgress(), -1);
        r.tick(50);
        EXPECT_TRUE(r.backend.written.empty());
    }
    // Pressed while a tick is being handled: pending, taken at the next tick.
    {
        ImageRun r(image(16000));
        r.form.ProgramFlash_Click();
        r.form.IsrActive = True;
        r.form.ProgramFlash_Click();
        r.form.IsrActive = False;
        EXPECT_EQ(lastOf(r.status1()), "ProgramMode not zero.  Abort is pending.");
        r.tick();
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Aborted);
        r.tick(50);
        EXPECT_TRUE(r.backend.written.empty());
    }
}

// ---------------------------------------------------------------------------
// What is flashed is what was checked.

TEST(ImageChangedDuringRun, ByteRewrittenInPlaceWithTheOldTimeFailsAtTheEnd)
{
    const QByteArray content = image(12000);  // 864 KB: read in many buffers
    ImageRun r(content);
    const QString path = r.form.FileName;
    r.form.ProgramFlash_Click();
    r.runUntilRecord(100);
    ASSERT_NE(r.form.ProgramMode, RunMode::Idle);
    // A T byte half-way through becomes 7E; size and time stay as they were.
    const qint64 offset = (content.size() / 8) * 4;
    ASSERT_EQ(content.at(offset), 'T');
    rewrite(path, offset + 1, "7E", true);
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::ImageChanged);
    EXPECT_FALSE(r.status1().contains(kComplete));
    EXPECT_TRUE(r.debug().contains(kChanged));
}

TEST(ImageChangedDuringRun, WriteSeenOnDiskStopsTheRunBeforeTheChangedBytes)
{
    const QByteArray content = image(12000);
    ImageRun r(content);
    r.form.ProgramFlash_Click();
    r.runUntilRecord(100);
    const qint64 offset = (content.size() / 8) * 4;
    rewrite(r.form.FileName, offset + 1, "7E", false);
    // The modification time may fall in the same millisecond as the check's: step it.
    {
        QFile f(r.form.FileName);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(QDateTime::currentDateTime().addSecs(5), QFileDevice::FileModificationTime));
    }
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::ImageChanged);
    EXPECT_FALSE(sent(r, 0x7E)) << "a byte of the changed file reached the device";
    EXPECT_LT(r.form.RecordsDone, r.form.RecordsTotal);
    EXPECT_FALSE(r.status1().contains(kComplete));
}

TEST(ImageChangedDuringRun, TruncatedOrReplacedFileNeverCompletes)
{
    const QByteArray content = image(12000);
    for (const char* how : {"truncated", "replaced"}) {
        ImageRun r(content);
        r.form.ProgramFlash_Click();
        r.runUntilRecord(100);
        if (QByteArray(how) == "truncated") {
            QFile f(r.form.FileName);
            ASSERT_TRUE(f.resize(content.size() / 2));
        } else {
            // Written aside and renamed over it, as many editors save: the
            // open file still reads the old bytes, but the name is another file.
            const QString aside = r.form.FileName + ".new";
            QFile f(aside);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(image(12000, 15));
            f.close();
            ASSERT_TRUE(QFile::remove(r.form.FileName));
            ASSERT_TRUE(QFile::rename(aside, r.form.FileName));
        }
        r.runToEnd();
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed) << how;
        EXPECT_TRUE(r.debug().contains(kChanged)) << how;
        EXPECT_FALSE(r.status1().contains(kComplete)) << how;
    }
}

// A faulty record can only be met in a checked image when the file changed:
// the run stops at once, and the faulty record's byte is not sent.
TEST(ImageChangedDuringRun, FaultyRecordMetInACheckedImageStopsTheRunAtOnce)
{
    const QByteArray content = image(12000);
    ImageRun r(content);
    r.form.ProgramFlash_Click();
    r.runUntilRecord(100);
    const int record = static_cast<int>(content.size() / 8);  // its first character at record * 4
    ASSERT_EQ(content.at(record * 4), 'T');
    rewrite(r.form.FileName, record * 4 + 1, "7G", true);
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::ImageChanged);
    EXPECT_EQ(r.form.RecordsDone, record + 1);
    EXPECT_EQ(r.debug().mid(r.debug().size() - 3, 2), (QStringList{"Nib0 not valid: 47", kChanged}));
    EXPECT_FALSE(sent(r, 0x70));
}

// ---------------------------------------------------------------------------
// How a run ended, as the CLI's verdict needs it.

TEST(RunReport, SaysWhereAndWhyARunEnded)
{
    {
        ImageRun r(image(3));
        r.device.answerDelay = 100;  // never in time
        r.form.ProgramFlash_Click();
        r.runToEnd();
        const RunReport& rep = r.form.LastRunReport;
        EXPECT_TRUE(rep.started);
        EXPECT_EQ(rep.cause, FailureCause::NoAnswer);
        EXPECT_EQ(rep.expected, 0x20);
        EXPECT_EQ(rep.record, 17);
        EXPECT_EQ(rep.records, 54);
        EXPECT_EQ(rep.line, 1);
        EXPECT_EQ(rep.column, 65);
        EXPECT_EQ(rep.bytesSent, 16);
        EXPECT_EQ(rep.errorLine, "Error. Read time out.");
        EXPECT_EQ(r.form.phase(), RunPhase::Failed);
    }
    {
        ImageRun r(image(3));
        r.device.reply = {0x91, 0x27};
        r.form.ProgramFlash_Click();
        r.runToEnd();
        const RunReport& rep = r.form.LastRunReport;
        EXPECT_EQ(rep.cause, FailureCause::EntryRejected);
        EXPECT_EQ(rep.replyBytes, 2);
        EXPECT_EQ(rep.reply0, 0x91);
        EXPECT_EQ(rep.reply1, 0x27);
        EXPECT_EQ(rep.record, 0);
        EXPECT_EQ(rep.bytesSent, 0);
        // The last line before "Stop time:", its hints aside.
        EXPECT_EQ(rep.errorLine, "LastByte0 = 91  LastByte1 = 27");
        EXPECT_TRUE(lastOf(r.debug().mid(0, r.debug().size() - 1)).startsWith("Hint: "));
    }
    {
        // The last record: the E record of line 3, which begins with the ":" closing line 2.
        ImageRun r(image(3));
        r.form.ProgramFlash_Click();
        r.runToEnd();
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
        EXPECT_EQ(r.form.LastRunReport.record, 54);
        EXPECT_EQ(r.form.LastRunReport.line, 3);
        EXPECT_EQ(r.form.LastRunReport.column, 70);
        EXPECT_EQ(r.form.LastRunReport.bytesSent, 48);
        EXPECT_TRUE(r.form.LastRunReport.errorLine.isEmpty()) << "nothing went wrong";
        EXPECT_EQ(r.form.phase(), RunPhase::Completed);
    }
}

// A line end after the final ":" makes the length-based count half a record
// too high; a normal end still shows every record done.
TEST(RunEnd, NormalEndShowsAFullCountWhateverTheLengthSaid)
{
    for (const QByteArray& tail : {QByteArray("\r\n"), QByteArray("\n"), QByteArray("\r\n ")}) {
        ImageRun r(workedExample() + tail);
        r.form.ProgramFlash_Click();
        r.runToEnd();
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed) << tail.toHex().constData();
        EXPECT_EQ(r.text(TextId::Text3), "0") << tail.toHex().constData();
        EXPECT_EQ(r.text(TextId::Text4), "7");
        EXPECT_EQ(r.text(TextId::Text5), "100.0 %");
        EXPECT_EQ(r.form.RecordsTotal, 7);
    }
}

// ---------------------------------------------------------------------------
// The image released, not just a valid image: a SHA-256 given with the run
// (flash3-cli --sha256) or published beside the image (IMAGE.sha256).

namespace {

QByteArray sha256Hex(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

const QByteArray kOtherDigest(64, 'a');

} // namespace

namespace {

// A checksum file's text for the image fw.pf3 whose digest is `d`: "{d}" in
// `text` stands for the digest, "{D}" for it in capitals, "{other}" for
// another image's.
struct ChecksumCase {
    const char* name;
    QByteArray text;
    bool found;       // else refused with `problem`
    QString problem;
};

class ChecksumLine : public ::testing::TestWithParam<ChecksumCase> {};

// Each case is reported by its name.
void PrintTo(const ChecksumCase& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace

TEST_P(ChecksumLine, TheLineNamingTheImageGivesItsDigest)
{
    const QByteArray d = sha256Hex("fw");
    const QByteArray text = QByteArray(GetParam().text)
                                .replace("{d}", d)
                                .replace("{D}", d.toUpper())
                                .replace("{d63}", d.left(63))
                                .replace("{other}", kOtherDigest);
    QByteArray digest;
    QString problem;
    const bool ok = digestFromChecksumFile(text, "fw.pf3", &digest, &problem);
    EXPECT_EQ(ok, GetParam().found) << text.constData();
    EXPECT_EQ(digest, GetParam().found ? d : QByteArray()) << text.constData();
    EXPECT_EQ(problem, GetParam().problem) << text.constData();
}

INSTANTIATE_TEST_SUITE_P(
    ChecksumFile, ChecksumLine,
    ::testing::Values(
        ChecksumCase{"AsSha256sumWritesIt", "{d}  fw.pf3\n", true, {}},
        ChecksumCase{"BinaryModeCapitalsNoLineEnd", "{D} *fw.pf3", true, {}},
        ChecksumCase{"MadeElsewhereWithCrLf", "{d}  build/out/fw.pf3\r\n", true, {}},
        ChecksumCase{"AmongCommentsAndOtherImages", "# release 1.2\n\n{other}  other.pf3\n{d}  fw.pf3\n", true, {}},
        ChecksumCase{"TagForm", "SHA256 (fw.pf3) = {d}\n", true, {}},
        ChecksumCase{"MarkedAsEscaped", "\\{d}  fw.pf3\n", true, {}},
        ChecksumCase{"OnlyAnotherImage", "{other}  other.pf3\n", false, "has no line for fw.pf3"},
        ChecksumCase{"Empty", "", false, "has no line for fw.pf3"},
        ChecksumCase{"TwoDigestsForTheImage", "{d}  fw.pf3\n{other}  fw.pf3\n", false,
                     "gives two different digests for fw.pf3"},
        ChecksumCase{"ShortDigestOnLine2", "{d}  fw.pf3\n{d63}  fw.pf3\n", false,
                     "is not as sha256sum writes it (line 2)"},
        ChecksumCase{"TabForTheBlanks", "{d}\tfw.pf3\n", false, "is not as sha256sum writes it (line 1)"},
        ChecksumCase{"NameWithoutDigest", "fw.pf3\n", false, "is not as sha256sum writes it (line 1)"}));

TEST(ImageCheckBeforeRun, PublishedOrGivenDigestMustMatchBeforeAnyByte)
{
    const QByteArray content = image(20);
    const QByteArray actual = sha256Hex(content);
    const auto refusal = [&](const QString& source, const QByteArray& expected) {
        return "** ERROR ** Input file's SHA-256 is " + QString::fromLatin1(actual) + ", but " + source + " gives "
            + QString::fromLatin1(expected) + ". Run not started.";
    };
    // The checksum file beside it matches: said in a hint, the run goes ahead.
    {
        ImageRun r(content);
        r.writeFile("image.pf3.sha256", actual.toUpper() + " *image.pf3\n");
        r.form.RequiredSha256 = QString::fromLatin1(actual.toUpper());
        r.form.ProgramFlash_Click();
        EXPECT_EQ(r.form.ProgramMode, RunMode::SendEntryByte1);
        EXPECT_TRUE(r.debug().contains("Hint: The input file's SHA-256 matches image.pf3.sha256."))
            << r.debug().join('\n');
        EXPECT_TRUE(r.debug().contains("Hint: The input file's SHA-256 matches --sha256."));
        r.runToEnd();
        EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
    }
    // Another digest published, or given: refused, nothing sent, both digests named.
    {
        ImageRun r(content);
        r.writeFile("image.pf3.sha256", kOtherDigest + "  image.pf3\n");
        r.form.ProgramFlash_Click();
        EXPECT_EQ(lastOf(r.debug()), refusal("image.pf3.sha256", kOtherDigest));
        EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::ImageDigestMismatch);
        EXPECT_EQ(r.form.LastRunReport.digestSource, "image.pf3.sha256");
        EXPECT_FALSE(r.form.LastRunReport.started);
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        EXPECT_EQ(r.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
        r.tick(40);
        EXPECT_TRUE(r.backend.written.empty());
    }
    {
        ImageRun r(content);
        r.form.RequiredSha256 = QString::fromLatin1(kOtherDigest);
        r.form.ProgramFlash_Click();
        EXPECT_EQ(lastOf(r.debug()), refusal("--sha256", kOtherDigest));
        r.tick(40);
        EXPECT_TRUE(r.backend.written.empty());
    }
    // Checked on the ticks, a large image is held to the digest all the same.
    {
        const QByteArray large = image(16000);
        ImageRun r(large);
        r.writeFile("image.pf3.sha256", sha256Hex(large.left(large.size() - 1)) + "  image.pf3\n");
        r.form.ProgramFlash_Click();
        ASSERT_EQ(r.form.ProgramMode, RunMode::CheckingImage);
        r.tick(3);
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        EXPECT_TRUE(lastOf(r.debug()).startsWith("** ERROR ** Input file's SHA-256 is "
                                                 + QString::fromLatin1(sha256Hex(large))));
        r.writeFile("image.pf3.sha256", sha256Hex(large) + "  image.pf3\n");
        r.form.ProgramFlash_Click();
        ASSERT_EQ(r.form.ProgramMode, RunMode::CheckingImage);
        r.tick();
        EXPECT_EQ(r.form.ProgramMode, RunMode::SendEntryByte1);
        EXPECT_TRUE(r.backend.written.empty());
    }
}

#ifndef _WIN32  // FIFOs, device nodes, hard links and pseudo-terminals are Unix's
// A checksum file that is there but cannot be used refuses the run and says
// why; a FIFO in its place does not block the click.
TEST(ImageCheckBeforeRun, ChecksumFileThatCannotBeUsedRefusesTheRun)
{
    const QByteArray content = image(4);
    const auto refused = [](ImageRun& r, const QString& problem) {
        r.form.ProgramFlash_Click();
        EXPECT_EQ(lastOf(r.debug()), "** ERROR ** Checksum file image.pf3.sha256 " + problem + ". Run not started.");
        EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::ChecksumFileUnusable);
        EXPECT_EQ(r.form.LastRunReport.digestProblem, problem);
        EXPECT_EQ(r.form.ProgramMode, RunMode::Idle);
        r.tick(40);
        EXPECT_TRUE(r.backend.written.empty()) << problem.toStdString();
    };
    {
        ImageRun r(content);
        r.writeFile("image.pf3.sha256", "not a digest\n");
        refused(r, "is not as sha256sum writes it (line 1)");
    }
    {
        ImageRun r(content);
        r.writeFile("image.pf3.sha256", sha256Hex(content) + "  firmware.pf3\n");
        refused(r, "has no line for image.pf3");
    }
    {
        ImageRun r(content);
        ASSERT_TRUE(QDir().mkdir(r.dir.filePath("image.pf3.sha256")));
        refused(r, "is a directory, not a regular file");
    }
    {
        ImageRun r(content);
        const FifoWithLateWriter fifo(r.dir.filePath("image.pf3.sha256"));
        ASSERT_TRUE(fifo.made());
        refused(r, "is a FIFO, not a regular file");
    }
    {
        ImageRun r(content);
        ASSERT_TRUE(QFile::link(r.dir.filePath("gone.sha256"), r.dir.filePath("image.pf3.sha256")));
        refused(r, "cannot be opened: No such file or directory");
    }
}
#endif

// ---------------------------------------------------------------------------
// A check made already (a station's one reading for all its ports) is taken
// instead of reading the image again, for the very file it checked only; the
// run still compares what it reads with it.

namespace {

std::shared_ptr<const CheckedImage> checkOf(const QString& path)
{
    ImageCheck check;
    EXPECT_TRUE(check.open(path, true));
    check.step(std::numeric_limits<int64_t>::max());
    return std::make_shared<const CheckedImage>(check.result());
}

} // namespace

TEST(ImageCheckMadeAlready, IsTakenWithoutReadingTheImageAgain)
{
    const QByteArray content = image(16000);  // larger than a slice: checked on the ticks otherwise
    ImageRun r(content);
    r.form.useCheckedImage(checkOf(r.form.FileName));
    r.form.ProgramFlash_Click();
    EXPECT_EQ(r.form.ProgramMode, RunMode::SendEntryByte1) << "the image was checked again";
    EXPECT_FALSE(r.debug().join('\n').contains("Checking the input file"));
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Completed);
    // Taken once: the next run checks the file itself.
    r.form.ProgramFlash_Click();
    EXPECT_EQ(r.form.ProgramMode, RunMode::CheckingImage);
}

TEST(ImageCheckMadeAlready, FileWrittenOrReplacedSinceIsCheckedAgain)
{
    QByteArray faulty = image(20);
    faulty[4 * 40 + 1] = 'G';
    const QString fault = "** ERROR ** Input file has 1 faulty record (first at line 3, column 18: Nib1 not valid: "
                          "47). Run not started.";
    // Written in place, larger.
    {
        ImageRun r(image(20));
        r.form.useCheckedImage(checkOf(r.form.FileName));
        r.writeFile("image.pf3", faulty + "T01:");
        r.form.ProgramFlash_Click();
        EXPECT_EQ(lastOf(r.debug()), fault);
        EXPECT_TRUE(r.backend.written.empty());
    }
    // Replaced by another file of the same size and time.
    {
        ImageRun r(image(20));
        const QString path = r.form.FileName;
        r.form.useCheckedImage(checkOf(path));
        const QDateTime time = QFileInfo(path).lastModified();
        const QString aside = r.writeFile("aside.pf3", faulty);
        {
            QFile f(aside);
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            ASSERT_TRUE(f.setFileTime(time, QFileDevice::FileModificationTime));
        }
        ASSERT_TRUE(QFile::remove(path));
        ASSERT_TRUE(QFile::rename(aside, path));
        r.form.ProgramFlash_Click();
        EXPECT_EQ(lastOf(r.debug()), fault);
        EXPECT_TRUE(r.backend.written.empty());
    }
}

// What the run reads is compared with the check it took, as with its own.
TEST(ImageCheckMadeAlready, RunThatReadsOtherBytesThanCheckedFails)
{
    ImageRun r(image(20));
    auto checked = std::make_shared<CheckedImage>(*checkOf(r.form.FileName));
    checked->blake2b = QCryptographicHash::hash("other bytes", QCryptographicHash::Blake2b_256);
    r.form.useCheckedImage(checked);
    r.form.ProgramFlash_Click();
    ASSERT_EQ(r.form.ProgramMode, RunMode::SendEntryByte1);
    r.runToEnd();
    EXPECT_EQ(r.form.LastRunOutcome, RunOutcome::Failed);
    EXPECT_EQ(r.form.LastRunReport.cause, FailureCause::ImageChanged);
    EXPECT_FALSE(r.status1().contains(kComplete));
}
