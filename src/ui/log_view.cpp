#include "ui/log_view.h"

#include "ui/file_dialog.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QSaveFile>

#include <algorithm>

namespace flash3::ui {

LogView::LogView(WindowModel& model, LogId id, QWidget* parent) : QListWidget(parent), model_(model), id_(id)
{
    setObjectName(id == LogId::List1 ? QStringLiteral("List1") : QStringLiteral("List2"));
    // Without uniform sizes every row is measured again for each new line.
    setUniformItemSizes(true);
    // Lines are selected to be copied: a range with Shift, more with Ctrl, all with Ctrl+A.
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSortingEnabled(false);

    menu_ = new QMenu(this);
    menu_->setObjectName(objectName() + QStringLiteral("Menu"));
    copy_ = menu_->addAction(QStringLiteral("Copy"), this, &LogView::copySelection);
    copy_->setObjectName(QStringLiteral("Copy"));
    copy_->setShortcut(QKeySequence::Copy);
    selectAll_ = menu_->addAction(QStringLiteral("Select All"), this, &LogView::selectAll);
    selectAll_->setObjectName(QStringLiteral("SelectAll"));
    selectAll_->setShortcut(QKeySequence::SelectAll);
    menu_->addSeparator();
    saveAs_ = menu_->addAction(QStringLiteral("Save As..."), this, &LogView::saveAs);
    saveAs_->setObjectName(QStringLiteral("SaveAs"));

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

QString LogView::heading() const
{
    return id_ == LogId::List1 ? QStringLiteral("Status1") : QStringLiteral("Status2");
}

QMenu* LogView::contextMenu()
{
    syncRows();
    copy_->setEnabled(!selectedItems().isEmpty());
    selectAll_->setEnabled(count() > 0);
    saveAs_->setEnabled(!model_.log(id_).lines.isEmpty());
    return menu_;
}

QString LogView::selectedText() const
{
    QList<int> rows;
    for (const QModelIndex& index : selectedIndexes())
        rows << index.row();
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    for (int row : rows)
        lines << item(row)->text();
    return lines.join(QLatin1Char('\n'));
}

void LogView::copySelection()
{
    if (selectedIndexes().isEmpty())
        return;
    QGuiApplication::clipboard()->setText(selectedText());
}

void LogView::saveAs()
{
    const std::optional<QString> path = runSaveTextDialog(this, heading() + QStringLiteral(".txt"));
    if (!path)
        return;
    // The log as it is now, lines still waiting for a frame included.
    const QStringList& lines = model_.log(id_).lines;
    QByteArray text;
    for (const QString& line : lines)
        text += line.toUtf8() + '\n';
    QSaveFile file(*path);
    const bool saved = file.open(QIODevice::WriteOnly | QIODevice::Text) && file.write(text) == text.size()
        && file.commit();
    // One pass of arg(): a "%" in the path stays as it is.
    if (saved) {
        const QString count =
            QString::number(lines.size()) + (lines.size() == 1 ? QStringLiteral(" line") : QStringLiteral(" lines"));
        emit hint(QStringLiteral("Hint: %1 log saved to %2 (%3).").arg(heading(), *path, count));
    } else {
        emit hint(QStringLiteral("Hint: %1 log not saved to %2: %3").arg(heading(), *path, file.errorString()));
    }
}

void LogView::selectAll()
{
    // Lines still waiting for a frame are part of the log too.
    syncRows();
    QListWidget::selectAll();
}

void LogView::contextMenuEvent(QContextMenuEvent* event)
{
    contextMenu()->popup(event->globalPos());
    event->accept();
}

void LogView::keyPressEvent(QKeyEvent* event)
{
    // The list's own Ctrl+C copies only the current line, which may not be selected at all.
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        event->accept();
        return;
    }
    QListWidget::keyPressEvent(event);
}

} // namespace flash3::ui
