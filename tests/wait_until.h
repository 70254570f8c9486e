#pragma once
// Waiting for a condition instead of sleeping for a guessed time: a test
// that sleeps passes or fails with the machine's load, one that waits on
// what it needs only takes as long as that takes.

#include <chrono>
#include <thread>

namespace flash3::testing {

// Polls `done` until it holds or `timeout` has passed; returns whether it holds.
template <typename Done>
bool waitUntil(Done done, std::chrono::milliseconds timeout,
               std::chrono::microseconds poll = std::chrono::microseconds(500))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return done();
        std::this_thread::sleep_for(poll);
    }
    return true;
}

} // namespace flash3::testing
