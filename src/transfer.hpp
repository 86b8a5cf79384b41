// What the transfer loop works on: the two streams, the buffers between them, what is known of
// the delay heard, and where playback stands. The loop (src/delay.cpp), the rules that set the
// delay the rings hold (src/delay_rules.cpp) and the recovery of a stream (src/recovery.cpp)
// all work on this one record.
#pragma once

#include <cstdint>
#include <vector>

#include "control.hpp"
#include "delay_ring.hpp"
#include "drift.hpp"
#include "fade.hpp"
#include "latency.hpp"
#include "loop_io.hpp"
#include "settings.hpp"
#include "status.hpp"
#include "stretch.hpp"
#include "timestretch.hpp"

namespace livedelay {

struct output_streams;

// Time as the streams run it: the rate playback was granted, which the delay, the ring, the
// time-out and the counter all follow.
struct run_timing {
    int64_t rate = 0;
    int64_t frame_budget = 0;  // delayed frames to play before the run finishes
    int64_t period_frames = 0;
    int64_t capture_buffer_frames = 0;
    bool on_sound_server = false;
};

// Where playback stands. It changes only in enter_phase; the transitions are:
//   first_capture -> running     the first frames captured are written, with silence ahead of
//                                them so that playback starts with its queue full
//   running -> skipping          playback stopped (an underrun, a server that stopped playing)
//                                where the delay is held: what capture holds now is too late
//   skipping -> restarting       capture has run dry, or the skipping took its longest
//   restarting -> running        playback started again with the next frames captured
// Where the delay is not held (a device that runs on no clock), playback stays running.
enum class playback_phase { first_capture, running, skipping, restarting };

// What the run shows: the counter, or the status line on a terminal.
struct progress_state {
    bool status_line = false;  // standard output is a terminal
    bool utf8 = false;
    peak_meter in;
    peak_meter out;
    redraw_pacing pacing;
    status_text text;  // the line or the report, built here so that nothing is allocated
};

// Where a rebuild of the delay stands. It changes only in enter_rebuild_phase (src/
// delay_rules.cpp); the transitions are:
//   none -> awaiting_joint        a dump cut the rings short (or a run builds its delay from
//                                 the start): the rebuild starts once playback reaches the joint
//   none, awaiting_joint, returning -> stretching
//                                 the stretcher plays slower than capture (the delay grows) or
//                                 faster (it shrinks), towards the goal
//   stretching -> returning       the goal is reached: the stretcher goes back to 1:1
//   returning -> none             at 1:1 it hands back what it holds and leaves the path
//   awaiting_joint -> none        no stretcher at this rate: the rings move to the goal at once
// Outside `none` the delay is moved on purpose and is not judged.
enum class rebuild_phase { none, awaiting_joint, stretching, returning };

// The delay rebuilt by time-stretching: while the stretcher is in the path (stretching and
// returning), what plays comes through it, until the delay the rings and the stretcher hold
// is `goal_frames`.
struct rebuild_state {
    rebuild_options options;
    timestretch stretch;
    bool available = false;  // the stretcher could be had (8000 to 192000 Hz)
    rebuild_phase phase = rebuild_phase::none;
    int64_t goal_frames = 0;
    int64_t joint_in_frames = 0;  // awaiting the joint: frames still to play before it
    // One lane's frames fed to it from the rings, and what it makes for playback.
    std::vector<uint8_t> lane_in[2];
    std::vector<uint8_t> lane_out[2];
};

struct stream_recovery {
    int64_t resuming_since_ns = -1;  // a suspended stream waking since then; -1: none
    int error = 0;  // what the stream reported during this wake, still to recover from; 0: none
};

// Everything the transfer loop works on. The streams are owned by the caller.
struct transfer_state {
    const run_settings* settings = nullptr;
    run_timing timing;
    stream capture;
    stream playback;
    loop_clock clock = system_clock();
    staging_area capture_area;
    staging_area playback_area;
    staging_area silent_area;  // zeros: what capture lost passes through the rings as this
    delay_ring ring;
    crossfade fade;  // joins the sound where the delay changes
    rebuild_state rebuild;
    byte_block silence;  // one chunk of zero bytes, behind every entry of silence_table
    std::vector<void*> silence_table;
    latency_state latency;
    // Two clocks: their drift, and what resamples capture once it is corrected, into an area
    // laid out as the capture area.
    drift_state drift;
    stretcher stretch;
    staging_area stretch_area;
    control_input control;
    double delay_seconds = 0;  // the delay asked now: the settings' until it is changed

    playback_phase phase = playback_phase::first_capture;
    int64_t phase_since_ns = 0;
    int64_t phase_since_frames_read = 0;
    stream_recovery capture_recovery;
    stream_recovery playback_recovery;

    int64_t frames_read = 0;
    int64_t frames_played = 0;     // delayed frames written, or dropped as too late; no silence
    int64_t frames_written = 0;    // everything written to playback, silence too
    int64_t unwritten_frames = 0;  // routed into the playback area, not yet written
    int64_t frames_to_drop = 0;    // captured frames still to pass through unheard
    int64_t capture_waiting_frames = 0;  // what capture held ready after the last read
    int64_t capture_held_frames = 0;     // ...and what it held, to the frame where it can say
    int64_t lost_capture_frames = 0;     // audio capture lost, still to pass on as silence
    bool playback_period_seen = false;   // playback moved on since the last write
    int64_t last_capture_ns = -1;        // when capture last gave frames (CLOCK_MONOTONIC)
    int64_t drift_said_at_ns = -1;       // when the drift's line is due, once it is corrected
    bool shortest_said = false;          // the line on the shortest delay was written
    int64_t xruns = 0;                   // RX and PX markers so far
    float shown_seconds = 0.0f;
    progress_state progress;
    output_streams* output = nullptr;  // standard output and error, written without waiting
};

// Creates the staging areas, the rings, the silence and the stretcher for a run on streams
// granted `playback_channels` and `capture_channels`. Gives -ENOMEM when any of them cannot be
// had.
int create_transfer(transfer_state& t, const run_settings& settings, const run_timing& timing,
                    int32_t playback_channels, int32_t capture_channels,
                    const rebuild_options& options = {});

// Whether the delay heard is held to the delay asked: only where the streams run on a clock.
bool holds_delay(const transfer_state& t);
// Playback runs and the delay is held: the readings of the streams count.
bool running_held(const transfer_state& t);

// The one place the playback phase changes. Entering `skipping` drops what is routed and not
// yet written: it is as late as what capture holds.
void enter_phase(transfer_state& t, playback_phase phase);

// Whether what plays comes through the rebuild's stretcher.
bool stretcher_in_path(const rebuild_state& r);

// Frames the rings hold between what playback takes next and what is stored next.
int64_t ring_delay_frames(const transfer_state& t);
// The same and what the stretcher holds, while it is in the path.
int64_t held_delay_frames(const transfer_state& t);

}  // namespace livedelay
