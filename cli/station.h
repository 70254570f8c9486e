#pragma once
// A flash3-cli run on one port or on many at once: one engine per port, all
// driven by one shared tick, with the console view, the dated log and the JSON
// report around them.

#include "json_report.h"
#include "options.h"
#include "port_result.h"
#include "run_log.h"

#include <QElapsedTimer>

#include <memory>
#include <vector>

namespace flash3::cli {

class InterruptWatch;
class PortRun;
class StationView;

class Station {
public:
    explicit Station(const Options& options);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Everything before the first tick: the descriptor limit, the log and the
    // report writable, the image read once, every port opened, then started.
    // False (the reason said on stderr) when the run is refused before any
    // port is touched; the exit status is then ExitUsage.
    bool setUp();
    // Lets the ticks drive every port until all have ended or an interrupt comes.
    void runTicks();
    // Ctrl-C, SIGTERM: every port's run ends like "Abort Process", its port
    // closed, and the ticks stop.
    void interrupt();
    // The verdicts, the summary, the log closed and the report written (also
    // after an interrupt); the exit status of the whole run.
    int finish();

    // Every port as it stands now, in the order given.
    std::vector<PortResult> results() const;

private:
    // The report and the log must be writable before any port is touched.
    bool openOutputs();
    void createPorts();
    void readImage();
    void showAndLog();
    void openAndStartPorts();
    // After every tick.
    void tick();
    bool allEnded() const;
    // False once interrupted; lets an interrupt in while the image is read or the ports opened.
    bool stillGoing();

    const Options& o_;
    ReportContext report_;
    std::unique_ptr<InterruptWatch> interrupts_;
    bool interrupted_ = false;
    RunLog log_;
    std::vector<std::unique_ptr<PortRun>> runs_;
    std::unique_ptr<StationView> view_;
    QElapsedTimer clock_;
};

// The exit status of the whole run: 0 when every port completed, 1 when any
// failed, 2 when none could start, 130 when interrupted.
int runPorts(const Options& options);

// The run's exit status from the ports' own (0, 1, 2 or 130 each).
int stationStatus(const QList<int>& portStatuses, bool interrupted);

} // namespace flash3::cli
