#include "cli.h"

#include "check_report.h"
#include "console.h"
#include "list_ports.h"
#include "options.h"
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

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>


namespace flash3::cli {

namespace {

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
    LogPrinter printer(form, !o.quiet && stderrIsTerminal());
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

    // An interrupt (Ctrl-C, SIGTERM) ends the run like "Abort Process", then exits.
    bool interrupted = false;
    const InterruptWatch interrupts([&] {
        if (interrupted)
            return;
        interrupted = true;
        if (form.ProgramMode != 0)
            form.ProgramFlash_Click();
        finish(ExitInterrupted);
    });
    // A device that never falls quiet after the entry bytes would keep a
    // script waiting for ever: the wait is bounded here (the desktop's
    // operator can press "Abort Process").
    QElapsedTimer quietWait;
    QObject::connect(&ticks, &TickDriver::ticked, [&] {
        if (form.ProgramMode == 103 && !interrupted) {
            if (!quietWait.isValid())
                quietWait.start();
            if (quietWait.elapsed() >= qint64(o.timeoutSeconds) * 1000) {
                form.PostMsg2(QStringLiteral("Hint: The line did not fall quiet within %1 s after the entry bytes: "
                                             "the device keeps sending. Is the speed right (-s), and is the device "
                                             "waiting in FLASH3 boot mode?")
                                  .arg(o.timeoutSeconds));
                form.ProgramFlash_Click();
                form.LastRunReport.cause = FailureCause::LineNeverQuiet;
            }
        }
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
    prepareConsole();
    QCoreApplication app(argc, argv);
    const auto parsed = parseOptions(QCoreApplication::arguments());
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Options& o = std::get<Options>(parsed);
    if (o.listPorts)
        return listPorts(o.json);
    if (o.check)
        return checkOnly(o.image);
    return program(o);
}

} // namespace flash3::cli
