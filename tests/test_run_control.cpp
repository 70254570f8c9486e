// "Program FLASH", "Abort Process", EndRun, the tick dispatcher and "Exit / Abort".

#include "engine_harness.h"

#include "app/tick_driver.h"

#include <QCoreApplication>
#include <QElapsedTimer>

using namespace flash3;
using namespace flash3::testing;

TEST(RunControl, ProgramFlashWithoutFileOnlyLogs)
{
    Engine e;
    e.openPort();
    const QStringList before = e.status1();
    e.form.ProgramFlash_Click();
    EXPECT_EQ(lastOf(e.debug()), "** ERROR ** Select an input file.");
    EXPECT_EQ(e.status1(), before);
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(e.text(TextId::Text3).isEmpty());
    EXPECT_TRUE(e.window().button(ButtonId::ConfigComPort).enabled);
}

TEST(RunControl, PortClosedCountsTheFileThenRefuses)
{
    Engine e;
    e.chooseImage(QByteArray(40, 'x'));
    e.form.ProgramFlash_Click();
    EXPECT_EQ(e.text(TextId::Text3), "10");
    EXPECT_EQ(e.text(TextId::Text4), "0");
    EXPECT_EQ(e.text(TextId::Text5), "0.0 %");
    EXPECT_EQ(e.debug(), QStringList{"** ERROR ** Com Port not initialized."});
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(e.form.LastRunReport.errorLine, "** ERROR ** Com Port not initialized.");
    EXPECT_EQ(e.form.phase(), RunPhase::Refused);
    EXPECT_TRUE(e.form.ImageFile.isOpen());
    for (ButtonId b : {ButtonId::ConfigComPort, ButtonId::SelectInputFile, ButtonId::ProgramFlash, ButtonId::AbortProgram})
        EXPECT_TRUE(e.window().button(b).enabled);
}

TEST(RunControl, StartingARunSetsUpTheHandshake)
{
    Engine e;
    e.openPort();
    e.chooseImage(workedExample());
    e.form.TimeoutCount = 3;
    const int flushesBefore = e.callCount("FlushReceiveBuffer");
    e.form.ProgramFlash_Click();
    ASSERT_GE(e.debug().size(), 2);
    EXPECT_EQ(e.debug().at(e.debug().size() - 2), "Starting voDOZUD of KORVEN-7 interface.");
    EXPECT_TRUE(lastOf(e.debug()).startsWith("Start time:    "));
    EXPECT_EQ(e.window().button(ButtonId::ProgramFlash).caption, "Abort Process");
    EXPECT_FALSE(e.window().button(ButtonId::ConfigComPort).enabled);
    EXPECT_FALSE(e.window().button(ButtonId::SelectInputFile).enabled);
    EXPECT_EQ(e.form.ProgramMode, RunMode::SendEntryByte1);
    EXPECT_EQ(e.form.TimeoutCount, 36);
    EXPECT_EQ(e.callCount("FlushReceiveBuffer"), flushesBefore + 1);
    EXPECT_EQ(e.form.RecordsTotal, 7);
    e.tick();
    EXPECT_EQ(lastOf(e.status1()), "Program Mode = 101");
    EXPECT_EQ(e.backend.written, (std::vector<uint8_t>{0xE1}));
}

TEST(RunControl, AbortBetweenTicksEndsAtOnce)
{
    Engine e;
    e.openPort();
    e.chooseImage(workedExample());
    e.form.ProgramFlash_Click();
    e.tick(3);
    const int lines = static_cast<int>(e.status1().size());
    e.form.ProgramFlash_Click();  // reads "Abort Process"
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(lastOf(e.debug()).startsWith("Stop time:    "));
    EXPECT_EQ(e.status1().mid(lines), banner());
    EXPECT_EQ(e.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
    EXPECT_TRUE(e.window().button(ButtonId::ConfigComPort).enabled);
    EXPECT_TRUE(e.window().button(ButtonId::SelectInputFile).enabled);
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Aborted);
}

// A run ended for a reason only the caller sees (flash3-cli's quiet-line
// bound, its named image): failed with that cause, the reason its error line.
TEST(RunControl, RunAbortedWithACauseFailsWithItsReason)
{
    // Before the first entry byte: refused, nothing sent.
    {
        Engine e;
        e.openPort();
        e.chooseImage(workedExample());
        e.form.ProgramFlash_Click();
        ASSERT_EQ(e.form.phase(), RunPhase::Handshake);
        const int lines = static_cast<int>(e.status1().size());
        EXPECT_TRUE(e.form.abortRun(FailureCause::ImageChanged, QStringLiteral("Not the image named.")));
        EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
        ASSERT_GE(e.debug().size(), 2);
        EXPECT_EQ(e.debug().at(e.debug().size() - 2), "Hint: Not the image named.");
        EXPECT_TRUE(lastOf(e.debug()).startsWith("Stop time:    "));
        EXPECT_EQ(e.status1().mid(lines), banner());
        EXPECT_EQ(e.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
        EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Failed);
        EXPECT_FALSE(e.form.LastRunReport.started);
        EXPECT_EQ(e.form.LastRunReport.cause, FailureCause::ImageChanged);
        EXPECT_EQ(e.form.LastRunReport.errorLine, "Hint: Not the image named.");
        EXPECT_EQ(e.form.phase(), RunPhase::Refused);
        e.tick(40);
        EXPECT_TRUE(e.backend.written.empty());
        EXPECT_FALSE(e.form.abortRun(FailureCause::ImageChanged, QStringLiteral("Again."))) << "no run to end";
        EXPECT_FALSE(e.debug().contains("Hint: Again."));
    }
    // After the entry bytes: a failed run, not a refusal.
    {
        Engine e;
        e.openPort();
        e.chooseImage(workedExample());
        e.form.ProgramFlash_Click();
        e.tick(3);
        ASSERT_EQ(e.form.ProgramMode, RunMode::AwaitEntryReply);
        // Never in the middle of a tick's step.
        e.form.IsrActive = True;
        EXPECT_FALSE(e.form.abortRun(FailureCause::LineNeverQuiet, QStringLiteral("Never quiet.")));
        EXPECT_EQ(e.form.ProgramMode, RunMode::AwaitEntryReply);
        e.form.IsrActive = False;
        EXPECT_TRUE(e.form.abortRun(FailureCause::LineNeverQuiet, QStringLiteral("Never quiet.")));
        EXPECT_TRUE(e.form.LastRunReport.started);
        EXPECT_EQ(e.form.LastRunReport.cause, FailureCause::LineNeverQuiet);
        EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Failed);
        EXPECT_EQ(e.form.phase(), RunPhase::Failed);
        EXPECT_EQ(e.backend.written, (std::vector<uint8_t>{0xE1, 0x94}));
    }
    // Just completed: failed after the fact, the reason after its closing lines.
    {
        Engine e;
        DeviceModel device(e.backend, workedExample());
        e.openPort();
        e.chooseImage(workedExample());
        e.form.ProgramFlash_Click();
        e.runToEnd();
        ASSERT_EQ(e.form.phase(), RunPhase::Completed);
        EXPECT_TRUE(e.form.abortRun(FailureCause::ImageChanged, QStringLiteral("Replaced during the run.")));
        EXPECT_EQ(lastOf(e.debug()), "Hint: Replaced during the run.");
        EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Failed);
        EXPECT_EQ(e.form.LastRunReport.cause, FailureCause::ImageChanged);
        EXPECT_EQ(e.form.LastRunReport.errorLine, "Hint: Replaced during the run.");
        EXPECT_EQ(e.form.phase(), RunPhase::Failed);
    }
}

TEST(RunControl, ClickDuringATickMarksTheRunForAbort)
{
    Engine e;
    e.openPort();
    e.chooseImage(workedExample());
    e.form.ProgramFlash_Click();
    e.tick();
    // A click handled while a tick handler runs only marks the abort.
    e.form.IsrActive = True;
    e.form.ProgramFlash_Click();
    EXPECT_EQ(lastOf(e.status1()), "ProgramMode not zero.  Abort is pending.");
    EXPECT_EQ(e.form.AbortPending, True);
    EXPECT_EQ(e.form.ProgramMode, RunMode::SendEntryByte2);
    // A tick arriving while the handler runs only counts down.
    const int16_t count = e.form.TimeoutCount;
    e.tick();
    EXPECT_EQ(e.form.TimeoutCount, count - 1);
    EXPECT_EQ(e.form.ProgramMode, RunMode::SendEntryByte2);
    e.form.IsrActive = False;
    e.tick();
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(e.form.AbortPending, False);
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Aborted);
    EXPECT_EQ(e.backend.written, (std::vector<uint8_t>{0xE1}));
    // With no run active, a click during a tick does nothing at all.
    e.form.IsrActive = True;
    const QStringList before = e.status1();
    e.form.ProgramFlash_Click();
    EXPECT_EQ(e.status1(), before);
    EXPECT_EQ(e.form.AbortPending, False);
}

TEST(RunControl, IdleTicksCountDownToZeroAndStay)
{
    Engine e;
    e.openPort();
    EXPECT_TRUE(e.window().timer2().enabled);
    e.tick(35);
    EXPECT_EQ(e.form.TimeoutCount, 1);
    e.tick();
    EXPECT_EQ(e.form.TimeoutCount, 0);
    e.tick(10);
    EXPECT_EQ(e.form.TimeoutCount, 0);
    EXPECT_TRUE(e.status1().isEmpty());
}

TEST(RunControl, InvalidModeIsLoggedAndEndsTheRun)
{
    Engine e;
    e.openPort();
    e.form.ProgramMode = static_cast<RunMode>(3);
    e.tick();
    EXPECT_EQ(e.debug().at(e.debug().size() - 2), "ProgramMode unexpected: 3");
    EXPECT_TRUE(lastOf(e.debug()).startsWith("Stop time:"));
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
}

TEST(RunControl, ExitClosesFileAndPortThenEnds)
{
    Engine e;
    e.openPort(2);
    e.chooseImage(workedExample());
    e.form.ProgramFlash_Click();
    e.form.ProgramFlash_Click();
    const int lines = static_cast<int>(e.status1().size());
    e.form.AbortProgram_Click();
    EXPECT_EQ(e.status1().mid(lines), (QStringList{"Input file closed.", "Closed COM port: 2", "Program terminated."}));
    EXPECT_TRUE(e.window().programEnded());
    EXPECT_FALSE(e.window().timer2().enabled);
    EXPECT_FALSE(e.form.ImageFile.isOpen());
    EXPECT_EQ(e.backend.openPorts(), 0);
    // Nothing is handled once the program has ended.
    e.form.ProgramFlash_Click();
    e.tick();
    EXPECT_EQ(e.status1().size(), lines + 3);
}

TEST(RunControl, ExitWithNothingOpenOnlySaysTerminated)
{
    Engine e;
    e.form.AbortProgram_Click();
    EXPECT_EQ(e.status1(), QStringList{"Program terminated."});
    EXPECT_TRUE(e.window().programEnded());
}

TEST(RunControl, ExitRefusesWhileATickOrAWriteIsUnderWay)
{
    Engine e;
    e.openPort();
    e.form.IsrActive = True;
    e.form.AbortProgram_Click();
    EXPECT_EQ(lastOf(e.status1()), "ISR active.  Try to exit again.");
    EXPECT_FALSE(e.window().timer2().enabled);
    EXPECT_FALSE(e.window().programEnded());
    EXPECT_EQ(e.form.PortOpen, True);

    e.form.IsrActive = False;
    e.form.PortBusy = True;
    e.form.AbortProgram_Click();
    EXPECT_EQ(lastOf(e.status1()), "COM port in-use.  Try to exit again.");
    EXPECT_FALSE(e.window().programEnded());

    e.form.PortBusy = False;
    e.form.AbortProgram_Click();
    EXPECT_TRUE(e.window().programEnded());

    // A program that must leave (flash3-cli at the end of a port's run) is
    // refused once at most, and closes the port all the same.
    Engine leaving;
    leaving.openPort();
    leaving.form.IsrActive = True;
    leaving.form.PortBusy = True;
    leaving.form.exitNow();
    EXPECT_TRUE(leaving.status1().contains("ISR active.  Try to exit again."));
    EXPECT_EQ(lastOf(leaving.status1()), "Program terminated.");
    EXPECT_TRUE(leaving.window().programEnded());
    EXPECT_EQ(leaving.form.PortOpen, False);
}

TEST(RunControl, SecondRunReopensTheFileFromItsStart)
{
    Engine e;
    DeviceModel device(e.backend, workedExample());
    e.openPort();
    e.chooseImage(workedExample());
    e.form.ProgramFlash_Click();
    e.runToEnd();
    ASSERT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(e.text(TextId::Text3), "0");

    // The file grows on disk between runs: the count follows it.
    e.writeFile("image.pf3", workedExample() + "T43:");
    DeviceModel device2(e.backend, workedExample() + "T43:");
    e.form.ProgramFlash_Click();
    EXPECT_EQ(e.text(TextId::Text3), "8");
    EXPECT_EQ(e.text(TextId::Text4), "0");
    EXPECT_EQ(e.text(TextId::Text5), "0.0 %");
    e.runToEnd();
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Completed);
    EXPECT_EQ(e.text(TextId::Text4), "8");
}

#ifndef _WIN32  // FIFOs, device nodes, hard links and pseudo-terminals are Unix's
// An image that cannot be opened when the run starts: no run, file choice
// kept, and a hint that says why. Only a regular file is an image: a FIFO
// must not block the click, a device must not be read without end.
TEST(RunControl, UnopenableImageDoesNotStartARunAndSaysWhy)
{
    Engine e;
    e.openPort();
    const QString fifo = e.dir.filePath("fifo.pf3");
    const FifoWithLateWriter writer(fifo);
    ASSERT_TRUE(writer.made());
    const QString unreadable = e.writeFile("unreadable.pf3", workedExample());
    ASSERT_TRUE(QFile::setPermissions(unreadable, QFileDevice::WriteOwner));
    struct Case {
        QString path;
        QString why;
    };
    QList<Case> cases{
        {e.dir.filePath("gone.pf3"), "cannot be opened: No such file or directory"},
        {e.dir.path(), "is a directory, not a regular file"},
        {fifo, "is a FIFO, not a regular file"},
        {"/dev/zero", "is a character device, not a regular file"},
    };
    if (::geteuid() != 0)  // root reads it all the same
        cases.append({unreadable, "cannot be opened: Permission denied"});
    for (const Case& c : cases) {
        e.form.FileName = c.path;
        e.form.FileMode = 1;
        e.form.ProgramFlash_Click();
        const QStringList debug = e.debug();
        ASSERT_GE(debug.size(), 2);
        EXPECT_EQ(debug.mid(debug.size() - 2),
                  (QStringList{"** ERROR ** Cannot open input file: " + c.path, "Hint: The input file " + c.why + "."}));
        EXPECT_EQ(e.form.LastRunReport.cause, FailureCause::CannotOpenImage);
        EXPECT_EQ(e.form.LastRunReport.imageOpenError, c.why);
        EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
        EXPECT_EQ(e.form.FileMode, 1);
        EXPECT_EQ(e.window().button(ButtonId::ProgramFlash).caption, "Program FLASH");
        e.tick(5);
        EXPECT_TRUE(e.backend.written.empty()) << c.path.toStdString();
    }
}
#endif

TEST(RunControl, ImageWithoutRecordsIsRefused)
{
    for (const QByteArray& content : {QByteArray(), QByteArray("T4")}) {
        Engine e;
        e.openPort();
        e.chooseImage(content);
        e.form.ProgramFlash_Click();
        EXPECT_EQ(e.text(TextId::Text3), "0");
        EXPECT_EQ(e.text(TextId::Text5), "0.0 %");
        EXPECT_EQ(lastOf(e.debug()), "** ERROR ** Input file holds no records.");
        EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
        EXPECT_TRUE(e.backend.written.empty());
    }
}

TEST(RunControl, ImageTooLargeForTheCountersIsRefused)
{
    Engine e;
    e.openPort();
    const QString path = e.dir.filePath("huge.pf3");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(int64_t{8} << 30));  // sparse
    }
    e.form.FileName = path;
    e.form.FileMode = 1;
    e.form.ProgramFlash_Click();
    EXPECT_TRUE(lastOf(e.debug()).startsWith("** ERROR ** Input file too large"));
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_FALSE(e.form.ImageFile.isOpen());
}

// The real timer fires only while a run (or the check before one) is active:
// a program that waits with its port open is never woken. A run still gets
// every tick it needs, and what the routines see does not change, since every
// run start reloads TimeoutCount, the only thing an idle tick touches.
TEST(RunControl, RealTimerSleepsWhileNoRunIsActive)
{
    int argc = 1;
    char name[] = "test_engine";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    Engine e;
    TickDriver driver(e.form);
    int ticks = 0;
    QObject::connect(&driver, &TickDriver::ticked, [&] { ++ticks; });
    const auto wait = [](int ms) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    e.openPort();
    ASSERT_TRUE(e.window().timer2().enabled);
    wait(100);
    EXPECT_EQ(ticks, 0) << "woken while idle";
    EXPECT_EQ(e.form.TimeoutCount, 36);

    // A device that never answers: the handshake fails after its quiet period.
    e.chooseImage(workedExample());
    e.form.ProgramFlash_Click();
    ASSERT_EQ(e.form.TimeoutCount, 36);
    for (int i = 0; i < 400 && e.form.ProgramMode != RunMode::Idle; ++i)
        wait(5);
    EXPECT_EQ(e.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(e.debug().contains("Unexpected data read trying to initialize."));
    EXPECT_GE(ticks, 38);
    const int afterRun = ticks;
    wait(100);
    EXPECT_EQ(ticks, afterRun) << "woken after the run";

    // "Abort Process" between ticks stops the timer too, and a new run starts it.
    e.form.ProgramFlash_Click();
    wait(30);
    EXPECT_GT(ticks, afterRun);
    e.form.ProgramFlash_Click();
    const int afterAbort = ticks;
    wait(100);
    EXPECT_EQ(ticks, afterAbort);
    EXPECT_EQ(e.form.LastRunOutcome, RunOutcome::Aborted);
}

// A station drives many engines from one timer: every engine whose run is
// active gets each tick, in step with the others; one whose run has ended, or
// that never started, is not ticked, and the timer sleeps once none is active.
TEST(RunControl, OneTimerDrivesManyEnginesInStep)
{
    int argc = 1;
    char name[] = "test_engine";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    Engine a, b, idle;
    TickDriver driver(std::vector<Form1*>{&a.form, &b.form, &idle.form});
    int ticks = 0;
    int aEnded = -1, bEnded = -1;
    QObject::connect(&driver, &TickDriver::ticked, [&] {
        ++ticks;
        if (aEnded < 0 && a.form.ProgramMode == RunMode::Idle)
            aEnded = ticks;
        if (bEnded < 0 && b.form.ProgramMode == RunMode::Idle)
            bEnded = ticks;
    });
    const auto wait = [](int ms) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    for (Engine* e : {&a, &b, &idle})
        e->openPort();
    // Two devices that never answer: both handshakes fail after the same quiet period.
    for (Engine* e : {&a, &b}) {
        e->chooseImage(workedExample());
        e->form.ProgramFlash_Click();
    }
    for (int i = 0; i < 400 && (a.form.ProgramMode != RunMode::Idle || b.form.ProgramMode != RunMode::Idle); ++i)
        wait(5);
    ASSERT_EQ(a.form.ProgramMode, RunMode::Idle);
    ASSERT_EQ(b.form.ProgramMode, RunMode::Idle);
    EXPECT_EQ(aEnded, bEnded) << "the engines fell out of step";
    EXPECT_GE(aEnded, 38);
    EXPECT_TRUE(a.debug().contains("Unexpected data read trying to initialize."));
    EXPECT_TRUE(b.debug().contains("Unexpected data read trying to initialize."));
    EXPECT_EQ(idle.form.TimeoutCount, 36) << "an engine without a run was ticked";
    const int afterRuns = ticks;
    wait(60);
    EXPECT_EQ(ticks, afterRuns) << "woken with no run active";

    // One engine ending its program while another runs does not stop the other.
    a.form.ProgramFlash_Click();
    b.form.ProgramFlash_Click();
    a.form.AbortProgram_Click();  // "Exit / Abort" during a run: aborts it first
    for (int i = 0; i < 400 && b.form.ProgramMode != RunMode::Idle; ++i)
        wait(5);
    EXPECT_EQ(b.form.ProgramMode, RunMode::Idle);
    EXPECT_TRUE(b.form.LastRunOutcome == RunOutcome::Failed);
}
