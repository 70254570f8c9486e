// flash3-cli against flash3-sim over a real pseudo-terminal, with the real timer.

#include "process_harness.h"
#include "qt_print.h"
#include "terminal_screen.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <sys/stat.h>

using namespace flash3::testing;

namespace {

QString dataFile(const char* name)
{
    return sourceDir() + QStringLiteral("/data/") + QLatin1String(name);
}

class CliAgainstSim : public ProcessTest {
protected:
    static QStringList cliArgs(const Sim& sim, const QString& image, QStringList extra = {})
    {
        return QStringList{"--quiet", "--port", "2", "--device", sim.device} + extra + QStringList{image};
    }
};

// The closing lines an operator sees after "Exit / Abort".
void expectClosed(const Finished& f)
{
    const QStringList out = f.outLines();
    ASSERT_GE(out.size(), 3);
    EXPECT_EQ(out.at(out.size() - 3), "Input file closed.");
    EXPECT_EQ(out.at(out.size() - 2), "Closed COM port: 2");
    EXPECT_EQ(lastOf(out), "Program terminated.");
}

} // namespace

TEST_F(CliAgainstSim, WorkedExampleProgramsExactlyItsBytes)
{
    const QString image = dataFile("worked-example.pf3");
    Sim sim({image});
    ASSERT_FALSE(sim.device.isEmpty());
    Cli cli(cliArgs(sim, image));
    const Finished f = cli.finish(20000);
    const Finished device = sim.finish();
    EXPECT_EQ(f.exitCode, kCompleted) << f.err.toStdString();

    QStringList expected{"Program Mode = 101", "Program Mode = 102"};
    const QStringList out = f.outLines();
    ASSERT_GE(out.size(), 2 + 36 + 2 + 6 + 1 + 3);
    EXPECT_EQ(out.mid(0, 2), expected);
    int waits = 0;
    while (out.at(2 + waits) == "Program Mode = 103 ... please wait")
        ++waits;
    EXPECT_GE(waits, 37);  // the reply comes in a tick or two after the entry bytes
    EXPECT_LE(waits, 40);
    const QRegularExpression progress("^Processing \\.\\.\\.   (\\d)(          Time: .+)?$");
    const auto p4 = progress.match(out.at(2 + waits));
    const auto p7 = progress.match(out.at(3 + waits));
    ASSERT_TRUE(p4.hasMatch() && p7.hasMatch()) << out.at(2 + waits).toStdString();
    EXPECT_EQ(p4.captured(1), "4");
    EXPECT_FALSE(p4.captured(2).isEmpty());
    EXPECT_EQ(p7.captured(1), "7");
    EXPECT_EQ(out.mid(4 + waits, 6),
              (QStringList{"Completing or Aborting operations.", "----------",
                           "If aborting, cycle interface power before trying again.", "   ", "================",
                           "   "}));
    EXPECT_EQ(out.at(10 + waits), "Processing complete.  Exit this application.");
    expectClosed(f);
    EXPECT_EQ(out.size(), 11 + waits + 3);

    const QStringList err = f.errLines();
    ASSERT_EQ(err.size(), 5);
    EXPECT_EQ(err.at(0), "COM port initialized and opened.");
    EXPECT_EQ(err.at(1), "Starting voDOZUD of KORVEN-7 interface.");
    EXPECT_TRUE(err.at(2).startsWith("Start time:    "));
    EXPECT_TRUE(err.at(3).startsWith("Stop time:    "));
    // The verdict: 7 records read, the 3 T bytes sent (the entry bytes are not the image's).
    EXPECT_TRUE(QRegularExpression("^flash3-cli: completed: 7 records, 3 bytes to COM 2 \\(" +
                                   QRegularExpression::escape(sim.device) + "\\) in 0\\.[2-9] s$")
                    .match(err.at(4))
                    .hasMatch())
        << err.at(4).toStdString();

    // The device saw E1 94 and then exactly the three T bytes, all matching.
    EXPECT_EQ(device.exitCode, 0) << device.err.toStdString();
    EXPECT_TRUE(device.err.contains("received 5 bytes")) << device.err.toStdString();
    EXPECT_TRUE(device.err.contains("matched 3 of 3")) << device.err.toStdString();
}

TEST_F(CliAgainstSim, TwoThousandRecordImageCompletes)
{
    const QString image = sample(111);  // 111 lines of 18 records
    Sim sim({image});
    Cli cli(cliArgs(sim, image, {"--speed", "115.2"}));
    const Finished f = cli.finish(60000);
    const Finished device = sim.finish();
    EXPECT_EQ(f.exitCode, kCompleted) << f.err.toStdString();
    EXPECT_TRUE(f.out.contains("Processing ...   1998"));
    EXPECT_TRUE(f.out.contains("Processing complete.  Exit this application."));
    EXPECT_EQ(device.exitCode, 0) << device.err.toStdString();
}

TEST_F(CliAgainstSim, WrongAnswerFailsTheRun)
{
    const QString image = sample(20);
    Sim sim({"--wrong-answer", "3", image});
    const Finished f = Cli(cliArgs(sim, image)).finish();
    EXPECT_EQ(f.exitCode, kFailed);
    EXPECT_TRUE(f.err.contains(QRegularExpression("Error\\.  Expected = [0-9A-F]+  Read = [0-9A-F]+")));
    EXPECT_FALSE(f.out.contains("Processing complete."));
    expectClosed(f);
    EXPECT_NE(sim.finish().exitCode, 0);
    // The third R record: line 3, after the line's ":" and 16 T records.
    EXPECT_TRUE(QRegularExpression("^flash3-cli: FAILED at line 3, column 66 \\(record 53 of 360\\): the device "
                                   "answered [0-9A-F]+, expected [0-9A-F]+$")
                    .match(lastOf(f.errLines()))
                    .hasMatch())
        << lastOf(f.errLines()).toStdString();
}

TEST_F(CliAgainstSim, MissingAnswerTimesOut)
{
    const QString image = sample(20);
    Sim sim({"--no-answer", "2", image});
    const Finished f = Cli(cliArgs(sim, image)).finish();
    EXPECT_EQ(f.exitCode, kFailed);
    EXPECT_TRUE(f.errLines().contains("Error. Read time out."));
    EXPECT_TRUE(f.out.contains("Processing ...   18"));
    EXPECT_FALSE(f.out.contains("Processing ...   36"));
    EXPECT_TRUE(QRegularExpression("^flash3-cli: FAILED at line 2, column 66 \\(record 35 of 360\\): the device did "
                                   "not answer in time, expected [0-9A-F]+$")
                    .match(lastOf(f.errLines()))
                    .hasMatch())
        << lastOf(f.errLines()).toStdString();
}

TEST_F(CliAgainstSim, UnplugInMidRunEndsTheRunPromptly)
{
    const QString image = sample(100);
    Sim sim({"--unplug-at", "900", image});
    Cli cli(cliArgs(sim, image));
    const Finished f = cli.finish(30000);
    EXPECT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kFailed) << f.err.toStdString();
    EXPECT_FALSE(f.out.contains("Processing complete."));
    EXPECT_TRUE(f.out.endsWith("Program terminated.\n"));
}

TEST_F(CliAgainstSim, InterruptAbortsTheRunAndClosesEverything)
{
    const QString image = sample(2000);
    Sim sim({image});
    Cli cli(cliArgs(sim, image));
    ASSERT_TRUE(cli.waitForOutput("Processing ...   180", 20000));
    cli.signal(SIGINT);
    const Finished f = cli.finishKeepingOutput(5000);
    EXPECT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kInterrupted);
    EXPECT_TRUE(f.out.contains("If aborting, cycle interface power before trying again."));
    EXPECT_FALSE(f.out.contains("Processing complete."));
    expectClosed(f);
    EXPECT_NE(sim.finish().exitCode, 0);
    EXPECT_TRUE(QRegularExpression("^flash3-cli: interrupted at line \\d+, column \\d+ \\(record \\d+ of 36000\\) "
                                   "after \\d+ bytes; the device holds part of the image: cycle its power and flash "
                                   "again$")
                    .match(lastOf(f.errLines()))
                    .hasMatch())
        << lastOf(f.errLines()).toStdString();
}

// Every log line reaches its stream as it is posted, not when a buffer fills
// or the program ends: a slow device gives a line every ~0.1 s, far too few
// bytes to fill a pipe's buffer in the time allowed.
TEST_F(CliAgainstSim, LogLinesAreWrittenAsTheyArePosted)
{
    const QString image = sample(300);
    Sim sim({"--delay", "100", image});
    Cli cli(cliArgs(sim, image));
    ASSERT_TRUE(cli.waitForOutput("Processing ...   18", 8000)) << "the first progress line did not show";
    EXPECT_TRUE(cli.running()) << "the run ended: the line may have come with the exit";
    cli.signal(SIGINT);
    const Finished f = cli.finishKeepingOutput(5000);
    EXPECT_EQ(f.exitCode, kInterrupted);
}

// The log is written through: a run killed outright (SIGKILL: no handler,
// no clean-up) leaves in its log every line it had shown.
TEST_F(CliAgainstSim, KilledRunLeavesInTheLogEveryLineItShowed)
{
    const QString image = sample(300);
    const QString log = dir.filePath("run.log");
    Sim sim({"--delay", "20", image});
    Cli cli(cliArgs(sim, image, {"--log", log}));
    ASSERT_TRUE(cli.waitForOutput("Processing ...   54", 20000));
    cli.signal(SIGKILL);
    const Finished f = cli.finishKeepingOutput(5000);
    ASSERT_TRUE(f.crashed);
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList logged = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    // Each shown line in its log, in the order shown.
    const auto expectLogged = [&](const QStringList& shown, const QString& name) {
        qsizetype at = 0;
        for (const QString& line : shown) {
            const QString entry = " COM2 " + name + ": " + line;
            while (at < logged.size() && !logged[at].endsWith(entry))
                ++at;
            ASSERT_LT(at, logged.size()) << "shown, not logged: " << line.toStdString();
        }
    };
    ASSERT_GT(f.outLines().size(), 40);
    expectLogged(f.outLines(), "Status1");
    expectLogged(f.errLines(), "Debug");
}

// On a terminal the progress bar stays on the last line while the log lines
// scroll above it, and ends at 100 % with the run's time, above the verdict:
// whether the Status1 lines share the terminal or go elsewhere.
TEST_F(CliAgainstSim, ProgressBarStaysOnTheLastLineOfTheTerminal)
{
    const QString image = sample(300);
    const QRegularExpression bar("^\\[[#.]{30}\\] +\\d+/5400 +[0-9.]+ %  ");
    for (const bool stdoutToNull : {false, true}) {
        SCOPED_TRACE(stdoutToNull ? "stdout to /dev/null" : "stdout on the terminal");
        Sim sim({image});
        int samples = 0, shown = 0;
        QStringList last;
        const int status = runOnTerminal(
            buildDir() + "/flash3-cli", {"--port", "2", "--device", sim.device, image}, stdoutToNull, 20,
            [&](const TerminalScreen& screen, bool ended) {
                if (ended) {
                    last = screen.rows();
                } else if (screen.rows().join('\n').contains("Processing ...")
                           || screen.cursorRow().contains(bar)) {
                    ++samples;  // the run is under way
                    shown += screen.cursorRow().contains(bar) ? 1 : 0;
                }
            });
        EXPECT_EQ(status, kCompleted);
        EXPECT_GE(samples, 50);
        EXPECT_GE(shown, samples * 9 / 10) << "the bar was on the last line in " << shown << " of " << samples;
        while (!last.isEmpty() && last.back().isEmpty())
            last.removeLast();
        ASSERT_GE(last.size(), 2);
        EXPECT_TRUE(last.back().startsWith("flash3-cli: completed: 5400 records")) << last.back();
        EXPECT_TRUE(QRegularExpression("^\\[#{30}\\] 5400/5400 100.0 %  in \\d+\\.\\d s$")
                        .match(last[last.size() - 2])
                        .hasMatch())
            << last[last.size() - 2];
    }
}

// One bad hex digit in record 901: refused with nothing sent; with --force the
// reader's own handling (the digit taken as 0) goes to the device, and the
// verdict says so. The device still tells the byte it did not expect.
TEST_F(CliAgainstSim, BadDigitIsRefusedUnlessForcedAndThenWarned)
{
    const QString good = sample(300);
    QFile in(good);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray content = in.readAll();
    ASSERT_EQ(content.at(900 * 4), 'T');
    const char high = content.at(900 * 4 + 1);
    content[900 * 4 + 1] = 'G';
    const QString bad = write("bad.pf3", content);
    const QString refusal = "** ERROR ** Input file has 1 faulty record (first at line 51, column 2: Nib1 not "
                            "valid: 47). Run not started.";
    {
        const QString trace = dir.filePath("line.log");
        Sim sim({"--persist", "--log", trace, good});
        const Finished f = Cli(cliArgs(sim, bad)).finish(20000);
        sim.terminate();
        sim.finish();
        EXPECT_EQ(f.exitCode, kUsage);
        EXPECT_TRUE(f.errLines().contains(refusal)) << f.err.toStdString();
        EXPECT_TRUE(lastOf(f.errLines()).startsWith("flash3-cli: refused: the image has 1 faulty record (first at line "
                                                   "51, column 2: Nib1 not valid: 47); nothing was sent"))
            << lastOf(f.errLines()).toStdString();
        QFile log(trace);
        EXPECT_FALSE(log.open(QIODevice::ReadOnly) && log.readAll().contains(" rx "));
    }
    Sim sim({good});
    const Finished f = Cli(cliArgs(sim, bad, {"--force"})).finish(30000);
    const Finished device = sim.finish();
    EXPECT_EQ(f.exitCode, kCompleted) << f.err.toStdString();
    EXPECT_TRUE(f.errLines().contains("Nib1 not valid: 47"));
    EXPECT_TRUE(lastOf(f.errLines()).startsWith("flash3-cli: completed WITH 1 faulty record (first at line 51, column "
                                               "2: Nib1 not valid: 47) skipped or taken as 0 (--force): 5400 records, "
                                               "4800 bytes to COM 2"))
        << lastOf(f.errLines()).toStdString();
    EXPECT_NE(device.exitCode, 0);
    EXPECT_TRUE(device.err.contains(QStringLiteral("first mismatch at byte 800: expected %1").arg(QChar(high))))
        << device.err.toStdString();
}

// The image released, not just a valid one: a SHA-256 given with --sha256 or
// published beside the image (IMAGE.sha256, as sha256sum writes it) that the
// image does not have refuses the run before the port sees a byte.
TEST_F(CliAgainstSim, ImageWithAnotherSha256ThanGivenOrPublishedIsRefusedUnsent)
{
    const QString image = sample(20);
    QFile in(image);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QString actual = QString::fromLatin1(QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256).toHex());
    const QString other(64, QLatin1Char('0'));
    const QString published = image + ".sha256";
    const QString name = QFileInfo(image).fileName();
    const auto publish = [&](const QString& digest) {
        QFile f(published);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write((digest + "  " + name + "\n").toUtf8());
    };
    {
        const QString trace = dir.filePath("line.log");
        Sim sim({"--persist", "--log", trace, image});
        const Finished given = Cli(cliArgs(sim, image, {"--sha256", other})).finish(20000);
        EXPECT_EQ(given.exitCode, kUsage) << given.err.toStdString();
        EXPECT_TRUE(given.errLines().contains("** ERROR ** Input file's SHA-256 is " + actual + ", but --sha256 gives "
                                              + other + ". Run not started."))
            << given.err.toStdString();
        EXPECT_EQ(lastOf(given.errLines()),
                  "flash3-cli: refused: the image's SHA-256 does not match --sha256; nothing was sent");
        publish(other.toUpper());
        const Finished file = Cli(cliArgs(sim, image)).finish(20000);
        EXPECT_EQ(file.exitCode, kUsage) << file.err.toStdString();
        EXPECT_TRUE(file.errLines().contains("** ERROR ** Input file's SHA-256 is " + actual + ", but " + name
                                             + ".sha256 gives " + other + ". Run not started."))
            << file.err.toStdString();
        EXPECT_EQ(lastOf(file.errLines()),
                  "flash3-cli: refused: the image's SHA-256 does not match " + name + ".sha256; nothing was sent");
        sim.terminate();
        sim.finish();
        QFile log(trace);
        EXPECT_FALSE(log.open(QIODevice::ReadOnly) && log.readAll().contains(" rx ")) << "the device got a byte";
    }
    // The right digest, in any case, given and published: both said, and the image flashed.
    publish(actual);
    Sim sim({image});
    const Finished f = Cli(cliArgs(sim, image, {"--sha256", actual.toUpper()})).finish(20000);
    EXPECT_EQ(f.exitCode, kCompleted) << f.err.toStdString();
    EXPECT_TRUE(f.errLines().contains("Hint: The input file's SHA-256 matches --sha256."));
    EXPECT_TRUE(f.errLines().contains("Hint: The input file's SHA-256 matches " + name + ".sha256."));
    EXPECT_EQ(sim.finish().exitCode, 0);
}

// The image is rewritten in place while it is being flashed: one T byte in the
// middle of a 1 MB image, size and time kept. The run must not end as completed.
TEST_F(CliAgainstSim, ImageRewrittenInPlaceDuringTheRunFailsIt)
{
    QByteArray content;
    for (int line = 0; line < 256; ++line) {
        for (int t = 0; t < 1020; ++t)
            content += "T" + QByteArray::number(0x10 + (line + t) % 0x60, 16).toUpper() + ":";
        content += "R" + QByteArray::number(0x20 + line % 0x50, 16).toUpper() + ":E\r\n:";
    }
    const QString path = write("big.pf3", content);
    Sim sim({path});
    Cli cli(cliArgs(sim, path));
    ASSERT_TRUE(cli.waitForOutput("Processing ...   40880", 30000));  // line 40
    const qint64 offset = qint64(200) * 4088 + 400 * 4;                // line 201, a T record
    ASSERT_EQ(content.at(offset), 'T');
    {
        const QDateTime before = QFileInfo(path).lastModified();
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.seek(offset + 1));
        ASSERT_EQ(f.write("7E"), 2);
        f.close();
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        ASSERT_TRUE(f.setFileTime(before, QFileDevice::FileModificationTime));
    }
    const Finished f = cli.finishKeepingOutput(60000);
    EXPECT_EQ(f.exitCode, kFailed) << f.err.toStdString();
    EXPECT_FALSE(f.out.contains("Processing complete."));
    EXPECT_TRUE(f.errLines().contains(
        "** ERROR ** Input file changed during the run: it is no longer the file that was checked."))
        << f.err.toStdString();
    EXPECT_TRUE(lastOf(f.errLines()).startsWith("flash3-cli: FAILED at line "));
    EXPECT_TRUE(lastOf(f.errLines()).endsWith("the image file changed during the run; what was sent is not what "
                                             "was checked"));
    EXPECT_NE(sim.finish().exitCode, 0);
}

// An environment where COM numbers stand for devices of the test's own: a
// device folder (as /dev) and a user's ports.conf.
struct PortSetUp {
    explicit PortSetUp(const QTemporaryDir& dir)
    {
        QDir().mkpath(dir.filePath("dev/serial/by-id"));
        QDir().mkpath(dir.filePath("config/flash3"));
        env.insert("FLASH3_DEV_DIR", dir.filePath("dev"));
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        confPath = dir.filePath("config/flash3/ports.conf");
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString confPath;
};

// A USB adapter is COM 33 with no set-up at all.
TEST_F(CliAgainstSim, UsbAdapterIsCom33WithNoSetUp)
{
    const QString image = dataFile("worked-example.pf3");
    Sim sim({image});
    PortSetUp ports(dir);
    const QString usb0 = dir.filePath("dev/ttyUSB0");
    ASSERT_TRUE(QFile::link(sim.device, usb0));
    const Finished f = Cli({"--quiet", "-p", "33", image}, ports.env).finish(20000);
    EXPECT_EQ(f.exitCode, kCompleted) << f.err.toStdString();
    EXPECT_TRUE(lastOf(f.errLines()).contains("bytes to COM 33 (" + usb0 + ") in ")) << f.err.toStdString();
    EXPECT_EQ(sim.finish().exitCode, 0);

    // By its path, or by its bare name under the device folder: the number
    // that stands for it, in the lines, the log and the report alike.
    for (const QString& given : {usb0, QStringLiteral("ttyUSB0")}) {
        QFile::remove(usb0);
        Sim again({image});
        ASSERT_TRUE(QFile::link(again.device, usb0));
        const QString log = dir.filePath("run.log"), report = dir.filePath("run.json");
        QFile::remove(log);
        const Finished byPath =
            Cli({"--quiet", "-p", given, "--log", log, "--json", report, image}, ports.env).finish(20000);
        EXPECT_EQ(byPath.exitCode, kCompleted) << given.toStdString() << "\n" << byPath.err.toStdString();
        EXPECT_TRUE(lastOf(byPath.errLines()).contains("bytes to COM 33 (" + usb0 + ") in ")) << byPath.err.toStdString();
        QFile logFile(log), reportFile(report);
        ASSERT_TRUE(logFile.open(QIODevice::ReadOnly));
        ASSERT_TRUE(reportFile.open(QIODevice::ReadOnly));
        const QString logText = QString::fromUtf8(logFile.readAll());
        EXPECT_TRUE(logText.contains("COM 33")) << logText.toStdString();
        EXPECT_FALSE(logText.contains("COM 2 ")) << logText.toStdString();
        EXPECT_TRUE(reportFile.readAll().contains("\"com\": 33")) << given.toStdString();
        EXPECT_EQ(again.finish().exitCode, 0);
    }
}

TEST_F(CliAgainstSim, ListPortsNamesWhatIsThereAndWhatIsMissing)
{
    Sim sim({"--persist"});
    PortSetUp ports(dir);
    const QString usb0 = dir.filePath("dev/ttyUSB0");
    ASSERT_TRUE(QFile::link(sim.device, usb0));
    ASSERT_TRUE(QFile::link(sim.device, dir.filePath("dev/serial/by-id/usb-Maker_Adapter_123-if00")));
    {
        QFile conf(ports.confPath);
        ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
        conf.write("COM97=" + QFile::encodeName(sim.device) + "\nCOM98=/nonexistent/flash3-tty\nCOM 99\n");
    }
    const Finished f = Cli({"--list-ports", "--json"}, ports.env).finish(10000);
    EXPECT_EQ(f.exitCode, kCompleted);
    EXPECT_EQ(f.errLines(), QStringList{"flash3-cli: " + ports.confPath +
                                        ":3: not COM<N>=PATH: \"COM 99\"; line ignored"});
    const QJsonArray list = QJsonDocument::fromJson(f.out.toUtf8()).array();
    ASSERT_FALSE(list.isEmpty()) << f.out.toStdString();
    QJsonObject adapter, missing;
    for (const QJsonValue& v : list) {
        const QJsonObject o = v.toObject();
        if (o.value("com").toArray().contains(33))
            adapter = o;
        if (o.value("com").toArray().contains(98))
            missing = o;
    }
    EXPECT_EQ(adapter.value("com").toArray(), (QJsonArray{33, 97}));
    EXPECT_TRUE(adapter.value("present").toBool());
    EXPECT_EQ(adapter.value("byId").toString(), dir.filePath("dev/serial/by-id/usb-Maker_Adapter_123-if00"));
    EXPECT_EQ(missing.value("device").toString(), "/nonexistent/flash3-tty");
    EXPECT_FALSE(missing.value("present").toBool());
    EXPECT_EQ(missing.value("binding").toString(), ports.confPath + " line 2");

    const Finished text = Cli({"--list-ports"}, ports.env).finish(10000);
    EXPECT_TRUE(text.out.contains(QRegularExpression("COM33,COM97 +" + QRegularExpression::escape(usb0) + " +" +
                                                     QRegularExpression::escape(dir.filePath("dev/serial/by-id/")))))
        << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("MISSING (bound by " + ports.confPath + " line 2)")) << text.out.toStdString();
}

// No device behind the number: the hints say what the number stands for,
// what is there, and how to bind another device.
TEST_F(CliAgainstSim, MissingDeviceGetsHintsThatSayWhatToDo)
{
    const QString image = dataFile("worked-example.pf3");
    Sim sim({"--persist"});
    PortSetUp ports(dir);
    ASSERT_TRUE(QFile::link(sim.device, dir.filePath("dev/ttyUSB1")));
    const Finished f = Cli({"--quiet", "-p", "COM33", image}, ports.env).finish(10000);
    EXPECT_EQ(f.exitCode, kUsage);
    const QStringList err = f.errLines();
    ASSERT_GE(err.size(), 5) << f.err.toStdString();
    EXPECT_EQ(err.at(0), "Error initializing COM port#: 33  error code: 1");
    EXPECT_EQ(err.at(1), "Hint: COM 33 stands for " + dir.filePath("dev/ttyUSB0") + " (default), which is not there.");
    // The ports present, each by the option that reaches it.
    // (Ports of the machine outside the test's device folder may follow, by path.)
    EXPECT_TRUE(err.at(2).contains(QRegularExpression(
        "^Hint: Ports present: COM 34 \\(" + QRegularExpression::escape(dir.filePath("dev/ttyUSB1"))
        + "\\)(, [^ ]+)*: run with -p 34( or -p [^ ]+|, -p [^ ]+)*\\.$")))
        << err.at(2).toStdString();
    EXPECT_EQ(err.at(3), "Hint: To use another device as COM 33: FLASH3_COM33=PATH in the environment, a line "
                         "COM33=PATH in ~/.config/flash3/ports.conf, or flash3-cli --device PATH.");

    // A ports.conf that is a FIFO is neither waited on nor passed over in
    // silence: the run says so before the port's hints, as for a bad line.
    ASSERT_EQ(::mkfifo(QFile::encodeName(ports.confPath).constData(), 0600), 0);
    const Finished fifo = Cli({"--quiet", "-p", "COM33", image}, ports.env).finish(10000);
    EXPECT_FALSE(fifo.timedOut);
    EXPECT_EQ(fifo.exitCode, kUsage);
    EXPECT_EQ(fifo.errLines().value(0), "Hint: " + ports.confPath + ": is a FIFO, not a regular file; file ignored")
        << fifo.err.toStdString();
    EXPECT_EQ(fifo.errLines().value(1), "Error initializing COM port#: 33  error code: 1");
    const Finished list = Cli({"--list-ports"}, ports.env).finish(10000);
    EXPECT_EQ(list.errLines(),
              QStringList{"flash3-cli: " + ports.confPath + ": is a FIFO, not a regular file; file ignored"});
}

TEST_F(CliAgainstSim, BadInputsGetAClearMessageAndStatus)
{
    struct Case {
        QString image;
        QString device;
        int status;
        QString line;  // expected on stderr
        QString why;   // the image cannot be opened: the reason its hint and verdict give
    };
    QByteArray noise(1001, '\0');
    QRandomGenerator rng(7);
    for (char& c : noise)
        c = static_cast<char>(rng.bounded(256));
    Sim sim({"--persist"});
    const QString missing = dir.filePath("missing.pf3");
    // Only a regular file is an image: a FIFO (or a pipe, as <(cat fw.pf3)
    // gives) must not block the open, a device must not be read for ever.
    const QString fifo = dir.filePath("fifo.pf3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString notRegular = ", not a regular file";
    const QList<Case> cases{
        {missing, sim.device, kUsage, "** ERROR ** Cannot open input file: " + missing,
         "cannot be opened: No such file or directory"},
        {dir.path(), sim.device, kUsage, "** ERROR ** Cannot open input file: " + dir.path(),
         "is a directory" + notRegular},
        {fifo, sim.device, kUsage, "** ERROR ** Cannot open input file: " + fifo, "is a FIFO" + notRegular},
        {"/dev/stdin", sim.device, kUsage, "** ERROR ** Cannot open input file: /dev/stdin", "is a FIFO" + notRegular},
        {"/dev/zero", sim.device, kUsage, "** ERROR ** Cannot open input file: /dev/zero",
         "is a character device" + notRegular},
        {write("empty.pf3", ""), sim.device, kUsage, "** ERROR ** Input file holds no records.", {}},
        {write("two.pf3", "T4"), sim.device, kUsage, "** ERROR ** Input file holds no records.", {}},
        {dataFile("worked-example.pf3"), dir.filePath("no-such-tty"), kUsage,
         "Error initializing COM port#: 2  error code: 1", {}},
        {write("noise.pf3", noise), sim.device, kUsage, "", {}},
    };
    for (const Case& c : cases) {
        const Finished f = Cli({"--quiet", "--port", "2", "--device", c.device, c.image}).finish(30000);
        EXPECT_FALSE(f.crashed) << c.image.toStdString();
        EXPECT_FALSE(f.timedOut) << c.image.toStdString();
        EXPECT_EQ(f.exitCode, c.status) << c.image.toStdString() << "\n" << f.err.toStdString();
        if (!c.line.isEmpty()) {
            EXPECT_TRUE(f.errLines().contains(c.line)) << f.err.toStdString();
        }
        if (!c.why.isEmpty()) {
            const QStringList err = f.errLines();
            EXPECT_EQ(err.mid(err.indexOf(c.line) + 1, 1), QStringList{"Hint: The input file " + c.why + "."})
                << f.err.toStdString();
            EXPECT_EQ(lastOf(err), "flash3-cli: refused: the image '" + c.image + "' " + c.why + "; nothing was sent");
        }
        EXPECT_FALSE(f.out.contains("Processing complete.")) << c.image.toStdString();
        EXPECT_FALSE(f.out.contains("Program Mode")) << c.image.toStdString();
        EXPECT_TRUE(f.out.endsWith("Program terminated.\n")) << c.image.toStdString();
        ASSERT_FALSE(f.errLines().isEmpty());
        EXPECT_TRUE(lastOf(f.errLines()).startsWith("flash3-cli: refused: ")) << f.err.toStdString();
    }
}

// Both the image and the port are missing: the image is what the operator hears about.
TEST_F(CliAgainstSim, MissingImageIsReportedBeforeAMissingPort)
{
    const QString image = dir.filePath("missing.pf3");
    const Finished f = Cli({"--quiet", "--device", dir.filePath("no-such-tty"), image}).finish(10000);
    EXPECT_EQ(f.exitCode, kUsage);
    EXPECT_EQ(f.errLines(), (QStringList{"** ERROR ** Cannot open input file: " + image,
                                         "Hint: The input file cannot be opened: No such file or directory.",
                                         "flash3-cli: refused: the image '" + image +
                                             "' cannot be opened: No such file or directory; nothing was sent"}));
}

TEST(CliUsage, BadOptionsAreUsageErrors)
{
    for (const QStringList& args : QList<QStringList>{{},
                                                      {"--port", "0", "x.pf3"},
                                                      {"--port", "100", "x.pf3"},
                                                      {"--speed", "56", "x.pf3"},
                                                      {"--bogus", "x.pf3"},
                                                      {"a.pf3", "b.pf3"},
                                                      {"--sha256", QString(63, 'a'), "x.pf3"},
                                                      {"--sha256", QString(64, 'g'), "x.pf3"},
                                                      {"--check", "--sha256", QString(64, 'a'), "x.pf3"},
                                                      {"--port"},
                                                      {"--prot", "3", "x.pf3"},
                                                      {"--timeout", "5", "--timeout", "6", "x.pf3"},
                                                      {"-s", "9.6", "-s", "19.2", "x.pf3"},
                                                      {"--log", "a.log", "--log", "b.log", "x.pf3"},
                                                      {"--json", "a.json", "--json", "b.json", "x.pf3"},
                                                      {"-p", "no-such-device-name", "x.pf3"}}) {
        const Finished f = Cli(args).finish(10000);
        EXPECT_EQ(f.exitCode, kUsage) << args.join(' ').toStdString();
        EXPECT_TRUE(f.err.startsWith("flash3-cli: ")) << f.err.toStdString();
        EXPECT_TRUE(f.out.isEmpty());
    }
    // The slip named, with what was likely meant.
    EXPECT_EQ(Cli({"--prot", "3", "x.pf3"}).finish(10000).errLines().value(0),
              "flash3-cli: unknown option 'prot'; did you mean --port?");
    EXPECT_EQ(Cli({"-s", "9.6", "--speed", "9600", "x.pf3"}).finish(10000).errLines().value(0),
              "flash3-cli: --speed is given more than once");
    const Finished help = Cli({"--help"}).finish(10000);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("--list-ports"));
    const Finished version = Cli({"--version"}).finish(10000);
    EXPECT_EQ(version.out, "flash3-cli 1.3.0\n");
}

TEST(CliCheck, ReportsFaultsWithLineAndColumn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("bad.pf3");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("T41:t41:T4g;E\r\n:Ta1:R  :E\n\r:T4");
    }
    const Finished f = Cli({"--check", path}).finish(10000);
    EXPECT_EQ(f.exitCode, kFailed);
    EXPECT_EQ(f.outLines(), (QStringList{path + ":1:5: Invalid packet read from input file.  t41:",
                                         path + ":1:9: Char4 not a :",
                                         path + ":2:2: Nib1 not valid: 61 ('a')",
                                         path + ":2:6: Nib1 not valid: 20 (' ')",
                                         path + ":2:6: Nib0 not valid: 20 (' ')",
                                         path + ":2:10: Error. Expected <cr> <lf> not found.",
                                         path + ":3:3: Error. Incomplete record at end of input file.",
                                         path + ": 7 records (2 T, 1 R, 2 E), 30 bytes; 7 faults: do not flash"}));
    const Finished clean = Cli({"--check", dataFile("worked-example.pf3")}).finish(10000);
    EXPECT_EQ(clean.exitCode, 0);
    EXPECT_TRUE(clean.out.endsWith("7 records (3 T, 2 R, 2 E), 28 bytes; clean\n"));
    {
        QFile one(path);
        ASSERT_TRUE(one.open(QIODevice::WriteOnly | QIODevice::Truncate));
        one.write("T41:T4G:");
    }
    const Finished single = Cli({"--check", path}).finish(10000);
    EXPECT_TRUE(single.out.endsWith("2 records (2 T, 0 R, 0 E), 8 bytes; 1 fault: do not flash\n")) << single.out.toStdString();
    // Line ends converted to CR alone (old Mac tools): said once, the rest judged as CR LF.
    {
        QFile cr(path);
        ASSERT_TRUE(cr.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cr.write("T41:T00:R41:E\r:T42:R2A:E\r:T4x:");
    }
    const Finished crOnly = Cli({"--check", path}).finish(10000);
    const QStringList crLines = crOnly.outLines();
    ASSERT_EQ(crLines.size(), 3) << crOnly.out.toStdString();
    EXPECT_TRUE(crLines.at(0).startsWith(path + ":1:14: Line ends are CR only, not CR LF: ")) << crLines.at(0).toStdString();
    EXPECT_EQ(crLines.at(1), path + ":3:2: Nib0 not valid: 78 ('x')");
    const Finished missing = Cli({"--check", dir.filePath("nope.pf3")}).finish(10000);
    EXPECT_EQ(missing.exitCode, kUsage);
}
