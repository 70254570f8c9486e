#pragma once
// What a virtual device writes to its --log file.

#include "sim_device.h"

#include "protocol/wire.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace flash3sim {

// A hex trace of the line, appended to the --log file.
class TraceLog {
public:
    explicit TraceLog(Clock::time_point start) : start_(start) {}
    ~TraceLog()
    {
        if (file_)
            std::fclose(file_);
    }
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    bool open(const std::string& path)
    {
        file_ = std::fopen(path.c_str(), "a");
        return file_ != nullptr;
    }
    void bytes(const char* direction, const uint8_t* data, std::size_t count)
    {
        if (!file_ || count == 0)
            return;
        stamp();
        std::fputs(direction, file_);
        for (std::size_t i = 0; i < count; ++i)
            std::fprintf(file_, " %s", flash3::hexByte(data[i]).c_str());
        std::fputc('\n', file_);
        std::fflush(file_);
    }
    void note(const std::string& text)
    {
        if (!file_)
            return;
        stamp();
        std::fprintf(file_, "-- %s\n", text.c_str());
        std::fflush(file_);
    }

private:
    void stamp()
    {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count();
        std::fprintf(file_, "%10.3f ", static_cast<double>(us) / 1000.0);
    }

    Clock::time_point start_;
    std::FILE* file_ = nullptr;
};

} // namespace flash3sim
