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
//            "cpu_us=N wall_us=N ticks=N port=ok|closed".

#include <QAbstractButton>
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
        } else if (measuring_ && event->type() == QEvent::Timer) {
            // Timer2 is the one 5 ms timer; counting its events shows it kept ticking.
            const auto* timer = qobject_cast<QTimer*>(watched);
            if (timer && timer->interval() == 5)
                ++ticks_;
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
            QTimer::singleShot(0, this, &Probe::startIdle);
        });
    }

    void startIdle()
    {
        cpu0_ = cpuMicros();
        ticks_ = 0;
        measuring_ = true;
        wall_.start();
        QTimer::singleShot(static_cast<int>(seconds_ * 1000), this, [this] {
            const long long cpu = cpuMicros() - cpu0_;
            const long long wallUs = wall_.nsecsElapsed() / 1000;
            // The port's text box reads "COMn: at ..." only while it is open.
            bool open = false;
            for (QWidget* top : QApplication::topLevelWidgets()) {
                for (QLineEdit* e : top->findChildren<QLineEdit*>())
                    open = open || e->text().startsWith(QLatin1String("COM2:"));
            }
            finish(QStringLiteral("cpu_us=%1 wall_us=%2 ticks=%3 port=%4")
                       .arg(cpu)
                       .arg(wallUs)
                       .arg(ticks_)
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
