// The time-stretcher run as the engine would run it: each period asks for 4096 frames out, fed
// from a stream that is captured as time goes on and had `lead_frames` ahead at the start;
// what is played is read back and measured.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <numbers>
#include <ostream>
#include <span>
#include <vector>

#include "mixed_byte.hpp"
#include "timestretch.hpp"

namespace livedelay {
namespace {

constexpr int rate = 48000;
constexpr int64_t period = 4096;
constexpr double full_scale = 8388608.0;

// The sample of lane `lane` at frame `f` of a stream, as a 24-bit integer.
using signal = std::function<int32_t(int lane, int64_t f)>;

signal sine(double hz, double amplitude = 0.5) {
    return [=](int, int64_t f) {
        return static_cast<int32_t>(
            std::lrint(amplitude * full_scale * std::sin(2 * std::numbers::pi * hz * f / rate)));
    };
}

struct rig {
    timestretch ts;
    int lanes;
    signal source;
    int64_t captured = 0;  // frames of the source that exist so far
    int64_t fed = 0;       // frames of it given to the stretcher
    std::vector<std::vector<int32_t>> played;
    std::vector<std::vector<uint8_t>> in_bytes;
    std::vector<std::vector<uint8_t>> out_bytes;
    int64_t short_periods = 0;  // periods the stretcher could not fill
    bool greedy = false;        // feeds all that is captured, not just what a period needs

    rig(int lanes_, signal s) : lanes(lanes_), source(std::move(s)), played(lanes_) {
        EXPECT_EQ(create_timestretch(ts, lanes, rate), 0);
        in_bytes.assign(lanes, std::vector<uint8_t>(period * 3));
        out_bytes.assign(lanes, std::vector<uint8_t>(period * 3));
    }

    // A period: the capture moves on by one, and 4096 frames are asked for, fed from what
    // has been captured and not given yet.
    void run_period() {
        captured += period;
        int64_t made = 0;
        while (made < period || (greedy && fed < captured)) {
            const int64_t frames = std::min(period, captured - fed);
            std::vector<std::span<const uint8_t>> in;
            std::vector<std::span<uint8_t>> out;
            for (int l = 0; l < lanes; ++l) {
                for (int64_t f = 0; f < frames; ++f) {
                    const int32_t v = source(l, fed + f);
                    for (int b = 0; b < 3; ++b) {
                        in_bytes[l][f * 3 + b] = static_cast<uint8_t>(v >> (8 * b));
                    }
                }
                in.emplace_back(in_bytes[l].data(), frames * 3);
                out.emplace_back(out_bytes[l].data(), (period - made) * 3);
            }
            const stretch_step step = timestretch_step(ts, in, frames, out, period - made);
            fed += step.taken;
            for (int l = 0; l < lanes; ++l) {
                for (int64_t f = 0; f < step.made; ++f) {
                    const uint8_t* b = out_bytes[l].data() + f * 3;
                    const int32_t v = b[0] | (b[1] << 8) | (b[2] << 16);
                    played[l].push_back((v ^ 0x800000) - 0x800000);
                }
            }
            made += step.made;
            if (step.made == 0 && step.taken == 0) {
                short_periods += made < period ? 1 : 0;
                break;
            }
        }
    }
    void run_seconds(double seconds) {
        for (int64_t n = 0; n < std::llround(seconds * rate / period); ++n) {
            run_period();
        }
    }
};

// The frequency of lane 0 in [from, to) from its rising zero crossings.
double frequency(const std::vector<int32_t>& x, size_t from, size_t to) {
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (size_t i = std::max<size_t>(from, 1); i < to && i < x.size(); ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            last = static_cast<double>(i - 1) + x[i - 1] / static_cast<double>(x[i - 1] - x[i]);
            first = first < 0 ? last : first;
            ++crossings;
        }
    }
    return crossings < 2 ? 0 : (crossings - 1) / (last - first) * rate;
}

TEST(TimeStretch, AtOneEveryFramePassesBitForBit) {
    // Bytes that tell every position apart.
    rig r(2, [](int lane, int64_t f) {
        return static_cast<int32_t>(mixed_byte(f * 2 + lane) | (mixed_byte(f * 7 + lane) << 8) |
                                    (mixed_byte(f * 5 + lane) << 16)) -
               0x800000;
    });
    r.run_seconds(2);
    ASSERT_EQ(r.played[0].size(), r.fed);
    for (int l = 0; l < 2; ++l) {
        for (size_t f = 0; f < r.played[l].size(); ++f) {
            ASSERT_EQ(r.played[l][f], r.source(l, static_cast<int64_t>(f))) << l << " " << f;
        }
    }
    EXPECT_EQ(held_frames(r.ts), 0);
    EXPECT_TRUE(at_one(r.ts));
}

// Stretched and back: the output was as long as the tempi say, the return goes on bit for bit
// from the frame the library's output stood for, and what it holds then is given back to feed
// again. A tone under a little noise, so that every frame of the source is told apart.
TEST(TimeStretch, AfterAStretchTheStreamGoesOnBitForBit) {
    struct leg {
        double tempo;
        double seconds;
    };
    // A rebuild; and much slower, then straight on to faster (the library's frames made at the
    // one tempo are counted at that one), fed all that is captured rather than what a period
    // needs.
    for (const std::vector<leg>& legs :
         {std::vector<leg>{{0.97, 10}}, std::vector<leg>{{0.8, 3}, {1.25, 3}}}) {
        rig r(1, [](int, int64_t f) {
            return sine(440, 0.3)(0, f) + static_cast<int32_t>(mixed_byte(f) << 12) - (1 << 19);
        });
        r.greedy = legs.size() > 1;
        r.captured = lead_frames(r.ts) + rate;
        r.run_seconds(1);
        double expected = 0;  // frames played beyond the source they stand for
        double moved = 0;     // and the stretch there was, either way
        for (const leg& l : legs) {
            set_tempo(r.ts, l.tempo);
            const size_t before = r.played[0].size();
            r.run_seconds(l.seconds);
            const double out = static_cast<double>(r.played[0].size() - before);
            expected += (1 - l.tempo) * out;
            moved += std::abs(1 - l.tempo) * out;
        }
        set_tempo(r.ts, 1.0);
        r.run_seconds(1);
        ASSERT_TRUE(at_one(r.ts));
        EXPECT_EQ(r.short_periods, 0);
        // The last half second is the source from where it stands, exactly.
        const std::vector<int32_t>& x = r.played[0];
        const int64_t held = held_frames(r.ts);
        const int64_t half = rate / 2;
        for (int64_t f = 0; f < half; ++f) {
            ASSERT_EQ(x[x.size() - half + f], r.source(0, r.fed - held - half + f)) << f;
        }
        const double grown = static_cast<double>(x.size()) - static_cast<double>(r.fed - held);
        EXPECT_NEAR(grown, expected, 0.05 * moved) << legs.size();

        const int64_t given = give_back(r.ts);
        EXPECT_EQ(given, held);
        EXPECT_EQ(held_frames(r.ts), 0);
        r.fed -= given;
        r.run_seconds(0.5);
        for (int64_t f = 0; f < half; ++f) {
            ASSERT_EQ(x[x.size() - half + f], r.source(0, r.fed - half + f)) << f;
        }
    }
}

// The way back to 1:1 lands where the output stood, within the distance allowed: exactly
// with none. A tone under noise, whose pieces line up a few ms off their place.
TEST(TimeStretch, TheWayBackLandsWithinWhatIsAllowed) {
    for (int64_t landing : {int64_t{0}, int64_t{rate / 1000}, int64_t{rate / 100}}) {
        rig r(1, [](int, int64_t f) {
            return sine(440, 0.3)(0, f) + static_cast<int32_t>(mixed_byte(f) << 14) - (1 << 21);
        });
        set_landing(r.ts, landing);
        r.captured = lead_frames(r.ts);
        set_tempo(r.ts, 0.97);
        r.run_seconds(2);
        const int64_t stood_at = r.fed - held_frames(r.ts);
        const size_t before = r.played[0].size();
        set_tempo(r.ts, 1.0);
        r.run_seconds(0.5);
        ASSERT_TRUE(at_one(r.ts));
        const auto since = static_cast<int64_t>(r.played[0].size() - before);
        const int64_t landed = r.fed - held_frames(r.ts) - since - stood_at;
        EXPECT_LE(std::abs(landed), landing);
    }
}

struct pitch_case {
    double hz;
    double tempo;
};

void PrintTo(const pitch_case& c, std::ostream* os) {
    *os << c.hz << " Hz at tempo " << c.tempo;
}

class Pitch : public ::testing::TestWithParam<pitch_case> {};

// A sine stretched keeps its pitch within 0.5 %, over every quarter second, from the join on;
// fed `lead_frames` ahead (and, faster than 1:1, the audio it plays ahead of the capture),
// every period is filled.
TEST_P(Pitch, StaysWithinHalfAPerCent) {
    const pitch_case c = GetParam();
    constexpr double seconds = 4;
    rig r(1, sine(c.hz));
    r.captured = lead_frames(r.ts) + std::llround(std::max(0.0, c.tempo - 1) * seconds * rate);
    set_tempo(r.ts, c.tempo);
    r.run_seconds(seconds);
    EXPECT_EQ(r.short_periods, 0);
    const std::vector<int32_t>& x = r.played[0];
    ASSERT_GE(x.size(), 4u * rate - period);
    for (size_t from = 0; from + rate / 4 <= x.size(); from += rate / 4) {
        EXPECT_NEAR(frequency(x, from, from + rate / 4) / c.hz, 1.0, 0.005) << from;
    }
}

INSTANTIATE_TEST_SUITE_P(TimeStretch, Pitch,
                         ::testing::Values(pitch_case{440, 0.97}, pitch_case{1000, 0.97},
                                           pitch_case{440, 1.03}, pitch_case{1000, 0.95}));

// Into the stretch and out of it, no click: no step from one sample to the next beyond the
// signal's own steepest, for tones and chords of unrelated tones. A tone has no dip either:
// every cycle's peak within a few per cent, which a join made where the sounds do not line up
// fails.
TEST(TimeStretch, JoinsHaveNoClickAndNoDip) {
    struct tone {
        double hz;
        double amplitude;
    };
    struct scenario {
        std::vector<tone> tones;
        std::vector<double> tempi;  // 1.5 s each from 0.5 s in, then 0.5 s at 1:1
    };
    const std::vector<scenario> cases = {
        {{{440, 0.5}}, {0.97}},
        {{{1000, 0.5}}, {0.97}},
        {{{3100, 0.5}}, {0.97}},
        {{{440, 0.4}, {3100, 0.3}}, {0.97}},
        {{{196, 0.2}, {311.1, 0.2}, {740, 0.2}, {1675, 0.2}}, {0.97}},
        {{{440, 0.5}}, {0.8, 1.25}}};
    for (const auto& [tones, tempi] : cases) {
        rig r(1, [&](int, int64_t f) {
            int32_t v = 0;
            for (const tone& t : tones) {
                v += sine(t.hz, t.amplitude)(0, f);
            }
            return v;
        });
        r.captured = lead_frames(r.ts) + rate / 2;
        r.run_seconds(0.5);
        for (double tempo : tempi) {
            set_tempo(r.ts, tempo);
            r.run_seconds(1.5);
        }
        set_tempo(r.ts, 1.0);
        r.run_seconds(0.5);
        EXPECT_EQ(r.short_periods, 0) << tones[0].hz;
        const std::vector<int32_t>& x = r.played[0];
        double steepest = 0;
        for (const tone& t : tones) {
            steepest += t.amplitude * full_scale * 2 * std::numbers::pi * t.hz / rate;
        }
        double worst_step = 0;
        for (size_t i = 1; i < x.size(); ++i) {
            worst_step = std::max(worst_step, std::abs(static_cast<double>(x[i] - x[i - 1])));
        }
        EXPECT_LT(worst_step, 1.05 * steepest) << tones[0].hz << " and " << tones.size() - 1;
        if (tones.size() > 1) {
            continue;
        }
        const double amplitude = tones[0].amplitude * full_scale;
        const auto cycle = static_cast<size_t>(rate / tones[0].hz) + 1;
        for (size_t from = 0; from + cycle <= x.size(); from += cycle) {
            const int32_t peak = *std::max_element(x.begin() + static_cast<long>(from),
                                                   x.begin() + static_cast<long>(from + cycle));
            ASSERT_NEAR(peak / amplitude, 1.0, 0.05) << tones[0].hz << " Hz at " << from;
        }
    }
}

// Two lanes are stretched as one: the second, the first inverted at half its level, stays so
// at every frame, through both joins; one lane alone stretches as well.
TEST(TimeStretch, LanesStayAligned) {
    const signal tone = sine(330);
    rig r(2, [&](int lane, int64_t f) {
        const int32_t v = tone(0, f) + sine(1270, 0.2)(0, f);
        return lane == 0 ? v : -v / 2;
    });
    r.captured = lead_frames(r.ts);
    r.run_seconds(0.5);
    set_tempo(r.ts, 0.96);
    r.run_seconds(1.5);
    set_tempo(r.ts, 1.0);
    r.run_seconds(0.5);
    ASSERT_EQ(r.played[0].size(), r.played[1].size());
    for (size_t f = 0; f < r.played[0].size(); ++f) {
        ASSERT_NEAR(r.played[1][f], -r.played[0][f] / 2.0, 2.0) << f;
    }
}

TEST(TimeStretch, RefusesWhatItCannotDo) {
    timestretch ts;
    EXPECT_EQ(create_timestretch(ts, 0, rate), -EINVAL);
    EXPECT_EQ(create_timestretch(ts, 9, rate), -EINVAL);
    EXPECT_EQ(create_timestretch(ts, 2, 384000), -EINVAL);
}

}  // namespace
}  // namespace livedelay
