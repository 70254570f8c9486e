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
#include <memory>
#include <vector>

namespace flash3::cli {

namespace {

int setupError(const QString& message)
{
    std::fprintf(stderr, "flash3-cli: %s\n", message.toLocal8Bit().constData());
    return ExitUsage;
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

int runPorts(const Options& o)
{
    if (const QString shortage = ensureDescriptorsFor(o.ports.size()); !shortage.isEmpty())
        return setupError(shortage);
    ReportContext report;
    report.started = QDateTime::currentDateTime();

    // An interrupt (Ctrl-C, SIGTERM) ends every run like "Abort Process" and
    // closes every port, then the program exits; one that comes while the
    // image is read or the ports are opened stops that too. Watched from the
    // start, so that no file this run writes exists before.
    std::vector<PortRun*> ports;
    bool interrupted = false;
    const InterruptWatch interrupts([&] {
        if (interrupted)
            return;
        interrupted = true;
        for (PortRun* run : ports)
            run->interrupt();
        QCoreApplication::exit(0);
    });
    const auto stillGoing = [&] {
        QCoreApplication::processEvents();
        return !interrupted;
    };

    // The report and the log must be writable before any port is touched:
    // finding out after the run would leave a station without its record.
    if (!o.reportPath.isEmpty()) {
        if (const QString reason = unwritableReason(o.reportPath); !reason.isEmpty())
            return setupError(QStringLiteral("cannot write the report '%1': %2 (a report goes to a regular file or a "
                                             "new one)")
                                  .arg(o.reportPath, reason));
    }
    RunLog log;
    if (!o.logPath.isEmpty()) {
        QString error;
        if (!log.open(o.logPath, &error))
            return setupError(
                QStringLiteral("cannot open the log '%1': %2 (a log goes to a regular file or a new one)")
                    .arg(o.logPath, error));
    }
    std::vector<std::unique_ptr<PortRun>> runs;
    std::vector<Form1*> forms;
    for (const PortChoice& choice : o.ports) {
        runs.push_back(std::make_unique<PortRun>(choice, o));
        ports.push_back(runs.back().get());
        forms.push_back(&runs.back()->form());
    }

    // One reading of the image for the log, the report and every port's
    // check before its run; each port's own reads are still compared with it.
    const bool named = log.isOpen() || !o.reportPath.isEmpty();
    report.image = imageFacts(o.image, stillGoing, o.sha256, named);
    for (PortRun* run : ports) {
        run->form().useCheckedImage(report.image.check);
        if (named) {
            run->imageNamed = true;
            run->namedImageDigest = report.image.blake2b;
        }
    }
    if (!o.reportPath.isEmpty())
        lookUpDetails(runs);

    StationView::Mode mode = StationView::Mode::Single;
    if (o.station())
        mode = !o.quiet && stderrIsTerminal() && stdoutIsTerminal() ? StationView::Mode::Table
                                                                    : StationView::Mode::Lines;
    const auto results = [&] {
        std::vector<PortResult> now;
        for (const PortRun* run : ports)
            now.push_back(run->result());
        return now;
    };
    StationView view(mode, results, !o.quiet && stderrIsTerminal());
    for (PortRun* run : ports) {
        run->onLine = [&](PortRun& port, LogId id, const QString& text) {
            // Logged before it is shown: whatever the console showed, the log holds.
            log.write(QStringLiteral("COM%1 %2: %3")
                          .arg(port.com())
                          .arg(QLatin1String(id == LogId::List1 ? "Status1" : "Debug"), text));
            view.line(port.com(), id, text);
        };
        run->onProgress = [&](PortRun& port) { view.progress(port.form().RecordsDone, port.form().RecordsTotal); };
    }

    log.write(QStringLiteral("flash3-cli %1: run on %2 port%3 begins")
                  .arg(QLatin1String(FLASH3_VERSION))
                  .arg(runs.size())
                  .arg(runs.size() == 1 ? "" : "s"));
    log.write(imageLine(report.image));
    for (const QString& line : knownDigestLines(report.image))
        log.write(line);
    for (PortRun* run : ports)
        log.write(QStringLiteral("COM%1 port: %2 at %3 bit/s")
                      .arg(QString::number(run->com()),
                           run->devicePath().isEmpty() ? QStringLiteral("(no device)") : run->devicePath(),
                           QString::number(run->speed())));

    // Every port is opened before any starts, so that the runs begin together.
    for (PortRun* run : ports) {
        if (stillGoing())
            run->prepare();
    }
    QElapsedTimer clock;
    clock.start();
    for (PortRun* run : ports) {
        if (!run->ended() && stillGoing())
            run->start();
    }

    const auto allEnded = [&] {
        return std::all_of(ports.begin(), ports.end(), [](const PortRun* p) { return p->ended(); });
    };
    if (interrupted) {
        for (PortRun* run : ports)
            run->interrupt();  // those it came too early for
    }
    {
        TickDriver ticks(forms);
        if (const QByteArray path = qgetenv("FLASH3_TICK_LOG"); !path.isEmpty())
            ticks.recordIntervalsTo(QString::fromLocal8Bit(path));
        if (!allEnded()) {
            QObject::connect(&ticks, &TickDriver::ticked, [&] {
                if (interrupted)
                    return;
                for (PortRun* run : ports)
                    run->afterTick();
                view.refresh();
                if (allEnded())
                    QCoreApplication::exit(0);
            });
            view.refresh(true);
            QCoreApplication::exec();
        }
    }

    const std::vector<PortResult> ended = results();
    QList<int> statuses;
    for (const PortResult& port : ended)
        statuses << port.status;
    report.exitStatus = stationStatus(statuses, interrupted);
    report.ended = QDateTime::currentDateTime();

    std::vector<QString> verdicts;
    for (const PortResult& port : ended) {
        verdicts.push_back(portVerdictLine(port, o.station()));
        log.write(QStringLiteral("COM%1 %2").arg(QString::number(port.com), verdicts.back()));
    }
    const QString summary = o.station() ? summaryLine(ended, static_cast<double>(clock.elapsed()) / 1000.0) : QString();
    if (!summary.isEmpty())
        log.write(summary);
    view.finish(ended, verdicts, summary);

    // A station without its record must not pass for a clean one: a log or a
    // report that could not be written turns success into failure.
    int status = report.exitStatus;
    log.close();
    if (!log.failure().isEmpty()) {
        std::fprintf(stderr, "flash3-cli: the log '%s' is incomplete: %s\n", o.logPath.toLocal8Bit().constData(),
                     log.failure().toLocal8Bit().constData());
        if (status == ExitCompleted)
            status = report.exitStatus = ExitRunFailed;
    }
    if (!o.reportPath.isEmpty()) {
        QString error;
        if (!writeReport(o.reportPath, runReport(report, ended), &error)) {
            std::fprintf(stderr, "flash3-cli: report %s not written: %s\n", o.reportPath.toLocal8Bit().constData(),
                         error.toLocal8Bit().constData());
            if (status == ExitCompleted)
                status = ExitRunFailed;
        }
    }
    std::fflush(stderr);
    return status;
}

} // namespace flash3::cli
