#include "serial/fake_backend.h"

namespace flash3 {

void FakeBackend::setTick(int64_t tick)
{
    tick_ = tick;
    release();
}

void FakeBackend::release()
{
    while (!scheduled_.empty() && scheduled_.begin()->first <= tick_) {
        for (uint8_t b : scheduled_.begin()->second)
            rx_.push_back(b);
        scheduled_.erase(scheduled_.begin());
    }
}

void FakeBackend::deliver(const std::vector<uint8_t>& bytes)
{
    rx_.insert(rx_.end(), bytes.begin(), bytes.end());
}

void FakeBackend::deliverAt(int64_t tick, const std::vector<uint8_t>& bytes)
{
    scheduled_.emplace(tick, bytes);
    release();
}

void FakeBackend::failAlways(Fn fn, int32_t status) { always_[fn] = status; }

void FakeBackend::failNext(Fn fn, int32_t status, int times) { next_[fn] = {status, times}; }

void FakeBackend::clearFailures()
{
    always_.clear();
    next_.clear();
}

int32_t FakeBackend::forced(Fn fn)
{
    auto n = next_.find(fn);
    if (n != next_.end() && n->second.second > 0) {
        if (--n->second.second == 0) {
            const int32_t status = n->second.first;
            next_.erase(n);
            return status;
        }
        return n->second.first;
    }
    auto a = always_.find(fn);
    return a != always_.end() ? a->second : DrvOk;
}

int32_t FakeBackend::log(Fn fn, int32_t comPort, std::vector<int32_t> args, int32_t result)
{
    calls.push_back(Call{fn, comPort, std::move(args), result, tick_});
    return result;
}

bool FakeBackend::isOpen(int32_t comPort) const
{
    auto it = open_.find(comPort);
    return it != open_.end() && it->second;
}

int FakeBackend::openPorts() const
{
    int n = 0;
    for (const auto& entry : open_)
        n += entry.second ? 1 : 0;
    return n;
}

int FakeBackend::count(Fn fn) const
{
    int n = 0;
    for (const Call& c : calls)
        n += c.fn == fn ? 1 : 0;
    return n;
}

int32_t FakeBackend::open(int32_t comPort)
{
    int32_t status = forced(Fn::Open);
    if (status == DrvOk && isOpen(comPort))
        status = DrvPortInUse;
    if (status == DrvOk)
        open_[comPort] = true;
    return log(Fn::Open, comPort, {}, status);
}

int32_t FakeBackend::configure(int32_t comPort, int32_t rate)
{
    int32_t status = !isOpen(comPort) ? DrvNotInitialised : unplugged_ ? DrvIoError : forced(Fn::Configure);
    if (status == DrvOk)
        baudRate = rate;
    return log(Fn::Configure, comPort, {rate}, status);
}

int32_t FakeBackend::flushReceive(int32_t comPort)
{
    int32_t status = !isOpen(comPort) ? DrvNotInitialised : unplugged_ ? DrvIoError : forced(Fn::FlushReceive);
    if (status == DrvOk)
        rx_.clear();
    return log(Fn::FlushReceive, comPort, {}, status);
}

int32_t FakeBackend::flushTransmit(int32_t comPort)
{
    const int32_t status = !isOpen(comPort) ? DrvNotInitialised : unplugged_ ? DrvIoError : forced(Fn::FlushTransmit);
    return log(Fn::FlushTransmit, comPort, {}, status);
}

int32_t FakeBackend::bytesWaiting(int32_t comPort)
{
    int32_t status = !isOpen(comPort) ? DrvNotInitialised : unplugged_ ? DrvIoError : forced(Fn::BytesWaiting);
    const int32_t result = status != DrvOk ? -status : static_cast<int32_t>(rx_.size());
    return log(Fn::BytesWaiting, comPort, {}, result);
}

int32_t FakeBackend::readByte(int32_t comPort)
{
    int32_t status = !isOpen(comPort) ? DrvNotInitialised : unplugged_ ? DrvIoError : forced(Fn::ReadByte);
    if (status == DrvOk && rx_.empty())
        status = DrvIoError;
    int32_t result = -status;
    if (status == DrvOk) {
        result = rx_.front();
        rx_.pop_front();
    }
    return log(Fn::ReadByte, comPort, {}, result);
}

int32_t FakeBackend::write(int32_t comPort, const uint8_t* data, std::size_t count, int32_t timeoutMs)
{
    const int32_t status = !isOpen(comPort) ? DrvNotInitialised : unplugged_ ? DrvIoError : forced(Fn::Write);
    std::vector<int32_t> args;
    for (std::size_t i = 0; i < count; ++i)
        args.push_back(data[i]);
    args.push_back(timeoutMs);
    log(Fn::Write, comPort, std::move(args), status);
    if (status == DrvOk) {
        for (std::size_t i = 0; i < count; ++i) {
            written.push_back(data[i]);
            writtenAt.emplace_back(tick_, data[i]);
            if (onWrite)
                onWrite(data[i]);
        }
    }
    return status;
}

int32_t FakeBackend::close(int32_t comPort)
{
    int32_t status = !isOpen(comPort) ? DrvNotInitialised : forced(Fn::Close);
    open_[comPort] = false;  // a failed close still releases the handle
    return log(Fn::Close, comPort, {}, status);
}

int32_t FakeBackend::setTimerResolution(int32_t comPort, int32_t milliseconds)
{
    // The timer is the system's, not the device's: an unplug does not touch it.
    const int32_t status = !isOpen(comPort) ? DrvNotInitialised : forced(Fn::TimerResolution);
    return log(Fn::TimerResolution, comPort, {milliseconds}, status);
}

} // namespace flash3
