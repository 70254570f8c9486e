#pragma once
// What flash3-cli shows while its ports run. One port: the logs as the
// window has them (Status1 on stdout, Debug on stderr) under a progress bar.
// Several ports, on a terminal: one line per port, redrawn in place; else
// every log line with its port in front ("COM33: ...").

#include "port_run.h"
#include "progress_bar.h"

#include <QElapsedTimer>

#include <cstdio>
#include <memory>
#include <vector>

namespace flash3::cli {

class StationView {
public:
    enum class Mode { Single, Lines, Table };

    StationView(Mode mode, const std::vector<PortRun*>& ports, bool progressBar);

    void line(PortRun& port, LogId id, const QString& text);
    void progress(PortRun& port);
    // Redraws the table when it is due (at most ten times a second) or `now`.
    void refresh(bool now = false);
    // The verdict lines and, for several ports, the summary; the table is
    // drawn a last time first.
    void finish(const std::vector<QString>& verdicts, const QString& summary);

    // The table's lines as they would be drawn now on a terminal of that
    // size (tests read them): none wider than a row, so that none wraps.
    std::vector<QString> tableLines(int terminalRows, int terminalColumns) const;

private:
    std::vector<QString> rows(int terminalRows, qsizetype deviceWidth) const;
    // The lines held since the bar was drawn, then the bar again (or its
    // last drawing, `seconds` >= 0), in one write where they share a terminal.
    void drawBar(double seconds = -1.0);

    Mode mode_;
    std::vector<PortRun*> ports_;
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
