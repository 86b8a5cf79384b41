// The delay engine: the byte rings that hold the delay, the staging areas that ALSA reads into
// and writes from, the routing of channels between them, and the transfer loop.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "settings.hpp"

struct pcm_pair;

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

// Sizes and positions are in bytes.
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
// Moves the ring position on. Each whole block of the input rings that the position leaves
// behind is handed back to the system: its bytes were copied on by delay_copy and are dead.
void advance(delay_ring& ring, int64_t n);
constexpr int64_t released_block_bytes = int64_t{1} << 20;

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

int lane_count(routing_mode mode);
void route_in(delay_ring& ring, const staging_area& capture, const run_settings& settings,
              int64_t n);
void route_out(const delay_ring& ring, staging_area& playback, const run_settings& settings,
               int64_t n);

// The working life of a run on a configured pair: buffers, the transfer loop until the frame
// budget is met or a stop is requested, and the shutdown. Gives the process's exit status.
int run(const run_settings& settings, pcm_pair& pair, const volatile sig_atomic_t* stop_requested);
