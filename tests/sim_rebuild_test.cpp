// The dump and the rebuild in simulated time: a dump cuts the newest audio and joins the two
// sides with a crossfade, no silence in between; the delay then grows back at the rate set, by
// time-stretching, and holds to the frame once it is back. A start that builds its delay and a
// live change that glides do the same without a pause.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "support/sim_scenario.hpp"

namespace livedelay {
namespace {

constexpr unsigned rate = 48000;
constexpr double fade_seconds = 0.005;
// The stretcher's joins line the sounds up within 10 ms, and the way back lands within 1 ms.
constexpr double join_seconds = 0.010;

void expect_no_marker_and_no_gap(const sim_run& run, const heard_channel& h) {
    expect_no_marker(run);
    ASSERT_FALSE(h.frames.empty());
    for (const silent_stretch& s : h.silences) {
        // A crossfade may cross zero for a frame or two; nothing more is ever silent.
        EXPECT_LE(s.frames, 4) << "silence at frame " << s.from;
    }
}

// The last `seconds` heard hold one delay, to the frame, within a millisecond of `delay`
// (where the way back from a stretch lands).
void expect_held_at_the_end(const heard_channel& h, double delay, double seconds) {
    const int64_t from = h.length - static_cast<int64_t>(seconds * rate);
    const auto first = std::find_if(h.frames.begin(), h.frames.end(),
                                    [&](const heard_frame& f) { return f.played >= from; });
    ASSERT_NE(first, h.frames.end());
    EXPECT_NEAR(first->delay, delay, 0.001);
    int64_t checked = 0;
    for (auto f = first; f != h.frames.end(); ++f) {
        ASSERT_NEAR(f->delay, first->delay, 0.5 / rate) << "frame " << f->played;
        ++checked;
    }
    EXPECT_GT(checked, static_cast<int64_t>(seconds * rate) - 8);
}

// A stretch plays the captured sound in pieces, each a copy at its own delay, joined by
// crossfades whose mixed samples name no frame. The copies, 64 frames and longer.
struct copied_run {
    int64_t from = 0;  // playback-clock frame
    int64_t frames = 0;
    double delay = 0;
};

std::vector<copied_run> copied_runs(const heard_channel& h) {
    std::vector<copied_run> runs;
    for (size_t i = 0; i < h.frames.size(); ++i) {
        const heard_frame& f = h.frames[i];
        if (i > 0 && !runs.empty()) {
            const heard_frame& before = h.frames[i - 1];
            copied_run& last = runs.back();
            if (before.played + 1 == f.played && before.captured + 1 == f.captured &&
                last.from + last.frames == f.played) {
                ++last.frames;
                continue;
            }
        }
        runs.push_back({f.played, 1, f.delay});
    }
    std::erase_if(runs, [](const copied_run& r) { return r.frames < 64; });
    return runs;
}

// Where the delay comes back to `delay` (within a millisecond) and stays: the first frame.
int64_t settled_at(const std::vector<copied_run>& runs, double delay) {
    int64_t settled = -1;
    for (const copied_run& r : runs) {
        if (std::abs(r.delay - delay) > 0.001) {
            settled = -1;
        } else if (settled < 0) {
            settled = r.from;
        }
    }
    return settled;
}

// A 2 s delay, `dump 0.5` at 3 s, rebuilt at 20 %: 1.5 s at once after a crossfade, then 2 s
// again 2.5 s of playing later.
TEST(SimRebuild, ADumpCutsASliceAndTheDelayGrowsBackAtTheRateSet) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 2,
                  .seconds = 9,
                  .options = {.rate_percent = 20},
                  .commands = {{3.0, "dump 0.5"}}},
                 *run);
    const std::string& out = run->result.out;
    EXPECT_NE(out.find("\nTime delay ~ 1.500 sec, rebuilding to 2.000\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\nTime delay ~ 2.000 sec\n", out.find("rebuilding")), std::string::npos)
        << out;
    const heard_channel h = heard_on_one_clock(*run);
    expect_no_marker_and_no_gap(*run, h);
    const std::vector<copied_run> runs = copied_runs(h);

    // The joint: the first copy nearer than the old delay; before it, the old delay held.
    const auto joint = std::find_if(runs.begin(), runs.end(), [](const copied_run& c) {
        return c.from > 2 * int64_t{rate} && c.delay < 1.75;
    });
    ASSERT_NE(joint, runs.end());
    ASSERT_NE(joint, runs.begin());
    for (auto c = runs.begin(); c != joint; ++c) {
        EXPECT_NEAR(c->delay, 2.0, 0.001) << "before the cut, frame " << c->from;
    }
    const copied_run& before = *(joint - 1);
    EXPECT_LE(joint->from - (before.from + before.frames), fade_seconds * rate + 1)
        << "a crossfade at the joint, no more";
    // What plays at 1:1 until the stretcher joins in: the old delay less the slice.
    EXPECT_NEAR(joint->delay, 1.5, 0.001) << "frame " << joint->from;

    // Half a second at 20 % slower takes 2.5 s of playing, from the joint to the delay back.
    const int64_t back = settled_at(runs, 2.0);
    ASSERT_GT(back, joint->from);
    const double rebuilt_seconds = static_cast<double>(back - joint->from) / rate;
    EXPECT_NEAR(rebuilt_seconds, 2.5, 2.5 * 0.05 + 0.2) << "the stretcher's lead on top";
    expect_held_at_the_end(h, 2.0, 1.0);
}

// --build: playing starts at the shortest delay the stretcher allows, and the delay grows to
// the one asked instead of playing its silence first.
TEST(SimRebuild, ABuildStartsLiveAndGrowsToTheDelay) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 1, .seconds = 8, .options = {.rate_percent = 20, .build = true}}, *run);
    const heard_channel h = heard_on_one_clock(*run);
    expect_no_marker_and_no_gap(*run, h);
    // The shortest delay the device allows (two periods of 4096 frames, 171 ms) and what the
    // stretcher needs ahead of it: sound well before a second, not after it.
    EXPECT_LT(h.frames.front().played, rate / 2) << "sound from the start";
    EXPECT_LT(h.frames.front().delay, 0.45);
    const int64_t back = settled_at(copied_runs(h), 1.0);
    ASSERT_GT(back, 0);
    EXPECT_LT(static_cast<double>(back) / rate, 5.5) << "0.9 s at 20 % and the start";
    expect_held_at_the_end(h, 1.0, 1.5);
}

// --glide: a live change plays faster or slower to the new delay, with no pause and no skip:
// up by 0.4 s at 2 s (2 s of playing at 20 %), then down to 1.2 s once it is there.
TEST(SimRebuild, AGlideMovesTheDelayWithoutAPause) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 1,
                  .seconds = 10,
                  .options = {.rate_percent = 20, .glide = true},
                  .commands = {{2.0, "delay 1.4"}, {5.0, "delay 1.2"}}},
                 *run);
    const std::string& out = run->result.out;
    EXPECT_LT(out.find("\nTime delay ~ 1.400 sec\n"), out.find("\nTime delay ~ 1.200 sec\n"))
        << out;
    const heard_channel h = heard_on_one_clock(*run);
    expect_no_marker_and_no_gap(*run, h);
    // Never a step: from one copy to the next, the delay moves by at most what the stretcher
    // lines its pieces up by, where a skip or a pause would move it by the whole change.
    const std::vector<copied_run> runs = copied_runs(h);
    ASSERT_GT(runs.size(), 10u) << "a glide plays in pieces";
    for (size_t i = 1; i < runs.size(); ++i) {
        ASSERT_LE(std::abs(runs[i].delay - runs[i - 1].delay), 3 * join_seconds)
            << "frame " << runs[i].from;
    }
    // At 1.4 s before the second change.
    const std::vector<copied_run> first_change(
        runs.begin(), std::find_if(runs.begin(), runs.end(), [](const copied_run& c) {
            return c.from >= 5 * int64_t{rate};
        }));
    const int64_t up = settled_at(first_change, 1.4);
    EXPECT_GT(up, 0) << "at 1.4 s by 5 s";
    expect_held_at_the_end(h, 1.2, 1.0);
}

// A dump while the delay is still growing back from another: it cuts what the stretcher holds
// as well as the rings, the line it prints says the delay then heard, and the delay asked
// is built back from there. On a card, and on a server that hands capture over in small
// blocks, where the stretcher was fed a chunk for each of them and held a second of the delay.
TEST(SimRebuild, ADumpDuringARebuildCutsWhatIsHeard) {
    for (const bool server : {false, true}) {
        SCOPED_TRACE(server ? "server" : "card");
        auto run = std::make_unique<sim_run>();
        run_scenario({.delay = 2,
                      .seconds = 30,
                      .card = {.server = {.on = server}},
                      .options = {.rate_percent = 10},
                      .commands = {{3.0, "dump 0.5"}, {6.0, "dump"}}},
                     *run);
        ASSERT_EQ(run->result.err, 0) << run->result.err_text;
        const std::string& out = run->result.out;
        const std::string said = "\nTime delay ~ ";
        const size_t second = out.find(said, out.find(said) + 1);
        ASSERT_NE(second, std::string::npos) << out;
        const double said_s = std::stod(out.substr(second + said.size()));
        // The second dump's joint is heard within a few tenths of a second: from there on,
        // what the way out holds and what the stretcher needs ahead of it, as after a dump of a
        // delay that was not growing. Before, the second dump left 0.65 s and said 0.96.
        const delay_range cut = heard_from(*run, 6.0, 6.6);
        ASSERT_GT(cut.frames, 0);
        EXPECT_LT(cut.lowest, 0.45);
        EXPECT_NEAR(said_s, cut.lowest, 0.03) << out;
        // Built back at 10 % from there by 25 s.
        const delay_range back = heard_from(*run, 26);
        EXPECT_NEAR(back.lowest, 2.0, 0.001);
        EXPECT_NEAR(back.highest, 2.0, 0.001);
        EXPECT_EQ(run->t.rebuild.phase, rebuild_phase::none);
    }
}

}  // namespace
}  // namespace livedelay
