// flash3-cli flashing several ports at once against several virtual devices:
// verdicts per port, the exit status of the whole, the dated log and the JSON
// report (validated against its schema).

#include "process_harness.h"
#include "qt_print.h"
#include "terminal_screen.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>

#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace flash3::testing;

namespace {

const QRegularExpression kDated(QStringLiteral(
    "^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}(Z|[+-]\\d{2}:\\d{2}) "));

class Station : public ProcessTest {
protected:
    ~Station() override
    {
        if (station.state() != QProcess::NotRunning) {
            station.kill();
            station.waitForFinished(2000);
        }
    }

    // One virtual device per entry; each entry holds that device's own options.
    void startDevices(const QString& image, const std::vector<QStringList>& options)
    {
        for (std::size_t i = 0; i < options.size(); ++i) {
            devices.push_back(std::make_unique<Sim>(QStringList{"--timeout", "60"} + options[i] + QStringList{image}));
            ASSERT_FALSE(devices.back()->device.isEmpty()) << "device " << i << " did not start";
        }
    }
    QStringList portArgs() const
    {
        QStringList args;
        for (const auto& d : devices)
            args << "-p" << d->device;
        return args;
    }
    // N devices of one flash3-sim (`station`); returns their links.
    QStringList startStation(int n, const QString& image, const QStringList& options)
    {
        station.start(buildDir() + "/flash3-sim", QStringList{"--devices", QString::number(n), "--link-prefix",
                                                              dir.filePath("dev"), "--timeout", "60"}
                                                      + options + QStringList{image});
        EXPECT_TRUE(station.waitForStarted(5000));
        int ready = 0;
        QElapsedTimer clock;
        clock.start();
        while (ready < n && clock.elapsed() < 10000) {
            if (station.canReadLine()) {
                station.readLine();
                ++ready;
            } else {
                station.waitForReadyRead(100);
            }
        }
        EXPECT_EQ(ready, n) << "the devices did not come up";
        QStringList links;
        for (int k = 0; k < n; ++k)
            links << dir.filePath(QStringLiteral("dev%1").arg(k));
        return links;
    }
    static QStringList portArgs(const QStringList& links)
    {
        QStringList args;
        for (const QString& link : links)
            args << "-p" << link;
        return args;
    }
    QProcess station;

    QString reportPath() const { return dir.filePath("report.json"); }
    QString logPath() const { return dir.filePath("station.log"); }

    // Validates the report with the schema kept in the repository.
    QJsonObject validReport()
    {
        QProcess p;
        p.start("python3", {sourceDir() + "/tests/validate_report.py", sourceDir() + "/docs/flash3-report.schema.json",
                            reportPath()});
        EXPECT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardOutput().toStdString() << p.readAllStandardError().toStdString();
        QFile f(reportPath());
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QJsonDocument::fromJson(f.readAll()).object();
    }
    QStringList logLines()
    {
        QFile f(logPath());
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    std::vector<std::unique_ptr<Sim>> devices;
};

// Whether process `pid` has a handler for `sig` (its SigCgt mask in /proc).
bool catchesSignal(qint64 pid, int sig)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (sig - 1)) & 1;
    }
    return false;
}

QJsonObject portWithDevice(const QJsonObject& report, const QString& device)
{
    for (const QJsonValue& p : report["ports"].toArray()) {
        if (p["device"].toString() == device)
            return p.toObject();
    }
    return {};
}

} // namespace

TEST_F(Station, EightPortsOneAnsweringWrongOnLineTwo)
{
    const QString image = sample(20);
    // Eight devices of one flash3-sim; device 5 inverts its second answer,
    // the one at the end of line 2.
    const QStringList links = startStation(8, image, {"--wrong-answer", "2@5"});
    const QStringList args = portArgs(links);
    Cli cli(args + QStringList{"--log", logPath(), "--json", reportPath(), image});
    const Finished f = cli.finish(60000);
    ASSERT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kFailed) << f.err;

    // Each device judged on its own: seven got the whole image, one did not.
    const Finished devicesDone = waitFinished(station, 20000);
    EXPECT_EQ(devicesDone.exitCode, 1);
    const QStringList summaries = devicesDone.errLines();
    EXPECT_EQ(summaries.filter(QRegularExpression("^device [0-7] .*; no mismatch; image completed$")).size(), 7)
        << devicesDone.err;
    EXPECT_EQ(summaries.filter(QRegularExpression("^device 5 .*image not completed")).size(), 1) << devicesDone.err;

    const QJsonObject report = validReport();
    EXPECT_EQ(report["exitStatus"].toInt(), kFailed);
    const QJsonArray ports = report["ports"].toArray();
    ASSERT_EQ(ports.size(), 8);
    int completed = 0;
    for (const QJsonValue& p : ports) {
        if (p["outcome"] == "completed") {
            ++completed;
            EXPECT_EQ(p["bytesSent"].toInt(), p["recordsDone"].toInt() * 16 / 18) << "16 T records of 18 per line";
        }
    }
    EXPECT_EQ(completed, 7);
    const QJsonObject bad = portWithDevice(report, links[5]);
    EXPECT_EQ(bad["outcome"], "failed");
    const QJsonObject failure = bad["failure"].toObject();
    EXPECT_EQ(failure["kind"], "wrong-answer");
    EXPECT_EQ(failure["line"].toInt(), 2);
    EXPECT_GT(failure["column"].toInt(), 1) << "the R record follows the line's T records";
    EXPECT_EQ(failure["record"].toInt(), 35) << "line 1: 16 T, R, E; line 2: 16 T, then its R";
    EXPECT_TRUE(failure["debugLine"].toString().startsWith("Error.  Expected = ")) << failure["debugLine"].toString();
    EXPECT_NE(failure["expected"], failure["read"]);

    // The image is named by its content.
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString sha = QString::fromLatin1(QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(report["image"]["sha256"].toString(), sha);
    EXPECT_EQ(report["image"]["records"]["total"].toInt(), 20 * 18);

    // Every line of the log is dated; the header names image (and whether it
    // was held to a known digest) and ports, the verdicts close it.
    const QStringList log = logLines();
    ASSERT_GT(log.size(), 8 * 20);
    for (const QString& line : log)
        ASSERT_TRUE(kDated.match(line).hasMatch()) << line;
    EXPECT_TRUE(log.at(1).contains(sha)) << log.at(1);
    EXPECT_TRUE(log.at(2).contains(" image not checked against a known SHA-256 ")) << log.at(2);
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(log.at(3 + i).endsWith(links[i] + " at 57600 bit/s")) << log.at(3 + i);
    EXPECT_TRUE(lastOf(log).contains("flash3-cli: 8 ports: 7 completed, 1 failed (COM")) << lastOf(log);
    EXPECT_EQ(log.filter(" flash3-cli: COM").size(), 8);

    // Not a terminal: every log line carries its port.
    for (const QString& line : f.outLines())
        ASSERT_TRUE(QRegularExpression("^COM\\d+: ").match(line).hasMatch()) << line;
    EXPECT_EQ(f.errLines().filter(QRegularExpression("^flash3-cli: COM\\d+: completed: 360 records")).size(), 7);
    EXPECT_EQ(f.errLines().filter(QRegularExpression("^flash3-cli: COM\\d+: FAILED at line 2, ")).size(), 1);
}

// On a terminal the table stands in for the logs; when it ends, a port that
// failed still shows the line that says what went wrong and its hints.
TEST_F(Station, TableOnATerminalEndsWithWhatWentWrongOnEachFailedPort)
{
    const QString image = sample(5);
    const QStringList links = startStation(2, image, {"--reply", "55@1"});
    QStringList screen;
    const int status = runOnTerminal(buildDir() + "/flash3-cli", portArgs(links) + QStringList{image}, false, 1000,
                                     [&](const TerminalScreen& s, bool ended) {
                                         if (ended)
                                             screen = s.rows();
                                     });
    EXPECT_EQ(status, kFailed);
    const qsizetype verdict = screen.indexOf(QRegularExpression("^flash3-cli: COM98: FAILED .*"));
    ASSERT_GE(verdict, 0) << screen.join('\n');
    EXPECT_TRUE(screen.value(verdict + 1).startsWith("flash3-cli: COM98: ")) << screen.join('\n');
    EXPECT_FALSE(screen.value(verdict + 1).contains("Hint: ")) << "the failure's own line comes first";
    EXPECT_TRUE(screen.value(verdict + 2).startsWith("flash3-cli: COM98: Hint: ")) << screen.join('\n');
    EXPECT_FALSE(screen.join('\n').contains(QRegularExpression("COM99: (Hint|Error)"))) << "COM99 completed";
}

TEST_F(Station, PortsThatCannotStartDoNotHoldUpTheOthers)
{
    const QString image = sample(10);
    startDevices(image, {{}, {"--reply", "none"}});
    const QString missing = dir.filePath("no-such-device");
    Cli cli(portArgs() + QStringList{"-p", missing, "--json", reportPath(), image});
    const Finished f = cli.finish(60000);
    EXPECT_EQ(f.exitCode, kFailed) << f.err;
    const QJsonObject report = validReport();
    EXPECT_EQ(portWithDevice(report, devices[0]->device)["outcome"], "completed");
    const QJsonObject silent = portWithDevice(report, devices[1]->device);
    EXPECT_EQ(silent["outcome"], "failed");
    EXPECT_EQ(silent["failure"]["kind"], "entry-rejected");
    EXPECT_EQ(silent["recordsDone"].toInt(), 0);
    const QJsonObject absent = portWithDevice(report, missing);
    EXPECT_EQ(absent["outcome"], "refused");
    EXPECT_EQ(absent["failure"]["kind"], "port-not-open");
    EXPECT_EQ(absent["bytesSent"].toInt(), 0);
    EXPECT_FALSE(absent["failure"]["debugLine"].toString().isEmpty());
}

TEST_F(Station, NoPortCanStartIsARefusalOfTheWhole)
{
    const QString image = sample(5);
    // Both ports missing.
    {
        Cli cli({"-p", dir.filePath("a"), "-p", dir.filePath("b"), "--json", reportPath(), image});
        const Finished f = cli.finish(30000);
        EXPECT_EQ(f.exitCode, kUsage) << f.err;
        const QJsonObject report = validReport();
        EXPECT_EQ(report["exitStatus"].toInt(), kUsage);
        for (const QJsonValue& p : report["ports"].toArray())
            EXPECT_EQ(p["outcome"], "refused");
    }
    // A faulty image: refused on every port, its first fault named, not a byte sent.
    QFile in(image);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    QByteArray text = in.readAll();
    const qsizetype secondLine = text.indexOf("\r\n") + 2;
    text[secondLine + 2] = 'G';
    const QString faulty = write("faulty.pf3", text);
    startDevices(faulty, {{}, {}});
    Cli cli(portArgs() + QStringList{"--json", reportPath(), "--log", logPath(), faulty});
    const Finished f = cli.finish(30000);
    EXPECT_EQ(f.exitCode, kUsage) << f.err;
    for (const auto& d : devices)
        d->terminate();
    const QJsonObject report = validReport();
    for (const QJsonValue& p : report["ports"].toArray()) {
        EXPECT_EQ(p["outcome"], "refused");
        EXPECT_EQ(p["failure"]["kind"], "image-faults");
        EXPECT_EQ(p["failure"]["line"].toInt(), 2);
        EXPECT_EQ(p["failure"]["column"].toInt(), 2) << "a line begins with the ':' that ends the E record before it";
        EXPECT_EQ(p["bytesSent"].toInt(), 0);
    }
    EXPECT_EQ(logLines().filter("refused: the image has 1 faulty record").size(), 2);
}

// Each port holds two descriptors for its whole run. A station raises its
// soft limit on open files to the hard one, as servers do; when even that is
// too few for every port, it says so before it touches any.
TEST_F(Station, TooFewFileDescriptorsForEveryPortAreRaisedOrRefusedUpFront)
{
    const QString image = sample(5);
    rlimit hard{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &hard), 0);
    const auto runWithLimit = [&](rlim_t soft, rlim_t max, const QStringList& args) {
        QProcess p;
        p.setChildProcessModifier([soft, max] {
            const rlimit limit{soft, max};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
        p.start(buildDir() + "/flash3-cli", args);
        return waitFinished(p, 60000);
    };

    // 20 ports at a soft limit of 30: raised, and every port completes.
    constexpr int kPorts = 20;
    if (hard.rlim_max != RLIM_INFINITY && hard.rlim_max < 200)
        GTEST_SKIP() << "the hard limit on open files, " << hard.rlim_max << ", leaves no room to raise the soft one";
    const QStringList links = startStation(kPorts, image, {});
    const Finished raised = runWithLimit(30, hard.rlim_max, portArgs(links) + QStringList{"--json", reportPath(), image});
    EXPECT_EQ(raised.exitCode, kCompleted) << raised.err;
    EXPECT_EQ(raised.errLines().filter(QRegularExpression("^flash3-cli: COM\\d+: completed: ")).size(), kPorts)
        << raised.err;
    EXPECT_EQ(validReport()["exitStatus"].toInt(), kCompleted);
    EXPECT_EQ(waitFinished(station, 20000).exitCode, 0);

    // 64 ports when 40 descriptors is the hard limit too: a usage error that
    // says why and how to raise the limit; no port was touched, and no image
    // read or refused.
    const Finished refused = runWithLimit(40, 40, QStringList{"-p", "1-64", image});
    EXPECT_EQ(refused.exitCode, kUsage) << refused.err;
    EXPECT_TRUE(refused.out.isEmpty()) << refused.out;
    ASSERT_EQ(refused.errLines().size(), 1) << refused.err;
    EXPECT_TRUE(refused.err.startsWith("flash3-cli: too many open files: 64 ports need about ")) << refused.err;
    EXPECT_TRUE(refused.err.contains("may have only 40 open")) << refused.err;
    EXPECT_TRUE(refused.err.contains("'ulimit -n ")) << refused.err;
}

// Ctrl-C, a termination request, and a closed terminal (an SSH session
// dropped) end a station alike: every port aborted and closed, the verdicts
// logged, the report written.
TEST_F(Station, InterruptAbortsEveryPortAndClosesIt)
{
    const QString image = sample(200);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(sig);
        devices.clear();
        QFile::remove(logPath());
        startDevices(image, {{"--delay", "20"}, {"--delay", "20"}, {"--delay", "20"}});
        Cli cli(portArgs() + QStringList{"--json", reportPath(), "--log", logPath(), image});
        ASSERT_TRUE(cli.waitForOutput("Processing ...", 20000));
        cli.signal(sig);
        const Finished f = cli.finishKeepingOutput(20000);
        ASSERT_FALSE(f.timedOut);
        EXPECT_EQ(f.exitCode, kInterrupted) << f.err;
        // Every device saw its line closed (it ends its session then) and an image cut short.
        for (const auto& d : devices)
            EXPECT_EQ(d->finish(10000).exitCode, 1);
        const QJsonObject report = validReport();
        EXPECT_EQ(report["exitStatus"].toInt(), kInterrupted);
        for (const QJsonValue& p : report["ports"].toArray()) {
            EXPECT_EQ(p["outcome"], "aborted");
            EXPECT_EQ(p["failure"]["kind"], "interrupted");
            EXPECT_TRUE(p["failure"]["debugLine"].isNull()) << "nothing went wrong with the port";
        }
        for (int com : {99, 98, 97})
            EXPECT_TRUE(f.outLines().contains(QStringLiteral("COM%1: Closed COM port: %1").arg(com))) << f.out;
        EXPECT_EQ(logLines().filter(QRegularExpression("^\\S+ COM\\d+ flash3-cli: COM\\d+: interrupted ")).size(), 3);
    }
}

// An interrupt as early as the program can take one still ends with every
// port closed and the report written.
TEST_F(Station, TerminationAtTheVeryStartStillLeavesItsRecord)
{
    const QString image = sample(3);
    startDevices(image, {{}, {}});
    Cli cli(portArgs() + QStringList{"--json", reportPath(), image});
    // As soon as the process catches a closed terminal, it catches the rest.
    QElapsedTimer clock;
    clock.start();
    while (!catchesSignal(cli.pid(), SIGHUP) && cli.running() && clock.elapsed() < 10000) {
    }
    ASSERT_TRUE(catchesSignal(cli.pid(), SIGHUP)) << "a closed terminal would kill the run unrecorded";
    cli.signal(SIGTERM);
    const Finished f = cli.finish(20000);
    ASSERT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kInterrupted) << f.err;
    const QJsonObject report = validReport();
    EXPECT_EQ(report["exitStatus"].toInt(), kInterrupted);
    for (const QJsonValue& p : report["ports"].toArray())
        EXPECT_EQ(p["outcome"], "aborted");
}

TEST_F(Station, OnePortRunWritesTheSameReportAndLog)
{
    // A folder named by a person: "%1" stays itself, a line break is shown, not obeyed.
    const QString folder = dir.filePath("lot%1\nB");
    ASSERT_TRUE(QDir().mkpath(folder));
    const QString image = folder + "/fw.pf3";
    ASSERT_TRUE(QFile::copy(sample(3), image));
    startDevices(image, {{}});
    Cli cli({"--quiet", "-p", devices[0]->device, "--log", logPath(), "--json", reportPath(), image});
    const Finished f = cli.finish(30000);
    EXPECT_EQ(f.exitCode, kCompleted) << f.err;
    // One port: the logs as the window has them, no prefix, no summary.
    EXPECT_EQ(f.outLines().filter(QRegularExpression("^COM\\d+: ")).size(), 0);
    EXPECT_TRUE(lastOf(f.errLines()).startsWith("flash3-cli: completed: 54 records")) << f.err;
    const QJsonObject report = validReport();
    ASSERT_EQ(report["ports"].toArray().size(), 1);
    EXPECT_EQ(report["ports"][0]["com"].toInt(), 2);
    EXPECT_EQ(report["ports"][0]["outcome"], "completed");
    EXPECT_EQ(report["ports"][0]["recordsDone"].toInt(), 54);
    EXPECT_EQ(report["image"]["path"], image);

    // The log appends: a second run adds its own header after the first run's lines.
    Sim again({"--timeout", "30", image});
    Cli second({"--quiet", "-p", again.device, "--log", logPath(), image});
    EXPECT_EQ(second.finish(30000).exitCode, kCompleted);
    const QStringList log = logLines();
    EXPECT_EQ(log.filter(QRegularExpression(" flash3-cli [0-9.]+: run on 1 port begins$")).size(), 2);
    EXPECT_EQ(log.filter(" image " + dir.filePath("lot%1<lf>B/fw.pf3") + ": 216 bytes, SHA-256 ").size(), 2)
        << log.join('\n');
    for (const QString& line : log)
        ASSERT_TRUE(kDated.match(line).hasMatch()) << line;
}

TEST_F(Station, ReportAndLogThatCannotBeWrittenStopTheRunBeforeAnyPort)
{
    const QString image = sample(3);
    startDevices(image, {{}});
    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // A device: as root, a null device of the test's own, so that a program
    // at fault replaces no device the machine relies on.
    const QString device = ::geteuid() == 0 ? dir.filePath("null") : QStringLiteral("/dev/null");
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod(QFile::encodeName(device).constData(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    // Only a regular file or a new one: a device or a FIFO would be replaced
    // by the report, or block the log's open for ever.
    for (const QStringList& extra : {QStringList{"--json", dir.filePath("no/such/folder/r.json")},
                                     QStringList{"--log", dir.filePath("no/such/folder/run.log")},
                                     QStringList{"--json", device}, QStringList{"--log", device},
                                     QStringList{"--json", fifo}, QStringList{"--log", fifo},
                                     QStringList{"--json", dir.path()}, QStringList{"--log", dir.path()}}) {
        Cli cli(portArgs() + extra + QStringList{image});
        const Finished f = cli.finish(10000);
        ASSERT_FALSE(f.timedOut) << extra.join(' ');
        EXPECT_EQ(f.exitCode, kUsage) << extra.join(' ');
        EXPECT_TRUE(f.err.startsWith("flash3-cli: cannot ")) << f.err;
        EXPECT_TRUE(f.out.isEmpty()) << "the port was touched: " << f.out;
    }
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(device).constData(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced";
    ASSERT_EQ(::stat(QFile::encodeName(fifo).constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // The program's own output as the report: what it shows there must stay.
    QProcess own;
    own.setStandardOutputFile(dir.filePath("out.txt"));
    own.start(buildDir() + "/flash3-cli", portArgs() + QStringList{"--json", "/dev/stdout", image});
    ASSERT_TRUE(own.waitForFinished(10000));
    EXPECT_EQ(own.exitCode(), kUsage);
    EXPECT_TRUE(own.readAllStandardError().contains("standard output"));
}

// A full disk: the report is written whole or not at all, the log says what
// failed as it fails, and neither lets the run pass for a clean one.
TEST_F(Station, FullDiskNeverPassesSilently)
{
    const QString full = dir.filePath("full");
    ASSERT_TRUE(QDir().mkpath(full));
    const QByteArray fullName = QFile::encodeName(full);
    if (::geteuid() != 0 || ::mount("tmpfs", fullName.constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a small file system needs root";
    const auto unmount = qScopeGuard([&] { ::umount2(fullName.constData(), MNT_DETACH); });
    const QString image = sample(200);
    startDevices(image, {{"--persist"}});

    const QString report = full + "/r.json";
    write("earlier", "an earlier report\n");
    ASSERT_TRUE(QFile::copy(dir.filePath("earlier"), report));
    const int filler = ::open(QFile::encodeName(full + "/filler").constData(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(filler, 0);
    const QByteArray block(4096, 'x');
    while (::write(filler, block.constData(), static_cast<size_t>(block.size())) > 0) {
    }
    Cli cli({"--quiet", "-p", devices[0]->device, "--json", report, image});
    const Finished f = cli.finish(60000);
    EXPECT_EQ(f.exitCode, kFailed) << f.err;
    EXPECT_TRUE(f.errLines().contains("flash3-cli: report " + report + " not written: No space left on device"))
        << f.err;
    QFile kept(report);
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), "an earlier report\n");
    EXPECT_EQ(QDir(full).entryList(QDir::Files | QDir::Hidden), (QStringList{"filler", "r.json"}))
        << "a part of a report was left behind";

    // Room for the log's header and a few lines, not for the whole run.
    ASSERT_EQ(::ftruncate(filler, ::lseek(filler, 0, SEEK_END) - 4096), 0);
    ::close(filler);
    const QString log = full + "/run.log";
    Cli again({"--quiet", "-p", devices[0]->device, "--log", log, image});
    const Finished g = again.finish(60000);
    EXPECT_EQ(g.exitCode, kFailed) << g.err;
    const QStringList err = g.errLines();
    const qsizetype said = err.indexOf("flash3-cli: cannot write to the log '" + log + "': No space left on device");
    ASSERT_GE(said, 0) << g.err;
    EXPECT_LT(said, err.indexOf(QRegularExpression("^flash3-cli: completed: .*"))) << "said when it happened\n" << g.err;
    EXPECT_EQ(lastOf(err), "flash3-cli: the log '" + log + "' is incomplete: No space left on device");
}

TEST_F(Station, DeviceUnpluggedMidRunFailsAloneAndTheOthersComplete)
{
    const QString image = sample(30);
    const QStringList links = startStation(4, image, {"--unplug-at", "100@2"});
    Cli cli(portArgs(links) + QStringList{"--json", reportPath(), image});
    const Finished f = cli.finish(60000);
    ASSERT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kFailed) << f.err;
    EXPECT_EQ(waitFinished(station, 20000).exitCode, 1);
    const QJsonObject report = validReport();
    for (int k = 0; k < 4; ++k) {
        const QJsonObject port = portWithDevice(report, links[k]);
        EXPECT_EQ(port["outcome"], k == 2 ? "failed" : "completed") << k;
        if (k == 2) {
            // Gone mid-image: it never got the whole image, and the report says where.
            EXPECT_LT(port["recordsDone"].toInt(), 30 * 18);
            EXPECT_GE(port["failure"]["line"].toInt(), 5);
            // The same name and hint as in a single run, whether a write or a read noticed it.
            EXPECT_EQ(port["failure"]["kind"], "device-gone");
            EXPECT_TRUE(port["verdict"].toString().contains("the device is gone")) << port["verdict"].toString();
            const QStringList hints = f.errLines().filter(QRegularExpression("^COM\\d+: Hint: "));
            EXPECT_EQ(hints.size(), 1) << f.err;
            EXPECT_TRUE(hints.value(0).contains(") is gone: unplugged or powered off?")) << f.err;
        }
    }
}

// An interrupt while the image is still being read for the log and the
// report: nothing is sent, every port is closed, and the report says so.
TEST_F(Station, InterruptBeforeAnyPortStartedStillLeavesItsRecord)
{
    const QString one = sample(300);
    QFile in(one);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray block = in.readAll();
    QByteArray big;
    big.reserve(block.size() * 2000);
    for (int i = 0; i < 2000; ++i)
        big += block;  // about 43 MB: reading it takes a while
    const QString image = write("big.pf3", big);
    const QStringList links = startStation(2, image, {});
    Cli cli(portArgs(links) + QStringList{"--log", logPath(), "--json", reportPath(), image});
    // The log file is made once interrupts are watched.
    waitUntil([&] { return QFile::exists(logPath()) || !cli.running(); }, std::chrono::seconds(10));
    cli.signal(SIGTERM);
    const Finished f = cli.finish(30000);
    ASSERT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kInterrupted) << f.err;
    station.terminate();  // its devices were never opened
    station.waitForFinished(5000);
    const QJsonObject report = validReport();
    EXPECT_EQ(report["exitStatus"].toInt(), kInterrupted);
    for (const QJsonValue& p : report["ports"].toArray()) {
        EXPECT_EQ(p["outcome"], "aborted");
        EXPECT_EQ(p["bytesSent"].toInt(), 0);
    }
    EXPECT_EQ(f.errLines().filter("interrupted before the first image byte was sent").size(), 2) << f.err;
    if (!report["image"]["readable"].toBool()) {
        EXPECT_TRUE(report["image"]["interrupted"].toBool()) << "an unread image is not an unreadable one";
    }
    EXPECT_FALSE(logLines().isEmpty());
}

// A report that cannot be written when the run ends leaves the station
// without its record: that is never a clean exit.
TEST_F(Station, ReportLostAtTheEndIsNotASuccess)
{
    const QString image = sample(20);
    const QStringList links = startStation(2, image, {"--delay", "15"});
    const QString folder = dir.filePath("reports");
    ASSERT_TRUE(QDir().mkpath(folder));
    Cli cli(portArgs(links) + QStringList{"--json", folder + "/r.json", image});
    ASSERT_TRUE(cli.waitForOutput("Processing ...", 20000));
    ASSERT_TRUE(QDir(folder).removeRecursively());
    const Finished f = cli.finishKeepingOutput(30000);
    EXPECT_EQ(f.exitCode, kFailed) << f.err;
    EXPECT_TRUE(f.err.contains("flash3-cli: 2 ports: 2 completed")) << "the runs themselves completed";
    EXPECT_TRUE(f.err.contains("flash3-cli: report " + folder + "/r.json not written: ")) << f.err;
}

// The image replaced after the station read it for the log and the report,
// before any port opened it: no port may flash it, as the log and the report
// would name an image that is not the one sent. Each port is refused before
// its first byte.
TEST_F(Station, ImageReplacedAtTheStartIsNeverReportedAsTheOneFlashed)
{
    const QString small = sample(40, 2);
    QFile in(sample(300));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray block = in.readAll();
    QByteArray big;
    for (int i = 0; i < 2000; ++i)
        big += block;
    const QString image = write("fw.pf3", big);
    const QString opened = QFileInfo(image).canonicalFilePath();
    QFile smallFile(small);
    ASSERT_TRUE(smallFile.open(QIODevice::ReadOnly));
    const QByteArray smallBytes = smallFile.readAll();

    // The devices expect the small image: only it could complete on them.
    const QStringList links = startStation(2, small, {});
    Cli cli(portArgs(links) + QStringList{"--log", logPath(), "--json", reportPath(), image});
    // The station's reading is the first open of the image; held still there,
    // with the log still empty (its first line follows that reading), the
    // swap comes after the reading began and before any port opens the file.
    ASSERT_TRUE(waitUntil([&] { return holdsOpen(cli.pid(), opened) || !cli.running(); }, std::chrono::seconds(20)));
    ASSERT_TRUE(stopProcess(cli.pid()));
    const bool reading = holdsOpen(cli.pid(), opened) && QFileInfo(logPath()).size() == 0;
    const QString swap = write("swap.pf3", smallBytes);
    ASSERT_TRUE(QFile::remove(image));
    ASSERT_TRUE(QFile::rename(swap, image));
    continueProcess(cli.pid());
    ASSERT_TRUE(reading) << "the station was not held while reading the image";

    const Finished f = cli.finish(60000);
    ASSERT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kUsage) << f.err;
    const QJsonObject report = validReport();
    EXPECT_EQ(report["image"]["size"].toInteger(), big.size()) << "the report names the image the station read";
    ASSERT_EQ(report["ports"].toArray().size(), 2);
    for (const QJsonValue& p : report["ports"].toArray()) {
        EXPECT_EQ(p["outcome"], "refused") << p["verdict"].toString();
        EXPECT_EQ(p["failure"]["kind"], "image-changed");
        EXPECT_EQ(p["bytesSent"].toInt(), 0);
        EXPECT_TRUE(p["verdict"].toString().contains("was replaced after the log and the report read it"))
            << p["verdict"].toString();
    }
    EXPECT_EQ(f.errLines().filter("Hint: The input file was replaced after the log and the report read it; nothing "
                                  "was sent.").size(),
              2)
        << f.err;
    station.terminate();
}

// One reading of the image serves every port: none checks it again before its
// run (a large image took seconds per port), and the runs go ahead on it.
TEST_F(Station, ImageIsCheckedOnceForAllPorts)
{
    QFile in(sample(300));
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray block = in.readAll();
    QByteArray big;
    for (int i = 0; i < 60; ++i)
        big += block;  // 1.3 MB: more than a port checks within its first tick
    const QString image = write("big.pf3", big);
    // Silent devices: each run ends at the handshake, after its check.
    const QStringList links = startStation(3, image, {"--reply", "none"});
    Cli cli(portArgs(links) + QStringList{"--json", reportPath(), image});
    const Finished f = cli.finish(60000);
    ASSERT_FALSE(f.timedOut);
    EXPECT_EQ(f.exitCode, kFailed) << f.err;
    EXPECT_EQ(f.errLines().filter("Checking the input file").size(), 0) << "a port read the image again:\n" << f.err;
    EXPECT_EQ(f.errLines().filter(QRegularExpression("^flash3-cli: COM\\d+: FAILED before the first record: no reply "
                                                     "to the entry bytes"))
                  .size(),
              3)
        << f.err;
    const QJsonObject report = validReport();
    EXPECT_EQ(report["image"]["records"]["total"].toInt(), 60 * 300 * 18);
    station.terminate();
}

// A FIFO or a device as the image is refused before anything reads it: the
// station's reading for the log and the report must not block or read for ever.
TEST_F(Station, ImageThatIsNotARegularFileIsRefusedUnread)
{
    const QString fifo = dir.filePath("fifo.pf3");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const auto& [image, what] : {std::pair<QString, QString>{fifo, "a FIFO"}, {"/dev/zero", "a character device"}}) {
        Cli cli({"-p", dir.filePath("a"), "-p", dir.filePath("b"), "--log", logPath(), "--json", reportPath(), image});
        const Finished f = cli.finish(20000);
        ASSERT_FALSE(f.timedOut) << image;
        EXPECT_EQ(f.exitCode, kUsage) << f.err;
        const QJsonObject report = validReport();
        EXPECT_FALSE(report["image"]["readable"].toBool());
        for (const QJsonValue& p : report["ports"].toArray()) {
            EXPECT_EQ(p["outcome"], "refused");
            EXPECT_EQ(p["failure"]["kind"], "cannot-open-image");
            EXPECT_TRUE(p["verdict"].toString().endsWith("' is " + what + ", not a regular file; nothing was sent"))
                << p["verdict"].toString();
        }
        EXPECT_EQ(logLines().filter("Hint: The input file is " + what + ", not a regular file.").size(), 2);
    }
}

// Whether the image was held to a known digest, and to which, is in the log's
// header and in the report; a digest it does not have refuses every port.
TEST_F(Station, KnownDigestIsNamedInTheLogAndTheReport)
{
    const QString image = sample(10);
    QFile in(image);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly));
    const QString actual = QString::fromLatin1(QCryptographicHash::hash(in.readAll(), QCryptographicHash::Sha256).toHex());
    const QString published = image + ".sha256";
    const QString other(64, QLatin1Char('f'));
    const QStringList links = startStation(2, image, {"--persist"});

    // None known: said so.
    {
        const Finished f = Cli(portArgs(links) + QStringList{"--log", logPath(), "--json", reportPath(), image}).finish(30000);
        EXPECT_EQ(f.exitCode, kCompleted) << f.err;
        const QJsonObject report = validReport();
        EXPECT_TRUE(report["image"]["expectedSha256"].toArray().isEmpty());
        EXPECT_EQ(logLines().filter(" image not checked against a known SHA-256 (no --sha256, no " + published + ")")
                      .size(),
                  1);
    }
    // Published beside the image, and it matches.
    {
        QFile sums(published);
        ASSERT_TRUE(sums.open(QIODevice::WriteOnly));
        sums.write((actual + "  " + QFileInfo(image).fileName() + "\n").toUtf8());
    }
    {
        const Finished f = Cli(portArgs(links) + QStringList{"--log", logPath(), "--json", reportPath(), image}).finish(30000);
        EXPECT_EQ(f.exitCode, kCompleted) << f.err;
        const QJsonObject report = validReport();
        EXPECT_EQ(report["image"]["expectedSha256"].toArray(),
                  (QJsonArray{QJsonObject{{"source", published}, {"sha256", actual}, {"matches", true}}}));
        EXPECT_EQ(logLines().filter(" image SHA-256 matches " + published).size(), 1);
        EXPECT_EQ(f.errLines().filter("Hint: The input file's SHA-256 matches ").size(), 2) << f.err;
    }
    // Another one given: every port refused, nothing sent.
    {
        const Finished f =
            Cli(portArgs(links) + QStringList{"--sha256", other, "--log", logPath(), "--json", reportPath(), image})
                .finish(30000);
        EXPECT_EQ(f.exitCode, kUsage) << f.err;
        const QJsonObject report = validReport();
        EXPECT_EQ(report["image"]["expectedSha256"].toArray(),
                  (QJsonArray{QJsonObject{{"source", "--sha256"}, {"sha256", other}, {"matches", false}},
                              QJsonObject{{"source", published}, {"sha256", actual}, {"matches", true}}}));
        for (const QJsonValue& p : report["ports"].toArray()) {
            EXPECT_EQ(p["outcome"], "refused");
            EXPECT_EQ(p["failure"]["kind"], "image-digest-mismatch");
            EXPECT_EQ(p["bytesSent"].toInt(), 0);
        }
        EXPECT_EQ(logLines().filter(" image SHA-256 does not match --sha256, which gives " + other).size(), 1);
    }
    station.terminate();
}
