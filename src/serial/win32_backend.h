#pragma once
// The real backend on Windows: COM ports through the Win32 communications API
// (CreateFileW, Get/SetCommState, COMMTIMEOUTS, ClearCommError, PurgeComm,
// ReadFile/WriteFile). Windows admits one handle per COM port; where that is
// not enforced (Wine, some virtual-port drivers) a named mutex per device, held
// while the port is open, still keeps out every other user of this backend,
// as the lock file does on Linux. Free of Qt; the device for a COM number comes from the
// lookup it is given (UTF-8 paths, by default \\.\COM<N>).

#include "serial/backend.h"
#include "serial/com_path.h"

#include <array>
#include <cstdint>

namespace flash3 {

// What the backend was doing when Win32 reported an error: the same code means
// different things when a port is being opened and when it has been open.
enum class Win32Step {
    Open,       // CreateFileW, and the first GetCommState that tells a COM port from any other file
    Configure,  // SetCommState, SetCommTimeouts
    Transfer,   // ReadFile, ClearCommError, PurgeComm on an open port
    Write,      // WriteFile on an open port
};

// The driver status for Win32 error code `error` (GetLastError) at `step`.
int32_t statusForWin32Error(uint32_t error, Win32Step step);

class Win32SerialBackend : public SerialBackend {
public:
    explicit Win32SerialBackend(ComPathLookup lookup = comDevicePath);
    ~Win32SerialBackend() override;
    Win32SerialBackend(const Win32SerialBackend&) = delete;
    Win32SerialBackend& operator=(const Win32SerialBackend&) = delete;

    int32_t open(int32_t comPort) override;
    int32_t configure(int32_t comPort, int32_t baudRate) override;
    int32_t flushReceive(int32_t comPort) override;
    int32_t flushTransmit(int32_t comPort) override;
    int32_t bytesWaiting(int32_t comPort) override;
    int32_t readByte(int32_t comPort) override;
    int32_t write(int32_t comPort, const uint8_t* data, std::size_t count, int32_t timeoutMs) override;
    int32_t close(int32_t comPort) override;
    // timeBeginPeriod for as long as the port stays open (timeEndPeriod at close).
    int32_t setTimerResolution(int32_t comPort, int32_t milliseconds) override;

private:
    struct Port {
        void* handle = nullptr;        // the HANDLE; nullptr while closed
        void* claim = nullptr;         // the named mutex that marks the port as taken
        uint32_t writeTimeoutMs = 0;   // the write bound the handle is set to now
        uint32_t timerPeriodMs = 0;    // timeBeginPeriod held for this port; 0: none
    };
    Port* openPort(int32_t comPort);
    int32_t setWriteTimeout(Port& port, uint32_t milliseconds);

    ComPathLookup lookup_;
    std::array<Port, 100> ports_{};  // indexed by COM number
};

} // namespace flash3
