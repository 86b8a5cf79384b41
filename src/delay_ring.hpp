// The delay rings and the staging areas: the byte rings that hold the delay, the memory that
// ALSA reads into and writes from, and the routing of channels between them. Plain memory
// and arithmetic: nothing here talks to a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "samples.hpp"
#include "settings.hpp"

namespace livedelay {

constexpr int64_t chunk_frames = 4096;  // the most frames one pass moves
constexpr int64_t chunk_bytes = chunk_frames * sample_bytes;

struct free_deleter {
    void operator()(void* p) const { std::free(p); }
};
using byte_block = std::unique_ptr<uint8_t[], free_deleter>;
// Zero-filled; empty when the memory cannot be had.
byte_block zeroed_block(int64_t bytes);

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
    // Bytes just behind the position that are still as playback took them, which it may hand
    // back (rewind_output): at most a block, and none that the bytes stored since have
    // overwritten.
    int64_t taken_bytes = 0;
    lane lanes[2];
};

// Rings hold a second more than the delay, in 4096 times a power of two bytes.
int64_t ring_size_for(const run_settings& settings);
// The smallest such size of at least `bytes`.
int64_t ring_size_holding(int64_t bytes);
int64_t delay_offset_for(const run_settings& settings);

// Takes four zero-filled rings of `ring_size` bytes (untouched pages cost no memory).
// Gives -ENOMEM, with nothing else changed, when any of them cannot be had.
int create_delay_ring(delay_ring& ring, int64_t ring_size, int64_t delay_offset);

// Moves what the output rings hold ahead of the position, and what playback may hand back
// behind it, into four new rings of `ring_size` bytes (at least the delay and a pass more).
// Gives -ENOMEM, with the rings as they were, when the new ones cannot be had.
int relay_delay_ring(delay_ring& ring, int64_t ring_size);

// Each takes n = source.size() (or destination.size()) bytes, at most one chunk.
void store(delay_ring& ring, lane_id id, std::span<const uint8_t> source);
void delay_copy(delay_ring& ring, lane_id id, int64_t n);
void fetch(const delay_ring& ring, lane_id id, std::span<uint8_t> destination);
// Moves the ring position on by n bytes, less than a ring. Blocks the position has left
// behind are handed back to the system where nothing in them is still to be used: the input
// rings' bytes were copied on by delay_copy, and the output rings' were played unless the
// delay ahead of the position has wrapped round into them.
void advance(delay_ring& ring, int64_t n);
constexpr int64_t released_block_bytes = int64_t{1} << 20;

// Copies what the output ring of a lane holds `ahead` bytes past the position (what playback
// takes then), destination.size() bytes of it.
void copy_ahead(const delay_ring& ring, lane_id id, int64_t ahead, std::span<uint8_t> destination);
// Zeroes n bytes of every output ring from byte `from` on, wrapping at the ring end.
void clear_output(delay_ring& ring, int64_t from, int64_t n);

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
// Hands the n bytes playback took last back to the output rings: the position moves back by
// n, and they are what playback takes next (n at most taken_bytes).
void rewind_output(delay_ring& ring, int64_t n);
// Drops the n bytes stored last (n at most delay_offset): what is stored next takes their
// place, so the delay is n bytes shorter from what was stored before them on.
void cut_newest(delay_ring& ring, int64_t n);

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

// Lanes a routing mode uses: two for a stereo pair, else one.
int lane_count(routing_mode mode);

// The playback channels the lanes feed, by routing mode: one, or two.
struct output_route {
    lane_id lane = lane_a;
    int32_t channel = 0;
};
struct output_routes {
    int count = 0;
    output_route route[2];
};
output_routes routes_out(const run_settings& settings);

void route_in(delay_ring& ring, const staging_area& capture, const run_settings& settings,
              int64_t n);
void route_out(const delay_ring& ring, staging_area& playback, const run_settings& settings,
               int64_t n);

}  // namespace livedelay
