#include "latency.hpp"

#include <algorithm>
#include <cmath>

#include "monotonic.hpp"

namespace livedelay {

namespace {

// The loop's margin on top of two periods, and the least on the way in all: on the shortest
// periods the loop must be able to come 8 ms late, as a wake does now and then on a busy machine
// without a real-time kernel (one of 128 frames at 48000 Hz, 5.3 ms of slack, underran in the
// tests).
constexpr int64_t start_margin_ns = 1000000;
constexpr int64_t least_stream_latency_ns = 10000000;
// The capture clock's window spans one to two buckets: long enough for every phase of a
// server's blocks, short enough to follow a clock that drifts.
constexpr int64_t clock_bucket_ns = 2000000000;
// Readings a window needs before it is trusted: a quarter second, at least four readings.
constexpr int64_t settle_ns = 250000000;
constexpr int64_t settle_readings = 4;
// The delay heard may be this far from the target when it is judged: once on a settled
// window, and once more on a second of readings, since a sound server's early reports are off
// by a few ms (PulseAudio's by up to 2.7 ms in the first quarter second, 1.3 ms over the first
// second). After that the delay holds on one clock, and the highest reading only creeps up as
// a server's reports wander (by 6 ms over seconds on PulseAudio) or come in late (a server or
// the program starved of the CPU): only a gross error is taken for a change then.
constexpr int64_t tolerance_ns = 1000000;
constexpr int64_t refine_after_ns = 1000000000;
constexpr int64_t held_tolerance_ns = 25000000;
// A gross error is taken for a change only once the readings of the last fifth of a second or so
// have all shown it this long: longer than a starved server's late reports last.
constexpr int64_t recent_bucket_ns = 100000000;
constexpr int64_t gross_hold_ns = 5000000000;
// An error this large when playback starts again is what a stall made too late to play.
constexpr int64_t gross_error_ns = 50000000;
// Readings of the capture clock come late by up to a block or a wake; a jump beyond this and
// the block capture is handed over in, held this long, is audio lost. (PipeWire's block, its
// quantum, is 21 ms at 1024 frames and 48000 Hz, and desktops run larger ones.)
constexpr int64_t capture_jump_ns = 20000000;
constexpr int64_t capture_jump_hold_ns = 100000000;
// Playback is judged over spans this long, long enough for any server's blocks: it must have
// played between a quarter and twice what its clock says.
constexpr int64_t span_ns = 200000000;

int64_t frames_in(int64_t ns, int64_t rate) {
    return static_cast<int64_t>(static_cast<__int128>(ns) * rate / ns_per_second);
}

int64_t ns_in(int64_t frames, int64_t rate) {
    return static_cast<int64_t>(static_cast<__int128>(frames) * ns_per_second / rate);
}

void restart(window_max& w, int64_t now_ns) {
    w = window_max{now_ns, INT64_MIN, INT64_MIN, 0, now_ns};
}

// Adds a reading; with a bucket length, the window slides.
void add(window_max& w, int64_t now_ns, int64_t value, int64_t bucket_ns = INT64_MAX) {
    if (now_ns - w.bucket_start_ns >= bucket_ns) {
        w.older = w.newer;
        w.newer = INT64_MIN;
        w.bucket_start_ns = now_ns;
    }
    w.newer = std::max(w.newer, value);
    ++w.readings;
}

int64_t highest(const window_max& w) {
    return std::max(w.older, w.newer);
}

void lower(window_max& w, int64_t by) {
    for (int64_t* value : {&w.older, &w.newer}) {
        *value = *value == INT64_MIN ? INT64_MIN : *value - by;
    }
}

bool settled(const window_max& w, int64_t now_ns) {
    return w.readings >= settle_readings && now_ns - w.first_ns >= settle_ns;
}

}  // namespace

latency_plan plan_latency(double delay_seconds, int64_t rate, int64_t period_frames) {
    latency_plan plan;
    plan.rate = rate;
    plan.target_frames =
        static_cast<int64_t>(std::floor(delay_seconds * static_cast<double>(rate)));
    plan.stream_latency_frames = std::max(2 * period_frames + frames_in(start_margin_ns, rate),
                                          frames_in(least_stream_latency_ns, rate));
    return plan;
}

int64_t ring_delay_for(const latency_plan& plan) {
    return std::max<int64_t>(0, plan.target_frames - plan.stream_latency_frames);
}

int64_t start_silence_frames(const latency_plan& plan, int64_t unwritten_frames,
                             int64_t waiting_frames, int64_t device_frames) {
    return std::max<int64_t>(
        0, plan.stream_latency_frames - unwritten_frames - waiting_frames - device_frames);
}

prime_step prime_correction(const latency_plan& plan, int64_t ring_delay_frames,
                            int64_t unwritten_frames, int64_t waiting_frames) {
    const int64_t on_its_way =
        std::max(plan.stream_latency_frames, unwritten_frames + waiting_frames);
    // A target shorter than the audio in the streams is out of reach: that is the aim then.
    const int64_t error =
        ring_delay_frames + on_its_way - std::max(plan.target_frames, plan.stream_latency_frames);
    prime_step step;
    if (std::abs(error) < frames_in(gross_error_ns, plan.rate)) {
        return step;
    }
    if (error > 0) {
        step.drop_unwritten_frames = std::min(error, unwritten_frames);
        step.skip_frames = std::min(error - step.drop_unwritten_frames, ring_delay_frames);
    } else {
        step.silence_frames = -error;
    }
    return step;
}

latency_state start_latency(const latency_plan& plan) {
    latency_state state;
    state.plan = plan;
    return state;
}

bool holds_latency(const latency_state& state) {
    return state.capture_paced && (state.playback_paced || !state.playback_started);
}

void note_capture_pacing(latency_state& state, int64_t got, int64_t asked, int64_t waiting_frames,
                         int64_t buffer_frames) {
    state.capture_paced = state.capture_paced || got < asked || waiting_frames < buffer_frames;
}

void note_playback_queue(latency_state& state, int64_t queued_frames, int64_t buffered_frames) {
    state.playback_started = true;
    state.playback_paced = state.playback_paced || queued_frames > 0 || buffered_frames > 0;
}

namespace {

// Readings and judgments start again from `now_ns`.
void forget_path(latency_state& state, int64_t now_ns) {
    restart(state.path, now_ns);
    restart(state.recent_path, now_ns);
    state.gross_since_ns = -1;
    state.judged = false;
    state.refined = false;
}

}  // namespace

void start_judging(latency_state& state, int64_t now_ns) {
    forget_path(state, now_ns);
    state.span_start_played = -1;
    state.span_queue_seen = false;
}

void judge_again(latency_state& state, int64_t now_ns) {
    if (state.path.readings > 0) {
        forget_path(state, now_ns);
    }
}

bool capture_clock_settled(const latency_state& state) {
    return state.jump_first_frame < 0;
}

namespace {

// Gives false when playback, over the span that ends with this reading, played far less or
// far more than its clock allows.
bool playback_keeps_time(latency_state& state, const path_reading& reading) {
    const int64_t played = reading.written_frames - reading.queued_frames;
    state.span_queue_seen = state.span_queue_seen || reading.queued_frames > 0;
    if (state.span_start_played < 0) {
        state.span_start_ns = reading.now_ns;
        state.span_start_played = played;
        return true;
    }
    const int64_t elapsed = reading.now_ns - state.span_start_ns;
    if (elapsed < span_ns) {
        return true;
    }
    const int64_t expected = frames_in(elapsed, state.plan.rate);
    const int64_t done = played - state.span_start_played;
    const bool queued = state.span_queue_seen;
    state.span_start_ns = reading.now_ns;
    state.span_start_played = played;
    state.span_queue_seen = false;
    // A span with nothing queued after any write: the stream ran dry without a word, and a
    // server then puts what comes next where it has already played, never to be heard.
    return queued && done * 4 >= expected && done <= 2 * expected;
}

}  // namespace

capture_gap note_capture(latency_state& state, const capture_reading& reading) {
    const int64_t rate = state.plan.rate;
    const int64_t available = reading.frames_read + reading.waiting_frames;
    const int64_t lateness = reading.now_ns - ns_in(available, rate);
    window_max& clock = state.capture_lateness;
    if (state.last_available_frames >= 0 && available > state.last_available_frames) {
        add(state.capture_block, reading.now_ns, state.last_available_frames - available,
            clock_bucket_ns);
    }
    state.last_available_frames = available;
    // At most half of what the streams hold.
    const int64_t block_ns =
        state.capture_block.readings == 0
            ? 0
            : ns_in(std::min(-highest(state.capture_block), state.plan.stream_latency_frames / 2),
                    rate);
    capture_gap gap;
    if (clock.readings > 0 && lateness + highest(clock) > capture_jump_ns + block_ns) {
        const int64_t jump = lateness + highest(clock);
        if (state.jump_first_frame < 0) {
            state.jump_first_frame = reading.frames_read - reading.frames;
            state.jump_since_ns = reading.now_ns;
            state.jump_least_ns = jump;
        }
        state.jump_least_ns = std::min(state.jump_least_ns, jump);
        if (reading.now_ns - state.jump_since_ns < capture_jump_hold_ns) {
            return {};
        }
        gap = {frames_in(state.jump_least_ns, rate), reading.frames_read - state.jump_first_frame};
        restart(clock, reading.now_ns);
        state.jump_first_frame = -1;
        state.last_available_frames = -1;
        judge_again(state, reading.now_ns);
    } else {
        state.jump_first_frame = -1;
    }
    if (clock.readings == 0) {
        restart(clock, reading.now_ns);
    }
    add(clock, reading.now_ns, -lateness, clock_bucket_ns);
    return gap;
}

int64_t note_capture_restart(latency_state& state, int64_t restarted_ns, int64_t frames_read) {
    window_max& clock = state.capture_lateness;
    if (clock.readings == 0) {
        return 0;
    }
    // The first frame after the restart is captured at the restart; the clock had it at its
    // lateness past its place in the stream.
    const int64_t expected_ns = -highest(clock) + ns_in(frames_read, state.plan.rate);
    restart(clock, restarted_ns);
    state.jump_first_frame = -1;
    state.last_available_frames = -1;
    // What was lost is an estimate: the delay is judged again.
    judge_again(state, restarted_ns);
    return std::max<int64_t>(0, frames_in(restarted_ns - expected_ns, state.plan.rate));
}

int64_t heard_delay_frames(const latency_state& state, int64_t ring_delay_frames) {
    return state.path.readings == 0 ? 0 : ring_delay_frames + highest(state.path);
}

namespace {

int64_t in_streams(const path_reading& reading) {
    return std::max(reading.captured_frames, reading.waiting_frames) + reading.unwritten_frames +
           reading.queued_frames - reading.frames_to_drop;
}

// Into both windows of the path: since judging, and of the last fifth of a second or so.
void add_path_reading(latency_state& state, const path_reading& reading) {
    const int64_t frames = in_streams(reading);
    add(state.path, reading.now_ns, frames);
    add(state.recent_path, reading.now_ns, frames, recent_bucket_ns);
}

}  // namespace

void note_wake_path(latency_state& state, const path_reading& reading) {
    if (reading.now_ns >= state.path.first_ns) {
        add_path_reading(state, reading);
    }
}

namespace {

// Of a gross error beyond what capture holds (`dropping`), what has lasted: all of the error
// the recent readings showed over the hold, at the end of it; nothing before.
int64_t lasting_error(latency_state& state, const path_reading& reading, int64_t dropping) {
    const int64_t error = reading.ring_delay_frames + highest(state.recent_path) -
                          state.plan.target_frames - dropping;
    if (error <= frames_in(held_tolerance_ns, state.plan.rate)) {
        state.gross_since_ns = -1;
        return 0;
    }
    if (state.gross_since_ns < 0) {
        state.gross_since_ns = reading.now_ns;
        state.gross_least_frames = error;
    }
    state.gross_least_frames = std::min(state.gross_least_frames, error);
    if (reading.now_ns - state.gross_since_ns < gross_hold_ns) {
        return 0;
    }
    state.gross_since_ns = -1;
    return state.gross_least_frames;
}

}  // namespace

correction judge_path(latency_state& state, const path_reading& reading) {
    if (!playback_keeps_time(state, reading)) {
        return {.start_playback_afresh = true};
    }
    add_path_reading(state, reading);
    const int64_t error =
        heard_delay_frames(state, reading.ring_delay_frames) - state.plan.target_frames;
    if (!settled(state.path, reading.now_ns) || state.drift_holds_delay || state.rebuilding) {
        return {};
    }
    const bool was_refined = state.refined;
    const bool refine = !state.refined && reading.now_ns - state.path.first_ns >= refine_after_ns;
    const int64_t tolerance =
        frames_in(!state.judged || refine ? tolerance_ns : held_tolerance_ns, state.plan.rate);
    state.judged = true;
    state.refined = state.refined || refine;
    correction c;
    if (error > tolerance) {
        // Below the shortest delay the device allows, the delay is found in the first second:
        // later, what capture holds at a reading is a server's delivery in a lump, and dropping
        // it would step the delay heard down by tens of ms in the middle of a run.
        const bool out_of_reach = state.plan.target_frames < state.plan.stream_latency_frames;
        const int64_t droppable =
            was_refined && out_of_reach ? 0 : reading.waiting_frames - reading.frames_to_drop;
        c.frames_to_drop = std::min(error, std::max<int64_t>(0, droppable));
        if (c.frames_to_drop + reading.ring_delay_frames < error) {
            // The audio in the streams cannot be made shorter than this device needs.
            state.shortest_frames = highest(state.path);
        }
        // What capture holds is counted by the program itself; the rest of a gross error is
        // the streams' report, which must have lasted.
        const int64_t skippable = was_refined ? lasting_error(state, reading, c.frames_to_drop)
                                              : error - c.frames_to_drop;
        c.skip_frames = std::min(skippable, reading.ring_delay_frames);
        if (c.frames_to_drop + c.skip_frames <= tolerance) {
            return {};
        }
        // What capture holds now goes unplayed: the readings taken with it in the streams are that
        // much lower from now on, or the next reading would take it again from the ring.
        lower(state.path, c.frames_to_drop);
        lower(state.recent_path, c.frames_to_drop);
    } else if (error < -tolerance) {
        c.pause_frames = -error;
    } else {
        return {};
    }
    return c;
}

}  // namespace livedelay
