#pragma once
// Which serial device a COM number stands for.
//   FLASH3_COM<N>=PATH in the environment binds COM N to PATH;
//   otherwise COM N is /dev/ttyS<N-1> on Linux and \\.\COM<N> on Windows.

#include <QString>
#include <QList>

namespace flash3 {

QString devicePathForCom(int comPort);

// Binds COM `comPort` to `path` for this process (the CLI's --device).
void bindComToDevice(int comPort, const QString& path);

struct ListedPort {
    int comPort = 0;        // 0 when the device stands for no COM number 1..99
    QString devicePath;
    QString description;
};
// The serial ports present, with the COM numbers they stand for.
QList<ListedPort> listSerialPorts();

} // namespace flash3
