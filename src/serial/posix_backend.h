#pragma once
// The real backend on POSIX systems: serial devices through termios. Free of
// Qt; the device for a COM number comes from the lookup it is given.

#include "serial/backend.h"
#include "serial/com_path.h"

#include <array>

namespace flash3 {

class PosixSerialBackend : public SerialBackend {
public:
    explicit PosixSerialBackend(ComPathLookup lookup = comDevicePath);
    ~PosixSerialBackend() override;
    PosixSerialBackend(const PosixSerialBackend&) = delete;
    PosixSerialBackend& operator=(const PosixSerialBackend&) = delete;

    int32_t open(int32_t comPort) override;
    int32_t configure(int32_t comPort, int32_t baudRate) override;
    int32_t flushReceive(int32_t comPort) override;
    int32_t flushTransmit(int32_t comPort) override;
    int32_t bytesWaiting(int32_t comPort) override;
    int32_t readByte(int32_t comPort) override;
    int32_t write(int32_t comPort, const uint8_t* data, std::size_t count, int32_t timeoutMs) override;
    int32_t close(int32_t comPort) override;

private:
    int fdFor(int32_t comPort) const;
    ComPathLookup lookup_;
    std::array<int, 100> fds_;  // indexed by COM number; -1 when closed
};

} // namespace flash3
