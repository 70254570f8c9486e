#pragma once
// A scripted device for tests: bytes are delivered now or at a given tick of
// the test's clock, every call is recorded, and any call can be made to fail.

#include "serial/backend.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace flash3 {

class FakeBackend : public SerialBackend {
public:
    enum class Fn { Open, Configure, FlushReceive, FlushTransmit, BytesWaiting, ReadByte, Write, Close, TimerResolution };

    struct Call {
        Fn fn;
        int32_t comPort;
        std::vector<int32_t> args;  // configure: baud; write: the bytes, then the time-out; timer: ms
        int32_t result;
        int64_t tick;
    };

    // ---- the test's clock ----
    void setTick(int64_t tick);
    int64_t tick() const { return tick_; }

    // ---- the device's side ----
    void deliver(const std::vector<uint8_t>& bytes);
    void deliverAt(int64_t tick, const std::vector<uint8_t>& bytes);
    // Called for every byte the program hands over (a device model answers here).
    std::function<void(uint8_t)> onWrite;

    // ---- faults ----
    void failAlways(Fn fn, int32_t status);
    void failNext(Fn fn, int32_t status, int times = 1);
    void clearFailures();
    // The device vanishes: every later call on an open port reports an I/O error.
    void unplug() { unplugged_ = true; }

    // ---- what happened ----
    std::vector<Call> calls;
    std::vector<uint8_t> written;
    std::vector<std::pair<int64_t, uint8_t>> writtenAt;
    bool isOpen(int32_t comPort) const;
    int openPorts() const;
    std::size_t pending() const { return rx_.size(); }
    int count(Fn fn) const;

    // ---- SerialBackend ----
    int32_t open(int32_t comPort) override;
    int32_t configure(int32_t comPort, int32_t baudRate) override;
    int32_t flushReceive(int32_t comPort) override;
    int32_t flushTransmit(int32_t comPort) override;
    int32_t bytesWaiting(int32_t comPort) override;
    int32_t readByte(int32_t comPort) override;
    int32_t write(int32_t comPort, const uint8_t* data, std::size_t count, int32_t timeoutMs) override;
    int32_t close(int32_t comPort) override;
    int32_t setTimerResolution(int32_t comPort, int32_t milliseconds) override;

    int32_t baudRate = 0;

private:
    int32_t forced(Fn fn);
    int32_t log(Fn fn, int32_t comPort, std::vector<int32_t> args, int32_t result);
    void release();

    int64_t tick_ = 0;
    std::deque<uint8_t> rx_;
    std::multimap<int64_t, std::vector<uint8_t>> scheduled_;
    std::map<Fn, int32_t> always_;
    std::map<Fn, std::pair<int32_t, int>> next_;
    std::map<int32_t, bool> open_;
    bool unplugged_ = false;
};

} // namespace flash3
