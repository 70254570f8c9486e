#pragma once
// Runs the built programs as separate processes: flash3-sim on a real
// pseudo-terminal and flash3-cli against it, with the real 5 ms timer.

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "list_access.h"
#include "wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>

#include <unistd.h>

namespace flash3::testing {

// flash3-cli's exit statuses.
constexpr int kCompleted = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kInterrupted = 130;

inline QString buildDir()
{
    return qEnvironmentVariable("FLASH3_BUILD_DIR", QStringLiteral("."));
}

inline QString sourceDir()
{
    return qEnvironmentVariable("FLASH3_SOURCE_DIR", QStringLiteral(".."));
}

struct Finished {
    int exitCode = -1;
    bool crashed = false;
    bool timedOut = false;
    QString out;
    QString err;
    qint64 ms = 0;
    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QStringList errLines() const { return err.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

inline Finished waitFinished(QProcess& p, int timeoutMs)
{
    Finished f;
    QElapsedTimer clock;
    clock.start();
    if (!p.waitForFinished(timeoutMs)) {
        f.timedOut = true;
        p.kill();
        p.waitForFinished(2000);
    }
    f.ms = clock.elapsed();
    f.crashed = p.exitStatus() == QProcess::CrashExit;
    f.exitCode = p.exitCode();
    f.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    f.err = QString::fromLocal8Bit(p.readAllStandardError());
    return f;
}

// A program held still does not tick: stopping one lets a test act at a
// point of its run that it chose, however busy the machine is.
inline char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const qsizetype name = text.lastIndexOf(')');  // the state follows the program's name
    return name >= 0 && name + 2 < text.size() ? text.at(name + 2) : char(0);
}

// Stops `pid` and returns once it is stopped (the signal is delivered later).
inline bool stopProcess(qint64 pid)
{
    ::kill(static_cast<pid_t>(pid), SIGSTOP);
    return waitUntil([pid] { return processState(pid) == 'T'; }, std::chrono::seconds(10));
}

inline void continueProcess(qint64 pid)
{
    ::kill(static_cast<pid_t>(pid), SIGCONT);
}

// Whether one of the descriptors of `pid` is open on the file at `path`.
inline bool holdsOpen(qint64 pid, const QString& path)
{
    const QString folder = QStringLiteral("/proc/%1/fd").arg(pid);
    const QByteArray wanted = QFile::encodeName(path);
    for (const QString& fd : QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t n = ::readlink(QFile::encodeName(folder + QLatin1Char('/') + fd).constData(), target, sizeof target);
        if (n > 0 && QByteArray(target, static_cast<qsizetype>(n)) == wanted)
            return true;
    }
    return false;
}

// A virtual device; the device path is read from its first line of output.
class Sim {
public:
    explicit Sim(const QStringList& args)
    {
        process_.setProgram(buildDir() + QStringLiteral("/flash3-sim"));
        process_.setArguments(args);
        process_.start();
        if (!process_.waitForStarted(5000))
            return;
        QElapsedTimer clock;
        clock.start();
        while (!process_.canReadLine() && clock.elapsed() < 5000)
            process_.waitForReadyRead(100);
        device = QString::fromLocal8Bit(process_.readLine()).trimmed();
    }
    ~Sim()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    // Waits for the device to end (it ends when the host closes the line).
    Finished finish(int timeoutMs = 5000)
    {
        Finished f = waitFinished(process_, timeoutMs);
        return f;
    }
    void terminate() { ::kill(static_cast<pid_t>(process_.processId()), SIGTERM); }
    QString device;

private:
    QProcess process_;
};

class Cli {
public:
    explicit Cli(const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
    {
        process_.setProgram(buildDir() + QStringLiteral("/flash3-cli"));
        process_.setArguments(args);
        process_.setProcessEnvironment(env);
        process_.start();
        process_.waitForStarted(5000);
    }
    Finished finish(int timeoutMs = 60000) { return waitFinished(process_, timeoutMs); }
    void signal(int sig) { ::kill(static_cast<pid_t>(process_.processId()), sig); }
    bool running() const { return process_.state() == QProcess::Running; }
    qint64 pid() const { return process_.processId(); }
    // Waits until stdout has shown `text` (or the time is up); keeps what was read.
    bool waitForOutput(const QString& text, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            seen_ += process_.readAllStandardOutput();
            if (QString::fromLocal8Bit(seen_).contains(text))
                return true;
            process_.waitForReadyRead(50);
        }
        return false;
    }
    // Waits until stdout has shown the line `line` `count` times (or the time is up).
    bool waitForOutputLines(const QString& line, int count, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            seen_ += process_.readAllStandardOutput();
            if (QString::fromLocal8Bit(seen_).split(QLatin1Char('\n')).count(line) >= count)
                return true;
            process_.waitForReadyRead(50);
        }
        return false;
    }
    Finished finishKeepingOutput(int timeoutMs = 60000)
    {
        Finished f = waitFinished(process_, timeoutMs);
        f.out.prepend(QString::fromLocal8Bit(seen_));
        return f;
    }

private:
    QProcess process_;
    QByteArray seen_;
};

// A scratch folder for images, with the sample writer of flash3-sim.
class ProcessTest : public ::testing::Test {
protected:
    QTemporaryDir dir;

    QString write(const QString& name, const QByteArray& content)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }
    QString sample(int lines, int seed = 1)
    {
        const QString path = dir.filePath(QStringLiteral("sample-%1-%2.pf3").arg(lines).arg(seed));
        QProcess p;
        p.start(buildDir() + "/flash3-sim", {"--write-sample", path, "--lines", QString::number(lines), "--seed",
                                              QString::number(seed)});
        EXPECT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 0);
        return path;
    }
};

} // namespace flash3::testing
