#include "sample_image.h"

#include "sim_device.h"

#include "image/record.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace flash3sim {

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
            out += flash3::recordText(flash3::RecordKind::Send, b);
        }
        out += flash3::recordText(flash3::RecordKind::Expect, check);
        out += flash3::recordText(flash3::RecordKind::LineEnd);
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
