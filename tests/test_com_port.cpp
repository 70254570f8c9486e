// Opening, configuring, polling and closing the COM port; the port dialog.

#include "engine_harness.h"

#include "ports/port_map.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

using namespace flash3;
using namespace flash3::testing;

TEST(ComPort, OpensWithTheChosenPortAndSpeed)
{
    Engine e;
    e.openPort(12, 1);
    EXPECT_EQ(e.text(TextId::Text2), "COM12: at 9.6 kbaud");
    EXPECT_EQ(e.form.PortOpen, True);
    EXPECT_EQ(e.form.ComPort, 12);
    EXPECT_EQ(e.form.PortIndex, 11);
    ASSERT_FALSE(e.calls.empty());
    EXPECT_EQ(e.calls.front().function, "InitializePort");
    EXPECT_EQ(e.calls.front().args, (std::vector<int32_t>{12, 11, 0, 0, 9, 0, 1024, 1024, 0}));
    EXPECT_EQ(e.form.PortParams.int32At(8), 7);
    EXPECT_EQ(e.form.PortParams.int16At(12), 0);
    EXPECT_EQ(e.form.PortParams.int16At(14), 3);
    EXPECT_EQ(e.form.PortParams.int16At(16), 0);
    EXPECT_EQ(e.form.PortParams.int16At(20), 0);
    std::vector<std::string> order;
    for (const DriverCall& c : e.calls)
        order.push_back(c.function);
    EXPECT_EQ(order, (std::vector<std::string>{"InitializePort", "ser_rs232_getport", "SetPortCharacteristics",
                                               "SetTimerResolution", "SetTimeout", "SetPaceTime",
                                               "FlushReceiveBuffer", "FlushTransmitBuffer"}));
    EXPECT_EQ(e.calls.at(2).args, (std::vector<int32_t>{12, 7, 0, 3, 0, 0}));
    EXPECT_EQ(e.backend.baudRate, 9600);
    EXPECT_EQ(e.debug(), QStringList{"COM port initialized and opened."});
    EXPECT_TRUE(e.window().timer2().enabled);
    EXPECT_FALSE(e.window().portDialog().visible);
}

TEST(ComPort, EverySpeedShowsItsText)
{
    const char* texts[] = {"", "9.6 kbaud", "19.2 kbaud", "38.4 kbaud", "57.6 kbaud", "115.2 kbaud"};
    const int rates[] = {0, 9600, 19200, 38400, 57600, 115200};
    for (int speed = 1; speed <= 5; ++speed) {
        Engine e;
        e.openPort(4, speed);
        EXPECT_EQ(e.text(TextId::Text2), QStringLiteral("COM4: at ") + texts[speed]);
        EXPECT_EQ(e.backend.baudRate, rates[speed]);
    }
}

TEST(ComPort, InvalidSelectionsAreRefusedBeforeAnyDriverCall)
{
    Engine e;
    e.form.ConfigComPort_Click();
    e.window().selectPort(0);
    e.form.Initialize_Click();
    EXPECT_EQ(lastOf(e.debug()), "COM Port selection is invalid.");
    EXPECT_EQ(e.form.ComPort, 0);
    EXPECT_FALSE(e.window().portDialog().visible);
    e.window().selectPort(-1);
    e.form.Initialize_Click();
    EXPECT_EQ(e.form.ComPort, -1);
    EXPECT_EQ(lastOf(e.debug()), "COM Port selection is invalid.");
    e.window().selectPort(3);
    e.form.ComSpeed = 6;
    e.form.Initialize_Click();
    EXPECT_EQ(lastOf(e.debug()), "COM Speed selection is invalid.");
    EXPECT_TRUE(e.calls.empty());
    EXPECT_EQ(e.form.PortOpen, False);
    EXPECT_FALSE(e.window().timer2().enabled);
}

TEST(ComPort, SecondInitializeWhileOpenIsRefused)
{
    Engine e;
    e.openPort(2);
    const std::size_t calls = e.calls.size();
    e.window().selectPort(5);
    e.form.Initialize_Click();
    EXPECT_EQ(lastOf(e.debug()), "** ERROR ** COM Port already open.");
    EXPECT_EQ(e.calls.size(), calls);
    EXPECT_EQ(e.form.ComPort, 5);  // overwritten from the list first
}

namespace {

struct OpenFailure {
    const char* name;
    FakeBackend::Fn fn;
    const char* failing;  // a driver function made to fail, or ""
    const char* line;
};

class FatalOpenFailure : public ::testing::TestWithParam<OpenFailure> {};

// Each case is reported by its name.
void PrintTo(const OpenFailure& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace

TEST_P(FatalOpenFailure, LeavesThePortClosed)
{
    const OpenFailure& c = GetParam();
    Engine e;
    if (*c.failing) {
        e.driver.failWith[c.failing] = 4;
    } else if (c.fn == FakeBackend::Fn::Open) {
        e.backend.failNext(FakeBackend::Fn::Open, DrvPortInUse);
    } else {
        e.backend.failNext(FakeBackend::Fn::Configure, DrvOk);  // the open's own configure passes
        e.backend.failAlways(FakeBackend::Fn::Configure, DrvNotSupported);
    }
    e.openPort(2);
    EXPECT_EQ(lastOf(e.debugWithoutHints()), c.line);
    EXPECT_EQ(e.form.PortOpen, False);
    EXPECT_FALSE(e.window().timer2().enabled);
    EXPECT_TRUE(e.text(TextId::Text2).isEmpty());

    // Once the cause is gone, the same port opens, and nothing was leaked.
    e.driver.failWith.clear();
    e.backend.clearFailures();
    e.openPort(2);
    EXPECT_EQ(e.form.PortOpen, True) << c.line;
    EXPECT_EQ(e.backend.openPorts(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    ComPort, FatalOpenFailure,
    ::testing::Values(
        OpenFailure{"PortInUse", FakeBackend::Fn::Open, "", "Error initializing COM port#: 2  error code: 3"},
        OpenFailure{"ParametersNotRead", FakeBackend::Fn::Open, "ser_rs232_getport", "Error setting COM port parameters: 4"},
        OpenFailure{"CharacteristicsNotSet", FakeBackend::Fn::Configure, "", "Error setting COM port characteristics: 8"}));

TEST(ComPort, NonFatalSetupFailuresAreOnlyLogged)
{
    Engine e;
    e.driver.failWith["SetTimerResolution"] = 2;
    e.driver.failWith["SetTimeout"] = 3;
    e.driver.failWith["SetPaceTime"] = 5;
    e.openPort(4);
    EXPECT_EQ(e.debug(), (QStringList{"Error setting timer resolution: 2", "Error setting time out: 3",
                                      "Error setting pace time: 5", "COM port initialized and opened."}));
    EXPECT_EQ(e.form.PortOpen, True);
}

TEST(ComPort, FailedReceiveFlushSkipsTheTransmitFlush)
{
    Engine e;
    e.backend.failNext(FakeBackend::Fn::FlushReceive, DrvIoError);
    e.openPort(2);
    EXPECT_TRUE(e.debug().contains("Error flushing receive buffer = 6"));
    EXPECT_EQ(e.callCount("FlushTransmitBuffer"), 0);
    e.backend.failNext(FakeBackend::Fn::FlushTransmit, DrvIoError);
    e.form.FlushBuffers();
    EXPECT_EQ(lastOf(e.debug()), "Error flushing transmit buffer = 6");
}

TEST(ComPort, ReadByteIfAnyTellsZeroFromNothing)
{
    Engine e;
    e.form.DrvStatus = 77;
    e.form.ReadByteIfAny();  // port closed
    EXPECT_EQ(e.form.RxByte, -1);
    EXPECT_EQ(e.form.DrvStatus, 77);
    e.openPort();
    e.form.ReadByteIfAny();
    EXPECT_EQ(e.form.RxByte, -1);
    e.backend.deliver({0x00, 0xFF});
    e.form.ReadByteIfAny();
    EXPECT_EQ(e.form.RxByte, 0);
    e.form.ReadByteIfAny();
    EXPECT_EQ(e.form.RxByte, 0xFF);
    // A byte the driver cannot read is no byte.
    e.backend.deliver({0x41});
    e.backend.failNext(FakeBackend::Fn::ReadByte, DrvIoError);
    e.form.ReadByteIfAny();
    EXPECT_EQ(e.form.RxByte, -1);
}

TEST(ComPort, CloseFailureIsLoggedAndThePortCountsAsClosed)
{
    Engine e;
    e.openPort(4);
    e.backend.failNext(FakeBackend::Fn::Close, 5);
    e.form.ConfigComPort_Click();
    EXPECT_EQ(lastOf(e.debug()), "Error: 5 closing COM port: 4");
    EXPECT_EQ(e.form.PortOpen, False);
}

TEST(PortDialog, ConfigureClosesAnOpenPortAndShowsThePreviousChoices)
{
    Engine e;
    e.openPort(7, 2);
    e.form.ConfigComPort_Click();
    EXPECT_EQ(lastOf(e.debug()), "Closed COM port: 7");
    EXPECT_TRUE(e.text(TextId::Text2).isEmpty());
    EXPECT_FALSE(e.window().timer2().enabled);
    EXPECT_TRUE(e.window().portDialog().visible);
    EXPECT_EQ(e.window().portDialog().portListIndex, 7);
    EXPECT_EQ(e.window().portDialog().selectedBaudBtn, 2);
    EXPECT_EQ(e.backend.openPorts(), 0);
}

// Opening the dialog finds which numbers reach a device present; the line
// under the list names the first few and counts the rest.
TEST(PortDialog, ConfigureMarksTheEntriesThatReachADevicePresent)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("dev"));
    const ScopedPortMapPaths paths(dir);
    Engine e;
    e.form.ConfigComPort_Click();
    const PortDialog& d = e.window().portDialog();
    ASSERT_EQ(d.portDevices.size(), d.portList.size());
    EXPECT_EQ(d.portDevices.count(QString()), d.portList.size());
    EXPECT_EQ(presentPortsLine(d), "No COM number stands for a port present.");

    const QStringList names{"ttyS4", "ttyUSB0", "ttyUSB1", "ttyACM0", "elsewhere"};
    for (const QString& name : names) {
        QFile node(dir.filePath("dev/" + name));
        ASSERT_TRUE(node.open(QIODevice::WriteOnly));
    }
    // COM 99 is bound to a device that is present; COM 98 to one that is not.
    QFile conf(dir.filePath("user.conf"));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(("COM99=" + dir.filePath("dev/elsewhere") + "\nCOM98=" + dir.filePath("dev/gone") + "\n").toUtf8());
    conf.close();
    setPortMapPathsForTesting(PortMapPaths{dir.filePath("dev"), dir.filePath("user.conf"), dir.filePath("etc.conf")});
    e.form.Cancel1_Click();
    e.form.ConfigComPort_Click();
    ASSERT_EQ(d.portDevices.size(), d.portList.size());
    QList<int> marked;
    for (int i = 0; i < d.portDevices.size(); ++i) {
        if (!d.portDevices.at(i).isEmpty())
            marked << i;
    }
    EXPECT_EQ(marked, (QList<int>{5, 33, 34, 65, 99}));
    EXPECT_EQ(d.portDevices.at(33), dir.filePath("dev/ttyUSB0"));
    EXPECT_EQ(d.portDevices.at(99), dir.filePath("dev/elsewhere"));
    EXPECT_EQ(d.portList.at(33), "33");  // the entry's text stays the number
    EXPECT_EQ(presentPortsLine(d), "Present: COM 5 " + dir.filePath("dev/ttyS4") + ", COM 33 " + dir.filePath("dev/ttyUSB0")
                                       + ", COM 34 " + dir.filePath("dev/ttyUSB1") + " and 2 more, in bold in the list");
}

TEST(PortDialog, ConfigureDuringATickStopsTheTimerAndShowsNothing)
{
    Engine e;
    e.openPort(2);
    e.form.IsrActive = True;
    e.form.ConfigComPort_Click();
    EXPECT_EQ(lastOf(e.debug()), "Com setup attempt failed, timer stopped. --> Try again !");
    EXPECT_FALSE(e.window().timer2().enabled);
    EXPECT_FALSE(e.window().portDialog().visible);
    EXPECT_EQ(e.form.PortOpen, True);
}

TEST(PortDialog, CancelKeepsTheNewSpeedForTheNextInitialize)
{
    Engine e;
    e.form.ConfigComPort_Click();
    e.form.ComBaudBtn_Click(5);
    EXPECT_EQ(e.form.ComSpeed, 5);
    EXPECT_TRUE(e.calls.empty());  // speed buttons do not touch the port
    e.form.Cancel1_Click();
    EXPECT_EQ(lastOf(e.debug()), "Comms selection cancelled.");
    EXPECT_FALSE(e.window().portDialog().visible);
    EXPECT_EQ(e.form.PortOpen, False);
    e.form.ConfigComPort_Click();
    e.form.Initialize_Click();
    EXPECT_EQ(e.text(TextId::Text2), "COM2: at 115.2 kbaud");
}

