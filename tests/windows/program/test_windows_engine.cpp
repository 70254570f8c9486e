// What the engine does differently on Windows, tried under Wine: which COM
// ports are there (Wine's registry maps FLASH3_TEST_PRESENT_COM; Qt's own
// listing finds none of its ports), the time of day, where ports.conf lives.

#include "app/text_format.h"
#include "ports/port_map.h"

#include "qt_print.h"

#include <QDateTime>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace flash3;

namespace {

// A COM number that Wine maps, for as long as the test's Wine prefix lives.
int presentCom()
{
    return qEnvironmentVariableIntValue("FLASH3_TEST_PRESENT_COM");
}

// ports.conf files of the test's own, and no FLASH3_COM<N> but those a test sets.
struct WindowsPorts : ::testing::Test {
    QTemporaryDir dir;
    void SetUp() override
    {
        ASSERT_GT(presentCom(), 9) << "ctest sets FLASH3_TEST_PRESENT_COM to a COM number Wine maps";
        setPortMapPathsForTesting(PortMapPaths{dir.filePath("dev"), dir.filePath("user.conf"), dir.filePath("etc.conf")});
    }
    void TearDown() override
    {
        qunsetenv("FLASH3_COM5");
        setPortMapPathsForTesting(std::nullopt);
    }
};

} // namespace

TEST_F(WindowsPorts, DialogLineSaysAMappedPortIsThereAndAnUnmappedOneIsNot)
{
    const QString present = QStringLiteral("\\\\.\\COM%1").arg(presentCom());
    EXPECT_EQ(describeCom(presentCom()), present + " - present");
    EXPECT_EQ(describeCom(77), "\\\\.\\COM77 - not present");
}

TEST_F(WindowsPorts, ListShowsThePortsThereUnderEveryComNumberThatNamesThem)
{
    // "com20" and "\\.\COM20" are one port.
    qputenv("FLASH3_COM5", QStringLiteral("com%1").arg(presentCom()).toLatin1());
    const QString device = QStringLiteral("\\\\.\\COM%1").arg(presentCom());
    bool listed = false;
    for (const ListedPort& port : listSerialPorts()) {
        EXPECT_NE(port.comPort, 77) << port.devicePath;
        if (port.comPorts.contains(presentCom())) {
            listed = true;
            EXPECT_TRUE(port.present);
            EXPECT_EQ(port.comPorts, (QList<int>{5, presentCom()}));
            EXPECT_EQ(port.origin, "FLASH3_COM5 in the environment");
        }
    }
    EXPECT_TRUE(listed) << "no listed port stands for COM " << presentCom();
}

TEST(WindowsPortsConf, LivesInTheUsersAndTheMachinesSettingsFolders)
{
    const QByteArray appData = qgetenv("APPDATA"), programData = qgetenv("PROGRAMDATA");
    qputenv("APPDATA", "C:\\Users\\tech\\AppData\\Roaming");
    qputenv("PROGRAMDATA", "D:/Data");
    const PortMapPaths paths = portMapPaths();
    qputenv("APPDATA", appData);
    qputenv("PROGRAMDATA", programData);
    EXPECT_EQ(paths.userFile, "C:\\Users\\tech\\AppData\\Roaming\\flash3\\ports.conf");
    EXPECT_EQ(paths.systemFile, "D:\\Data\\flash3\\ports.conf");
}

// Windows' own format would say "5:09:44 PM" in an English locale.
TEST(WindowsTime, TimeOfDayIsTwentyFourHour)
{
    struct ClockGuard {
        ~ClockGuard() { setClockForTesting({}); }
    } guard;
    const QDateTime evening(QDate(2026, 12, 8), QTime(17, 9, 44));
    setClockForTesting([&] { return evening.toMSecsSinceEpoch(); });
    EXPECT_EQ(timeOfDayText(), "17:09:44");
}
