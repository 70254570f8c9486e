#include "serial/win32_backend.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

namespace flash3 {

namespace {
constexpr int32_t kPortCount = 100;

bool portInRange(int32_t comPort)
{
    return comPort >= 0 && comPort < kPortCount;
}

HANDLE handleOf(void* handle)
{
    return static_cast<HANDLE>(handle);
}

std::wstring widen(const std::string& utf8)
{
    if (utf8.empty())
        return {};
    const int size = static_cast<int>(utf8.size());
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), length);
    return wide;
}

// The name of the mutex that marks `path` as taken: one name for the spellings
// of a device ("COM7", "\\.\COM7", "com7"); backslashes may not appear in it.
std::wstring claimName(const std::wstring& path)
{
    std::wstring device = path;
    for (const wchar_t* prefix : {L"\\\\.\\", L"\\\\?\\"}) {
        const std::wstring p(prefix);
        if (device.compare(0, p.size(), p) == 0) {
            device.erase(0, p.size());
            break;
        }
    }
    for (wchar_t& c : device) {
        if (c == L'\\')
            c = L'/';
        else if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return L"Local\\flash3-serial-" + device;
}

bool supportedRate(int32_t baudRate)
{
    switch (baudRate) {
    case CBR_9600:
    case CBR_19200:
    case CBR_38400:
    case CBR_57600:
    case CBR_115200:
        return true;
    default:
        return false;
    }
}

// Raw 8N1 without flow control of either kind. DTR and RTS are raised, as
// opening a tty raises them on Linux. fAbortOnError stays off: with it, one
// framing error would fail every later call until ClearCommError.
int32_t applyLineSettings(HANDLE handle, DWORD baudRate)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return statusForWin32Error(GetLastError(), Win32Step::Configure);
    dcb.BaudRate = baudRate;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(handle, &dcb))
        return statusForWin32Error(GetLastError(), Win32Step::Configure);
    // A driver that quietly kept another speed or format would garble every
    // byte, so read the settings back.
    DCB actual{};
    actual.DCBlength = sizeof actual;
    if (!GetCommState(handle, &actual))
        return statusForWin32Error(GetLastError(), Win32Step::Configure);
    if (actual.BaudRate != baudRate || actual.ByteSize != 8 || actual.Parity != NOPARITY
        || actual.StopBits != ONESTOPBIT)
        return DrvNotSupported;
    return DrvOk;
}

// Reads return at once with what has arrived (MAXDWORD interval, no totals),
// so polling never blocks a tick; a write returns after `writeMs` at most
// (a zero constant would mean no bound at all).
int32_t applyTimeouts(HANDLE handle, DWORD writeMs)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = std::max<DWORD>(writeMs, 1);
    if (!SetCommTimeouts(handle, &timeouts))
        return statusForWin32Error(GetLastError(), Win32Step::Configure);
    return DrvOk;
}

} // namespace

int32_t statusForWin32Error(uint32_t error, Win32Step step)
{
    switch (step) {
    case Win32Step::Open:
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DIRECTORY:
        case ERROR_FILENAME_EXCED_RANGE:
        // Something opened, but it answers no serial request: no COM port.
        case ERROR_INVALID_FUNCTION:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_HANDLE:
        case ERROR_INVALID_PARAMETER:
            return DrvNoDevice;
        // A COM port admits one handle at a time: the usual "access denied"
        // is another program holding it, not missing permission.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BUSY:
        case ERROR_PIPE_BUSY:
            return DrvPortInUse;
        default:
            return DrvIoError;
        }
    case Win32Step::Configure:
        switch (error) {
        case ERROR_INVALID_PARAMETER:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return DrvNotSupported;
        default:
            return DrvIoError;  // the device went away under us
        }
    case Win32Step::Write:
        switch (error) {
        case ERROR_TIMEOUT:
        case ERROR_SEM_TIMEOUT:
        case WAIT_TIMEOUT:
        case ERROR_COUNTER_TIMEOUT:
            return DrvTransmitTimeout;
        default:
            return DrvIoError;
        }
    case Win32Step::Transfer:
        break;
    }
    // On a handle that worked, any failure means the device is gone (a pulled
    // USB adapter reports access denied, a bad command or a general failure).
    return DrvIoError;
}

Win32SerialBackend::Win32SerialBackend(ComPathLookup lookup) : lookup_(std::move(lookup)) {}

Win32SerialBackend::~Win32SerialBackend()
{
    for (int32_t port = 0; port < kPortCount; ++port) {
        if (ports_[static_cast<std::size_t>(port)].handle)
            close(port);
    }
}

Win32SerialBackend::Port* Win32SerialBackend::openPort(int32_t comPort)
{
    if (!portInRange(comPort))
        return nullptr;
    Port& port = ports_[static_cast<std::size_t>(comPort)];
    return port.handle ? &port : nullptr;
}

int32_t Win32SerialBackend::setWriteTimeout(Port& port, uint32_t milliseconds)
{
    if (port.writeTimeoutMs == milliseconds)
        return DrvOk;  // no system call per byte
    const int32_t status = applyTimeouts(handleOf(port.handle), milliseconds);
    if (status == DrvOk)
        port.writeTimeoutMs = milliseconds;
    return status;
}

int32_t Win32SerialBackend::open(int32_t comPort)
{
    if (!portInRange(comPort))
        return DrvBadParameter;
    if (openPort(comPort))
        close(comPort);

    const std::wstring path = widen(lookup_ ? lookup_(comPort) : std::string());
    if (path.empty())
        return DrvNoDevice;

    // Claimed first, so a second user is told "in use" whatever the driver
    // would have allowed.
    const HANDLE claim = CreateMutexW(nullptr, FALSE, claimName(path).c_str());
    if (claim == nullptr)
        return statusForWin32Error(GetLastError(), Win32Step::Open);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        return DrvPortInUse;
    }

    // Share mode 0: no second handle while this one is open, whoever asks.
    const HANDLE handle =
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        CloseHandle(claim);
        // A folder is refused with "access denied" too, but is no port at all.
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return DrvNoDevice;
        return statusForWin32Error(error, Win32Step::Open);
    }

    // A disk file or a pipe named as the device is no COM port; neither is a
    // character device that refuses GetCommState (NUL, a console).
    DCB probe{};
    probe.DCBlength = sizeof probe;
    int32_t status = DrvOk;
    if (GetFileType(handle) != FILE_TYPE_CHAR)
        status = DrvNoDevice;
    else if (!GetCommState(handle, &probe))
        status = statusForWin32Error(GetLastError(), Win32Step::Open);

    Port port;
    port.handle = handle;
    port.claim = claim;
    if (status == DrvOk)
        status = applyLineSettings(handle, CBR_38400);
    if (status == DrvOk)
        status = setWriteTimeout(port, 20);
    if (status != DrvOk) {
        CloseHandle(handle);
        CloseHandle(claim);
        return status;
    }
    ports_[static_cast<std::size_t>(comPort)] = port;
    return DrvOk;
}

int32_t Win32SerialBackend::configure(int32_t comPort, int32_t baudRate)
{
    Port* port = openPort(comPort);
    if (!port)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    if (!supportedRate(baudRate))
        return DrvBadParameter;
    return applyLineSettings(handleOf(port->handle), static_cast<DWORD>(baudRate));
}

int32_t Win32SerialBackend::flushReceive(int32_t comPort)
{
    Port* port = openPort(comPort);
    if (!port)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    if (!PurgeComm(handleOf(port->handle), PURGE_RXABORT | PURGE_RXCLEAR))
        return statusForWin32Error(GetLastError(), Win32Step::Transfer);
    return DrvOk;
}

int32_t Win32SerialBackend::flushTransmit(int32_t comPort)
{
    Port* port = openPort(comPort);
    if (!port)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    if (!PurgeComm(handleOf(port->handle), PURGE_TXABORT | PURGE_TXCLEAR))
        return statusForWin32Error(GetLastError(), Win32Step::Transfer);
    return DrvOk;
}

int32_t Win32SerialBackend::bytesWaiting(int32_t comPort)
{
    Port* port = openPort(comPort);
    if (!port)
        return -(portInRange(comPort) ? DrvNotInitialised : DrvBadParameter);
    // Also clears line errors (framing, overrun), which would otherwise stay
    // latched; the protocol's answers catch a garbled byte.
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(handleOf(port->handle), &errors, &stat))
        return -statusForWin32Error(GetLastError(), Win32Step::Transfer);
    return static_cast<int32_t>(std::min<DWORD>(stat.cbInQue, 0x7FFFFFFF));
}

int32_t Win32SerialBackend::readByte(int32_t comPort)
{
    Port* port = openPort(comPort);
    if (!port)
        return -(portInRange(comPort) ? DrvNotInitialised : DrvBadParameter);
    uint8_t byte = 0;
    DWORD got = 0;
    if (!ReadFile(handleOf(port->handle), &byte, 1, &got, nullptr))
        return -statusForWin32Error(GetLastError(), Win32Step::Transfer);
    // Reads return at once: no byte means the one bytesWaiting promised is
    // not there.
    return got == 1 ? byte : -DrvIoError;
}

int32_t Win32SerialBackend::write(int32_t comPort, const uint8_t* data, std::size_t count, int32_t timeoutMs)
{
    Port* port = openPort(comPort);
    if (!port)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    if (count == 0)
        return DrvOk;
    if (data == nullptr)
        return DrvBadParameter;

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    std::size_t done = 0;
    while (done < count) {
        // Each WriteFile is bounded by what is left of the whole call's time;
        // a spent budget still gets one short try, as on Linux.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int32_t status = setWriteTimeout(*port, static_cast<uint32_t>(std::max<long long>(left, 1)));
        if (status != DrvOk)
            return status;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
        DWORD written = 0;
        const BOOL ok = WriteFile(handleOf(port->handle), data + done, chunk, &written, nullptr);
        done += written;
        if (!ok)
            return statusForWin32Error(GetLastError(), Win32Step::Write);
        // A write cut short by its time-out reports success with fewer bytes.
        if (done < count && Clock::now() >= deadline)
            return DrvTransmitTimeout;
    }
    return DrvOk;
}

int32_t Win32SerialBackend::close(int32_t comPort)
{
    Port* port = openPort(comPort);
    if (!port)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    if (port->timerPeriodMs != 0)
        timeEndPeriod(port->timerPeriodMs);
    const BOOL ok = CloseHandle(handleOf(port->handle));
    CloseHandle(handleOf(port->claim));  // after the device, so no one gets in between
    *port = Port{};  // a failed close still gives up the handle
    return ok ? DrvOk : DrvIoError;
}

int32_t Win32SerialBackend::setTimerResolution(int32_t comPort, int32_t milliseconds)
{
    Port* port = openPort(comPort);
    if (!port)
        return portInRange(comPort) ? DrvNotInitialised : DrvBadParameter;
    if (milliseconds < 1)
        return DrvBadParameter;
    const auto period = static_cast<uint32_t>(milliseconds);
    if (port->timerPeriodMs == period)
        return DrvOk;
    // Begin the new period before ending the old one, so the timer never
    // falls back to the coarse default in between.
    if (timeBeginPeriod(period) != TIMERR_NOERROR)
        return DrvBadParameter;  // outside what this system's timer offers
    if (port->timerPeriodMs != 0)
        timeEndPeriod(port->timerPeriodMs);
    port->timerPeriodMs = period;
    return DrvOk;
}

} // namespace flash3
