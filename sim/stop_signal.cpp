#include "stop_signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace flash3sim {

namespace {

std::atomic<int> g_stopSignal{0};
int g_stopPipe[2] = {-1, -1};

void onStopSignal(int sig)
{
    g_stopSignal = sig;
    if (g_stopPipe[1] >= 0) {
        const int saved = errno;
        [[maybe_unused]] const ssize_t n = ::write(g_stopPipe[1], "", 1);
        errno = saved;
    }
}

} // namespace

void installStopSignals()
{
    if (g_stopPipe[0] < 0 && ::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        g_stopPipe[0] = g_stopPipe[1] = -1;  // a signal then wakes only the thread it lands on
    struct sigaction sa{};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: poll() must return on a signal
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

void requestStop(int sig)
{
    onStopSignal(sig);
}

int stopSignal()
{
    return g_stopSignal;
}

int stopFd()
{
    return g_stopPipe[0];
}

void sleepFor(std::chrono::milliseconds ms)
{
    if (ms.count() <= 0)
        return;
    if (g_stopPipe[0] >= 0) {
        pollfd pfd{g_stopPipe[0], POLLIN, 0};
        ::poll(&pfd, 1, static_cast<int>(ms.count()));
        return;
    }
    timespec ts{static_cast<time_t>(ms.count() / 1000), static_cast<long>(ms.count() % 1000) * 1000000L};
    ::nanosleep(&ts, nullptr);
}

} // namespace flash3sim
