#pragma once
// What a terminal shows of a program's output: flash3-cli run on a
// pseudo-terminal, and the bytes it wrote drawn on a screen that knows what
// the program uses (carriage return, line feed, erase to the end of the line
// or the screen, cursor up). Rows scroll up without limit.

#include <QByteArray>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace flash3::testing {

class TerminalScreen {
public:
    void feed(const QByteArray& bytes)
    {
        for (char c : bytes)
            put(c);
    }
    // The row the cursor is on.
    QString cursorRow() const { return row_ < rows_.size() ? rows_[row_] : QString(); }
    QStringList rows() const { return rows_; }

private:
    void put(char c)
    {
        if (!escape_.isEmpty()) {
            escape_ += c;
            if (escape_.size() == 2 && c != '[')
                escape_.clear();
            else if (escape_.size() > 2 && c >= 0x40 && c <= 0x7E)
                runEscape();
            return;
        }
        while (rows_.size() <= row_)
            rows_.append(QString());
        switch (c) {
        case '\033':
            escape_ = "\033";
            return;
        case '\r':
            col_ = 0;
            return;
        case '\n':
            ++row_;
            return;
        default:
            break;
        }
        QString& line = rows_[row_];
        if (line.size() <= col_)
            line.append(QString(col_ - line.size() + 1, QLatin1Char(' ')));
        line[col_++] = QLatin1Char(c);
    }
    void runEscape()
    {
        const char op = escape_.back();
        const int n = std::max(1, escape_.mid(2, escape_.size() - 3).toInt());
        escape_.clear();
        while (rows_.size() <= row_)
            rows_.append(QString());
        if (op == 'K')
            rows_[row_].truncate(col_);
        else if (op == 'J')
            rows_ = rows_.mid(0, row_ + 1), rows_[row_].truncate(col_);
        else if (op == 'A')
            row_ = std::max<qsizetype>(0, row_ - n);
    }

    QStringList rows_;
    qsizetype row_ = 0;
    qsizetype col_ = 0;
    QByteArray escape_;
};

// Runs a program with stderr (and stdout, unless `stdoutToNull`) on a
// pseudo-terminal of 100 columns and 30 rows; `sample` is called with the
// screen every `everyMs` while it runs, and once at the end.
template <typename Sample>
int runOnTerminal(const QString& program, const QStringList& arguments, bool stdoutToNull, int everyMs,
                  Sample sample, int timeoutMs = 60000)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return -1;
    const winsize size{30, 100, 0, 0};
    ::ioctl(master, TIOCSWINSZ, &size);
    const QByteArray slaveName = ::ptsname(master);
    QProcess process;
    process.setChildProcessModifier([slaveName, stdoutToNull] {
        const int slave = ::open(slaveName.constData(), O_RDWR | O_NOCTTY);
        const int out = stdoutToNull ? ::open("/dev/null", O_WRONLY) : slave;
        ::dup2(out, STDOUT_FILENO);
        ::dup2(slave, STDERR_FILENO);
    });
    process.start(program, arguments);
    TerminalScreen screen;
    QElapsedTimer clock, sinceSample;
    clock.start();
    sinceSample.start();
    char buffer[4096];
    const auto drain = [&](int waitMs) {
        pollfd p{master, POLLIN, 0};
        while (::poll(&p, 1, waitMs) > 0 && (p.revents & POLLIN)) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                break;
            screen.feed(QByteArray(buffer, static_cast<int>(n)));
            waitMs = 0;
        }
    };
    while (process.state() != QProcess::NotRunning && clock.elapsed() < timeoutMs) {
        drain(5);
        if (sinceSample.elapsed() >= everyMs) {
            sinceSample.restart();
            sample(screen, false);
        }
        process.waitForFinished(1);
    }
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
    }
    drain(50);
    sample(screen, true);
    ::close(master);
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

} // namespace flash3::testing
