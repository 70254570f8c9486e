#include "app/window_model.h"

#include <algorithm>

namespace flash3 {

WindowModel::WindowModel() = default;

template <typename F>
void WindowModel::notify(F&& f)
{
    for (WindowObserver* observer : observers_)
        f(*observer);
}

void WindowModel::addObserver(WindowObserver* observer)
{
    if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end())
        observers_.push_back(observer);
}

void WindowModel::removeObserver(WindowObserver* observer)
{
    observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

void WindowModel::setText(TextId id, const QString& text)
{
    TextBox& box = texts_[index(id)];
    box.text = text;
    box.caret = std::min(box.caret, static_cast<int>(text.size()));
    notify([id](WindowObserver& o) { o.textChanged(id); });
}

void WindowModel::setCaretToEnd(TextId id)
{
    TextBox& box = texts_[index(id)];
    box.caret = static_cast<int>(box.text.size());
}

void WindowModel::appendLog(LogId id, const QString& line)
{
    LogList& list = id == LogId::List1 ? list1_ : list2_;
    list.lines.append(line);
    // The newest line becomes the current entry (in view) without a highlight.
    int removed = 0;
    while (list.lines.size() > list.limit) {
        list.lines.removeFirst();
        ++removed;
    }
    list.currentRow = static_cast<int>(list.lines.size()) - 1;
    list.highlighted = false;
    notify([&](WindowObserver& o) { o.logAppended(id, line, removed); });
}

void WindowModel::clearLog(LogId id)
{
    LogList& list = id == LogId::List1 ? list1_ : list2_;
    list.lines.clear();
    list.currentRow = -1;
    list.highlighted = false;
    notify([id](WindowObserver& o) { o.logCleared(id); });
}

void WindowModel::setCaption(ButtonId id, const QString& caption)
{
    buttons_[index(id)].caption = caption;
    notify([id](WindowObserver& o) { o.buttonChanged(id); });
}

void WindowModel::setEnabled(ButtonId id, bool enabled)
{
    buttons_[index(id)].enabled = enabled;
    notify([id](WindowObserver& o) { o.buttonChanged(id); });
}

void WindowModel::setTimerEnabled(bool enabled)
{
    timer2_.enabled = enabled;
    notify([](WindowObserver& o) { o.timerChanged(); });
}

void WindowModel::setTimerInterval(int milliseconds)
{
    timer2_.interval = milliseconds;
    notify([](WindowObserver& o) { o.timerChanged(); });
}

void WindowModel::setRunActive(bool active)
{
    if (timer2_.runActive == active)
        return;
    timer2_.runActive = active;
    notify([](WindowObserver& o) { o.timerChanged(); });
}

void WindowModel::setPortList(const QStringList& items)
{
    dialog_.portList = items;
    dialog_.portListIndex = -1;
    dialog_.portDevices.clear();
    notify([](WindowObserver& o) { o.portDialogChanged(); });
}

void WindowModel::setPortDevices(const QStringList& devices)
{
    dialog_.portDevices = devices;
    notify([](WindowObserver& o) { o.portDialogChanged(); });
}

void WindowModel::selectPort(int index)
{
    dialog_.portListIndex = (index >= 0 && index < dialog_.portList.size()) ? index : -1;
    notify([](WindowObserver& o) { o.portDialogChanged(); });
}

void WindowModel::selectBaudBtn(int index)
{
    dialog_.selectedBaudBtn = (index >= 1 && index <= 5) ? index : 0;
    notify([](WindowObserver& o) { o.portDialogChanged(); });
}

void WindowModel::setBaudBtnEnabled(int index, bool enabled)
{
    if (index < 1 || index > 5)
        return;
    dialog_.baudBtnEnabled[index] = enabled;
    notify([](WindowObserver& o) { o.portDialogChanged(); });
}

void WindowModel::setPortDialogVisible(bool visible)
{
    dialog_.visible = visible;
    notify([](WindowObserver& o) { o.portDialogChanged(); });
}

void WindowModel::setCheckProgress(int percent)
{
    if (percent == checkProgress_)
        return;
    checkProgress_ = percent;
    notify([](WindowObserver& o) { o.checkProgressChanged(); });
}

void WindowModel::endProgram()
{
    ended_ = true;
    notify([](WindowObserver& o) { o.programEnded(); });
}

QString presentPortsLine(const PortDialog& dialog)
{
    constexpr int Named = 3;
    QStringList named;
    int more = 0;
    for (int i = 0; i < dialog.portDevices.size() && i < dialog.portList.size(); ++i) {
        if (dialog.portDevices.at(i).isEmpty())
            continue;
        if (named.size() < Named)
            named << QStringLiteral("COM ") + dialog.portList.at(i) + QLatin1Char(' ') + dialog.portDevices.at(i);
        else
            ++more;
    }
    if (named.isEmpty())
        return QStringLiteral("No COM number stands for a port present.");
    QString line = QStringLiteral("Present: ") + named.join(QStringLiteral(", "));
    if (more > 0)
        line += QStringLiteral(" and %1 more, in bold in the list").arg(more);
    return line;
}

} // namespace flash3
