// The private PipeWire server of the real-time tests (tests/pipewire/pipewire_fixture.sh),
// judged on its own terms: a signal crosses the rig sample-exact and on the channels it was
// sent to, the real binary on PipeWire's ALSA plugin comes back at one delay, capture starts
// at once even on a rig that has gone idle, and two fixtures never hear each other.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/realtime.hpp"
#include "support/virtual_devices.hpp"

namespace {

const std::string fixture = LIVEDELAY_TEST_SOURCE_DIR "/pipewire/pipewire_fixture.sh";
constexpr int rate = 48000;
constexpr double delay_ms = 500.0;
constexpr double one_sample_ms = 1000.0 / rate;

// One input click as click_delay saw it; out_ms is NAN when it had no copy.
struct click {
    double in_ms = NAN;
    double out_ms = NAN;
};

struct analysis {
    std::vector<click> clicks;
    std::map<std::string, std::string> summary;
};

// The click times make_clicks listed for `channel` (1 or 2; its clicks alternate), or for
// every channel (0).
std::vector<double> listed_clicks(const std::string& list, int channel) {
    std::vector<double> times;
    std::istringstream lines(list);
    int c = 0;
    double ms = 0;
    long sample = 0;
    while (lines >> c >> ms >> sample) {
        if (channel == 0 || c == channel || c == 0) {
            times.push_back(ms);
        }
    }
    return times;
}

// Frames of a raw s16le recording, channel by channel.
std::vector<std::vector<int16_t>> deinterleave(const std::string& bytes, int channels) {
    std::vector<std::vector<int16_t>> planes(static_cast<size_t>(channels));
    const size_t frames = bytes.size() / (2 * static_cast<size_t>(channels));
    for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const size_t at = (f * static_cast<size_t>(channels) + static_cast<size_t>(c)) * 2;
            const auto lo = static_cast<uint8_t>(bytes[at]);
            const auto hi = static_cast<uint8_t>(bytes[at + 1]);
            planes[static_cast<size_t>(c)].push_back(static_cast<int16_t>(lo | (hi << 8)));
        }
    }
    return planes;
}

// The first frame where any of `channels` (0-based) is not digital silence; -1 for none.
long first_sound(const std::vector<std::vector<int16_t>>& planes, std::vector<int> channels) {
    for (size_t f = 0; !planes.empty() && f < planes[0].size(); ++f) {
        for (const int c : channels) {
            if (planes[static_cast<size_t>(c)][f] != 0) {
                return static_cast<long>(f);
            }
        }
    }
    return -1;
}

process_result start_fixture(const std::string& dir, const std::vector<std::string>& options) {
    std::vector<std::string> argv{"/bin/bash", fixture,         "start",
                                  dir,         "--alsa-plugin", PIPEWIRE_ALSA_PLUGIN};
    argv.insert(argv.end(), options.begin(), options.end());
    return run_program(argv, {}, 40);
}

process_result make_clicks(const std::vector<std::string>& args) {
    std::vector<std::string> argv{MAKE_CLICKS_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, {}, 30);
}

// Runs click_delay with `args` on a recording; gives every click and the summary.
analysis analyse(const std::vector<std::string>& args) {
    std::vector<std::string> argv{CLICK_DELAY_BIN, "--tolerance-ms", "5"};
    argv.insert(argv.end(), args.begin(), args.end());
    const process_result r = run_program(argv, {}, 60);
    EXPECT_LE(r.status, 1) << r.out << r.err;
    analysis a;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("click ")) {
            const auto f = fields_of(line);
            a.clicks.push_back({number(f, "in_ms"), number(f, "out_ms")});
        }
    }
    a.summary = fields_of(last_line(r.out));
    return a;
}

std::vector<double> input_times(const analysis& a) {
    std::vector<double> times;
    for (const click& c : a.clicks) {
        times.push_back(c.in_ms);
    }
    return times;
}

// Every recorded click lies the same distance from the listed one, to the sample: nothing
// was dropped, repeated or resampled on the way.
void expect_same_spacing(const std::vector<double>& recorded, const std::vector<double>& listed) {
    ASSERT_EQ(recorded.size(), listed.size());
    ASSERT_FALSE(recorded.empty());
    const double offset = recorded[0] - listed[0];
    for (size_t i = 0; i < recorded.size(); ++i) {
        EXPECT_NEAR(recorded[i] - listed[i], offset, one_sample_ms)
            << "click " << i << " listed at " << listed[i] << " ms";
    }
}

class PipeWireServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STRNE(PIPEWIRE_ALSA_PLUGIN, "")
            << "PipeWire's ALSA plugin was not unpacked when the build was configured "
               "(scripts/unpack-pipewire-alsa.sh)";
        dir = make_temp_dir("ldpw");
        const auto started_at = std::chrono::steady_clock::now();
        const process_result started = start_fixture(dir, {});
        ASSERT_EQ(started.status, 0) << "the PipeWire test server did not start:\n"
                                     << started.out << started.err;
        start_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - started_at)
                       .count();
        const process_result clicks = make_clicks({"--channels", "2", "--seconds", "8", "--list",
                                                   dir + "/clicks.txt", dir + "/clicks.wav"});
        ASSERT_EQ(clicks.status, 0) << clicks.err;
    }
    void TearDown() override {
        if (!other.empty()) {
            run_program({"/bin/bash", fixture, "stop", other}, {}, 30);
            if (!HasFailure()) {
                remove_tree(other);
            }
        }
        const process_result stopped = run_program({"/bin/bash", fixture, "stop", dir}, {}, 30);
        EXPECT_EQ(stopped.status, 0) << stopped.out << stopped.err;
        if (!HasFailure()) {
            remove_tree(dir);
        }
    }

    process_result measure(const std::string& in_dir, const std::string& signal,
                           const std::string& recording, const std::vector<std::string>& options,
                           const std::vector<std::string>& command) {
        std::vector<std::string> argv{"/bin/bash", fixture, "measure", in_dir};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {signal, recording});
        if (!command.empty()) {
            argv.push_back("--");
            argv.insert(argv.end(), command.begin(), command.end());
        }
        return run_program(argv, {}, 90);
    }

    std::string dir;
    std::string other;  // a second fixture's directory, for the tests that run two
    int64_t start_ms = 0;
};

// The signal played into rig_in comes back in the recording of rig.monitor on channels 1-2,
// each side on its own channel, click for click at the listed spacing; nothing reaches 3-4.
TEST_F(PipeWireServer, TheSignalCrossesTheRigSampleExactOnItsOwnChannels) {
    const std::string recording = dir + "/signal.raw";
    const process_result m = measure(dir, dir + "/clicks.wav", recording, {}, {});
    ASSERT_EQ(m.status, 0) << m.out << m.err;
    EXPECT_EQ(fields_of(last_line(m.out))["command_status"], "none") << m.out;

    const std::string list = read_file(dir + "/clicks.txt");
    for (const int channel : {1, 2}) {
        SCOPED_TRACE("channel " + std::to_string(channel));
        const std::string c = std::to_string(channel);
        const analysis a = analyse({"--in", c, "--out", c, recording});
        expect_same_spacing(input_times(a), listed_clicks(list, channel));
    }
    const auto planes = deinterleave(read_file(recording), 4);
    ASSERT_FALSE(planes[0].empty());
    EXPECT_GE(first_sound(planes, {0}), 0);
    EXPECT_GE(first_sound(planes, {1}), 0);
    EXPECT_EQ(first_sound(planes, {2, 3}), -1) << "channels 3-4 carry sound nobody played";
    std::printf("fixture start took %lld ms\n", static_cast<long long>(start_ms));
}

// The binary on the rig through PipeWire's own ALSA plugin, started together with the
// signal: it ends by itself, and every click from its first delivered capture on comes out on
// 3-4 at one delay, no sooner than asked.
TEST_F(PipeWireServer, LivedelayOnTheRigComesBackAtOneDelayAfterItsFirstCapture) {
    const std::string recording = dir + "/delayed.raw";
    const process_result m =
        measure(dir, dir + "/clicks.wav", recording,
                {"--wait", "--lead", "0", "--tail", "1.5", "--limit", "60"},
                {LIVEDELAY_BIN, "rig", "2", "1", "1", "0.5", std::to_string(rate), "12"});
    ASSERT_EQ(m.status, 0) << m.out << m.err;
    const std::string program_out = read_file(recording + ".cmd.log");
    EXPECT_EQ(read_file(recording + ".status"), "0\n") << program_out;
    EXPECT_TRUE(program_out.ends_with("\nFinished\n")) << program_out;

    const analysis a = analyse({"--expect-min-ms", std::to_string(delay_ms), "--max-spread-ms", "2",
                                "--max-extra", "0", "--min-matched", "1", recording});
    EXPECT_EQ(a.summary.at("extra"), "0");
    const double median_ms = number(a.summary, "delay_ms_median");
    ASSERT_FALSE(std::isnan(median_ms)) << "no click came back";
    const double spread_ms = number(a.summary, "delay_ms_max") - number(a.summary, "delay_ms_min");
    EXPECT_LE(spread_ms, 2.0);

    // The signal's tone starts at its first sample, so the program's output turns from digital
    // silence to sound one delay after its first captured frame went in: every click from
    // there on must be back, none before.
    const auto planes = deinterleave(read_file(recording), 4);
    const long in_start = first_sound(planes, {0, 1});
    const long out_start = first_sound(planes, {2, 3});
    ASSERT_GE(in_start, 0) << "the signal never reached the rig";
    ASSERT_GE(out_start, 0) << "the program played nothing but silence";
    const double capture_start_ms = out_start * one_sample_ms - median_ms;
    const double capture_after_ms = capture_start_ms - in_start * one_sample_ms;
    // A click that straddles that moment may come out in part; it proves nothing either way.
    constexpr double straddle_ms = 3.0;
    int due = 0;
    for (const click& c : a.clicks) {
        if (c.in_ms >= capture_start_ms) {
            ++due;
            EXPECT_FALSE(std::isnan(c.out_ms)) << "click at " << c.in_ms << " ms is missing";
        } else if (c.in_ms < capture_start_ms - straddle_ms) {
            EXPECT_TRUE(std::isnan(c.out_ms))
                << "click at " << c.in_ms << " ms came out before it could have been captured";
        }
    }
    EXPECT_GT(due, 0);
    std::printf(
        "livedelay rig: delay %.3f ms (extra %.3f ms, spread %.3f ms); the first captured "
        "frame it kept went in %.0f ms after the signal began (both were started together); "
        "%d of %zu clicks after it\n",
        median_ms, median_ms - delay_ms, spread_ms, capture_after_ms, due, a.clicks.size());
}

// Runs pcm_probe on the rig: the program's sample format is taken as it is, and the first
// captured frames come within a few periods.
void expect_prompt_capture(const std::string& dir, const char* state) {
    SCOPED_TRACE(state);
    const process_result probe =
        run_program({PCM_PROBE_BIN, "--seconds", "0.5", "rig"}, {alsa_config_env(dir)}, 30);
    ASSERT_EQ(probe.status, 0) << probe.out << probe.err;
    EXPECT_NE(probe.out.find("capture noninterleaved=yes s24_3le=yes"), std::string::npos)
        << probe.out;
    EXPECT_NE(probe.out.find("playback noninterleaved=yes s24_3le=yes"), std::string::npos)
        << probe.out;
    const auto summary = fields_of(last_line(probe.out));
    EXPECT_LT(number(summary, "first_capture_ms"), 250.0) << probe.out;
    EXPECT_EQ(summary.at("xruns"), "0") << probe.out;
    std::printf("%s rig: %s\n", state, last_line(probe.out).c_str());
}

// A fresh rig has never run, and one left alone after use is suspended by wireplumber after a
// few seconds. Neither makes a stream that starts on it wait for its first frames.
TEST_F(PipeWireServer, AnIdleOrSuspendedRigDeliversCaptureAtOnce) {
    expect_prompt_capture(dir, "fresh");
    const auto waiting = std::chrono::steady_clock::now();
    bool suspended = false;
    while (!suspended && std::chrono::steady_clock::now() - waiting < std::chrono::seconds(20)) {
        const process_result sinks = run_program(
            {"/usr/bin/env", "pactl", "--server=unix:" + dir + "/native", "list", "short", "sinks"},
            {"PULSE_CLIENTCONFIG=" + dir + "/client.conf"}, 10);
        std::istringstream lines(sinks.out);
        for (std::string line; std::getline(lines, line);) {
            suspended = suspended ||
                        (line.find("\trig\t") != std::string::npos && line.ends_with("SUSPENDED"));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(suspended) << "the rig, idle after use, was never suspended";
    expect_prompt_capture(dir, "suspended");
}

// A second fixture, at another rate, runs beside the first without either hearing the
// other's signal; stopped, it leaves none of its processes, and it starts again in its
// directory.
TEST_F(PipeWireServer, TwoFixturesStayApartAndOneStartsAgainAfterAStop) {
    other = make_temp_dir("ldpw");
    ASSERT_EQ(make_clicks({"--channels", "2", "--seconds", "2", "--seed", "1", "--list",
                           dir + "/short.txt", dir + "/short.wav"})
                  .status,
              0);
    ASSERT_EQ(make_clicks({"--channels", "2", "--seconds", "2", "--seed", "7", "--rate", "44100",
                           "--list", other + "/short.txt", other + "/short.wav"})
                  .status,
              0);
    for (const int round : {1, 2}) {
        SCOPED_TRACE("round " + std::to_string(round));
        const process_result started = start_fixture(other, {"--rate", "44100"});
        ASSERT_EQ(started.status, 0) << started.out << started.err;
        EXPECT_NE(read_file(other + "/asound.conf").find(other + "/runtime/pipewire-0"),
                  std::string::npos);

        // Both measure at once; each recording must hold its own clicks only.
        background_process beside =
            start_program({"/bin/bash", fixture, "measure", other, "--lead", "0.5", "--tail", "0.5",
                           other + "/short.wav", other + "/rec.raw"},
                          {}, other, "measure");
        const process_result here = measure(dir, dir + "/short.wav", dir + "/rec.raw",
                                            {"--lead", "0.5", "--tail", "0.5"}, {});
        const process_result there = finish_program(beside, 60);
        ASSERT_EQ(here.status, 0) << here.out << here.err;
        ASSERT_EQ(there.status, 0) << there.out << there.err;
        const analysis a = analyse({"--in", "1,2", "--out", "1,2", dir + "/rec.raw"});
        const analysis b =
            analyse({"--rate", "44100", "--in", "1,2", "--out", "1,2", other + "/rec.raw"});
        expect_same_spacing(input_times(a), listed_clicks(read_file(dir + "/short.txt"), 0));
        expect_same_spacing(input_times(b), listed_clicks(read_file(other + "/short.txt"), 0));

        std::vector<int> pids;
        for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}) {
            pids.push_back(std::atoi(read_file(other + "/" + name + ".pid").c_str()));
            EXPECT_GT(pids.back(), 0) << name;
        }
        const process_result stopped = run_program({"/bin/bash", fixture, "stop", other}, {}, 30);
        ASSERT_EQ(stopped.status, 0) << stopped.out << stopped.err;
        for (const int pid : pids) {
            // Gone, or a zombie waiting for an init that reaps late.
            const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
            EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
        }
    }
}

}  // namespace
