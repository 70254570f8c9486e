#include "image_fuzz_target.h"

#include "app/form1.h"
#include "app/startup.h"
#include "image/image_check.h"
#include "serial/fake_backend.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <unistd.h>

namespace flash3::fuzz {

namespace {
// One scratch file per process, removed when the process ends.
QString scratchPath()
{
    static const struct Scratch {
        QString path =
            QDir::temp().filePath(QStringLiteral("flash3-fuzz-%1.pf3").arg(static_cast<qint64>(::getpid())));
        ~Scratch() { QFile::remove(path); }
    } scratch;
    return scratch.path;
}

int hexValue(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 55 : 0;
}

bool runOnce(const QString& path, std::size_t size, const ImageCheckReport& report, bool fatal,
             const std::string& expectedSent, bool allowFaulty, std::string* why)
{
    FakeBackend backend;
    SerialDriver driver(backend);
    Form1 form(driver);
    MainStartUp(form, {});
    form.ConfigComPort_Click();
    form.window().selectPort(2);
    form.Initialize_Click();
    form.AllowFaultyImage = allowFaulty;
    form.FileName = path;
    form.FileMode = 1;
    form.ProgramFlash_Click();
    if (!allowFaulty && report.faultyRecords > 0) {
        if (form.ProgramMode != RunMode::Idle || !backend.written.empty() || form.LastRunReport.started) {
            *why = "a run started on an image the check found faulty";
            return false;
        }
        return true;
    }
    if (report.records == 0 && size <= 2) {
        if (form.ProgramMode != RunMode::Idle) {
            *why = "a run started on an image without records";
            return false;
        }
        return true;
    }
    backend.deliverAt(3, {0x91, 0x26});
    const long long limit = 100 + 2 * (static_cast<long long>(size) / 4 + 1);
    long long ticks = 0;
    while (form.ProgramMode != RunMode::Idle && ticks < limit) {
        if (form.ProgramMode == RunMode::Verify && backend.pending() == 0)
            backend.deliver({static_cast<uint8_t>(form.ExpectedByte)});
        backend.setTick(backend.tick() + 1);
        form.Timer2_Timer();
        ++ticks;
    }
    if (form.ProgramMode != RunMode::Idle) {
        *why = "the run did not end";
        return false;
    }
    if (form.RecordsDone > form.RecordsTotal || form.RecordsLeft < 0) {
        *why = "record counters out of range";
        return false;
    }
    if (backend.written.size() < 2) {
        *why = "the entry bytes were not sent";
        return false;
    }
    const std::string sent(backend.written.begin() + 2, backend.written.end());
    const bool completed = form.LastRunOutcome == RunOutcome::Completed;
    if (completed == fatal) {
        *why = completed ? "run completed although the checker found a fatal fault"
                         : "run failed although the checker found no fatal fault";
        return false;
    }
    if (completed && (form.RecordsLeft != 0 || form.RecordsDone != form.RecordsTotal)) {
        *why = "a completed run does not show every record done";
        return false;
    }
    if (sent != expectedSent) {
        *why = "the bytes sent differ from the image's T records";
        return false;
    }
    const QStringList& status1 = form.window().log(LogId::List1).lines;
    if (completed != status1.contains(QStringLiteral("Processing complete.  Exit this application."))) {
        *why = "\"Processing complete.\" does not match the outcome";
        return false;
    }
    return true;

}

} // namespace

bool runImage(const uint8_t* data, std::size_t size, std::string* why)
{
    const QString path = scratchPath();
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return true;  // nothing to judge
        f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }

    bool fatal = false;  // a fault that ends a run
    const ImageCheckReport report = checkImage(path, [&](const ImageFault& f) {
        fatal = fatal || f.message.startsWith(QLatin1String("Error."));
    });
    if (!report.opened) {
        *why = "checker could not open the image";
        return false;
    }

    // The T bytes a run must send, as far as it gets.
    std::string expectedSent;
    for (std::size_t i = 0; i + 4 <= size; i += 4) {
        const char* r = reinterpret_cast<const char*>(data) + i;
        if (r[3] != ':')
            continue;
        if (r[0] == 'E' && (r[1] != '\r' || r[2] != '\n'))
            break;
        if (r[0] == 'T')
            expectedSent += static_cast<char>(hexValue(r[1]) * 16 + hexValue(r[2]));
    }

    // As flash3-cli --force runs it (the reader's own handling of faulty
    // records), then as every run does by default (refused unless clean).
    return runOnce(path, size, report, fatal, expectedSent, true, why)
        && runOnce(path, size, report, fatal, expectedSent, false, why);
}

} // namespace flash3::fuzz
