#include "serial/driver.h"

#include "serial/line_speeds.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <thread>

namespace flash3 {

void PortParamRecord::setInt32(std::size_t offset, int32_t value)
{
    const auto u = static_cast<uint32_t>(value);
    for (std::size_t i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(u >> (8 * i));
}

void PortParamRecord::setInt16(std::size_t offset, int16_t value)
{
    const auto u = static_cast<uint16_t>(value);
    bytes[offset] = static_cast<uint8_t>(u);
    bytes[offset + 1] = static_cast<uint8_t>(u >> 8);
}

int32_t PortParamRecord::int32At(std::size_t offset) const
{
    uint32_t u = 0;
    for (std::size_t i = 0; i < 4; ++i)
        u |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
    return static_cast<int32_t>(u);
}

int16_t PortParamRecord::int16At(std::size_t offset) const
{
    return static_cast<int16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

SerialDriver::SerialDriver(SerialBackend& backend) : backend_(backend) {}

int32_t SerialDriver::baudRateForCode(int32_t baudCode)
{
    for (const LineSpeed& speed : LineSpeeds) {
        if (speed.code == baudCode)
            return speed.bitsPerSecond;
    }
    return 0;
}

SerialDriver::PortState* SerialDriver::state(int32_t port)
{
    if (port < 1 || port > 99)
        return nullptr;
    return &ports_[static_cast<std::size_t>(port)];
}

int32_t SerialDriver::check(int32_t port, bool argumentsValid, PortState*& s)
{
    s = state(port);
    if (!s || !argumentsValid)
        return DrvBadParameter;
    return s->initialised ? DrvOk : DrvNotInitialised;
}

bool SerialDriver::isInitialised(int32_t port) const
{
    return port >= 1 && port <= 99 && ports_[static_cast<std::size_t>(port)].initialised;
}

int32_t SerialDriver::record(const char* function, std::initializer_list<int32_t> args, int32_t result)
{
    if (trace_)
        trace_(DriverCall{function, std::vector<int32_t>(args), result});
    return result;
}

// Arguments: port, its index, two reserved words (0), the speed code the line
// starts at, a reserved word (0), receive and transmit queue sizes, flags (0).
int32_t SerialDriver::InitializePort(int32_t port, int32_t portIndex, int32_t reserved1, int32_t reserved2,
                                     int32_t initialBaudCode, int32_t reserved3, int32_t rxQueue,
                                     int32_t txQueue, int32_t flags)
{
    const auto trace = [&](int32_t result) {
        return record("InitializePort",
                      {port, portIndex, reserved1, reserved2, initialBaudCode, reserved3, rxQueue, txQueue, flags},
                      result);
    };
    PortState* s = state(port);
    if (!s || portIndex != port - 1 || baudRateForCode(initialBaudCode) == 0 || rxQueue <= 0 || txQueue <= 0)
        return trace(DrvBadParameter);
    // Re-initialising a port that an earlier, half-finished open left behind
    // releases it first, so nothing leaks and the retry can succeed.
    if (s->initialised) {
        backend_.close(port);
        *s = PortState{};
    }
    int32_t status = backend_.open(port);
    if (status == DrvOk) {
        status = backend_.configure(port, baudRateForCode(initialBaudCode));
        if (status != DrvOk)
            backend_.close(port);
    }
    if (status == DrvOk)
        s->initialised = true;
    return trace(status);
}

int32_t SerialDriver::ser_rs232_getport(int32_t port, PortParamRecord* params)
{
    PortState* s = nullptr;
    const int32_t status = check(port, params != nullptr, s);
    if (status == DrvOk) {
        params->bytes.fill(0);
        // A small self-description: "F3" tag, port number, current speed code.
        params->bytes[0] = 'F';
        params->bytes[1] = '3';
        params->setInt16(2, static_cast<int16_t>(port));
        params->bytes[6] = 'O';
        params->bytes[7] = 'K';
        params->setInt32(PortParamRecord::BaudCodeOffset, 9);
        params->setInt16(14, 3);
    }
    return record("ser_rs232_getport", {port}, status);
}

// parity 0 = none; dataBits 3 = eight data bits; stopBits 0 = one; flowControl 0 = none.
int32_t SerialDriver::SetPortCharacteristics(int32_t port, int32_t baudCode, int32_t parity, int32_t dataBits,
                                             int32_t stopBits, int32_t flowControl)
{
    const auto trace = [&](int32_t result) {
        return record("SetPortCharacteristics", {port, baudCode, parity, dataBits, stopBits, flowControl}, result);
    };
    PortState* s = nullptr;
    if (const int32_t status = check(port, true, s); status != DrvOk)
        return trace(status);
    const int32_t rate = baudRateForCode(baudCode);
    if (rate == 0)
        return trace(DrvBadParameter);
    // The device protocol needs full bytes on a plain line; nothing else is offered.
    if (parity != 0 || dataBits != 3 || stopBits != 0 || flowControl != 0)
        return trace(DrvNotSupported);
    const int32_t status = backend_.configure(port, rate);
    if (status == DrvOk)
        s->baudRate = rate;
    return trace(status);
}

int32_t SerialDriver::SetTimerResolution(int32_t port, int32_t milliseconds)
{
    PortState* s = nullptr;
    int32_t status = check(port, milliseconds >= 1 && milliseconds <= 1000, s);
    if (status == DrvOk)
        status = backend_.setTimerResolution(port, milliseconds);
    return record("SetTimerResolution", {port, milliseconds}, status);
}

int32_t SerialDriver::SetTimeout(int32_t port, int32_t milliseconds)
{
    return setTime("SetTimeout", port, milliseconds, 60000, &PortState::timeoutMs);
}

int32_t SerialDriver::SetPaceTime(int32_t port, int32_t milliseconds)
{
    return setTime("SetPaceTime", port, milliseconds, 1000, &PortState::paceMs);
}

int32_t SerialDriver::setTime(const char* function, int32_t port, int32_t milliseconds, int32_t most,
                              int32_t PortState::*time)
{
    PortState* s = nullptr;
    const int32_t status = check(port, milliseconds >= 0 && milliseconds <= most, s);
    if (status == DrvOk)
        s->*time = milliseconds;
    return record(function, {port, milliseconds}, status);
}

int32_t SerialDriver::FlushReceiveBuffer(int32_t port)
{
    PortState* s = nullptr;
    int32_t status = check(port, true, s);
    if (status == DrvOk)
        status = backend_.flushReceive(port);
    return record("FlushReceiveBuffer", {port}, status);
}

int32_t SerialDriver::sendQueue(int32_t port, PortState& s)
{
    if (s.queueFailure != 0)
        return s.queueFailure;
    if (s.queue.empty())
        return DrvOk;
    // Long enough for the line to carry the queue at its speed (10 bits a
    // byte), plus the time-out of one byte: a line that drains never fails,
    // and one that does not holds up the ports ticked after it no longer than
    // that.
    const int64_t count = static_cast<int64_t>(s.queue.size());
    const int64_t lineMs = s.baudRate > 0 ? (count * 10 * 1000 + s.baudRate - 1) / s.baudRate
                                          : int64_t(s.timeoutMs) * (count - 1);
    const int32_t status = backend_.write(port, s.queue.data(), s.queue.size(),
                                          static_cast<int32_t>(std::min<int64_t>(s.timeoutMs + lineMs, INT32_MAX)));
    s.queue.clear();
    s.queueFailure = status;
    return status;
}

int64_t SerialDriver::queuedBytes(int32_t port) const
{
    // 1..99 as everywhere else; any other number has nothing queued.
    return port >= 1 && port <= 99 ? static_cast<int64_t>(ports_[static_cast<std::size_t>(port)].queue.size()) : 0;
}

int32_t SerialDriver::SendQueued()
{
    int32_t first = DrvOk;
    for (std::size_t port = 0; port < ports_.size(); ++port) {
        PortState& s = ports_[port];
        if (!s.initialised || s.queue.empty())
            continue;
        const int32_t status = sendQueue(static_cast<int32_t>(port), s);
        if (first == DrvOk)
            first = status;
    }
    return first;
}

int32_t SerialDriver::FlushTransmitBuffer(int32_t port)
{
    PortState* s = nullptr;
    int32_t status = check(port, true, s);
    if (s)
        s->queue.clear();  // a purge drops what is queued as well
    if (status == DrvOk)
        status = backend_.flushTransmit(port);
    return record("FlushTransmitBuffer", {port}, status);
}

int32_t SerialDriver::IsReceiveBufferEmpty(int32_t port)
{
    PortState* s = nullptr;
    int32_t status = check(port, true, s);
    if (status == DrvOk)
        status = sendQueue(port, *s);  // an answer to bytes that never left cannot come
    if (status == DrvOk) {
        const int32_t waiting = backend_.bytesWaiting(port);
        status = waiting > 0 ? 0 : waiting == 0 ? 1 : -waiting;
    }
    return record("IsReceiveBufferEmpty", {port}, status);
}

int32_t SerialDriver::GetByte(int32_t port)
{
    PortState* s = nullptr;
    int32_t status = check(port, true, s);
    if (status == DrvOk)
        status = sendQueue(port, *s);
    const int32_t result = status == DrvOk ? backend_.readByte(port) : -status;
    return record("GetByte", {port}, result);
}

int32_t SerialDriver::PutByte(int32_t port, int32_t byte)
{
    PortState* s = nullptr;
    int32_t status = check(port, byte >= 0 && byte <= 255, s);
    if (status == DrvOk && queued_ && s->paceMs == 0) {
        // A paced port sends byte by byte, as the pause is between bytes.
        status = s->queueFailure;
        if (status == DrvOk) {
            s->queue.push_back(static_cast<uint8_t>(byte));
            // Bounded, so one queue never waits on the OS for longer than a tick.
            if (s->queue.size() >= 256)
                status = sendQueue(port, *s);
        }
    } else if (status == DrvOk) {
        const auto value = static_cast<uint8_t>(byte);
        status = backend_.write(port, &value, 1, s->timeoutMs);
        if (status == DrvOk && s->paceMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(s->paceMs));
    }
    return record("PutByte", {port, byte}, status);
}

// Sends `count` bytes of `data`; a count of 0 puts nothing on the line.
int32_t SerialDriver::ser_rs232_putpacket(int32_t port, int32_t count, const char* data)
{
    PortState* s = nullptr;
    int32_t status = check(port, count >= 0 && (count == 0 || data), s);
    if (status == DrvOk) {
        // The queue goes first; an empty packet puts nothing more on the line.
        status = sendQueue(port, *s);
        // The bound grows with the count; in 64 bits, as 60 s a byte times a
        // long packet is past what an int holds.
        const int64_t boundMs = std::min<int64_t>(int64_t(s->timeoutMs) * count, INT32_MAX);
        if (status == DrvOk && count > 0)
            status = backend_.write(port, reinterpret_cast<const uint8_t*>(data), static_cast<std::size_t>(count),
                                    static_cast<int32_t>(boundMs));
    }
    return record("ser_rs232_putpacket", {port, count}, status);
}

int32_t SerialDriver::UnInitializePort(int32_t port)
{
    PortState* s = nullptr;
    int32_t status = check(port, true, s);
    if (status == DrvOk) {
        sendQueue(port, *s);  // what was queued still goes out; the port closes regardless
        status = backend_.close(port);
        *s = PortState{};
    }
    return record("UnInitializePort", {port}, status);
}

} // namespace flash3
