#pragma once
// File descriptors for a station. Each port holds two for its whole run (the
// image and the device), so a station of many ports meets the soft limit on
// open files long before the system's: 64 ports under the usual 1024 are
// fine, under `ulimit -n 40` most ports would fail in ways that name
// something else ("cannot open the image").

#include <QString>

namespace flash3::cli {

// Descriptors a port holds from its start to its end.
constexpr int kDescriptorsPerPort = 2;
// What the rest of a run may open besides: the log, the report, the image
// read for them, the look-ups behind the hints and the port list.
constexpr int kDescriptorsSpare = 16;

// Raises the soft limit on open files to the hard limit, as servers do, then
// tells whether `ports` ports fit in it. Empty when they do; otherwise the
// message to give ("too many open files: ..."), before any port is touched.
// On systems without such a limit it is always empty.
QString ensureDescriptorsFor(qsizetype ports);

} // namespace flash3::cli
