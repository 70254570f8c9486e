#pragma once
// Which device a COM number stands for, as the real backends ask it: through a
// lookup handed to them. The programs hand them port_map's (COM ranges,
// bindings, ports.conf; see ports/system_backend.h); this plain one, free of Qt, is
// the default where Qt is absent (the Windows cross build):
//   a binding made in this process wins;
//   then FLASH3_COM<N>=PATH in the environment;
//   otherwise COM N is /dev/ttyS<N-1> on Linux and \\.\COM<N> on Windows.
// Paths are bytes as the system takes them: as given on Linux, UTF-8 on Windows;
// an empty path means the number stands for no device.

#include <cstdint>
#include <functional>
#include <string>

namespace flash3 {

using ComPathLookup = std::function<std::string(int32_t comPort)>;

std::string comDevicePath(int comPort);

// What COM `comPort` stands for when neither a binding nor the environment says.
std::string defaultComDevicePath(int comPort);

// Binds COM `comPort` to `path` for this process.
void bindComDevicePath(int comPort, const std::string& path);

} // namespace flash3
