// "Select Input File" with the dialog replaced, and how an image name is found.

#include "engine_harness.h"

#include <QDir>

using namespace flash3;
using namespace flash3::testing;

namespace {
struct Selection : Engine {
    // The dialog answers with `answer` (nothing: cancelled) and records its settings.
    void select(std::optional<QString> answer)
    {
        form.showOpenDialog = [this, answer](const FileDialogSettings& s) {
            asked = s;
            return answer;
        };
        form.SelectInputFile_Click();
    }
    FileDialogSettings asked;
};
} // namespace

TEST(FileSelection, ChoosingAFileOpensItAndShowsItsCount)
{
    Selection e;
    const QString path = e.writeFile("fw.pf3", QByteArray(4000, 'T'));
    e.select(path);
    EXPECT_EQ(e.text(TextId::Text1), path);
    EXPECT_EQ(e.form.FileMode, 1);
    EXPECT_TRUE(e.form.ImageFile.isOpen());
    EXPECT_EQ(e.text(TextId::Text3), "1000");
    EXPECT_EQ(e.text(TextId::Text4), "0");
    EXPECT_EQ(e.text(TextId::Text5), "0.0 %");
    EXPECT_TRUE(e.debug().isEmpty());
    // The dialog is set up afresh with the folder of the moment.
    EXPECT_EQ(e.asked.initialName, "*.pf3");
    EXPECT_EQ(e.asked.filter, "PF3 Files (*.pf3)");
    EXPECT_EQ(e.asked.defaultSuffix, "pf3");
    EXPECT_EQ(e.asked.folder, QDir::currentPath());
    EXPECT_FALSE(e.asked.fileMustExist);

    // The same file again, grown on disk: counted anew.
    e.writeFile("fw.pf3", QByteArray(14, 'T'));
    e.select(path);
    EXPECT_EQ(e.text(TextId::Text3), "4");
}

TEST(FileSelection, CancelDropsTheChoiceButKeepsTheCounts)
{
    Selection e;
    e.select(e.writeFile("fw.pf3", QByteArray(40, 'T')));
    e.select(std::nullopt);
    EXPECT_EQ(lastOf(e.debug()), "Input file selection cancelled.");
    EXPECT_EQ(e.form.FileMode, 0);
    EXPECT_TRUE(e.form.FileName.isEmpty());
    EXPECT_TRUE(e.text(TextId::Text1).isEmpty());
    EXPECT_FALSE(e.form.ImageFile.isOpen());
    EXPECT_EQ(e.text(TextId::Text3), "10");
    e.openPort();
    e.form.ProgramFlash_Click();
    EXPECT_EQ(lastOf(e.debug()), "** ERROR ** Select an input file.");
}

#ifndef _WIN32  // FIFOs, device nodes, hard links and pseudo-terminals are Unix's
TEST(FileSelection, EmptyNameAndUnopenableFiles)
{
    Selection e;
    e.select(QString());
    EXPECT_EQ(lastOf(e.status1()), "No input file selected.");
    EXPECT_EQ(e.form.FileMode, 0);

    // Dropped with the reason; a FIFO does not keep the dialog's choice waiting.
    const QString fifo = e.dir.filePath("fifo.pf3");
    const FifoWithLateWriter writer(fifo);
    ASSERT_TRUE(writer.made());
    const QList<std::pair<QString, QString>> cases{
        {e.dir.filePath("missing.pf3"), "cannot be opened: No such file or directory"},
        {e.dir.path(), "is a directory, not a regular file"},
        {fifo, "is a FIFO, not a regular file"},
    };
    for (const auto& [path, why] : cases) {
        e.select(path);
        EXPECT_EQ(e.debug().mid(e.debug().size() - 2),
                  (QStringList{"Input file selection cancelled.", "Hint: The input file " + why + "."}));
        EXPECT_EQ(e.form.FileName, path);
        EXPECT_EQ(e.form.FileMode, 0);
        EXPECT_TRUE(e.text(TextId::Text1).isEmpty());
        EXPECT_FALSE(e.form.ImageFile.isOpen());
    }
}
#endif

TEST(FileSelection, FileWithoutRecordsStaysChosenButCannotRun)
{
    Selection e;
    const QString path = e.writeFile("tiny.pf3", "T4");
    e.select(path);
    EXPECT_EQ(lastOf(e.debug()), "Input file selection cancelled.");
    EXPECT_EQ(e.form.FileMode, 1);
    EXPECT_TRUE(e.form.ImageFile.isOpen());
    EXPECT_EQ(e.text(TextId::Text1), path);
    EXPECT_EQ(e.text(TextId::Text3), "0");
    EXPECT_EQ(e.text(TextId::Text4), "0");
    // No fraction of 0 records: the percentage keeps its earlier text, empty at start-up.
    EXPECT_EQ(e.text(TextId::Text5), "");

    // After a complete run the counts go to 0 and the percentage stays.
    e.select(e.writeFile("unit.pf3", workedExample()));
    e.openPort();
    {
        DeviceModel device(e.backend, workedExample());
        e.form.ProgramFlash_Click();
        e.runToEnd();
    }
    ASSERT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
    ASSERT_EQ(e.text(TextId::Text5), "100.0 %");
    e.select(path);
    EXPECT_EQ(lastOf(e.debug()), "Input file selection cancelled.");
    EXPECT_EQ(e.text(TextId::Text3), "0");
    EXPECT_EQ(e.text(TextId::Text4), "0");
    EXPECT_EQ(e.text(TextId::Text5), "100.0 %");
    EXPECT_EQ(e.form.FractionDone, 1.0f);
    EXPECT_EQ(e.form.RecordsTotal, 0);
    EXPECT_EQ(e.form.RecordsDone, 0);
    EXPECT_EQ(e.form.RecordsLeft, 0);
    e.form.ProgramFlash_Click();
    EXPECT_EQ(lastOf(e.debug()), "** ERROR ** Input file holds no records.");
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
}

// A name derived from the command line ends in ".PF3"; on a case-sensitive
// file system the file is usually written ".pf3".
TEST(ImageName, UpperCaseExtensionFindsTheFileOfAnyCase)
{
    QTemporaryDir dir;
    const auto touch = [&](const QString& name) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("T41:");
    };
    touch("unit.pf3");
    EXPECT_EQ(ImageFileHandle::resolvePath(dir.filePath("unit.PF3")), dir.filePath("unit.pf3"));
    touch("other.Pf3");
    EXPECT_EQ(ImageFileHandle::resolvePath(dir.filePath("other.PF3")), dir.filePath("other.Pf3"));
    // An existing ".PF3" file is taken as it is; other names are never rewritten.
    touch("exact.PF3");
    touch("exact.pf3");
    EXPECT_EQ(ImageFileHandle::resolvePath(dir.filePath("exact.PF3")), dir.filePath("exact.PF3"));
    EXPECT_EQ(ImageFileHandle::resolvePath(dir.filePath("unit.Pf3")), dir.filePath("unit.Pf3"));
    EXPECT_EQ(ImageFileHandle::resolvePath(dir.filePath("Unit.PF3")), dir.filePath("Unit.PF3"));
    EXPECT_EQ(ImageFileHandle::resolvePath(dir.filePath("none.PF3")), dir.filePath("none.PF3"));
    // Several spellings: the all-lower-case one, as most tools write it (it sorts last).
    touch("both.Pf3");
    touch("both.pF3");
    touch("both.pf3");
    EXPECT_EQ(ImageFileHandle::resolvePath(dir.filePath("both.PF3")), dir.filePath("both.pf3"));

    // A run started from such a name reads the file.
    Engine e;
    DeviceModel device(e.backend, "T41:");
    MainStartUp(e.form, {dir.filePath("unit.pf3")});
    EXPECT_EQ(e.form.FileName, dir.filePath("unit.PF3"));
    e.openPort();
    e.form.ProgramFlash_Click();
    e.runToEnd();
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(e.text(TextId::Text1), dir.filePath("unit.PF3"));
}

// An image too large for the counters: the dialog's choice is dropped, and the
// operator is told why before being told the selection was cancelled.
TEST(FileSelection, TooLargeImageIsRefusedWithItsReason)
{
    Selection e;
    const QString path = e.dir.filePath("huge.pf3");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(int64_t{8} << 30));  // sparse
    }
    e.select(path);
    EXPECT_EQ(e.debug(), (QStringList{"** ERROR ** Input file too large (more than 2147483647 records): " + path,
                                      "Input file selection cancelled."}));
    EXPECT_EQ(e.form.FileMode, 0);
    EXPECT_FALSE(e.form.ImageFile.isOpen());
    EXPECT_EQ(e.text(TextId::Text1), "");
}
