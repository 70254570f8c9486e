#include "station_view.h"

#include "console.h"
#include "output_file.h"

#include <map>

namespace flash3::cli {

namespace {

void writeLine(std::FILE* out, const QString& text, bool flush = true)
{
    QByteArray bytes = text.toLocal8Bit();
    bytes += '\n';
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out);
    if (flush)
        std::fflush(out);
}

QString comText(int com)
{
    return QStringLiteral("COM%1").arg(com);
}

// A completed run counts every record, whatever the engine's count says.
int64_t recordsDone(const PortResult& port)
{
    return port.phase == PortPhase::Completed ? port.recordsTotal : port.recordsDone;
}

double percentDone(const PortResult& port)
{
    if (port.phase == PortPhase::Completed)
        return 100.0;
    return port.recordsTotal > 0 ? 100.0 * static_cast<double>(port.recordsDone) / static_cast<double>(port.recordsTotal)
                                 : 0.0;
}

std::vector<QString> rows(const std::vector<PortResult>& ports, int terminalRows, qsizetype deviceWidth)
{
    std::vector<QString> lines;
    // More ports than the terminal has rows: a table that scrolls cannot be
    // redrawn in place, so one line counts them instead.
    if (static_cast<int>(ports.size()) + 1 > terminalRows) {
        std::map<PortPhase, int> counts;
        int64_t done = 0, total = 0;
        for (const PortResult& p : ports) {
            ++counts[p.phase];
            total += p.recordsTotal;
            done += recordsDone(p);
        }
        QStringList parts;
        for (const auto& [phase, n] : counts) {
            QString part = QString::number(n) + QLatin1Char(' ') + phaseName(phase);
            // The ports that need a look are named, the first eight of them.
            if (phase == PortPhase::Failed || phase == PortPhase::Refused) {
                QStringList coms;
                for (const PortResult& p : ports) {
                    if (p.phase == phase)
                        coms << comText(p.com);
                }
                part += QStringLiteral(" (") + coms.mid(0, 8).join(QStringLiteral(", "))
                    + QLatin1String(coms.size() > 8 ? ", ...)" : ")");
            }
            parts << part;
        }
        lines.push_back(QStringLiteral("%1 ports: %2; %3 % of all records")
                            .arg(ports.size())
                            .arg(parts.join(QStringLiteral(", ")))
                            .arg(total > 0 ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 0.0, 0,
                                 'f', 1));
        return lines;
    }
    qsizetype width = 0;
    for (const PortResult& p : ports)
        width = std::max(width, p.devicePath.size());
    width = std::min<qsizetype>({width, 40, deviceWidth});
    for (const PortResult& p : ports) {
        QString device = p.devicePath;
        if (device.size() > width)
            device = width > 3 ? QStringLiteral("...") + device.right(width - 3) : QString();
        // The device's name is the user's text: padded, never passed through arg()
        // before other fields (a "%1" in it would be replaced).
        lines.push_back(comText(p.com).leftJustified(5) + QStringLiteral("  ")
                        + device.leftJustified(static_cast<int>(width)) + QStringLiteral("  ")
                        + QStringLiteral("%1/%2 %3 %  %4")
                              .arg(recordsDone(p), 7)
                              .arg(p.recordsTotal)
                              .arg(percentDone(p), 6, 'f', 1)
                              .arg(phaseName(p.phase), -14));  // as wide as the widest
    }
    return lines;
}

} // namespace

QString portVerdictLine(const PortResult& port, bool station)
{
    return station ? QStringLiteral("flash3-cli: COM%1: %2").arg(QString::number(port.com), port.verdict)
                   : QStringLiteral("flash3-cli: ") + port.verdict;
}

QString summaryLine(const std::vector<PortResult>& ports, double seconds)
{
    const PortPhase order[] = {PortPhase::Completed, PortPhase::Failed, PortPhase::Refused, PortPhase::Aborted};
    QStringList parts;
    for (PortPhase phase : order) {
        QStringList coms;
        for (const PortResult& port : ports) {
            if (port.phase == phase)
                coms << comText(port.com);
        }
        if (coms.isEmpty())
            continue;
        QString part = QStringLiteral("%1 %2").arg(QString::number(coms.size()), phaseName(phase).toLower());
        if (phase != PortPhase::Completed) {
            if (coms.size() > 16)
                part += QStringLiteral(" (%1, ...)").arg(coms.mid(0, 16).join(QStringLiteral(", ")));
            else
                part += QStringLiteral(" (%1)").arg(coms.join(QStringLiteral(", ")));
        }
        parts << part;
    }
    return QStringLiteral("flash3-cli: %1 ports: %2 in %3 s")
        .arg(ports.size())
        .arg(parts.join(QStringLiteral(", ")))
        .arg(seconds, 0, 'f', 1);
}

std::vector<QString> tableLines(const std::vector<PortResult>& ports, int terminalRows, int terminalColumns)
{
    // The device column gives way first, so that the state stays in sight.
    std::vector<QString> lines = rows(ports, terminalRows, 0);
    qsizetype others = 0;
    for (const QString& line : lines)
        others = std::max(others, line.size());
    lines = rows(ports, terminalRows, std::max<qsizetype>(terminalColumns - 1 - others, 8));
    // A line that wraps takes two rows, and the redraw (which moves up one
    // row a line) would go astray: every line stays within the width.
    for (QString& line : lines) {
        if (line.size() >= terminalColumns)
            line.truncate(std::max(terminalColumns - 1, 0));
    }
    return lines;
}

QStringList linesAfterVerdict(const PortResult& port)
{
    if (port.phase == PortPhase::Completed || port.phase == PortPhase::Aborted)
        return {};
    QStringList said = port.hints;
    if (!port.errorLine.isEmpty() && !said.contains(port.errorLine))
        said.prepend(port.errorLine);
    return said;
}

StationView::StationView(Mode mode, std::function<std::vector<PortResult>()> results, bool progressBar)
    : mode_(mode), results_(std::move(results))
{
    // Many ports log thousands of lines a second: they are written once per
    // tick (refresh()), not one system call per line.
    if (mode_ == Mode::Lines)
        std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);
    if (mode_ == Mode::Single && progressBar) {
        bar_ = std::make_unique<ProgressBar>();
        sameTerminal_ = stdoutIsTerminal() && sameFile(QStringLiteral("/dev/stdout"), QStringLiteral("/dev/stderr"));
    }
    drawClock_.start();
    barClock_.start();
}

void StationView::line(int com, LogId id, const QString& text)
{
    std::FILE* out = id == LogId::List1 ? stdout : stderr;
    switch (mode_) {
    case Mode::Single:
        // While the bar is shown, the lines of a tick are held and written
        // with the bar in one go at the end of the tick: on the terminal the
        // bar never leaves the last line, and the lines scroll above it.
        if (barShown_) {
            QByteArray& held = out == stderr || sameTerminal_ ? heldErr_ : heldOut_;
            held += text.toLocal8Bit() + '\n';
        } else {
            writeLine(out, text);
        }
        break;
    case Mode::Lines:
        writeLine(out, comText(com) + QStringLiteral(": ") + text, false);
        break;
    case Mode::Table:
        dirty_ = true;  // the logs go to --log; the table shows the state
        break;
    }
}

void StationView::progress(int64_t done, int64_t total)
{
    done_ = done;
    total_ = total;
    barDue_ = true;
    dirty_ = true;
}

void StationView::drawBar(double seconds)
{
    const bool lines = !heldOut_.isEmpty() || !heldErr_.isEmpty();
    // The count alone is drawn at most ten times a second.
    if (seconds < 0.0 && !lines && !(barDue_ && barClock_.elapsed() >= 100))
        return;
    // Lines held for stdout go elsewhere than the bar's terminal (on the same
    // terminal they are held with stderr's): out first, and the bar is never
    // left erased between two writes.
    if (!heldOut_.isEmpty()) {
        std::fwrite(heldOut_.constData(), 1, static_cast<std::size_t>(heldOut_.size()), stdout);
        std::fflush(stdout);
        heldOut_.clear();
    }
    QByteArray text;
    if (barShown_ || lines)
        text += "\r\033[K";
    text += heldErr_;
    heldErr_.clear();
    text += seconds < 0.0 ? bar_->text(done_, total_) : bar_->finalText(done_, total_, seconds) + '\n';
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
    std::fflush(stderr);
    barShown_ = seconds < 0.0;
    barDue_ = false;
    barClock_.restart();
}

void StationView::refresh(bool now)
{
    // The lines of a tick scroll above the bar; it is back on the last line
    // before the tick ends.
    if (bar_) {
        if (barShown_ || barDue_)
            drawBar();
        return;
    }
    if (mode_ == Mode::Lines) {
        std::fflush(stdout);
        std::fflush(stderr);
        return;
    }
    if (mode_ != Mode::Table || !dirty_)
        return;
    if (!now && drawClock_.elapsed() < 100)
        return;
    drawClock_.restart();
    dirty_ = false;
    const std::vector<QString> lines = tableLines(results_(), terminalRows(), terminalColumns());
    QByteArray text;
    if (linesDrawn_ > 0)
        text += "\r\033[" + QByteArray::number(linesDrawn_) + "A";
    for (const QString& l : lines)
        text += l.toLocal8Bit() + "\033[K\n";
    text += "\033[J";
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
    std::fflush(stderr);
    linesDrawn_ = static_cast<int>(lines.size());
}

void StationView::finish(const std::vector<PortResult>& ports, const std::vector<QString>& verdicts,
                         const QString& summary)
{
    if (mode_ == Mode::Table) {
        dirty_ = true;
        refresh(true);
    }
    if (barShown_ && ports.size() == 1) {
        // Where the run ended, with the time it took, stays above the verdict.
        const PortResult& p = ports.front();
        if (p.phase == PortPhase::Completed)
            done_ = total_ = p.recordsTotal;
        drawBar(p.seconds);
    }
    std::fflush(stdout);
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
        writeLine(stderr, verdicts[i]);
        // The table showed no log line: under the verdict of a port that did
        // not complete, the line that says what went wrong and its hints.
        if (mode_ != Mode::Table || i >= ports.size())
            continue;
        const QString head = QStringLiteral("flash3-cli: ") + comText(ports[i].com) + QStringLiteral(": ");
        for (const QString& line : linesAfterVerdict(ports[i]))
            writeLine(stderr, head + line);
    }
    if (!summary.isEmpty())
        writeLine(stderr, summary);
}

} // namespace flash3::cli
