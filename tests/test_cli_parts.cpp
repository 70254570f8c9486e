// Parts of flash3-cli that a run reaches only at its edges: the progress bar
// at its limits, the words of the verdict line, the port choices of the
// command line, the station's table, closing lines and exit status, and the
// report's account of a port.

#include "cli.h"
#include "json_report.h"
#include "options.h"
#include "port_result.h"
#include "port_run.h"
#include "progress_bar.h"
#include "station.h"
#include "station_view.h"
#include "verdict.h"

#include "ports/port_map.h"

#include "qt_print.h"

#ifndef _WIN32
#include <fcntl.h>
#endif

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <variant>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#endif

using namespace flash3;
using namespace flash3::cli;

namespace {

// The bar's text for a count.
std::string drawn(long long done, long long total)
{
    return ProgressBar().text(done, total).toStdString();
}

} // namespace

namespace {

struct BarCase {
    long long done, total;
    int filled;
    const char* percent;
};

class ProgressBarAt : public ::testing::TestWithParam<BarCase> {};

// Each case is reported by its name.
void PrintTo(const BarCase& c, std::ostream* os)
{
    *os << c.done << "Of" << c.total;
}

} // namespace

TEST_P(ProgressBarAt, StaysWithinItsWidthFromNothingToEverything)
{
    const BarCase& c = GetParam();
    const QRegularExpression shape("^\\r\\[([#.]*)\\] (\\d+)/(\\d+) +([0-9.]+ %)  ");
    const QString text = QString::fromStdString(drawn(c.done, c.total));
    const auto m = shape.match(text);
    ASSERT_TRUE(m.hasMatch()) << text.toStdString();
    EXPECT_EQ(m.captured(1).size(), 30);
    EXPECT_EQ(m.captured(1).count('#'), c.filled);
    EXPECT_EQ(" " + m.captured(4), QString(" ") + QString::fromLatin1(c.percent).trimmed());
}

INSTANTIATE_TEST_SUITE_P(Counts, ProgressBarAt,
                         ::testing::Values(BarCase{0, 1000, 0, "  0.0 %"}, BarCase{1, 1000, 0, "  0.1 %"},
                                           BarCase{999, 1000, 29, " 99.9 %"}, BarCase{1000, 1000, 30, "100.0 %"},
                                           BarCase{0, 0, 0, "  0.0 %"}, BarCase{5, 0, 0, "  0.0 %"}));

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
    VerdictContext percent = c;  // a device path is the user's text: "%1" in it stays as it is
    percent.devicePath = "/dev/serial/by-id/usb-lot%1-if00";
    EXPECT_EQ(verdictLine(RunOutcome::Completed, one, percent),
              "flash3-cli: completed: 1 record, 1 byte to COM 2 (/dev/serial/by-id/usb-lot%1-if00) in 3.2 s");

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
    // Bytes are two hex digits, as the report writes them.
    f.expected = 0x02;
    f.received = 0x0A;
    f.cause = FailureCause::WrongAnswer;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, f, c),
              "flash3-cli: FAILED at line 70, column 34 (record 901 of 5400): the device answered 0A, expected 02");
    f.cause = FailureCause::NoAnswer;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, f, c),
              "flash3-cli: FAILED at line 70, column 34 (record 901 of 5400): the device did not answer in time, "
              "expected 02");

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
    refused.cause = FailureCause::ChecksumFileUnusable;
    refused.digestSource = "fw.pf3.sha256";
    refused.digestProblem = "has no line for fw.pf3";
    EXPECT_EQ(verdictLine(RunOutcome::Failed, refused, c),
              "flash3-cli: refused: the checksum file fw.pf3.sha256 has no line for fw.pf3; nothing was sent");
    // Converted line ends: how to put CR LF back (never --force), with the
    // count --check gives; a name that is no plain shell word is quoted.
    RunReport converted;
    converted.cause = FailureCause::ImageFaults;
    converted.faultyRecords = 4050;
    converted.lineEndsConverted = true;
    VerdictContext lf = c;
    lf.lineEnds = "LF";
    lf.checkFaults = 1;
    EXPECT_EQ(verdictLine(RunOutcome::Failed, converted, lf),
              "flash3-cli: refused: the image's line ends are LF alone, not CR LF (converted by an editor or a "
              "text-mode file transfer); --check finds 1 fault; nothing was sent. Restore CR LF with "
              "sed -i 's/$/\\r/' fw.pf3 (or unix2dos fw.pf3), or flash the original file");
    VerdictContext cr = lf;
    cr.lineEnds = "CR";
    cr.checkFaults = 2;
    cr.image = "my fw's.pf3";
    EXPECT_EQ(verdictLine(RunOutcome::Failed, converted, cr),
              "flash3-cli: refused: the image's line ends are CR alone, not CR LF (converted by an editor or a "
              "text-mode file transfer); --check finds 2 faults; nothing was sent. Restore CR LF with "
              "sed -i 's/\\r/\\r\\n/g' 'my fw'\\''s.pf3' (or mac2unix 'my fw'\\''s.pf3' && unix2dos "
              "'my fw'\\''s.pf3'), or flash the original file");
    VerdictContext port = c;
    port.portFailed = true;
    EXPECT_EQ(verdictLine(RunOutcome::None, RunReport(), port),
              "flash3-cli: refused: cannot open COM 2 (/dev/ttyUSB0); nothing was sent");
    port.comPort = 99;
    port.devicePath.clear();
    EXPECT_EQ(verdictLine(RunOutcome::None, RunReport(), port),
              "flash3-cli: refused: cannot open COM 99 (it stands for no device); nothing was sent");

    VerdictContext stopped = c;
    stopped.interrupted = true;
    EXPECT_EQ(verdictLine(RunOutcome::Aborted, RunReport(), stopped),
              "flash3-cli: interrupted before the first image byte was sent");
    f.bytesSent = 800;
    EXPECT_EQ(verdictLine(RunOutcome::Aborted, f, stopped),
              "flash3-cli: interrupted at line 70, column 34 (record 901 of 5400) after 800 bytes; the device holds "
              "part of the image: cycle its power and flash again");
}

namespace {

// The ports a command line asks for, or the usage error's status.
std::variant<Options, int> parse(QStringList args)
{
    return parseOptions(QStringList{"flash3-cli"} + args);
}

QList<int> comsOf(const std::variant<Options, int>& parsed)
{
    QList<int> coms;
    if (const Options* o = std::get_if<Options>(&parsed))
        for (const PortChoice& p : o->ports)
            coms << p.com;
    return coms;
}

// Port choices resolved against a device folder of the test's own.
class CliPorts : public ::testing::Test {
protected:
    void SetUp() override
    {
        setPortMapPathsForTesting(PortMapPaths{folder.filePath("dev"), folder.filePath("user.conf"),
                                               folder.filePath("etc.conf")});
    }
    void TearDown() override { setPortMapPathsForTesting(std::nullopt); }
    QTemporaryDir folder;
};

} // namespace

TEST_F(CliPorts, RepeatedPortsAndRangesMakeAStation)
{
    EXPECT_EQ(comsOf(parse({"-p", "33", "-p", "34", "-p", "40-47", "x.pf3"})),
              (QList<int>{33, 34, 40, 41, 42, 43, 44, 45, 46, 47}));
    EXPECT_EQ(comsOf(parse({"-p", "com5-COM7", "x.pf3"})), (QList<int>{5, 6, 7}));
    EXPECT_EQ(comsOf(parse({"-p", "9-9", "x.pf3"})), QList<int>{9});
    const auto one = parse({"x.pf3"});
    ASSERT_TRUE(std::holds_alternative<Options>(one));
    EXPECT_FALSE(std::get<Options>(one).station());
    EXPECT_EQ(comsOf(one), QList<int>{2}) << "no --port: COM 2, as always";

    // Each port once, numbers in range, ranges forwards, --device for one port only.
    for (const QStringList& bad : {QStringList{"-p", "33", "-p", "33"}, QStringList{"-p", "30-35", "-p", "34"},
                                   QStringList{"-p", "47-40"}, QStringList{"-p", "98-100"}, QStringList{"-p", "0-3"},
                                   QStringList{"-p", "33", "-p", "34", "-d", "/dev/ttyUSB9"},
                                   QStringList{"-p", "/tmp/a", "-p", "/tmp/a"}})
        EXPECT_TRUE(std::holds_alternative<int>(parse(bad + QStringList{"x.pf3"}))) << bad.join(' ');
}

TEST_F(CliPorts, DevicePathsInAStationGetTheirOwnComNumber)
{
    const QString usb3 = folder.filePath("dev/ttyUSB3");
    const auto parsed = parse({"-p", "99", "-p", "/tmp/elsewhere/a", "-p", usb3, "-p", "/tmp/elsewhere/b", "x.pf3"});
    ASSERT_TRUE(std::holds_alternative<Options>(parsed));
    const QList<PortChoice> ports = std::get<Options>(parsed).ports;
    ASSERT_EQ(ports.size(), 4);
    EXPECT_EQ(ports[2].com, 36) << "the number that stands for the device already";
    // Others: free numbers from 99 down, never one given on the command line.
    EXPECT_EQ(ports[1].com, 98);
    EXPECT_EQ(ports[3].com, 97);
    EXPECT_EQ(ports[1].device, "/tmp/elsewhere/a");

    // One device path alone: the number that stands for it, else COM 2 as
    // when no port is given.
    EXPECT_EQ(comsOf(parse({"-p", "/tmp/elsewhere/a", "x.pf3"})), QList<int>{2});
    EXPECT_EQ(comsOf(parse({"-p", usb3, "x.pf3"})), QList<int>{36});
    qputenv("FLASH3_COM12", "/tmp/elsewhere/a");
    setPortMapPathsForTesting(PortMapPaths{folder.filePath("dev"), folder.filePath("user.conf"), folder.filePath("etc.conf")});
    EXPECT_EQ(comsOf(parse({"-p", "/tmp/elsewhere/a", "x.pf3"})), QList<int>{12}) << "as bound";
    qunsetenv("FLASH3_COM12");

    // A bare name that is in the device folder is that device; one that is
    // not stays a usage error.
    ASSERT_TRUE(QDir().mkpath(folder.filePath("dev")));
    QFile node(usb3);
    ASSERT_TRUE(node.open(QIODevice::WriteOnly));
    const auto bare = parse({"-p", "ttyUSB3", "x.pf3"});
    ASSERT_TRUE(std::holds_alternative<Options>(bare));
    EXPECT_EQ(std::get<Options>(bare).ports.value(0).device, usb3);
    EXPECT_EQ(comsOf(bare), QList<int>{36});
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(std::holds_alternative<int>(parse({"-p", "ttyUSB4", "x.pf3"})));
    EXPECT_TRUE(::testing::internal::GetCapturedStderr().find("not 'ttyUSB4'") != std::string::npos);
}

#ifndef _WIN32  // FIFOs, device nodes, hard links and pseudo-terminals are Unix's
TEST_F(CliPorts, OneDeviceGivenTwiceIsAUsageError)
{
    ASSERT_TRUE(QDir().mkpath(folder.filePath("dev")));
    const QString usb3 = folder.filePath("dev/ttyUSB3");
    QFile device(usb3);
    ASSERT_TRUE(device.open(QIODevice::WriteOnly));
    const QString link = folder.filePath("adapter");
    ASSERT_TRUE(QFile::link(usb3, link));
    // By its COM number and by its path, by two names, by a binding.
    EXPECT_TRUE(std::holds_alternative<int>(parse({"-p", "36", "-p", usb3, "x.pf3"})));
    EXPECT_TRUE(std::holds_alternative<int>(parse({"-p", link, "-p", usb3, "x.pf3"})));
    qputenv("FLASH3_COM5", usb3.toLocal8Bit());
    setPortMapPathsForTesting(PortMapPaths{folder.filePath("dev"), folder.filePath("user.conf"), folder.filePath("etc.conf")});
    EXPECT_TRUE(std::holds_alternative<int>(parse({"-p", "5", "-p", "36", "x.pf3"})));
    qunsetenv("FLASH3_COM5");
    // One file under two names that are not links of each other (a hard link).
    const QString hard = folder.filePath("hard-link");
    ASSERT_EQ(::link(QFile::encodeName(usb3).constData(), QFile::encodeName(hard).constData()), 0);
    const auto twice = [](const QStringList& args) {
        ::testing::internal::CaptureStderr();
        const auto parsed = parse(args + QStringList{"x.pf3"});
        const std::string err = ::testing::internal::GetCapturedStderr();
        return std::holds_alternative<int>(parsed) ? err : std::string("(accepted)");
    };
    // Named as given: never a COM number the user did not type.
    EXPECT_EQ(twice({"-p", "36", "-p", hard}),
              "flash3-cli: COM 36 (" + usb3.toStdString() + ") and " + hard.toStdString()
                  + " are the same device\nTry 'flash3-cli --help'.\n");
    EXPECT_EQ(twice({"-p", "36", "-p", usb3}),
              "flash3-cli: COM 36 (" + usb3.toStdString() + ") and " + usb3.toStdString()
                  + " are the same device\nTry 'flash3-cli --help'.\n");
    // Two nodes of one character device are one port, whatever their names;
    // nodes of two devices are two.
    if (::geteuid() == 0) {
        const QString nodeA = folder.filePath("dev/ttyUSB4");
        const QString nodeB = folder.filePath("node-b");
        const QString other = folder.filePath("node-other");
        ASSERT_EQ(::mknod(QFile::encodeName(nodeA).constData(), S_IFCHR | 0600, makedev(188, 4)), 0);
        ASSERT_EQ(::mknod(QFile::encodeName(nodeB).constData(), S_IFCHR | 0600, makedev(188, 4)), 0);
        ASSERT_EQ(::mknod(QFile::encodeName(other).constData(), S_IFCHR | 0600, makedev(188, 5)), 0);
        EXPECT_NE(twice({"-p", "37", "-p", nodeB}), "(accepted)");
        EXPECT_NE(twice({"-p", nodeA, "-p", nodeB}), "(accepted)");
        EXPECT_EQ(twice({"-p", nodeA, "-p", other}), "(accepted)");
    }
    // Different devices, or numbers that stand for none, are fine.
    EXPECT_TRUE(std::holds_alternative<Options>(parse({"-p", "36", "-p", "37", "-p", "97-99", "x.pf3"})));
}
#endif

// The usage error's first line for a command line ("(accepted)" when there is none).
std::string usageErrorOf(const QStringList& args)
{
    ::testing::internal::CaptureStderr();
    const auto parsed = parse(args);
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (!std::holds_alternative<int>(parsed))
        return "(accepted)";
    return err.substr(0, err.find('\n'));
}

namespace {

struct SlipCase {
    const char* name;
    QStringList args;
    std::string error;
};

class CommandLineSlip : public ::testing::TestWithParam<SlipCase> {};

// Each case is reported by its name.
void PrintTo(const SlipCase& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace

TEST_P(CommandLineSlip, IsNamed)
{
    EXPECT_EQ(usageErrorOf(GetParam().args), GetParam().error) << GetParam().args.join(' ').toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    CliOptions, CommandLineSlip,
    ::testing::Values(
        SlipCase{"MisspeltPort", {"--prot", "3", "x.pf3"}, "flash3-cli: unknown option 'prot'; did you mean --port?"},
        SlipCase{"MisspeltTimeout", {"--tiemout", "3", "x.pf3"},
                 "flash3-cli: unknown option 'tiemout'; did you mean --timeout?"},
        SlipCase{"ShortenedListPorts", {"--list", "x.pf3"},
                 "flash3-cli: unknown option 'list'; did you mean --list-ports?"},
        SlipCase{"MisspeltJson", {"--jsno", "r.json", "x.pf3"},
                 "flash3-cli: unknown option 'jsno'; did you mean --json?"},
        SlipCase{"UnknownLongOption", {"--frobnicate", "x.pf3"}, "flash3-cli: unknown option 'frobnicate'"},
        SlipCase{"UnknownShortOption", {"-x", "x.pf3"}, "flash3-cli: unknown option 'x'"},
        SlipCase{"SpeedNotOfTheFive", {"-s", "56000", "x.pf3"},
                 "flash3-cli: the speed must be one of 9.6, 19.2, 38.4, 57.6, 115.2 (kbaud), or one of 9600, 19200, "
                 "38400, 57600, 115200 (bit/s), not '56000'"},
        // A value given twice: which one was meant is not known.
        SlipCase{"TimeoutTwice", {"--timeout", "5", "--timeout", "6", "x.pf3"},
                 "flash3-cli: --timeout is given more than once"},
        SlipCase{"SpeedTwice", {"-s", "9.6", "--speed", "19.2", "x.pf3"}, "flash3-cli: --speed is given more than once"},
        SlipCase{"LogTwice", {"--log", "a.log", "--log", "b.log", "x.pf3"}, "flash3-cli: --log is given more than once"},
        SlipCase{"JsonTwice", {"--json", "a.json", "--json", "b.json", "x.pf3"},
                 "flash3-cli: --json is given more than once"},
        SlipCase{"DeviceTwice", {"-d", "/tmp/a", "--device", "/tmp/b", "x.pf3"},
                 "flash3-cli: --device is given more than once"},
        SlipCase{"Sha256Twice", {"--sha256", QString(64, 'a'), "--sha256", QString(64, 'b'), "x.pf3"},
                 "flash3-cli: --sha256 is given more than once"},
        SlipCase{"EachOnceIsAccepted", {"-s", "9.6", "--timeout", "5", "--log", "a.log", "--json", "a.json", "x.pf3"},
                 "(accepted)"},
        SlipCase{"PortTwiceIsAStation", {"-p", "3", "-p", "4", "x.pf3"}, "(accepted)"}));

TEST(CliOptions, JsonTakesAFileForARunAndNoneForTheListOfPorts)
{
    const auto run = parse({"--json", "r.json", "-p", "3", "fw.pf3"});
    ASSERT_TRUE(std::holds_alternative<Options>(run));
    EXPECT_EQ(std::get<Options>(run).reportPath, "r.json");
    EXPECT_EQ(std::get<Options>(run).image, "fw.pf3");
    const auto after = parse({"fw.pf3", "--json", "r.json"});
    ASSERT_TRUE(std::holds_alternative<Options>(after));
    EXPECT_EQ(std::get<Options>(after).image, "fw.pf3") << "the image stays the image wherever --json stands";

    const auto list = parse({"--list-ports", "--json"});
    ASSERT_TRUE(std::holds_alternative<Options>(list));
    EXPECT_TRUE(std::get<Options>(list).json);
    EXPECT_TRUE(std::holds_alternative<Options>(parse({"--json", "--list-ports"})));

    // The log, the report and the image are three files, whatever their names:
    // a hard link to the image is the image.
    QTemporaryDir dir;
    const QString image = dir.filePath("fw.img");
    {
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
#ifndef _WIN32
    ASSERT_EQ(::link(QFile::encodeName(image).constData(), QFile::encodeName(dir.filePath("station.log")).constData()), 0);
    for (const QString& written : {QStringLiteral("--log"), QStringLiteral("--json")})
        EXPECT_TRUE(std::holds_alternative<int>(parse({written, dir.filePath("station.log"), image}))) << written;
#endif
    for (const QStringList& bad : {QStringList{"--log", dir.filePath("x.txt"), "--json", dir.filePath("x.txt"), image},
                                   QStringList{"--log", dir.filePath("a/../x.txt"), "--json", dir.filePath("x.txt"), image},
                                   QStringList{"--log", image, image}, QStringList{"--json", image, image}})
        EXPECT_TRUE(std::holds_alternative<int>(parse(bad))) << bad.join(' ');

    // Never written over an image; --log and --json need their files.
    for (const QStringList& bad : {QStringList{"--json", "fw.pf3", "other.pf3"}, QStringList{"--log", "x.PF3", "fw.pf3"},
                                   QStringList{"fw.pf3", "--json"}, QStringList{"--list-ports", "--json", "r.json"},
                                   QStringList{"--check", "--json", "r.json", "fw.pf3"},
                                   QStringList{"--check", "--log", "l.txt", "fw.pf3"}})
        EXPECT_TRUE(std::holds_alternative<int>(parse(bad))) << bad.join(' ');
}

TEST(CliStation, ExitStatusOfTheWhole)
{
    EXPECT_EQ(stationStatus({0, 0, 0}, false), ExitCompleted);
    EXPECT_EQ(stationStatus({0, 1, 0}, false), ExitRunFailed);
    EXPECT_EQ(stationStatus({0, 2}, false), ExitRunFailed) << "a port that could not start is not completed";
    EXPECT_EQ(stationStatus({1, 2}, false), ExitRunFailed);
    EXPECT_EQ(stationStatus({2, 2, 2}, false), ExitUsage) << "none could start";
    EXPECT_EQ(stationStatus({0, 0}, true), ExitInterrupted);
    EXPECT_EQ(stationStatus({2, 2}, true), ExitInterrupted);
}

TEST(CliStation, TableShowsEachPortOrCountsThemWhenTheyDoNotFit)
{
    std::vector<PortResult> ports;
    for (int com : {33, 34, 35}) {
        PortResult port;
        port.com = com;
        // "%3" in a device's name is the user's text, never a place for another field.
        port.devicePath = QStringLiteral("/dev/serial/by-path/a-long%3-name-") + QString::number(com);
        ports.push_back(port);
    }
    ports[1].recordsTotal = 200;
    ports[1].recordsDone = 50;

    const std::vector<QString> table = tableLines(ports, 24, 200);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_TRUE(table[0].startsWith("COM33  /dev/serial/by-path/a-long%3-name-33  ")) << table[0];
    EXPECT_TRUE(table[1].contains(" 50/200   25.0 %  waiting")) << table[1];
    // Lines stay aligned: the same width for every port.
    EXPECT_EQ(table[0].indexOf('/', 30), table[1].indexOf('/', 30));

    const std::vector<QString> counted = tableLines(ports, 3, 200);
    ASSERT_EQ(counted.size(), 1u);
    EXPECT_EQ(counted[0], "3 ports: 3 waiting; 25.0 % of all records");

    // Never wider than the terminal: a wrapped line would break the redraw.
    // The device gives way first, so the state stays in sight.
    for (const QString& line : tableLines(ports, 24, 60)) {
        EXPECT_LE(line.size(), 59) << line;
        EXPECT_TRUE(line.contains("waiting")) << line;
        EXPECT_TRUE(line.contains(QRegularExpression("^COM3\\d  \\.\\.\\.[-a-z%3]+-3\\d  "))) << line;
    }
    for (const QString& line : tableLines(ports, 24, 30))
        EXPECT_EQ(line.size(), 29) << line;
    EXPECT_EQ(tableLines(ports, 3, 20)[0], "3 ports: 3 waiting;");

    // A completed port counts every record, whatever the engine's count says.
    ports[1].phase = PortPhase::Completed;
    EXPECT_TRUE(tableLines(ports, 24, 200)[1].contains("200/200  100.0 %  completed")) << tableLines(ports, 24, 200)[1];
    EXPECT_EQ(tableLines(ports, 3, 200)[0], "3 ports: 2 waiting, 1 completed; 100.0 % of all records");

    // A port that needs a look is named in the count.
    Options o;
    o.image = QStringLiteral("fw.pf3");
    PortRun run(PortChoice{34, ports[1].devicePath}, o);
    EXPECT_FALSE(run.prepare()) << "the image is not there: refused";
    ports[1] = run.result();
    EXPECT_TRUE(tableLines(ports, 3, 200)[0].startsWith("3 ports: 2 waiting, 1 refused (COM34); "))
        << tableLines(ports, 3, 200)[0];
}

// The lines that end a station's run: the summary names the ports that need a
// look (never more than sixteen), and under a failed port's verdict the table
// gives what went wrong once.
TEST(CliStation, SummaryAndTheLinesUnderAVerdict)
{
    std::vector<PortResult> ports;
    const auto add = [&](int com, PortPhase phase) {
        PortResult port;
        port.com = com;
        port.phase = phase;
        ports.push_back(port);
    };
    add(1, PortPhase::Aborted);
    for (int com = 2; com <= 18; ++com)
        add(com, PortPhase::Failed);
    add(19, PortPhase::Refused);
    add(20, PortPhase::Completed);
    add(21, PortPhase::Completed);
    EXPECT_EQ(summaryLine(ports, 4.24),
              "flash3-cli: 21 ports: 2 completed, 17 failed (COM2, COM3, COM4, COM5, COM6, COM7, COM8, COM9, COM10, "
              "COM11, COM12, COM13, COM14, COM15, COM16, COM17, ...), 1 refused (COM19), 1 aborted (COM1) in 4.2 s");

    PortResult& failed = ports[1];
    failed.verdict = QStringLiteral("FAILED before the first record: ...");
    EXPECT_EQ(portVerdictLine(failed, true), "flash3-cli: COM2: FAILED before the first record: ...");
    EXPECT_EQ(portVerdictLine(failed, false), "flash3-cli: FAILED before the first record: ...");

    failed.hints = QStringList{QStringLiteral("Hint: one"), QStringLiteral("Hint: two")};
    failed.errorLine = QStringLiteral("Error.  Expected = 41");
    EXPECT_EQ(linesAfterVerdict(failed), QStringList({"Error.  Expected = 41", "Hint: one", "Hint: two"}));
    failed.errorLine = QStringLiteral("Hint: two");  // the hint is what went wrong (--timeout)
    EXPECT_EQ(linesAfterVerdict(failed), failed.hints);
    for (PortPhase ended : {PortPhase::Completed, PortPhase::Aborted}) {
        failed.phase = ended;
        EXPECT_TRUE(linesAfterVerdict(failed).isEmpty()) << phaseName(ended);
    }
}

// The report's failure of a port, from its result alone: what the device sent
// and where the run stood, and nothing of a run that never started.
TEST(CliReport, FailureSaysWhatAndWhereOnlyForARunThatStarted)
{
    PortResult port;
    port.com = 7;
    port.phase = PortPhase::Failed;
    port.status = ExitRunFailed;
    port.recordsDone = 12;
    port.report.started = true;
    port.report.cause = FailureCause::EntryRejected;
    port.report.replyBytes = 2;
    port.report.reply0 = 0x91;
    port.report.reply1 = 0x2a;
    port.report.record = 1;
    port.report.line = 1;
    port.report.column = 1;
    const QJsonObject p = portReport(port);
    EXPECT_EQ(p["outcome"], "failed");
    EXPECT_EQ(p["recordsDone"].toInt(), 12);
    EXPECT_EQ(p["failure"]["kind"], "entry-rejected");
    EXPECT_EQ(p["failure"]["expected"], "91 26");
    EXPECT_EQ(p["failure"]["read"], "91 2A");
    EXPECT_EQ(p["failure"]["record"].toInt(), 1);
    EXPECT_TRUE(p["failure"]["debugLine"].isNull());
    port.report.replyBytes = 1;
    const QJsonObject oneByte = portReport(port);
    EXPECT_EQ(oneByte["failure"]["read"], "2A") << "one byte came: the last";

    // Refused: where the engine stood is not where a run failed.
    port.phase = PortPhase::Refused;
    port.status = ExitUsage;
    port.report.started = false;
    port.report.cause = FailureCause::PortNotOpen;
    const QJsonObject refused = portReport(port);
    EXPECT_EQ(refused["outcome"], "refused");
    EXPECT_EQ(refused["recordsDone"].toInt(), 0);
    for (const char* field : {"record", "line", "column"})
        EXPECT_TRUE(refused["failure"][QLatin1String(field)].isNull()) << field;

    port.phase = PortPhase::Completed;
    port.status = ExitCompleted;
    const QJsonObject completed = portReport(port);
    EXPECT_TRUE(completed["failure"].isNull());
}

#ifndef _WIN32  // FIFOs, device nodes, hard links and pseudo-terminals are Unix's
// A port whose own check of the image read other bytes than the reading the
// log and the report name is refused before its first byte: the report must
// never name an image that is not the one flashed.
TEST(CliPortRun, CheckOfAnotherFileThanTheNamedOneIsRefusedUnsent)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("fw.pf3");
    {
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("T01:R02:E\r\n:");
    }
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray digest = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Blake2b_256);
    Options o;
    o.image = image;
    o.quiet = true;
    for (const bool sameImage : {true, false}) {
        // A terminal stands in for the device: whatever is sent lands on its other end.
        const int device = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(device, 0);
        ASSERT_EQ(::grantpt(device), 0);
        ASSERT_EQ(::unlockpt(device), 0);
        PortRun run(PortChoice{5, QString::fromLocal8Bit(::ptsname(device))}, o);
        run.imageNamed = true;
        run.namedImageDigest = sameImage ? digest : QByteArray(32, '\x5a');
        ASSERT_TRUE(run.prepare());
        EXPECT_EQ(run.start(), sameImage);
        if (sameImage) {
            EXPECT_EQ(run.phase(), PortRun::Phase::Handshake);
        } else {
            EXPECT_EQ(run.phase(), PortRun::Phase::Refused);
            EXPECT_EQ(run.report().cause, FailureCause::ImageChanged);
            EXPECT_EQ(run.report().bytesSent, 0);
            char byte;
            EXPECT_LE(::read(device, &byte, 1), 0) << "a byte reached the device";
        }
        run.interrupt();
        ::close(device);
    }
}
#endif
