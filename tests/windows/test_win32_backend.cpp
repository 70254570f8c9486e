// The Win32 backend and the driver over it, run under Wine against a device on
// a pseudo-terminal (pty_device.py plays it; ctest starts one per test and
// names its COM number in FLASH3_TEST_COM). Tests that need no device run
// alone. Timing bounds here only catch a call that hangs.

#include "serial/com_path.h"
#include "serial/driver.h"
#include "serial/win32_backend.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace flash3;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// The COM number the test device stands behind; 0 outside pty_device.py.
int testCom()
{
    return std::atoi(env("FLASH3_TEST_COM").c_str());
}

#define REQUIRE_TEST_DEVICE(com)                                                                                       \
    const int com = testCom();                                                                                         \
    ASSERT_GT(com, 1) << "run through pty_device.py (ctest does), which sets FLASH3_TEST_COM"

bool waitFor(const std::function<bool()>& done, int boundMs = 2000)
{
    const auto deadline = Clock::now() + milliseconds(boundMs);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        Sleep(1);
    }
    return true;
}

// Opens the port as the program does (InitComPort) at 57.6 kbaud.
int32_t openLikeTheProgram(SerialDriver& driver, int32_t com)
{
    int32_t status = driver.InitializePort(com, com - 1, 0, 0, 9, 0, 1024, 1024, 0);
    if (status != DrvOk)
        return status;
    PortParamRecord params;
    if ((status = driver.ser_rs232_getport(com, &params)) != DrvOk)
        return status;
    params.setInt32(PortParamRecord::BaudCodeOffset, 10);
    if ((status = driver.SetPortCharacteristics(com, 10, 0, 3, 0, 0)) != DrvOk)
        return status;
    if ((status = driver.SetTimerResolution(com, 1)) != DrvOk)
        return status;
    if ((status = driver.SetTimeout(com, 20)) != DrvOk)
        return status;
    if ((status = driver.SetPaceTime(com, 0)) != DrvOk)
        return status;
    if ((status = driver.FlushReceiveBuffer(com)) != DrvOk)
        return status;
    return driver.FlushTransmitBuffer(com);
}

// Reads `count` bytes as the tick does: GetByte only after IsReceiveBufferEmpty
// said one is waiting. Stops early when nothing more comes within the bound.
std::vector<uint8_t> receive(SerialDriver& driver, int32_t com, std::size_t count, int boundMs = 5000)
{
    std::vector<uint8_t> got;
    const auto deadline = Clock::now() + milliseconds(boundMs);
    while (got.size() < count && Clock::now() < deadline) {
        if (driver.IsReceiveBufferEmpty(com) != 0) {
            Sleep(1);
            continue;
        }
        const int32_t byte = driver.GetByte(com);
        if (byte < 0)
            break;
        got.push_back(static_cast<uint8_t>(byte));
    }
    return got;
}

uint8_t pattern(std::size_t i)
{
    return static_cast<uint8_t>((i * 7 + i / 251) & 0xFF);
}

// Runs this program again as another process that tries to open COM `com`;
// its exit status is the driver status of that open.
int32_t openFromAnotherProcess(int com)
{
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return -1;
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --try-open " + std::to_wstring(com);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -2;
    DWORD exitCode = static_cast<DWORD>(-3);
    if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &exitCode);
    else
        TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int32_t>(exitCode);
}

} // namespace

// ---------------------------------------------------------------- no device

TEST(Win32ErrorMapping, OpenErrorsSayWhatIsWrongWithThePort)
{
    for (uint32_t missing : std::initializer_list<uint32_t>{ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_INVALID_NAME, ERROR_BAD_NETPATH,
                             ERROR_DEV_NOT_EXIST, ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED})
        EXPECT_EQ(statusForWin32Error(missing, Win32Step::Open), DrvNoDevice) << missing;
    for (uint32_t held : std::initializer_list<uint32_t>{ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_BUSY})
        EXPECT_EQ(statusForWin32Error(held, Win32Step::Open), DrvPortInUse) << held;
    EXPECT_EQ(statusForWin32Error(ERROR_GEN_FAILURE, Win32Step::Open), DrvIoError);
    EXPECT_EQ(statusForWin32Error(ERROR_DEVICE_NOT_CONNECTED, Win32Step::Open), DrvIoError);
}

TEST(Win32ErrorMapping, LaterErrorsAreTheDeviceGoneExceptRefusedSettingsAndTimeOuts)
{
    for (uint32_t refused : std::initializer_list<uint32_t>{ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED})
        EXPECT_EQ(statusForWin32Error(refused, Win32Step::Configure), DrvNotSupported) << refused;
    for (uint32_t timeout : std::initializer_list<uint32_t>{ERROR_TIMEOUT, ERROR_SEM_TIMEOUT, WAIT_TIMEOUT})
        EXPECT_EQ(statusForWin32Error(timeout, Win32Step::Write), DrvTransmitTimeout) << timeout;
    // A pulled USB adapter answers with any of these.
    for (uint32_t gone : std::initializer_list<uint32_t>{ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_DEVICE_NOT_CONNECTED,
                          ERROR_OPERATION_ABORTED, ERROR_INVALID_HANDLE}) {
        EXPECT_EQ(statusForWin32Error(gone, Win32Step::Transfer), DrvIoError) << gone;
        EXPECT_EQ(statusForWin32Error(gone, Win32Step::Write), DrvIoError) << gone;
    }
    EXPECT_EQ(statusForWin32Error(ERROR_GEN_FAILURE, Win32Step::Configure), DrvIoError);
}

TEST(ComPath, ComNIsBackslashDotComNUnlessBound)
{
    for (int n : {3, 42, 99})
        SetEnvironmentVariableW((L"FLASH3_COM" + std::to_wstring(n)).c_str(), nullptr);
    EXPECT_EQ(comDevicePath(3), "\\\\.\\COM3");
    EXPECT_EQ(comDevicePath(42), "\\\\.\\COM42");
    EXPECT_EQ(defaultComDevicePath(99), "\\\\.\\COM99");

    // The environment's wide value arrives as UTF-8.
    SetEnvironmentVariableW(L"FLASH3_COM42", L"\\\\.\\Ports\\caf\u00e9");
    EXPECT_EQ(comDevicePath(42), "\\\\.\\Ports\\caf\xC3\xA9");
    bindComDevicePath(42, "\\\\.\\COM7");  // a binding in the process wins
    EXPECT_EQ(comDevicePath(42), "\\\\.\\COM7");
    SetEnvironmentVariableW(L"FLASH3_COM42", nullptr);
}

TEST(Win32Open, CallsOnPortsNotOpenAreRefused)
{
    Win32SerialBackend backend;
    const uint8_t byte = 0x55;
    EXPECT_EQ(backend.configure(9, 38400), DrvNotInitialised);
    EXPECT_EQ(backend.flushReceive(9), DrvNotInitialised);
    EXPECT_EQ(backend.flushTransmit(9), DrvNotInitialised);
    EXPECT_EQ(backend.bytesWaiting(9), -DrvNotInitialised);
    EXPECT_EQ(backend.readByte(9), -DrvNotInitialised);
    EXPECT_EQ(backend.write(9, &byte, 1, 10), DrvNotInitialised);
    EXPECT_EQ(backend.setTimerResolution(9, 1), DrvNotInitialised);
    EXPECT_EQ(backend.close(9), DrvNotInitialised);
    EXPECT_EQ(backend.open(100), DrvBadParameter);
    EXPECT_EQ(backend.open(-1), DrvBadParameter);
    EXPECT_LT(backend.bytesWaiting(1000), 0);
}

// FLASH3_TEST_MISSING_COM is mapped in Wine's registry to a path where no
// device ever appears.
TEST(Win32Open, MissingOrForeignDeviceIsNoDevice)
{
    const int missing = std::atoi(env("FLASH3_TEST_MISSING_COM").c_str());
    ASSERT_GT(missing, 1) << "ctest sets FLASH3_TEST_MISSING_COM";
    Win32SerialBackend backend;
    EXPECT_EQ(backend.open(missing), DrvNoDevice);
    EXPECT_EQ(backend.close(missing), DrvNotInitialised);  // a failed open leaves nothing behind

    // Things that open but are no COM port: a file, the null device, a folder,
    // a name that is nothing at all.
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    wchar_t file[MAX_PATH];
    ASSERT_NE(GetTempFileNameW(folder, L"f3", 0, file), 0u);
    char utf8[MAX_PATH * 3];
    ASSERT_GT(WideCharToMultiByte(CP_UTF8, 0, file, -1, utf8, sizeof utf8, nullptr, nullptr), 0);
    const std::string regular = utf8;
    for (const std::string& path : {regular, std::string("NUL"), std::string("C:\\windows"),
                                    std::string("\\\\.\\FLASH3-NO-SUCH-DEVICE"), std::string()}) {
        Win32SerialBackend foreign([&](int32_t) { return path; });
        EXPECT_EQ(foreign.open(5), DrvNoDevice) << path;
    }
    DeleteFileW(file);
}

// ---------------------------------------------------------------- with a device

TEST(Win32Open, OpensClosesAndReopens)
{
    REQUIRE_TEST_DEVICE(com);
    Win32SerialBackend backend;
    SerialDriver driver(backend);
    ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk);
    EXPECT_EQ(driver.IsReceiveBufferEmpty(com), 1);
    for (int32_t code = 7; code <= 11; ++code)
        EXPECT_EQ(driver.SetPortCharacteristics(com, code, 0, 3, 0, 0), DrvOk) << code;
    EXPECT_EQ(backend.configure(com, 4800), DrvBadParameter);
    EXPECT_EQ(driver.UnInitializePort(com), DrvOk);
    EXPECT_EQ(driver.UnInitializePort(com), DrvNotInitialised);
    EXPECT_EQ(driver.IsReceiveBufferEmpty(com), DrvNotInitialised);

    // Many rounds: each close gives back the handle and the timer period.
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk) << round;
        ASSERT_EQ(driver.UnInitializePort(com), DrvOk) << round;
    }
    // An open over an open port starts afresh rather than failing.
    ASSERT_EQ(backend.open(com), DrvOk);
    EXPECT_EQ(backend.open(com), DrvOk);
    EXPECT_EQ(backend.close(com), DrvOk);
}

TEST(Win32Open, SecondOpenIsPortInUse)
{
    REQUIRE_TEST_DEVICE(com);
    Win32SerialBackend first;
    Win32SerialBackend second;
    ASSERT_EQ(first.open(com), DrvOk);
    EXPECT_EQ(second.open(com), DrvPortInUse);
    EXPECT_EQ(second.bytesWaiting(com), -DrvNotInitialised);
    // The same device by another spelling of its name.
    const std::string plain = "com" + std::to_string(com);
    Win32SerialBackend byName([&](int32_t) { return plain; });
    EXPECT_EQ(byName.open(com), DrvPortInUse);
    // Another program.
    EXPECT_EQ(openFromAnotherProcess(com), DrvPortInUse);

    ASSERT_EQ(first.close(com), DrvOk);
    EXPECT_EQ(openFromAnotherProcess(com), DrvOk);  // and it let go when it ended
    EXPECT_EQ(second.open(com), DrvOk);
    EXPECT_EQ(first.open(com), DrvPortInUse);
    EXPECT_EQ(second.close(com), DrvOk);
    EXPECT_EQ(first.open(com), DrvOk);
}

TEST(Win32Poll, EmptyPortAnswersAtOnce)
{
    REQUIRE_TEST_DEVICE(com);
    Win32SerialBackend backend;
    SerialDriver driver(backend);
    ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk);
    // 2000 polls, as in 10 s of ticks; a poll that waited for data would take
    // far longer than the bound.
    const auto start = Clock::now();
    for (int i = 0; i < 2000; ++i)
        ASSERT_EQ(driver.IsReceiveBufferEmpty(com), 1) << i;
    EXPECT_LT(Clock::now() - start, milliseconds(5000));
    // GetByte with nothing there (the program never does this) returns a code
    // instead of waiting.
    const auto before = Clock::now();
    EXPECT_EQ(driver.GetByte(com), -DrvIoError);
    EXPECT_LT(Clock::now() - before, milliseconds(1000));
}

TEST(Win32Line, EveryByteValuePassesUnchangedBothWays)
{
    REQUIRE_TEST_DEVICE(com);
    Win32SerialBackend backend;
    SerialDriver driver(backend);
    ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk);
    // The device checks 00..FF in order (XON, XOFF, CR, LF and NUL among
    // them), then answers FF..00.
    for (int value = 0; value < 256; ++value)
        ASSERT_EQ(driver.PutByte(com, value), DrvOk) << value;
    const std::vector<uint8_t> got = receive(driver, com, 256);
    std::vector<uint8_t> expected;
    for (int value = 255; value >= 0; --value)
        expected.push_back(static_cast<uint8_t>(value));
    EXPECT_EQ(got, expected);
    EXPECT_NE(driver.IsReceiveBufferEmpty(com), 0);  // nothing more, nothing echoed
    EXPECT_EQ(driver.UnInitializePort(com), DrvOk);
}

TEST(Win32Line, FlushDiscardsWhatIsWaiting)
{
    REQUIRE_TEST_DEVICE(com);  // an echoing device
    Win32SerialBackend backend;
    SerialDriver driver(backend);
    ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk);
    for (int value : {1, 2, 3, 4})
        ASSERT_EQ(driver.PutByte(com, value), DrvOk);
    ASSERT_TRUE(waitFor([&] { return backend.bytesWaiting(com) == 4; }));
    EXPECT_EQ(driver.FlushReceiveBuffer(com), DrvOk);
    EXPECT_EQ(backend.bytesWaiting(com), 0);
    EXPECT_EQ(driver.IsReceiveBufferEmpty(com), 1);
    EXPECT_EQ(driver.FlushTransmitBuffer(com), DrvOk);
    ASSERT_EQ(driver.PutByte(com, 0x5A), DrvOk);
    EXPECT_EQ(receive(driver, com, 2, 500), std::vector<uint8_t>{0x5A});  // only the new byte
}

TEST(Win32Write, PutByteIsBoundedWhenTheDeviceReadsNothing)
{
    REQUIRE_TEST_DEVICE(com);  // a device that reads nothing until signalled
    Win32SerialBackend backend;
    SerialDriver driver(backend);
    ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk);

    // Byte by byte until the line is full: the first refused byte comes back
    // with code 7 and no call waits much past the 20 ms bound.
    std::size_t accepted = 0;
    int32_t status = DrvOk;
    auto slowest = Clock::duration::zero();
    const auto start = Clock::now();
    while (status == DrvOk && Clock::now() - start < milliseconds(60000)) {
        const auto before = Clock::now();
        status = driver.PutByte(com, pattern(accepted));
        slowest = std::max(slowest, Clock::now() - before);
        if (status == DrvOk)
            ++accepted;
    }
    ASSERT_EQ(status, DrvTransmitTimeout) << "after " << accepted << " bytes";
    EXPECT_GT(accepted, 0u);
    EXPECT_LT(slowest, milliseconds(1000));
    // Still refused while the device keeps not reading.
    const auto before = Clock::now();
    EXPECT_EQ(driver.PutByte(com, pattern(accepted)), DrvTransmitTimeout);
    EXPECT_LT(Clock::now() - before, milliseconds(1000));

    // Now the device reads: every byte reported accepted arrived, in order,
    // and none that was refused did. It answers with the count and a verdict.
    const std::string signal = env("FLASH3_TEST_SIGNAL");
    ASSERT_FALSE(signal.empty());
    { std::ofstream(signal) << accepted; }
    const std::vector<uint8_t> answer = receive(driver, com, 5, 10000);
    ASSERT_EQ(answer.size(), 5u);
    const uint32_t counted = answer[0] | (answer[1] << 8) | (answer[2] << 16) | (static_cast<uint32_t>(answer[3]) << 24);
    EXPECT_EQ(counted, accepted);
    EXPECT_EQ(answer[4], 1) << "the device saw bytes out of order";
    EXPECT_EQ(driver.PutByte(com, 0x00), DrvOk);  // room again
}

TEST(Win32Unplug, DeviceGoneIsAnIoError)
{
    REQUIRE_TEST_DEVICE(com);  // a device that goes away on the first byte
    Win32SerialBackend backend;
    SerialDriver driver(backend);
    ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk);
    ASSERT_EQ(driver.PutByte(com, 0x55), DrvOk);
    ASSERT_TRUE(waitFor([&] { return driver.IsReceiveBufferEmpty(com) == DrvIoError; }, 3000))
        << "IsReceiveBufferEmpty still says " << driver.IsReceiveBufferEmpty(com);
    const auto before = Clock::now();
    EXPECT_EQ(driver.PutByte(com, 0x55), DrvIoError);
    EXPECT_LT(Clock::now() - before, milliseconds(1000));
    EXPECT_EQ(driver.UnInitializePort(com), DrvOk);
}

// ---------------------------------------------------------------- a whole run

namespace {

struct Record {
    char kind;  // 'T' or 'R'
    uint8_t byte;
};

std::vector<Record> readImage(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Record> records;
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
        const char kind = text[i];
        if ((kind == 'T' || kind == 'R') && text[i + 3] == ':')
            records.push_back({kind, static_cast<uint8_t>(std::stoi(text.substr(i + 1, 2), nullptr, 16))});
    }
    return records;
}

} // namespace

// The handshake and a short image through the thirteen functions in the order
// the 5 ms tick calls them: bursts of PutByte closed by a put-packet call,
// answers polled with IsReceiveBufferEmpty and GetByte within 36 ticks.
TEST(Win32Run, HandshakeAndShortImageInTickOrder)
{
    REQUIRE_TEST_DEVICE(com);  // a device in FLASH3 boot mode with the same image
    const std::vector<Record> image = readImage(env("FLASH3_TEST_IMAGE"));
    ASSERT_GT(image.size(), 10u);

    Win32SerialBackend backend;
    SerialDriver driver(backend);
    std::vector<DriverCall> calls;
    driver.setTrace([&](const DriverCall& call) { calls.push_back(call); });

    // "Initialize", then "Program FLASH" flushes both buffers again.
    ASSERT_EQ(openLikeTheProgram(driver, com), DrvOk);
    ASSERT_EQ(driver.FlushReceiveBuffer(com), DrvOk);
    ASSERT_EQ(driver.FlushTransmitBuffer(com), DrvOk);

    const auto tick = [] { Sleep(5); };
    const auto poll = [&]() -> int32_t {
        return driver.IsReceiveBufferEmpty(com) == 0 ? driver.GetByte(com) & 0xFF : -1;
    };

    // Entry handshake: E1, 94 one per tick, then 36 quiet ticks after the last
    // reply byte.
    ASSERT_EQ(driver.PutByte(com, 0xE1), DrvOk);
    tick();
    ASSERT_EQ(driver.PutByte(com, 0x94), DrvOk);
    int last0 = 0, last1 = 0, quiet = 36;
    for (int ticks = 0; quiet > 0; ++ticks) {
        ASSERT_LT(ticks, 2000) << "the device never fell quiet";
        tick();
        --quiet;
        for (int32_t b = poll(); b >= 0; b = poll()) {
            last0 = last1;
            last1 = b;
            quiet = 36;
        }
    }
    ASSERT_EQ(last0, 0x91);
    ASSERT_EQ(last1, 0x26);

    // The records: a burst of T bytes in one tick, closed by a put-packet
    // call; each R answer awaited for up to 36 ticks.
    std::size_t next = 0;
    while (next < image.size()) {
        tick();
        if (image[next].kind == 'T') {
            while (next < image.size() && image[next].kind == 'T')
                ASSERT_EQ(driver.PutByte(com, image[next++].byte), DrvOk) << "record " << next;
            ASSERT_EQ(driver.ser_rs232_putpacket(com, 0, "0"), DrvOk);
            continue;
        }
        int window = 36;
        while (next < image.size() && image[next].kind == 'R') {
            const int32_t b = poll();
            if (b < 0) {
                ASSERT_GT(--window, 0) << "no answer to record " << next;
                tick();
                continue;
            }
            ASSERT_EQ(b, image[next].byte) << "record " << next;
            ++next;
            window = 36;
        }
    }
    EXPECT_EQ(driver.UnInitializePort(com), DrvOk);

    // Every one of the thirteen functions was used, the set-up ones in the
    // order the program calls them, and every status was 0.
    const std::vector<std::string> setup = {"InitializePort", "ser_rs232_getport", "SetPortCharacteristics",
                                            "SetTimerResolution", "SetTimeout", "SetPaceTime",
                                            "FlushReceiveBuffer", "FlushTransmitBuffer"};
    ASSERT_GE(calls.size(), setup.size());
    for (std::size_t i = 0; i < setup.size(); ++i)
        EXPECT_EQ(calls[i].function, setup[i]) << i;
    std::set<std::string> used;
    for (const DriverCall& call : calls) {
        used.insert(call.function);
        if (call.function != "IsReceiveBufferEmpty" && call.function != "GetByte") {
            EXPECT_EQ(call.result, DrvOk) << call.function;
        }
    }
    EXPECT_EQ(used.size(), 13u);
    EXPECT_EQ(calls.back().function, "UnInitializePort");
}
