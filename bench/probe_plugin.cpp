// A probe that Qt loads into the unchanged desktop program when
//   QT_PLUGIN_PATH=<build>/bench-plugins QT_QPA_GENERIC_PLUGINS=flash3benchprobe
// are set, so the benchmarks time the real binary rather than a copy of its
// main(). FLASH3_PROBE chooses what it does; it writes one line to the file
// FLASH3_PROBE_OUT and then ends the process at once:
//
//   startup  "shown_ns=N": CLOCK_MONOTONIC when the main window had been
//            exposed and painted for the first time.
//   idle     presses "Configure COM port", then "Initialize" (COM 2 at the
//            default speed; FLASH3_COM2 names the device), and after
//            FLASH3_PROBE_SECONDS with the port open and no run reports
//            "cpu_us=N wall_us=N ticks=N voluntary=N involuntary=N threads=N
//            threads_ended=N events=N timers=LIST focus=WIDGET port=ok|closed":
//            the kernel's context switches of all threads over the span (one
//            voluntary switch is the sleep that the probe's own timer ends),
//            the events the main thread handled, which timers fired (receiver,
//            interval, count; "-" for none) and which widget had the focus.
//            The main window is activated first, as a window manager would do;
//            FLASH3_PROBE_FOCUS=Text1 (say) also puts the focus into that box.

#include "context_switches.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QGenericPlugin>
#include <QLineEdit>
#include <QMainWindow>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>

#include <sys/resource.h>
#include <unistd.h>

namespace {

long long cpuMicros()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

long long monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// "Class#name", up to the first widget among the object and its parents, so
// that a widget's helper object (a line edit's caret, say) names its widget.
QString describe(const QObject* object)
{
    if (!object)
        return QStringLiteral("none");
    QStringList parts;
    for (const QObject* o = object; o; o = o->parent()) {
        QString part = QString::fromLatin1(o->metaObject()->className());
        if (!o->objectName().isEmpty())
            part += QLatin1Char('#') + o->objectName();
        parts << part;
        if (o->isWidgetType() || parts.size() == 3)
            break;
    }
    // One field of a space-separated line.
    return parts.join(QLatin1Char('<')).replace(QLatin1Char(' '), QLatin1Char('_'));
}

int timerInterval(QObject* receiver, int timerId)
{
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
        for (const auto& info : dispatcher->registeredTimers(receiver)) {
            if (info.timerId == timerId)
                return info.interval;
        }
    }
    return -1;  // a single shot already unregistered
}

QAbstractButton* visibleButton(const QString& text)
{
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (!top->isVisible())
            continue;
        for (QAbstractButton* b : top->findChildren<QAbstractButton*>()) {
            if (b->text() == text && b->isVisible() && b->isEnabled())
                return b;
        }
    }
    return nullptr;
}

class Probe : public QObject
{
public:
    explicit Probe(QObject* parent) : QObject(parent)
    {
        mode_ = qEnvironmentVariable("FLASH3_PROBE");
        out_ = qEnvironmentVariable("FLASH3_PROBE_OUT");
        seconds_ = qEnvironmentVariable("FLASH3_PROBE_SECONDS", QStringLiteral("20")).toDouble();
        focus_ = qEnvironmentVariable("FLASH3_PROBE_FOCUS");
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (!exposed_ && event->type() == QEvent::Paint && watched->isWidgetType()
            && qobject_cast<QMainWindow*>(static_cast<QWidget*>(watched)->window())) {
            // Seen before delivery: look again once this paint is done.
            painted_ = true;
            QTimer::singleShot(0, this, &Probe::checkShown);
        } else if (measuring_) {
            ++events_;
            if (event->type() == QEvent::Timer) {
                // Timer2 is the one 5 ms timer; counting its events shows whether it ticks.
                const auto* timer = qobject_cast<QTimer*>(watched);
                if (timer && timer->interval() == 5)
                    ++ticks_;
                const int interval = timerInterval(watched, static_cast<QTimerEvent*>(event)->timerId());
                ++timers_[describe(watched) + QLatin1Char('@')
                          + (interval < 0 ? QStringLiteral("?") : QString::number(interval))
                          + QStringLiteral("ms")];
            }
        }
        return false;
    }

private:
    void checkShown()
    {
        if (exposed_ || !painted_)
            return;
        for (QWidget* top : QApplication::topLevelWidgets()) {
            auto* main = qobject_cast<QMainWindow*>(top);
            if (main && main->isVisible() && main->windowHandle() && main->windowHandle()->isExposed()) {
                exposed_ = true;
                break;
            }
        }
        if (!exposed_)
            return;
        if (mode_ == QLatin1String("idle"))
            openPort();
        else
            finish(QStringLiteral("shown_ns=%1").arg(monotonicNs()));
    }

    void openPort()
    {
        QAbstractButton* configure = visibleButton(QStringLiteral("Configure COM port"));
        if (!configure)
            return finish(QStringLiteral("error=no Configure COM port button"));
        configure->click();
        QTimer::singleShot(0, this, [this] {
            QAbstractButton* initialize = visibleButton(QStringLiteral("Initialize"));
            if (!initialize)
                return finish(QStringLiteral("error=no Initialize button"));
            initialize->click();
            // A window manager gives the main window back its activation when
            // the dialog closes; the offscreen platform does not, and without
            // it no widget has the focus (and no caret could blink).
            for (QWidget* top : QApplication::topLevelWidgets()) {
                if (qobject_cast<QMainWindow*>(top) && top->isVisible())
                    top->activateWindow();
            }
            if (!focus_.isEmpty())
                focusEdit();
            // Activation and the repaints after the dialog closed are not idling.
            QTimer::singleShot(500, this, &Probe::startIdle);
        });
    }

    void focusEdit()
    {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            for (QLineEdit* e : top->findChildren<QLineEdit*>()) {
                if (e->objectName() == focus_)
                    e->setFocus(Qt::MouseFocusReason);
            }
        }
    }

    void startIdle()
    {
        const QString focus = describe(QApplication::focusWidget());
        ticks_ = 0;
        events_ = 0;
        timers_.clear();
        switches0_ = flash3::bench::switchSnapshot();
        cpu0_ = cpuMicros();
        measuring_ = true;
        wall_.start();
        QTimer::singleShot(static_cast<int>(seconds_ * 1000), Qt::PreciseTimer, this, [this, focus] {
            const long long cpu = cpuMicros() - cpu0_;
            const long long wallUs = wall_.nsecsElapsed() / 1000;
            const flash3::bench::SwitchDelta switches =
                flash3::bench::switchesBetween(switches0_, flash3::bench::switchSnapshot());
            measuring_ = false;
            QStringList timers;
            for (const auto& [what, count] : timers_)
                timers << QStringLiteral("%1x%2").arg(what).arg(count);
            // The port's text box reads "COMn: at ..." only while it is open.
            bool open = false;
            for (QWidget* top : QApplication::topLevelWidgets()) {
                for (QLineEdit* e : top->findChildren<QLineEdit*>())
                    open = open || e->text().startsWith(QLatin1String("COM2:"));
            }
            finish(QStringLiteral("cpu_us=%1 wall_us=%2 ticks=%3 %4 events=%5 timers=%6 focus=%7 port=%8")
                       .arg(cpu)
                       .arg(wallUs)
                       .arg(ticks_)
                       .arg(QString::fromStdString(flash3::bench::switchFields(switches)))
                       .arg(events_)
                       .arg(timers.isEmpty() ? QStringLiteral("-") : timers.join(QLatin1Char(',')))
                       .arg(focus)
                       .arg(open ? QStringLiteral("ok") : QStringLiteral("closed")));
        });
    }

    void finish(const QString& line)
    {
        if (std::FILE* f = std::fopen(out_.toLocal8Bit().constData(), "w")) {
            std::fprintf(f, "%s\n", line.toLocal8Bit().constData());
            std::fclose(f);
        }
        // At once: the measurement ends here, and the program's own exit path
        // (closing the port, its logs) is not what is being measured.
        ::_exit(0);
    }

    QString mode_;
    QString out_;
    double seconds_ = 20;
    bool painted_ = false;
    bool exposed_ = false;
    bool measuring_ = false;
    long long ticks_ = 0;
    long long events_ = 0;
    std::map<QString, long long> timers_;  // "receiver@interval" -> timer events
    QString focus_;  // the line edit to click into before idling, if any
    flash3::bench::SwitchSnapshot switches0_;
    long long cpu0_ = 0;
    QElapsedTimer wall_;
};

} // namespace

class Flash3BenchProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "probe_plugin.json")

public:
    QObject* create(const QString& key, const QString&) override
    {
        if (key.compare(QLatin1String("flash3benchprobe"), Qt::CaseInsensitive) != 0)
            return nullptr;
        return new Probe(QCoreApplication::instance());
    }
};

#include "probe_plugin.moc"
