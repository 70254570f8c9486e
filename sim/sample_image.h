#pragma once
// Writes sample images for demos and tests: each line is a burst of bytes for
// the host to send, one answer from the device, and a line end.

#include <cstdint>
#include <string>

namespace flash3sim {

struct SampleOptions {
    int lines = 300;
    int burst = 16;     // host bytes per line
    uint32_t seed = 1;
};

// The answer to a line is the XOR of its bytes, so a checker can tell a
// reordered or dropped byte from a good line.
std::string makeSampleImage(const SampleOptions& options);
bool writeSampleImage(const std::string& path, const SampleOptions& options, std::string& error);

} // namespace flash3sim
