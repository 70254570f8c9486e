#pragma once
// The console flash3-cli runs in, one file per platform: interrupts (Ctrl-C,
// a termination request) delivered to the event loop, and whether stderr is a
// terminal that can show the progress bar.

#include <QObject>

#include <functional>
#include <memory>

namespace flash3::cli {

// Ready before the program does anything else: a closed pipe must not kill
// it, the terminal must understand the progress bar's escapes, and an
// interrupt (Ctrl-C, SIGTERM, a closed terminal) is held for the run's
// InterruptWatch, however early it comes.
void prepareConsole();
// For what has nothing to close or record (--check, --list-ports): from now
// on, and for an interrupt already held, the program exits at once with 130.
void exitOnInterrupt();

bool stderrIsTerminal();
bool stdoutIsTerminal();
// The rows and columns of the terminal on stderr (24 and 80 when they cannot be told).
int terminalRows();
int terminalColumns();

// While it lives, every interrupt calls `onInterrupt` on the event loop's
// thread (never inside a signal handler).
class InterruptWatch {
public:
    explicit InterruptWatch(std::function<void()> onInterrupt);
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

private:
    struct Private;
    std::unique_ptr<Private> d_;
};

} // namespace flash3::cli
