// Start-up state, the image name taken from the command line, and the logs.

#include "engine_harness.h"

#include "app/startup.h"

using namespace flash3;
using namespace flash3::testing;

TEST(StartUp, DefaultsAfterStartUp)
{
    Engine e;
    const PortDialog& d = e.window().portDialog();
    ASSERT_EQ(d.portList.size(), 100);
    EXPECT_EQ(firstOf(d.portList), "0");
    EXPECT_EQ(d.portList.at(42), "42");
    EXPECT_EQ(lastOf(d.portList), "99");
    EXPECT_EQ(d.portListIndex, 2);
    EXPECT_EQ(d.selectedBaudBtn, 4);
    for (int i = 1; i <= 5; ++i)
        EXPECT_TRUE(d.baudBtnEnabled[i]) << i;
    EXPECT_FALSE(d.visible);
    EXPECT_TRUE(e.status1().isEmpty());
    EXPECT_TRUE(e.debug().isEmpty());
    EXPECT_EQ(e.text(TextId::Text1), "No File Selected.");
    for (TextId id : {TextId::Text2, TextId::Text3, TextId::Text4, TextId::Text5})
        EXPECT_TRUE(e.text(id).isEmpty());
    EXPECT_FALSE(e.window().timer2().enabled);
    EXPECT_EQ(e.window().timer2().interval, 5);
    EXPECT_EQ(e.form.FileMode, 0);
    EXPECT_EQ(e.form.ComPort, 4);
    EXPECT_EQ(e.form.ComSpeed, 4);
    EXPECT_EQ(e.form.TimeoutCount, 36);
    EXPECT_EQ(e.form.RxByte, -1);
    EXPECT_EQ(e.form.RecType.toString(), " ");
    EXPECT_EQ(e.form.RecData.toString(), "  ");
    EXPECT_EQ(e.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
    EXPECT_EQ(e.window().button(ButtonId::AbortProgram).caption, "Exit / Abort");
    EXPECT_EQ(e.window().button(ButtonId::ConfigComPort).caption, "Configure COM port");
    EXPECT_EQ(e.window().button(ButtonId::SelectInputFile).caption, "Select Input File");
}

struct CommandLineCase {
    QStringList args;
    const char* fileName;
    int fileMode;
};

void PrintTo(const CommandLineCase& c, std::ostream* os)
{
    *os << '"' << c.args.join(' ').toStdString() << '"';
}

class CommandLine : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, DerivesFileName)
{
    const CommandLineCase& c = GetParam();
    Engine e;
    MainStartUp(e.form, c.args);
    EXPECT_EQ(e.form.FileName, QString::fromUtf8(c.fileName));
    EXPECT_EQ(e.form.FileMode, c.fileMode);
    EXPECT_EQ(e.text(TextId::Text1), c.fileMode ? QString::fromUtf8(c.fileName) : QStringLiteral("No File Selected."));
    EXPECT_EQ(e.form.CommandLine, c.args.join(' '));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CommandLine,
    ::testing::Values(CommandLineCase{{}, "", 0},
                      CommandLineCase{{"C:\\images\\unit.pf3"}, "C:\\images\\unit.PF3", 1},
                      CommandLineCase{{"unit."}, "unit.PF3", 1},
                      CommandLineCase{{"unit"}, "", 0},
                      CommandLineCase{{"\"unit.pf3\""}, "\"unit.PF3", 1},
                      CommandLineCase{{"my", "unit.bin"}, "my unit.PF3", 1},
                      // The extension is the last dot's: a versioned name stays whole.
                      CommandLineCase{{"unit.tar.gz"}, "unit.tar.PF3", 1},
                      CommandLineCase{{"fw-1.2.3.pf3"}, "fw-1.2.3.PF3", 1},
                      CommandLineCase{{"./fw-1.2/unit"}, "", 0},
                      // A dot in a folder name must not cut the path short.
                      CommandLineCase{{"C:\\rev.b\\unit.pf3"}, "C:\\rev.b\\unit.PF3", 1},
                      CommandLineCase{{"./fw/unit.pf3"}, "./fw/unit.PF3", 1},
                      CommandLineCase{{"/opt/fw.d/unit"}, "", 0}));

// The command line is every argument the process got, those that Qt would
// take as its options included: one meaning for each word the operator typed.
TEST(StartUp, CommandLineIsEveryArgumentAsTheProcessGotIt)
{
    const char* argv[] = {"flash3", "-reverse", "sample.pf3", "m\xc3\xbcller", nullptr};
    EXPECT_EQ(commandLineArguments(3, argv), (QStringList{"-reverse", "sample.pf3"}));
    EXPECT_EQ(commandLineArguments(4, argv), (QStringList{"-reverse", "sample.pf3", QStringLiteral("m\u00fcller")}));
    EXPECT_TRUE(commandLineArguments(1, argv).isEmpty());
    EXPECT_TRUE(commandLineArguments(0, argv).isEmpty());

    Engine e;
    MainStartUp(e.form, commandLineArguments(3, argv));
    EXPECT_EQ(e.form.CommandLine, "-reverse sample.pf3");
    EXPECT_EQ(e.form.FileName, "-reverse sample.PF3");
    EXPECT_EQ(e.form.FileMode, 1);
    EXPECT_EQ(e.text(TextId::Text1), "-reverse sample.PF3");
}

TEST(Logs, Status1KeepsTheNewest1000Lines)
{
    Engine e;
    for (int i = 1; i <= 1001; ++i) {
        e.form.PostMsg1(QString::number(i));
        const LogList& log = e.window().log(LogId::List1);
        ASSERT_EQ(log.currentRow, log.lines.size() - 1);
        ASSERT_FALSE(log.highlighted);
    }
    const LogList& log = e.window().log(LogId::List1);
    EXPECT_EQ(log.lines.size(), 1000);
    EXPECT_EQ(firstOf(log.lines), "2");
    EXPECT_EQ(lastOf(log.lines), "1001");
}

TEST(Logs, DebugKeepsTheNewest300LinesAndClearsEmptyBoth)
{
    Engine e;
    for (int i = 1; i <= 301; ++i)
        e.form.PostMsg2(QString::number(i));
    EXPECT_EQ(e.debug().size(), 300);
    EXPECT_EQ(firstOf(e.debug()), "2");
    e.form.PostMsg1("x");
    e.form.ClearDebug_Click();
    EXPECT_TRUE(e.debug().isEmpty());
    EXPECT_EQ(e.status1(), QStringList{"x"});
    e.form.ClearStatus_Click();
    EXPECT_TRUE(e.status1().isEmpty());
    EXPECT_EQ(e.window().log(LogId::List1).currentRow, -1);
}

// Views are told of each line as it is posted, with what was dropped.
TEST(Logs, ObserverSeesEveryLineWithTrimCount)
{
    struct Recorder : WindowObserver {
        int appended = 0;
        int removed = 0;
        void logAppended(LogId id, const QString&, int r) override
        {
            if (id == LogId::List2) {
                ++appended;
                removed += r;
            }
        }
    } recorder;
    Engine e;
    e.window().addObserver(&recorder);
    for (int i = 0; i < 350; ++i)
        e.form.PostMsg2("line");
    EXPECT_EQ(recorder.appended, 350);
    EXPECT_EQ(recorder.removed, 50);
    e.window().removeObserver(&recorder);
}
