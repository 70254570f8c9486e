// flash3-bench-check MIB WORKDIR
//
// "Program FLASH" on an image of MIB MiB in the desktop window, with the real
// 5 ms timer: the image is checked whole before the run starts. Times the
// check (from the click until the run's first step is due) and the paints of
// the window's check indicator meanwhile. No device is needed: the run is
// aborted as soon as it starts. Prints one line:
//   check_us=N max_gap_us=N paints=N
// max_gap_us: the longest time from the click to the end of the check
// without a paint of the window.

#include "window_bench.h"

#include "ui/main_window.h"

#include "app/form1.h"
#include "app/startup.h"
#include "app/tick_driver.h"
#include "serial/driver.h"
#include "serial/fake_backend.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

bool writeImage(const QString& path, qint64 mib)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray line;
    for (int t = 0; t < 1000; ++t)
        line += "T5A:";
    line += "R5A:E\r\n:";
    const qint64 target = mib << 20;
    for (qint64 written = 0; written < target; written += line.size()) {
        if (file.write(line) != line.size())
            return false;
    }
    return true;
}

} // namespace

using flash3::bench::PaintClock;
using flash3::bench::waitFor;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: flash3-bench-check MIB WORKDIR\n");
        return 2;
    }
    const qint64 mib = QString::fromLocal8Bit(argv[1]).toLongLong();
    const QString image = QString::fromLocal8Bit(argv[2]) + QStringLiteral("/check-bench.pf3");
    if (mib <= 0 || !writeImage(image, mib)) {
        std::fprintf(stderr, "flash3-bench-check: cannot write %s\n", qPrintable(image));
        return 2;
    }
    QApplication::setQuitOnLastWindowClosed(false);

    using namespace flash3;
    FakeBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    ui::MainWindow window(form);
    MainStartUp(form, {});
    TickDriver ticks(form);
    window.show();
    waitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }, 5000);
    auto* indicator = window.findChild<QLabel*>(QStringLiteral("CheckLabel"));
    if (!indicator || !window.windowHandle()->isExposed()) {
        std::fprintf(stderr, "flash3-bench-check: no check indicator or window not shown\n");
        return 1;
    }
    form.ConfigComPort_Click();
    form.window().selectPort(2);
    form.Initialize_Click();
    form.chooseImageFile(image);
    waitFor([] { return false; }, 200);  // let the first paints settle

    QElapsedTimer clock;
    clock.start();
    PaintClock paints(clock);
    indicator->installEventFilter(&paints);
    qint64 startNs = -1;
    QTimer::singleShot(0, &app, [&] {
        startNs = clock.nsecsElapsed();
        form.ProgramFlash_Click();
    });
    waitFor([&] { return startNs >= 0 && form.ProgramMode != RunMode::CheckingImage; }, 600000);
    const qint64 endNs = clock.nsecsElapsed();
    if (form.ProgramMode != RunMode::SendEntryByte1) {
        std::fprintf(stderr, "flash3-bench-check: the run did not start after the check (mode %d)\n",
                     modeNumber(form.ProgramMode));
        return 1;
    }
    form.ProgramFlash_Click();  // abort: nothing to flash into

    std::vector<qint64> marks{startNs};
    for (qint64 p : paints.paintsNs) {
        if (p > startNs && p < endNs)
            marks.push_back(p);
    }
    marks.push_back(endNs);
    qint64 maxGap = 0;
    for (std::size_t i = 1; i < marks.size(); ++i)
        maxGap = std::max(maxGap, marks[i] - marks[i - 1]);
    std::printf("check_us=%lld max_gap_us=%lld paints=%zu\n", (endNs - startNs) / 1000, maxGap / 1000,
                marks.size() - 2);
    QFile::remove(image);
    return 0;
}
