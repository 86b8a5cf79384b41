// The delay engine: the byte rings that hold the delay, the staging areas that ALSA reads into
// and writes from, the routing of channels between them, the pass that moves one chunk through
// all of them, and the transfer loop that drives the passes in real time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "control.hpp"
#include "drift.hpp"
#include "latency.hpp"
#include "settings.hpp"
#include "stretch.hpp"

typedef struct _snd_pcm snd_pcm_t;

namespace livedelay {

constexpr int64_t sample_bytes = 3;     // signed 24-bit little-endian, packed
constexpr int64_t chunk_frames = 4096;  // the most frames one pass moves
constexpr int64_t chunk_bytes = chunk_frames * sample_bytes;

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using byte_block = std::unique_ptr<uint8_t[], free_deleter>;

// Rings are mapped from the system directly: page-aligned, zero, and taking memory only
// where written, so a long delay costs what it holds and spent pages can be given back.
struct unmap_deleter {
    size_t bytes = 0;
    void operator()(uint8_t* p) const;
};
using ring_block = std::unique_ptr<uint8_t[], unmap_deleter>;

// One routed mono signal: captured bytes enter `input_ring` at the ring position and are
// copied into `output_ring` one delay further on, where playback later takes them.
struct lane {
    ring_block input_ring;
    ring_block output_ring;
};

enum lane_id : int { lane_a = 0, lane_b = 1 };

// Sizes and positions are in bytes. `delay_offset` is where a stored byte lands ahead of the
// position; the transfer loop moves it to skip or pause what playback takes next.
struct delay_ring {
    int64_t ring_size = 0;
    int64_t delay_offset = 0;
    int64_t ring_position = 0;
    lane lanes[2];
};

int64_t ring_size_for(const run_settings& settings);
int64_t delay_offset_for(const run_settings& settings);

// Takes four zero-filled rings of `ring_size` bytes (untouched pages cost no memory).
// Gives -ENOMEM, with nothing else changed, when any of them cannot be had.
int create_delay_ring(delay_ring& ring, int64_t ring_size, int64_t delay_offset);

// Each takes n = source.size() (or destination.size()) bytes, at most one chunk.
void store(delay_ring& ring, lane_id id, std::span<const uint8_t> source);
void delay_copy(delay_ring& ring, lane_id id, int64_t n);
void fetch(const delay_ring& ring, lane_id id, std::span<uint8_t> destination);
// Moves the ring position on by n bytes, less than a ring. Each whole block that the
// position leaves behind is handed back to the system: the input rings' bytes there were
// copied on by delay_copy and the output rings' were played, so all of them are dead.
void advance(delay_ring& ring, int64_t n);
constexpr int64_t released_block_bytes = int64_t{1} << 20;

// The delay as heard can be shortened or lengthened at the position, where playback takes its
// next bytes; the bytes stored from then on keep their place. skip_output drops the next n
// bytes (n at most delay_offset); pause_output puts n bytes of silence before them.
// pause_input puts n bytes of silence among the stored bytes, `behind` bytes back from where
// the next ones go (behind at most delay_offset): what capture lost is heard as silence, and
// what follows it keeps its distance. Both pauses need delay_offset + n + chunk_bytes below
// ring_size.
void skip_output(delay_ring& ring, int64_t n);
void pause_output(delay_ring& ring, int64_t n);
void pause_input(delay_ring& ring, int64_t n, int64_t behind);

// skip_output and pause_output, heard without a click: a skip crossfades, over `fade` bytes,
// from what would have come to what comes after the skip; a pause fades out what would have
// come, then the silence, then fades it back in. The fade is shortened where the ring holds
// less than it needs.
void skip_output_faded(delay_ring& ring, int64_t n, int64_t fade);
void pause_output_faded(delay_ring& ring, int64_t n, int64_t fade);
// Drops what the output rings hold ahead of the position (the whole delay) without a click:
// it fades out over `fade` bytes and is silent after that, but for its last `fade` bytes,
// which fade back in and lead on into the bytes stored next. The delay stays.
void silence_output_faded(delay_ring& ring, int64_t fade);

// The memory one direction's transfers use: `region_count` regions of one chunk each, the
// frame offset used in all of them, and the per-channel pointers handed to ALSA.
struct staging_area {
    byte_block block;
    int32_t region_count = 0;
    uint32_t staging_position = 0;  // frames, always below chunk_frames
    std::vector<void*> channel_table;
};

// Zero-filled; gives -ENOMEM when the block cannot be had.
int create_staging_area(staging_area& area, int32_t region_count);
void fill_table(staging_area& area);
void advance_staging(staging_area& area, int64_t frames);
// The bytes of `channel` from the staging position on, `frames` long.
std::span<uint8_t> channel_bytes(const staging_area& area, int32_t channel, int64_t frames);

// Frames the next transfer may move so that it stays inside the regions of both areas.
int64_t chunk_room(const staging_area& capture, const staging_area& playback);

void route_in(delay_ring& ring, const staging_area& capture, const run_settings& settings,
              int64_t n);
void route_out(const delay_ring& ring, staging_area& playback, const run_settings& settings,
               int64_t n);

// One pass of `frames` frames read into the capture area at its position: routed into the
// lanes, copied one delay on, routed out into the playback area at its position (unless
// `play` is false: then the delayed frames of the pass are skipped), and the ring moved on.
// The playback area's position moves only when its frames are written.
void delay_pass(delay_ring& ring, staging_area& capture, staging_area& playback,
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
