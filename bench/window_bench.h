#pragma once
// What the window benchmarks share: their command line and image, showing the
// window, timestamps of a widget's paints, and waiting for a condition while
// the event loop runs.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QObject>
#include <QWidget>
#include <QWindow>

#include <cstdio>
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

// The image of a benchmark whose command line is "PROGRAM COUNT WORKDIR".
struct BenchImage {
    qint64 count = 0;  // COUNT, at least 1
    QString path;      // empty when the command line is wrong or the image cannot be written
};

// Writes the image `fileName` in WORKDIR with `write(file, COUNT)`; says on
// stderr why when it cannot (the benchmark then exits with status 2).
inline BenchImage writeBenchImage(int argc, char** argv, const char* program, const char* countName,
                                  const char* fileName, const std::function<bool(QFile&, qint64)>& write)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s %s WORKDIR\n", program, countName);
        return {};
    }
    const qint64 count = QString::fromLocal8Bit(argv[1]).toLongLong();
    const QString path = QString::fromLocal8Bit(argv[2]) + QLatin1Char('/') + QString::fromLatin1(fileName);
    QFile file(path);
    if (count <= 0 || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !write(file, count)) {
        std::fprintf(stderr, "%s: cannot write %s\n", program, qPrintable(path));
        return {};
    }
    return {count, path};
}

// Shows `window` and waits until it is on screen; its child `name` then, or
// null after saying on stderr that `what` is missing or the window not shown.
template <typename Child>
Child* showAndFind(QWidget& window, const char* program, const char* name, const char* what)
{
    window.show();
    waitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }, 5000);
    auto* child = window.findChild<Child*>(QString::fromLatin1(name));
    if (!child || !window.windowHandle()->isExposed()) {
        std::fprintf(stderr, "%s: no %s or window not shown\n", program, what);
        return nullptr;
    }
    return child;
}

} // namespace flash3::bench
