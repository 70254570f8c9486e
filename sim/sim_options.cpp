// flash3-sim's command line: the options, their checks and the help text.

#include "sim_runner.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

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

} // namespace

std::string usageText()
{
    return "Usage: flash3-sim [options] [IMAGE]\n"
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
           "Options:\n"
           "  --link PATH         also make PATH a symbolic link to the terminal\n"
           "  --timeout SECONDS   give up after this long\n"
           "  --persist           after a session, wait for the next one\n"
           "  --log FILE          append a hex trace of the line to FILE\n"
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
           "\n"
           "Mismatch positions count the image's host bytes from 0.\n";
}

bool parseArguments(int argc, char** argv, SimOptions& options, std::string& error)
{
    bool sampleShape = false;
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
        auto takeInt = [&](long low, long high, int& out) -> bool {
            if (!takeValue())
                return false;
            long v = 0;
            if (!parseInt(value, low, high, v)) {
                error = arg + ": \"" + value + "\" is not a number from " + std::to_string(low) + " to "
                    + std::to_string(high);
                return false;
            }
            out = static_cast<int>(v);
            return true;
        };

        if (arg == "--help" || arg == "-h") {
            options.help = true;
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
        } else if (arg == "--reply") {
            if (!takeValue())
                return false;
            std::string why;
            if (!parseReply(value, options.device.reply, why)) {
                error = "--reply: " + why;
                return false;
            }
        } else if (arg == "--noise") {
            if (!takeInt(0, 1000000, options.device.noise))
                return false;
        } else if (arg == "--seed") {
            int seed = 0;
            if (!takeInt(0, INT_MAX, seed))
                return false;
            options.device.seed = static_cast<uint32_t>(seed);
            options.sample.seed = static_cast<uint32_t>(seed);
        } else if (arg == "--wrong-answer") {
            if (!takeInt(1, INT_MAX, options.device.wrongAnswer))
                return false;
        } else if (arg == "--no-answer") {
            if (!takeInt(1, INT_MAX, options.device.noAnswer))
                return false;
        } else if (arg == "--delay") {
            if (!takeInt(0, 600000, options.device.delayMs))
                return false;
        } else if (arg == "--chatter") {
            if (!takeInt(1, 600000, options.chatterMs))
                return false;
        } else if (arg == "--unplug-at") {
            if (!takeInt(0, INT_MAX, options.device.unplugAt))
                return false;
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
    return true;
}

} // namespace flash3sim
