#pragma once
// The flash3-sim program: command line, pseudo-terminal and event loop around
// the Device logic. main() only calls runMain(), so the tests can run the whole
// program in a child process.

#include "sample_image.h"
#include "sim_device.h"

#include <string>
#include <vector>

namespace flash3sim {

constexpr int kMaxStationDevices = 128;

// What one device of a station is told: the shared fault options with those
// aimed at it (VALUE@K) laid over them.
struct StationDevice {
    DeviceConfig device;
    int chatterMs = 0;
};

struct SimOptions {
    std::string image;        // empty: echo mode
    std::string link;
    double timeoutSec = 0;    // 0: run until the session ends or a signal
    bool persist = false;
    DeviceConfig device;
    int chatterMs = 0;
    std::string logPath;
    std::string writeSample;  // set: write a sample image and exit
    SampleOptions sample;
    bool help = false;
    bool version = false;

    int devices = 0;          // --devices N; 0: the one device of old
    std::string linkPrefix;   // device K is linked as linkPrefix + K
    std::vector<StationDevice> station;  // one per device when devices > 0
};

// Returns false with a message for the user on any bad option.
bool parseArguments(int argc, char** argv, SimOptions& options, std::string& error);
std::string usageText();

// The exit status: 0 when the session passed (with --devices: every device's),
// 1 when it did not, 2 on a usage or setup error.
int runMain(int argc, char** argv);

} // namespace flash3sim
