#include "sample_image.h"

#include "sim_device.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace flash3sim {

namespace {

void appendRecord(std::string& out, char type, uint8_t value)
{
    char buf[5];
    std::snprintf(buf, sizeof buf, "%c%02X:", type, value);
    out += buf;
}

} // namespace

std::string makeSampleImage(const SampleOptions& options)
{
    ByteSource source(options.seed);
    std::string out;
    out.reserve(static_cast<std::size_t>(options.lines) * (static_cast<std::size_t>(options.burst) + 2) * 4);
    for (int line = 0; line < options.lines; ++line) {
        uint8_t check = 0;
        for (int i = 0; i < options.burst; ++i) {
            const uint8_t b = source.next();
            check ^= b;
            appendRecord(out, 'T', b);
        }
        appendRecord(out, 'R', check);
        out += "E\r\n:";
    }
    return out;
}

bool writeSampleImage(const std::string& path, const SampleOptions& options, std::string& error)
{
    const std::string bytes = makeSampleImage(options);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

} // namespace flash3sim
