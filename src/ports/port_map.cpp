#include "ports/port_map.h"

#include "ports/ports_conf.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <windows.h>

#include <string>
#endif

namespace flash3 {

namespace {

struct PortMapState {
    std::optional<PortMapPaths> testPaths;
    QHash<int, QString> commandLine;
    bool loaded = false;
    QHash<int, FileBinding> user;
    QHash<int, FileBinding> system;
    QStringList warnings;
};

PortMapState& state()
{
    static PortMapState s;
    return s;
}


// Opens a ports.conf to read. No file there is the usual cas one binds
// nothing: any other such variable is a binding someone meant and did not get.
void checkEnvironment(QStringList& warnings)
{
    const QString prefix = QStringLiteral("FLASH3_COM");
    QStringList names = QProcessEnvironment::systemEnvironment().keys();
    names.sort();
    for (const QString& name : names) {
        if (!name.startsWith(prefix))
            continue;
        const QString number = name.mid(prefix.size());
        bool ok = false;
        const int com = number.toInt(&ok);
        if (!ok || com < 1 || com > 99 || QString::number(com) != number)
            warnings << name + QStringLiteral(" in the environment: ") + number
                    + QStringLiteral(" is not a COM number 1..99; ignored");
        else if (qEnvironmentVariableIsEmpty(name.toLatin1().constData()))
            warnings << name + QStringLiteral(" in the environment has no device path; ignored");
    }
}

void loadFiles()
{
    PortMapState& s = state();
    if (s.loaded)
        return;
    s.loaded = true;
    checkEnvironment(s.warnings);
    const PortMapPaths paths = portMapPaths();
    readPortsConf(paths.userFile, s.user, s.warnings);
    readPortsConf(paths.systemFile, s.system, s.warnings);
}

QString defaultDevice(int comPort)
{
#ifdef Q_OS_WIN
    return comPort >= 1 && comPort <= 99 ? QStringLiteral("\\\\.\\COM%1").arg(comPort) : QString();
#else
    const QString folder = portMapPaths().deviceFolder;
    if (comPort >= 1 && comPort <= 32)
        return QStringLiteral("%1/ttyS%2").arg(folder, QString::number(comPort - 1));
    if (comPort >= 33 && comPort <= 64)
        return QStringLiteral("%1/ttyUSB%2").arg(folder, QString::number(comPort - 33));
    if (comPort >= 65 && comPort <= 96)
        return QStringLiteral("%1/ttyACM%2").arg(folder, QString::number(comPort - 65));
    return QString();
#endif
}

#ifdef Q_OS_WIN
// The number of the COM port `path` names ("COM5", "com5", "\\.\COM5"); 0 for any other path.
int windowsComNumber(const QString& path)
{
    static const QRegularExpression com(QStringLiteral("^(?:\\\\\\\\[.?]\\\\)?COM([1-9]\\d*)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const auto m = com.match(path);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

// Whether Windows has a COM N now. Every port driver (a USB adapter, a virtual
// port, Wine's mapped ports) names its port in the device namespace, while
// Qt's listing walks the Plug and Play tree and misses some of them.
bool windowsComPresent(int comPort)
{
    const std::wstring name = L"COM" + std::to_wstring(comPort);
    wchar_t target[1024];
    return QueryDosDeviceW(name.c_str(), target, 1024) != 0 || GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}
#endif

// One name per device, empty when it is not there: the file a link leads to;
// on Windows a COM port's \\.\COM<N>, however it was written.
QString canonical(const QString& path)
{
#ifdef Q_OS_WIN
    if (const int n = windowsComNumber(path); n > 0)
        return windowsComPresent(n) ? QStringLiteral("\\\\.\\COM") + QString::number(n) : QString();
#endif
    // exists() follows links: one that leads nowhere, or round in a circle,
    // names no device (Qt would still make a path of it).
    if (path.isEmpty() || !QFileInfo::exists(path))
        return QString();
    return QFileInfo(path).canonicalFilePath();
}

// Canonical device path -> its /dev/serial/by-id name.
QHash<QString, QString> byIdNames()
{
    QHash<QString, QString> names;
    const QDir dir(portMapPaths().deviceFolder + QStringLiteral("/serial/by-id"));
    for (const QFileInfo& link : dir.entryInfoList(QDir::Files | QDir::System, QDir::Name)) {
        const QString target = link.canonicalFilePath();
        if (!target.isEmpty() && !names.contains(target))
            names.insert(target, link.absoluteFilePath());
    }
    return names;
}

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

} // namespace

QString ComBinding::origin() const
{
    switch (source) {
    case BindingSource::None:
        return QStringLiteral("no binding");
    case BindingSource::Default:
        return QStringLiteral("default");
    case BindingSource::CommandLine:
        return QStringLiteral("--device");
    case BindingSource::Environment:
        return QStringLiteral("FLASH3_COM%1 in the environment").arg(comPort);
    case BindingSource::UserFile:
    case BindingSource::SystemFile:
        return QStringLiteral("%1 line %2").arg(file, QString::number(line));
    }
    return QString();
}

PortMapPaths portMapPaths()
{
    if (state().testPaths)
        return *state().testPaths;
    PortMapPaths p;
    p.deviceFolder = qEnvironmentVariable("FLASH3_DEV_DIR", QStringLiteral("/dev"));
#ifdef Q_OS_WIN
    // Where Windows keeps settings: the user's roaming profile, then the machine's.
    QString appData = qEnvironmentVariable("APPDATA");
    if (appData.isEmpty())
        appData = QDir::homePath() + QStringLiteral("/AppData/Roaming");
    const QString programData = qEnvironmentVariable("PROGRAMDATA", QStringLiteral("C:\\ProgramData"));
    p.userFile = QDir::toNativeSeparators(appData + QStringLiteral("/flash3/ports.conf"));
    p.systemFile = QDir::toNativeSeparators(programData + QStringLiteral("/flash3/ports.conf"));
#else
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    p.userFile = config + QStringLiteral("/flash3/ports.conf");
    p.systemFile = QStringLiteral("/etc/flash3/ports.conf");
#endif
    return p;
}

void setPortMapPathsForTesting(const std::optional<PortMapPaths>& paths)
{
    PortMapState& s = state();
    s.testPaths = paths;
    s.commandLine.clear();
    s.loaded = false;
    s.user.clear();
    s.system.clear();
    s.warnings.clear();
}

ComBinding bindingForCom(int comPort)
{
    ComBinding b;
    b.comPort = comPort;
    PortMapState& s = state();
    if (const auto it = s.commandLine.constFind(comPort); it != s.commandLine.constEnd()) {
        b.path = *it;
        b.source = BindingSource::CommandLine;
        return b;
    }
    const QByteArray env = qgetenv(QStringLiteral("FLASH3_COM%1").arg(comPort).toLatin1().constData());
    if (!env.isEmpty()) {
        b.path = QString::fromLocal8Bit(env);
        b.source = BindingSource::Environment;
        return b;
    }
    loadFiles();
    for (const auto& [files, source, file] :
         {std::tuple{&s.user, BindingSource::UserFile, portMapPaths().userFile},
          std::tuple{&s.system, BindingSource::SystemFile, portMapPaths().systemFile}}) {
        if (const auto it = files->constFind(comPort); it != files->constEnd()) {
            b.path = it->path;
            b.source = source;
            b.file = file;
            b.line = it->line;
            return b;
        }
    }
    b.path = defaultDevice(comPort);
    b.source = b.path.isEmpty() ? BindingSource::None : BindingSource::Default;
    return b;
}

QString devicePathForCom(int comPort)
{
    return bindingForCom(comPort).path;
}

void bindComToDevice(int comPort, const QString& path)
{
    state().commandLine.insert(comPort, path);
}

QStringList portMapWarnings()
{
    loadFiles();
    return state().warnings;
}

QList<ListedPort> listSerialPorts()
{
    QHash<QString, QList<int>> comsOf;  // canonical device path -> COM numbers
    QList<ComBinding> bound;             // bindings, and default devices that are there
    for (int n = 1; n <= 99; ++n) {
        const ComBinding b = bindingForCom(n);
        const QString c = canonical(b.path);
        if (!c.isEmpty())
            comsOf[c] << n;
        if ((b.source != BindingSource::Default && b.source != BindingSource::None) || !c.isEmpty())
            bound << b;
    }
    const QHash<QString, QString> byId = byIdNames();

    QList<ListedPort> result;
    QStringList seen;
    const auto add = [&](ListedPort port) {
        const QString c = canonical(port.devicePath);
        port.comPorts = comsOf.value(c);
        port.comPort = port.comPorts.value(0, 0);
        port.byIdPath = byId.value(c);
        seen << c;
        result << port;
    };
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        ListedPort port;
        port.devicePath = info.systemLocation();
        port.description = info.description();
        port.manufacturer = info.manufacturer();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            port.usbId = hex4(info.vendorIdentifier()) + QLatin1Char(':') + hex4(info.productIdentifier());
        port.serialNumber = info.serialNumber();
        add(port);
    }
    // Devices the system does not enumerate (a pseudo-terminal, say) that a
    // binding names are ports too; a binding whose device is missing is listed
    // as such.
    for (const ComBinding& b : bound) {
        const QString c = canonical(b.path);
        if (!c.isEmpty() && seen.contains(c))
            continue;
        ListedPort port;
        port.devicePath = b.path;
        if (b.source != BindingSource::Default)
            port.origin = b.origin();
        port.present = !c.isEmpty();
        if (port.present) {
            add(port);
        } else {
            port.comPorts = {b.comPort};
            port.comPort = b.comPort;
            result << port;
        }
    }
    // A device that a binding names is listed with where that binding comes
    // from, even when a default number stands for it too.
    for (ListedPort& port : result) {
        if (!port.present || !port.origin.isEmpty())
            continue;
        const QString c = canonical(port.devicePath);
        for (const ComBinding& b : bound) {
            if (b.source != BindingSource::Default && canonical(b.path) == c) {
                port.origin = b.origin();
                break;
            }
        }
    }
    std::stable_sort(result.begin(), result.end(), [](const ListedPort& a, const ListedPort& b) {
        if (a.present != b.present)
            return a.present;
        if ((a.comPort == 0) != (b.comPort == 0))
            return a.comPort != 0;
        return a.comPort != b.comPort ? a.comPort < b.comPort : a.devicePath < b.devicePath;
    });
    return result;
}

bool sameDevice(const QString& a, const QString& b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
#ifdef Q_OS_UNIX
    struct stat sa{};
    struct stat sb{};
    const bool hasA = ::stat(QFile::encodeName(a).constData(), &sa) == 0;
    const bool hasB = ::stat(QFile::encodeName(b).constData(), &sb) == 0;
    if (hasA && hasB) {
        if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode))
            return sa.st_rdev == sb.st_rdev;
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    if (hasA != hasB)
        return false;
#endif
    const QFileInfo fa(a), fb(b);
    const QString ca = fa.exists() ? fa.canonicalFilePath() : fa.absoluteFilePath();
    const QString cb = fb.exists() ? fb.canonicalFilePath() : fb.absoluteFilePath();
#ifdef Q_OS_WIN
    return QDir::cleanPath(ca).compare(QDir::cleanPath(cb), Qt::CaseInsensitive) == 0;
#else
    return QDir::cleanPath(ca) == QDir::cleanPath(cb);
#endif
}

QString describeCom(int comPort)
{
    const ComBinding b = bindingForCom(comPort);
    if (b.path.isEmpty())
        return QStringLiteral("COM %1 stands for no device: bind one in ports.conf").arg(comPort);
    const QString c = canonical(b.path);
    if (c.isEmpty())
        return b.path + QStringLiteral(" - not present");
    QStringList parts{b.path};
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (canonical(info.systemLocation()) != c)
            continue;
        if (!info.description().isEmpty())
            parts << info.description();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            parts << hex4(info.vendorIdentifier()) + QLatin1Char(':') + hex4(info.productIdentifier());
        if (!info.serialNumber().isEmpty())
            parts << info.serialNumber();
        break;
    }
    if (parts.size() == 1)
        parts << QStringLiteral("present");
    return parts.join(QStringLiteral(" - "));
}

} // namespace flash3
