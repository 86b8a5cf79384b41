// The real binary's command line: what it prints, where, and the exit status, up to the point
// where it would open the device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.hpp"
#include "usage_text.hpp"

namespace {

const std::string missing_device = "no_such_device_here";

process_result run_livedelay(std::vector<std::string> args) {
    args.insert(args.begin(), LIVEDELAY_BIN);
    return run_program(args, {}, 30);
}

void expect_open_failure(const process_result& run) {
    EXPECT_EQ(run.signal, 0);
    EXPECT_EQ(run.status, 1);
    const std::string prefix = "Playback device could not be opened: ";
    EXPECT_TRUE(run.err.rfind(prefix, 0) == 0 || run.err.find('\n' + prefix) != std::string::npos)
        << run.err;
}

TEST(CommandLine, NoArgumentPrintsTheUsage) {
    const process_result run = run_livedelay({});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, expected_usage_text);
    EXPECT_EQ(run.err, "");
}

TEST(CommandLine, ReportsTheSettingsThenFailsToOpenAMissingDevice) {
    const process_result run = run_livedelay({missing_device, "2", "3", "1", "0.5", "44100", "60"});
    EXPECT_EQ(run.out, "Device = " + missing_device +
                           "\nMode = 2 (stereo in -> stereo out)\nInput Channels = 3+4\n"
                           "Output Channels = 1+2\nTime delay ~ 0.500 sec\nSample rate = 44100\n"
                           "Time out at 60 sec\n");
    expect_open_failure(run);
}

TEST(CommandLine, InputChannelZeroEndsTheReport) {
    const process_result run = run_livedelay({missing_device, "1", "0"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Device = " + missing_device +
                           "\nMode = 1 (mono in -> mono out)\nInput Channel = 0\n");
    EXPECT_EQ(run.err, "");
}

TEST(CommandLine, RefusedDelayAndRateEndTheReport) {
    struct refused {
        std::vector<std::string> args;
        std::string tail;  // the report's last line and its message
    };
    for (const refused& r :
         {refused{{missing_device, "1", "1", "1", "600.01"},
                  "\nTime delay ~ 600.010 sec\nDelay time can be set up to 600 seconds\n"},
          refused{{missing_device, "1", "1", "1", "1", "31999"},
                  "\nTime delay ~ 1.000 sec\nSample rate = 31999\n"}}) {
        const process_result run = run_livedelay(r.args);
        EXPECT_EQ(run.status, 1) << r.args.back();
        EXPECT_TRUE(run.out.ends_with(r.tail)) << run.out;
        EXPECT_EQ(run.err, "") << r.args.back();
    }
}

TEST(CommandLine, NanDelayIsRefusedWithOneLine) {
    const process_result run = run_livedelay({missing_device, "3", "1", "1", "nan"});
    EXPECT_EQ(run.status, 1);
    const std::string line = "\nTime delay ~ nan sec\n";
    const size_t at = run.out.find(line);
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::string message = run.out.substr(at + line.size());
    EXPECT_GT(message.size(), 1u) << run.out;
    EXPECT_EQ(message.find('\n'), message.size() - 1) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST(CommandLine, VeryLongDeviceNameIsHeldWhole) {
    const std::string device(10000, 'd');
    const process_result run = run_livedelay({device});
    EXPECT_EQ(run.out, "Device = " + device +
                           "\nMode = 1 (mono in -> mono out)\nInput Channel = 1\n"
                           "Output Channel = 1\nTime delay ~ 3.000 sec\nSample rate = 44100\n"
                           "Time out at 300 sec\n");
    expect_open_failure(run);
}

}  // namespace

namespace {

// The usage, then the keys and lines that change the delay while it runs, then the list.
TEST(Options, HelpPrintsTheUsageTheControlsAndHowToFindADevice) {
    for (const std::string option : {"--help", "-h"}) {
        const process_result run = run_livedelay({option});
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(run.out.starts_with(expected_usage_text)) << run.out;
        const std::string controls = run.out.substr(expected_usage_text.size());
        for (const char* said :
             {"+ and - by 10 ms", "arrows by 100 ms", "Page Up and Page Down by a second",
              "d dumps", "\"delay 3.25\" sets", "\"delay +0.01\" and \"delay -0.1\" move",
              "\"dump\" dumps"}) {
            EXPECT_NE(controls.find(said), std::string::npos) << said << "\n" << controls;
        }
        EXPECT_TRUE(
            run.out.ends_with("\nlivedelay --list shows the devices ALSA knows and what "
                              "each one takes.\n"))
            << run.out;
    }
}

TEST(Options, VersionNamesTheProgram) {
    const process_result run = run_livedelay({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.out.starts_with("livedelay ")) << run.out;
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
}

// A list that could not be written is no list: status 1, where the same list written to
// /dev/null gives 0.
TEST(Options, ListThatCannotBeWrittenFails) {
    for (const auto& [sink, status] : {std::pair{"/dev/full", 1}, std::pair{"/dev/null", 0}}) {
        const process_result run = run_program(
            {"/bin/sh", "-c", std::string("exec \"$0\" --list >") + sink, LIVEDELAY_BIN}, {}, 30);
        EXPECT_EQ(run.status, status) << sink;
        EXPECT_EQ(run.err, "") << sink;
    }
}

TEST(Options, AnUnknownOptionIsRefusedBeforeAnyDeviceIsOpened) {
    const process_result run = run_livedelay({"--delay", "3"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Unknown option --delay; livedelay --help shows the usage.\n");
    EXPECT_EQ(run.err, "");
}

}  // namespace
