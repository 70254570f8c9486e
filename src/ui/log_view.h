#pragma once
// A log list box (List1 or List2) showing the window model's log.
//
// One tick may post thousands of lines. Touching the rows and repainting for
// each line would stall the 5 ms tick, so the rows are brought up to date and
// repainted at once at most once per display frame; lines posted in between
// are picked up by that repaint or, at the latest, when the event loop runs
// again. The newest line is then the current entry, in view, not highlighted.

#include "app/window_model.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>

namespace flash3::ui {

class LogView : public QListWidget, private WindowObserver
{
    Q_OBJECT

public:
    LogView(WindowModel& model, LogId id, QWidget* parent = nullptr);
    ~LogView() override;

    // Shortest time between two immediate repaints (about one display frame).
    static constexpr int FrameMs = 16;

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
};

} // namespace flash3::ui
