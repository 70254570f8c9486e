#pragma once
// What the window benchmarks share: timestamps of a widget's paints, and
// waiting for a condition while the event loop runs.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>

#include <functional>
#include <vector>

namespace flash3::bench {

// Install as an event filter on the widget whose paints count as visible updates.
class PaintClock : public QObject
{
public:
    explicit PaintClock(const QElapsedTimer& clock, QObject* parent = nullptr) : QObject(parent), clock_(clock) {}
    std::vector<qint64> paintsNs;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            paintsNs.push_back(clock_.nsecsElapsed());
        return false;
    }

private:
    const QElapsedTimer& clock_;
};

inline void waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

} // namespace flash3::bench
