// The real-time latency policy: from what the streams show after each wake, how far the sound
// heard is from the delay asked, and what the transfer loop must do about it. Pure arithmetic
// on frames and nanoseconds; the loop makes the ALSA calls and does what this says.
//
// The delay heard is the rings' delay plus the audio in the streams: captured but not yet read,
// read but not yet written, and queued for playback (what snd_pcm_delay says is still to be
// heard). On one clock the audio in the streams stays the same from pass to pass, so the
// rings' delay is set once, as the target less that audio, and corrected only when an xrun, a
// stall or a first reading that was off moves it.
#pragma once

#include <cstdint>

namespace livedelay {

struct latency_plan {
    int64_t rate = 0;           // frames per second the streams run at
    int64_t target_frames = 0;  // the delay asked, from capture to playback
    // The audio in the streams that playback starts with: two periods, since a period is
    // captured whole before it can be read and one must be queued while the next one arrives,
    // and a margin for the loop's own lateness.
    int64_t stream_latency_frames = 0;
};

latency_plan plan_latency(double delay_seconds, int64_t rate, int64_t period_frames);

// The rings' delay that makes the target with the audio in the streams as playback starts
// with it; 0 when the target is shorter than that.
int64_t ring_delay_for(const latency_plan& plan);

// Silence to queue ahead of the first frames written to a playback stream that is not
// running, so that the audio in the streams starts as planned: what is read but not yet written
// (`unwritten_frames`), captured but not yet read (`waiting_frames`), and what the device holds
// beyond the queue (`device_frames`: the delay an empty playback stream reports, such as a
// sound server's graph) count towards it.
int64_t start_silence_frames(const latency_plan& plan, int64_t unwritten_frames,
                             int64_t waiting_frames, int64_t device_frames);

// How playback that is about to start again must start when what it would play first is far
// from due (what the rings hold was captured before a stall, say): unwritten frames to drop
// and frames of the ring to skip, or silence to add in front. Nothing when it is near enough
// for the corrections of a settled window.
struct prime_step {
    int64_t drop_unwritten_frames = 0;
    int64_t skip_frames = 0;
    int64_t silence_frames = 0;
};
prime_step prime_correction(const latency_plan& plan, int64_t ring_delay_frames,
                            int64_t unwritten_frames, int64_t waiting_frames);

// What the streams showed after a wake's transfers.
struct path_reading {
    int64_t now_ns = 0;
    int64_t waiting_frames = 0;  // captured and ready to read
    // Captured and not yet read, to the frame where the device tells (a card whose ready
    // frames move a period at a time, read late, would otherwise seem to hold less); at least
    // waiting_frames.
    int64_t captured_frames = 0;
    int64_t unwritten_frames = 0;  // read, not yet written
    int64_t queued_frames = 0;     // written, not yet heard
    int64_t ring_delay_frames = 0;
    int64_t written_frames = 0;  // everything written to playback so far, silence too
    int64_t frames_to_drop = 0;  // of what capture holds, still to be passed without playing
};

// A capture reading right after a read of `frames` frames: `frames_read` counts every frame
// read so far, these included.
struct capture_reading {
    int64_t now_ns = 0;
    int64_t frames = 0;
    int64_t frames_read = 0;
    int64_t waiting_frames = 0;
};

// What the loop is to do after a path reading; all zero when the delay is right. Frames to
// skip come first from what capture holds (read and passed through the rings without being
// played), then from the ring, at the position playback takes its next frames from.
struct correction {
    int64_t frames_to_drop = 0;
    int64_t skip_frames = 0;
    int64_t pause_frames = 0;            // silence to put in front of what playback takes next
    bool start_playback_afresh = false;  // stop it, skip what capture holds, and start it again
};

// Audio capture lost: `frames` of it, missing before the frame `behind_frames` back from the
// newest frame read.
struct capture_gap {
    int64_t frames = 0;
    int64_t behind_frames = 0;
};

// The highest of the readings taken since `first_ns`, in a window that slides when
// `bucket_ns` is set: two buckets, the older one dropped as the newer one fills.
struct window_max {
    int64_t bucket_start_ns = 0;
    int64_t older = INT64_MIN;
    int64_t newer = INT64_MIN;
    int64_t readings = 0;
    int64_t first_ns = 0;
};

struct latency_state {
    latency_plan plan;
    // Whether each stream runs on a clock, as far as it has shown: a capture stream that
    // once had less than its whole buffer waiting, a playback stream that once held a queue.
    // Only where capture does, and playback does or has not been started yet, is the latency
    // held: a device that moves audio as fast as it is asked (a file, the null device) gets
    // exactly what was captured, with nothing added or dropped.
    bool capture_paced = false;
    bool playback_paced = false;
    bool playback_started = false;
    // The audio in the streams, from the readings since playback started (a correction of the
    // ring does not move it, and what a correction skips from capture is taken off every
    // reading until it is done). Readings come in noisy: a sound server reports its queue as it
    // stood at its last timing update, a card its pointers as they stood at its last interrupt, and
    // both only ever too low (audio already heard, or captured but not yet counted). On one clock
    // the true figure does not move, so the highest reading is the one to trust, and the more
    // readings, the nearer it is.
    window_max path;
    // The same over the last fifth of a second or so, and since when it has shown a gross error
    // the whole time, the least error it showed: a server starved of the CPU reports late, or
    // plays slow, for seconds at a time and then catches up, and a correction on that would leave
    // the delay short once it had.
    window_max recent_path;
    int64_t gross_since_ns = -1;
    int64_t gross_least_frames = 0;
    // The capture clock: for the newest frame read, when it was captured less when it would
    // have been captured had the stream never lost a frame. It only grows by what capture
    // loses, and readings that come late make it look later, so the lowest one counts.
    window_max capture_lateness;  // holds the negated lateness, so its maximum is the lowest
    // A jump of the capture clock not yet confirmed: from which frame, since when, and the
    // least it has been since.
    int64_t jump_first_frame = -1;
    int64_t jump_since_ns = 0;
    int64_t jump_least_ns = 0;
    // What capture hands over at once: the least it grew by from one reading to the next, a
    // server's block (on a card, which loses audio only with an xrun, what it captured
    // between two wakes), negated; and what it had at the last reading, -1 after a restart.
    window_max capture_block;
    int64_t last_available_frames = -1;
    // The shortest delay seen to be possible, once a skip fell short of the target.
    int64_t shortest_frames = 0;
    // The delay is judged on a settled window, and judged again once the window spans a
    // second; after that only a gross error is taken for a change: corrections stay rare, each
    // one is heard, and readings that wander or come in late must not step the delay.
    bool judged = false;
    bool refined = false;
    // While the drift between two clocks is corrected, that correction holds the delay, and
    // the readings here only restart playback that stopped keeping time.
    bool drift_holds_delay = false;
    // While the delay is rebuilt by time-stretching, it is moved on purpose: it is not judged.
    bool rebuilding = false;
    // Where playback stood at the start of the current span: a stream that stops playing what
    // it is given, or throws it away, without saying so, shows here.
    int64_t span_start_ns = 0;
    int64_t span_start_played = -1;
    bool span_queue_seen = false;  // a reading in the span had something queued
};

latency_state start_latency(const latency_plan& plan);

bool holds_latency(const latency_state& state);

// What a read showed of capture's pacing: `got` frames of the `asked`, with `waiting_frames`
// left of a buffer of `buffer_frames`.
void note_capture_pacing(latency_state& state, int64_t got, int64_t asked, int64_t waiting_frames,
                         int64_t buffer_frames);
// What playback showed after a write: the frames it reports queued, and those its buffer holds
// (a server whose stream ran dry reports none queued, yet holds what it was given).
void note_playback_queue(latency_state& state, int64_t queued_frames, int64_t buffered_frames);

// Readings start again when playback starts.
void start_judging(latency_state& state, int64_t now_ns);
// The audio in the streams changed on its own (capture started again or lost some, playback
// resumed after a suspend): the readings before say nothing of it now, and the delay is
// judged afresh, to the millisecond.
void judge_again(latency_state& state, int64_t now_ns);

// False while a jump of the capture clock waits to be confirmed: playback that is to start
// waits for it, so that what it plays first is not what the jump made too late to play.
bool capture_clock_settled(const latency_state& state);

// Takes a capture reading and gives the audio capture lost without saying so (a server that
// kept running while the program was stopped): its clock jumps, and a jump counts once the
// readings after it have all stayed that late for a while, since a late reading alone only
// means the program looked late.
capture_gap note_capture(latency_state& state, const capture_reading& reading);

// Capture was started again at `restarted_ns` after an xrun or a suspend, with `frames_read`
// read before: gives the frames it lost, from where its clock had the next frame to the
// restart, and starts the clock again.
int64_t note_capture_restart(latency_state& state, int64_t restarted_ns, int64_t frames_read);

// Takes a path reading. Gives a restart of playback when it stopped playing what it is given,
// played it far faster than its clock, or showed nothing queued for a whole span (a server
// can do any of these after an underrun it did not report); otherwise, once the readings
// since playback started have settled, the correction that brings the delay heard back to
// the target; none while it is within the tolerance.
correction judge_path(latency_state& state, const path_reading& reading);

// Takes a reading made as the program woke, before it moved anything (only how much is in the
// streams counts: moving audio along its way does not change how much is on it). It is the nearest
// reading to the period end that woke the program, where a card whose pointer moves a period at a
// time shows what it holds to the frame; a reading after the transfers is short by the time they
// took. A reading older than the window is dropped.
void note_wake_path(latency_state& state, const path_reading& reading);

// The delay heard, in frames, as the current window shows it (0 before any reading).
int64_t heard_delay_frames(const latency_state& state, int64_t ring_delay_frames);

}  // namespace livedelay
