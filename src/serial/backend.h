#pragma once
// The device side of the serial-driver layer: one open device per COM number.
// The driver (driver.h) validates arguments and keeps the port table; a backend
// only moves bytes. Every call answers at once or within the given bound.

#include <cstddef>
#include <cstdint>

namespace flash3 {

// Driver status codes. 0 is success; the log lines print them in decimal.
enum DriverStatus : int32_t {
    DrvOk = 0,
    DrvNoDevice = 1,         // no device behind this COM number
    DrvAccessDenied = 2,     // no read/write permission on the device
    DrvPortInUse = 3,        // another program holds the device
    DrvNotInitialised = 4,   // call on a port that InitializePort has not opened
    DrvBadParameter = 5,     // argument out of range
    DrvIoError = 6,          // I/O error: the device is gone (unplugged)
    DrvTransmitTimeout = 7,  // the byte could not be handed over within the time-out
    DrvNotSupported = 8,     // the device refuses the line settings
};

class SerialBackend {
public:
    virtual ~SerialBackend() = default;

    // Opens the device that `comPort` stands for; exclusive, raw, non-blocking.
    virtual int32_t open(int32_t comPort) = 0;
    // 8 data bits, no parity, 1 stop bit, no flow control, at `baudRate` bit/s.
    virtual int32_t configure(int32_t comPort, int32_t baudRate) = 0;
    virtual int32_t flushReceive(int32_t comPort) = 0;
    virtual int32_t flushTransmit(int32_t comPort) = 0;
    // Number of received bytes waiting (>= 0), or a negated status on failure.
    virtual int32_t bytesWaiting(int32_t comPort) = 0;
    // The next received byte (0..255), or a negated status on failure.
    virtual int32_t readByte(int32_t comPort) = 0;
    // Hands `count` bytes to the operating system. Returns DrvOk only when all
    // were accepted; DrvTransmitTimeout when they could not be within
    // `timeoutMs` milliseconds. Never drops a byte silently.
    virtual int32_t write(int32_t comPort, const uint8_t* data, std::size_t count, int32_t timeoutMs) = 0;
    virtual int32_t close(int32_t comPort) = 0;
    // Asks the system to wake timers every `milliseconds` while the port is
    // open, so that the 5 ms tick is kept. Windows needs it (its default
    // period is about 15.6 ms); elsewhere there is nothing to do.
    virtual int32_t setTimerResolution(int32_t comPort, int32_t milliseconds)
    {
        (void)comPort;
        (void)milliseconds;
        return DrvOk;
    }
};

} // namespace flash3
