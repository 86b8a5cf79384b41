// The delay engine: the byte rings that hold the delay, the staging areas that ALSA reads into
// and writes from, the routing of channels between them, the pass that moves one chunk through
// all of them, and the transfer loop that drives the passes in real time.
#pragma once

#include <cstdint>
#include <vector>

#include "control.hpp"
#include "delay_ring.hpp"
#include "drift.hpp"
#include "fade.hpp"
#include "latency.hpp"
#include "settings.hpp"
#include "stretch.hpp"

typedef struct _snd_pcm snd_pcm_t;

namespace livedelay {

// One pass of `frames` frames read into the capture area at its position: routed into the
// lanes, copied one delay on, routed out into the playback area at its position (unless
// `play` is false: then the delayed frames of the pass are skipped), and the ring moved on.
// A join under way in `fade` is heard in what is routed out. The playback area's position
// moves only when its frames are written.
void delay_pass(delay_ring& ring, crossfade& fade, staging_area& capture, staging_area& playback,
                const run_settings& settings, int64_t frames, bool play);

// Time as the streams run it: the rate playback was granted, which the delay, the ring, the
// time-out and the counter all follow.
struct run_timing {
    int64_t rate = 0;
    int64_t frame_budget = 0;  // delayed frames to play before the run finishes
    int64_t period_frames = 0;
    int64_t capture_buffer_frames = 0;
};

// Everything the transfer loop works on. The streams are owned by the caller.
struct transfer_state {
    const run_settings* settings = nullptr;
    run_timing timing;
    snd_pcm_t* capture = nullptr;
    snd_pcm_t* playback = nullptr;
    staging_area capture_area;
    staging_area playback_area;
    staging_area silent_area;  // zeros: what capture lost passes through the rings as this
    delay_ring ring;
    crossfade fade;      // joins the sound where the delay changes
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
    int64_t control_read_ns = 0;

    int64_t frames_read = 0;
    int64_t frames_played = 0;   // delayed frames written or skipped as overdue; not silence
    int64_t frames_written = 0;  // everything written to playback, silence too
    int64_t pending_frames = 0;  // routed into the playback area, not yet written
    int64_t consume_frames = 0;  // captured frames still to pass through without playing
    int64_t waiting_frames = 0;  // what capture held after the last read
    int64_t capture_suspended_ns = 0;
    int64_t playback_suspended_ns = 0;
    bool primed = false;              // playback runs with its level queued
    bool playback_step_seen = false;  // playback moved on since the last write
    bool draining = false;            // playback stopped: what capture holds is overdue and skipped
    bool playback_full = false;       // the last wake read nothing since playback had no room
    int64_t draining_since_ns = 0;
    bool shortest_reported = false;
    float shown_seconds = 0.0f;
};

// Creates the staging areas, the rings and the silence for a run on streams granted
// `playback_channels` and `capture_channels`. Gives -ENOMEM when any of them cannot be had.
int create_transfer(transfer_state& t, const run_settings& settings, const run_timing& timing,
                    int32_t playback_channels, int32_t capture_channels);

// Moves audio from capture through the rings to playback until the frame budget is played
// or a stop is requested. Capture must be started; playback is started here, with its level
// queued. Gives 0, or ALSA's negative code after the message that ends the run.
int transfer_loop(transfer_state& t);

// Lets the queued audio play out, for no longer than it lasts and a margin, then stops
// playback; after a stop request it stops at once. Gives -ETIMEDOUT when the queue stopped
// moving: the stream is not to be touched again.
int finish_playback(transfer_state& t);

}  // namespace livedelay
