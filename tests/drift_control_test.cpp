// The drift correction against simulated clocks: two streams whose positions are read late by
// up to a period, or a little, the way cards and servers report them; the resampling ratio
// the correction sets feeds back into what the loop counts. Every case runs on seeded noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "drift.hpp"

namespace livedelay {
namespace {

constexpr int64_t rate = 48000;
constexpr int64_t ms = 1000000;

// Two streams that start together and run `capture_ppm` and `playback_ppm` fast; positions
// are read at each wake, every 1 to 5 ms, each late by up to `lag_ns` (a reading right after
// a card's period ends is nearly on time, which the buckets keep).
struct two_clocks {
    double capture_ppm = 0;
    double playback_ppm = 0;
    int64_t lag_ns = 2 * ms;
    int64_t capture_jump_at_ns = -1;  // from then on capture is read this much later
    int64_t capture_jump_ns = 0;
    // Playback's reports run this much fast for `ease_ns` after the start, and as much slow
    // for as long again: a server easing its timing in.
    double playback_ease_ppm = 0;
    int64_t ease_ns = 0;
    std::mt19937 rng{11};
    drift_state drift = start_drift(rate);
    int64_t now_ns = 0;
    double passed = 0;       // frames passed on to playback, as the ratio made them
    int64_t reference = -1;  // the delay heard when the correction took its reference
    double worst_ms = 0;     // furthest the delay heard went from it, once referenced
    double settled_ms = 0;   // the same from 30 s on
    bool started = false;
    int64_t started_ns = -1;

    double position(double ppm, int64_t at_ns) const {
        return static_cast<double>(at_ns) * 1e-9 * rate * (1 + ppm * 1e-6);
    }

    // The delay heard, in frames, with the ring's delay left out: what was passed on that
    // playback has not played yet. On one clock it never moves.
    double heard() const { return passed - position(playback_ppm, now_ns); }

    void run(double seconds) {
        std::uniform_int_distribution<int64_t> step(1 * ms, 5 * ms);
        std::uniform_int_distribution<int64_t> lag(0, lag_ns);
        const int64_t end = now_ns + static_cast<int64_t>(seconds * 1e9);
        double captured_before = position(capture_ppm, now_ns);
        while (now_ns < end) {
            now_ns += step(rng);
            const double captured = position(capture_ppm, now_ns);
            passed += (captured - captured_before) * drift.ratio;
            captured_before = captured;
            const int64_t jump =
                capture_jump_at_ns >= 0 && now_ns >= capture_jump_at_ns ? capture_jump_ns : 0;
            note_position(drift.capture, now_ns,
                          static_cast<int64_t>(position(capture_ppm, now_ns - lag(rng) - jump)),
                          rate);
            const int64_t eased = std::max<int64_t>(0, std::min(now_ns, 2 * ease_ns - now_ns));
            note_position(
                drift.playback, now_ns,
                static_cast<int64_t>(position(playback_ppm, now_ns - lag(rng)) +
                                     position(playback_ease_ppm, eased) - position(0, eased)),
                rate);
            // Written less read, as the loop counts it: everything captured is read at once.
            const auto counted = static_cast<int64_t>(std::llround(passed - captured));
            if (steer_drift(drift, now_ns, counted, true)) {
                started = true;
                started_ns = now_ns;
            }
            if (drift.referenced) {
                if (reference < 0) {
                    reference = std::llround(heard());
                }
                const double off =
                    std::fabs(heard() - static_cast<double>(reference)) * 1000.0 / rate;
                worst_ms = std::max(worst_ms, off);
                settled_ms = now_ns > 30000 * ms ? std::max(settled_ms, off) : 0;
            }
        }
    }
};

struct drift_case {
    const char* name;
    double capture_ppm;
    double playback_ppm;
    int64_t lag_ns;
};

void PrintTo(const drift_case& c, std::ostream* os) {
    *os << c.name;
}

class Drift : public ::testing::TestWithParam<drift_case> {};

// The clocks differ, read milliseconds late as a server's reports are: the correction starts
// within seconds and says how far apart they are; from its reference on the delay heard moves
// no further than the drift took it while the correction watched (a millisecond at 100 ppm)
// over ten minutes, and comes back to within a quarter of a millisecond.
TEST_P(Drift, TheDelayHeardHoldsWithinAMillisecond) {
    const drift_case& c = GetParam();
    two_clocks sim;
    sim.capture_ppm = c.capture_ppm;
    sim.playback_ppm = c.playback_ppm;
    sim.lag_ns = c.lag_ns;
    sim.run(600);
    ASSERT_TRUE(sim.started);
    const double apart = c.capture_ppm - c.playback_ppm;
    // Readings that come late by a few ms take longer to show a drift: 4 ms, 20 s at 100 ppm.
    const double late_ms = static_cast<double>(c.lag_ns) / ms;
    EXPECT_LT(sim.started_ns, ((std::fabs(apart) >= 500 ? 8 : 16) + 2 * late_ms) * 1000 * ms);
    // Readings late by up to 20 ms leave the slope open by a few ppm.
    EXPECT_NEAR(sim.drift.ppm, apart, 2.0 + 0.5e-6 * static_cast<double>(c.lag_ns));
    // On readings like these the correction watches for seconds before it starts: the delay
    // moves as far as the drift takes it until then, and no further.
    const double watched_ms = std::fabs(apart) * 1e-6 * static_cast<double>(sim.started_ns) / ms;
    EXPECT_LT(sim.worst_ms, watched_ms + 0.25 + 0.25 * late_ms);
    // What moved before the correction started has been brought back, as near as the
    // readings tell.
    EXPECT_LT(sim.settled_ms, 0.25 + 1e-8 * static_cast<double>(c.lag_ns));
}

INSTANTIATE_TEST_SUITE_P(Clocks, Drift,
                         ::testing::Values(drift_case{"CaptureFast1000", 1000, 0, 2 * ms},
                                           drift_case{"CaptureSlow1000", -1000, 0, 2 * ms},
                                           drift_case{"PlaybackFast100", 0, 100, 2 * ms},
                                           drift_case{"CaptureFast100ReadLate", 100, 0, 4 * ms},
                                           drift_case{"Apart30", 20, -10, 500000}),
                         [](const auto& info) { return std::string(info.param.name); });

// One clock, however late and noisy its readings: the correction never starts, so nothing is
// resampled.
TEST(Drift, OneClockNeverStartsTheCorrection) {
    for (const int64_t lag : {500000L, 5 * ms, 25 * ms}) {
        two_clocks sim;
        sim.capture_ppm = sim.playback_ppm = 150;
        sim.lag_ns = lag;
        sim.run(600);
        EXPECT_FALSE(sim.drift.engaged) << lag << " ns late";
        EXPECT_EQ(sim.drift.ratio, 1.0);
    }
}

// A server whose latency grew once, early or late in the line's reach, is not a drift.
TEST(Drift, ALatencyThatJumpsOnceIsNoDrift) {
    for (const int64_t at : {1500 * ms, 4 * 1000 * ms, 20 * 1000 * ms}) {
        for (const int64_t jump : {2 * ms, 20 * ms}) {
            two_clocks sim;
            sim.lag_ns = 500000;
            sim.capture_jump_at_ns = at;
            sim.capture_jump_ns = jump;
            sim.run(60);
            EXPECT_FALSE(sim.drift.engaged) << jump << " ns at " << at << " ns";
        }
    }
}

// Readings as clean as a card's, taken as its periods end: a drift of 1000 ppm is corrected
// within a second, before it has moved the delay heard by a millisecond.
TEST(Drift, ACardsCleanReadingsShowADriftWithinASecond) {
    for (const double ppm : {1000.0, -1000.0}) {
        two_clocks sim;
        sim.capture_ppm = ppm;
        sim.lag_ns = 200000;
        sim.run(20);
        ASSERT_TRUE(sim.started) << ppm;
        EXPECT_LT(sim.started_ns, 1000 * ms) << ppm;
        EXPECT_LT(sim.worst_ms, 0.5) << ppm;
    }
}

// A server's reports, late by milliseconds, that run 1500 ppm fast for two seconds after the
// start and as much slow for two more, or on a starved machine 1500 ppm slow for six and a
// half (seen on PulseAudio's plugin with every core busy): no drift, however clearly the lines
// slope meanwhile. The same drift for real is corrected once it has lasted.
TEST(Drift, AServerEasingItsTimingInIsNoDrift) {
    for (const auto& [ppm, ease_ms] : {std::pair{1500.0, 2000L}, std::pair{-1500.0, 6500L}}) {
        two_clocks eased;
        eased.lag_ns = 5 * ms;
        eased.playback_ease_ppm = ppm;
        eased.ease_ns = ease_ms * ms;
        eased.run(30);
        EXPECT_FALSE(eased.drift.engaged) << ppm << " ppm for " << ease_ms << " ms";
    }
    two_clocks lasting;
    lasting.lag_ns = 5 * ms;
    lasting.playback_ppm = 1500;
    lasting.run(30);
    EXPECT_TRUE(lasting.drift.engaged);
}

// A change made on purpose moves the reference with it; a restarted stream takes a new one.
TEST(Drift, TheReferenceFollowsChangesAndStreamsThatStartAgain) {
    two_clocks sim;
    sim.capture_ppm = 500;
    sim.run(10);
    ASSERT_TRUE(sim.drift.referenced);
    const double before = sim.drift.reference_frames;
    move_reference(sim.drift, -4800);
    EXPECT_DOUBLE_EQ(sim.drift.reference_frames, before - 4800);
    restart_playback_clock(sim.drift);
    EXPECT_FALSE(sim.drift.referenced);
    EXPECT_TRUE(sim.drift.engaged) << "the clocks still differ";
    EXPECT_FALSE(fit_clock(sim.drift.playback, sim.now_ns).valid);
}

// A stream's line from its readings: the lowest readings of a bucket are late ones, and a
// bucket read far off the others (the program stopped) does not bend it.
TEST(ClockLine, FollowsTheBestReadingsAndIgnoresAStrayBucket) {
    clock_track track;
    std::mt19937 rng{5};
    std::uniform_int_distribution<int64_t> lag(0, 5 * ms);
    const double speed = 1 + 250e-6;
    for (int64_t t = ms; t < 16000 * ms; t += 3 * ms) {
        const int64_t late = (t > 14900 * ms && t < 15400 * ms) ? 60 * ms : lag(rng);
        note_position(track, t, static_cast<int64_t>((t - late) * 1e-9 * rate * speed), rate);
    }
    const clock_fit f = fit_clock(track, 16000 * ms);
    ASSERT_TRUE(f.valid);
    EXPECT_NEAR(f.slope * 1e6, 250, 5);
    // At 16 s the stream stands 4 ms ahead of the clock.
    EXPECT_NEAR(f.value_ns, 4.0 * ms, 0.2 * ms);
}

}  // namespace
}  // namespace livedelay
