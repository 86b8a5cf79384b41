// The private PipeWire server of the real-time tests (tests/pipewire/pipewire_fixture.sh),
// judged on its own terms: a signal crosses the rig sample-exact and on the channels it was
// sent to, capture starts at once even on a rig that has gone idle, and two fixtures never
// hear each other. The program's trials on it are in realtime_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/process.hpp"
#include "support/realtime.hpp"
#include "support/sim_card.hpp"

namespace {

constexpr double one_sample_ms = 1000.0 / 48000;

// The times make_clicks listed for `channel` (1 or 2; its clicks alternate), or for every
// channel (0).
std::vector<double> listed_times(const std::string& list, int channel) {
    std::vector<double> times;
    for (const listed_click& c : listed_clicks(list)) {
        if (channel == 0 || c.channel == channel || c.channel == 0) {
            times.push_back(c.ms);
        }
    }
    return times;
}

// Where the analyser found the clicks of the input channels `in` of a recording.
std::vector<double> recorded_times(const std::string& recording, const std::string& in,
                                   int rate = 48000) {
    const analysis a = analyse({"--rate", std::to_string(rate), "--tolerance-ms", "5", "--in", in,
                                "--out", in, recording});
    EXPECT_LE(a.run.status, 1) << a.run.out << a.run.err;
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

class PipeWireServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STRNE(PIPEWIRE_ALSA_PLUGIN, "")
            << "PipeWire's ALSA plugin was not unpacked when the build was configured "
               "(scripts/unpack-pipewire-alsa.sh)";
        work = make_temp_dir("ldpw");
    }
    void TearDown() override {
        for (const sound_server* s : {&other, &server}) {
            leave_server(*s, HasFailure());
        }
        if (!HasFailure()) {
            remove_tree(work);
        }
    }

    sound_server server = pipewire_server();
    sound_server other = pipewire_server();  // a second fixture, for the test that runs two
    std::string work;                        // the signals and the recordings
};

// The signal played into rig_in comes back in the recording of rig.monitor on channels 1-2,
// each side on its own channel, click for click at the listed spacing; nothing reaches 3-4.
TEST_F(PipeWireServer, TheSignalCrossesTheRigSampleExactOnItsOwnChannels) {
    const process_result started = use_server(server);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    // Two seconds: to the sample, as five would be.
    ASSERT_EQ(make_click_train(work, 48000, 2).status, 0);
    const std::string recording = work + "/signal.raw";
    const measurement m = measure(server, work + "/clicks.wav", recording, {}, {});
    ASSERT_EQ(m.fixture.status, 0) << m.fixture.out << m.fixture.err;
    EXPECT_EQ(fields_of(last_line(m.fixture.out))["command_status"], "none") << m.fixture.out;

    const std::string list = read_file(work + "/clicks.txt");
    for (const int channel : {1, 2}) {
        SCOPED_TRACE("channel " + std::to_string(channel));
        expect_same_spacing(recorded_times(recording, std::to_string(channel)),
                            listed_times(list, channel));
    }
    const auto planes = recorded_channels(read_file(recording), 4);
    ASSERT_FALSE(planes[0].empty());
    EXPECT_GE(first_sound(planes, {0}), 0);
    EXPECT_GE(first_sound(planes, {1}), 0);
    EXPECT_EQ(first_sound(planes, {2, 3}), -1) << "channels 3-4 carry sound nobody played";
}

// Runs pcm_probe on the rig: the program's sample format is taken as it is, and the first
// captured frames come within a few periods.
void expect_prompt_capture(const sound_server& server, const char* state) {
    SCOPED_TRACE(state);
    const process_result probe =
        run_program({PCM_PROBE_BIN, "--seconds", "0.5", "rig"}, program_env(server), 30);
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

// True once wireplumber has suspended the rig.
bool rig_suspended(const sound_server& server) {
    const process_result sinks =
        run_program({"/usr/bin/env", "pactl", "--server=unix:" + server.dir + "/native", "list",
                     "short", "sinks"},
                    program_env(server), 10);
    std::istringstream lines(sinks.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\trig\t") != std::string::npos && line.ends_with("SUSPENDED")) {
            return true;
        }
    }
    return false;
}

// The server PipeWire's scenarios in simulated time run on (pipewire_plugin in
// tests/support/sim_card.hpp) is what this one does with the program's streams: capture handed
// over a quantum at a time, playback's room growing a quantum at a time, and with 8192 frames
// kept queued, the queue reported low by no more than its lag. Three looks, each of 1 s.
TEST_F(PipeWireServer, BehavesAsTheTestsModelIt) {
    const process_result started = use_server(server);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    const sim_server model = pipewire_plugin();
    for (int look = 0; look < 3; ++look) {
        const probe_look p = look_with_probe(server);
        EXPECT_EQ(p.capture_step_frames, model.block_frames) << p.out;
        EXPECT_EQ(p.playback_step_frames, model.playback_step_frames) << p.out;
        EXPECT_LE(p.queue_max_frames, 8192) << p.out;
        EXPECT_GE(p.queue_max_frames, 8192 - model.report_lag_frames) << p.out;
        expect_underrun_reported(p);
        std::printf("%s\n", last_line(p.out).c_str());
    }
}

// A fresh rig has never run, and one left alone after use is suspended by wireplumber after a
// few seconds. Neither makes a stream that starts on it wait for its first frames. The server
// is this test's own: a fresh one.
TEST_F(PipeWireServer, AnIdleOrSuspendedRigDeliversCaptureAtOnce) {
    const auto started_at = std::chrono::steady_clock::now();
    const process_result started = start_server(server);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    std::printf("fixture start took %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started_at)
                                           .count()));
    expect_prompt_capture(server, "fresh");
    const auto waiting = std::chrono::steady_clock::now();
    bool suspended = false;
    while (!suspended && std::chrono::steady_clock::now() - waiting < std::chrono::seconds(20)) {
        suspended = rig_suspended(server);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(suspended) << "the rig, idle after use, was never suspended";
    expect_prompt_capture(server, "suspended");
}

// A second fixture, at another rate, runs beside the first without either hearing the
// other's signal; stopped, it leaves none of its processes, and it starts again in its
// directory.
TEST_F(PipeWireServer, TwoFixturesStayApartAndOneStartsAgainAfterAStop) {
    const process_result started = use_server(server);
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    other.dir = make_temp_dir("ldpw");
    other.rate = 44100;
    other.start_options.insert(other.start_options.end(), {"--rate", "44100"});
    ASSERT_EQ(make_clicks({"--channels", "2", "--seconds", "2", "--seed", "1", "--list",
                           work + "/short.txt", work + "/short.wav"})
                  .status,
              0);
    ASSERT_EQ(make_clicks({"--channels", "2", "--seconds", "2", "--seed", "7", "--rate", "44100",
                           "--list", other.dir + "/short.txt", other.dir + "/short.wav"})
                  .status,
              0);
    for (const int round : {1, 2}) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<std::string> start{"/bin/bash", other.script, "start", other.dir};
        start.insert(start.end(), other.start_options.begin(), other.start_options.end());
        const process_result other_started = run_program(start, {}, 40);
        ASSERT_EQ(other_started.status, 0) << other_started.out << other_started.err;
        EXPECT_NE(read_file(other.dir + "/asound.conf").find(other.dir + "/runtime/pipewire-0"),
                  std::string::npos);

        // Both measure at once; each recording must hold its own clicks only.
        background_process beside =
            start_program({"/bin/bash", other.script, "measure", other.dir, "--lead", "0.5",
                           "--tail", "0.5", other.dir + "/short.wav", other.dir + "/rec.raw"},
                          {}, other.dir, "measure");
        const measurement here = measure(server, work + "/short.wav", work + "/rec.raw",
                                         {"--lead", "0.5", "--tail", "0.5"}, {});
        const process_result there = finish_program(beside, 60);
        ASSERT_EQ(here.fixture.status, 0) << here.fixture.out << here.fixture.err;
        ASSERT_EQ(there.status, 0) << there.out << there.err;
        expect_same_spacing(recorded_times(work + "/rec.raw", "1,2"),
                            listed_times(read_file(work + "/short.txt"), 0));
        expect_same_spacing(recorded_times(other.dir + "/rec.raw", "1,2", 44100),
                            listed_times(read_file(other.dir + "/short.txt"), 0));

        std::vector<int> pids;
        for (const char* name : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse"}) {
            pids.push_back(std::atoi(read_file(other.dir + "/" + name + ".pid").c_str()));
            EXPECT_GT(pids.back(), 0) << name;
        }
        const process_result stopped =
            run_program({"/bin/bash", other.script, "stop", other.dir}, {}, 30);
        ASSERT_EQ(stopped.status, 0) << stopped.out << stopped.err;
        for (const int pid : pids) {
            // Gone, or a zombie waiting for an init that reaps late.
            const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
            EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
        }
    }
}

}  // namespace
