#include "console.h"

#include <QSocketNotifier>

#include <csignal>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flash3::cli {

namespace {
int signalPipe[2] = {-1, -1};
volatile sig_atomic_t exitAtOnce = 0;
volatile sig_atomic_t pending = 0;

void onSignal(int)
{
    if (exitAtOnce)
        ::_exit(130);
    pending = 1;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &c, 1);
}
} // namespace

void prepareConsole()
{
    std::signal(SIGPIPE, SIG_IGN);
    // Taken from the first moment, and held until the run watches for them,
    // so that an early interrupt still ends with every port closed and the
    // report written. A closed terminal (SIGHUP) is one more interrupt.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
}

void exitOnInterrupt()
{
    exitAtOnce = 1;
    if (pending)
        ::_exit(130);
}

bool stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) != 0;
}

bool stdoutIsTerminal()
{
    return ::isatty(STDOUT_FILENO) != 0;
}

int terminalRows()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    return 24;
}

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// A signal handler may only write a byte; the event loop reads it.
struct InterruptWatch::Private {
    std::unique_ptr<QSocketNotifier> notifier;
};

InterruptWatch::InterruptWatch(std::function<void()> onInterrupt) : d_(std::make_unique<Private>())
{
    if (signalPipe[0] < 0)
        return;
    // An interrupt that came before is waiting in the pipe: the notifier
    // reports it as soon as events are processed.
    d_->notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(d_->notifier.get(), &QSocketNotifier::activated, [onInterrupt] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(signalPipe[0], &c, 1);
        onInterrupt();
    });
}

InterruptWatch::~InterruptWatch() = default;

} // namespace flash3::cli
