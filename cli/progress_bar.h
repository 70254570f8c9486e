#pragma once
// A one-line progress bar on a terminal: records done/total, percent, elapsed
// and time left. Log lines erase it first, so it never mixes into one.

#include <QElapsedTimer>

#include <cstdio>

namespace flash3::cli {

class ProgressBar {
public:
    explicit ProgressBar(std::FILE* terminal) : out_(terminal) { clock_.start(); }

    // Redraws at most ten times a second unless `force`.
    void update(long long done, long long total, bool force = false);
    // Removes the bar from the line (before a log line is written).
    void erase();

private:
    std::FILE* out_;
    QElapsedTimer clock_;
    qint64 lastDrawMs_ = -1000;
    bool shown_ = false;
};

} // namespace flash3::cli
