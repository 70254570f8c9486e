#pragma once
// A log list box (List1 or List2) showing the window model's log.
//
// One tick may post thousands of lines. Touching the rows and repainting for
// each line would stall the 5 ms tick, so the rows are brought up to date and
// repainted at once at most once per display frame; lines posted in between
// are picked up by that repaint or, at the latest, when the event loop runs
// again. The newest line is then the current entry, in view, not highlighted.
//
// A technician can take a log away: its context menu copies the selected
// lines (as Ctrl+C does), selects them all, or saves the whole log as a text
// file. Saving is the one thing that writes to disk, and only when asked.

#include "app/window_model.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>

class QAction;
class QMenu;

namespace flash3::ui {

class LogView : public QListWidget, private WindowObserver
{
    Q_OBJECT

public:
    LogView(WindowModel& model, LogId id, QWidget* parent = nullptr);
    ~LogView() override;

    // Shortest time between two immediate repaints (about one display frame).
    static constexpr int FrameMs = 16;

    // The log's heading in the window: "Status1" or "Status2".
    QString heading() const;
    // "Copy", "Select All" and "Save As...", enabled as they apply now.
    QMenu* contextMenu();
    // The selected lines, top to bottom, one a line.
    QString selectedText() const;
    // Puts the selected lines on the clipboard; nothing selected leaves it alone.
    void copySelection();
    // Asks for a file and writes every line of the log into it.
    void saveAs();
    // Every line, by the menu or Ctrl+A.
    void selectAll() override;

signals:
    // A line for the Debug log saying how a save went.
    void hint(const QString& line);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void logAppended(LogId id, const QString& line, int removed) override;
    void logCleared(LogId id) override;
    void syncRows();
    void showNewest();

    WindowModel& model_;
    LogId id_;
    int pendingAdded_ = 0;
    int pendingRemoved_ = 0;
    QElapsedTimer sinceRepaint_;
    QTimer deferred_;
    QMenu* menu_ = nullptr;
    QAction* copy_ = nullptr;
    QAction* selectAll_ = nullptr;
    QAction* saveAs_ = nullptr;
};

} // namespace flash3::ui
