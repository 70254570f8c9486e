#pragma once
// SIGINT, SIGTERM and SIGHUP end every device of the process. A signal
// interrupts the poll() of only the thread it lands on, so the handler also
// writes to a pipe that every device's poll() watches; nothing reads the
// pipe, so it stays readable once a stop has come.

#include <chrono>

namespace flash3sim {

// Installs the handler (once, before any device thread starts).
void installStopSignals();
// What a signal does, for the process itself (a device that cannot start).
void requestStop(int sig);
// The signal that asked for a stop, or 0.
int stopSignal();
// Readable once a stop has come; -1 when there is no pipe (poll() skips it).
int stopFd();
// Sleeps, cut short by a stop, which is what we want.
void sleepFor(std::chrono::milliseconds ms);

} // namespace flash3sim
