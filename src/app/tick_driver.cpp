#include "app/tick_driver.h"

#include "app/form1.h"

#include <QFile>
#include <QTextStream>

namespace flash3 {

TickDriver::TickDriver(Form1& form, QObject* parent) : QObject(parent), form_(form)
{
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &TickDriver::onTimeout);
    form_.window().addObserver(this);
    timerChanged();
}

TickDriver::~TickDriver()
{
    form_.window().removeObserver(this);
    if (!intervalsPath_.isEmpty()) {
        QFile file(intervalsPath_);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            QTextStream out(&file);
            for (qint64 us : intervals_)
                out << us << '\n';
        }
    }
}

void TickDriver::recordIntervalsTo(const QString& path)
{
    intervalsPath_ = path;
    intervals_.reserve(1 << 20);
    clock_.start();
}

void TickDriver::timerChanged()
{
    const TickTimer& t = form_.window().timer2();
    if (timer_.interval() != t.interval)
        timer_.setInterval(t.interval);
    if (t.enabled && t.runActive && !form_.window().programEnded()) {
        if (!timer_.isActive())
            timer_.start();
    } else {
        timer_.stop();
        lastTickNs_ = -1;
    }
}

void TickDriver::onTimeout()
{
    if (!intervalsPath_.isEmpty()) {
        const qint64 now = clock_.nsecsElapsed();
        if (lastTickNs_ >= 0 && intervals_.size() < intervals_.capacity())
            intervals_.push_back((now - lastTickNs_) / 1000);
        lastTickNs_ = now;
    }
    form_.Timer2_Timer();
    emit ticked();
}

} // namespace flash3
