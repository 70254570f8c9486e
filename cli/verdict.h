#pragma once
// The one line that says, in words, how a flash3-cli run ended. It follows
// the logs on stderr and begins "flash3-cli: ", so scripts and people need not
// read the logs to know.

#include "app/run_report.h"

#include <QString>

namespace flash3::cli {

struct VerdictContext {
    QString image;        // as given on the command line
    int comPort = 0;
    QString devicePath;
    double seconds = 0;   // from "Program FLASH" to the end of the run
    bool portFailed = false;  // the port could not be opened
    bool interrupted = false; // SIGINT or SIGTERM
    // An image refused for converted line ends: "LF" or "CR", and the number
    // of faults --check reports for it.
    QString lineEnds;
    int64_t checkFaults = 0;
};

// The whole line, "flash3-cli: " included, without the line end.
QString verdictLine(RunOutcome outcome, const RunReport& report, const VerdictContext& context);

} // namespace flash3::cli
