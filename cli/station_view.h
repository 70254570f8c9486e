#pragma once
// What flash3-cli shows while its ports run. One port: the logs as the
// window has them (Status1 on stdout, Debug on stderr) under a progress bar.
// Several ports, on a terminal: one line per port, redrawn in place; else
// every log line with its port in front ("COM33: ...").

#include "port_result.h"
#include "progress_bar.h"

#include "app/window_model.h"

#include <QElapsedTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace flash3::cli {

// The verdict line of a port as the console and the log show it: with its
// COM number in front in a station.
QString portVerdictLine(const PortResult& port, bool station);
// "flash3-cli: 8 ports: 7 completed, 1 failed (COM40) in 4.2 s"
QString summaryLine(const std::vector<PortResult>& ports, double seconds);
// The table's lines as they would be drawn on a terminal of that size: none
// wider than a row, so that none wraps.
std::vector<QString> tableLines(const std::vector<PortResult>& ports, int terminalRows, int terminalColumns);
// What the table never showed of a port that did not complete, for under its
// verdict: the line that says what went wrong, then its hints.
QStringList linesAfterVerdict(const PortResult& port);

class StationView {
public:
    enum class Mode { Single, Lines, Table };

    // `results` gives every port's state as it is now, in the ports' order.
    StationView(Mode mode, std::function<std::vector<PortResult>()> results, bool progressBar);

    void line(int com, LogId id, const QString& text);
    void progress(int64_t done, int64_t total);
    // Redraws the table when it is due (at most ten times a second) or `now`.
    void refresh(bool now = false);
    // The verdict lines and, for several ports, the summary; the table is
    // drawn a last time first.
    void finish(const std::vector<PortResult>& ports, const std::vector<QString>& verdicts, const QString& summary);

private:
    // The lines held since the bar was drawn, then the bar again (or its
    // last drawing, `seconds` >= 0), in one write where they share a terminal.
    void drawBar(double seconds = -1.0);

    Mode mode_;
    std::function<std::vector<PortResult>()> results_;
    std::unique_ptr<ProgressBar> bar_;
    bool barShown_ = false;    // the bar is on the terminal's last line
    bool barDue_ = false;      // the count moved since it was drawn
    bool sameTerminal_ = false;  // stdout and stderr are one terminal
    long long done_ = 0;
    long long total_ = 0;
    QByteArray heldOut_;  // stdout's lines while the bar is shown
    QByteArray heldErr_;  // stderr's (and, on one terminal, stdout's) lines
    QElapsedTimer barClock_;
    QElapsedTimer drawClock_;
    int linesDrawn_ = 0;
    bool dirty_ = true;
};

} // namespace flash3::cli
