// Capture and playback on two clocks of the fake card, one running faster than the other by
// tens to thousands of parts per million: the delay heard stays where it started, within a
// millisecond, without an xrun or a gap, and the program says once that it corrects the drift.
// On one clock nothing is resampled: every frame comes out as it went in.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_card.hpp"
#include "support/process.hpp"

namespace {

const std::string binary = LIVEDELAY_BIN;
constexpr unsigned rate = 44100;
constexpr int settled_after_s = 5;
constexpr int64_t marker_span = int64_t{1} << 20;

struct drift_case {
    std::string name;
    double capture_ppm;
    double playback_ppm;
    int seconds;
};

void PrintTo(const drift_case& c, std::ostream* os) {
    *os << c.name;
}

class TwoClocks : public ::testing::TestWithParam<drift_case> {
protected:
    void SetUp() override { dir = make_fake_card_dir(FAKE_CARD_LIB); }
    void TearDown() override { remove_tree(dir); }
    std::string dir;
};

// Resampled markers are no longer whole frames, and where a marker's 20 bits wrap the
// resampler rings between two far-apart values: the frames played about then, half a second
// after the wrap was captured, say nothing of the delay.
bool near_a_wrap(const heard_frame& f, const card_clocks& clocks) {
    const double captured = (clock_seconds(f.played, clocks.rate, clocks.playback_ppm) - 0.5) *
                            clocks.rate * (1 + clocks.capture_ppm / 1e6);
    const auto low = static_cast<int64_t>(std::llround(captured)) & (marker_span - 1);
    return low < 256 || low > marker_span - 256;
}

TEST_P(TwoClocks, TheDelayHeardHoldsWithinAMillisecond) {
    const drift_case& c = GetParam();
    std::ostringstream device;
    device << "faulty:PACE=clock,CPPM=" << c.capture_ppm << ",PPPM=" << c.playback_ppm;
    const process_result r = run_program({binary, device.str(), "1", "1", "1", "0.5",
                                          std::to_string(rate), std::to_string(c.seconds)},
                                         {fake_card_env(dir)}, c.seconds + 30);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("\nRX\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\nPX\n"), std::string::npos) << r.out;
    const bool drifts = c.capture_ppm != c.playback_ppm;
    EXPECT_EQ(count_of(r.out, "correcting the drift"), drifts ? 1u : 0u) << r.out;

    const card_clocks clocks{rate, c.capture_ppm, c.playback_ppm};
    const heard_channel heard = hear(read_file(dir + "/played.raw"), 2, 0, clocks);
    ASSERT_GT(heard.frames.size(), static_cast<size_t>((c.seconds - 1) * rate));
    EXPECT_TRUE(heard.silences.empty()) << heard.silences.size() << " silences, the first "
                                        << heard.silences.front().frames << " frames long";
    if (!drifts) {
        // Untouched: each frame the delay late, once, in order, from the first judgment on.
        for (const std::string& problem :
             delay_problems(heard, clocks, {.delay = 0.5, .settle = unjudged_seconds})) {
            ADD_FAILURE() << problem;
        }
        return;
    }
    // The delay at the start is the one the first judgment set, heard from half a second on.
    // From then on every frame is heard between it and the delay asked, within a millisecond
    // either side: on the card's clean readings the correction starts within a second, before
    // a drift of 1000 ppm has moved the delay that far, and brings it to the delay asked.
    const auto judged_from =
        heard.frames.front().played + static_cast<int64_t>(unjudged_seconds * rate);
    std::vector<double> first;
    double unjudged_off = 0;
    for (const heard_frame& f : heard.frames) {
        if (f.played < judged_from) {
            unjudged_off = std::max(unjudged_off, std::fabs(f.delay - 0.5));
        } else if (first.size() < rate / 10 && !near_a_wrap(f, clocks)) {
            first.push_back(f.delay);
        }
    }
    EXPECT_LE(unjudged_off, unjudged_tolerance);
    ASSERT_FALSE(first.empty());
    std::sort(first.begin(), first.end());
    const double start = first[first.size() / 2];
    EXPECT_NEAR(start, 0.5, 0.0015);
    // (Three runs in four started 0.67 ms long and settled 0.7 ms short: 1.4 ms from the
    // start, within a millisecond of the delay asked.)
    const double band_low = std::min(start, 0.5) - 0.001;
    const double band_high = std::max(start, 0.5) + 0.001;
    // The delay heard over each 5 ms: a resampled marker is off its frame by a few frames
    // either way (the converter's ripple on the marker's large constant part), which says
    // nothing of when it is heard.
    const int64_t window = rate / 200;
    const int64_t settled_from = heard.frames.front().played + int64_t{settled_after_s} * rate;
    double lowest = start;
    double highest = start;
    double lowest_after = start;
    double highest_after = start;
    int64_t off = 0;
    std::vector<double> delays;
    int64_t window_start = -1;
    const auto judge_window = [&] {
        if (delays.empty()) {
            return;
        }
        std::nth_element(delays.begin(), delays.begin() + delays.size() / 2, delays.end());
        const double delay = delays[delays.size() / 2];
        delays.clear();
        lowest = std::min(lowest, delay);
        highest = std::max(highest, delay);
        if (window_start >= settled_from) {
            lowest_after = std::min(lowest_after, delay);
            highest_after = std::max(highest_after, delay);
        }
        if ((delay < band_low || delay > band_high) && off++ < 3) {
            ADD_FAILURE() << "played at " << window_start << ": " << (delay - start) * 1000
                          << " ms from the delay at the start, " << (delay - 0.5) * 1000
                          << " ms from the delay asked";
        }
    };
    for (const heard_frame& f : heard.frames) {
        if (near_a_wrap(f, clocks) || f.played < judged_from) {
            continue;
        }
        if (f.played >= window_start + window) {
            judge_window();
            window_start = f.played;
        }
        delays.push_back(f.delay);
    }
    judge_window();
    // The ppm said is the difference of the clocks, as closely as a few seconds can tell.
    const size_t at = r.out.find("differ by ");
    ASSERT_NE(at, std::string::npos);
    const double said = std::strtod(r.out.c_str() + at + 10, nullptr);
    std::printf(
        "%s: the delay heard moved %+.3f to %+.3f ms from %.3f ms (%+.3f to %+.3f ms "
        "from %d s on); said %+.0f ppm\n",
        c.name.c_str(), (lowest - start) * 1000, (highest - start) * 1000, start * 1000,
        (lowest_after - start) * 1000, (highest_after - start) * 1000, settled_after_s, said);
    const double actual = c.capture_ppm - c.playback_ppm;
    EXPECT_NEAR(said, actual, std::max(30.0, std::fabs(actual) * 0.25)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Ppm, TwoClocks,
                         // One trial on the real path; the others, and an hour, are run in
                         // simulated time (Sim/Drift, SimCard.*TwoClocks* in
                         // tests/sim_test.cpp).
                         ::testing::Values(drift_case{"CaptureFasterBy1000", 1000, 0, 9}),
                         [](const auto& info) { return info.param.name; });

// Ten minutes each, run by hand: drift_tests --gtest_also_run_disabled_tests
// --gtest_filter='DISABLED_TenMinutes*'
INSTANTIATE_TEST_SUITE_P(DISABLED_TenMinutes, TwoClocks,
                         ::testing::Values(drift_case{"CaptureFasterBy1000", 1000, 0, 600},
                                           drift_case{"CaptureFasterBy100", 100, 0, 600}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
