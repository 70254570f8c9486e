// The driver's own rules over the scripted fake backend: argument checks, the
// port table, what reaches the device and what comes back. Free of Qt, so it
// runs in the Windows cross build (and anywhere the serial layer builds).

#include "serial/driver.h"
#include "serial/fake_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

using namespace flash3;

namespace {

struct Rig {
    FakeBackend backend;
    SerialDriver driver{backend};
    std::vector<DriverCall> calls;

    Rig()
    {
        driver.setTrace([this](const DriverCall& call) { calls.push_back(call); });
    }

    int32_t open(int32_t port, int32_t baudCode = 10)
    {
        const int32_t status = driver.InitializePort(port, port - 1, 0, 0, 9, 0, 1024, 1024, 0);
        if (status != DrvOk)
            return status;
        PortParamRecord params;
        if (driver.ser_rs232_getport(port, &params) != DrvOk)
            return -1;
        return driver.SetPortCharacteristics(port, baudCode, 0, 3, 0, 0);
    }

    // The bytes and time-out of the last write the backend saw.
    std::vector<int32_t> lastWrite() const
    {
        for (auto it = backend.calls.rbegin(); it != backend.calls.rend(); ++it) {
            if (it->fn == FakeBackend::Fn::Write)
                return it->args;
        }
        return {};
    }
};

} // namespace

TEST(DriverArguments, PortNumbersOutsideOneTo99AreBadParameters)
{
    Rig r;
    PortParamRecord params;
    for (int32_t port : {0, -1, 100, 1000}) {
        EXPECT_EQ(r.driver.InitializePort(port, port - 1, 0, 0, 9, 0, 1024, 1024, 0), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.ser_rs232_getport(port, &params), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.SetPortCharacteristics(port, 10, 0, 3, 0, 0), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.SetTimerResolution(port, 1), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.SetTimeout(port, 20), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.SetPaceTime(port, 0), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.FlushReceiveBuffer(port), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.FlushTransmitBuffer(port), DrvBadParameter) << port;
        EXPECT_NE(r.driver.IsReceiveBufferEmpty(port), 0) << port;
        EXPECT_EQ(r.driver.GetByte(port), -DrvBadParameter) << port;
        EXPECT_EQ(r.driver.PutByte(port, 0x41), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.ser_rs232_putpacket(port, 0, "0"), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.UnInitializePort(port), DrvBadParameter) << port;
        EXPECT_EQ(r.driver.queuedBytes(port), 0) << port;
    }
    EXPECT_TRUE(r.backend.calls.empty());  // nothing reached the device
}

TEST(DriverArguments, OpenRefusesWhatTheProgramNeverPasses)
{
    Rig r;
    EXPECT_EQ(r.driver.InitializePort(4, 4, 0, 0, 9, 0, 1024, 1024, 0), DrvBadParameter);  // index is port - 1
    EXPECT_EQ(r.driver.InitializePort(4, 3, 0, 0, 6, 0, 1024, 1024, 0), DrvBadParameter);  // speed code 7..11
    EXPECT_EQ(r.driver.InitializePort(4, 3, 0, 0, 9, 0, 0, 1024, 0), DrvBadParameter);
    EXPECT_EQ(r.driver.InitializePort(4, 3, 0, 0, 9, 0, 1024, 0, 0), DrvBadParameter);
    EXPECT_EQ(r.backend.openPorts(), 0);
    PortParamRecord params;
    EXPECT_EQ(r.driver.ser_rs232_getport(4, nullptr), DrvBadParameter);
    EXPECT_EQ(r.driver.ser_rs232_getport(4, &params), DrvNotInitialised);
}

TEST(DriverArguments, CallsOnAPortNotOpenAreNotInitialised)
{
    Rig r;
    EXPECT_EQ(r.driver.SetPortCharacteristics(7, 10, 0, 3, 0, 0), DrvNotInitialised);
    EXPECT_EQ(r.driver.SetTimerResolution(7, 1), DrvNotInitialised);
    EXPECT_EQ(r.driver.SetTimeout(7, 20), DrvNotInitialised);
    EXPECT_EQ(r.driver.SetPaceTime(7, 0), DrvNotInitialised);
    EXPECT_EQ(r.driver.FlushReceiveBuffer(7), DrvNotInitialised);
    EXPECT_EQ(r.driver.FlushTransmitBuffer(7), DrvNotInitialised);
    EXPECT_EQ(r.driver.IsReceiveBufferEmpty(7), DrvNotInitialised);
    EXPECT_EQ(r.driver.GetByte(7), -DrvNotInitialised);
    EXPECT_EQ(r.driver.PutByte(7, 0), DrvNotInitialised);
    EXPECT_EQ(r.driver.ser_rs232_putpacket(7, 0, "0"), DrvNotInitialised);
    EXPECT_EQ(r.driver.UnInitializePort(7), DrvNotInitialised);
    EXPECT_TRUE(r.backend.calls.empty());
}

TEST(DriverOpen, SpeedCodesAndLineFormatReachTheDevice)
{
    const std::pair<int32_t, int32_t> speeds[] = {{7, 9600}, {8, 19200}, {9, 38400}, {10, 57600}, {11, 115200}};
    for (const auto& [code, rate] : speeds) {
        Rig r;
        ASSERT_EQ(r.open(3, code), DrvOk) << code;
        EXPECT_EQ(r.backend.baudRate, rate) << code;
        EXPECT_TRUE(r.driver.isInitialised(3));
    }
    Rig r;
    ASSERT_EQ(r.open(3), DrvOk);
    EXPECT_EQ(r.driver.SetPortCharacteristics(3, 12, 0, 3, 0, 0), DrvBadParameter);
    // Only 8 data bits, no parity, one stop bit, no flow control are offered.
    EXPECT_EQ(r.driver.SetPortCharacteristics(3, 10, 1, 3, 0, 0), DrvNotSupported);
    EXPECT_EQ(r.driver.SetPortCharacteristics(3, 10, 0, 2, 0, 0), DrvNotSupported);
    EXPECT_EQ(r.driver.SetPortCharacteristics(3, 10, 0, 3, 1, 0), DrvNotSupported);
    EXPECT_EQ(r.driver.SetPortCharacteristics(3, 10, 0, 3, 0, 1), DrvNotSupported);
    EXPECT_EQ(r.backend.baudRate, 57600);  // a refused setting changes nothing
}

TEST(DriverOpen, AFailedOpenLeavesNothingOpenAndAReopenReleasesTheOldOne)
{
    Rig r;
    r.backend.failNext(FakeBackend::Fn::Open, DrvPortInUse);
    EXPECT_EQ(r.open(5), DrvPortInUse);
    EXPECT_FALSE(r.driver.isInitialised(5));
    r.backend.failNext(FakeBackend::Fn::Configure, DrvNotSupported);
    EXPECT_EQ(r.driver.InitializePort(5, 4, 0, 0, 9, 0, 1024, 1024, 0), DrvNotSupported);
    EXPECT_EQ(r.backend.openPorts(), 0);  // the device opened for it was closed again

    ASSERT_EQ(r.open(5), DrvOk);
    ASSERT_EQ(r.driver.InitializePort(5, 4, 0, 0, 9, 0, 1024, 1024, 0), DrvOk);
    EXPECT_EQ(r.backend.openPorts(), 1);
    EXPECT_EQ(r.driver.UnInitializePort(5), DrvOk);
    EXPECT_EQ(r.backend.openPorts(), 0);
    EXPECT_EQ(r.driver.UnInitializePort(5), DrvNotInitialised);
}

TEST(DriverOpen, TimerResolutionIsAskedOfTheBackend)
{
    Rig r;
    ASSERT_EQ(r.open(6), DrvOk);
    EXPECT_EQ(r.driver.SetTimerResolution(6, 1), DrvOk);
    ASSERT_EQ(r.backend.count(FakeBackend::Fn::TimerResolution), 1);
    EXPECT_EQ(r.backend.calls.back().args, std::vector<int32_t>{1});
    r.backend.failNext(FakeBackend::Fn::TimerResolution, DrvNotSupported);
    EXPECT_EQ(r.driver.SetTimerResolution(6, 1), DrvNotSupported);
    // Out of range values never reach the system.
    EXPECT_EQ(r.driver.SetTimerResolution(6, 0), DrvBadParameter);
    EXPECT_EQ(r.driver.SetTimerResolution(6, 1001), DrvBadParameter);
    EXPECT_EQ(r.backend.count(FakeBackend::Fn::TimerResolution), 2);
}

TEST(DriverBytes, PutByteHandsOneByteWithTheTimeOut)
{
    Rig r;
    ASSERT_EQ(r.open(2), DrvOk);
    EXPECT_EQ(r.driver.PutByte(2, 0xE1), DrvOk);
    EXPECT_EQ(r.lastWrite(), (std::vector<int32_t>{0xE1, 20}));  // 20 ms until told otherwise
    ASSERT_EQ(r.driver.SetTimeout(2, 35), DrvOk);
    EXPECT_EQ(r.driver.PutByte(2, 0x00), DrvOk);
    EXPECT_EQ(r.lastWrite(), (std::vector<int32_t>{0x00, 35}));
    for (int32_t bad : {-1, 256, 0x1E1})
        EXPECT_EQ(r.driver.PutByte(2, bad), DrvBadParameter) << bad;
    EXPECT_EQ(r.backend.written, (std::vector<uint8_t>{0xE1, 0x00}));

    r.backend.failNext(FakeBackend::Fn::Write, DrvTransmitTimeout);
    EXPECT_EQ(r.driver.PutByte(2, 0x55), DrvTransmitTimeout);
    EXPECT_EQ(r.backend.written.size(), 2u);  // the refused byte was not counted as sent
}

TEST(DriverBytes, PutPacketOfNothingSendsNothing)
{
    Rig r;
    ASSERT_EQ(r.open(2), DrvOk);
    EXPECT_EQ(r.driver.ser_rs232_putpacket(2, 0, "0"), DrvOk);
    EXPECT_EQ(r.backend.count(FakeBackend::Fn::Write), 0);
    EXPECT_EQ(r.driver.ser_rs232_putpacket(2, 3, "ABC"), DrvOk);
    EXPECT_EQ(r.lastWrite(), (std::vector<int32_t>{'A', 'B', 'C', 60}));  // the bound grows with the count
    EXPECT_EQ(r.driver.ser_rs232_putpacket(2, -1, "0"), DrvBadParameter);
    EXPECT_EQ(r.driver.ser_rs232_putpacket(2, 2, nullptr), DrvBadParameter);

    // The longest time-out a byte may have, times a long packet, is past what
    // 32 bits hold: the bound stays the longest there is, never negative.
    ASSERT_EQ(r.driver.SetTimeout(2, 60000), DrvOk);
    for (const int32_t count : {30000, 40000}) {
        const std::string packet(static_cast<std::size_t>(count), 'x');
        EXPECT_EQ(r.driver.ser_rs232_putpacket(2, count, packet.data()), DrvOk) << count;
        EXPECT_EQ(r.lastWrite().back(), std::min<int64_t>(int64_t(60000) * count, INT32_MAX)) << count;
    }
}

TEST(DriverBytes, PollAndReadReportBytesInOrderAndFailuresAsCodes)
{
    Rig r;
    ASSERT_EQ(r.open(8), DrvOk);
    EXPECT_EQ(r.driver.IsReceiveBufferEmpty(8), 1);
    r.backend.deliver({0x91, 0x00, 0x26});
    std::vector<int32_t> got;
    while (r.driver.IsReceiveBufferEmpty(8) == 0)
        got.push_back(r.driver.GetByte(8));
    EXPECT_EQ(got, (std::vector<int32_t>{0x91, 0x00, 0x26}));

    // A failing device is neither "a byte is waiting" nor a byte.
    r.backend.unplug();
    EXPECT_EQ(r.driver.IsReceiveBufferEmpty(8), DrvIoError);
    EXPECT_EQ(r.driver.GetByte(8), -DrvIoError);
    EXPECT_EQ(r.driver.PutByte(8, 1), DrvIoError);
    EXPECT_EQ(r.driver.FlushReceiveBuffer(8), DrvIoError);
    EXPECT_EQ(r.driver.UnInitializePort(8), DrvOk);
}

TEST(DriverBytes, FlushesDiscardWhatIsWaiting)
{
    Rig r;
    ASSERT_EQ(r.open(9), DrvOk);
    r.backend.deliver({1, 2, 3});
    ASSERT_EQ(r.driver.IsReceiveBufferEmpty(9), 0);
    EXPECT_EQ(r.driver.FlushReceiveBuffer(9), DrvOk);
    EXPECT_EQ(r.driver.IsReceiveBufferEmpty(9), 1);
    EXPECT_EQ(r.driver.FlushTransmitBuffer(9), DrvOk);
    r.backend.failNext(FakeBackend::Fn::FlushTransmit, DrvIoError);
    EXPECT_EQ(r.driver.FlushTransmitBuffer(9), DrvIoError);
}

TEST(DriverTrace, EveryCallIsTracedWithItsArgumentsAndResult)
{
    Rig r;
    ASSERT_EQ(r.open(12, 7), DrvOk);
    ASSERT_EQ(r.calls.size(), 3u);
    EXPECT_EQ(r.calls[0].function, "InitializePort");
    EXPECT_EQ(r.calls[0].args, (std::vector<int32_t>{12, 11, 0, 0, 9, 0, 1024, 1024, 0}));
    EXPECT_EQ(r.calls[1].function, "ser_rs232_getport");
    EXPECT_EQ(r.calls[2].function, "SetPortCharacteristics");
    EXPECT_EQ(r.calls[2].args, (std::vector<int32_t>{12, 7, 0, 3, 0, 0}));
    r.driver.PutByte(12, 300);
    EXPECT_EQ(r.calls.back().function, "PutByte");
    EXPECT_EQ(r.calls.back().args, (std::vector<int32_t>{12, 300}));
    EXPECT_EQ(r.calls.back().result, DrvBadParameter);
}

// Queued transmit (a station's ports): the bytes of a tick reach the OS in one
// write, never later than the end of the tick, a packet or a read of the
// port, and a queue that could not be sent is never passed over in silence.
TEST(DriverQueuedTransmit, BytesOfATickGoOutTogetherBeforeAnythingElseHappens)
{
    Rig r;
    r.driver.setQueuedTransmit(true);
    ASSERT_EQ(r.open(2), DrvOk);
    ASSERT_EQ(r.open(3), DrvOk);
    for (int32_t b : {0x10, 0x11, 0x12})
        EXPECT_EQ(r.driver.PutByte(2, b), DrvOk);
    EXPECT_EQ(r.driver.PutByte(3, 0x30), DrvOk);
    EXPECT_EQ(r.backend.count(FakeBackend::Fn::Write), 0);
    EXPECT_EQ(r.driver.SendQueued(), DrvOk);  // the tick ends
    EXPECT_EQ(r.backend.count(FakeBackend::Fn::Write), 2);
    EXPECT_EQ(r.backend.written, (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x30}));
    // 1 byte at 57.6 kbaud (open() sets code 10) is under 1 ms on the line: the
    // time-out of one byte, plus that.
    EXPECT_EQ(r.lastWrite(), (std::vector<int32_t>{0x30, 21}));
    EXPECT_EQ(r.driver.SendQueued(), DrvOk);
    EXPECT_EQ(r.backend.count(FakeBackend::Fn::Write), 2) << "nothing queued, nothing written";

    // A packet, a poll or a read of the port sends what is queued first.
    r.driver.PutByte(2, 0x20);
    EXPECT_EQ(r.driver.ser_rs232_putpacket(2, 0, "0"), DrvOk);
    EXPECT_EQ(r.backend.written.back(), 0x20);
    r.driver.PutByte(2, 0x21);
    EXPECT_EQ(r.driver.IsReceiveBufferEmpty(2), 1);
    EXPECT_EQ(r.backend.written.back(), 0x21);
    r.driver.PutByte(2, 0x22);
    r.backend.deliver({0x99});
    EXPECT_EQ(r.driver.GetByte(2), 0x99);
    EXPECT_EQ(r.backend.written.back(), 0x22);
    // Closing sends it too; a purge drops it.
    r.driver.PutByte(2, 0x23);
    EXPECT_EQ(r.driver.FlushTransmitBuffer(2), DrvOk);
    r.driver.PutByte(2, 0x24);
    EXPECT_EQ(r.driver.UnInitializePort(2), DrvOk);
    EXPECT_EQ(r.backend.written.back(), 0x24);
    EXPECT_EQ(std::count(r.backend.written.begin(), r.backend.written.end(), 0x23), 0);

    // A paced port keeps its pause between bytes: it is never queued.
    ASSERT_EQ(r.driver.SetPaceTime(3, 1), DrvOk);
    const int writes = r.backend.count(FakeBackend::Fn::Write);
    r.driver.PutByte(3, 0x31);
    EXPECT_EQ(r.backend.count(FakeBackend::Fn::Write), writes + 1);
}

TEST(DriverQueuedTransmit, AQueueThatCannotBeSentFailsThePortsNextCalls)
{
    Rig r;
    r.driver.setQueuedTransmit(true);
    ASSERT_EQ(r.open(4), DrvOk);
    r.driver.PutByte(4, 0x41);
    r.backend.failNext(FakeBackend::Fn::Write, DrvIoError);
    EXPECT_EQ(r.driver.SendQueued(), DrvIoError);
    // Every later call that could pass for success says so instead.
    EXPECT_EQ(r.driver.PutByte(4, 0x42), DrvIoError);
    EXPECT_EQ(r.driver.ser_rs232_putpacket(4, 0, "0"), DrvIoError);
    EXPECT_EQ(r.driver.IsReceiveBufferEmpty(4), DrvIoError);
    EXPECT_EQ(r.driver.GetByte(4), -DrvIoError);
    EXPECT_TRUE(r.backend.written.empty());
    // Set up again, the port starts clean.
    EXPECT_EQ(r.driver.UnInitializePort(4), DrvOk);
    ASSERT_EQ(r.open(4), DrvOk);
    EXPECT_EQ(r.driver.PutByte(4, 0x43), DrvOk);
    EXPECT_EQ(r.driver.SendQueued(), DrvOk);
    EXPECT_EQ(r.backend.written, (std::vector<uint8_t>{0x43}));

    // A long queue is sent when it fills, without waiting for the tick's end,
    // and gets the time the line needs for it: 256 bytes at 57.6 kbaud, 45 ms.
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(r.driver.PutByte(4, i), DrvOk);
    EXPECT_EQ(r.backend.written.size(), 1u + 256);
    EXPECT_EQ(r.lastWrite().back(), 20 + 45);
}
