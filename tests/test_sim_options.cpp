// flash3-sim's command line: a lone device's options, a station's, --help and --version.

#include "sim_harness.h"

using namespace flash3sim;
using namespace flash3sim::testing;

TEST(Arguments, OptionsAndTheirLimits)
{
    auto parse = [](std::vector<std::string> args, SimOptions& options, std::string& error) {
        std::vector<char*> argv{const_cast<char*>("flash3-sim")};
        for (auto& a : args)
            argv.push_back(a.data());
        return parseArguments(static_cast<int>(argv.size()), argv.data(), options, error);
    };
    SimOptions o;
    std::string error;
    ASSERT_TRUE(parse({"--reply=00,91,26", "--delay", "20", "--unplug-at", "0", "--timeout", "1.5", "img.pf3"}, o,
                      error))
        << error;
    EXPECT_EQ(o.device.reply.size(), 3u);
    EXPECT_EQ(o.device.delayMs, 20);
    EXPECT_EQ(o.device.unplugAt, 0);
    EXPECT_DOUBLE_EQ(o.timeoutSec, 1.5);
    EXPECT_EQ(o.image, "img.pf3");

    for (std::vector<std::string> bad : {std::vector<std::string>{"--wrong-answer", "0"},
                                         {"--noise", "x"},
                                         {"--timeout", "0"},
                                         {"--delay"},
                                         {"--lines", "3"},
                                         {"a.pf3", "b.pf3"},
                                         {"--bogus"}}) {
        SimOptions fresh;
        EXPECT_FALSE(parse(bad, fresh, error)) << bad[0];
    }
}

TEST(SimStationArguments, AimedFaultsOverrideTheSharedOnesForTheirDeviceOnly)
{
    // The aimed --wrong-answer comes before the shared one on purpose: aimed
    // wins whatever the order.
    const SimOptions o = parseOk({"--devices", "4", "--link-prefix", "/tmp/st/dev", "--wrong-answer", "2@3",
                                  "--wrong-answer", "5", "--reply", "none@1", "--delay", "7", "--delay=0@2",
                                  "--chatter", "9@0", "--unplug-at", "4@3", "--noise=3@1", "img.pf3"});
    EXPECT_EQ(o.devices, 4);
    EXPECT_EQ(o.linkPrefix, "/tmp/st/dev");
    EXPECT_EQ(o.image, "img.pf3");
    EXPECT_EQ(o.device.wrongAnswer, 5);  // the shared settings keep no aimed value
    EXPECT_EQ(o.device.unplugAt, -1);
    ASSERT_EQ(o.station.size(), 4u);
    const DeviceConfig plain;
    const int wrong[] = {5, 5, 5, 2};
    const int delay[] = {7, 7, 0, 7};
    const int unplug[] = {-1, -1, -1, 4};
    const int noise[] = {0, 3, 0, 0};
    const int chatter[] = {9, 0, 0, 0};
    for (std::size_t k = 0; k < 4; ++k) {
        const StationDevice& d = o.station[k];
        EXPECT_EQ(d.device.wrongAnswer, wrong[k]) << k;
        EXPECT_EQ(d.device.delayMs, delay[k]) << k;
        EXPECT_EQ(d.device.unplugAt, unplug[k]) << k;
        EXPECT_EQ(d.device.noise, noise[k]) << k;
        EXPECT_EQ(d.chatterMs, chatter[k]) << k;
        EXPECT_EQ(d.device.reply, k == 1 ? std::vector<ReplyStep>{} : plain.reply) << k;
    }

    // Without --devices nothing changes: one device, no station.
    const SimOptions single = parseOk({"--wrong-answer", "2", "--link", "/tmp/l"});
    EXPECT_EQ(single.devices, 0);
    EXPECT_TRUE(single.station.empty());
    EXPECT_EQ(single.device.wrongAnswer, 2);
}

namespace {

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    std::string part;  // of the message
};

class StationUsageError : public ::testing::TestWithParam<UsageCase> {};

// Each case is reported by its name.
void PrintTo(const UsageCase& c, std::ostream* os)
{
    *os << c.name;
}

} // namespace

TEST_P(StationUsageError, IsRefusedWithAMessage)
{
    std::vector<std::string> copy = GetParam().args;
    std::vector<char*> argv{const_cast<char*>("flash3-sim")};
    for (auto& a : copy)
        argv.push_back(a.data());
    SimOptions options;
    std::string error;
    EXPECT_FALSE(parseArguments(static_cast<int>(argv.size()), argv.data(), options, error));
    EXPECT_TRUE(contains(error, GetParam().part)) << error;
}

INSTANTIATE_TEST_SUITE_P(
    SimStationArguments, StationUsageError,
    ::testing::Values(
        UsageCase{"AimedPastTheDevices", {"--devices", "2", "--wrong-answer", "2@2"}, "no device 2"},
        // Checked once --devices is known.
        UsageCase{"AimedBeforeDevicesIsGiven", {"--wrong-answer", "2@2", "--devices", "2"}, "no device 2"},
        UsageCase{"AimedWithoutDevices", {"--wrong-answer", "2@0"}, "--devices"},
        UsageCase{"LinkPrefixWithoutDevices", {"--link-prefix", "/tmp/st/dev"}, "--devices"},
        UsageCase{"NoDevices", {"--devices", "0"}, "1 to 128"},
        UsageCase{"TooManyDevices", {"--devices", "129"}, "1 to 128"},
        UsageCase{"DevicesNotANumber", {"--devices", "x"}, "1 to 128"},
        UsageCase{"DevicesWithoutValue", {"--devices"}, "needs a value"},
        UsageCase{"LinkInAStation", {"--devices", "2", "--link", "/tmp/l"}, "--link-prefix"},
        UsageCase{"EmptyLinkPrefix", {"--devices", "2", "--link-prefix", ""}, "empty"},
        UsageCase{"AimedAtNothing", {"--devices", "2", "--delay", "5@"}, "@"},
        UsageCase{"AimedAtANegativeDevice", {"--devices", "2", "--delay", "5@-1"}, "@"},
        UsageCase{"AimedAtNotANumber", {"--devices", "2", "--delay", "5@1x"}, "@"},
        // The value itself, checked as unaimed.
        UsageCase{"AimedValueBad", {"--devices", "2", "--delay", "-5@1"}, "--delay"},
        UsageCase{"AimedWrongAnswerZero", {"--devices", "2", "--wrong-answer", "0@1"}, "--wrong-answer"},
        UsageCase{"AimedReplyBad", {"--devices", "2", "--reply", "zz@1"}, "--reply"}));

TEST(SimStationArguments, HelpDocumentsTheStationInTheManPageLayout)
{
    // help2man makes the man page from --help: an option entry is "  --opt ARG"
    // with its text from column 22 (or on the next lines), and any other line
    // that began with an option would be taken for an entry of its own.
    const std::vector<std::string> text = lines(usageText());
    bool devices = false;
    bool linkPrefix = false;
    for (const std::string& line : text) {
        const std::size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos)
            continue;
        if (first == 2 && line[2] == '-') {
            const std::size_t gap = line.find("  ", 2);
            if (gap != std::string::npos) {
                EXPECT_LE(gap, 20u) << line;
                EXPECT_EQ(line.find_first_not_of(' ', gap), 22u) << line;
            }
            devices = devices || line.rfind("  --devices N ", 0) == 0;
            linkPrefix = linkPrefix || line.rfind("  --link-prefix PATH ", 0) == 0;
        } else {
            EXPECT_NE(line[first], '-') << line;
        }
    }
    EXPECT_TRUE(devices);
    EXPECT_TRUE(linkPrefix);
    EXPECT_TRUE(contains(usageText(), "@K")) << usageText();
    EXPECT_TRUE(contains(usageText(), "FILE.K")) << usageText();
}

TEST(SimArguments, VersionPrintsTheProgramAndVersionAndServesNothing)
{
    EXPECT_TRUE(contains(usageText(), "\n  --version ")) << usageText();
    for (std::vector<std::string> args : {std::vector<std::string>{"--version"}, {"--version", "--persist"}}) {
        SimProcess sim(args, 1);
        EXPECT_EQ(sim.wait(), 0) << sim.errText();
        EXPECT_EQ(sim.paths(), (std::vector<std::string>{"flash3-sim " FLASH3_VERSION}));
        EXPECT_EQ(sim.errText(), "");
    }
}
