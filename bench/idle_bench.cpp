// flash3-bench-idle DEVICE SECONDS
//
// The headless program's idle cost. flash3-cli always starts a run, so this
// builds what it builds up to that point (backend, driver, Form1, start-up,
// tick driver), opens COM 2 on DEVICE through the port dialog's routines, and
// then leaves it with Timer2 enabled and ProgramMode 0 for SECONDS. Prints one
// line:
//   cpu_us=N wall_us=N ticks=N voluntary=N involuntary=N threads=N threads_ended=N
// cpu_us is user plus system time of the whole process over that span, ticks
// what the tick driver reports, and the switch counts come from the kernel
// (context_switches.h), so they also see wake-ups that bypass the tick driver.
// One voluntary switch belongs to the measurement: the sleep that the timer
// ending the span wakes.

#include "context_switches.h"

#include "app/form1.h"
#include "app/startup.h"
#include "app/tick_driver.h"
#include "serial/driver.h"
#include "ports/port_map.h"
#include "ports/system_backend.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include <sys/resource.h>

namespace {

long long cpuMicros()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: flash3-bench-idle DEVICE SECONDS\n");
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    using namespace flash3;

    bindComToDevice(2, QString::fromLocal8Bit(argv[1]));
    SystemBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    MainStartUp(form, {});
    TickDriver ticks(form);
    long long tickCount = 0;
    QObject::connect(&ticks, &TickDriver::ticked, [&] { ++tickCount; });

    form.ConfigComPort_Click();
    form.window().selectPort(2);
    form.ComBaudBtn_Click(4);
    form.Initialize_Click();
    if (!form.PortOpen || form.ProgramMode != RunMode::Idle || !form.window().timer2().enabled) {
        std::fprintf(stderr, "flash3-bench-idle: COM 2 (%s) did not open\n", argv[1]);
        return 1;
    }

    tickCount = 0;
    const bench::SwitchSnapshot switches0 = bench::switchSnapshot();
    const long long cpu0 = cpuMicros();
    QElapsedTimer wall;
    wall.start();
    QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &app, &QCoreApplication::quit);
    QCoreApplication::exec();
    const long long cpu = cpuMicros() - cpu0;
    const long long wallUs = wall.nsecsElapsed() / 1000;
    const bench::SwitchDelta switches = bench::switchesBetween(switches0, bench::switchSnapshot());

    std::printf("cpu_us=%lld wall_us=%lld ticks=%lld %s\n", cpu, wallUs, tickCount,
                bench::switchFields(switches).c_str());
    form.AbortProgram_Click();
    return 0;
}
