#include "serial/com_path.h"

#include <cstdlib>
#include <map>

#ifdef _WIN32
#include <windows.h>
#endif

namespace flash3 {

namespace {
std::map<int, std::string>& bindings()
{
    static std::map<int, std::string> map;
    return map;
}

std::string environmentValue(int comPort)
{
    const std::string name = "FLASH3_COM" + std::to_string(comPort);
#ifdef _WIN32
    // The wide environment keeps names outside the ANSI code page intact.
    const std::wstring wideName(name.begin(), name.end());
    const DWORD length = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (length == 0)
        return {};
    std::wstring value(length, L'\0');
    const DWORD got = GetEnvironmentVariableW(wideName.c_str(), value.data(), length);
    if (got == 0 || got >= length)
        return {};
    value.resize(got);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, value.data(), static_cast<int>(value.size()), utf8.data(), bytes, nullptr,
                            nullptr);
    return utf8;
#else
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
#endif
}
} // namespace

std::string defaultComDevicePath(int comPort)
{
#ifdef _WIN32
    return "\\\\.\\COM" + std::to_string(comPort);
#else
    return "/dev/ttyS" + std::to_string(comPort - 1);
#endif
}

std::string comDevicePath(int comPort)
{
    const auto bound = bindings().find(comPort);
    if (bound != bindings().end())
        return bound->second;
    std::string env = environmentValue(comPort);
    if (!env.empty())
        return env;
    return defaultComDevicePath(comPort);
}

void bindComDevicePath(int comPort, const std::string& path)
{
    bindings()[comPort] = path;
}

} // namespace flash3
