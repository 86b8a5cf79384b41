// Changes of the delay heard as joins: a stream run through the rings pass by pass, changed
// in the middle, and what is played read back frame by frame.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "delay.hpp"
#include "fade.hpp"

namespace livedelay {
namespace {

constexpr int64_t fade_frames = 240;

int32_t sample_of(std::span<const uint8_t> bytes, int64_t frame) {
    const uint8_t* b = bytes.data() + frame * sample_bytes;
    const int32_t v = b[0] | (b[1] << 8) | (b[2] << 16);
    return (v ^ 0x800000) - 0x800000;
}

// Mode 1 through a ring `delay` frames long, its position near the ring end so that the joins
// cross it. Captured frame c is the sample 1000 + c, so the stream at a delay of d plays
// 1000 + x - d at frame x.
struct fade_rig {
    run_settings settings;
    delay_ring ring;
    crossfade fade;
    staging_area capture;
    staging_area playback;
    int64_t captured = 0;
    std::vector<int32_t> played;

    explicit fade_rig(int64_t delay) {
        EXPECT_EQ(create_delay_ring(ring, int64_t{1} << 20, delay * sample_bytes), 0);
        ring.ring_position = ring.ring_size - 9000 * sample_bytes;
        EXPECT_EQ(create_staging_area(capture, 2), 0);
        EXPECT_EQ(create_staging_area(playback, 2), 0);
        create_crossfade(fade, 1, fade_frames);
    }

    void run(int64_t frames) {
        for (int64_t pass = 0; pass < frames; pass += 64) {
            const std::span<uint8_t> in = channel_bytes(capture, 0, 64);
            for (int64_t i = 0; i < 64; ++i) {
                const int32_t v = 1000 + static_cast<int32_t>(captured + i);
                in[i * 3] = static_cast<uint8_t>(v);
                in[i * 3 + 1] = static_cast<uint8_t>(v >> 8);
                in[i * 3 + 2] = static_cast<uint8_t>(v >> 16);
            }
            delay_pass(ring, fade, capture, playback, settings, 64, true);
            const std::span<uint8_t> out = channel_bytes(playback, 0, 64);
            for (int64_t i = 0; i < 64; ++i) {
                played.push_back(sample_of(out, i));
            }
            advance_staging(playback, 64);
            captured += 64;
        }
    }
};

constexpr int64_t changed_at = 12032;  // a whole number of passes

struct skip_case {
    int64_t delay;
    int64_t skip;
};

class FadedSkip : public ::testing::TestWithParam<skip_case> {};

// A shorter delay: what was to come fades into what comes after the skip, then that plays on
// exactly; nothing jumps. This holds down to a delay of none, where what comes after the skip
// is captured only as it plays, and where the rings held less than a fade of the old stream.
TEST_P(FadedSkip, CrossfadesFromTheOldStreamIntoTheNewOne) {
    const auto [delay, skip] = GetParam();
    fade_rig rig(delay);
    rig.run(changed_at);
    skip_faded(rig.ring, rig.fade, skip);
    EXPECT_EQ(rig.ring.delay_offset, (delay - skip) * sample_bytes);
    rig.run(4096);
    int32_t before = rig.played[changed_at - 1];
    EXPECT_EQ(before, 1000 + changed_at - 1 - delay);
    for (int64_t x = changed_at; x < changed_at + fade_frames; ++x) {
        const int32_t now = rig.played[x];
        const int32_t old_stream = 1000 + static_cast<int32_t>(x - delay);
        const int32_t new_stream = old_stream + static_cast<int32_t>(skip);
        EXPECT_GE(now, old_stream) << x;
        EXPECT_LE(now, new_stream) << x;
        // The join climbs smoothly: never down, never by more than the skip over the fade.
        EXPECT_GE(now, before) << x;
        EXPECT_LE(now - before, 2 + skip * 3.2 / fade_frames) << x;
        before = now;
    }
    for (int64_t x = changed_at + fade_frames; x < static_cast<int64_t>(rig.played.size()); ++x) {
        ASSERT_EQ(rig.played[x], 1000 + x - (delay - skip)) << x;
    }
}

INSTANTIATE_TEST_SUITE_P(Delays, FadedSkip,
                         ::testing::Values(skip_case{10000, 2000}, skip_case{2000, 2000},
                                           skip_case{100, 100}, skip_case{10000, 50}));

class FadedPause : public ::testing::TestWithParam<int64_t> {};

// A longer delay: what was to come fades out, then silence, then the sound fades back in where
// the fade out began, and plays on exactly at the new delay. Where the rings held a fade, what
// faded out is not heard again; where they held none, it is the sound that resumes.
TEST_P(FadedPause, FadesOutWaitsAndFadesBackIn) {
    const int64_t delay = GetParam();
    constexpr int64_t pause = 1000;
    fade_rig rig(delay);
    rig.run(changed_at);
    pause_faded(rig.ring, rig.fade, pause);
    EXPECT_EQ(rig.ring.delay_offset, (delay + pause) * sample_bytes);
    rig.run(4096);
    const int64_t faded_out = std::min(delay, fade_frames);
    for (int64_t k = 0; k < fade_frames; ++k) {
        const int32_t old_stream = 1000 + static_cast<int32_t>(changed_at + k - delay);
        const int32_t now = rig.played[changed_at + k];
        EXPECT_GE(now, 0) << k;
        EXPECT_LE(now, old_stream) << k;
        if (k > 0) {
            EXPECT_LE(now, rig.played[changed_at + k - 1] + 1) << k;
        }
    }
    EXPECT_LE(rig.played[changed_at + fade_frames - 1], 1);
    const int64_t resumed = changed_at + pause + faded_out;
    for (int64_t x = changed_at + fade_frames; x < resumed; ++x) {
        ASSERT_EQ(rig.played[x], 0) << x;
    }
    const int64_t new_delay = delay + pause;
    for (int64_t x = resumed; x < resumed + fade_frames; ++x) {
        EXPECT_LE(rig.played[x], 1000 + x - new_delay) << x;
        EXPECT_GE(rig.played[x], rig.played[x - 1]) << x;
    }
    EXPECT_GE(rig.played[resumed + fade_frames - 1], 0.99 * (1000 + resumed - new_delay));
    for (int64_t x = resumed + fade_frames; x < static_cast<int64_t>(rig.played.size()); ++x) {
        ASSERT_EQ(rig.played[x], 1000 + x - new_delay) << x;
    }
}

INSTANTIATE_TEST_SUITE_P(Delays, FadedPause, ::testing::Values(10000, 100, 0));

// A cut of the newest frames held: what plays before the joint is the old stream to its last
// kept frame; what was captured after the cut follows it, a cut's length nearer, joined by a
// crossfade from the first frames cut; nothing falls silent and nothing jumps.
TEST(FadedCut, JoinsTheKeptSoundToWhatComesAfterTheCut) {
    constexpr int64_t delay = 10000;
    constexpr int64_t cut = 4000;
    fade_rig rig(delay);
    rig.run(changed_at);
    cut_faded(rig.ring, rig.fade, cut);
    EXPECT_EQ(rig.ring.delay_offset, (delay - cut) * sample_bytes);
    rig.run(delay + 2048);
    const int64_t joint = changed_at + delay - cut;
    for (int64_t x = changed_at; x < joint; ++x) {
        ASSERT_EQ(rig.played[x], 1000 + x - delay) << x;
    }
    for (int64_t x = joint; x < joint + fade_frames; ++x) {
        EXPECT_GE(rig.played[x], 1000 + x - delay - 1) << x;
        EXPECT_LE(rig.played[x], 1000 + x - (delay - cut) + 1) << x;
        EXPECT_GE(rig.played[x], rig.played[x - 1]) << x;
    }
    for (int64_t x = joint + fade_frames; x < static_cast<int64_t>(rig.played.size()); ++x) {
        ASSERT_EQ(rig.played[x], 1000 + x - (delay - cut)) << x;
    }
}

}  // namespace
}  // namespace livedelay
