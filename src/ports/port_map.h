#pragma once
// Which serial device a COM number stands for, and what is there.
//
// With no set-up, COM 1-32 stand for ttyS0-31, COM 33-64 for ttyUSB0-31 and
// COM 65-96 for ttyACM0-31 (\\.\COM<N> on Windows); COM 97-99 stand for
// nothing until bound. A binding overrides that; the first found wins:
//   --device PATH (flash3-cli, for one run),
//   FLASH3_COM<N>=PATH in the environment,
//   a line COM<N>=PATH in $XDG_CONFIG_HOME/flash3/ports.conf (~/.config/...),
//   a line COM<N>=PATH in /etc/flash3/ports.conf.
// The programs only read these files; a bad line is reported and ignored.

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace flash3 {

enum class BindingSource { None, Default, CommandLine, Environment, UserFile, SystemFile };

struct ComBinding {
    int comPort = 0;
    QString path;  // empty: the number stands for no device
    BindingSource source = BindingSource::None;
    QString file;  // the ports.conf file and line it came from
    int line = 0;
    // Where the binding comes from, in words: "default", "FLASH3_COM5 in the
    // environment", "/etc/flash3/ports.conf line 3", ...
    QString origin() const;
};

ComBinding bindingForCom(int comPort);
QString devicePathForCom(int comPort);

// Binds COM `comPort` to `path` for this process (the CLI's --device).
void bindComToDevice(int comPort, const QString& path);

// Lines of the ports.conf files that were ignored, as "FILE:LINE: what is wrong".
QStringList portMapWarnings();

// Where the mapping looks. Tests point these at folders of their own.
struct PortMapPaths {
    QString deviceFolder;  // where ttyS0 etc. live: /dev (or FLASH3_DEV_DIR)
    QString userFile;
    QString systemFile;
};
PortMapPaths portMapPaths();
// Replaces the paths (nothing: the real ones again) and forgets what was read
// and bound.
void setPortMapPathsForTesting(const std::optional<PortMapPaths>& paths);

struct ListedPort {
    int comPort = 0;        // the first COM number that stands for it; 0 when none does
    QList<int> comPorts;    // every COM number that stands for it
    QString devicePath;
    QString byIdPath;       // its /dev/serial/by-id name, where there is one
    QString description;
    QString manufacturer;
    QString usbId;          // "VID:PID" in hex, where known
    QString serialNumber;
    bool present = true;    // false: a binding names a device that is not there
    QString origin;         // for a binding: where it comes from
};
// The serial ports present, then the bindings whose device is missing.
QList<ListedPort> listSerialPorts();

// Whether two paths name one device, whatever the names: character devices
// by their device number (two nodes made for one device are one port), any
// other file by its file system and inode; a path that names nothing yet is
// compared by name.
bool sameDevice(const QString& a, const QString& b);

// One line saying what COM `comPort` stands for, for the port dialog:
// "/dev/ttyUSB0 - FT232R USB UART - 0403:6001 - A50285BI", "/dev/ttyS4 - not present".
QString describeCom(int comPort);

} // namespace flash3
