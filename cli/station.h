#pragma once
// A flash3-cli run on one port or on many at once: one engine per port, all
// driven by one shared tick, with the console view, the dated log and the JSON
// report around them.

#include "options.h"

namespace flash3::cli {

// The exit status of the whole run: 0 when every port completed, 1 when any
// failed, 2 when none could start, 130 when interrupted.
int runPorts(const Options& options);

// The run's exit status from the ports' own (0, 1, 2 or 130 each).
int stationStatus(const QList<int>& portStatuses, bool interrupted);

} // namespace flash3::cli
