#pragma once
// What to do next when a port cannot be used: the texts of the "Hint: "
// lines that follow a failed open. They look at the system (the device node,
// the processes holding it, the ports present), never change anything.

#include <QString>
#include <QStringList>

namespace flash3 {

// Whose controls the hints name: the desktop program's buttons, or what to
// run for flash3-cli (which has no "Initialize" to press).
enum class HintsFor { Desktop, Cli };

// Hints for a failed open of COM `comPort` with the driver's status code.
QStringList portOpenHints(int comPort, int status, HintsFor program = HintsFor::Desktop);

// Who holds a device: "process 1234 (flash3-cli)"; empty when it cannot be told.
QString deviceHolder(const QString& devicePath);

} // namespace flash3
