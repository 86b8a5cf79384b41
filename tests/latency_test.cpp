// The latency policy's pieces on readings made up for them: the capture clock, the playback
// clock, the corrections and what the pacing of the streams says. The policy in the real loop,
// on simulated cards and servers, is judged by tests/sim_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "latency.hpp"

namespace livedelay {
namespace {

constexpr int64_t rate = 48000;
constexpr int64_t ms = 1000000;  // in ns

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

// Once the delay has held a while, a queue reported 30 ms high for 3 s (a starved server,
// catching up after) moves nothing; one that stays high is skipped once, 5 s after it showed,
// by the least the readings showed, low as they come by up to 120 frames.
TEST(Correction, AGrossErrorOnlyOnceItHasLasted) {
    const latency_plan plan = plan_latency(0.5, rate, 4096);
    const int64_t ring = 24000 - plan.stream_latency_frames;
    latency_state state = start_latency(plan);
    start_judging(state, 0);
    int64_t now = 0;
    const auto reading = [&](int64_t high, int64_t ring_delay) {
        now += 5 * ms;
        return judge_path(state,
                          {.now_ns = now,
                           .queued_frames = plan.stream_latency_frames + high - now / ms % 120,
                           .ring_delay_frames = ring_delay,
                           .written_frames = 8192 + now / ms * 48});
    };
    const auto moved = [](const correction& c) {
        return c.frames_to_drop + c.skip_frames + c.pause_frames;
    };
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(moved(reading(0, ring)), 0) << i;
    }
    ASSERT_TRUE(state.refined);
    for (int i = 0; i < 600; ++i) {
        ASSERT_EQ(moved(reading(1440, ring)), 0) << "for 3 s at " << i;
    }
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(moved(reading(0, ring)), 0) << "after at " << i;
    }
    int64_t skipped = 0;
    int64_t at_ms = 0;
    for (int i = 0; i < 1200; ++i) {
        const correction c = reading(1440, ring - skipped);
        ASSERT_EQ(c.frames_to_drop + c.pause_frames, 0) << i;
        if (c.skip_frames > 0) {
            ASSERT_EQ(skipped, 0) << "skipped twice, at " << i;
            at_ms = now / ms;
            skipped = c.skip_frames;
        }
    }
    const int64_t showed_at_ms = 5 + (400 + 600 + 400) * 5;
    EXPECT_GE(at_ms - showed_at_ms, 5000);
    EXPECT_LE(at_ms - showed_at_ms, 5300);
    EXPECT_GE(skipped, 1440 - 120);
    EXPECT_LE(skipped, 1440);
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
