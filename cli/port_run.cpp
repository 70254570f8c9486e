#include "port_run.h"

#include "check_report.h"
#include "cli.h"

#include "app/startup.h"
#include "ports/port_map.h"
#include "serial/line_speeds.h"

namespace flash3::cli {

PortRun::PortRun(const PortChoice& port, const Options& options)
    : driver_(backend_), form_(driver_), options_(options), com_(port.com)
{
    if (!port.device.isEmpty())
        bindComToDevice(port.com, port.device);
    // Many ports at once: each port's bytes of a tick go out in one system
    // call, which keeps the station's CPU time in bounds.
    driver_.setQueuedTransmit(options.station());
    MainStartUp(form_, {});
    form_.configureForCli(options.force, options.sha256);
    context_.image = options.image;
    context_.comPort = port.com;
    context_.devicePath = devicePathForCom(port.com);
    form_.window().addObserver(this);
}

PortRun::~PortRun()
{
    form_.window().removeObserver(this);
}

int PortRun::speed() const
{
    return lineSpeed(qBound(1, options_.speedIndex, SpeedCount))->bitsPerSecond;
}

bool PortRun::prepare()
{
    // The image as chosen, used as given; one that cannot be run is refused
    // before the port is touched.
    form_.chooseImageFile(options_.image);
    if (!form_.OpenImageForRun()) {
        finish(ExitUsage);
        return false;
    }
    // What an operator does: the port dialog, "Initialize".
    form_.ConfigComPort_Click();
    form_.window().selectPort(com_);
    form_.ComBaudBtn_Click(options_.speedIndex);
    form_.Initialize_Click();
    if (!form_.PortOpen) {
        context_.portFailed = true;
        errorLine_ = form_.LastErrorLine();  // no run to report it
        finish(ExitUsage);
        return false;
    }
    return true;
}

bool PortRun::start()
{
    runClock_.start();
    form_.ProgramFlash_Click();
    if (form_.ProgramMode == RunMode::Idle) {
        finish(ExitUsage);  // refused: the image has faults, or went away
        return false;
    }
    return !refusedAsNotTheNamedImage();
}

bool PortRun::refusedAsNotTheNamedImage()
{
    // The check has just ended (the first entry byte is due on the next
    // tick); a check on the ticks ends later.
    if (namedImageCompared_ || form_.ProgramMode != RunMode::SendEntryByte1)
        return false;
    namedImageCompared_ = true;
    if (!imageNamed || (!namedImageDigest.isEmpty() && form_.CheckedDigest() == namedImageDigest))
        return false;
    // The file was replaced between the reading for the log and the report
    // and this run's check: they would name an image that is not the one sent.
    form_.abortRun(FailureCause::ImageChanged,
                   QStringLiteral("The input file was replaced after the log and the report read it; nothing was "
                                  "sent. Run again to flash the file as it is now."));
    finish(ExitUsage);
    return true;
}

bool PortRun::afterTick()
{
    if (ended_)
        return true;
    if (refusedAsNotTheNamedImage())
        return true;
    // A device that never falls quiet after the entry bytes would keep a
    // script waiting for ever: the wait is bounded here (the desktop's
    // operator can press "Abort Process").
    if (form_.ProgramMode == RunMode::AwaitEntryReply) {
        if (!quietWait_.isValid())
            quietWait_.start();
        if (quietWait_.elapsed() >= qint64(options_.timeoutSeconds) * 1000) {
            form_.abortRun(FailureCause::LineNeverQuiet,
                           QStringLiteral("The line did not fall quiet within %1 s after the entry bytes: the device "
                                          "keeps sending. Is the speed right (-s), and is the device waiting in "
                                          "FLASH3 boot mode?")
                               .arg(options_.timeoutSeconds));
        }
    }
    if (form_.ProgramMode != RunMode::Idle || form_.window().programEnded())
        return ended_;
    if (!form_.LastRunReport.started) {
        finish(ExitUsage);  // refused after a check that took several ticks
        return true;
    }
    if (form_.LastRunOutcome == RunOutcome::Completed && imageNamed && form_.CheckedDigest() != namedImageDigest) {
        // Never expected once the check was compared; kept so that no path
        // can complete a run on another file than the one named.
        form_.abortRun(FailureCause::ImageChanged, QStringLiteral("The input file was replaced after this run began: "
                                                                  "what was sent is not the image the log and the "
                                                                  "report name."));
    }
    finish(form_.LastRunOutcome == RunOutcome::Completed ? ExitCompleted : ExitRunFailed);
    return true;
}

void PortRun::interrupt()
{
    if (ended_)
        return;
    interrupted_ = true;
    if (form_.ProgramMode != RunMode::Idle)
        form_.ProgramFlash_Click();  // "Abort Process"
    finish(ExitInterrupted);
}

void PortRun::finish(int status)
{
    if (ended_)
        return;
    ended_ = true;
    status_ = status;
    context_.seconds = runClock_.isValid() ? static_cast<double>(runClock_.elapsed()) / 1000.0 : 0.0;
    context_.interrupted = status == ExitInterrupted;
    const RunReport& report = form_.LastRunReport;
    if (!report.started && report.cause == FailureCause::ImageFaults && report.lineEndsConverted) {
        // The reader counts every record a converted line end misaligns;
        // the verdict counts as --check does, which judges the rest as if
        // the line ends were CR LF.
        const CheckSummary check = explainImage(options_.image, [](const CheckLine&) {});
        context_.lineEnds = check.lineEnds;
        context_.checkFaults = check.faults;
    }
    form_.exitNow();
}

QString PortRun::verdict() const
{
    static const QString head = QStringLiteral("flash3-cli: ");
    QString line = verdictLine(form_.LastRunOutcome, form_.LastRunReport, context_);
    if (line.startsWith(head))
        line.remove(0, head.size());
    return line;
}

QString PortRun::errorLine() const
{
    if (status_ == ExitInterrupted)
        return QString();
    return errorLine_.isEmpty() ? form_.LastRunReport.errorLine : errorLine_;
}

PortRun::Phase PortRun::phase() const
{
    // What the engine does not see: a port that would not open, and a
    // Ctrl-C that came before the run began.
    if (ended_ && status_ == ExitInterrupted)
        return Phase::Aborted;
    if (ended_ && context_.portFailed)
        return Phase::Refused;
    return form_.phase();
}

void PortRun::logAppended(LogId id, const QString& line, int)
{
    if (id == LogId::List2 && line.startsWith(QLatin1String("Hint: ")))
        hints_ << line;
    if (onLine)
        onLine(*this, id, line);
}

void PortRun::textChanged(TextId id)
{
    if (id == TextId::Text4 && form_.ProgramMode != RunMode::Idle && onProgress)
        onProgress(*this);
}

PortResult PortRun::result() const
{
    PortResult r;
    r.com = com();
    r.devicePath = devicePath();
    r.byIdPath = byIdPath;
    r.serialNumber = serialNumber;
    r.speed = speed();
    r.phase = phase();
    r.outcome = outcome();
    r.status = status();
    r.portFailed = portFailed();
    r.seconds = seconds();
    r.recordsDone = form().RecordsDone;
    r.recordsTotal = form().RecordsTotal;
    r.report = report();
    r.verdict = verdict();
    r.errorLine = errorLine();
    r.hints = hints();
    return r;
}

} // namespace flash3::cli
