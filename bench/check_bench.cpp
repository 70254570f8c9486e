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
#include "image/record.h"
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

bool writeImage(QFile& file, qint64 mib)
{
    using flash3::RecordKind;
    std::string text;
    for (int t = 0; t < 1000; ++t)
        text += flash3::recordText(RecordKind::Send, 0x5A);
    text += flash3::recordText(RecordKind::Expect, 0x5A) + flash3::recordText(RecordKind::LineEnd);
    const QByteArray line = QByteArray::fromStdString(text);
    const qint64 target = mib << 20;
    for (qint64 written = 0; written < target; written += line.size()) {
        if (file.write(line) != line.size())
            return false;
    }
    return true;
}

} // namespace

using namespace flash3::bench;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QString image = writeBenchImage(argc, argv, "flash3-bench-check", "MIB", "check-bench.pf3", writeImage).path;
    if (image.isEmpty())
        return 2;
    QApplication::setQuitOnLastWindowClosed(false);

    using namespace flash3;
    FakeBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    ui::MainWindow window(form);
    MainStartUp(form, {});
    TickDriver ticks(form);
    auto* indicator = showAndFind<QLabel>(window, "flash3-bench-check", "CheckLabel", "check indicator");
    if (!indicator)
        return 1;
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
    // One poll can span two 5 ms ticks, so the handshake may be a step further
    // on than its first byte; what matters is that the run went on to it.
    if (form.phase() != RunPhase::Handshake) {
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
