// flash3-bench-log LINES WORKDIR
//
// One tick step of the desktop program that posts LINES progress lines into
// the Status1 log. The main window is built and shown as flash3 does it; the
// step is the tick on which the handshake's reply is accepted and the reader
// takes the first records of an image that begins with LINES E records (each
// one a progress line, plus the progress boxes). Paints of the Status1 list
// are timed as the visible updates. Prints one line:
//   total_us=N max_gap_us=N paints=N rows=N last=TEXT
// total_us: from the start of the step until the log has been painted showing
// its last line; max_gap_us: the longest time in that span without a paint.

#include "window_bench.h"

#include "ui/main_window.h"

#include "app/form1.h"
#include "app/startup.h"
#include "image/record.h"
#include "serial/driver.h"
#include "ports/system_backend.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QListWidget>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

bool writeImage(QFile& file, qint64 lines)
{
    using flash3::RecordKind;
    using flash3::recordText;
    std::string text;
    text.reserve(static_cast<std::size_t>(lines + 3) * flash3::RecordSize);
    for (qint64 i = 0; i < lines; ++i)
        text += recordText(RecordKind::LineEnd);
    // The reader stops at the first byte to send: the step ends there.
    text += recordText(RecordKind::Send, 0) + recordText(RecordKind::Expect, 0) + recordText(RecordKind::LineEnd);
    const QByteArray bytes = QByteArray::fromStdString(text);
    return file.write(bytes) == bytes.size();
}

} // namespace

using namespace flash3::bench;

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const BenchImage written =
        writeBenchImage(argc, argv, "flash3-bench-log", "LINES", "log-bench.pf3", writeImage);
    if (written.path.isEmpty())
        return 2;
    const QString& image = written.path;
    const qint64 lines = written.count;
    QApplication::setQuitOnLastWindowClosed(false);

    using namespace flash3;
    SystemBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    ui::MainWindow window(form);
    MainStartUp(form, {});
    auto* list1 = showAndFind<QListWidget>(window, "flash3-bench-log", "List1", "Status1 list");
    if (!list1)
        return 1;
    // Let the first paints settle so they are not counted.
    waitFor([] { return false; }, 200);

    // The state of a run whose handshake reply (91 26) is in and whose quiet
    // period ends on the next tick; the image is open as "Program FLASH" opens it.
    form.FileName = image;
    form.FileMode = 1;
    if (form.OpenImageFile() != Form1::OpenResult::Opened) {
        std::fprintf(stderr, "flash3-bench-log: cannot open %s\n", qPrintable(image));
        return 1;
    }
    form.ProgramMode = RunMode::AwaitEntryReply;
    form.LastByte0 = EntryReply[0];
    form.LastByte1 = EntryReply[1];
    form.TimeoutCount = 1;

    QElapsedTimer clock;
    clock.start();
    auto* paints = new PaintClock(clock, &app);
    list1->viewport()->installEventFilter(paints);

    qint64 startNs = 0;
    qint64 stepEndNs = 0;
    QTimer::singleShot(0, &app, [&] {
        paints->paintsNs.clear();
        startNs = clock.nsecsElapsed();
        form.Timer2_Timer();
        stepEndNs = clock.nsecsElapsed();
    });
    const QString expectedLast = QStringLiteral("Processing ...   %1").arg(lines);
    const auto holdsLast = [&] {
        return stepEndNs > 0 && list1->count() > 0
            && list1->item(list1->count() - 1)->text().startsWith(expectedLast);
    };
    waitFor(holdsLast, 60000);
    // Time for the deferred repaint that follows the step, if one is due.
    waitFor([] { return false; }, 100);

    if (form.ProgramMode != RunMode::Transmit || stepEndNs == 0) {
        std::fprintf(stderr, "flash3-bench-log: the step did not end at the first byte to send (mode %d)\n",
                     modeNumber(form.ProgramMode));
        return 1;
    }
    // The update that shows the last line: the first paint after the step,
    // or the last one within it when the step's own repaint already did.
    std::vector<qint64> marks{startNs};
    qint64 shownNs = -1;
    for (qint64 p : paints->paintsNs) {
        if (p <= stepEndNs) {
            marks.push_back(p);
        } else {
            shownNs = p;
            break;
        }
    }
    if (shownNs < 0)
        shownNs = marks.back() > startNs ? marks.back() : stepEndNs;
    marks.push_back(shownNs);
    qint64 maxGap = 0;
    for (std::size_t i = 1; i < marks.size(); ++i)
        maxGap = std::max(maxGap, marks[i] - marks[i - 1]);

    const QString last = list1->count() > 0 ? list1->item(list1->count() - 1)->text() : QString();
    std::printf("total_us=%lld max_gap_us=%lld paints=%zu rows=%d step_us=%lld last=%s\n",
                (shownNs - startNs) / 1000, maxGap / 1000, marks.size() - 2, list1->count(),
                (stepEndNs - startNs) / 1000, qPrintable(last));
    form.ImageFile.close();
    QFile::remove(image);
    return 0;
}
