#pragma once
// A main window with a fake device, ticked by hand.

#include "app/form1.h"
#include "app/startup.h"
#include "serial/fake_backend.h"
#include "ports/port_map.h"

#include <QFile>
#include <QTemporaryDir>

#include "list_access.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace flash3 {

// A failed expectation on ProgramMode names the mode as well as its number.
inline void PrintTo(RunMode mode, std::ostream* os)
{
    static const std::map<RunMode, const char*> names = {
        {RunMode::Idle, "Idle"},
        {RunMode::Transmit, "Transmit"},
        {RunMode::Verify, "Verify"},
        {RunMode::CheckingImage, "CheckingImage"},
        {RunMode::SendEntryByte1, "SendEntryByte1"},
        {RunMode::SendEntryByte2, "SendEntryByte2"},
        {RunMode::AwaitEntryReply, "AwaitEntryReply"},
    };
    const auto name = names.find(mode);
    *os << (name != names.end() ? name->second : "invalid") << " (" << modeNumber(mode) << ')';
}

} // namespace flash3

namespace flash3::testing {

// A driver whose named functions can be made to fail.
class ScriptedDriver : public SerialDriver {
public:
    using SerialDriver::SerialDriver;
    std::map<std::string, int32_t> failWith;

    int32_t SetTimerResolution(int32_t port, int32_t ms) override { return pick("SetTimerResolution", SerialDriver::SetTimerResolution(port, ms)); }
    int32_t SetTimeout(int32_t port, int32_t ms) override { return pick("SetTimeout", SerialDriver::SetTimeout(port, ms)); }
    int32_t SetPaceTime(int32_t port, int32_t ms) override { return pick("SetPaceTime", SerialDriver::SetPaceTime(port, ms)); }
    int32_t ser_rs232_getport(int32_t port, PortParamRecord* p) override { return pick("ser_rs232_getport", SerialDriver::ser_rs232_getport(port, p)); }
    int32_t ser_rs232_putpacket(int32_t port, int32_t count, const char* data) override
    {
        return pick("ser_rs232_putpacket", SerialDriver::ser_rs232_putpacket(port, count, data));
    }

private:
    int32_t pick(const char* fn, int32_t real)
    {
        auto it = failWith.find(fn);
        return it != failWith.end() ? it->second : real;
    }
};

// A device in boot mode that plays the protocol for a given image: answers the
// entry bytes and every R record, `answerDelay` ticks after it is due. Images
// given to it begin with a T record (the answer to a leading R would otherwise
// join the handshake reply).
class DeviceModel {
public:
    DeviceModel(FakeBackend& backend, const QByteArray& image) : backend_(backend)
    {
        for (int i = 0; i + 4 <= image.size(); i += 4) {
            const char* r = image.constData() + i;
            if (r[3] != ':')
                continue;
            if (r[0] == 'T' || r[0] == 'R')
                steps_.push_back({r[0] == 'T', static_cast<uint8_t>(hexValue(r[1]) * 16 + hexValue(r[2]))});
        }
        backend_.onWrite = [this](uint8_t b) { received(b); };
    }
    std::vector<uint8_t> reply{0x91, 0x26};
    int replyDelay = 1;   // ticks after the second entry byte
    int answerDelay = 1;  // ticks after the T byte before an R record
    std::vector<uint8_t> received_;

private:
    struct Step {
        bool transmit;
        uint8_t byte;
    };
    static int hexValue(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 55 : 0; }
    void received(uint8_t b)
    {
        received_.push_back(b);
        if (!entered_) {
            if (prev_ == 0xE1 && b == 0x94) {
                entered_ = true;
                backend_.deliverAt(backend_.tick() + replyDelay, reply);
            }
            prev_ = b;
            return;
        }
        if (next_ < steps_.size() && steps_[next_].transmit)
            ++next_;
        answerPending();
    }
    void answerPending()
    {
        std::vector<uint8_t> answers;
        while (next_ < steps_.size() && !steps_[next_].transmit)
            answers.push_back(steps_[next_++].byte);
        if (!answers.empty())
            backend_.deliverAt(backend_.tick() + answerDelay, answers);
    }
    FakeBackend& backend_;
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    bool entered_ = false;
    int prev_ = -1;
};

class Engine {
public:
    Engine()
    {
        driver.setTrace([this](const DriverCall& c) { calls.push_back(c); });
        MainStartUp(form, {});
    }

    FakeBackend backend;
    ScriptedDriver driver{backend};
    Form1 form{driver};
    std::vector<DriverCall> calls;
    QTemporaryDir dir;

    WindowModel& window() { return form.window(); }
    QStringList status1() const { return form.window().log(LogId::List1).lines; }
    QStringList debug() const { return form.window().log(LogId::List2).lines; }
    // The Debug log without the "Hint: " lines that say what to do next.
    QStringList debugWithoutHints() const
    {
        QStringList lines;
        for (const QString& line : debug())
            if (!line.startsWith(QLatin1String("Hint: ")))
                lines << line;
        return lines;
    }
    QString text(TextId id) const { return form.window().text(id).text; }

    // Opens COM `port` through the dialog as an operator would.
    void openPort(int port = 2, int speed = 4)
    {
        form.ConfigComPort_Click();
        window().selectPort(port);
        form.ComBaudBtn_Click(speed);
        form.Initialize_Click();
    }

    QString writeFile(const QString& name, const QByteArray& content)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }

    void chooseImage(const QByteArray& content, const QString& name = QStringLiteral("image.pf3"))
    {
        form.FileName = writeFile(name, content);
        form.FileMode = 1;
    }

    // One tick of Timer2; the device's clock moves with it.
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i) {
            backend.setTick(backend.tick() + 1);
            form.Timer2_Timer();
            form.EndOfTick();  // as the tick timer does after every tick
        }
    }

    // Ticks until the run ends (or `limit` ticks pass); returns ticks used.
    int runToEnd(int limit = 100000)
    {
        int n = 0;
        while (form.ProgramMode != RunMode::Idle && n < limit) {
            tick();
            ++n;
        }
        return n;
    }

    int callCount(const std::string& fn) const
    {
        int n = 0;
        for (const DriverCall& c : calls)
            n += c.function == fn ? 1 : 0;
        return n;
    }

    static int countOf(const QStringList& lines, const QString& line) { return static_cast<int>(lines.count(line)); }
};

// COM numbers stand for devices under `folder`/dev, with ports.conf files of
// the folder's own, for as long as it lives.
struct ScopedPortMapPaths {
    explicit ScopedPortMapPaths(const QTemporaryDir& folder)
    {
        setPortMapPathsForTesting(PortMapPaths{folder.filePath("dev"), folder.filePath("user.conf"),
                                               folder.filePath("etc.conf")});
    }
    ~ScopedPortMapPaths() { setPortMapPathsForTesting(std::nullopt); }
    ScopedPortMapPaths(const ScopedPortMapPaths&) = delete;
    ScopedPortMapPaths& operator=(const ScopedPortMapPaths&) = delete;
};

#ifndef _WIN32
// A FIFO at `path` with no writer: opening it for reading without O_NONBLOCK
// waits for ever. A writer comes after `ms` (and goes at once) should anyone
// still wait, so that code that blocks there fails its test instead of hanging.
class FifoWithLateWriter {
public:
    explicit FifoWithLateWriter(const QString& path, int ms = 3000) : path_(QFile::encodeName(path))
    {
        made_ = ::mkfifo(path_.constData(), 0600) == 0;
        if (!made_)
            return;
        writer_ = std::thread([this, ms] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (!stop_ && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            // Succeeds only while a reader waits in open().
            while (!stop_) {
                const int fd = ::open(path_.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    ::close(fd);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }
    ~FifoWithLateWriter()
    {
        stop_ = true;
        if (writer_.joinable())
            writer_.join();
    }
    FifoWithLateWriter(const FifoWithLateWriter&) = delete;
    FifoWithLateWriter& operator=(const FifoWithLateWriter&) = delete;
    bool made() const { return made_; }

private:
    QByteArray path_;
    bool made_ = false;
    std::atomic<bool> stop_{false};
    std::thread writer_;
};
#endif

inline QByteArray workedExample()
{
    return QByteArray("T41:T00:R41:E\r\n:T42:R2A:E\r\n:");
}

inline QStringList banner()
{
    return {"Completing or Aborting operations.", "----------",
            "If aborting, cycle interface power before trying again.", "   ", "================", "   "};
}

} // namespace flash3::testing
