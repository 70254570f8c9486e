#pragma once
// The text of a one-line progress bar on a terminal: records done/total,
// percent, elapsed and time left; at the end, the run's time instead.

#include <QByteArray>
#include <QElapsedTimer>

namespace flash3::cli {

class ProgressBar {
public:
    ProgressBar() { clock_.start(); }

    // "\r[####......] 1234/5400  22.9 %  0:01 elapsed  0:03 left", erasing
    // the rest of the line.
    QByteArray text(long long done, long long total) const;
    // The last drawing: "... 100.0 %  in 3.2 s".
    QByteArray finalText(long long done, long long total, double seconds) const;

private:
    QByteArray draw(long long done, long long total, const QByteArray& tail) const;

    QElapsedTimer clock_;
};

} // namespace flash3::cli
