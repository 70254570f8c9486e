#include "cli.h"

#include "check_report.h"
#include "progress_bar.h"
#include "verdict.h"

#include "app/form1.h"
#include "app/startup.h"
#include "app/text_format.h"
#include "app/tick_driver.h"
#include "serial/driver.h"
#include "serial/port_map.h"
#include "serial/termios_backend.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flash3::cli {

namespace {

const char* const Usage =
    "Usage: flash3-cli [options] IMAGE\n"
    "Programs the image IMAGE (.pf3) into a KORVEN-7 device waiting in FLASH3 boot mode.\n"
    "\n"
    "  -p, --port N        COM port number 1..99 (default 2)\n"
    "  -d, --device PATH   the serial device that COM port N stands for (overrides the mapping)\n"
    "  -s, --speed KBAUD   9.6 | 19.2 | 38.4 | 57.6 | 115.2 (default 57.6)\n"
    "      --check         check IMAGE only, open no port: one line per fault, then a summary\n"
    "      --force         flash IMAGE even when it has faulty records (they are skipped, or a bad\n"
    "                      digit taken as 0); without it such an image is refused unsent\n"
    "      --list-ports    list the serial ports present and the COM numbers they stand for\n"
    "  -q, --quiet         no progress bar\n"
    "  -h, --help          this text\n"
    "      --version       the version\n"
    "\n"
    "COM N is /dev/ttyS<N-1> unless FLASH3_COM<N>=PATH is set in the environment (or --device).\n"
    "Every image is checked whole before the first byte is sent. After the logs, one line on\n"
    "stderr beginning 'flash3-cli: ' says how the run ended.\n"
    "Exit status: 0 run completed, 1 run failed (or --check found faults), 2 usage error,\n"
    "image refused (faulty, empty, cannot be opened) or port that cannot be opened, 130 interrupted.\n";

struct Options {
    int port = 2;
    QString device;
    int speedIndex = 4;
    bool check = false;
    bool force = false;
    bool listPorts = false;
    bool quiet = false;
    QString image;
};

int usageError(const std::string& message)
{
    std::fprintf(stderr, "flash3-cli: %s\nTry 'flash3-cli --help'.\n", message.c_str());
    return ExitUsage;
}

// Returns the options, or an exit status when the program is already done.
std::variant<Options, int> parse(const QStringList& args)
{
    Options o;
    bool haveImage = false;
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        const auto value = [&](const char* name) -> std::optional<QString> {
            const int eq = static_cast<int>(a.indexOf(QLatin1Char('=')));
            if (a.startsWith(QLatin1String("--")) && eq > 0)
                return a.mid(eq + 1);
            if (i + 1 >= args.size()) {
                usageError(std::string("option ") + name + " needs a value");
                return std::nullopt;
            }
            return args.at(++i);
        };
        const QString name = a.startsWith(QLatin1String("--")) ? a.section(QLatin1Char('='), 0, 0) : a;
        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            std::fputs(Usage, stdout);
            return ExitCompleted;
        }
        if (name == QLatin1String("--version")) {
            std::printf("flash3-cli %s\n", FLASH3_VERSION);
            return ExitCompleted;
        }
        if (name == QLatin1String("-p") || name == QLatin1String("--port")) {
            const auto v = value("--port");
            if (!v)
                return ExitUsage;
            bool ok = false;
            o.port = v->toInt(&ok);
            if (!ok || o.port < 1 || o.port > 99)
                return usageError("the COM port number must be 1..99, not '" + v->toStdString() + "'");
        } else if (name == QLatin1String("-d") || name == QLatin1String("--device")) {
            const auto v = value("--device");
            if (!v)
                return ExitUsage;
            if (v->isEmpty())
                return usageError("--device needs a path");
            o.device = *v;
        } else if (name == QLatin1String("-s") || name == QLatin1String("--speed")) {
            const auto v = value("--speed");
            if (!v)
                return ExitUsage;
            const QStringList speeds{"9.6", "19.2", "38.4", "57.6", "115.2"};
            const int index = static_cast<int>(speeds.indexOf(*v));
            if (index < 0)
                return usageError("the speed must be one of 9.6, 19.2, 38.4, 57.6, 115.2 (kbaud), not '"
                                  + v->toStdString() + "'");
            o.speedIndex = index + 1;
        } else if (name == QLatin1String("--check")) {
            o.check = true;
        } else if (name == QLatin1String("--force")) {
            o.force = true;
        } else if (name == QLatin1String("--list-ports")) {
            o.listPorts = true;
        } else if (name == QLatin1String("-q") || name == QLatin1String("--quiet")) {
            o.quiet = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            return usageError("unknown option '" + a.toStdString() + "'");
        } else {
            if (haveImage)
                return usageError("only one IMAGE may be given");
            o.image = a;
            haveImage = true;
        }
    }
    if (!o.listPorts && !haveImage)
        return usageError("no IMAGE given");
    return o;
}

int listPorts()
{
    const QList<ListedPort> ports = listSerialPorts();
    if (ports.isEmpty())
        std::puts("No serial ports found.");
    for (const ListedPort& p : ports) {
        const QString com = p.comPort ? QStringLiteral("COM%1").arg(p.comPort) : QStringLiteral("-");
        std::printf("%-6s %-24s %s\n", qPrintable(com), qPrintable(p.devicePath), qPrintable(p.description));
    }
    return ExitCompleted;
}

int checkOnly(const QString& image)
{
    const QByteArray name = image.toLocal8Bit();
    const CheckSummary summary = explainImage(image, [&](const CheckLine& f) {
        std::printf("%s:%lld:%lld: %s\n", name.constData(), static_cast<long long>(f.line),
                    static_cast<long long>(f.column), f.message.toLocal8Bit().constData());
    });
    if (!summary.opened) {
        std::fprintf(stderr, "** ERROR ** Cannot open input file: %s\n", name.constData());
        return ExitUsage;
    }
    if (summary.tooLarge) {
        std::fprintf(stderr, "** ERROR ** Input file too large (more than 2147483647 records): %s\n",
                     name.constData());
        return ExitUsage;
    }
    const QString verdict = summary.faults == 0
        ? QStringLiteral("clean")
        : QStringLiteral("%1 fault%2: do not flash").arg(summary.faults).arg(summary.faults == 1 ? "" : "s");
    std::printf("%s: %lld records (%lld T, %lld R, %lld E), %lld bytes; %s\n", name.constData(),
                static_cast<long long>(summary.records), static_cast<long long>(summary.tRecords),
                static_cast<long long>(summary.rRecords), static_cast<long long>(summary.eRecords),
                static_cast<long long>(summary.bytes), verdict.toLocal8Bit().constData());
    std::fflush(stdout);
    return summary.faults == 0 ? ExitCompleted : ExitRunFailed;
}

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}

// Prints the logs as they are posted: Status1 to stdout, Debug to stderr.
class LogPrinter : public WindowObserver {
public:
    LogPrinter(Form1& form, bool bar) : form_(form)
    {
        if (bar)
            bar_ = std::make_unique<ProgressBar>(stderr);
    }
    void logAppended(LogId id, const QString& line, int) override
    {
        if (bar_)
            bar_->erase();
        std::FILE* out = id == LogId::List1 ? stdout : stderr;
        const QByteArray bytes = line.toLocal8Bit();
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out);
        std::fputc('\n', out);
        std::fflush(out);
    }
    void textChanged(TextId id) override
    {
        if (bar_ && id == TextId::Text4 && form_.ProgramMode != 0)
            bar_->update(form_.RecordsDone, form_.RecordsTotal);
    }
    void programEnded() override
    {
        if (bar_)
            bar_->erase();
        QCoreApplication::exit(exitStatus);
    }
    int exitStatus = ExitCompleted;

private:
    Form1& form_;
    std::unique_ptr<ProgressBar> bar_;
};

int program(const Options& o)
{
    if (!o.device.isEmpty())
        bindComToDevice(o.port, o.device);

    TermiosBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    MainStartUp(form, {});
    form.AllowFaultyImage = o.force;
    LogPrinter printer(form, !o.quiet && ::isatty(STDERR_FILENO));
    form.window().addObserver(&printer);
    TickDriver ticks(form);
    if (const QByteArray path = qgetenv("FLASH3_TICK_LOG"); !path.isEmpty())
        ticks.recordIntervalsTo(QString::fromLocal8Bit(path));

    VerdictContext verdict;
    verdict.image = o.image;
    verdict.comPort = o.port;
    verdict.devicePath = devicePathForCom(o.port);
    QElapsedTimer runClock;
    const auto finish = [&](int status) {
        printer.exitStatus = status;
        verdict.seconds = runClock.isValid() ? static_cast<double>(runClock.elapsed()) / 1000.0 : 0.0;
        verdict.interrupted = status == ExitInterrupted;
        form.AbortProgram_Click();
        if (!form.window().programEnded()) {
            // Exit refused (a tick or write in progress cannot be the case here,
            // but never leave without closing): close directly.
            form.IsrActive = False;
            form.PortBusy = False;
            form.AbortProgram_Click();
        }
        const QByteArray line = verdictLine(form.LastRunOutcome, form.LastRunReport, verdict).toLocal8Bit();
        std::fprintf(stderr, "%s\n", line.constData());
        std::fflush(stderr);
        return status;
    };

    // The image as chosen, used as given; one that cannot be run is refused
    // before the port is touched.
    form.FileName = o.image;
    form.FileMode = 1;
    form.window().setText(TextId::Text1, o.image);
    if (!form.OpenImageForRun())
        return finish(ExitUsage);

    // What an operator does: the port dialog, "Initialize".
    form.ConfigComPort_Click();
    form.window().selectPort(o.port);
    form.ComBaudBtn_Click(o.speedIndex);
    form.Initialize_Click();
    if (!form.PortOpen) {
        verdict.portFailed = true;
        return finish(ExitUsage);
    }

    runClock.start();
    form.ProgramFlash_Click();
    if (form.ProgramMode == 0)
        return finish(ExitUsage);  // refused: the image has faults, or went away

    // SIGINT and SIGTERM end the run like "Abort Process", then exit.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) == 0) {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    bool interrupted = false;
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &c, 1);
        if (interrupted)
            return;
        interrupted = true;
        if (form.ProgramMode != 0)
            form.ProgramFlash_Click();
        finish(ExitInterrupted);
    });
    QObject::connect(&ticks, &TickDriver::ticked, [&] {
        if (form.ProgramMode != 0 || interrupted || form.window().programEnded())
            return;
        if (!form.LastRunReport.started)
            finish(ExitUsage);  // refused after a check that took several ticks
        else
            finish(form.LastRunOutcome == RunOutcome::Completed ? ExitCompleted : ExitRunFailed);
    });
    const int status = QCoreApplication::exec();
    form.window().removeObserver(&printer);
    return status;
}

} // namespace

int run(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    const auto parsed = parse(QCoreApplication::arguments());
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Options& o = std::get<Options>(parsed);
    if (o.listPorts)
        return listPorts();
    if (o.check)
        return checkOnly(o.image);
    return program(o);
}

} // namespace flash3::cli
