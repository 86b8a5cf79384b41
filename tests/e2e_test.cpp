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

    const routed_check check =
        check_routed(read_file(devices.played_path()), r.channels, r.routes, r.delay_frames);
    for (const std::string& difference : check.differences) {
        ADD_FAILURE() << difference;
    }
    EXPECT_GE(check.frames, budget);
    EXPECT_LT(check.frames, budget + 4096);
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
    const routed_check check = check_routed(played, 2, {{0, 0}, {1, 1}}, 11025);
    for (const std::string& difference : check.differences) {
        ADD_FAILURE() << difference;
    }
    EXPECT_GE(check.frames, 2 * 44100);
    remove_tree(devices.dir);
}

// Runs of output frames that carry the captured channel 0 at one delay, in order.
struct delay_run {
    int64_t from = 0;  // first played frame of the run
    int64_t frames = 0;
    int64_t delay = 0;  // in frames
};

std::vector<delay_run> delay_runs(const std::string& played, int channels) {
    std::vector<delay_run> runs;
    const int64_t frames = static_cast<int64_t>(played.size()) / (3 * channels);
    for (int64_t f = 0; f < frames; ++f) {
        const int32_t v = sample_at(played, channels, f, 0);
        if (!runs.empty()) {
            delay_run& last = runs.back();
            if (last.from + last.frames == f && v == marker_sample(0, f - last.delay)) {
                ++last.frames;
                continue;
            }
        }
        if ((v >> 20) == 1) {
            runs.push_back({f, 1, f - ((v & 0xfffff) - 1)});
        }
    }
    // Runs of a few frames are a fade's samples that happen to look like markers.
    std::erase_if(runs, [](const delay_run& r) { return r.frames < 64; });
    return runs;
}

// A run on the file device, mode 1 at 0.25 s and 44100 Hz, with `seconds` of markers
// captured and standard input a pipe: each line is written once the output shows its cue,
// then the input ends. Gives the run's result and what it played.
struct commanded_run {
    process_result result;
    std::string played;
};

commanded_run run_with_commands(
    int seconds, const std::vector<std::pair<std::string, std::string>>& cues_and_lines,
    const std::vector<std::string>& options = {}) {
    const virtual_devices devices = make_virtual_devices();
    write_file(devices.captured_path(), marker_frames(2, (seconds + 2) * 44100));
    commanded_run out;
    const std::string commands = devices.dir + "/commands";
    if (mkfifo(devices.played_path().c_str(), 0600) != 0 || mkfifo(commands.c_str(), 0600) != 0) {
        ADD_FAILURE() << "mkfifo";
        return out;
    }
    std::thread reader([&] { drain_fifo(devices.played_path(), out.played, 44100 * 2 * 3); });
    std::vector<std::string> argv{"/bin/bash", "-c", "exec \"$@\" < \"$0\"", commands, binary};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {"loop", "1", "1", "1", "0.25", "44100", std::to_string(seconds)});
    background_process run = start_program(argv, devices.env, devices.dir, "run");
    const int to_program = open(commands.c_str(), O_WRONLY);
    for (const auto& [cue, line] : cues_and_lines) {
        if (!wait_for_output(run, cue, 20)) {
            ADD_FAILURE() << "no " << cue << " in " << read_file(run.out_path);
            break;
        }
        if (write(to_program, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            ADD_FAILURE() << "the program did not take " << line;
        }
    }
    close(to_program);  // the end of the input changes nothing
    out.result = finish_program(run, 30);
    reader.join();
    remove_tree(devices.dir);
    return out;
}

// Changes of the delay on standard input while the run plays in real time: before each one
// the old delay, after it the new, and between them only the join: a crossfade of 5 ms when
// the delay gets shorter, a fade out, the difference in silence and a fade in when it gets
// longer. A refused line changes nothing.
TEST(LiveChange, LinesOnStandardInputMoveTheDelayWithoutAClick) {
    const auto [r, played] = run_with_commands(
        4, {{"\r1 sec", "delay 0.5\n"}, {"\r2 sec", "delay nonsense\ndelay -0.2\n"}});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\nTime delay ~ 0.500 sec\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nTime delay ~ 0.300 sec\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "Delay time is not a number: \"nonsense\"\n");

    const std::vector<delay_run> runs = delay_runs(played, 2);
    ASSERT_EQ(runs.size(), 3u) << "the delay changed other than twice";
    constexpr int64_t fade = 220;  // 5 ms at 44100 Hz
    EXPECT_EQ(runs[0].from, 11025);
    EXPECT_EQ(runs[0].delay, 11025);
    EXPECT_EQ(runs[1].delay, 22050);
    EXPECT_EQ(runs[2].delay, 13230);
    // Longer: fade out, 0.25 s of silence, fade in; the sound resumes where it stopped.
    const int64_t paused_at = runs[0].from + runs[0].frames;
    EXPECT_EQ(runs[1].from, paused_at + fade + 11025 + fade);
    for (int64_t f = paused_at + fade; f < paused_at + fade + 11025; ++f) {
        ASSERT_EQ(sample_at(played, 2, f, 0), 0) << f;
    }
    // Shorter: one crossfade from the old delay into the new: between the two runs only
    // frames that lie between what each delay would have played (its ends round to either).
    const int64_t joint = runs[1].from + runs[1].frames;
    EXPECT_GT(runs[2].from, joint);
    EXPECT_LE(runs[2].from, joint + fade);
    for (int64_t f = joint; f < runs[2].from; ++f) {
        const int32_t old_sample = marker_sample(0, f - runs[1].delay);
        const int32_t new_sample = marker_sample(0, f - runs[2].delay);
        const int32_t got = sample_at(played, 2, f, 0);
        EXPECT_GE(got, std::min(old_sample, new_sample)) << f;
        EXPECT_LE(got, std::max(old_sample, new_sample)) << f;
    }
    // Never a channel it was not routed to.
    for (int64_t f = 0; f < static_cast<int64_t>(played.size()) / 6; ++f) {
        ASSERT_EQ(sample_at(played, 2, f, 1), 0) << f;
    }
}

// A dump on standard input cuts the newest audio held: what played before the cut runs into
// what comes after it through a crossfade, with no silence between, and the delay is then the
// old one less the slice. It is built back by playing slower, the pitch kept, at the rate
// asked, until it is the delay asked again, which then holds to the frame.
TEST(LiveChange, ADumpCutsTheNewestAndBuildsTheDelayBack) {
    const auto [r, played] =
        run_with_commands(4, {{"\r1 sec", "dump 0.1\n"}}, {"--rebuild-rate", "10"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\nTime delay ~ 0.150 sec, rebuilding to 0.250\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nTime delay ~ 0.250 sec\n", r.out.find("rebuilding")), std::string::npos)
        << r.out;

    const std::vector<delay_run> runs = delay_runs(played, 2);
    ASSERT_GE(runs.size(), 3u);
    constexpr int64_t fade = 220;  // 5 ms at 44100 Hz
    EXPECT_EQ(runs[0].delay, 11025);
    // The joint: a crossfade into the sound captured after the cut, 0.1 s later than it.
    const int64_t joint = runs[0].from + runs[0].frames;
    EXPECT_EQ(runs[1].delay, 11025 - 4410);
    EXPECT_LE(runs[1].from - joint, fade + 1);
    // No silence from the first sound to the end: the stretch plays pieces of the sound.
    const int64_t frames = static_cast<int64_t>(played.size()) / 6;
    for (int64_t f = runs[0].from; f < frames; ++f) {
        ASSERT_NE(sample_at(played, 2, f, 0), 0) << f;
    }
    // The delay grows by a tenth of what plays, to the delay asked, and holds it from there.
    const delay_run& last = runs.back();
    EXPECT_NEAR(last.delay, 11025, 44) << "within a millisecond";
    EXPECT_EQ(last.from + last.frames, frames);
    EXPECT_GE(last.frames, 44100);
    const int64_t rebuilt_in = last.from - runs[1].from;
    EXPECT_NEAR(static_cast<double>(rebuilt_in), 44100, 44100 * 0.05 + fade)
        << "4410 frames at a tenth of what plays";
}

// A run reserves memory for the delay it holds, not for the longest one: a second in stereo at
// 192 000 Hz starts within 300 MB of address space (the program as it ships: the sanitizers'
// shadow memory alone needs terabytes of it).
TEST(Memory, AShortDelayAtAHighRateStartsWithinAFewHundredMegabytes) {
    const virtual_devices devices = make_virtual_devices();
    write_file(devices.captured_path(), marker_frames(2, 192000 * 2));
    const process_result r =
        run_program({"/bin/bash", "-c", "ulimit -v 300000 && exec \"$@\"", "bash",
                     LIVEDELAY_PLAIN_BIN, "loop", "2", "1", "1", "1", "192000", "1"},
                    devices.env, 60);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("Cannot allocate"), std::string::npos) << r.out;
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

struct counter_case {
    int rate;
    int seconds;
    double delay = 0.5;  // short delays run short periods, many passes to a second
};

class Counter : public Budget, public ::testing::WithParamInterface<counter_case> {};

// The counter goes up one second at a time, never skipping one however many passes a wake
// moves, up to the last second begun before the time-out, at any period.
TEST_P(Counter, ShowsEverySecondUpToTheTimeOut) {
    const auto [rate, seconds, delay] = GetParam();
    write_file(devices.captured_path(), marker_frames(2, int64_t{rate} * (seconds + 1)));
    const process_result r = run_program({binary, "loop", "1", "1", "1", std::to_string(delay),
                                          std::to_string(rate), std::to_string(seconds)},
                                         devices.env, 60);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string counted;
    for (int s = 1; s < seconds; ++s) {
        counted += "\r" + std::to_string(s) + " sec";
    }
    EXPECT_TRUE(r.out.ends_with("Time out at " + std::to_string(seconds) + " sec\n" + counted +
                                "\nFinished\n"))
        << r.out;
}

INSTANTIATE_TEST_SUITE_P(Rates, Counter,
                         ::testing::Values(counter_case{48000, 8}, counter_case{44100, 12},
                                           counter_case{32000, 2}, counter_case{96000, 3},
                                           counter_case{48000, 3, 0.02},
                                           counter_case{44100, 3, 0.05},
                                           counter_case{48000, 1, 0.02}),
                         [](const auto& info) {
                             return std::to_string(info.param.rate) + "Hz" +
                                    std::to_string(info.param.seconds) + "sAt" +
                                    std::to_string(std::lround(info.param.delay * 1000)) + "ms";
                         });

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
    background_process run = start_program(
        {binary, "endless", "1", "1", "1", "1", "44100", "86400"}, devices.env, devices.dir, "run");
    ASSERT_TRUE(wait_for_output(run, "\r1 sec", 30));
    kill(run.pid, GetParam());
    const process_result r = finish_program(run, 30);
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
