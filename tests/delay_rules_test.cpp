// What sets the delay the rings hold, on a transfer built without a device: the start, the
// start of playback after a stall, the judgments, what capture lost, and live changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "delay_rules.hpp"
#include "transfer.hpp"

namespace livedelay {
namespace {

constexpr int64_t rate = 48000;
constexpr int64_t period = 4096;
// What playback starts with in the streams: two periods and a millisecond.
constexpr int64_t in_streams = 2 * period + 48;

class DelayRules : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(make(0.5f), 0); }

    int make(float delay_seconds) {
        settings.delay_seconds = delay_seconds;
        settings.delay_plus_one_seconds = delay_seconds + 1.0f;
        settings.sample_rate = rate;
        return create_transfer(t, settings, {rate, 10 * rate, period, 4 * period}, 2, 2);
    }
    // The streams seen to run on a clock.
    void hold() { t.latency.capture_paced = true; }
    // Playback started, with `frames` seen in the streams since.
    void measure_streams(int64_t frames) {
        start_judging(t.latency, 0);
        t.latency.playback_started = true;
        t.latency.playback_paced = true;
        note_wake_path(t.latency, {.now_ns = 1, .queued_frames = frames});
    }
    int64_t ring_delay() const { return ring_delay_frames(t); }

    run_settings settings;
    transfer_state t;
};

// A device with no clock gets the whole delay in the rings; one with a clock, from the first
// frames read on, the delay less what playback starts with in the streams, and nothing less
// than none.
TEST_F(DelayRules, TheStartHoldsTheDelayLessWhatTheStreamsWillHold) {
    set_start_delay(t);
    EXPECT_EQ(ring_delay(), rate / 2);
    hold();
    set_start_delay(t);
    EXPECT_EQ(ring_delay(), rate / 2 - in_streams);
    ASSERT_EQ(make(0.05f), 0);
    hold();
    set_start_delay(t);
    EXPECT_EQ(ring_delay(), 0);
}

// A live change sets the rings to the delay less what is measured in the streams, from
// wherever they stood, even from below the shortest delay; asked below it, the change plays
// at the shortest and says what that is.
TEST_F(DelayRules, ALiveChangeHoldsTheDelayAskedOrTheShortestThere) {
    hold();
    set_start_delay(t);
    measure_streams(in_streams + 100);
    EXPECT_EQ(change_delay(t, 0.05, true), in_streams + 100);
    EXPECT_EQ(ring_delay(), 0);
    EXPECT_EQ(change_delay(t, 0.3, true), 0);
    EXPECT_EQ(ring_delay(), rate * 3 / 10 - in_streams - 100);
    EXPECT_EQ(t.latency.plan.target_frames, rate * 3 / 10);
    EXPECT_EQ(change_delay(t, 0.3 + 1.0 / rate, false), 0);
    EXPECT_EQ(ring_delay(), rate * 3 / 10 - in_streams - 99);
}

// Without a clock the rings hold the whole delay asked, to the frame, however it was summed.
TEST_F(DelayRules, ALiveChangeWithoutAClockHoldsItAll) {
    double asked = 0.5;
    for (int i = 0; i < 1000; ++i) {
        asked += 0.0001;
    }
    change_delay(t, asked, true);
    EXPECT_EQ(ring_delay(), rate * 6 / 10);
}

// A judgment drops what capture holds first and skips the rest from the rings, or pauses;
// a pause never takes more than the rings have room for.
TEST_F(DelayRules, AJudgmentDropsSkipsOrPausesWithinTheRoom) {
    const int64_t before = ring_delay();
    apply_correction(t, {.frames_to_drop = 300, .skip_frames = 200});
    EXPECT_EQ(t.frames_to_drop, 300);
    EXPECT_EQ(ring_delay(), before - 200);
    const int64_t room = pause_room_frames(t.ring);
    apply_correction(t, {.pause_frames = int64_t{1} << 40});
    EXPECT_EQ(ring_delay(), before - 200 + room);
    EXPECT_EQ(pause_room_frames(t.ring), 0);
}

// Playback starting again far from due: the unwritten frames go first, then the rings give
// up what is too late; near enough, only silence ahead of the first frames fills the streams.
TEST_F(DelayRules, PlaybackStartsAfterAStallWithWhatIsDue) {
    hold();
    set_start_delay(t);
    t.unwritten_frames = 1000;
    t.capture_waiting_frames = 10000;  // captured while the program was held up
    int64_t silence = -1;
    EXPECT_FALSE(prepare_playback_start(t, 0, silence));
    EXPECT_EQ(t.unwritten_frames, 0);
    // What capture holds is then in the streams: the rings hold the rest of the delay.
    EXPECT_EQ(ring_delay(), rate / 2 - 10000);
    EXPECT_EQ(silence, 0);

    ASSERT_EQ(make(0.5f), 0);
    hold();
    set_start_delay(t);
    t.unwritten_frames = 1000;
    t.capture_waiting_frames = 500;
    EXPECT_TRUE(prepare_playback_start(t, 200, silence));
    EXPECT_EQ(silence, in_streams - 1000 - 500 - 200);
    EXPECT_EQ(ring_delay(), rate / 2 - in_streams);
}

// What capture lost becomes silence among what the rings hold, as far back as playback has
// not taken it yet.
TEST_F(DelayRules, WhatCaptureLostBecomesSilenceBehindTheNewestFrames) {
    const int64_t before = ring_delay();
    hold_capture_gap(t, 480, 100);
    EXPECT_EQ(ring_delay(), before + 480);
    hold_capture_gap(t, 480, 10 * rate);  // further back than the rings reach: at playback
    EXPECT_EQ(ring_delay(), before + 960);
}

// The rings hold the delay and a second: a change past that lays them out again, larger,
// and one to far less, smaller; what they held plays on as it would have.
TEST_F(DelayRules, RingsFollowTheDelayTheyHold) {
    EXPECT_EQ(t.ring.ring_size, ring_size_holding(rate * 3 / 2 * sample_bytes));
    std::vector<uint8_t> held(static_cast<size_t>(t.ring.delay_offset));
    for (size_t i = 0; i < held.size(); ++i) {
        held[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    const auto ahead = [&](int64_t from_frames, int64_t bytes) {
        std::vector<uint8_t> bytes_ahead(static_cast<size_t>(bytes));
        copy_ahead(t.ring, lane_a, from_frames * sample_bytes, bytes_ahead);
        return bytes_ahead;
    };
    t.ring.ring_position = t.ring.ring_size - 999;  // what is held crosses the ring end
    for (size_t i = 0; i < held.size(); ++i) {
        const int64_t at = (t.ring.ring_position + static_cast<int64_t>(i)) % t.ring.ring_size;
        t.ring.lanes[lane_a].output_ring[at] = held[i];
    }
    change_delay(t, 10.0, false);
    EXPECT_EQ(ring_delay(), 10 * rate);
    EXPECT_EQ(t.ring.ring_size, ring_size_holding(11 * rate * sample_bytes));
    EXPECT_EQ(ahead(10 * rate - rate / 2, static_cast<int64_t>(held.size())), held);

    change_delay(t, 0.1, false);
    EXPECT_EQ(ring_delay(), rate / 10);
    EXPECT_EQ(t.ring.ring_size, ring_size_holding(rate * 11 / 10 * sample_bytes));
    const std::vector<uint8_t> tail(held.end() - rate / 10 * sample_bytes, held.end());
    EXPECT_EQ(ahead(0, rate / 10 * sample_bytes), tail);
}

}  // namespace
}  // namespace livedelay
