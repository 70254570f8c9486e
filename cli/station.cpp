#include "station.h"

#include "cli.h"
#include "console.h"
#include "fd_limit.h"
#include "json_report.h"
#include "output_file.h"
#include "port_run.h"
#include "run_log.h"
#include "station_view.h"

#include "app/tick_driver.h"
#include "ports/port_map.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

namespace flash3::cli {

namespace {

bool setupError(const QString& message)
{
    std::fprintf(stderr, "flash3-cli: %s\n", message.toLocal8Bit().constData());
    return false;
}

QString canonical(const QString& path)
{
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

// By-id name and serial number, where the port list knows the device.
void lookUpDetails(const std::vector<std::unique_ptr<PortRun>>& runs)
{
    const QList<ListedPort> listed = listSerialPorts();
    for (const auto& run : runs) {
        const QString device = canonical(run->devicePath());
        for (const ListedPort& l : listed) {
            if (l.present && canonical(l.devicePath) == device) {
                run->byIdPath = l.byIdPath;
                run->serialNumber = l.serialNumber;
                break;
            }
        }
    }
}

QString imageLine(const ImageFacts& f)
{
    if (f.interrupted)
        return QStringLiteral("image %1: not read (interrupted)").arg(f.path);
    if (!f.readable)
        return QStringLiteral("image %1: cannot be read").arg(f.path);
    return QStringLiteral("image %1: %2 bytes, SHA-256 %3, %4 records (%5 T, %6 R, %7 E)")
        .arg(f.path, QString::number(f.size), f.sha256, QString::number(f.records), QString::number(f.tRecords),
             QString::number(f.rRecords), QString::number(f.eRecords));
}

} // namespace

int stationStatus(const QList<int>& portStatuses, bool interrupted)
{
    if (interrupted)
        return ExitInterrupted;
    if (std::all_of(portStatuses.begin(), portStatuses.end(), [](int s) { return s == ExitCompleted; }))
        return ExitCompleted;
    if (std::all_of(portStatuses.begin(), portStatuses.end(), [](int s) { return s == ExitUsage; }))
        return ExitUsage;
    return ExitRunFailed;
}

Station::Station(const Options& options) : o_(options) {}

Station::~Station() = default;

bool Station::setUp()
{
    if (const QString shortage = ensureDescriptorsFor(o_.ports.size()); !shortage.isEmpty())
        return setupError(shortage);
    report_.started = QDateTime::currentDateTime();
    // An interrupt that comes while the image is read or the ports are opened
    // stops that too. Watched from the start, so that no file this run writes
    // exists before.
    interrupts_ = std::make_unique<InterruptWatch>([this] { interrupt(); });
    if (!openOutputs())
        return false;
    createPorts();
    readImage();
    showAndLog();
    openAndStartPorts();
    return true;
}

bool Station::openOutputs()
{
    // Finding out after the run would leave a station without its record.
    if (!o_.reportPath.isEmpty()) {
        if (const QString reason = unwritableReason(o_.reportPath); !reason.isEmpty())
            return setupError(QStringLiteral("cannot write the report '%1': %2 (a report goes to a regular file or a "
                                             "new one)")
                                  .arg(o_.reportPath, reason));
    }
    if (!o_.logPath.isEmpty()) {
        QString error;
        if (!log_.open(o_.logPath, &error))
            return setupError(
                QStringLiteral("cannot open the log '%1': %2 (a log goes to a regular file or a new one)")
                    .arg(o_.logPath, error));
    }
    return true;
}

void Station::createPorts()
{
    for (const PortChoice& choice : o_.ports)
        runs_.push_back(std::make_unique<PortRun>(choice, o_));
}

void Station::readImage()
{
    // One reading of the image for the log, the report and every port's
    // check before its run; each port's own reads are still compared with it.
    const bool named = log_.isOpen() || !o_.reportPath.isEmpty();
    report_.image = imageFacts(o_.image, [this] { return stillGoing(); }, o_.sha256, named);
    for (const auto& run : runs_) {
        run->form().useCheckedImage(report_.image.check);
        if (named) {
            run->imageNamed = true;
            run->namedImageDigest = report_.image.blake2b;
        }
    }
    if (!o_.reportPath.isEmpty())
        lookUpDetails(runs_);
}

void Station::showAndLog()
{
    StationView::Mode mode = StationView::Mode::Single;
    if (o_.station())
        mode = !o_.quiet && stderrIsTerminal() && stdoutIsTerminal() ? StationView::Mode::Table
                                                                     : StationView::Mode::Lines;
    view_ = std::make_unique<StationView>(mode, [this] { return results(); }, !o_.quiet && stderrIsTerminal());
    for (const auto& run : runs_) {
        run->onLine = [this](PortRun& port, LogId id, const QString& text) {
            // Logged before it is shown: whatever the console showed, the log holds.
            log_.write(QStringLiteral("COM%1 %2: %3")
                           .arg(port.com())
                           .arg(QLatin1String(id == LogId::List1 ? "Status1" : "Debug"), text));
            view_->line(port.com(), id, text);
        };
        run->onProgress = [this](PortRun& port) { view_->progress(port.form().RecordsDone, port.form().RecordsTotal); };
    }

    log_.write(QStringLiteral("flash3-cli %1: run on %2 port%3 begins")
                   .arg(QLatin1String(FLASH3_VERSION))
                   .arg(runs_.size())
                   .arg(runs_.size() == 1 ? "" : "s"));
    log_.write(imageLine(report_.image));
    for (const QString& line : knownDigestLines(report_.image))
        log_.write(line);
    for (const auto& run : runs_)
        log_.write(QStringLiteral("COM%1 port: %2 at %3 bit/s")
                       .arg(QString::number(run->com()),
                            run->devicePath().isEmpty() ? QStringLiteral("(no device)") : run->devicePath(),
                            QString::number(run->speed())));
}

void Station::openAndStartPorts()
{
    // Every port is opened before any starts, so that the runs begin together.
    for (const auto& run : runs_) {
        if (stillGoing())
            run->prepare();
    }
    clock_.start();
    for (const auto& run : runs_) {
        if (!run->ended() && stillGoing())
            run->start();
    }
    if (interrupted_) {
        for (const auto& run : runs_)
            run->interrupt();  // those it came too early for
    }
}

bool Station::stillGoing()
{
    QCoreApplication::processEvents();
    return !interrupted_;
}

bool Station::allEnded() const
{
    return std::all_of(runs_.begin(), runs_.end(), [](const auto& run) { return run->ended(); });
}

void Station::runTicks()
{
    std::vector<Form1*> forms;
    for (const auto& run : runs_)
        forms.push_back(&run->form());
    TickDriver ticks(forms);
    if (const QByteArray path = qgetenv("FLASH3_TICK_LOG"); !path.isEmpty())
        ticks.recordIntervalsTo(QString::fromLocal8Bit(path));
    if (allEnded())
        return;
    QObject::connect(&ticks, &TickDriver::ticked, [this] { tick(); });
    view_->refresh(true);
    QCoreApplication::exec();
}

void Station::tick()
{
    if (interrupted_)
        return;
    for (const auto& run : runs_)
        run->afterTick();
    view_->refresh();
    if (allEnded())
        QCoreApplication::exit(0);
}

void Station::interrupt()
{
    if (interrupted_)
        return;
    interrupted_ = true;
    for (const auto& run : runs_)
        run->interrupt();
    QCoreApplication::exit(0);
}

std::vector<PortResult> Station::results() const
{
    std::vector<PortResult> results;
    results.reserve(runs_.size());
    for (const auto& run : runs_)
        results.push_back(run->result());
    return results;
}

int Station::finish()
{
    const std::vector<PortResult> ports = results();
    QList<int> statuses;
    for (const PortResult& port : ports)
        statuses << port.status;
    report_.exitStatus = stationStatus(statuses, interrupted_);
    report_.ended = QDateTime::currentDateTime();

    std::vector<QString> verdicts;
    for (const PortResult& port : ports) {
        verdicts.push_back(portVerdictLine(port, o_.station()));
        log_.write(QStringLiteral("COM%1 %2").arg(QString::number(port.com), verdicts.back()));
    }
    const QString summary =
        o_.station() ? summaryLine(ports, static_cast<double>(clock_.elapsed()) / 1000.0) : QString();
    if (!summary.isEmpty())
        log_.write(summary);
    view_->finish(ports, verdicts, summary);

    // A station without its record must not pass for a clean one: a log or a
    // report that could not be written turns success into failure.
    int status = report_.exitStatus;
    log_.close();
    if (!log_.failure().isEmpty()) {
        std::fprintf(stderr, "flash3-cli: the log '%s' is incomplete: %s\n", o_.logPath.toLocal8Bit().constData(),
                     log_.failure().toLocal8Bit().constData());
        if (status == ExitCompleted)
            status = report_.exitStatus = ExitRunFailed;
    }
    if (!o_.reportPath.isEmpty()) {
        QString error;
        if (!writeReport(o_.reportPath, runReport(report_, ports), &error)) {
            std::fprintf(stderr, "flash3-cli: report %s not written: %s\n", o_.reportPath.toLocal8Bit().constData(),
                         error.toLocal8Bit().constData());
            if (status == ExitCompleted)
                status = ExitRunFailed;
        }
    }
    std::fflush(stderr);
    return status;
}

int runPorts(const Options& o)
{
    Station station(o);
    if (!station.setUp())
        return ExitUsage;
    station.runTicks();
    return station.finish();
}

} // namespace flash3::cli
