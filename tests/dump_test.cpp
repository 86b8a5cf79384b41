// The dump and the rebuild on the card's clock: a dump cuts the newest audio and joins the two
// sides with a crossfade, no silence in between; the delay then grows back at the rate set, by
// time-stretching, and holds to the frame once it is back. A start that builds its delay and a
// live change that glides do the same without a pause.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/fake_card.hpp"
#include "support/process.hpp"

namespace {

const std::string binary = LIVEDELAY_BIN;
constexpr unsigned rate = 48000;
constexpr double fade_seconds = 0.005;
// The stretcher's joins line the sounds up within 10 ms, and the way back lands within 1 ms.
constexpr double join_seconds = 0.010;

class Rebuild : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_fake_card_dir(FAKE_CARD_LIB);
        fifo = dir + "/commands";
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Held open here, so the program never sees the end of its input.
        writer = open(fifo.c_str(), O_RDWR);
        ASSERT_GE(writer, 0);
    }
    void TearDown() override {
        close(writer);
        remove_tree(dir);
    }

    background_process start(const std::vector<std::string>& options, double delay, int seconds) {
        std::vector<std::string> argv{binary};
        argv.insert(argv.end(), options.begin(), options.end());
        for (const std::string& a : {std::string("faulty:PACE=clock"), std::string("1"),
                                     std::string("1"), std::string("1"), std::to_string(delay),
                                     std::to_string(rate), std::to_string(seconds)}) {
            argv.push_back(a);
        }
        return start_program(argv, {fake_card_env(dir)}, dir, "run", fifo);
    }
    void send(const std::string& line) const {
        ASSERT_EQ(write(writer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    heard_channel heard() const { return hear(read_file(dir + "/played.raw"), 2, 0, {rate, 0, 0}); }

    static void expect_no_marker_and_no_gap(const process_result& r, const heard_channel& h) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("\nPX\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\nRX\n"), std::string::npos) << r.out;
        ASSERT_FALSE(h.frames.empty());
        for (const silent_stretch& s : h.silences) {
            // A crossfade may cross zero for a frame or two; nothing more is ever silent.
            EXPECT_LE(s.frames, 4) << "silence at frame " << s.from;
        }
    }
    // The last `seconds` heard hold one delay, to the frame, within a millisecond of `delay`
    // (where the way back from a stretch lands).
    static void expect_held_at_the_end(const heard_channel& h, double delay, double seconds) {
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

    std::string dir;
    std::string fifo;
    int writer = -1;
};

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
TEST_F(Rebuild, ADumpCutsASliceAndTheDelayGrowsBackAtTheRateSet) {
    background_process run = start({"--rebuild-rate", "20"}, 2, 9);
    ASSERT_TRUE(wait_for_output(run, "\r3 sec", 30)) << read_file(run.err_path);
    send("dump 0.5\n");
    const process_result r = finish_program(run, 40);
    EXPECT_NE(r.out.find("\nTime delay ~ 1.500 sec, rebuilding to 2.000\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nTime delay ~ 2.000 sec\n", r.out.find("rebuilding")), std::string::npos)
        << r.out;
    const heard_channel h = heard();
    expect_no_marker_and_no_gap(r, h);
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
TEST_F(Rebuild, ABuildStartsLiveAndGrowsToTheDelay) {
    background_process run = start({"--build", "--rebuild-rate", "20"}, 1, 8);
    const process_result r = finish_program(run, 30);
    const heard_channel h = heard();
    expect_no_marker_and_no_gap(r, h);
    // The shortest delay the device allows (two periods of 4096 frames, 171 ms) and what the
    // stretcher needs ahead of it: sound well before a second, not after it.
    EXPECT_LT(h.frames.front().played, rate / 2) << "sound from the start";
    EXPECT_LT(h.frames.front().delay, 0.45);
    const int64_t back = settled_at(copied_runs(h), 1.0);
    ASSERT_GT(back, 0);
    EXPECT_LT(static_cast<double>(back) / rate, 5.5) << "0.9 s at 20 % and the start";
    expect_held_at_the_end(h, 1.0, 1.5);
}

// --glide: a live change plays faster or slower to the new delay, with no pause and no skip.
TEST_F(Rebuild, AGlideMovesTheDelayWithoutAPause) {
    background_process run = start({"--glide", "--rebuild-rate", "20"}, 1, 10);
    ASSERT_TRUE(wait_for_output(run, "\r2 sec", 30)) << read_file(run.err_path);
    send("delay 1.4\n");
    ASSERT_TRUE(wait_for_output(run, "\nTime delay ~ 1.400 sec\n", 30)) << read_file(run.out_path);
    send("delay 1.2\n");
    const process_result r = finish_program(run, 40);
    const heard_channel h = heard();
    expect_no_marker_and_no_gap(r, h);
    // Never a step: from one copy to the next, the delay moves by at most what the stretcher
    // lines its pieces up by, where a skip or a pause would move it by the whole change.
    const std::vector<copied_run> runs = copied_runs(h);
    ASSERT_GT(runs.size(), 10u) << "a glide plays in pieces";
    for (size_t i = 1; i < runs.size(); ++i) {
        ASSERT_LE(std::abs(runs[i].delay - runs[i - 1].delay), 3 * join_seconds)
            << "frame " << runs[i].from;
    }
    expect_held_at_the_end(h, 1.2, 1.0);
}

}  // namespace
