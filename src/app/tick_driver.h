#pragma once
// Drives Timer2 in the programs: a precise QTimer that follows the window
// model's Timer2 (enabled, interval) and calls the tick handler. It fires only
// while a run is active: an idle program is never woken. A station drives many
// engines with one timer: every engine whose run is active is ticked on the
// same wake-up, one after the other, so many ports cost one timer.

#include "app/window_model.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <vector>

namespace flash3 {

class Form1;

class TickDriver : public QObject, private WindowObserver
{
    Q_OBJECT

public:
    explicit TickDriver(Form1& form, QObject* parent = nullptr);
    explicit TickDriver(std::vector<Form1*> forms, QObject* parent = nullptr);
    ~TickDriver() override;

    // Records the interval between ticks (for the jitter benchmark); written
    // to `path` as one number of microseconds per line when the driver ends.
    void recordIntervalsTo(const QString& path);

signals:
    // After every tick handled.
    void ticked();

private:
    void timerChanged() override;
    void onTimeout();

    static bool wantsTicks(const Form1& form);

    std::vector<Form1*> forms_;
    QTimer timer_;
    QString intervalsPath_;
    std::vector<qint64> intervals_;
    QElapsedTimer clock_;
    qint64 lastTickNs_ = -1;
};

} // namespace flash3
