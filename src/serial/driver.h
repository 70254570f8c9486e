#pragma once
// The serial-driver library: the thirteen functions the program calls, with
// their names, arguments and status codes, over a SerialBackend.

#include "serial/backend.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace flash3 {

// The 192-byte port-parameter record filled by ser_rs232_getport.
// Little-endian integers; the program writes BaudCode and four 16-bit fields.
struct PortParamRecord {
    std::array<uint8_t, 192> bytes{};

    void setInt32(std::size_t offset, int32_t value);
    void setInt16(std::size_t offset, int16_t value);
    int32_t int32At(std::size_t offset) const;
    int16_t int16At(std::size_t offset) const;

    static constexpr std::size_t BaudCodeOffset = 8;
};
static_assert(sizeof(PortParamRecord) == 192, "PortParams must be 192 bytes");

// One driver call as seen by a trace: the function, its arguments, its result.
struct DriverCall {
    std::string function;
    std::vector<int32_t> args;
    int32_t result = 0;
};

class SerialDriver {
public:
    explicit SerialDriver(SerialBackend& backend);
    virtual ~SerialDriver() = default;
    SerialDriver(const SerialDriver&) = delete;
    SerialDriver& operator=(const SerialDriver&) = delete;

    virtual int32_t InitializePort(int32_t port, int32_t portIndex, int32_t reserved1, int32_t reserved2,
                           int32_t initialBaudCode, int32_t reserved3, int32_t rxQueue, int32_t txQueue,
                           int32_t flags);
    virtual int32_t ser_rs232_getport(int32_t port, PortParamRecord* params);
    virtual int32_t SetPortCharacteristics(int32_t port, int32_t baudCode, int32_t parity, int32_t dataBits,
                                   int32_t stopBits, int32_t flowControl);
    virtual int32_t SetTimerResolution(int32_t port, int32_t milliseconds);
    virtual int32_t SetTimeout(int32_t port, int32_t milliseconds);
    virtual int32_t SetPaceTime(int32_t port, int32_t milliseconds);
    virtual int32_t FlushReceiveBuffer(int32_t port);
    virtual int32_t FlushTransmitBuffer(int32_t port);
    // 0 when a byte is waiting; non-zero when none is (or the port failed).
    virtual int32_t IsReceiveBufferEmpty(int32_t port);
    // The next byte in the low 8 bits; a negated status when it cannot be read.
    virtual int32_t GetByte(int32_t port);
    virtual int32_t PutByte(int32_t port, int32_t byte);
    virtual int32_t ser_rs232_putpacket(int32_t port, int32_t count, const char* data);
    virtual int32_t UnInitializePort(int32_t port);

    // Baud rate in bit/s for a speed code 7..11, or 0.
    static int32_t baudRateForCode(int32_t baudCode);

    // Queued transmit: PutByte keeps the byte in the port's transmit queue, and
    // the queue goes to the OS in one piece when the tick ends (SendQueued),
    // when a packet is put, and before the port is read or closed. A station
    // of many ports uses it: one system call per port and tick instead of one
    // per byte. A queue that cannot be sent makes the port's next call fail
    // with that status, so a lost byte never goes unnoticed. Off by default.
    void setQueuedTransmit(bool on) { queued_ = on; }
    bool queuedTransmit() const { return queued_; }
    // Bytes queued on `port` and not yet handed to the OS.
    int64_t queuedBytes(int32_t port) const;
    // Sends what is queued on every port; returns the first failure, or 0.
    int32_t SendQueued();

    // Every call is handed to the trace when one is set (tests, diagnostics).
    void setTrace(std::function<void(const DriverCall&)> trace) { trace_ = std::move(trace); }

    bool isInitialised(int32_t port) const;

private:
    struct PortState {
        bool initialised = false;
        int32_t timeoutMs = 20;  // bound on handing one byte to the OS
        int32_t paceMs = 0;      // pause after each byte
        int32_t baudRate = 0;        // bit/s once set
        std::vector<uint8_t> queue;  // queued transmit: bytes not yet handed to the OS
        int32_t queueFailure = 0;    // why the last queue could not be sent
    };
    // Hands the queue of `port` to the OS; its status, or an earlier failure.
    int32_t sendQueue(int32_t port, PortState& s);
    PortState* state(int32_t port);
    // The port's state in `s` (null for a number out of range) and whether a
    // call may go on: DrvBadParameter for a bad port or `argumentsValid`
    // false, DrvNotInitialised for a port not set up, else DrvOk.
    int32_t check(int32_t port, bool argumentsValid, PortState*& s);
    // SetTimeout and SetPaceTime: one of a port's times, 0..`most` ms.
    int32_t setTime(const char* function, int32_t port, int32_t milliseconds, int32_t most,
                    int32_t PortState::*time);
    int32_t record(const char* function, std::initializer_list<int32_t> args, int32_t result);

    SerialBackend& backend_;
    std::array<PortState, 100> ports_{};
    std::function<void(const DriverCall&)> trace_;
    bool queued_ = false;
};

} // namespace flash3
