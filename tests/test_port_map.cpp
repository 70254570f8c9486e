// What a COM number stands for: the default ranges, the bindings and their
// precedence, the ports.conf files, and what the port list and dialog say.

#include "engine_harness.h"
#include "qt_print.h"

#include "ports/port_map.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace flash3;
using namespace flash3::testing;

namespace {

// A device folder and two ports.conf files of the test's own.
struct MapFixture : ::testing::Test {
    QTemporaryDir dir;
    PortMapPaths paths;

    void SetUp() override
    {
        for (int n : {1, 2, 5, 33, 34, 65, 97, 98, 99})
            qunsetenv(QStringLiteral("FLASH3_COM%1").arg(n).toLatin1().constData());
        QDir(dir.path()).mkpath("dev/serial/by-id");
        paths = {dir.filePath("dev"), dir.filePath("user/ports.conf"), dir.filePath("etc/ports.conf")};
        setPortMapPathsForTesting(paths);
    }
    void TearDown() override { setPortMapPathsForTesting(std::nullopt); }

    QString write(const QString& path, const QByteArray& text)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
        f.close();
        setPortMapPathsForTesting(paths);  // forget what was read
        return path;
    }
    QString dev(const QString& name) const { return paths.deviceFolder + "/" + name; }
};

} // namespace

namespace {

struct RangeCase {
    int com;
    const char* name;
};

class DefaultRange : public MapFixture, public ::testing::WithParamInterface<RangeCase> {};

// Each case is reported by its name.
void PrintTo(const RangeCase& c, std::ostream* os)
{
    *os << "COM" << c.com << "Is" << c.name;
}

} // namespace

TEST_P(DefaultRange, CoversSerialUsbAndAcmDevices)
{
    const ComBinding b = bindingForCom(GetParam().com);
    EXPECT_EQ(b.path, dev(QString::fromLatin1(GetParam().name)));
    EXPECT_EQ(b.source, BindingSource::Default);
    EXPECT_EQ(b.origin(), "default");
}

INSTANTIATE_TEST_SUITE_P(MapFixture, DefaultRange,
                         ::testing::Values(RangeCase{1, "ttyS0"}, RangeCase{2, "ttyS1"}, RangeCase{32, "ttyS31"},
                                           RangeCase{33, "ttyUSB0"}, RangeCase{34, "ttyUSB1"},
                                           RangeCase{64, "ttyUSB31"}, RangeCase{65, "ttyACM0"},
                                           RangeCase{96, "ttyACM31"}));

TEST_F(MapFixture, NumbersPastTheDefaultRangesStandForNone)
{
    for (int com : {97, 98, 99}) {
        EXPECT_TRUE(devicePathForCom(com).isEmpty()) << com;
        EXPECT_EQ(bindingForCom(com).source, BindingSource::None);
    }
}

TEST_F(MapFixture, FirstBindingFoundWins)
{
    write(paths.systemFile, "COM5=/dev/from-system\nCOM33=/dev/system-33\nCOM34=/dev/system-34\n");
    write(paths.userFile, "# my adapters\n\nCOM5 = /dev/from-user\nCOM33=/dev/serial/by-id/usb-x\n");
    qputenv("FLASH3_COM33", "/dev/from-env");
    const ComBinding env = bindingForCom(33);
    EXPECT_EQ(env.path, "/dev/from-env");
    EXPECT_EQ(env.origin(), "FLASH3_COM33 in the environment");
    qunsetenv("FLASH3_COM33");
    EXPECT_EQ(devicePathForCom(33), "/dev/serial/by-id/usb-x");
    const ComBinding user = bindingForCom(5);
    EXPECT_EQ(user.path, "/dev/from-user");
    EXPECT_EQ(user.origin(), paths.userFile + " line 3");
    const ComBinding system = bindingForCom(34);
    EXPECT_EQ(system.path, "/dev/system-34");
    EXPECT_EQ(system.origin(), paths.systemFile + " line 3");
    EXPECT_EQ(devicePathForCom(2), dev("ttyS1"));
    bindComToDevice(98, "/dev/from-command-line");
    qputenv("FLASH3_COM98", "/dev/from-env");
    EXPECT_EQ(devicePathForCom(98), "/dev/from-command-line");
    qunsetenv("FLASH3_COM98");
    EXPECT_TRUE(portMapWarnings().isEmpty()) << portMapWarnings().join('\n').toStdString();
}

TEST_F(MapFixture, BadLinesAreReportedAndIgnored)
{
    // The environment's bindings that are never looked up, or bind nothing, too.
    qputenv("FLASH3_COM0", "/dev/x");
    qputenv("FLASH3_COM100", "/dev/y");
    qputenv("FLASH3_COM6", "");
    write(paths.userFile, "COM7=/dev/good\nCOM 8\nCOM0=/dev/x\nCOM100=/dev/y\nCOM9=\nCOM7=/dev/again\nttyUSB0\n");
    EXPECT_EQ(devicePathForCom(7), "/dev/good");
    EXPECT_EQ(devicePathForCom(9), dev("ttyS8"));
    EXPECT_EQ(devicePathForCom(6), dev("ttyS5"));
    const QStringList warnings = portMapWarnings();
    for (const char* name : {"FLASH3_COM0", "FLASH3_COM100", "FLASH3_COM6"})
        qunsetenv(name);
    const QString f = paths.userFile;
    EXPECT_EQ(warnings,
              (QStringList{"FLASH3_COM0 in the environment: 0 is not a COM number 1..99; ignored",
                           "FLASH3_COM100 in the environment: 100 is not a COM number 1..99; ignored",
                           "FLASH3_COM6 in the environment has no device path; ignored",
                           f + ":2: not COM<N>=PATH: \"COM 8\"; line ignored",
                           f + ":3: COM0 is not a COM number 1..99; line ignored",
                           f + ":4: COM100 is not a COM number 1..99; line ignored",
                           f + ":5: COM9 has no device path; line ignored",
                           f + ":6: COM7 is bound already on line 1; line ignored",
                           f + ":7: not COM<N>=PATH: \"ttyUSB0\"; line ignored"}));
}

// A ports.conf that is there but cannot be read is reported like a bad line,
// and the next binding found is used; nothing but a regular file is opened.
TEST_F(MapFixture, FilesThatCannotBeReadAreReportedAndIgnored)
{
    write(paths.systemFile, "COM5=/dev/from-system\n");
    const QString f = paths.userFile;
    const QByteArray name = QFile::encodeName(f);
    const auto warningsFor = [&](const std::function<void()>& make) {
        QDir(QFileInfo(f).path()).removeRecursively();
        QDir().mkpath(QFileInfo(f).path());
        make();
        setPortMapPathsForTesting(paths);
        return portMapWarnings();
    };

    EXPECT_EQ(warningsFor([&] { QDir().mkpath(f); }),
              QStringList{f + ": is a directory, not a regular file; file ignored"});
    EXPECT_EQ(devicePathForCom(5), "/dev/from-system");
    // A FIFO would block the open until someone writes to it.
    EXPECT_EQ(warningsFor([&] { ASSERT_EQ(::mkfifo(name.constData(), 0600), 0); }),
              QStringList{f + ": is a FIFO, not a regular file; file ignored"});
    const QString gone = dir.filePath("user/gone.conf");
    EXPECT_EQ(warningsFor([&] { ASSERT_TRUE(QFile::link(gone, f)); }),
              QStringList{f + ": is a symbolic link to " + gone + ", which is not there; file ignored"});
    EXPECT_EQ(warningsFor([&] {
                  ASSERT_TRUE(QFile::link(f + ".other", f));
                  ASSERT_TRUE(QFile::link(f, f + ".other"));
              }),
              QStringList{f + ": cannot be read: " + QString::fromLocal8Bit(std::strerror(ELOOP)) + "; file ignored"});

    // Another user's file of mode 600: as root, read as that other user, who
    // may search the folders on the way (else the file could as well not be
    // there, and nothing is said).
    const bool asOther = ::geteuid() == 0;
    bool otherSeesFolder = true;
    const QStringList unreadable = warningsFor([&] {
        write(f, "COM5=/dev/from-user\n");
        ASSERT_EQ(::chmod(name.constData(), asOther ? 0600 : 0), 0);
        if (asOther) {
            ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
            ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(f).path()).constData(), 0755), 0);
            ASSERT_EQ(::seteuid(65534), 0);
            struct stat st{};
            otherSeesFolder = ::stat(QFile::encodeName(QFileInfo(f).path()).constData(), &st) == 0;
        }
    });
    if (asOther) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    if (otherSeesFolder)
        EXPECT_EQ(unreadable.value(0),
                  f + ": cannot be read: " + QString::fromLocal8Bit(std::strerror(EACCES)) + "; file ignored")
            << unreadable.join('\n').toStdString();
    else
        std::printf("note: user 65534 cannot reach %s: the unreadable file's case is not judged\n", name.constData());

    // No file at all, or no folder for it (HOME=/dev/null), is the usual
    // case: nothing to say.
    EXPECT_TRUE(warningsFor([] {}).isEmpty());
    paths.userFile = "/dev/null/.config/flash3/ports.conf";
    setPortMapPathsForTesting(paths);
    EXPECT_TRUE(portMapWarnings().isEmpty()) << portMapWarnings().join('\n').toStdString();
}

// A pseudo-terminal stands in for an adapter: present when bound, and the
// port list names every COM number that stands for it.
TEST_F(MapFixture, PortListAndDialogLineSayWhatIsThere)
{
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    const QString pty = QString::fromLatin1(name);
    ASSERT_TRUE(QFile::link(pty, dev("ttyUSB0")));
    ASSERT_TRUE(QFile::link(pty, dev("serial/by-id/usb-Maker_Adapter_A50285BI-if00-port0")));
    // A link that leads round in a circle names nothing.
    ASSERT_TRUE(QFile::link(dev("loop-a"), dev("loop-b")));
    ASSERT_TRUE(QFile::link(dev("loop-b"), dev("loop-a")));
    write(paths.userFile, "COM97=" + pty.toLatin1() + "\nCOM98=/dev/flash3-nothing-here\nCOM99="
                              + dev("loop-a").toLatin1() + "\n");

    const QList<ListedPort> ports = listSerialPorts();
    const auto find = [&](const QString& path) {
        for (const ListedPort& p : ports)
            if (p.devicePath == path || (QFileInfo(p.devicePath).canonicalFilePath() == path && p.present))
                return p;
        ListedPort none;
        none.present = false;
        return none;
    };
    const ListedPort adapter = find(pty);
    EXPECT_TRUE(adapter.present);
    EXPECT_EQ(adapter.comPorts, (QList<int>{33, 97}));
    EXPECT_EQ(adapter.byIdPath, dev("serial/by-id/usb-Maker_Adapter_A50285BI-if00-port0"));
    EXPECT_EQ(adapter.origin, paths.userFile + " line 1");
    const ListedPort missing = find("/dev/flash3-nothing-here");
    EXPECT_FALSE(missing.present);
    EXPECT_EQ(missing.comPorts, QList<int>{98});
    const ListedPort loop = find(dev("loop-a"));
    EXPECT_FALSE(loop.present);
    EXPECT_EQ(loop.comPorts, QList<int>{99});
    ASSERT_FALSE(ports.isEmpty());
    EXPECT_FALSE(lastOf(ports).present) << "missing bindings come last";

    EXPECT_EQ(describeCom(33), dev("ttyUSB0") + " - present");
    EXPECT_EQ(describeCom(34), dev("ttyUSB1") + " - not present");
    EXPECT_EQ(describeCom(99), dev("loop-a") + " - not present");
    write(paths.userFile, "");
    EXPECT_EQ(describeCom(99), "COM 99 stands for no device: bind one in ports.conf");
    ::close(slave);
    ::close(master);
}
