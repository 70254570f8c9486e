#pragma once
// What one port of a flash3-cli run came to, as plain data: taken from the
// port's run once (PortRun::result()), then read by the report, the verdict
// lines, the summary and the station's table, which never reach into the
// engine themselves.

#include "app/run_report.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace flash3::cli {

// Where a port's run stands (the engine's phase, with a port that would not
// open as Refused); the last four are how it ended.
using PortPhase = RunPhase;

struct PortResult {
    int com = 0;
    QString devicePath;    // empty: the COM number stands for no device
    QString byIdPath;      // what the port list says of the device, where it knows it
    QString serialNumber;
    int speed = 0;         // bit/s
    PortPhase phase = PortPhase::Waiting;
    RunOutcome outcome = RunOutcome::None;
    int status = -1;       // 0 completed, 1 failed, 2 refused, 130 interrupted; -1 still running
    bool portFailed = false;  // the port could not be opened: nothing was sent
    double seconds = 0;    // from "Program FLASH" to the end of the run
    // The engine's counts as the window shows them (done is not raised to
    // the total at the end: each view decides).
    int64_t recordsDone = 0;
    int64_t recordsTotal = 0;
    RunReport report;      // how the run ended, in data (bytes sent, cause, where)
    QString verdict;       // how the run ended in words, without "flash3-cli: "
    QString errorLine;     // the Debug line that says what went wrong (empty: nothing did)
    QStringList hints;     // the "Hint: " lines the run posted, in order
};

// The phase as the station's table and summary show it ("FAILED", "checking image").
QString phaseName(PortPhase phase);
// The port's outcome as the report names it: completed, failed, aborted or refused.
QString outcomeName(PortPhase phase);

} // namespace flash3::cli
