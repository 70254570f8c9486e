#pragma once
// The real backend as the programs use it: this system's Qt-free backend
// (termios, or Win32 on Windows), finding the device for a COM number through
// port_map (COM ranges, --device, FLASH3_COM<N>, ports.conf).

#include "serial/backend.h"

#ifdef _WIN32
#include "serial/win32_backend.h"
#else
#include "serial/posix_backend.h"
#endif

namespace flash3 {

#ifdef _WIN32
using PlatformSerialBackend = Win32SerialBackend;
#else
using PlatformSerialBackend = PosixSerialBackend;
#endif

class SystemBackend : public PlatformSerialBackend {
public:
    SystemBackend();
};

} // namespace flash3
