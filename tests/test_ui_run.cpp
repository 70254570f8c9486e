// Programming runs driven by clicks (against the fake device, ticked by hand,
// and against the virtual device with the real timer), and the log lists
// under a flood of lines.

#include "engine_harness.h"
#include "qt_print.h"
#include "process_harness.h"

#include "ui/log_view.h"
#include "ui/main_window.h"
#include "ui/port_dialog.h"

#include "app/tick_driver.h"
#include "ports/port_map.h"
#include "ports/system_backend.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>

using namespace flash3;
using namespace flash3::testing;
using flash3::ui::MainWindow;

namespace {

// Clicks and reads a main window, whatever drives it.
struct Clicker {
    MainWindow& window;
    template <typename T = QWidget>
    T* child(const QString& name) const
    {
        T* w = window.findChild<T*>(name);
        EXPECT_NE(w, nullptr) << qPrintable(name);
        return w;
    }
    QPushButton* button(const char* name) const { return child<QPushButton>(QString::fromLatin1(name)); }
    QString text(int n) const { return child<QLineEdit>(QStringLiteral("Text%1").arg(n))->text(); }
    void click(const char* name) const { QTest::mouseClick(button(name), Qt::LeftButton); }
    QStringList rows(const char* name) const
    {
        QCoreApplication::processEvents();
        auto* list = child<QListWidget>(QString::fromLatin1(name));
        QStringList lines;
        for (int i = 0; i < list->count(); ++i)
            lines << list->item(i)->text();
        return lines;
    }
};

class Ui : public Clicker {
public:
    Ui() : Clicker{window_}
    {
        MainStartUp(e.form, {});
        window.show();
    }
    Engine e;

private:
    MainWindow window_{e.form};
};

// `lines` text lines of two bytes sent and one read back.
QByteArray image(int lines)
{
    QByteArray bytes;
    for (int i = 0; i < lines; ++i) {
        const QByteArray a = QByteArray::number(0x10 + i % 200, 16).toUpper();
        const QByteArray b = QByteArray::number(0x20 + i % 100, 16).toUpper();
        bytes += "T" + a + ":T" + b + ":R" + a + ":E\r\n:";
    }
    return bytes;
}

} // namespace

TEST(UiRun, AbortedThenCompleteRunByClicks)
{
    Ui ui;
    const int lines = 60;
    const QByteArray content = image(lines);
    const QString path = ui.e.writeFile(QStringLiteral("unit.pf3"), content);
    ui.e.form.showOpenDialog = [path](const FileDialogSettings&) { return std::optional<QString>(path); };
    ui.click("SelectInputFile");
    EXPECT_EQ(ui.text(1), path);
    EXPECT_EQ(ui.text(3), QString::number(lines * 4));

    ui.click("ConfigComPort");
    auto* ports = ui.child<QListWidget>(QStringLiteral("ComPortList"));
    QTest::mouseClick(ports->viewport(), Qt::LeftButton, {}, ports->visualItemRect(ports->item(2)).center());
    QTest::mouseClick(ui.child<QRadioButton>(QStringLiteral("ComBaudBtn(3)")), Qt::LeftButton);
    ui.click("Initialize");
    EXPECT_EQ(ui.text(2), "COM2: at 38.4 kbaud");

    {
        DeviceModel device(ui.e.backend, content);
        ui.click("ProgramFlash");
        EXPECT_EQ(ui.button("ProgramFlash")->text(), "Abort Process");
        EXPECT_FALSE(ui.button("SelectInputFile")->isEnabled());
        EXPECT_FALSE(ui.button("ConfigComPort")->isEnabled());
        ui.e.tick(12);
        ui.click("ProgramFlash");
        ui.e.backend.onWrite = nullptr;
    }
    EXPECT_EQ(ui.e.form.LastRunOutcome, RunOutcome::Aborted);
    EXPECT_EQ(ui.rows("List1").mid(ui.rows("List1").size() - 6), banner());
    EXPECT_EQ(ui.button("ProgramFlash")->text(), "Program FLASH");
    EXPECT_TRUE(ui.button("ConfigComPort")->isEnabled());

    // Answers still in flight arrive between the runs; the next run is judged
    // on its own reply only.
    ui.e.tick(40);
    DeviceModel device(ui.e.backend, content);
    ui.e.backend.written.clear();
    ui.click("ProgramFlash");
    for (int n = 0; n < 10000 && ui.e.form.RecordsDone < lines * 2; ++n)
        ui.e.tick();
    // "Clear Status1" works in the middle of a run; the next progress line comes first.
    ui.click("ClearStatus");
    EXPECT_TRUE(ui.rows("List1").isEmpty());
    for (int n = 0; n < 1000 && ui.rows("List1").isEmpty(); ++n)
        ui.e.tick();
    EXPECT_TRUE(ui.rows("List1").value(0).startsWith("Processing ...   "));

    ui.e.runToEnd();
    EXPECT_EQ(ui.e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(ui.text(3), "0");
    EXPECT_EQ(ui.text(4), QString::number(lines * 4));
    EXPECT_EQ(ui.text(5), "100.0 %");
    EXPECT_EQ(lastOf(ui.rows("List1")), "Processing complete.  Exit this application.");
    EXPECT_TRUE(lastOf(ui.rows("List2")).startsWith("Stop time:    "));
    EXPECT_EQ(ui.button("ProgramFlash")->text(), "Program FLASH");
    EXPECT_TRUE(ui.button("SelectInputFile")->isEnabled());
    EXPECT_EQ(ui.e.backend.written.size(), 2u + 2u * lines);
    ui.click("ClearDebug");
    EXPECT_TRUE(ui.rows("List2").isEmpty());

    QSignalSpy finished(&ui.window, &MainWindow::programFinished);
    ui.click("AbortProgram");
    EXPECT_EQ(finished.count(), 1);
    EXPECT_FALSE(ui.window.isVisible());
    EXPECT_EQ(ui.e.status1().mid(ui.e.status1().size() - 3),
              (QStringList{"Input file closed.", "Closed COM port: 2", "Program terminated."}));
}

// A versioned name keeps its whole stem: fw-1.2.3.pf3 is flashed, never the
// older fw-1.pf3 beside it.
TEST(UiRun, VersionedImageNameFlashesThatImage)
{
    Engine e;
    const QByteArray older = "T01:T02:R01:E\r\n:";
    const QByteArray named = "T33:T44:R33:E\r\n:";
    e.writeFile(QStringLiteral("fw-1.pf3"), older);
    const QString path = e.writeFile(QStringLiteral("fw-1.2.3.pf3"), named);
    MainStartUp(e.form, {path});
    MainWindow window(e.form);
    window.show();
    const Clicker ui{window};
    EXPECT_EQ(ui.text(1), e.dir.filePath(QStringLiteral("fw-1.2.3.PF3")));
    e.openPort();
    DeviceModel device(e.backend, named);
    ui.click("ProgramFlash");
    e.runToEnd();
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(e.backend.written, (std::vector<uint8_t>{0xE1, 0x94, 0x33, 0x44}));
}

// Saved by an editor with a line end after the final ":": a complete run reads
// as complete.
TEST(UiRun, LineEndAfterTheFinalColonStillEndsAtAFullCount)
{
    Ui ui;
    const QByteArray content = workedExample() + "\r\n";
    ui.e.chooseImage(content);
    ui.e.openPort();
    DeviceModel device(ui.e.backend, content);
    ui.click("ProgramFlash");
    ui.e.runToEnd();
    EXPECT_EQ(ui.e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(ui.text(3), "0");
    EXPECT_EQ(ui.text(4), "7");
    EXPECT_EQ(ui.text(5), "100.0 %");
}

namespace {
// Counts the paints of a widget and the texts it showed.
struct PaintWatch : QObject {
    explicit PaintWatch(QLabel* label) : label_(label) { label->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            ++paints;
            if (!texts.contains(label_->text()))
                texts << label_->text();
        }
        return false;
    }
    int paints = 0;
    QStringList texts;

private:
    QLabel* label_;
};
} // namespace

// A large image is checked with the real timer: the window paints the check's
// progress as it goes, and "Abort Process" stops the check with nothing sent.
TEST(UiRun, WindowShowsTheCheckOfALargeImageAndCanAbortIt)
{
    Ui ui;
    QByteArray line;
    for (int t = 0; t < 1000; ++t)
        line += "T41:";
    line += "R41:E\r\n:";
    const QByteArray content = line.repeated(6 * 256);  // 24 MiB: a slice per tick
    ui.e.chooseImage(content);
    ui.e.openPort();
    TickDriver ticks(ui.e.form);
    auto* label = ui.child<QLabel>(QStringLiteral("CheckLabel"));
    PaintWatch watch(label);
    ui.click("ProgramFlash");
    ASSERT_EQ(ui.e.form.ProgramMode, RunMode::CheckingImage);
    EXPECT_EQ(ui.button("ProgramFlash")->text(), "Abort Process");
    EXPECT_TRUE(QTest::qWaitFor([&] { return ui.e.form.ProgramMode != RunMode::CheckingImage; }, 60000));
    EXPECT_EQ(ui.e.form.ProgramMode, RunMode::SendEntryByte1);
    EXPECT_FALSE(label->isVisible());
    EXPECT_GE(watch.texts.size(), 3) << watch.texts.join(" | ").toStdString();
    EXPECT_TRUE(watch.texts.value(0).startsWith("Checking file: ")) << watch.texts.join(" | ").toStdString();
    ui.click("ProgramFlash");  // the run has started: abort it
    ASSERT_EQ(ui.e.form.ProgramMode, RunMode::Idle);

    ui.e.backend.written.clear();
    ui.click("ProgramFlash");
    ASSERT_EQ(ui.e.form.ProgramMode, RunMode::CheckingImage);
    EXPECT_TRUE(QTest::qWaitFor([&] { return watch.paints > 0 && label->isVisible(); }, 10000));
    ui.click("ProgramFlash");
    EXPECT_EQ(ui.e.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(ui.e.form.LastRunOutcome, RunOutcome::Aborted);
    EXPECT_FALSE(label->isVisible());
    EXPECT_EQ(ui.button("ProgramFlash")->text(), "Program FLASH");
    EXPECT_TRUE(ui.button("SelectInputFile")->isEnabled());
    // Nothing goes out afterwards either: an absence, so a while of the real
    // timer is the test itself.
    QTest::qWait(50);
    EXPECT_TRUE(ui.e.backend.written.empty());
}

TEST(UiRunAgainstSim, CommandLineImageRunsToTheEndWithTheRealTimer)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("unit.pf3"));
    QProcess writer;
    writer.start(buildDir() + QStringLiteral("/flash3-sim"), {"--write-sample", image, "--lines", "40"});
    ASSERT_TRUE(writer.waitForFinished(10000));
    ASSERT_EQ(writer.exitCode(), 0);
    Sim sim({image});
    ASSERT_FALSE(sim.device.isEmpty());
    struct Com2Binding {
        explicit Com2Binding(const QString& device) { qputenv("FLASH3_COM2", QFile::encodeName(device)); }
        ~Com2Binding() { qunsetenv("FLASH3_COM2"); }
    } binding(sim.device);

    SystemBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    MainWindow window(form);
    // As an operator starts it: the image named on the command line.
    MainStartUp(form, {image});
    TickDriver ticks(form);
    window.show();
    const Clicker ui{window};
    EXPECT_EQ(ui.text(1), dir.filePath(QStringLiteral("unit.PF3")));
    ui.click("ConfigComPort");
    ui.click("Initialize");
    EXPECT_EQ(ui.text(2), "COM2: at 57.6 kbaud");
    ui.click("ProgramFlash");
    EXPECT_TRUE(QTest::qWaitFor([&form] { return form.ProgramMode == RunMode::Idle; }, 60000));

    EXPECT_EQ(form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(ui.text(3), "0");
    EXPECT_EQ(ui.text(4), QString::number(form.RecordsTotal));
    EXPECT_EQ(ui.text(5), "100.0 %");
    EXPECT_EQ(ui.rows("List1").value(ui.rows("List1").size() - 1), "Processing complete.  Exit this application.");
    ui.click("AbortProgram");
    const Finished device = sim.finish();
    EXPECT_EQ(device.exitCode, 0) << device.err.toStdString();
}

// A USB adapter is COM 33: chosen in the dialog, whose line names it, it is flashed.
TEST(UiRunAgainstSim, UsbAdapterChosenAsCom33InTheDialog)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("unit.pf3"));
    QProcess writer;
    writer.start(buildDir() + QStringLiteral("/flash3-sim"), {"--write-sample", image, "--lines", "10"});
    ASSERT_TRUE(writer.waitForFinished(10000));
    Sim sim({image});
    ASSERT_FALSE(sim.device.isEmpty());
    QDir().mkpath(dir.filePath("dev"));
    const QString usb0 = dir.filePath("dev/ttyUSB0");
    ASSERT_TRUE(QFile::link(sim.device, usb0));
    const ScopedPortMapPaths paths(dir);

    SystemBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    MainWindow window(form);
    MainStartUp(form, {image});
    TickDriver ticks(form);
    window.show();
    const Clicker ui{window};
    ui.click("ConfigComPort");
    auto* ports = ui.child<QListWidget>(QStringLiteral("ComPortList"));
    ports->scrollToItem(ports->item(33));
    QTest::mouseClick(ports->viewport(), Qt::LeftButton, {}, ports->visualItemRect(ports->item(33)).center());
    EXPECT_EQ(ui.child<QLabel>(QStringLiteral("PortInfo"))->text(), usb0 + " - present");
    ui.click("Initialize");
    EXPECT_EQ(ui.text(2), "COM33: at 57.6 kbaud");
    ui.click("ProgramFlash");
    EXPECT_TRUE(QTest::qWaitFor([&form] { return form.ProgramMode == RunMode::Idle; }, 60000));
    EXPECT_EQ(form.LastRunOutcome, RunOutcome::Completed);
    ui.click("AbortProgram");
    const Finished device = sim.finish();
    EXPECT_EQ(device.exitCode, 0) << device.err.toStdString();
}

TEST(UiLogView, FloodKeepsTheNewestLinesWithTheLastCurrentAndNoneHighlighted)
{
    Ui ui;
    for (int i = 0; i < 20000; ++i)
        ui.e.form.PostMsg1(QStringLiteral("line %1").arg(i));
    for (int i = 0; i < 400; ++i)
        ui.e.form.PostMsg2(QStringLiteral("debug %1").arg(i));
    QCoreApplication::processEvents();
    for (auto [name, count, first, last] : {std::tuple{"List1", 1000, "line 19000", "line 19999"},
                                            std::tuple{"List2", 300, "debug 100", "debug 399"}}) {
        auto* list = ui.child<QListWidget>(QString::fromLatin1(name));
        ASSERT_EQ(list->count(), count) << name;
        EXPECT_EQ(list->item(0)->text(), first);
        EXPECT_EQ(list->item(count - 1)->text(), last);
        EXPECT_EQ(list->currentRow(), count - 1) << name;
        EXPECT_TRUE(list->selectedItems().isEmpty()) << name;
        EXPECT_TRUE(list->viewport()->rect().contains(list->visualItemRect(list->item(count - 1)))) << name;
    }
}

TEST(UiLogView, LinesShowWithoutTheEventLoopOnceAFrameHasPassed)
{
    Ui ui;
    auto* list = ui.child<QListWidget>(QStringLiteral("List1"));
    // A long step: lines come faster than frames and the event loop does not run.
    for (int i = 0; i < 500; ++i)
        ui.e.form.PostMsg1(QStringLiteral("burst %1").arg(i));
    QTest::qSleep(2 * ui::LogView::FrameMs);  // the frame's time passing is what is tested
    ui.e.form.PostMsg1(QStringLiteral("after a frame"));
    ASSERT_EQ(list->count(), 501);
    EXPECT_EQ(list->item(500)->text(), "after a frame");
    EXPECT_EQ(list->currentRow(), 500);
}

TEST(UiLogView, ClearsAndDropsTheOperatorsHighlight)
{
    Ui ui;
    auto* list = ui.child<QListWidget>(QStringLiteral("List2"));
    for (int i = 0; i < 5; ++i)
        ui.e.form.PostMsg2(QStringLiteral("line %1").arg(i));
    QCoreApplication::processEvents();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    ASSERT_EQ(list->selectedItems().size(), 1);
    ui.e.form.PostMsg2(QStringLiteral("next"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(list->selectedItems().isEmpty());
    EXPECT_EQ(list->currentRow(), 5);

    // Lines still waiting for a frame go with the clear.
    for (int i = 0; i < 50; ++i)
        ui.e.form.PostMsg2(QStringLiteral("more %1").arg(i));
    ui.click("ClearDebug");
    ui.e.form.PostMsg2(QStringLiteral("first again"));
    EXPECT_EQ(ui.rows("List2"), QStringList{"first again"});
}
