// The real transfer loop on a card in simulated time (support/sim_card.hpp): starts at every
// delay, xruns, suspends and a device that vanishes, a program stopped for seconds, late wakes,
// two clocks apart, live changes and dumps, each judged frame by frame as the card's real-time
// trials are, in a fraction of the time, and the same every time for a given seed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "delay.hpp"
#include "pcm.hpp"
#include "progress.hpp"
#include "support/delay_windows.hpp"
#include "support/fake_card.hpp"
#include "support/process.hpp"
#include "support/sim_card.hpp"
#include "support/sim_scenario.hpp"

namespace livedelay {
namespace {

struct start_case {
    std::string name;
    double delay;
    unsigned rate;
};

class Start : public ::testing::TestWithParam<start_case> {};

// From the first frame, every frame is heard the delay after it was captured, at every delay
// from none to seconds, with no marker.
TEST_P(Start, EveryFrameIsHeardTheDelayLate) {
    const start_case& c = GetParam();
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = c.delay, .rate = c.rate, .seconds = 5}, *run);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    EXPECT_EQ(run->result.out.find("\nPX\n"), std::string::npos) << run->result.out;
    EXPECT_EQ(run->result.out.find("\nRX\n"), std::string::npos) << run->result.out;
    if (c.delay > 0) {
        expect_heard_at(*run, c.delay);
    }
}

INSTANTIATE_TEST_SUITE_P(Sim, Start,
                         ::testing::Values(start_case{"TwentyMs", 0.02, 48000},
                                           start_case{"FiftyMs", 0.05, 48000},
                                           start_case{"HalfASecond", 0.5, 48000},
                                           start_case{"HalfASecondAt44100", 0.5, 44100},
                                           start_case{"ThreeSeconds", 3.0, 48000}),
                         [](const auto& info) { return info.param.name; });

struct fault_case {
    std::string name;
    bool on_playback;
    sim_fault fault;
    bool resumes;
    std::string marker;  // RX, PX or none
};

class Fault : public ::testing::TestWithParam<fault_case> {};

// A fault about two seconds in shows its marker; from 1.5 s after it the delay is 0.5 s again,
// within 2 ms; no frame is ever played twice or out of capture order.
TEST_P(Fault, IsRecoveredAndTheDelayComesBack) {
    const fault_case& c = GetParam();
    constexpr double fault_s = 2.27;
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5,
                  .rate = 44100,
                  .seconds = 5,
                  .arrange =
                      [&](sim_world& w) {
                          sim_stream& s = c.on_playback ? w.playback : w.capture;
                          s.resumes = c.resumes;
                          strike(w, s, static_cast<int64_t>(fault_s * ns_per_s), c.fault);
                      }},
                 *run);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    EXPECT_EQ(run->result.out.find("\nRX\n") != std::string::npos, c.marker == "RX")
        << run->result.out;
    EXPECT_EQ(run->result.out.find("\nPX\n") != std::string::npos, c.marker == "PX")
        << run->result.out;
    expect_heard_at(*run, 0.5, {.tolerance = 0.002, .fault = fault_s});
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Fault,
    ::testing::Values(fault_case{"CaptureXrun", false, sim_fault::xrun, true, "RX"},
                      fault_case{"PlaybackXrun", true, sim_fault::xrun, true, "PX"},
                      fault_case{"CaptureSuspend", false, sim_fault::suspend, true, ""},
                      fault_case{"PlaybackSuspend", true, sim_fault::suspend, true, ""},
                      fault_case{"CaptureSuspendNoResume", false, sim_fault::suspend, false, ""},
                      fault_case{"PlaybackSuspendNoResume", true, sim_fault::suspend, false, ""}),
    [](const auto& info) { return info.param.name; });

// A device that vanishes ends the run with its stream named, ENODEV's code.
TEST(SimGone, AVanishedDeviceEndsTheRun) {
    for (const bool on_playback : {false, true}) {
        auto run = std::make_unique<sim_run>();
        run_scenario({.arrange =
                          [&](sim_world& w) {
                              strike(w, on_playback ? w.playback : w.capture, 2 * ns_per_s,
                                     sim_fault::gone);
                          }},
                     *run);
        EXPECT_EQ(run->result.err, -ENODEV);
        EXPECT_EQ(run->result.err_text, std::string(on_playback ? "Playback" : "Capture") +
                                            " stream failed: No such device\n");
        EXPECT_LT(run->result.end_s, 2.1);
    }
}

// A server frozen mid-run (its threads stopped): both streams hold still and never turn ready.
// Once the stall limit has passed, one line names a stream, and the run ends with the code of a
// time-out. A program stopped as long is no stall
// (SimCard.AProgramStoppedForSecondsComesBackToTheDelay).
TEST(SimServer, AFrozenServerEndsTheRunAfterTheStallLimit) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.seconds = 60,
                  .card = {.server = {.on = true}},
                  .arrange =
                      [](sim_world& w) {
                          strike(w, w.capture, 2 * ns_per_s, sim_fault::freeze);
                          strike(w, w.playback, 2 * ns_per_s, sim_fault::freeze);
                      }},
                 *run);
    EXPECT_EQ(run->result.err, -ETIMEDOUT);
    EXPECT_TRUE(run->result.err_text ==
                    "Capture stream stopped moving: no frames for 5 seconds\n" ||
                run->result.err_text == "Playback stream stopped moving: no frames for 5 seconds\n")
        << run->result.err_text;
    EXPECT_GE(run->result.end_s, 7.0);
    EXPECT_LT(run->result.end_s, 7.5);
}

// A minute on the card: every frame at the delay, with no marker, and the loop wakes about a
// period at a time, not more.
TEST(SimCard, AMinuteHoldsEveryFrame) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5, .rate = 44100, .seconds = 60}, *run);
    expect_no_marker(*run);
    expect_heard_at(*run, 0.5);
    const double periods = 60.0 * 44100 / 4096;
    EXPECT_LT(static_cast<double>(run->result.waits), 4 * periods) << "waits";
}

// The program stopped for 1.2 s, and for 12 s (a suspended laptop, a debugger): not a stall;
// the lost audio is marked, and from 2 s after the pause every frame is heard at the delay
// again, within 2 ms.
TEST(SimCard, AProgramStoppedForSecondsComesBackToTheDelay) {
    for (const double paused : {1.2, 12.0}) {
        SCOPED_TRACE(paused);
        auto run = std::make_unique<sim_run>();
        run_scenario(
            {.delay = 0.5,
             .rate = 44100,
             .seconds = 10,
             .arrange =
                 [&](sim_world& w) {
                     w.frozen.push_back(
                         {2 * ns_per_s, 2 * ns_per_s + static_cast<int64_t>(paused * ns_per_s)});
                 }},
            *run);
        ASSERT_EQ(run->result.err, 0) << run->result.err_text;
        EXPECT_NE(run->result.out.find("X\n"), std::string::npos) << run->result.out;
        expect_heard_at(*run, 0.5, {.tolerance = 0.002, .fault = 2.0, .recovery = paused + 2.0});
    }
}

// Wakes that come up to 2 ms late, as a busy scheduler makes them: the delay holds to the
// millisecond.
TEST(SimCard, LateWakesKeepTheDelay) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5, .seconds = 10, .card = {.seed = 7, .wake_jitter_ns = 2000000}},
                 *run);
    expect_no_marker(*run);
    expect_heard_at(*run, 0.5);
}

// Every wake 3 ms late, as on a loaded machine: the delay is heard as asked all the same, to
// the frame, at a short delay on short periods as at half a second. (Readings of what capture
// holds once took it for 3 ms less, and the delay heard came out 3 ms long.)
TEST(SimCard, WakesLateEveryTimeKeepTheDelay) {
    for (const double delay : {0.02, 0.05, 0.5}) {
        SCOPED_TRACE(delay);
        auto run = std::make_unique<sim_run>();
        run_scenario({.delay = delay, .seconds = 3, .card = {.wake_late_ns = loaded_wake_late_ns}},
                     *run);
        ASSERT_EQ(run->result.err, 0) << run->result.err_text;
        const delay_range d = heard_from(*run, 0.5 + delay);
        EXPECT_GT(d.frames, 48000);
        EXPECT_NEAR(d.lowest, delay, 0.0001);
        EXPECT_NEAR(d.highest, delay, 0.0001);
    }
}

// The same seed, the same run, to the byte.
TEST(SimCard, ASeedReplaysExactly) {
    std::string played[2];
    for (std::string& p : played) {
        auto run = std::make_unique<sim_run>();
        run_scenario({.delay = 0.5,
                      .seconds = 4,
                      .card = {.capture_ppm = 300, .seed = 11, .wake_jitter_ns = 3000000}},
                     *run);
        p = run->result.played;
    }
    EXPECT_FALSE(played[0].empty());
    EXPECT_TRUE(played[0] == played[1]);
}

delay_spread windowed_delays(const sim_run& run, double delay, double from_s = 0) {
    delay_windows w{.clocks = {run.settings.sample_rate, run.world.capture.ppb / 1000.0,
                               run.world.playback.ppb / 1000.0},
                    .delay = delay};
    const heard_channel heard = hear(run.result.played, 2, 0, w.clocks);
    if (heard.frames.empty()) {
        return {};
    }
    w.from = std::max(
        heard.frames.front().played + static_cast<int64_t>(unjudged_seconds * w.clocks.rate),
        static_cast<int64_t>(from_s * w.clocks.rate));
    take_heard(w, heard.frames);
    close_window(w);
    return w.spread;
}

struct drift_case {
    std::string name;
    double capture_ppm;
    double playback_ppm;
    int seconds;
};

class Drift : public ::testing::TestWithParam<drift_case> {};

// Two clocks apart by 100 to 1000 ppm: the correction starts before the delay has moved a
// millisecond, says so once, and every 5 ms from the first judgment on is heard within a
// millisecond of where it started, with no marker and no gap. On one clock, or two that run
// together, nothing is resampled: every frame is heard exactly the delay late.
TEST_P(Drift, TheDelayHeardHoldsWithinAMillisecond) {
    const drift_case& c = GetParam();
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5,
                  .rate = 44100,
                  .seconds = c.seconds,
                  .card = {.capture_ppm = c.capture_ppm, .playback_ppm = c.playback_ppm}},
                 *run);
    expect_no_marker(*run);
    const bool drifts = c.capture_ppm != c.playback_ppm;
    const size_t said = run->result.out.find("differ by ");
    EXPECT_EQ(said != std::string::npos, drifts) << run->result.out;
    if (!drifts) {
        expect_heard_at(*run, 0.5);
        return;
    }
    const delay_spread d = windowed_delays(*run, 0.5);
    EXPECT_GT(d.windows, static_cast<size_t>(c.seconds - 1) * 200);
    EXPECT_NEAR(d.start, 0, 0.0015);
    EXPECT_LE(d.highest - d.start, 0.001);
    EXPECT_GE(d.lowest - d.start, -0.001);
    const double ppm = std::strtod(run->result.out.c_str() + said + 10, nullptr);
    const double actual = c.capture_ppm - c.playback_ppm;
    EXPECT_NEAR(ppm, actual, std::max(30.0, std::fabs(actual) * 0.25)) << run->result.out;
}

INSTANTIATE_TEST_SUITE_P(Sim, Drift,
                         ::testing::Values(drift_case{"BothFastTogether", 300, 300, 12},
                                           drift_case{"CaptureFasterBy1000", 1000, 0, 15},
                                           drift_case{"CaptureSlowerBy1000", -1000, 0, 15},
                                           drift_case{"PlaybackFasterBy100", 0, 100, 25},
                                           drift_case{"CaptureFasterBy100", 100, 0, 25}),
                         [](const auto& info) { return info.param.name; });

// A delay of 20 s in rings barely longer than it: every frame is heard 20 s late, once the
// playing position has gone round the rings.
TEST(SimCard, ALongDelayPlaysEveryFrame) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 20, .seconds = 32}, *run);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    expect_heard_at(*run, 20);
    EXPECT_GE(heard_on_one_clock(*run).frames.size(), 11u * 48000);
}

// A live change from 0.5 to 0.75 s two seconds in, and back down to 0.6 s at four: before each,
// every frame at the delay before; from the end of what was on its way to the card (its
// buffer, 0.34 s, and a period), at the one asked.
TEST(SimCard, ALiveChangeIsHeardAsAsked) {
    auto run = std::make_unique<sim_run>();
    run_scenario(
        {.delay = 0.5, .seconds = 6, .commands = {{2.0, "delay 0.75"}, {4.0, "delay 0.6"}}}, *run);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    const card_clocks clocks{48000, 0, 0};
    const heard_channel heard = hear(run->result.played, 2, 0, clocks);
    int64_t off = 0;
    for (const heard_frame& f : heard.frames) {
        const double at_s = clock_seconds(f.played, clocks.rate, 0);
        const double due = at_s < 2.0    ? 0.5
                           : at_s < 2.45 ? -1
                           : at_s < 4.0  ? 0.75
                           : at_s < 4.45 ? -1
                                         : 0.6;
        if (due > 0 && f.played > heard.frames.front().played + clocks.rate / 2 &&
            std::fabs(f.delay - due) > 0.001 && off++ < 3) {
            ADD_FAILURE() << "at " << at_s << " s: " << f.delay << " s, due " << due;
        }
    }
    EXPECT_EQ(count_of(run->result.out, "\nTime delay ~ 0.750 sec\n"), 1u) << run->result.out;
    EXPECT_EQ(count_of(run->result.out, "\nTime delay ~ 0.600 sec\n"), 1u) << run->result.out;
}

// A dump two seconds in: the delay is cut and built back, and once it is back the delay heard
// is judged and held again, on two clocks 1000 ppm apart, whether or not the stretcher can
// take the rate (at 384000 Hz it cannot, and the delay comes back at once). The correction
// of the drift follows the rebuild: it holds the delay built back, not the one cut.
TEST(SimCard, AfterADumpTheDelayIsHeldAgain) {
    for (const unsigned rate : {48000u, 384000u}) {
        SCOPED_TRACE(rate);
        auto run = std::make_unique<sim_run>();
        run_scenario({.delay = 0.5,
                      .rate = rate,
                      .seconds = 12,
                      .card = {.capture_ppm = 1000},
                      .commands = {{2.0, "dump"}}},
                     *run);
        ASSERT_EQ(run->result.err, 0) << run->result.err_text;
        EXPECT_FALSE(run->t.latency.rebuilding);
        EXPECT_EQ(run->t.rebuild.phase, rebuild_phase::none);
        EXPECT_TRUE(run->t.drift.engaged) << run->result.out;
        const delay_spread d = windowed_delays(*run, 0.5, 8.0);
        EXPECT_GT(d.windows, 3u * 200);
        EXPECT_LE(d.highest, 0.001);
        EXPECT_GE(d.lowest, -0.001);
    }
}

// Two clocks 1000 ppm apart for `seconds`, the program stopped for 3 s at a third of it and
// a dump at two thirds: from the first judgment on, every 5 ms is heard within a millisecond
// of the delay, but for the seconds after the stop and the rebuild after the dump, with no
// other gap. Judged as it plays, a few seconds at a time.
void drift_with_a_stop_and_a_dump(int seconds) {
    constexpr unsigned rate = 44100;
    const int64_t stop_s = seconds / 3;
    const int64_t dump_s = 2 * seconds / 3;
    delay_windows w{
        .clocks = {rate, 1000, 0},
        .delay = 0.5,
        .from = rate,
        .excused = {{stop_s * rate, (stop_s + 6) * rate}, {dump_s * rate, (dump_s + 40) * rate}}};
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5,
                  .rate = rate,
                  .seconds = seconds,
                  .card = {.capture_ppm = 1000},
                  .commands = {{static_cast<double>(dump_s), "dump"}},
                  .arrange =
                      [&](sim_world& world) {
                          world.frozen.push_back({stop_s * ns_per_s, (stop_s + 3) * ns_per_s});
                          world.take_played = [&](const std::string& played, int64_t from) {
                              const heard_channel heard = hear(played, 2, 0, w.clocks, from);
                              take_heard(w, heard.frames);
                          };
                      }},
                 *run);
    hand_over_played(run->world);
    close_window(w);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    const std::string& out = run->result.out;
    EXPECT_EQ(count_of(out, "X\n"), 2u);  // the stop's RX and PX
    EXPECT_EQ(count_of(out, "differ by "), 1u);
    EXPECT_EQ(count_of(out, "Time delay ~ 0.500 sec\n"), 1u);
    EXPECT_EQ(run->t.rebuild.phase, rebuild_phase::none);
    EXPECT_GT(w.spread.windows, static_cast<size_t>(seconds - 48) * 200 * 99 / 100);
    EXPECT_LE(w.spread.highest, 0.001) << "at " << w.spread.highest_at_s << " s";
    EXPECT_GE(w.spread.lowest, -0.001) << "at " << w.spread.lowest_at_s << " s";
    EXPECT_EQ(w.silent_frames, 0);
}

TEST(SimCard, TwoClocksForMinutesWithAStopAndADump) {
    drift_with_a_stop_and_a_dump(360);
}

// The same for an hour, which takes a minute under the sanitizers (half a minute optimised, half
// of it in the converter that corrects the drift). By hand: sim_tests
// --gtest_also_run_disabled_tests --gtest_filter='*AnHour*'
TEST(SimCard, DISABLED_AnHourOfTwoClocksWithAStopAndADump) {
    drift_with_a_stop_and_a_dump(3600);
}

scenario on_server(double delay, int seconds, sim_server server = {}) {
    server.on = true;
    return {.delay = delay, .seconds = seconds, .card = {.server = server}};
}

struct server_case {
    std::string name;
    double delay;
    sim_server server;
    double tolerance;
    double judged_from_s = 0;  // where the delay may still be off before
};

class OnServer : public ::testing::TestWithParam<server_case> {};

// On a sound server's plugin (capture in blocks, queue reports late by up to a block), from
// the first frame captured, the delay heard is the delay asked, within a millisecond, for half
// a minute, with no marker.
TEST_P(OnServer, TheDelayAskedIsHeardFromTheStartAndHeld) {
    const server_case& c = GetParam();
    auto run = std::make_unique<sim_run>();
    run_scenario(on_server(c.delay, 30, c.server), *run);
    expect_no_marker(*run);
    const delay_range d = heard_from(*run, c.judged_from_s);
    EXPECT_GT(d.frames, static_cast<int64_t>((29 - c.delay - c.judged_from_s) * 48000));
    EXPECT_NEAR(d.lowest, c.delay, c.tolerance);
    EXPECT_NEAR(d.highest, c.delay, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, OnServer,
    ::testing::Values(
        server_case{"HalfASecond", 0.5, {}, 0.001}, server_case{"ThreeSeconds", 3.0, {}, 0.001},
        // A block of 21 ms is read anywhere in its first 5 ms.
        server_case{"LargeBlocks", 0.5, {.block_frames = 1024}, 0.002},
        // Reports that start low, then wander high over seconds: judged again
        // on a second of readings, then held through the wander.
        server_case{
            "WanderingReports", 0.5, {.early_low_frames = 130, .wander_frames = 290}, 0.001, 1.5},
        // Reports up to 800 frames late once the server is starved of the CPU
        // are not taken for a change of the delay.
        server_case{"LateReports", 0.5, {.late_from_ns = 4 * ns_per_s, .late_frames = 800}, 0.001},
        // ...nor when they come in later and later for 16 s, up to 32 ms, then catch up.
        server_case{"ABendInTheReports",
                    0.5,
                    {.bend_from_ns = 4 * ns_per_s, .bend_to_ns = 20 * ns_per_s, .bend_ppm = 2000},
                    0.001},
        server_case{"PipeWireHalfASecond", 0.5, pipewire_plugin(), 0.001},
        server_case{"PipeWireThreeSeconds", 3.0, pipewire_plugin(), 0.001},
        server_case{"JackHalfASecond", 0.5, jack_through_plug(), 0.001},
        server_case{"JackThreeSeconds", 3.0, jack_through_plug(), 0.001}),
    [](const auto& info) { return info.param.name; });

// Below what the device needs on its way, the delay is the shortest it allows, the same all
// through, and said once: on a server two of its periods of 4096 frames and a millisecond at
// most; on a card, whose periods follow the delay, two of 128 frames and a margin, 10 ms in
// all, enough for wakes up to 8 ms late.
TEST(SimShortest, ADelayBelowTheLevelPlaysAtTheLevel) {
    for (const bool server : {true, false}) {
        SCOPED_TRACE(server ? "server" : "card");
        auto run = std::make_unique<sim_run>();
        run_scenario(server ? on_server(0, 10)
                            : scenario{.delay = 0,
                                       .seconds = 10,
                                       .card = {.seed = 3, .wake_jitter_ns = 8000000}},
                     *run);
        expect_no_marker(*run);
        const delay_range d = heard_from(*run, 0);
        EXPECT_GT(d.frames, 9 * 48000);
        EXPECT_LE(d.highest, server ? (8192.0 + 48 + 240) / 48000 : 0.0101);
        EXPECT_NEAR(d.highest, d.lowest, 0.0001);
        EXPECT_EQ(count_of(run->result.err_text, "The shortest delay on this device is"), 1u)
            << run->result.err_text;
    }
}

// What a server holds beyond the queue (a graph of 1024 frames, a quantum of PipeWire's)
// counts towards the level playback starts with: the sound is heard as late as without one,
// from its first frame on.
TEST(SimServer, AudioHeldBeyondTheQueueCountsTowardsTheLevel) {
    auto plain = std::make_unique<sim_run>();
    auto graph = std::make_unique<sim_run>();
    run_scenario(on_server(0.2, 4), *plain);
    run_scenario(on_server(0.2, 4, {.graph_frames = 1024}), *graph);
    ASSERT_EQ(graph->result.err, 0) << graph->result.err_text;
    const delay_range expected = heard_from(*plain, 0);
    const delay_range heard = heard_from(*graph, 0);
    EXPECT_GT(heard.frames, 3 * 48000);
    EXPECT_NEAR(heard.lowest, expected.lowest, 0.0005);
    EXPECT_NEAR(heard.highest, expected.highest, 0.0005);
    EXPECT_NEAR(heard.highest, 0.2, 0.004) << "the first frames, before the first judgment";
}

// The program stopped while the server went on: capturing into its buffer, and playing until
// its queue ran dry, then stopping without a word. Playback is started afresh, the backlog is
// skipped, and from 2 s after the stall the delay is the one asked, within 2 ms.
TEST(SimServer, AStallWhileTheServerGoesOnComesBackToTheDelay) {
    auto run = std::make_unique<sim_run>();
    scenario s = on_server(0.5, 8);
    s.arrange = [](sim_world& w) { w.frozen.push_back({2 * ns_per_s, 3200 * ns_per_s / 1000}); };
    run_scenario(s, *run);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    const delay_range after = heard_from(*run, 5.2);
    EXPECT_GT(after.frames, 48000);
    EXPECT_NEAR(after.lowest, 0.5, 0.002);
    EXPECT_NEAR(after.highest, 0.5, 0.002);
}

// A server that stops playing without a word and never plays again until it is started
// afresh: the program sees playback keep no time, and starts it again.
TEST(SimServer, AServerThatStopsPlayingIsStartedAfresh) {
    auto run = std::make_unique<sim_run>();
    scenario s = on_server(0.5, 8);
    s.arrange = [](sim_world& w) {
        at(w, 2 * ns_per_s, [&w] { w.playback.clock_running = false; });  // still "running"
    };
    run_scenario(s, *run);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    const delay_range after = heard_from(*run, 5.0);
    EXPECT_GT(after.frames, 2 * 48000);
    EXPECT_NEAR(after.lowest, 0.5, 0.002);
    EXPECT_NEAR(after.highest, 0.5, 0.002);
}

// A client stopped with the program loses what it would have captured, and captures on from
// later. The gap is heard as silence one delay on, nothing captured before it is heard late,
// and from a second after the stall the delay is the one asked, within 2 ms.
TEST(SimServer, CaptureStoppedWithTheProgramLosesTimeNotPlace) {
    for (const double delay : {0.5, 3.0}) {
        SCOPED_TRACE(delay);
        auto run = std::make_unique<sim_run>();
        scenario s = on_server(delay, static_cast<int>(delay) + 8);
        s.arrange = [](sim_world& w) {
            w.frozen.push_back({2 * ns_per_s, 3200 * ns_per_s / 1000, true});
        };
        run_scenario(s, *run);
        ASSERT_EQ(run->result.err, 0) << run->result.err_text;
        const delay_range after = heard_from(*run, 3.2 + delay + 1.0);
        EXPECT_GT(after.frames, 2 * 48000);
        EXPECT_NEAR(after.lowest, delay, 0.002);
        EXPECT_NEAR(after.highest, delay, 0.002);
        EXPECT_LT(heard_from(*run, 0).highest, delay + 0.15);
    }
}

// A stall shorter than the queue loses nothing and moves nothing.
TEST(SimServer, AShortStallIsAbsorbed) {
    auto run = std::make_unique<sim_run>();
    scenario s = on_server(0.5, 5);
    s.arrange = [](sim_world& w) { w.frozen.push_back({2 * ns_per_s, 2080 * ns_per_s / 1000}); };
    run_scenario(s, *run);
    expect_no_marker(*run);
    const delay_range d = heard_from(*run, 0);
    EXPECT_NEAR(d.lowest, 0.5, 0.001);
    EXPECT_NEAR(d.highest, 0.5, 0.001);
}

// PipeWire hands capture over a quantum (21.3 ms) at a time. Where the program's wakes slip
// slowly against the quanta, what it reads lags by up to a whole quantum for a tenth of a
// second and more: that is not audio lost, and no marker, pause or skip follows from it.
// (Taken for a gap of 20 ms, it was: an RX, then a quantum skipped seconds later.)
TEST(SimServer, PipeWiresQuantumIsNotTakenForLostAudio) {
    for (const uint64_t seed : {1, 2, 3}) {
        SCOPED_TRACE(seed);
        auto run = std::make_unique<sim_run>();
        scenario s = on_server(0.5, 20, pipewire_plugin());
        s.card.seed = seed;
        s.card.wake_jitter_ns = 1000000;
        run_scenario(s, *run);
        expect_no_marker(*run);
        // Within what its reports lag by (100 frames), as the random scenarios judge.
        const delay_range d = heard_from(*run, 1.5);
        EXPECT_NEAR(d.lowest, 0.5, 0.002);
        EXPECT_NEAR(d.highest, 0.5, 0.002);
    }
}

// A scenario made from a seed: a card or a server, a rate, a delay, wakes late (at random, and
// by 2 ms every time on a loaded machine), and a fault
// between 0.8 and 2 s (an xrun or a suspend of either stream; on a card, the program stopped
// for up to 1.5 s), and the run long enough for the delay to settle again after it. What the
// program does not yet come back from to the delay within 2 ms is left out: two faults close
// together, a server with the program stopped while it goes on, and a capture suspend on a
// card where the rings hold less than a period beyond the streams (the README, Tests).
struct random_case {
    scenario s;
    double fault_s = 0;     // when the first fault strikes
    double recovery_s = 0;  // how long after it the delay may be off
    std::string described;
};

random_case random_scenario(uint64_t seed) {
    std::mt19937_64 rng(seed);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
    const auto between = [&](double low, double high) {
        return low + (high - low) * static_cast<double>(rng() % 1000000) / 1e6;
    };
    random_case c;
    const bool server = pick(2) == 0;
    const unsigned rates[] = {32000, 44100, 48000};
    const double delays[] = {0.05, 0.5, 1.0};
    c.s.rate = rates[pick(3)];
    // A server's shortest delay is two of its periods of 4096 frames: a quarter second at
    // 32000 Hz.
    c.s.delay = delays[server ? 1 + pick(2) : pick(3)];
    // A server is PulseAudio's plugin, PipeWire's, or JACK through `plug`.
    const int shape = server ? pick(3) : 0;
    const char* shapes[] = {"PulseAudio", "PipeWire", "JACK"};
    c.s.card.server = shape == 1   ? pipewire_plugin()
                      : shape == 2 ? jack_through_plug()
                                   : sim_server{};
    c.s.card.server.on = server;
    c.s.card.seed = seed;
    const int64_t jitters[] = {0, 1000000, 3000000};
    const int64_t lateness[] = {0, 0, 2000000};
    c.s.card.wake_late_ns = lateness[pick(3)];
    c.s.card.wake_jitter_ns = jitters[pick(3)];
    std::ostringstream text;
    text << "seed " << seed << ": " << (server ? shapes[shape] : "card") << " at " << c.s.rate
         << " Hz, delay " << c.s.delay << " s, wakes " << c.s.card.wake_late_ns / 1000
         << " us late and up to " << c.s.card.wake_jitter_ns / 1000 << " us more;";
    struct fault {
        int kind;  // 0-3: xrun or suspend of capture or playback; 4: stopped
        double at_s;
        double for_s;
    };
    std::vector<fault> faults;
    const int kind = server ? pick(4) : pick(5);
    faults.push_back({kind, between(0.8, 2.0), kind == 4 ? between(0.02, 1.5) : 0});
    double last_end = 0;
    c.fault_s = INFINITY;
    for (const fault& f : faults) {
        const char* names[] = {"capture xrun", "playback xrun", "capture suspend",
                               "playback suspend", "program stopped"};
        text << " " << names[f.kind] << " at " << f.at_s << " s";
        if (f.kind == 4) {
            text << " for " << f.for_s << " s";
        }
        c.fault_s = std::min(c.fault_s, f.at_s);
        last_end = std::max(last_end, f.at_s + f.for_s);
    }
    c.recovery_s = last_end - c.fault_s + 2.5;
    c.s.seconds = static_cast<int>(std::ceil(last_end + c.s.delay + 3.5));
    c.s.arrange = [faults](sim_world& w) {
        for (const fault& f : faults) {
            const auto at_ns = static_cast<int64_t>(f.at_s * ns_per_s);
            if (f.kind == 4) {
                w.frozen.push_back({at_ns, at_ns + static_cast<int64_t>(f.for_s * ns_per_s)});
            } else {
                strike(w, f.kind % 2 == 0 ? w.capture : w.playback, at_ns,
                       f.kind < 2 ? sim_fault::xrun : sim_fault::suspend);
            }
        }
    };
    c.described = text.str();
    return c;
}

// Runs the scenario of one seed and judges it; gives whether it passed.
void judge_random(uint64_t seed) {
    const random_case c = random_scenario(seed);
    SCOPED_TRACE(c.described);
    auto run = std::make_unique<sim_run>();
    run_scenario(c.s, *run);
    ASSERT_EQ(run->result.err, 0) << run->result.err_text;
    // The fault strikes within the frame it is due in.
    const double fault_s = c.fault_s - 1.0 / c.s.rate;
    // On a server the first judgment, on a quarter second of reports, may be a few ms off (a
    // PipeWire report lags by up to 100 frames, 2.1 ms); the one on a second of them, heard by
    // 1.5 s, holds. The real trials allow the same.
    const double settle_s = c.s.card.server.on ? 1.5 : 0;
    expect_heard_at(
        *run, c.s.delay,
        {.tolerance = 0.002, .fault = fault_s, .recovery = c.recovery_s, .settle = settle_s});
    for (const sim_stream* st : {&run->world.capture, &run->world.playback}) {
        EXPECT_TRUE(st->first_xrun_ns < 0 || st->first_xrun_ns >= fault_s * ns_per_s)
            << (st->playback ? "playback" : "capture") << " ran out before the fault";
    }
}

class RandomFaults : public ::testing::TestWithParam<int> {};

// A thousand seeds, a hundred a test: whatever the fault, no frame is ever played twice or out
// of capture order, neither stream runs dry or full before it, and once 2.5 s have passed after
// it, every frame is heard at the delay asked, within 2 ms, with no silence. A failing seed
// says what it was, and runs again the same.
TEST_P(RandomFaults, TheDelayComesBackAndNoFrameIsHeardTwice) {
    constexpr int seeds_per_test = 100;
    for (int i = 0; i < seeds_per_test && !HasFailure(); ++i) {
        judge_random(static_cast<uint64_t>(GetParam() * seeds_per_test + i));
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomFaults, ::testing::Range(0, 10));

// One seed, as a failure said it: LIVEDELAY_SEED=N sim_tests --gtest_filter='*OneSeed*'.
TEST(RandomFaults, OneSeed) {
    const char* seed = std::getenv("LIVEDELAY_SEED");
    if (seed == nullptr) {
        GTEST_SKIP() << "LIVEDELAY_SEED names the seed to run";
    }
    judge_random(std::strtoull(seed, nullptr, 10));
}

}  // namespace
}  // namespace livedelay
