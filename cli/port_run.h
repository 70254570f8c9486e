#pragma once
// One port of a flash3-cli run: its own driver and engine, driven exactly as
// an operator drives the window (port dialog, "Initialize", "Program FLASH",
// "Exit / Abort"), and what the run came to. A station holds one per port;
// they share nothing but the tick.

#include "options.h"
#include "port_result.h"
#include "verdict.h"

#include "app/form1.h"
#include "serial/driver.h"
#include "ports/system_backend.h"

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <functional>

namespace flash3::cli {

class PortRun : private WindowObserver {
public:
    using Phase = RunPhase;

    PortRun(const PortChoice& port, const Options& options);
    ~PortRun() override;
    PortRun(const PortRun&) = delete;
    PortRun& operator=(const PortRun&) = delete;

    // What the port list says of the device, where it knows it (for the report).
    QString byIdPath;
    QString serialNumber;
    // The log or the report name the image, by this digest (empty: it could
    // not be read). A run whose check read another file is refused unsent.
    bool imageNamed = false;
    QByteArray namedImageDigest;

    // Every Status1 and Debug line as it is posted.
    std::function<void(PortRun&, LogId, const QString&)> onLine;
    // Records done moved on.
    std::function<void(PortRun&)> onProgress;

    // Opens the image and the port; false when the run is refused already.
    bool prepare();
    // "Program FLASH": false when the run is refused (faulty image, ...).
    bool start();
    // After every tick: bounds the wait for a quiet line and notices the end
    // of the run. True once the run has ended (the port is closed then).
    bool afterTick();
    // Ctrl-C: the run is aborted and the port closed.
    void interrupt();

    int com() const { return com_; }
    const QString& devicePath() const { return context_.devicePath; }
    int speed() const;  // bit/s
    Phase phase() const;
    bool ended() const { return ended_; }
    Form1& form() { return form_; }
    const Form1& form() const { return form_; }
    const RunReport& report() const { return form_.LastRunReport; }
    RunOutcome outcome() const { return form_.LastRunOutcome; }
    // This port's exit status: 0 completed, 1 failed, 2 refused, 130 interrupted.
    int status() const { return status_; }
    double seconds() const { return context_.seconds; }
    // The port could not be opened: nothing was sent.
    bool portFailed() const { return context_.portFailed; }
    // How the run ended in words, without "flash3-cli: ".
    QString verdict() const;
    // The Debug line that says what went wrong, for a run that failed or was
    // refused (empty when interrupted: nothing went wrong with the port).
    QString errorLine() const;
    // The "Hint: " lines the run posted, in order.
    const QStringList& hints() const { return hints_; }
    // All of the above that the report, the verdict lines and the table
    // need, taken now.
    PortResult result() const;

private:
    void logAppended(LogId id, const QString& line, int removed) override;
    void textChanged(TextId id) override;
    void finish(int status);
    // Refuses the run, before its first byte, when its check read another
    // file than the one the log and the report name.
    bool refusedAsNotTheNamedImage();

    SystemBackend backend_;
    SerialDriver driver_;
    Form1 form_;
    const Options& options_;
    int com_;
    VerdictContext context_;
    QElapsedTimer runClock_;
    QElapsedTimer quietWait_;
    QString errorLine_;  // the port would not open: no run to report it
    QStringList hints_;
    bool ended_ = false;
    bool namedImageCompared_ = false;
    bool interrupted_ = false;
    int status_ = -1;
};

} // namespace flash3::cli
