// The command line: the usage text, the report, the defaults, every refusal and the 32-bit
// arithmetic of the numbers.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "pcm.hpp"
#include "settings.hpp"
#include "usage_text.hpp"

namespace livedelay {
namespace {

struct parsed {
    std::optional<run_settings> settings;
    std::string out;
};

parsed parse_raw(int argc, const char* const argv[]) {
    char* buffer = nullptr;
    size_t length = 0;
    FILE* out = open_memstream(&buffer, &length);
    parsed result{parse_command_line(argc, argv, out), {}};
    std::fclose(out);
    result.out.assign(buffer, length);
    std::free(buffer);
    return result;
}

// `args` follow the program name.
parsed parse(const std::vector<std::string>& args) {
    std::vector<const char*> argv{"livedelay"};
    for (const std::string& a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    return parse_raw(static_cast<int>(argv.size() - 1), argv.data());
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

std::string joined(const std::vector<std::string>& args) {
    std::string s;
    for (const std::string& a : args) {
        s += a + ' ';
    }
    return s;
}

TEST(Usage, PrintedAloneWhenThereIsNoArgument) {
    const char* const with_name[] = {"livedelay", nullptr};
    const char* const without_name[] = {nullptr};
    for (const auto& [argc, argv] : {std::pair{1, with_name}, std::pair{0, without_name}}) {
        const parsed p = parse_raw(argc, argv);
        EXPECT_FALSE(p.settings) << "argc " << argc;
        EXPECT_EQ(p.out, expected_usage_text) << "argc " << argc;
    }
}

TEST(Report, FullCommandLine) {
    const parsed p = parse({"hw:1", "2", "3", "1", "0.5", "44100", "60"});
    EXPECT_EQ(p.out,
              "Device = hw:1\nMode = 2 (stereo in -> stereo out)\nInput Channels = 3+4\n"
              "Output Channels = 1+2\nTime delay ~ 0.500 sec\nSample rate = 44100\n"
              "Time out at 60 sec\n");
    ASSERT_TRUE(p.settings);
    const run_settings& s = *p.settings;
    EXPECT_EQ(s.device_name, "hw:1");
    EXPECT_EQ(s.mode, routing_mode::stereo_to_stereo);
    EXPECT_EQ(s.input_channel, 2);
    EXPECT_EQ(s.output_channel, 0);
    EXPECT_EQ(s.delay_seconds, 0.5f);
    EXPECT_EQ(s.delay_plus_one_seconds, 1.5f);
    EXPECT_EQ(s.sample_rate, 44100u);
    EXPECT_EQ(s.frame_budget, 44100u * 60u);
    EXPECT_EQ(s.channel_count, 4);
}

TEST(Report, DeviceAloneTakesEveryDefault) {
    const parsed p = parse({"hw:0"});
    EXPECT_EQ(p.out,
              "Device = hw:0\nMode = 1 (mono in -> mono out)\nInput Channel = 1\n"
              "Output Channel = 1\nTime delay ~ 3.000 sec\nSample rate = 44100\n"
              "Time out at 300 sec\n");
    ASSERT_TRUE(p.settings);
    EXPECT_EQ(p.settings->mode, routing_mode::mono_to_mono);
    EXPECT_EQ(p.settings->input_channel, 0);
    EXPECT_EQ(p.settings->output_channel, 0);
    EXPECT_EQ(p.settings->delay_seconds, 3.0f);
    EXPECT_EQ(p.settings->delay_plus_one_seconds, 4.0f);
    EXPECT_EQ(p.settings->frame_budget, 44100u * 300u);
    EXPECT_EQ(p.settings->channel_count, 2);
}

TEST(Report, MissingRateAndTimeoutTakeTheirDefaults) {
    const parsed p = parse({"hw:0", "1", "1", "1", "2"});
    ASSERT_TRUE(p.settings);
    EXPECT_EQ(p.settings->sample_rate, 44100u);
    EXPECT_EQ(p.settings->frame_budget, 44100u * 300u);
    EXPECT_EQ(lines_of(p.out).back(), "Time out at 300 sec");
}

TEST(Report, ArgumentsAfterTheSeventhAreIgnored) {
    const std::vector<std::string> seven{"hw:2", "3", "2", "3", "1.25", "48000", "9"};
    std::vector<std::string> more = seven;
    more.insert(more.end(), {"2", "0", "-1", "junk"});
    const parsed a = parse(seven);
    const parsed b = parse(more);
    ASSERT_TRUE(a.settings);
    ASSERT_TRUE(b.settings);
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(b.settings->frame_budget, 48000u * 9u);
    EXPECT_EQ(b.settings->channel_count, 4);
}

struct mode_case {
    const char* arg;
    routing_mode mode;
    const char* mode_line;
    const char* input_line;   // input channel 3
    const char* output_line;  // output channel 1
};

void PrintTo(const mode_case& c, std::ostream* os) {
    *os << "mode " << c.arg;
}

class ModeArgument : public ::testing::TestWithParam<mode_case> {};

TEST_P(ModeArgument, SelectsTheRoutingAndItsLines) {
    const mode_case& c = GetParam();
    const parsed p = parse({"hw:0", c.arg, "3", "1"});
    ASSERT_TRUE(p.settings) << p.out;
    EXPECT_EQ(p.settings->mode, c.mode);
    const std::vector<std::string> lines = lines_of(p.out);
    ASSERT_EQ(lines.size(), 7u) << p.out;
    EXPECT_EQ(lines[1], c.mode_line);
    EXPECT_EQ(lines[2], c.input_line);
    EXPECT_EQ(lines[3], c.output_line);
}

constexpr const char* mono_label = "Mode = 1 (mono in -> mono out)";
constexpr const char* stereo_label = "Mode = 2 (stereo in -> stereo out)";
constexpr const char* both_label = "Mode = 3 (mono in -> stereo out)";

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeArgument,
    ::testing::Values(mode_case{"1", routing_mode::mono_to_mono, mono_label, "Input Channel = 3",
                                "Output Channel = 1"},
                      mode_case{"2", routing_mode::stereo_to_stereo, stereo_label,
                                "Input Channels = 3+4", "Output Channels = 1+2"},
                      mode_case{"3", routing_mode::mono_to_both, both_label, "Input Channel = 3",
                                "Output Channels = 1+2"},
                      // Out of range or not a number: mode 1 without a word.
                      mode_case{"0", routing_mode::mono_to_mono, mono_label, "Input Channel = 3",
                                "Output Channel = 1"},
                      mode_case{"4", routing_mode::mono_to_mono, mono_label, "Input Channel = 3",
                                "Output Channel = 1"},
                      mode_case{"-2", routing_mode::mono_to_mono, mono_label, "Input Channel = 3",
                                "Output Channel = 1"},
                      mode_case{"stereo", routing_mode::mono_to_mono, mono_label,
                                "Input Channel = 3", "Output Channel = 1"},
                      // strtol's leading number, then its low 32 bits.
                      mode_case{"2.9", routing_mode::stereo_to_stereo, stereo_label,
                                "Input Channels = 3+4", "Output Channels = 1+2"},
                      mode_case{"4294967299", routing_mode::mono_to_both, both_label,
                                "Input Channel = 3", "Output Channels = 1+2"}));

struct count_case {
    const char* mode;
    const char* input;
    const char* output;
    int32_t channels;
};

void PrintTo(const count_case& c, std::ostream* os) {
    *os << "mode " << c.mode << ", in " << c.input << ", out " << c.output;
}

class ChannelCount : public ::testing::TestWithParam<count_case> {};

TEST_P(ChannelCount, IsTheSmallestEvenCountHoldingBothSides) {
    const count_case& c = GetParam();
    const parsed p = parse({"hw:0", c.mode, c.input, c.output});
    ASSERT_TRUE(p.settings) << p.out;
    EXPECT_EQ(p.settings->input_channel, std::atoi(c.input) - 1);
    EXPECT_EQ(p.settings->output_channel, std::atoi(c.output) - 1);
    EXPECT_EQ(p.settings->channel_count, c.channels);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ChannelCount,
    ::testing::Values(count_case{"1", "1", "1", 2}, count_case{"1", "2", "2", 2},
                      count_case{"1", "3", "1", 4}, count_case{"1", "1", "5", 6},
                      count_case{"2", "1", "1", 2}, count_case{"2", "2", "1", 4},
                      count_case{"2", "3", "1", 4}, count_case{"2", "1", "4", 6},
                      count_case{"3", "2", "1", 4}, count_case{"3", "4", "1", 6},
                      count_case{"3", "1", "2", 4}, count_case{"1", "1024", "1", 1024},
                      count_case{"1", "1", "1024", 1024}, count_case{"2", "1023", "1", 1024},
                      count_case{"3", "1", "1023", 1024}));

// A refused command line: the report stops at `last_line`, followed by the message if there is
// one (empty: some one-line message), and then nothing.
struct refusal {
    std::vector<std::string> args;
    std::string last_line;
    std::optional<std::string> message;
};

void PrintTo(const refusal& r, std::ostream* os) {
    *os << joined(r.args);
}

class Refusal : public ::testing::TestWithParam<refusal> {};

TEST_P(Refusal, StopsTheReportWhereTheArgumentIsRefused) {
    const refusal& r = GetParam();
    const parsed p = parse(r.args);
    EXPECT_FALSE(p.settings);
    ASSERT_FALSE(p.out.empty());
    EXPECT_EQ(p.out.back(), '\n');
    const std::vector<std::string> lines = lines_of(p.out);
    const size_t tail = r.message ? 2 : 1;
    ASSERT_GE(lines.size(), tail + 2) << p.out;
    EXPECT_EQ(lines[0], "Device = " + r.args[0]);
    EXPECT_EQ(lines[lines.size() - tail], r.last_line) << p.out;
    if (r.message) {
        if (r.message->empty()) {
            EXPECT_FALSE(lines.back().empty()) << p.out;
        } else {
            EXPECT_EQ(lines.back(), *r.message) << p.out;
        }
    }
}

std::string refusal_name(const ::testing::TestParamInfo<refusal>& info) {
    return "case" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, Refusal,
    ::testing::Values(
        refusal{{"hw:0", "1", "0"}, "Input Channel = 0", std::nullopt},
        refusal{{"hw:0", "2", "0"}, "Input Channels = 0+1", std::nullopt},
        refusal{{"hw:0", "1", "-3"}, "Input Channel = -3", std::nullopt},
        refusal{{"hw:0", "3", "left"}, "Input Channel = 0", std::nullopt},
        refusal{{"hw:0", "1", "-2147483648"}, "Input Channel = -2147483648", std::nullopt},
        refusal{{"hw:0", "1", "1", "0"}, "Output Channel = 0", std::nullopt},
        refusal{{"hw:0", "3", "1", "-1"}, "Output Channels = -1+0", std::nullopt},
        refusal{{"hw:0", "1", "1", "right"}, "Output Channel = 0", std::nullopt},
        refusal{{"hw:0", "1", "1", "-2147483648"}, "Output Channel = -2147483648", std::nullopt},
        refusal{{"hw:0", "1", "1025"}, "Input Channel = 1025", ""},
        refusal{{"hw:0", "2", "1024"}, "Input Channels = 1024+1025", ""},
        refusal{{"hw:0", "1", "99999999999"}, "Input Channel = 1215752191", ""},
        refusal{{"hw:0", "1", "1", "1025"}, "Output Channel = 1025", ""},
        refusal{{"hw:0", "3", "1", "1024"}, "Output Channels = 1024+1025", ""}),
    refusal_name);

INSTANTIATE_TEST_SUITE_P(
    Delays, Refusal,
    ::testing::Values(refusal{{"hw:0", "1", "1", "1", "600.01"},
                              "Time delay ~ 600.010 sec",
                              "Delay time can be set up to 600 seconds"},
                      refusal{{"hw:0", "1", "1", "1", "1e40"},
                              "Time delay ~ inf sec",
                              "Delay time can be set up to 600 seconds"},
                      refusal{{"hw:0", "1", "1", "1", "-0.5"},
                              "Time delay ~ -0.500 sec",
                              "Delay time is less than zero!"},
                      refusal{{"hw:0", "1", "1", "1", "-inf"},
                              "Time delay ~ -inf sec",
                              "Delay time is less than zero!"},
                      refusal{{"hw:0", "1", "1", "1", "nan"}, "Time delay ~ nan sec", ""}),
    refusal_name);

INSTANTIATE_TEST_SUITE_P(
    Rates, Refusal,
    ::testing::Values(
        refusal{{"hw:0", "1", "1", "1", "1", "31999"}, "Sample rate = 31999", std::nullopt},
        refusal{{"hw:0", "1", "1", "1", "1", "-44100"}, "Sample rate = -44100", std::nullopt},
        refusal{{"hw:0", "1", "1", "1", "1", "4294922296"}, "Sample rate = -45000", std::nullopt},
        refusal{{"hw:0", "1", "1", "1", "1", "0"}, "Sample rate = 0", std::nullopt},
        refusal{{"hw:0", "1", "1", "1", "1", "fast"}, "Sample rate = 0", std::nullopt},
        refusal{{"hw:0", "1", "1", "1", "1", "4294967296"}, "Sample rate = 0", std::nullopt},
        // Above what ALSA runs at: one line, like the delay's range.
        refusal{{"hw:0", "1", "1", "1", "1", "768001"},
                "Sample rate = 768001",
                "Sample rate can be set up to 768000"},
        refusal{{"hw:0", "1", "1", "1", "1", "1000000000"},
                "Sample rate = 1000000000",
                "Sample rate can be set up to 768000"},
        refusal{{"hw:0", "1", "1", "1", "1", "2147483647"},
                "Sample rate = 2147483647",
                "Sample rate can be set up to 768000"}),
    refusal_name);

// Channel numbers whose 0-based value or routed width does not fit in 32 bits. Whatever the
// report shows for them, they are refused at their own line, with at most one message.
TEST(Refusal, ChannelsBeyond32BitsAreRefused) {
    const std::vector<std::vector<std::string>> cases{
        {"hw:0", "1", "2147483648"},      {"hw:0", "2", "2147483647"},
        {"hw:0", "3", "2147483648"},      {"hw:0", "1", "1", "2147483648"},
        {"hw:0", "3", "1", "2147483647"}, {"hw:0", "2", "1", "2147483648"}};
    for (const auto& args : cases) {
        const parsed p = parse(args);
        EXPECT_FALSE(p.settings) << joined(args);
        const std::string side = args.size() == 3 ? "Input Channel" : "Output Channel";
        const std::vector<std::string> lines = lines_of(p.out);
        size_t at = 0;
        while (at < lines.size() && lines[at].rfind(side, 0) != 0) {
            ++at;
        }
        ASSERT_LT(at, lines.size()) << joined(args) << '\n' << p.out;
        EXPECT_LE(lines.size() - at, 2u) << joined(args) << '\n' << p.out;
    }
}

struct accepted_delay {
    const char* arg;
    const char* line;
    float seconds;
};

TEST(DelayArgument, AcceptedFromZeroTo600) {
    for (const accepted_delay& d :
         {accepted_delay{"0", "Time delay ~ 0.000 sec", 0.0f},
          accepted_delay{"600", "Time delay ~ 600.000 sec", 600.0f},
          accepted_delay{"soon", "Time delay ~ 0.000 sec", 0.0f},
          accepted_delay{"0.3333", "Time delay ~ 0.333 sec", 0.3333f},
          accepted_delay{"599.9996", "Time delay ~ 600.000 sec", 599.9996f}}) {
        const parsed p = parse({"hw:0", "1", "1", "1", d.arg});
        ASSERT_TRUE(p.settings) << d.arg << '\n' << p.out;
        EXPECT_EQ(lines_of(p.out)[4], d.line);
        EXPECT_EQ(p.settings->delay_seconds, d.seconds);
        EXPECT_EQ(p.settings->delay_plus_one_seconds, d.seconds + 1.0f) << d.arg;
    }
}

TEST(RateArgument, AcceptedFrom32000AsItsLow32Bits) {
    for (const auto& [arg, rate] : {std::pair{"32000", 32000u}, std::pair{"4295011396", 44100u},
                                    std::pair{"768000", 768000u}}) {
        const parsed p = parse({"hw:0", "1", "1", "1", "1", arg, "2"});
        ASSERT_TRUE(p.settings) << arg << '\n' << p.out;
        EXPECT_EQ(p.settings->sample_rate, rate);
        EXPECT_EQ(lines_of(p.out)[5], "Sample rate = " + std::to_string(rate));
    }
}

struct budget_case {
    const char* rate;
    const char* timeout;
    uint32_t budget;
    const char* line;
};

void PrintTo(const budget_case& c, std::ostream* os) {
    *os << c.rate << " Hz for " << c.timeout << " s";
}

class FrameBudget : public ::testing::TestWithParam<budget_case> {};

TEST_P(FrameBudget, IsRateTimesTimeoutIn32Bits) {
    const budget_case& c = GetParam();
    const parsed p = parse({"hw:0", "1", "1", "1", "1", c.rate, c.timeout});
    ASSERT_TRUE(p.settings) << p.out;
    EXPECT_EQ(p.settings->frame_budget, c.budget);
    EXPECT_EQ(lines_of(p.out).back(), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, FrameBudget,
    ::testing::Values(budget_case{"44100", "300", 13230000u, "Time out at 300 sec"},
                      budget_case{"48000", "0", 0u, "Time out at 0 sec"},
                      budget_case{"44100", "never", 0u, "Time out at 0 sec"},
                      // 4 800 000 000 wraps to 505 032 704 = 48000 * 10521.5
                      budget_case{"48000", "100000", 505032704u, "Time out at 10521 sec"},
                      budget_case{"44100", "-1", 4294923196u, "Time out at 97390 sec"},
                      budget_case{"192000", "22369", 4294848000u, "Time out at 22369 sec"},
                      budget_case{"192000", "22370", 72704u, "Time out at 0 sec"},
                      budget_case{"768000", "5592", 4294656000u, "Time out at 5592 sec"}));

}  // namespace
}  // namespace livedelay

namespace livedelay {
namespace {

run_settings asking(double delay_seconds, uint32_t rate) {
    run_settings s;
    s.delay_seconds = static_cast<float>(delay_seconds);
    s.sample_rate = rate;
    return s;
}

// The usual period wherever two of them and a millisecond fit in the delay, and on a sound
// server always; below that, a power of two of at most a third of the delay, never below 128.
TEST(Period, FollowsAShortDelayOnADeviceOfItsOwn) {
    EXPECT_EQ(period_request_for(asking(3, 44100), false), 4096u);
    EXPECT_EQ(period_request_for(asking(8192.0 / 48000 + 0.001, 48000), false), 4096u);
    EXPECT_EQ(period_request_for(asking(8192.0 / 48000, 48000), false), 2048u);
    EXPECT_EQ(period_request_for(asking(0.1, 48000), false), 1024u);
    EXPECT_EQ(period_request_for(asking(0.05, 48000), false), 512u);
    EXPECT_EQ(period_request_for(asking(0.02, 44100), false), 256u);
    EXPECT_EQ(period_request_for(asking(0, 48000), false), 128u);
    EXPECT_EQ(period_request_for(asking(0.05, 48000), true), 4096u);
    EXPECT_EQ(period_request_for(asking(0, 48000), true), 4096u);
}

}  // namespace
}  // namespace livedelay
