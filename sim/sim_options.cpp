// flash3-sim's command line: the options, their checks and the help text.

#include "sim_runner.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace flash3sim {

namespace {

bool parseInt(const std::string& text, long low, long high, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0' && errno == 0 && value >= low && value <= high;
}

bool parseIntValue(const std::string& arg, const std::string& text, long low, long high, int& out,
                   std::string& error)
{
    long v = 0;
    if (!parseInt(text, low, high, v)) {
        error = arg + ": \"" + text + "\" is not a number from " + std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

bool isFaultOption(const std::string& arg)
{
    return arg == "--reply" || arg == "--noise" || arg == "--wrong-answer" || arg == "--no-answer" || arg == "--delay"
        || arg == "--chatter" || arg == "--unplug-at";
}

// Sets one fault option (without any @K) on a device's settings.
bool applyFault(const std::string& arg, const std::string& text, DeviceConfig& device, int& chatterMs,
                std::string& error)
{
    if (arg == "--reply") {
        std::string why;
        if (!parseReply(text, device.reply, why)) {
            error = "--reply: " + why;
            return false;
        }
        return true;
    }
    if (arg == "--noise")
        return parseIntValue(arg, text, 0, 1000000, device.noise, error);
    if (arg == "--wrong-answer")
        return parseIntValue(arg, text, 1, INT_MAX, device.wrongAnswer, error);
    if (arg == "--no-answer")
        return parseIntValue(arg, text, 1, INT_MAX, device.noAnswer, error);
    if (arg == "--delay")
        return parseIntValue(arg, text, 0, 600000, device.delayMs, error);
    if (arg == "--chatter")
        return parseIntValue(arg, text, 1, 600000, chatterMs, error);
    return parseIntValue(arg, text, 0, INT_MAX, device.unplugAt, error);  // --unplug-at
}

// A fault option aimed at one device of a station: "--wrong-answer 2@3".
struct Aimed {
    int device;
    std::string option;
    std::string text;   // the value without @K
    std::string given;  // as written, for messages
};

} // namespace

std::string usageText()
{
    return "Usage: flash3-sim [options] [IMAGE]\n"
           "  or:  flash3-sim --devices N --link-prefix PATH [options] [IMAGE]\n"
           "  or:  flash3-sim --write-sample FILE [--lines N] [--seed S] [--burst B]\n"
           "\n"
           "A virtual device on a pseudo-terminal. Prints the terminal's path as the\n"
           "first line of output, waits for the entry bytes E1 94, replies 91 26, then\n"
           "checks the host's bytes against IMAGE and answers its R records. Without\n"
           "IMAGE it echoes every byte after the entry. Ends when the host, after sending\n"
           "something, closes the line or opens it anew, printing a summary on stderr;\n"
           "the exit status is 0 only if the image was completed with every byte\n"
           "matching and every answer given as due (without an image: if the entry\n"
           "was seen).\n"
           "\n"
           "A station: with --devices N, one process serves N such devices at once,\n"
           "each on a terminal of its own, and prints their N paths, one a line, in\n"
           "device order (device 0 first). A device's summary line begins with\n"
           "\"device K (PATH): \", PATH being its link (without --link-prefix, its\n"
           "terminal). The process ends when every device has ended; its exit status\n"
           "is 0 only if every device passed.\n"
           "\n"
           "Options:\n"
           "  --link PATH         also make PATH a symbolic link to the terminal\n"
           "  --devices N         serve N devices (1 to 128) from this one process\n"
           "  --link-prefix PATH  with --devices: make PATH<K> a symbolic link to\n"
           "                      the terminal of device K (PATH0, PATH1, ...)\n"
           "  --timeout SECONDS   give up after this long\n"
           "  --persist           after a session, wait for the next one\n"
           "  --log FILE          append a hex trace of the line to FILE; in a\n"
           "                      station, that of device K to FILE.K\n"
           "  --reply TOKENS      handshake reply: hex bytes and wMS pauses separated\n"
           "                      by commas (default 91,26; 'none' sends nothing)\n"
           "  --noise N           send N random bytes before the reply\n"
           "  --seed S            seed for --noise and --write-sample (default 1)\n"
           "  --wrong-answer K    invert the K-th answer (1-based)\n"
           "  --no-answer K       leave out the K-th answer\n"
           "  --delay MS          wait MS ms before the reply and every answer\n"
           "  --chatter MS        send 55 every MS ms while the line is open\n"
           "  --unplug-at K       vanish on reaching the K-th record (1-based, every\n"
           "                      record counts); 0: right after the entry bytes.\n"
           "                      Without an image the K-th byte after the entry.\n"
           "  --write-sample FILE\n"
           "                      write a sample image and exit: --lines N lines\n"
           "                      (default 300) of --burst B host bytes (default 16)\n"
           "  --help              show this text\n"
           "  --version           show the version\n"
           "\n"
           "In a station --reply, --noise, --wrong-answer and --no-answer apply to every\n"
           "device, as do --delay, --chatter and --unplug-at, unless the value ends in\n"
           "@K: that aims the option at device K alone (K from 0), over the shared\n"
           "one. Aimed options may be repeated for other devices: \"--wrong-answer 2@3\"\n"
           "inverts the second answer of device 3 only, \"--reply none@5\" keeps\n"
           "device 5 silent.\n"
           "\n"
           "Mismatch positions count the image's host bytes from 0.\n";
}

bool parseArguments(int argc, char** argv, SimOptions& options, std::string& error)
{
    bool sampleShape = false;
    bool linkPrefixGiven = false;
    std::vector<Aimed> aimed;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                hasValue = true;
            }
        }
        auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto takeInt = [&](long low, long high, int& out) {
            return takeValue() && parseIntValue(arg, value, low, high, out, error);
        };

        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--persist") {
            options.persist = true;
        } else if (arg == "--link") {
            if (!takeValue())
                return false;
            options.link = value;
        } else if (arg == "--log") {
            if (!takeValue())
                return false;
            options.logPath = value;
        } else if (arg == "--write-sample") {
            if (!takeValue())
                return false;
            options.writeSample = value;
        } else if (arg == "--timeout") {
            if (!takeValue())
                return false;
            char* end = nullptr;
            const double s = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(s > 0) || s > 86400.0 * 365) {
                error = "--timeout: \"" + value + "\" is not a positive number of seconds";
                return false;
            }
            options.timeoutSec = s;
        } else if (arg == "--devices") {
            if (!takeInt(1, kMaxStationDevices, options.devices))
                return false;
        } else if (arg == "--link-prefix") {
            if (!takeValue())
                return false;
            if (value.empty()) {
                error = "--link-prefix: the prefix is empty";
                return false;
            }
            options.linkPrefix = value;
            linkPrefixGiven = true;
        } else if (arg == "--seed") {
            int seed = 0;
            if (!takeInt(0, INT_MAX, seed))
                return false;
            options.device.seed = static_cast<uint32_t>(seed);
            options.sample.seed = static_cast<uint32_t>(seed);
        } else if (isFaultOption(arg)) {
            if (!takeValue())
                return false;
            const std::size_t at = value.rfind('@');
            if (at == std::string::npos) {
                if (!applyFault(arg, value, options.device, options.chatterMs, error))
                    return false;
                continue;
            }
            // Checked here, so a bad value is reported as it would be unaimed;
            // laid over the shared settings once every option is known.
            Aimed a{0, arg, value.substr(0, at), arg + " " + value};
            if (!parseIntValue(arg, value.substr(at + 1), 0, kMaxStationDevices - 1, a.device, error)) {
                error = a.given + ": the device after @ is not a number from 0 to "
                    + std::to_string(kMaxStationDevices - 1);
                return false;
            }
            DeviceConfig scratch;
            int scratchChatter = 0;
            if (!applyFault(arg, a.text, scratch, scratchChatter, error))
                return false;
            aimed.push_back(std::move(a));
        } else if (arg == "--lines") {
            if (!takeInt(0, 1000000, options.sample.lines))
                return false;
            sampleShape = true;
        } else if (arg == "--burst") {
            if (!takeInt(0, 10000, options.sample.burst))
                return false;
            sampleShape = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (options.image.empty()) {
            options.image = arg;
        } else {
            error = "more than one image given";
            return false;
        }
    }
    if (sampleShape && options.writeSample.empty()) {
        error = "--lines and --burst go with --write-sample";
        return false;
    }
    if (linkPrefixGiven && options.devices == 0) {
        error = "--link-prefix goes with --devices N";
        return false;
    }
    if (options.devices > 0 && !options.link.empty()) {
        error = "--link names the one device's terminal; with --devices use --link-prefix";
        return false;
    }
    for (const Aimed& a : aimed) {
        if (options.devices == 0) {
            error = a.given + ": @" + std::to_string(a.device) + " aims at one device of a station, and there is no "
                "--devices N";
            return false;
        }
        if (a.device >= options.devices) {
            error = a.given + ": there is no device " + std::to_string(a.device) + " (--devices "
                + std::to_string(options.devices) + " serves devices 0 to " + std::to_string(options.devices - 1)
                + ")";
            return false;
        }
    }
    options.station.assign(static_cast<std::size_t>(options.devices), StationDevice{options.device, options.chatterMs});
    for (const Aimed& a : aimed) {
        StationDevice& d = options.station[static_cast<std::size_t>(a.device)];
        applyFault(a.option, a.text, d.device, d.chatterMs, error);  // checked when parsed
    }
    return true;
}

} // namespace flash3sim
