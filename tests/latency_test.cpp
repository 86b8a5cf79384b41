// The latency policy driven by simulated devices: a sound server that hands capture over in
// blocks and reports its playback queue late, a card whose pointers move a period at a time,
// devices that run on no clock, and the program stopped or starved in the middle. Every frame
// carries the time it was captured, so what the simulation plays shows the delay really
// heard, frame by frame, whatever the policy believed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <random>
#include <vector>

#include "latency.hpp"

namespace livedelay {
namespace {

constexpr int64_t rate = 48000;
constexpr int64_t ms = 1000000;  // in ns
constexpr double silence = -1.0;

enum class device_kind {
    server,  // capture in blocks, playback queue read low by up to a block, stuck after an underrun
    card,    // both pointers move a period at a time on one grid; an underrun is reported
};

struct device {
    device_kind kind = device_kind::server;
    int64_t block_frames = 319;      // capture is handed over in blocks (server)
    int64_t report_lag_frames = 64;  // a server's queue report is low by up to this
    int64_t period_frames = 4096;
    int64_t prebuffer_frames = 12288;  // a stuck server plays again once it holds this much
    int64_t wake_ns = 5 * ms;
    // From this time on the server's queue reports come in up to `late_frames` high, as they
    // do when the server or the program is starved of the CPU.
    double late_from_s = 1e9;
    int64_t late_frames = 0;
    // Queue reports that wander, as PulseAudio's do: low by `early_low_frames` in the first
    // half second, then from 2 s on high by up to `wander_frames`, rising and falling over 6 s.
    int64_t early_low_frames = 0;
    int64_t wander_frames = 0;
    // Audio a server holds beyond the queue (its graph): heard this much after it leaves the
    // queue, and reported with it, even by a stream not yet written to.
    int64_t graph_frames = 0;
};

struct heard {
    double at_s;
    double delay_ms;
};

// The program's side of the loop, as the transfer loop does it, over a simulated device.
struct simulation {
    device dev;
    latency_state state;
    std::mt19937 rng{7};
    int64_t now_ns = 0;

    // Device: frames captured (each with its capture time in s), not yet read.
    std::deque<double> captured;
    int64_t next_capture = 0;       // index of the next frame the device captures
    int64_t capture_offset_ns = 0;  // grows when capture loses time (frozen with the program)
    // Device: frames queued for playback, and the play clock.
    std::deque<double> queued;
    bool playing = false;
    bool stuck = false;
    int64_t next_play_ns = 0;
    int64_t play_start_ns = 0;
    int64_t play_ticks = 0;
    int64_t played_since_start = 0;
    bool xrun = false;

    // Program.
    std::deque<double> ring;  // from the read position to the write position
    int64_t frames_read = 0;
    int64_t written = 0;
    int64_t consume = 0;
    bool primed = false;
    bool draining = false;

    std::vector<heard> log;
    int corrections = 0;
    int restarts = 0;

    simulation(device d, double delay_s) : dev(d) {
        const int64_t period = d.kind == device_kind::card ? d.period_frames : 4096;
        state = start_latency(plan_latency(delay_s, rate, period));
        ring.assign(static_cast<size_t>(ring_delay_for(state.plan)), silence);
        state.capture_paced = true;
    }

    double capture_time_s(int64_t index) const {
        return (static_cast<double>(index) * 1e9 / rate + static_cast<double>(capture_offset_ns)) /
               1e9;
    }

    // Frames captured and handed over, not yet read.
    int64_t delivered() const {
        const int64_t unit = dev.kind == device_kind::card ? dev.period_frames : dev.block_frames;
        const int64_t first_unread = next_capture - static_cast<int64_t>(captured.size());
        return std::max<int64_t>(0, next_capture / unit * unit - first_unread);
    }

    // The device runs up to `until_ns`.
    void run_device(int64_t until_ns, bool program_frozen_with_it) {
        while (true) {
            const auto capture_at =
                static_cast<int64_t>(static_cast<double>(next_capture) * 1e9 / rate) +
                capture_offset_ns;
            const int64_t play_at = playing ? next_play_ns : INT64_MAX;
            const int64_t next = std::min(capture_at, play_at);
            if (next > until_ns) {
                break;
            }
            if (next == capture_at) {
                if (program_frozen_with_it) {
                    capture_offset_ns += 1000000000 / rate;  // the frame is never captured
                    continue;
                }
                captured.push_back(capture_time_s(next_capture));
                ++next_capture;
                continue;
            }
            play_one(play_at);
        }
    }

    void play_one(int64_t at_ns) {
        ++play_ticks;
        next_play_ns = play_start_ns + play_ticks * 1000000000 / rate;
        if (stuck) {
            return;
        }
        if (queued.empty()) {
            if (dev.kind == device_kind::card) {
                xrun = true;
                playing = false;
            } else {
                stuck = true;
            }
            return;
        }
        const double t = queued.front();
        queued.pop_front();
        ++played_since_start;
        if (t >= 0) {
            const double heard_s =
                static_cast<double>(at_ns + dev.graph_frames * 1000000000 / rate) / 1e9;
            log.push_back({heard_s, (heard_s - t) * 1000.0});
        }
    }

    int64_t reported_queue() {
        const auto q = static_cast<int64_t>(queued.size());
        if (dev.kind == device_kind::card) {
            // The pointer stands at the start of the period being played.
            return q + played_since_start % dev.period_frames;
        }
        const int64_t late = static_cast<double>(now_ns) / 1e9 >= dev.late_from_s
                                 ? std::uniform_int_distribution<int64_t>(0, dev.late_frames)(rng)
                                 : 0;
        const double t = static_cast<double>(now_ns) / 1e9;
        const double swing =
            t < 2.0 || t > 8.0 ? 0.0 : std::pow(std::sin(M_PI * (t - 2.0) / 6.0), 2);
        const int64_t wander = (t < 0.5 ? -dev.early_low_frames : 0) +
                               std::llround(swing * static_cast<double>(dev.wander_frames));
        return std::max<int64_t>(
            0, q + dev.graph_frames + late + wander -
                   std::uniform_int_distribution<int64_t>(0, dev.report_lag_frames - 1)(rng));
    }

    void write(double capture_time) {
        queued.push_back(capture_time);
        ++written;
        if (stuck && static_cast<int64_t>(queued.size()) >= dev.prebuffer_frames) {
            stuck = false;
        }
    }

    void start_playback() {
        playing = true;
        stuck = false;
        xrun = false;
        next_play_ns = now_ns;
        play_start_ns = now_ns;
        play_ticks = 0;
        played_since_start = 0;
    }

    void stop_playback() {
        xrun = false;
        playing = false;
        stuck = false;
        queued.clear();
        primed = false;
        draining = true;
        ++restarts;
    }

    // One wake of the program: read what was delivered (no more than playback has room for),
    // pass it through the ring, write it, and do what the policy says.
    void wake() {
        constexpr int64_t buffer_frames = 16384;
        if (xrun) {
            stop_playback();  // reported: the loop prepares the stream and primes it again
        }
        int64_t got = delivered();
        bool playback_full = false;
        if (primed && consume == 0) {
            const int64_t room = buffer_frames - static_cast<int64_t>(queued.size());
            playback_full = room <= 0;
            got = std::min(got, room);
        }
        if (got <= 0) {
            if (playback_full) {
                look(delivered());
            }
            return;
        }
        frames_read += got;
        const int64_t waiting = delivered() - got;
        const capture_gap gap = note_capture(state, {.now_ns = now_ns,
                                                     .frames = got,
                                                     .frames_read = frames_read,
                                                     .waiting_frames = waiting});
        if (gap.frames > 0) {
            const int64_t behind =
                std::min<int64_t>(gap.behind_frames - got, static_cast<int64_t>(ring.size()));
            ring.insert(ring.end() - behind, static_cast<size_t>(gap.frames), silence);
        }
        std::vector<double> out;
        for (int64_t i = 0; i < got; ++i) {
            ring.push_back(captured.front());
            captured.pop_front();
            const double t = ring.front();
            ring.pop_front();
            if (draining || consume > 0) {
                consume = std::max<int64_t>(0, consume - 1);
                continue;
            }
            out.push_back(t);
        }
        if (draining) {
            // Until capture has nothing left and its clock is settled.
            draining = waiting > 0 || !capture_clock_settled(state);
            return;
        }
        if (!primed) {
            const prime_step step = prime_correction(state.plan, static_cast<int64_t>(ring.size()),
                                                     static_cast<int64_t>(out.size()), waiting);
            out.erase(out.begin(), out.begin() + step.drop_unwritten_frames);
            ring.erase(ring.begin(), ring.begin() + step.skip_frames);
            ring.insert(ring.begin(), static_cast<size_t>(step.silence_frames), silence);
            if (out.empty()) {
                return;
            }
            // A stream not yet written to reports what the device holds beyond its queue.
            const int64_t fill = start_silence_frames(state.plan, static_cast<int64_t>(out.size()),
                                                      waiting, dev.graph_frames);
            for (int64_t i = 0; i < fill; ++i) {
                write(silence);
            }
            primed = true;
            start_playback();
            start_judging(state, now_ns);
        }
        for (const double t : out) {
            write(t);
        }
        look(waiting);
    }

    // A path reading, and what the policy says to do about it.
    void look(int64_t waiting) {
        apply(judge_path(state, {.now_ns = now_ns,
                                 .waiting_frames = waiting,
                                 .unwritten_frames = 0,
                                 .queued_frames = reported_queue(),
                                 .ring_delay_frames = static_cast<int64_t>(ring.size()),
                                 .written_frames = written,
                                 .frames_to_drop = consume}));
    }

    void apply(const correction& c) {
        if (c.start_playback_afresh) {
            stop_playback();
            return;
        }
        if (c.frames_to_drop + c.skip_frames + c.pause_frames > 0) {
            ++corrections;
        }
        consume += c.frames_to_drop;
        ring.erase(ring.begin(), ring.begin() + c.skip_frames);
        ring.insert(ring.begin(), static_cast<size_t>(c.pause_frames), silence);
    }

    // Runs for `seconds`. A server's client wakes every wake_ns; a card wakes the program half
    // a millisecond after each period it completes.
    void run(double seconds) {
        const int64_t end = now_ns + static_cast<int64_t>(seconds * 1e9);
        while (now_ns < end) {
            if (dev.kind == device_kind::card) {
                const int64_t period_ns = dev.period_frames * 1000000000 / rate;
                now_ns = (now_ns / period_ns + 1) * period_ns + ms / 2;
            } else {
                now_ns += dev.wake_ns;
            }
            run_device(now_ns, false);
            wake();
        }
    }

    // The program does not run for `seconds`; the device goes on, capturing into its buffer,
    // or (`frozen`) losing what it would have captured, as a server's client thread that is
    // stopped with the program does.
    void stall(double seconds, bool frozen) {
        const int64_t until = now_ns + static_cast<int64_t>(seconds * 1e9);
        if (frozen) {
            // A client stops between blocks: the block it was gathering is lost with the rest.
            const int64_t undelivered = static_cast<int64_t>(captured.size()) - delivered();
            captured.erase(captured.end() - undelivered, captured.end());
        }
        run_device(until, frozen);
        now_ns = until;
    }

    // The delays heard from `from_s` on.
    std::vector<double> delays_from(double from_s) const {
        std::vector<double> d;
        for (const heard& h : log) {
            if (h.at_s >= from_s) {
                d.push_back(h.delay_ms);
            }
        }
        return d;
    }
};

double lowest(const std::vector<double>& v) {
    return v.empty() ? NAN : *std::min_element(v.begin(), v.end());
}
double highest(const std::vector<double>& v) {
    return v.empty() ? NAN : *std::max_element(v.begin(), v.end());
}

struct steady_case {
    const char* name;
    device dev;
    double delay_s;
    double tolerance_ms = 1.0;
};

void PrintTo(const steady_case& c, std::ostream* os) {
    *os << c.name;
}

class Steady : public ::testing::TestWithParam<steady_case> {};

// From the first frame captured, the delay heard is the delay asked, within a millisecond,
// and once it has settled nothing is skipped or paused again for a minute.
TEST_P(Steady, HearsTheDelayAskedFromTheStartAndHoldsIt) {
    const steady_case& c = GetParam();
    simulation sim(c.dev, c.delay_s);
    sim.run(1.0);
    const int settled_after = sim.corrections;
    EXPECT_LE(settled_after, 2) << "corrections while settling";
    sim.run(60.0);
    const std::vector<double> d = sim.delays_from(0.0);
    ASSERT_GT(d.size(), 48000u * 50);
    EXPECT_NEAR(lowest(d), c.delay_s * 1000.0, c.tolerance_ms);
    EXPECT_NEAR(highest(d), c.delay_s * 1000.0, c.tolerance_ms);
    EXPECT_EQ(sim.corrections, settled_after);
    EXPECT_EQ(sim.restarts, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Steady,
    ::testing::Values(
        steady_case{"ServerHalfSecond", {}, 0.5}, steady_case{"ServerThreeSeconds", {}, 3.0},
        // A block of 21 ms is read anywhere in its first 5 ms: settled within 2.
        steady_case{
            "ServerLargeBlocks", {.kind = device_kind::server, .block_frames = 1024}, 0.5, 2.0},
        steady_case{"CardHalfSecond", {.kind = device_kind::card}, 0.5},
        steady_case{"CardSmallPeriods", {.kind = device_kind::card, .period_frames = 1024}, 0.25}),
    [](const auto& info) { return std::string(info.param.name); });

// Below what the device needs on its way, the delay is the shortest the device allows: two
// periods and a millisecond at most, it is said once, and nothing is corrected over and over.
TEST(Shortest, ADelayBelowTheLevelPlaysAtTheLevel) {
    for (const device& dev : {device{}, device{.kind = device_kind::card}}) {
        simulation sim(dev, 0.0);
        sim.run(20.0);
        const std::vector<double> d = sim.delays_from(0.0);
        ASSERT_FALSE(d.empty());
        // The level, and the frames captured before the program woke to read them.
        EXPECT_LE(highest(d), (8192.0 + 48 + 240) * 1000.0 / rate);
        EXPECT_NEAR(highest(d), lowest(d), 0.1);
        EXPECT_GT(sim.state.shortest_frames, 0);
        EXPECT_EQ(sim.corrections, 0);
    }
}

// What a server holds beyond the queue (a graph of 1024 frames, a quantum of PipeWire's) counts
// towards the level playback starts with: the sound is heard as late as on a server without
// one. At this delay the first frames are heard before the delay is first judged.
TEST(Graph, AudioTheServerHoldsBeyondTheQueueCountsTowardsTheLevel) {
    simulation plain(device{}, 0.2);
    simulation graph(device{.graph_frames = 1024}, 0.2);
    plain.run(3.0);
    graph.run(3.0);
    const std::vector<double> expected = plain.delays_from(0.0);
    const std::vector<double> heard = graph.delays_from(0.0);
    ASSERT_GT(heard.size(), 48000u * 2);
    EXPECT_NEAR(lowest(heard), lowest(expected), 0.1);
    EXPECT_NEAR(highest(heard), highest(expected), 0.1);
    EXPECT_EQ(graph.corrections, plain.corrections);
}

// Readings that come in late once the delay has held for a while (the server starved of the
// CPU) are not taken for a change of the delay: nothing is skipped, the delay stays.
TEST(Starved, LateReportsDoNotStepTheDelay) {
    simulation sim(device{.late_from_s = 4.0, .late_frames = 800}, 0.5);
    sim.run(3.0);
    const int before = sim.corrections;
    sim.run(20.0);
    EXPECT_EQ(sim.corrections, before);
    EXPECT_NEAR(lowest(sim.delays_from(0.0)), 500.0, 1.0);
    EXPECT_NEAR(highest(sim.delays_from(0.0)), 500.0, 1.0);
}

// Reports that start low and later wander high: the delay is judged again on a second of
// readings and then held, exact, through the wander.
TEST(Wander, JudgedAgainOnASecondOfReadingsThenHeld) {
    simulation sim(device{.early_low_frames = 130, .wander_frames = 290}, 0.5);
    sim.run(1.5);
    EXPECT_LE(sim.corrections, 2);
    const int judged = sim.corrections;
    sim.run(10.0);
    EXPECT_EQ(sim.corrections, judged);
    EXPECT_NEAR(lowest(sim.delays_from(1.5)), 500.0, 1.0);
    EXPECT_NEAR(highest(sim.delays_from(1.5)), 500.0, 1.0);
}

// A server that kept capturing while the program was stopped: the playback queue ran dry
// and the server stopped playing without a word. Playback is restarted, the backlog is
// skipped, and the delay is the one asked again.
TEST(Stall, ServerKeepsCapturingAndStopsPlayingSilently) {
    simulation sim(device{}, 0.5);
    sim.run(2.0);
    sim.stall(1.2, false);
    sim.run(5.0);
    EXPECT_EQ(sim.restarts, 1);
    const std::vector<double> after = sim.delays_from(sim.now_ns / 1e9 - 4.0);
    ASSERT_FALSE(after.empty());
    EXPECT_NEAR(lowest(after), 500.0, 2.0);
    EXPECT_NEAR(highest(after), 500.0, 2.0);
}

// A server that stops playing without a word and waits to be filled past what a client may
// queue before it plays again: once its queue is full nothing more is read, so only readings
// taken while playback has no room show it.
TEST(Stall, ServerThatNeverPlaysAgainIsRestarted) {
    simulation sim(device{.prebuffer_frames = 1 << 30}, 0.5);
    sim.run(2.0);
    sim.stuck = true;
    sim.run(5.0);
    EXPECT_GE(sim.restarts, 1);
    const std::vector<double> after = sim.delays_from(sim.now_ns / 1e9 - 3.0);
    ASSERT_FALSE(after.empty());
    EXPECT_NEAR(lowest(after), 500.0, 2.0);
    EXPECT_NEAR(highest(after), 500.0, 2.0);
}

// A client stopped with the program loses what it would have captured; the frames after the
// gap come from later. The gap is heard as silence one delay on, and what was queued before
// is not played late: from a second after the stall the delay is the one asked.
TEST(Stall, CaptureFrozenWithTheProgramLosesTimeNotPlace) {
    for (const double delay : {0.5, 3.0}) {
        simulation sim(device{}, delay);
        sim.run(2.0);
        const double stall_at = sim.now_ns / 1e9;
        sim.stall(1.2, true);
        sim.run(delay + 4.0);
        const std::vector<double> after = sim.delays_from(stall_at + 1.2 + 1.0);
        ASSERT_FALSE(after.empty());
        EXPECT_NEAR(lowest(after), delay * 1000.0, 2.0) << delay;
        EXPECT_NEAR(highest(after), delay * 1000.0, 2.0) << delay;
        // Nothing captured before the stall is heard late by the stall.
        EXPECT_LT(highest(sim.delays_from(0.0)), delay * 1000.0 + 150.0) << delay;
    }
}

// A card reports its underrun; after the restart the delay is back within two milliseconds.
TEST(Stall, CardUnderrunIsRecovered) {
    simulation sim(device{.kind = device_kind::card}, 0.5);
    sim.run(2.0);
    sim.stall(0.5, false);
    sim.run(4.0);
    EXPECT_GE(sim.restarts, 1);
    const std::vector<double> after = sim.delays_from(sim.now_ns / 1e9 - 3.0);
    EXPECT_NEAR(lowest(after), 500.0, 2.0);
    EXPECT_NEAR(highest(after), 500.0, 2.0);
}

// A stall shorter than the queue loses nothing and moves nothing.
TEST(Stall, AShortStallIsAbsorbed) {
    simulation sim(device{}, 0.5);
    sim.run(2.0);
    const int before = sim.corrections;
    sim.stall(0.08, false);
    sim.run(3.0);
    EXPECT_EQ(sim.restarts, 0);
    EXPECT_EQ(sim.corrections, before);
    EXPECT_NEAR(lowest(sim.delays_from(0.0)), 500.0, 1.0);
    EXPECT_NEAR(highest(sim.delays_from(0.0)), 500.0, 1.0);
}

// The capture clock: a late reading alone is the program looking late; a jump that lasts is
// audio lost, counted from the frame where it began.
TEST(CaptureClock, OnlyALastingJumpIsAGap) {
    latency_state state = start_latency(plan_latency(0.5, rate, 4096));
    int64_t read = 0;
    int64_t now = 0;
    auto reading = [&](int64_t frames, int64_t late_ns) {
        read += frames;
        now += frames * 1000000000 / rate;
        return note_capture(state,
                            {.now_ns = now + late_ns, .frames = frames, .frames_read = read});
    };
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(reading(480, 0).frames, 0);
    }
    // Late by 80 ms once, then on time again: no gap.
    EXPECT_EQ(reading(480, 80 * ms).frames, 0);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(reading(480, 0).frames, 0);
    }
    // 300 ms lost for good: found once it has lasted, as far back as where it began.
    capture_gap gap;
    int readings = 0;
    const int64_t jump_at = read;
    for (; readings < 40 && gap.frames == 0; ++readings) {
        gap = reading(480, 300 * ms);
    }
    EXPECT_NEAR(static_cast<double>(gap.frames), 0.3 * rate, 2.0);
    EXPECT_EQ(gap.behind_frames, read - jump_at);
    EXPECT_GT(readings, 1);
    // After the gap the clock starts again: no second gap.
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(reading(480, 300 * ms).frames, 0);
    }
}

TEST(CaptureClock, ARestartCountsFromWhereTheNextFrameWasDue) {
    latency_state state = start_latency(plan_latency(0.5, rate, 4096));
    EXPECT_EQ(note_capture_restart(state, 5 * ms, 0), 0) << "no clock yet";
    int64_t read = 0;
    for (int i = 1; i <= 50; ++i) {
        read += 480;
        note_capture(state, {.now_ns = i * 10 * ms, .frames = 480, .frames_read = read});
    }
    // The next frame was due at 500 ms; capture started again at 750 ms.
    EXPECT_NEAR(static_cast<double>(note_capture_restart(state, 750 * ms, read)), 0.25 * rate, 2.0);
    // The clock starts again from the restart: frames on time after it are no gap.
    for (int i = 1; i <= 50; ++i) {
        read += 480;
        EXPECT_EQ(note_capture(
                      state, {.now_ns = 750 * ms + i * 10 * ms, .frames = 480, .frames_read = read})
                      .frames,
                  0);
    }
}

// Playback judged by its clock: one that stops playing what it is given, or takes it far
// faster than it can play it, is restarted; one that keeps time is left alone.
TEST(PlaybackClock, ARestartOnlyWhenPlaybackStopsKeepingTime) {
    struct span {
        int64_t written_per_10ms;
        int64_t queued_growth_per_10ms;
        bool restart;
    };
    for (const span& s : {span{480, 0, false}, span{480, 480, true}, span{480, 360, false},
                          span{2000, 1520, false}, span{4000, -3000, true}}) {
        latency_state state = start_latency(plan_latency(0.5, rate, 4096));
        start_judging(state, 0);
        bool restarted = false;
        int64_t written = 8192;
        int64_t queued = 8192;
        for (int i = 1; i <= 50 && !restarted; ++i) {
            written += s.written_per_10ms;
            queued = std::max<int64_t>(0, queued + s.queued_growth_per_10ms);
            restarted = judge_path(state, {.now_ns = i * 10 * ms,
                                           .queued_frames = queued,
                                           .ring_delay_frames = 16000,
                                           .written_frames = written})
                            .start_playback_afresh;
        }
        EXPECT_EQ(restarted, s.restart)
            << s.written_per_10ms << " written, queue +" << s.queued_growth_per_10ms;
    }
}

// A correction takes what capture holds first, then the ring; a pause is silence at the
// position; small errors are left alone.
TEST(Correction, SkipsFromCaptureFirstAndLeavesSmallErrors) {
    const latency_plan plan = plan_latency(0.5, rate, 4096);
    struct step {
        int64_t waiting;
        int64_t queued;
        int64_t ring;
        correction want;
    };
    for (const step& s :
         {step{0, plan.stream_latency_frames, 24000 - plan.stream_latency_frames, {}},
          step{0, plan.stream_latency_frames + 40, 24000 - plan.stream_latency_frames, {}},
          step{6000,
               plan.stream_latency_frames,
               24000 - plan.stream_latency_frames,
               {.frames_to_drop = 6000}},
          step{6000,
               plan.stream_latency_frames + 4000,
               24000 - plan.stream_latency_frames,
               {.frames_to_drop = 6000, .skip_frames = 4000}},
          step{0,
               plan.stream_latency_frames - 500,
               24000 - plan.stream_latency_frames,
               {.pause_frames = 500}}}) {
        latency_state state = start_latency(plan);
        start_judging(state, 0);
        correction got;
        for (int i = 1; i <= 30; ++i) {
            got = judge_path(state, {.now_ns = i * 10 * ms,
                                     .waiting_frames = s.waiting,
                                     .queued_frames = s.queued,
                                     .ring_delay_frames = s.ring,
                                     .written_frames = 8192 + i * 480});
            if (got.frames_to_drop + got.skip_frames + got.pause_frames > 0) {
                break;
            }
        }
        EXPECT_EQ(got.frames_to_drop, s.want.frames_to_drop) << s.waiting << " " << s.queued;
        EXPECT_EQ(got.skip_frames, s.want.skip_frames) << s.waiting << " " << s.queued;
        EXPECT_EQ(got.pause_frames, s.want.pause_frames) << s.waiting << " " << s.queued;
    }
}

// On a card whose capture pointer moves a period at a time, a reading after the transfers is
// short by the time they took, which on a loaded machine can hide an error beyond the
// tolerance for good; the reading taken as the program woke at the period end shows it. A
// reading from before playback was primed says nothing of the level it was primed at.
TEST(Correction, JudgedOnTheReadingsTakenAsTheProgramWakes) {
    const latency_plan plan = plan_latency(0.5, rate, 4096);
    const int64_t ring = 24000 - plan.stream_latency_frames;
    const int64_t too_long = 60;  // beyond the tolerance of 48 frames
    const int64_t transfers_took = 30;
    for (const bool at_wake : {false, true}) {
        latency_state state = start_latency(plan);
        start_judging(state, 10 * ms);
        note_wake_path(state,
                       {.now_ns = 5 * ms, .queued_frames = plan.stream_latency_frames + 5000});
        int64_t skipped = 0;
        for (int i = 1; i <= 30 && skipped == 0; ++i) {
            const int64_t wake = 10 * ms + i * 85 * ms;
            if (at_wake) {
                note_wake_path(state,
                               {.now_ns = wake,
                                .waiting_frames = 4096,
                                .queued_frames = plan.stream_latency_frames - 4096 + too_long});
            }
            const correction c = judge_path(
                state, {.now_ns = wake + ms,
                        .queued_frames = plan.stream_latency_frames + too_long - transfers_took,
                        .ring_delay_frames = ring,
                        .written_frames = 8192 + i * 4096});
            EXPECT_EQ(c.pause_frames, 0);
            skipped = c.frames_to_drop + c.skip_frames;
        }
        EXPECT_EQ(skipped, at_wake ? too_long : 0);
    }
}

// A backlog that capture gathered while the program did not run is skipped once: the
// readings taken before it was skipped do not take it again from the ring.
TEST(Correction, ABacklogIsSkippedOnce) {
    const latency_plan plan = plan_latency(0.5, rate, 4096);
    const int64_t ring = 24000 - plan.stream_latency_frames;
    latency_state state = start_latency(plan);
    start_judging(state, 0);
    int64_t now = 0;
    const auto reading = [&](int64_t waiting, int64_t consume) {
        now += 5 * ms;
        return judge_path(state, {.now_ns = now,
                                  .waiting_frames = waiting,
                                  .queued_frames = plan.stream_latency_frames,
                                  .ring_delay_frames = ring,
                                  .written_frames = 8192 + now / ms * 48,
                                  .frames_to_drop = consume});
    };
    for (int i = 0; i < 300; ++i) {
        const correction c = reading(0, 0);
        ASSERT_EQ(c.frames_to_drop + c.skip_frames + c.pause_frames, 0) << i;
    }
    const correction backlog = reading(40000, 0);
    EXPECT_EQ(backlog.frames_to_drop, 40000);
    EXPECT_EQ(backlog.skip_frames, 0);
    // Skipped piece by piece, then gone.
    for (const int64_t left : {30000, 10000, 0, 0, 0}) {
        const correction c = reading(left, left);
        EXPECT_EQ(c.frames_to_drop + c.skip_frames + c.pause_frames, 0) << left;
        EXPECT_FALSE(c.start_playback_afresh) << left;
    }
}

// Below the shortest delay the device allows, what capture holds at a reading is dropped while
// the delay is found, in the first second; later a server's lump of capture is left alone,
// where dropping it would step the delay heard down in the middle of a run.
TEST(Correction, BelowTheShortestALumpOfCaptureIsDroppedOnlyWhileTheDelayIsFound) {
    const latency_plan plan = plan_latency(0, rate, 4096);
    latency_state state = start_latency(plan);
    start_judging(state, 0);
    int64_t now = 0;
    const auto reading = [&](int64_t waiting) {
        now += 5 * ms;
        return judge_path(state, {.now_ns = now,
                                  .waiting_frames = waiting,
                                  .queued_frames = plan.stream_latency_frames,
                                  .ring_delay_frames = 0,
                                  .written_frames = 8192 + now / ms * 48,
                                  .frames_to_drop = 0});
    };
    for (int i = 0; i < 60; ++i) {
        reading(0);
    }
    EXPECT_EQ(reading(1600).frames_to_drop, 1600) << "found in the first second";
    for (int i = 0; i < 300; ++i) {
        reading(0);
    }
    ASSERT_TRUE(state.refined);
    const correction c = reading(1600);
    EXPECT_EQ(c.frames_to_drop + c.skip_frames + c.pause_frames, 0);
}

// A server whose stream ran dry without a word reports nothing queued after its writes, and
// plays nothing of what comes next: after a span of that, playback is started afresh. A
// queue that is only short of the level is put right by a pause instead.
TEST(PlaybackClock, NothingQueuedAfterAWriteIsARestart) {
    const latency_plan plan = plan_latency(0.5, rate, 4096);
    struct shape {
        int64_t before;  // queued in the first 0.3 s
        int64_t after;
        bool restart;
    };
    for (const shape& q :
         {shape{plan.stream_latency_frames, 0, true},
          shape{plan.stream_latency_frames / 2, plan.stream_latency_frames / 2, false}}) {
        latency_state state = start_latency(plan);
        start_judging(state, 0);
        correction c;
        for (int i = 1; i <= 200 && !c.start_playback_afresh && c.pause_frames == 0; ++i) {
            c = judge_path(state, {.now_ns = i * 5 * ms,
                                   .queued_frames = i <= 60 ? q.before : q.after,
                                   .ring_delay_frames = ring_delay_for(plan),
                                   .written_frames = plan.stream_latency_frames + i * 240});
        }
        EXPECT_EQ(c.start_playback_afresh, q.restart) << q.after;
        EXPECT_EQ(c.pause_frames > 0, !q.restart) << q.after;
    }
}

// Devices that run on no clock get nothing held: no silence, no correction.
TEST(Pacing, OnlyClockedStreamsHoldTheLatency) {
    struct seen {
        int64_t got;
        int64_t asked;
        int64_t waiting;
        int64_t queued;  // after the first write; -1: not written yet
        bool holds;
        int64_t buffered = 0;  // what the playback buffer holds after that write
    };
    for (const seen& s : {
             seen{4096, 4096, 16384, -1, false},  // a file: a whole buffer always waiting
             seen{4096, 4096, 16384, 0, false},
             seen{4096, 4096, 16384, 9000, false},  // file in, card out
             seen{0, 4096, 0, -1, true},            // a card right after its start
             seen{319, 4096, 0, 8000, true}, seen{319, 4096, 0, 0, false},  // card in, null out
             seen{319, 4096, 0, 0, true, 1375},  // a server that ran dry: none queued, yet held
         }) {
        latency_state state = start_latency(plan_latency(0.5, rate, 4096));
        note_capture_pacing(state, s.got, s.asked, s.waiting, 16384);
        if (s.queued >= 0) {
            note_playback_queue(state, s.queued, s.buffered);
        }
        EXPECT_EQ(holds_latency(state), s.holds)
            << s.got << "/" << s.asked << " waiting " << s.waiting << " queued " << s.queued;
    }
}

}  // namespace
}  // namespace livedelay
