#pragma once
// flash3-cli: the headless twin of the desktop program. It does what an
// operator does (choose port and speed, "Initialize", choose the image,
// "Program FLASH", "Exit / Abort" once the run has ended) and prints the
// Status1 log to stdout and the Debug log to stderr.

namespace flash3::cli {

// Exit statuses.
enum ExitStatus {
    ExitCompleted = 0,    // the run reached the end of the image
    ExitRunFailed = 1,    // the run ended by a failure (or --check found faults)
    ExitUsage = 2,        // bad usage, unusable image, port that cannot be opened
    ExitInterrupted = 130 // SIGINT or SIGTERM
};

int run(int argc, char** argv);

} // namespace flash3::cli
