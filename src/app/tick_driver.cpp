#include "app/tick_driver.h"

#include "app/form1.h"

#include <QFile>
#include <QTextStream>

#include <algorithm>

namespace flash3 {

TickDriver::TickDriver(Form1& form, QObject* parent) : TickDriver(std::vector<Form1*>{&form}, parent) {}

TickDriver::TickDriver(std::vector<Form1*> forms, QObject* parent) : QObject(parent), forms_(std::move(forms))
{
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &TickDriver::onTimeout);
    for (Form1* form : forms_)
        form->window().addObserver(this);
    timerChanged();
}

TickDriver::~TickDriver()
{
    for (Form1* form : forms_)
        form->window().removeObserver(this);
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

bool TickDriver::wantsTicks(const Form1& form)
{
    const TickTimer& t = form.window().timer2();
    return t.enabled && t.runActive && !form.window().programEnded();
}

void TickDriver::timerChanged()
{
    // The engines all tick at the same interval; should they differ, the
    // shortest one wanted sets the pace.
    int interval = -1;
    for (const Form1* form : forms_) {
        if (wantsTicks(*form) && (interval < 0 || form->window().timer2().interval < interval))
            interval = form->window().timer2().interval;
    }
    if (interval < 0 && !forms_.empty())
        interval = forms_.front()->window().timer2().interval;
    if (interval >= 0 && timer_.interval() != interval)
        timer_.setInterval(interval);
    if (std::any_of(forms_.begin(), forms_.end(), [](const Form1* f) { return wantsTicks(*f); })) {
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
    // An engine's tick may end its run or the program (and so change which
    // engines want ticks): decide for each one just before its turn.
    for (Form1* form : forms_) {
        if (wantsTicks(*form)) {
            form->Timer2_Timer();
            // What the tick queued for the port goes out now, not a tick later.
            form->EndOfTick();
        }
    }
    emit ticked();
}

} // namespace flash3
