// The real binary on the unpaced virtual devices: exact bytes, the budget, the failure rows.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/virtual_devices.hpp"

namespace {

const std::string binary = LIVEDELAY_BIN;

struct routed_run {
    std::string name;
    std::vector<std::string> args;            // mode, input, output, delay, rate, time-out
    int channels;                             // of both streams
    std::vector<std::pair<int, int>> routes;  // (captured channel, played channel), 0-based
    int64_t delay_frames;
    std::string device = "loop";
};

void PrintTo(const routed_run& r, std::ostream* os) {
    *os << r.name;
}

class RoutedRun : public ::testing::TestWithParam<routed_run> {};

// Every played channel is either silent or one captured channel late by exactly the delay,
// with silence before it: a swap, a slip of one frame or a stray sample fails.
TEST_P(RoutedRun, PlaysTheRoutedInputExactlyTheDelayLater) {
    const routed_run& r = GetParam();
    const virtual_devices devices = make_virtual_devices();
    const uint32_t rate = std::stoul(r.args[4]);
    const int64_t budget = int64_t{rate} * std::stol(r.args[5]);
    write_file(devices.captured_path(), marker_frames(r.channels, budget + 8192));

    std::vector<std::string> argv{binary, r.device};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    const process_result run = run_program(argv, devices.env, 60);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("\nRX\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\nPX\n"), std::string::npos) << run.out;

    const std::string played = read_file(devices.played_path());
    const int64_t frames = static_cast<int64_t>(played.size()) / (3 * r.channels);
    ASSERT_EQ(played.size() % (3 * r.channels), 0u);
    ASSERT_GE(frames, budget);
    ASSERT_LT(frames, budget + 4096);

    std::vector<int> source(r.channels, -1);
    for (auto [in, out] : r.routes) {
        source[out] = in;
    }
    int64_t mismatches = 0;
    for (int64_t f = 0; f < frames && mismatches < 5; ++f) {
        for (int c = 0; c < r.channels; ++c) {
            const int32_t want = source[c] >= 0 && f >= r.delay_frames
                                     ? marker_sample(source[c], f - r.delay_frames)
                                     : 0;
            const int32_t got = sample_at(played, r.channels, f, c);
            if (got != want) {
                ADD_FAILURE() << "frame " << f << " channel " << c + 1 << ": got " << got
                              << ", want " << want;
                ++mismatches;
            }
        }
    }
    remove_tree(devices.dir);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RoutedRun,
    ::testing::Values(
        routed_run{"MonoToSecondChannel", {"1", "1", "2", "0.5", "44100", "3"}, 2, {{0, 1}}, 22050},
        routed_run{
            "MonoFromThirdChannel", {"1", "3", "1", "0.25", "44100", "2"}, 4, {{2, 0}}, 11025},
        routed_run{"StereoFromThirdPair",
                   {"2", "3", "1", "0.3333", "48000", "3"},
                   4,
                   {{2, 0}, {3, 1}},
                   static_cast<int64_t>(48000.0f * 0.3333f)},
        routed_run{
            "MonoToBothSides", {"3", "2", "3", "1", "44100", "3"}, 4, {{1, 2}, {1, 3}}, 44100},
        routed_run{"NoDelay", {"1", "1", "1", "0", "44100", "2"}, 2, {{0, 0}}, 0},
        routed_run{"DelayShorterThanOnePass",
                   {"2", "1", "1", "0.01", "44100", "2"},
                   2,
                   {{0, 0}, {1, 1}},
                   441},
        // A device that grants four channels whatever is asked: the tables follow the grant.
        routed_run{"MoreChannelsGrantedThanAsked",
                   {"1", "1", "2", "0.1", "44100", "2"},
                   4,
                   {{0, 1}},
                   4410,
                   "fixed4"},
        // Channels 5 and 6 do not exist there: they are not heard, and nothing else plays.
        routed_run{"RoutedToChannelsTheDeviceLacks",
                   {"2", "3", "5", "0.1", "44100", "2"},
                   4,
                   {},
                   4410,
                   "fixed4"},
        routed_run{"RoutedFromChannelsTheDeviceLacks",
                   {"3", "5", "1", "0.1", "44100", "2"},
                   4,
                   {},
                   4410,
                   "fixed4"},
        // A ring of 43690 frames, so the passes cross its end again and again.
        routed_run{
            "ManyRingWraps", {"2", "1", "1", "0.2", "32000", "20"}, 2, {{0, 0}, {1, 1}}, 6400},
        // A pass over 1024 channels takes about as long as the audio it moves, or longer: a
        // device on no clock still gets exactly what was captured, with no marker.
        routed_run{"ThousandChannels",
                   {"1", "1021", "1024", "0.1", "32000", "1"},
                   1024,
                   {{1020, 1023}},
                   3200}),
    [](const auto& info) { return info.param.name; });

// Reads the FIFO at `path` into `bytes` till its writer closes it, `bytes_per_second` at a
// time, as a device on a clock would take it.
void drain_fifo(const std::string& path, std::string& bytes, int64_t bytes_per_second) {
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << path;
    std::string buffer(static_cast<size_t>(bytes_per_second / 100), '\0');
    for (auto due = std::chrono::steady_clock::now();;) {
        due += std::chrono::milliseconds(10);
        std::this_thread::sleep_until(due);
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n <= 0) {
            break;
        }
        bytes.append(buffer.data(), static_cast<size_t>(n));
    }
    close(fd);
}

// Capture from a file, playback into a pipe that is read at the stream's rate: the device has
// no clock of its own, yet plays in real time, as slowly as the pipe is read. The latency is
// not held there, so nothing is added or dropped: the output is the input, one delay late.
TEST(Unclocked, PlaybackTakenInRealTimeStillGetsExactlyWhatWasCaptured) {
    const virtual_devices devices = make_virtual_devices();
    write_file(devices.captured_path(), marker_frames(2, 3 * 44100));
    ASSERT_EQ(mkfifo(devices.played_path().c_str(), 0600), 0);
    std::string played;
    std::thread reader([&] { drain_fifo(devices.played_path(), played, 44100 * 2 * 3); });
    const process_result run =
        run_program({binary, "loop", "2", "1", "1", "0.25", "44100", "2"}, devices.env, 60);
    reader.join();
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.out.find("\nRX\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\nPX\n"), std::string::npos) << run.out;
    const int64_t frames = static_cast<int64_t>(played.size()) / 6;
    ASSERT_GE(frames, 2 * 44100);
    int mismatches = 0;
    for (int64_t f = 0; f < frames && mismatches < 5; ++f) {
        for (int c = 0; c < 2; ++c) {
            const int32_t want = f >= 11025 ? marker_sample(c, f - 11025) : 0;
            if (sample_at(played, 2, f, c) != want) {
                ADD_FAILURE() << "frame " << f << " channel " << c + 1 << ": got "
                              << sample_at(played, 2, f, c) << ", want " << want;
                ++mismatches;
            }
        }
    }
    remove_tree(devices.dir);
}

class Budget : public ::testing::Test {
protected:
    void SetUp() override { devices = make_virtual_devices(); }
    void TearDown() override { remove_tree(devices.dir); }
    process_result run(const std::vector<std::string>& args) {
        write_file(devices.captured_path(), marker_frames(2, 48000 * 4));
        std::vector<std::string> argv{binary, "loop"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, devices.env, 60);
    }
    int64_t played_frames() const {
        return static_cast<int64_t>(read_file(devices.played_path()).size()) / 6;
    }
    virtual_devices devices;
};

TEST_F(Budget, CountsWholeSecondsAndFinishesAtTheTimeOut) {
    const process_result r = run({"1", "1", "1", "0.5", "44100", "3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Device = loop\nMode = 1 (mono in -> mono out)\nInput Channel = 1\n"
              "Output Channel = 1\nTime delay ~ 0.500 sec\nSample rate = 44100\n"
              "Time out at 3 sec\n\r1 sec\r2 sec\nFinished\n");
    // The run ends at the first pass that reaches the budget.
    EXPECT_GE(played_frames(), 3 * 44100);
    EXPECT_LT(played_frames(), 3 * 44100 + 4096);
}

TEST_F(Budget, TimeOutZeroFinishesWithoutMovingAudio) {
    const process_result r = run({"1", "1", "1", "0.5", "44100", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.ends_with("Time out at 0 sec\n\nFinished\n")) << r.out;
    EXPECT_EQ(played_frames(), 0);
}

TEST_F(Budget, BudgetPastThirtyTwoBitsWrapsAndRunsThatLong) {
    // 48000 x 89479 frames is 2^32 + 24704: the budget wraps to 24704 frames.
    const process_result r = run({"1", "1", "1", "0", "48000", "89479"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.ends_with("Time out at 0 sec\n\nFinished\n")) << r.out;
    EXPECT_GE(played_frames(), 24704);
    EXPECT_LT(played_frames(), 24704 + 4096);
}

class OpenFailure : public ::testing::Test {
protected:
    void SetUp() override { devices = make_virtual_devices(); }
    void TearDown() override { remove_tree(devices.dir); }
    virtual_devices devices;
};

TEST_F(OpenFailure, UnknownNameFailsAtThePlaybackOpen) {
    const process_result r = run_program({binary, "no_such_device"}, devices.env, 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, device_only_report("no_such_device"));
    EXPECT_EQ(last_line(r.err), "Playback device could not be opened: No such file or directory");
}

TEST_F(OpenFailure, DeviceWithoutCaptureFailsAtTheRecordOpen) {
    const process_result r = run_program({binary, "playonly"}, devices.env, 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, device_only_report("playonly"));
    EXPECT_TRUE(last_line(r.err).starts_with("unable to open pcm record device: ")) << r.err;
    EXPECT_EQ(r.err.find("Playback device"), std::string::npos);
}

}  // namespace

namespace {

class Stop : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override { devices = make_virtual_devices(); }
    void TearDown() override { remove_tree(devices.dir); }
    virtual_devices devices;
};

// SIGINT and SIGTERM end a run that would go on for a day the way its time-out does.
TEST_P(Stop, ASignalEndsTheRunCleanly) {
    const process_result r = run_program({binary, "endless", "1", "1", "1", "1", "44100", "86400"},
                                         devices.env, 60, 500, GetParam());
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.ends_with("\nFinished\n")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Signals, Stop, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& info) { return info.param == SIGINT ? "Int" : "Term"; });

// `default` first, then each name with what it is good for. JACK's plugin, whose server does
// not run, says nothing on standard error and starts no server, though the environment does
// not forbid it: the server that JACK would start here leaves a file behind.
TEST(Options, ListShowsWhatEachVirtualDeviceOffers) {
    const virtual_devices devices = make_virtual_devices();
    write_file(devices.captured_path(), marker_frames(2, 16));
    const std::string server_start = devices.dir + "/start_jackd";
    write_file(server_start, "#!/bin/sh\ntouch " + devices.dir + "/jackd_started\n");
    ASSERT_EQ(chmod(server_start.c_str(), 0700), 0);
    write_file(devices.dir + "/.jackdrc", server_start + " -d dummy\n");
    unsetenv("JACK_NO_START_SERVER");
    std::vector<std::string> env = devices.env;
    env.insert(env.end(), {"HOME=" + devices.dir,
                           "JACK_DEFAULT_SERVER=livedelay_absent_" + std::to_string(getpid())});

    const process_result r = run_program({binary, "--list"}, env, 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out.starts_with("default ")) << r.out;
    EXPECT_TRUE(listed_line(r.out, "loop").starts_with("loop works channels ")) << r.out;
    EXPECT_TRUE(listed_line(r.out, "playonly").starts_with("playonly playback only channels "))
        << r.out;
    EXPECT_NE(listed_line(r.out, "fixed4").find(" channels 4, "), std::string::npos) << r.out;
    EXPECT_EQ(listed_line(r.out, "jack_absent"), "jack_absent does not open") << r.out;
    EXPECT_NE(access((devices.dir + "/jackd_started").c_str(), F_OK), 0) << "a JACK server start";
    remove_tree(devices.dir);
}

}  // namespace
