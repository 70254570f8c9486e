#include "serial/port_map.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

namespace flash3 {

namespace {
QHash<int, QString>& bindings()
{
    static QHash<int, QString> map;
    return map;
}

QString defaultDevice(int comPort)
{
#ifdef Q_OS_WIN
    return QStringLiteral("\\\\.\\COM%1").arg(comPort);
#else
    return QStringLiteral("/dev/ttyS%1").arg(comPort - 1);
#endif
}
} // namespace

QString devicePathForCom(int comPort)
{
    const auto bound = bindings().constFind(comPort);
    if (bound != bindings().constEnd())
        return *bound;
    const QByteArray env = qgetenv(QStringLiteral("FLASH3_COM%1").arg(comPort).toLatin1().constData());
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    return defaultDevice(comPort);
}

void bindComToDevice(int comPort, const QString& path)
{
    bindings().insert(comPort, path);
}

QList<ListedPort> listSerialPorts()
{
    QList<ListedPort> result;
    QHash<QString, int> comOf;  // canonical device path -> COM number
    for (int n = 1; n <= 99; ++n) {
        const QString path = devicePathForCom(n);
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (!canonical.isEmpty() && !comOf.contains(canonical))
            comOf.insert(canonical, n);
    }
    QStringList seen;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        ListedPort port;
        port.devicePath = info.systemLocation();
        port.description = info.description();
        port.comPort = comOf.value(QFileInfo(port.devicePath).canonicalFilePath(), 0);
        seen << QFileInfo(port.devicePath).canonicalFilePath();
        result << port;
    }
    // Ports bound through the environment (a pseudo-terminal, say) are not
    // enumerated by the system; list them too.
    for (auto it = comOf.constBegin(); it != comOf.constEnd(); ++it) {
        if (seen.contains(it.key()) || devicePathForCom(it.value()) == defaultDevice(it.value()))
            continue;
        result << ListedPort{it.value(), devicePathForCom(it.value()), QStringLiteral("bound by FLASH3_COM%1").arg(it.value())};
    }
    std::sort(result.begin(), result.end(), [](const ListedPort& a, const ListedPort& b) {
        if ((a.comPort == 0) != (b.comPort == 0))
            return a.comPort != 0;
        return a.comPort != b.comPort ? a.comPort < b.comPort : a.devicePath < b.devicePath;
    });
    return result;
}

} // namespace flash3
