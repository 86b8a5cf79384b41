// Two clocks: capture and playback on different cards (or one `asym` device over two) run at
// rates that differ by tens to hundreds of parts per million, and the audio in the streams between
// them grows or shrinks by that much. Each stream's position is followed against the
// monotonic clock; when the two disagree for real, what capture delivers is resampled by the
// ratio of the two clocks, and that ratio is nudged so that the delay heard stays where it was.
// On one clock nothing of this engages, and the audio passes untouched.
//
// Pure arithmetic on frames and nanoseconds: the transfer loop reads the streams, resamples,
// and passes the counters in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace livedelay {

// One stream's position against the monotonic clock, as `position as time - now` in ns: a
// constant for a stream that runs exactly at its rate, a slope for one that runs faster or
// slower. Readings lag (a card's pointer moves a period at a time, a server reports late), so
// each bucket keeps its highest reading; a line is fitted through the buckets.
struct clock_point {
    int64_t at_ns = 0;
    int64_t value_ns = 0;
};

// A line through the buckets, fitted each time one closes.
struct clock_line {
    size_t used = 0;  // buckets on the line; the others were read far off it
    double mean_ns = 0;
    double value_at_mean = 0;
    double slope = 0;
    double slope_error = 0;
    double scatter_ns = 0;  // how far the buckets lie from it, as a root mean square
    double span_ns = 0;     // the time the buckets cover
    bool straight = false;  // the older and the newer half of the buckets run at its slope
};

struct clock_track {
    int64_t bucket_start_ns = 0;
    bool bucket_open = false;
    clock_point best;  // the open bucket's highest reading
    std::vector<clock_point> points;
    clock_line line;
};

// The line through a track: where the stream stands at `at_ns`, how fast it runs against the
// monotonic clock (0 for exactly its rate), how far that may be off, and whether the stream
// moved along it rather than jumped once (a server whose latency changed).
struct clock_fit {
    bool valid = false;
    double value_ns = 0;
    double slope = 0;
    double slope_error = 0;
    double scatter_ns = 0;
    double span_ns = 0;
    bool straight = false;
};

void note_position(clock_track& track, int64_t now_ns, int64_t frames, int64_t rate);
clock_fit fit_clock(const clock_track& track, int64_t at_ns);

struct drift_state {
    int64_t rate = 0;
    clock_track capture;
    clock_track playback;
    // The delay heard, in frames, that the correction holds: taken once the latency policy has
    // judged the delay right, moved with every change made on purpose.
    bool referenced = false;
    double reference_frames = 0;
    // When it was taken and what the loop counted then: while the lines still reach back that
    // far, the reference is worked out again from the better lines.
    int64_t reference_ns = 0;
    double reference_counted = 0;
    // Once the clocks are seen to differ, what capture delivers is resampled from then on.
    bool engaged = false;
    int64_t seen_since_ns = -1;  // since when the clocks are seen to differ, before it starts
    double ratio = 1.0;          // frames passed on for each frame captured
    double ppm = 0;              // how much faster capture runs than playback
};

drift_state start_drift(int64_t rate);

// A stream started again: its position starts again, and the reference is taken afresh.
void restart_capture_clock(drift_state& drift);
void restart_playback_clock(drift_state& drift);

// A change of the delay made on purpose (a correction, a command): the reference follows it.
void move_reference(drift_state& drift, int64_t frames);

// Takes the streams' latest positions into account. `counted_frames` is what the loop knows
// exactly of the delay heard: the rings' delay, what is written, unwritten and held by the
// resampler, less what was read and is still to be dropped; the streams' positions make up the
// rest. `judged` says the latency policy holds the delay right now, so a reference may be
// taken. Gives true once, when the correction starts.
bool steer_drift(drift_state& drift, int64_t now_ns, int64_t counted_frames, bool judged);

}  // namespace livedelay
