// flash3-soak-driver: one long-lived program doing run after run, as an
// operator would, so that soak.py can watch its descriptors and memory.
// With the desktop program's windows (built with FLASH3_SOAK_UI) it clicks
// the real buttons on whatever platform Qt is given (offscreen in tests);
// without them it presses the same buttons of the window model.
//
//   flash3-soak-driver --device PATH IMAGE
//
// Commands on stdin, one per line; each answers one line on stdout:
//   run           "Initialize", "Program FLASH", wait for the end of the run,
//                 then "Configure COM port" (which closes the port, so the
//                 device sees the session end)  ->  "done N OUTCOME MS"
//   abort MS      the same, but "Abort Process" MS ms into the run
//   debug N       the last N Debug lines of the last run  ->  "debug " and a
//                 JSON array of them, on one line
//   quit          "Exit / Abort"                ->  "bye", and the program ends
// OUTCOME is completed, failed or aborted. At start it opens the port dialog
// and prints "ready PID".

#include "app/form1.h"
#include "app/startup.h"
#include "app/tick_driver.h"
#include "serial/driver.h"
#include "ports/port_map.h"
#include "ports/system_backend.h"

#ifdef FLASH3_SOAK_UI
#include "ui/main_window.h"
#include "ui/port_dialog.h"

#include <QApplication>
#include <QPushButton>
#else
#include <QCoreApplication>
#endif

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>

#include <unistd.h>

using namespace flash3;

namespace {

// A run that has not ended by then is reported as hung.
constexpr int kRunLimitMs = 60000;
constexpr int kComPort = 2;

const char* outcomeName(RunOutcome o)
{
    switch (o) {
    case RunOutcome::Completed: return "completed";
    case RunOutcome::Aborted: return "aborted";
    case RunOutcome::Failed: return "failed";
    case RunOutcome::None: break;
    }
    return "none";
}

void reply(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The Debug lines of the current run, so that one that went wrong can be
// shown with its own lines; the log itself spans many runs and drops lines.
class DebugTrail : public WindowObserver {
public:
    explicit DebugTrail(WindowModel& window) : window_(window) { window_.addObserver(this); }
    ~DebugTrail() override { window_.removeObserver(this); }
    DebugTrail(const DebugTrail&) = delete;
    DebugTrail& operator=(const DebugTrail&) = delete;

    void restart() { lines_.clear(); }
    void logAppended(LogId id, const QString& line, int) override
    {
        if (id != LogId::List2)
            return;
        lines_.push_back(line);
        if (lines_.size() > kKept)
            lines_.pop_front();
    }
    // Its last `count` lines, on one reply line: the reader waits for lines
    // with select(), which cannot see what its buffered reader already holds.
    void report(std::size_t count) const
    {
        QJsonArray last;
        for (std::size_t i = lines_.size() - std::min(count, lines_.size()); i < lines_.size(); ++i)
            last.append(lines_[i]);
        reply("debug " + QJsonDocument(last).toJson(QJsonDocument::Compact).toStdString());
    }

private:
    static constexpr std::size_t kKept = 100;  // bounded: the soak watches this program's memory
    WindowModel& window_;
    std::deque<QString> lines_;
};

// Presses the buttons the operator would press.
class Operator {
public:
#ifdef FLASH3_SOAK_UI
    explicit Operator(Form1& form) : form_(form), window_(form) { window_.show(); }
    bool press(const char* name)
    {
        auto* button = window_.findChild<QPushButton*>(QString::fromLatin1(name));
        if (!button && window_.portDialog())
            button = window_.portDialog()->findChild<QPushButton*>(QString::fromLatin1(name));
        if (!button || !button->isEnabled() || !button->isVisible())
            return false;
        button->click();
        return true;
    }
#else
    explicit Operator(Form1& form) : form_(form) {}
    bool press(const char* name)
    {
        const std::string n = name;
        if (n == "ConfigComPort")
            form_.ConfigComPort_Click();
        else if (n == "Initialize")
            form_.Initialize_Click();
        else if (n == "ProgramFlash")
            form_.ProgramFlash_Click();
        else if (n == "AbortProgram")
            form_.AbortProgram_Click();
        else
            return false;
        return true;
    }
#endif

private:
    Form1& form_;
#ifdef FLASH3_SOAK_UI
    ui::MainWindow window_;
#endif
};

} // namespace

int main(int argc, char** argv)
{
#ifdef FLASH3_SOAK_UI
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
#else
    QCoreApplication app(argc, argv);
#endif
    const QStringList args = QCoreApplication::arguments();
    const auto deviceAt = args.indexOf(QStringLiteral("--device"));
    if (args.size() != 4 || deviceAt != 1) {
        std::fprintf(stderr, "usage: flash3-soak-driver --device PATH IMAGE\n");
        return 2;
    }
    bindComToDevice(kComPort, args.at(2));

    SystemBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    Operator op(form);
    DebugTrail debug(form.window());
    MainStartUp(form, {});
    TickDriver ticks(form);
    form.FileName = args.at(3);
    form.FileMode = 1;
    form.window().setText(TextId::Text1, form.FileName);
    form.window().selectPort(kComPort);

    if (!op.press("ConfigComPort")) {
        std::fprintf(stderr, "flash3-soak-driver: cannot open the port dialog\n");
        return 2;
    }
    reply("ready " + std::to_string(::getpid()));

    int runs = 0;
    bool running = false;
    QElapsedTimer clock;
    QTimer abortTimer;
    abortTimer.setSingleShot(true);
    QTimer limit;
    limit.setSingleShot(true);

    const auto endOfRun = [&](const char* outcome) {
        running = false;
        abortTimer.stop();
        limit.stop();
        const qint64 ms = clock.elapsed();
        // The device judges its session when the line closes.
        op.press("ConfigComPort");
        reply("done " + std::to_string(runs) + " " + outcome + " " + std::to_string(ms));
    };
    QObject::connect(&ticks, &TickDriver::ticked, [&] {
        if (running && form.ProgramMode == RunMode::Idle)
            endOfRun(outcomeName(form.LastRunOutcome));
    });
    QObject::connect(&abortTimer, &QTimer::timeout, [&] {
        if (running && form.ProgramMode != RunMode::Idle)
            op.press("ProgramFlash");  // it reads "Abort Process" now
        // Pressed between ticks, the abort ends the run at once; with no run
        // the tick timer stops, so no tick would report it.
        if (running && form.ProgramMode == RunMode::Idle)
            endOfRun(outcomeName(form.LastRunOutcome));
    });
    QObject::connect(&limit, &QTimer::timeout, [&] {
        if (running)
            endOfRun("hung");
    });

    const auto startRun = [&](int abortAfterMs) {
        ++runs;
        debug.restart();
        clock.start();
        if (!op.press("Initialize") || !form.PortOpen) {
            reply("done " + std::to_string(runs) + " no-port 0");
            op.press("ConfigComPort");
            return;
        }
        if (!op.press("ProgramFlash") || form.ProgramMode == RunMode::Idle) {
            endOfRun("refused");
            return;
        }
        running = true;
        limit.start(kRunLimitMs);
        if (abortAfterMs >= 0)
            abortTimer.start(abortAfterMs);
    };

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            // The test went away: leave as the operator would.
            input.setEnabled(false);
            op.press("AbortProgram");
            QCoreApplication::exit(running ? 1 : 0);
            return;
        }
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            const std::string command = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (running) {
                reply("busy");
            } else if (command == "run") {
                startRun(-1);
            } else if (command.rfind("abort ", 0) == 0) {
                startRun(std::stoi(command.substr(6)));
            } else if (command.rfind("debug ", 0) == 0) {
                debug.report(static_cast<std::size_t>(std::max(0L, std::strtol(command.c_str() + 6, nullptr, 10))));
            } else if (command == "quit") {
                op.press("AbortProgram");
                reply(form.window().programEnded() ? "bye" : "exit refused");
                QCoreApplication::exit(form.window().programEnded() ? 0 : 1);
                return;
            } else {
                reply("unknown command");
            }
        }
    });
    return QCoreApplication::exec();
}
