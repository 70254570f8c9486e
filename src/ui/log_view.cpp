#include "ui/log_view.h"

namespace flash3::ui {

LogView::LogView(WindowModel& model, LogId id, QWidget* parent) : QListWidget(parent), model_(model), id_(id)
{
    setObjectName(id == LogId::List1 ? QStringLiteral("List1") : QStringLiteral("List2"));
    // Without uniform sizes every row is measured again for each new line.
    setUniformItemSizes(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);

    deferred_.setSingleShot(true);
    deferred_.setInterval(0);
    connect(&deferred_, &QTimer::timeout, this, [this] {
        syncRows();
        viewport()->update();
    });

    pendingAdded_ = static_cast<int>(model_.log(id_).lines.size());
    syncRows();
    model_.addObserver(this);
}

LogView::~LogView()
{
    model_.removeObserver(this);
}

void LogView::logAppended(LogId id, const QString&, int removed)
{
    if (id != id_)
        return;
    ++pendingAdded_;
    pendingRemoved_ += removed;
    if (!sinceRepaint_.isValid() || sinceRepaint_.elapsed() >= FrameMs) {
        // Shown now, without waiting for the event loop: a long step may hold
        // the loop for a while and the operator should see it progress.
        deferred_.stop();
        syncRows();
        if (isVisible())
            viewport()->repaint();
        sinceRepaint_.start();
    } else if (!deferred_.isActive()) {
        deferred_.start();
    }
}

void LogView::logCleared(LogId id)
{
    if (id != id_)
        return;
    deferred_.stop();
    pendingAdded_ = 0;
    pendingRemoved_ = 0;
    clear();
}

void LogView::syncRows()
{
    if (pendingAdded_ == 0 && pendingRemoved_ == 0)
        return;
    const QStringList& lines = model_.log(id_).lines;
    const int kept = count() - pendingRemoved_;
    if (kept >= 0 && kept + pendingAdded_ == lines.size()) {
        if (pendingRemoved_ > 0)
            model()->removeRows(0, pendingRemoved_);
        if (pendingAdded_ > 0)
            addItems(lines.mid(lines.size() - pendingAdded_));
    } else {
        // More lines came than the list keeps: rebuild from the log.
        clear();
        addItems(lines);
    }
    pendingAdded_ = 0;
    pendingRemoved_ = 0;
    showNewest();
}

void LogView::showNewest()
{
    const int row = model_.log(id_).currentRow;
    if (row < 0 || row >= count())
        return;
    setCurrentRow(row, QItemSelectionModel::NoUpdate);
    clearSelection();
    scrollToItem(item(row), QAbstractItemView::EnsureVisible);
}

} // namespace flash3::ui
