#include "ports/system_backend.h"

#include "ports/port_map.h"

#include <QFile>

namespace flash3 {

namespace {
std::string portMapPath(int32_t comPort)
{
#ifdef Q_OS_WIN
    return devicePathForCom(comPort).toStdString();  // the Win32 backend takes UTF-8
#else
    return QFile::encodeName(devicePathForCom(comPort)).toStdString();
#endif
}
} // namespace

SystemBackend::SystemBackend() : PlatformSerialBackend(portMapPath) {}

} // namespace flash3
