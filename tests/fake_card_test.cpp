// The fault-injecting card on its clocks, driven by a plain ALSA program
// (tests/tools/card_probe), and the judgement the fault tests draw from what it played, tried
// on made-up played files.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_card.hpp"
#include "support/process.hpp"
#include "support/virtual_devices.hpp"

namespace {

constexpr unsigned rate = 44100;
constexpr int64_t marker_span = int64_t{1} << 20;

int32_t card_marker(int channel, int64_t frame) {
    return ((channel + 1) << 20) | static_cast<int32_t>(frame & (marker_span - 1));
}

void put_sample(std::string& bytes, int channels, int64_t frame, int channel, int32_t value) {
    const auto at = static_cast<size_t>((frame * channels + channel) * 3);
    bytes[at] = static_cast<char>(value & 0xff);
    bytes[at + 1] = static_cast<char>((value >> 8) & 0xff);
    bytes[at + 2] = static_cast<char>((value >> 16) & 0xff);
}

// A made-up played.raw of two channels, `length` frames: channel 1 plays at each frame p the
// marker of the capture-clock frame `captured(p)`, or silence where that is negative; channel 2
// is silent.
std::string made_up(int64_t length, const std::function<int64_t(int64_t)>& captured) {
    std::string bytes(static_cast<size_t>(length * 2 * 3), '\0');
    for (int64_t p = 0; p < length; ++p) {
        const int64_t f = captured(p);
        if (f >= 0) {
            put_sample(bytes, 2, p, 0, card_marker(0, f));
        }
    }
    return bytes;
}

// Sound from 1 s to 5 s of the playback clock, `late` frames after its capture.
std::string delayed_by(int64_t late) {
    return made_up(5 * rate, [late](int64_t p) { return p >= rate ? p - late : -1; });
}

int64_t seconds(double s) {
    return static_cast<int64_t>(std::llround(s * rate));
}

TEST(Heard, AFrameHeardExactlyTheDelayLatePassesAndTwoMillisecondsOffFails) {
    const card_clocks clocks{rate, 0, 0};
    const heard_channel exact = hear(delayed_by(22050), 2, 0, clocks);
    ASSERT_EQ(exact.frames.size(), 4u * rate);
    EXPECT_EQ(exact.length, 5 * rate);
    EXPECT_TRUE(exact.silences.empty());
    for (const heard_frame& f : exact.frames) {
        ASSERT_EQ(f.captured, f.played - 22050);
        ASSERT_NEAR(f.delay, 0.5, 1e-12);
        ASSERT_EQ(f.source, 0);
    }
    EXPECT_TRUE(delay_problems(exact, clocks, {}).empty());

    // 1 ms is 44.1 frames: 44 late is within it, 45 and 88 (2 ms) are not.
    EXPECT_TRUE(delay_problems(hear(delayed_by(22050 + 44), 2, 0, clocks), clocks, {}).empty());
    EXPECT_TRUE(delay_problems(hear(delayed_by(22050 - 44), 2, 0, clocks), clocks, {}).empty());
    for (int64_t late : {22050 + 45, 22050 + 88, 22050 - 88}) {
        const std::vector<std::string> problems =
            delay_problems(hear(delayed_by(late), 2, 0, clocks), clocks, {});
        ASSERT_EQ(problems.size(), 1u) << late;
        EXPECT_TRUE(problems[0].starts_with("frames heard at another delay")) << problems[0];
        EXPECT_NE(problems[0].find("(176400)"), std::string::npos) << problems[0];
    }
    // The silent channel has nothing to judge.
    EXPECT_EQ(delay_problems(hear(delayed_by(22050), 2, 1, clocks), clocks, {}),
              std::vector<std::string>{"nothing was heard"});
}

// Capture-clock frames pass 2^20 while the sound plays: the twenty bits are unwrapped with the
// playback frame.
TEST(Heard, MarkersAreUnwrappedAcrossTheirTwentyBits) {
    const card_clocks clocks{rate, 0, 0};
    const int64_t from = marker_span - 1000;
    const heard_channel heard =
        hear(made_up(marker_span + 30000, [&](int64_t p) { return p >= from ? p - 22050 : -1; }), 2,
             0, clocks);
    ASSERT_EQ(static_cast<int64_t>(heard.frames.size()), 31000);
    for (const heard_frame& f : heard.frames) {
        ASSERT_EQ(f.captured, f.played - 22050) << f.played;
    }
    EXPECT_TRUE(delay_problems(heard, clocks, {}).empty());
}

// Capture 1000 ppm fast and playback 500 ppm slow, 30 s after the origin: taken as one clock
// the delay would be off by 45 ms.
TEST(Heard, EachClockIsReadAtItsOwnSpeed) {
    const card_clocks clocks{rate, 1000, -500};
    const double capture_rate = rate * 1.001;
    const double playback_rate = rate * 0.9995;
    const auto start = static_cast<int64_t>(30 * playback_rate);
    const std::string played = made_up(start + rate, [&](int64_t p) {
        const double heard_at = static_cast<double>(p) / playback_rate;
        return p >= start ? static_cast<int64_t>(std::floor((heard_at - 0.5) * capture_rate)) : -1;
    });
    const heard_channel heard = hear(played, 2, 0, clocks);
    ASSERT_EQ(static_cast<int64_t>(heard.frames.size()), rate);
    for (const heard_frame& f : heard.frames) {
        ASSERT_NEAR(f.delay, 0.5, 1.0 / rate) << f.played;
    }
    EXPECT_TRUE(delay_problems(heard, clocks, {}).empty());
    const card_clocks one_clock{rate, 0, 0};
    EXPECT_FALSE(delay_problems(hear(played, 2, 0, one_clock), one_clock, {}).empty());
}

// A fault at 2 s: 0.3 s of silence, then the sound 0.6 s late until 3.2 s, then 0.5 s again.
std::string recovered_at_3_2_seconds() {
    return made_up(seconds(5), [](int64_t p) -> int64_t {
        if (p < seconds(1)) {
            return -1;
        }
        if (p < seconds(2)) {
            return p - seconds(0.5);
        }
        if (p < seconds(2.3)) {
            return -1;
        }
        return p < seconds(3.2) ? p - seconds(0.6) : p - seconds(0.5);
    });
}

TEST(Heard, SilenceAndAnotherDelayPassOnlyWhileAFaultIsRecovered) {
    const card_clocks clocks{rate, 0, 0};
    const heard_channel heard = hear(recovered_at_3_2_seconds(), 2, 0, clocks);
    ASSERT_EQ(heard.silences.size(), 1u);
    EXPECT_EQ(heard.silences[0].from, seconds(2));
    EXPECT_EQ(heard.silences[0].frames, seconds(0.3));

    EXPECT_TRUE(delay_problems(heard, clocks, {.fault = 2.0, .recovery = 1.5}).empty());
    // Recovered too late for 1 s, and no excuse at all without a fault.
    const std::vector<std::string> late =
        delay_problems(heard, clocks, {.fault = 2.0, .recovery = 1.0});
    ASSERT_EQ(late.size(), 1u);
    EXPECT_NE(late[0].find("another delay"), std::string::npos) << late[0];
    const std::vector<std::string> no_fault = delay_problems(heard, clocks, {});
    ASSERT_EQ(no_fault.size(), 2u);
    EXPECT_NE(no_fault[1].find("silence after the first sound (1)"), std::string::npos)
        << no_fault[1];
    // A fault after the silence excuses nothing before it.
    EXPECT_EQ(delay_problems(heard, clocks, {.fault = 2.1, .recovery = 1.5}).size(), 1u);
    // Silence at the end is silence too.
    const heard_channel cut =
        hear(made_up(seconds(3), [](int64_t p) { return p < seconds(2) ? p : -1; }), 2, 0, clocks);
    ASSERT_EQ(cut.silences.size(), 1u);
    EXPECT_EQ(cut.silences[0].frames, seconds(1));
}

TEST(Heard, AFramePlayedTwiceOrOutOfOrderFailsEvenWhileRecovering) {
    const card_clocks clocks{rate, 0, 0};
    const delay_rule recovering{.fault = 2.0, .recovery = 1.5};
    const int64_t at = seconds(2.5);
    const auto judge = [&](const std::function<int64_t(int64_t)>& captured) {
        return delay_problems(hear(made_up(seconds(4), captured), 2, 0, clocks), clocks,
                              recovering);
    };
    const auto in_order = [](int64_t p) { return p >= rate ? p - seconds(0.5) : -1; };
    EXPECT_TRUE(judge(in_order).empty());
    const auto twice = [&](int64_t p) { return p == at + 1 ? in_order(at) : in_order(p); };
    const auto swapped = [&](int64_t p) {
        return p == at ? in_order(at + 1) : p == at + 1 ? in_order(at) : in_order(p);
    };
    // A period again, as a program that writes one twice would, and the sound in order after.
    const auto period_again = [&](int64_t p) {
        return p >= at && p < at + 8192 ? in_order(p - 4096) : in_order(p);
    };
    const std::vector<std::function<int64_t(int64_t)>> broken{twice, swapped, period_again};
    for (const auto& captured : broken) {
        const std::vector<std::string> problems = judge(captured);
        ASSERT_EQ(problems.size(), 1u);
        EXPECT_TRUE(problems[0].starts_with("frames played again or out of capture order"))
            << problems[0];
    }
}

TEST(Heard, AFrameFromAnotherChannelFails) {
    const card_clocks clocks{rate, 0, 0};
    std::string played = delayed_by(22050);
    put_sample(played, 2, seconds(3), 0, card_marker(1, seconds(3) - 22050));
    const std::vector<std::string> problems =
        delay_problems(hear(played, 2, 0, clocks), clocks, {});
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_TRUE(problems[0].starts_with("frames from another channel than 1 (1)")) << problems[0];
}

// The card driven by card_probe. Every run is short and in real time, so these run alone.
class CardClock : public ::testing::Test {
protected:
    void SetUp() override { dir = make_fake_card_dir(FAKE_CARD_LIB); }
    void TearDown() override { remove_tree(dir); }

    process_result probe(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{CARD_PROBE_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, {fake_card_env(dir)}, 20);
    }
    std::string card_log() const { return read_file(dir + "/card.log"); }

    // The "start BEFORE AFTER" lines of card_probe, as clock frames of a 0 ppm clock.
    std::vector<std::pair<int64_t, int64_t>> starts_seen(const process_result& r) const {
        const int64_t origin = logged_clock_origin(card_log());
        std::vector<std::pair<int64_t, int64_t>> starts;
        std::istringstream lines(r.out);
        for (std::string word; lines >> word;) {
            long long before = 0, after = 0;
            if (word == "start" && lines >> before >> after) {
                const auto frame = [&](long long ns) {
                    return static_cast<int64_t>((static_cast<__int128>(ns - origin) * rate) /
                                                1000000000);
                };
                starts.emplace_back(frame(before), frame(after));
            }
        }
        return starts;
    }

    std::string dir;
};

constexpr int64_t period = 1024;
constexpr int64_t buffer = 8192;

// The end of the period of the card's grid (multiples of the period since its origin) that
// `frame` falls in; `frame` itself when a period ends there.
int64_t period_end(int64_t frame) {
    return (frame + period - 1) / period * period;
}

// A stream plays (captures) from the clock frame of its snd_pcm_start.
void expect_started_on_time(int64_t start, std::pair<int64_t, int64_t> call) {
    EXPECT_GE(start, call.first);
    EXPECT_LE(start, call.second);
}

// Frames [from, to) of the played file hold the written frames from `written` on, frame by
// frame on both channels.
void expect_played(const std::string& played, int64_t from, int64_t to, int64_t written) {
    int mismatches = 0;
    for (int64_t p = from; p < to && mismatches < 5; ++p) {
        for (int c = 0; c < 2; ++c) {
            const int32_t want = card_marker(c, written + p - from);
            if (sample_at(played, 2, p, c) != want) {
                ADD_FAILURE() << "clock frame " << p << " channel " << c + 1 << ": got "
                              << sample_at(played, 2, p, c) << ", want " << want;
                ++mismatches;
            }
        }
    }
}

void expect_silent(const std::string& played, int64_t from, int64_t to) {
    for (int64_t p = from; p < to; ++p) {
        if (sample_at(played, 2, p, 0) != 0 || sample_at(played, 2, p, 1) != 0) {
            ADD_FAILURE() << "clock frame " << p << " is not silent";
            return;
        }
    }
}

TEST_F(CardClock, PlaysFrameKAtItsStartPlusKAndDrainsToTheLast) {
    const process_result r =
        probe({"play", "faulty:PACE=clock", "1024", "8192", "88200", "0", "0", "drain"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<int64_t> starts = logged_clock_frames(card_log(), "playback start");
    const auto calls = starts_seen(r);
    ASSERT_EQ(starts.size(), 1u) << card_log();
    ASSERT_EQ(calls.size(), 1u) << r.out;
    expect_started_on_time(starts[0], calls[0]);

    const std::string played = read_file(dir + "/played.raw");
    ASSERT_EQ(static_cast<int64_t>(played.size()), (starts[0] + 88200) * 6);
    expect_silent(played, 0, starts[0]);
    expect_played(played, starts[0], starts[0] + 88200, 0);
    EXPECT_TRUE(logged_clock_frames(card_log(), "playback xrun").empty()) << card_log();
}

// Dropped with a full buffer: what the clock played reaches the file, to the frame of the drop,
// and the rest never plays.
TEST_F(CardClock, ADropPlaysNothingMore) {
    const process_result r =
        probe({"play", "faulty:PACE=clock", "1024", "8192", "44100", "0", "0", "drop"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string log = card_log();
    const std::vector<int64_t> starts = logged_clock_frames(log, "playback start");
    const std::vector<int64_t> stops = logged_clock_frames(log, "playback stop");
    ASSERT_EQ(starts.size(), 1u) << log;
    ASSERT_EQ(stops.size(), 1u) << log;
    const std::string played = read_file(dir + "/played.raw");
    const int64_t length = static_cast<int64_t>(played.size()) / 6;
    EXPECT_LE(length, stops[0]);
    EXPECT_GE(length, stops[0] - 2);  // the log line reads the clock a moment later
    // The last write waited for a period's room in a full buffer: two periods at least were
    // still to play.
    EXPECT_LE(length - starts[0], 44100 - 2 * period);
    expect_silent(played, 0, starts[0]);
    expect_played(played, starts[0], length, 0);
}

// card_probe stops writing for 300 ms once it has written a second (a buffer and whole periods
// after it): the clock runs past the last frame written, the card notices at the end of that
// period of its grid, and the file is silent until the stream starts again.
TEST_F(CardClock, AnUnderrunStopsAtThePeriodAndLeavesSilenceUntilTheRestart) {
    const process_result r =
        probe({"play", "faulty:PACE=clock", "1024", "8192", "88200", "44100", "300", "drain"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("xrun"), r.out.rfind("xrun")) << r.out;
    ASSERT_NE(r.out.find("xrun"), std::string::npos) << r.out;
    const std::string log = card_log();
    const std::vector<int64_t> starts = logged_clock_frames(log, "playback start");
    const std::vector<int64_t> xruns = logged_clock_frames(log, "playback xrun");
    const auto calls = starts_seen(r);
    ASSERT_EQ(starts.size(), 2u) << log;
    ASSERT_EQ(xruns.size(), 1u) << log;
    ASSERT_EQ(calls.size(), 2u) << r.out;
    expect_started_on_time(starts[0], calls[0]);
    expect_started_on_time(starts[1], calls[1]);

    const int64_t before_gap = buffer + period_end(44100 - buffer);
    EXPECT_EQ(xruns[0], period_end(starts[0] + before_gap));
    const std::string played = read_file(dir + "/played.raw");
    const int64_t rest = 88200 - before_gap;
    ASSERT_EQ(static_cast<int64_t>(played.size()), (starts[1] + rest) * 6);
    expect_silent(played, 0, starts[0]);
    expect_played(played, starts[0], starts[0] + before_gap, 0);
    expect_silent(played, starts[0] + before_gap, starts[1]);
    expect_played(played, starts[1], starts[1] + rest, before_gap);
}

// card_probe reads a second and a half, and stops reading for 300 ms after a second: the buffer
// fills, the card notices at the end of that period of its grid, and the frames after the
// restart name the clock from the new start on.
TEST_F(CardClock, CaptureMarkersNameTheCaptureClockFrameAcrossAnOverrun) {
    const std::string out = dir + "/captured.raw";
    const process_result r =
        probe({"capture", "faulty:PACE=clock", "1024", "8192", "66150", "44100", "300", out});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string log = card_log();
    const std::vector<int64_t> starts = logged_clock_frames(log, "capture start");
    const std::vector<int64_t> xruns = logged_clock_frames(log, "capture xrun");
    const auto calls = starts_seen(r);
    ASSERT_EQ(starts.size(), 2u) << log;
    ASSERT_EQ(xruns.size(), 1u) << log;
    ASSERT_EQ(calls.size(), 2u) << r.out;
    expect_started_on_time(starts[0], calls[0]);
    expect_started_on_time(starts[1], calls[1]);

    const std::string captured = read_file(out);
    ASSERT_EQ(captured.size(), 66150u * 6);
    const int64_t before_gap = period_end(44100);
    EXPECT_EQ(xruns[0], period_end(starts[0] + before_gap + buffer));
    int mismatches = 0;
    for (int64_t i = 0; i < 66150 && mismatches < 5; ++i) {
        const int64_t frame = i < before_gap ? starts[0] + i : starts[1] + i - before_gap;
        for (int c = 0; c < 2; ++c) {
            if (sample_at(captured, 2, i, c) != card_marker(c, frame)) {
                ADD_FAILURE() << "frame " << i << " channel " << c + 1 << ": got "
                              << sample_at(captured, 2, i, c) << ", want clock frame " << frame;
                ++mismatches;
            }
        }
    }
}

struct rate_case {
    std::string name;
    double capture_ppm;
    double playback_ppm;
};

void PrintTo(const rate_case& c, std::ostream* os) {
    *os << c.name;
}

class ClockRates : public CardClock, public ::testing::WithParamInterface<rate_case> {};

// Capture and playback run together for 3 s with periods of 32 frames; the frames each moved,
// counted to the frame by the delay and to the period by avail, follow each clock's speed.
TEST_P(ClockRates, EachStreamMovesAtItsOwnClocksSpeed) {
    const rate_case& c = GetParam();
    std::ostringstream device;
    device << "faulty:PACE=clock,CPPM=" << c.capture_ppm << ",PPPM=" << c.playback_ppm;
    const process_result r = probe({"rates", device.str(), "32", "8192", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<long long>> samples;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string word;
        std::vector<long long> values(5);
        if (words >> word && word == "sample" &&
            words >> values[0] >> values[1] >> values[2] >> values[3] >> values[4]) {
            samples.push_back(values);
        }
    }
    ASSERT_EQ(samples.size(), 2u) << r.out;
    const auto moved = [&](int column) {
        return static_cast<double>(samples[1][column] - samples[0][column]);
    };
    const double seconds = moved(0) / 1e9;
    const double captured = moved(2);
    const double played = moved(4);
    EXPECT_NEAR(played, seconds * rate * (1 + c.playback_ppm / 1e6), 0.002 * rate);
    const double expected_more = played * (c.capture_ppm - c.playback_ppm) / (1e6 + c.playback_ppm);
    EXPECT_NEAR(captured - played, expected_more, 3) << r.out;
    EXPECT_NEAR(moved(1) - moved(3), expected_more, 2 * 32) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Ppm, ClockRates,
                         // Apart: capture fast and playback slow in one run, each
                         // on its own clock.
                         ::testing::Values(rate_case{"Together", 0, 0},
                                           rate_case{"Apart", 1000, -250.5}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
