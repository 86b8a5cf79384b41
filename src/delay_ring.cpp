#include "delay_ring.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

namespace livedelay {

byte_block zeroed_block(int64_t bytes) {
    return byte_block(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1)));
}

namespace {

ring_block mapped_block(int64_t bytes) {
    // Mapped, not allocated: a long ring takes memory only where written, and spent pages can
    // be given back.
    void* p = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        return ring_block(nullptr, unmap_deleter{});
    }
    return ring_block(static_cast<uint8_t*>(p), unmap_deleter{static_cast<size_t>(bytes)});
}

// Zeroes [from, from + n) of a mapped block, n within it. Whole pages are handed back rather
// than written, so a long pause costs neither time nor memory.
void clear_bytes(uint8_t* block, int64_t from, int64_t n) {
    static const int64_t page = sysconf(_SC_PAGESIZE);
    const int64_t first_page = (from + page - 1) / page * page;
    const int64_t end_page = (from + n) / page * page;
    if (end_page - first_page < 16 * page) {
        std::memset(block + from, 0, static_cast<size_t>(n));
        return;
    }
    std::memset(block + from, 0, static_cast<size_t>(first_page - from));
    madvise(block + first_page, static_cast<size_t>(end_page - first_page), MADV_DONTNEED);
    std::memset(block + end_page, 0, static_cast<size_t>(from + n - end_page));
}

int64_t wrapped(const delay_ring& ring, int64_t position) {
    return (position % ring.ring_size + ring.ring_size) % ring.ring_size;
}

// Copies destination.size() bytes of a lane's output ring from `at` on, both wrapped.
void copy_output(const delay_ring& ring, lane_id id, int64_t at, std::span<uint8_t> destination) {
    const auto n = static_cast<int64_t>(destination.size());
    const int64_t from = wrapped(ring, at);
    const int64_t first = std::min(n, ring.ring_size - from);
    const uint8_t* output = ring.lanes[id].output_ring.get();
    if (first > 0) {
        std::memcpy(destination.data(), output + from, static_cast<size_t>(first));
    }
    if (n > first) {
        std::memcpy(destination.data() + first, output, static_cast<size_t>(n - first));
    }
}

// What playback took moved by `bytes` (less where the position moved back over it), within
// what is left as it was: a block, and what the stored bytes have not wrapped round onto.
void note_taken(delay_ring& ring, int64_t bytes) {
    ring.taken_bytes =
        std::clamp<int64_t>(ring.taken_bytes + bytes, 0,
                            std::min(released_block_bytes, ring.ring_size - ring.delay_offset) /
                                sample_bytes * sample_bytes);
}

// Gives back the block at `start` of the rings where it holds nothing that is still to be
// used: in the input rings, anything but the block of the position and the one behind it
// (their bytes were copied on in the pass that stored them); in the output rings, only where
// the block lies wholly outside the delay ahead of the position and outside the block's
// length behind it, which playback may be handed back. In a ring barely longer than the
// delay, the block behind the position already holds what plays after the next wrap.
void release_spent(delay_ring& ring, int64_t start) {
    const int64_t block = released_block_bytes;
    const int64_t end = std::min(start + block, ring.ring_size);
    const int64_t at = ring.ring_position / block * block;
    const bool input_spent = start != at && start != wrapped(ring, at - block);
    const int64_t ahead = wrapped(ring, start - ring.ring_position);
    const bool output_spent =
        ahead >= ring.delay_offset && ahead + (end - start) <= ring.ring_size - block;
    for (lane& l : ring.lanes) {
        if (input_spent) {
            madvise(l.input_ring.get() + start, static_cast<size_t>(end - start), MADV_DONTNEED);
        }
        if (output_spent) {
            madvise(l.output_ring.get() + start, static_cast<size_t>(end - start), MADV_DONTNEED);
        }
    }
}

}  // namespace

void clear_output(delay_ring& ring, int64_t from, int64_t n) {
    const int64_t first = std::min(n, ring.ring_size - from);
    for (lane& l : ring.lanes) {
        clear_bytes(l.output_ring.get(), from, first);
        clear_bytes(l.output_ring.get(), 0, n - first);
    }
}

void unmap_deleter::operator()(uint8_t* p) const {
    munmap(p, bytes);
}

int64_t ring_size_for(const run_settings& settings) {
    const float bytes =
        settings.delay_plus_one_seconds * static_cast<float>(settings.sample_rate) * 3.0f;
    return ring_size_holding(static_cast<int64_t>(bytes));
}

int64_t ring_size_holding(int64_t bytes) {
    int64_t size = 4096;
    while (bytes > size) {
        size *= 2;
    }
    return size;
}

int64_t delay_offset_for(const run_settings& settings) {
    const float frames = static_cast<float>(settings.sample_rate) * settings.delay_seconds;
    return static_cast<int64_t>(frames) * sample_bytes;
}

int create_delay_ring(delay_ring& ring, int64_t ring_size, int64_t delay_offset) {
    // A pass's bytes must land in the output ring before the position reaches them again.
    assert(delay_offset % sample_bytes == 0 && delay_offset + chunk_bytes < ring_size);
    delay_ring fresh;
    fresh.ring_size = ring_size;
    fresh.delay_offset = delay_offset;
    for (lane& l : fresh.lanes) {
        l.input_ring = mapped_block(ring_size);
        l.output_ring = mapped_block(ring_size);
        if (!l.input_ring || !l.output_ring) {
            return -ENOMEM;
        }
    }
    ring = std::move(fresh);
    return 0;
}

int relay_delay_ring(delay_ring& ring, int64_t ring_size) {
    delay_ring moved;
    const int err = create_delay_ring(moved, ring_size, ring.delay_offset);
    if (err < 0) {
        return err;
    }
    // What playback may hand back comes along, where the new rings have room for it.
    const int64_t behind =
        std::min(ring.taken_bytes,
                 (ring_size - ring.delay_offset - chunk_bytes - 1) / sample_bytes * sample_bytes);
    for (int l = 0; l < 2; ++l) {
        uint8_t* output = moved.lanes[l].output_ring.get();
        copy_output(ring, static_cast<lane_id>(l), ring.ring_position - behind,
                    {output + ring_size - behind, static_cast<size_t>(behind)});
        copy_output(ring, static_cast<lane_id>(l), ring.ring_position,
                    {output, static_cast<size_t>(ring.delay_offset)});
    }
    moved.taken_bytes = behind;
    ring = std::move(moved);
    return 0;
}

void store(delay_ring& ring, lane_id id, std::span<const uint8_t> source) {
    const auto n = static_cast<int64_t>(source.size());
    assert(n <= chunk_bytes);
    const int64_t first = std::min(n, ring.ring_size - ring.ring_position);
    uint8_t* input = ring.lanes[id].input_ring.get();
    if (first > 0) {
        std::memcpy(input + ring.ring_position, source.data(), static_cast<size_t>(first));
    }
    if (n > first) {
        std::memcpy(input, source.data() + first, static_cast<size_t>(n - first));
    }
}

void delay_copy(delay_ring& ring, lane_id id, int64_t n) {
    assert(n >= 0 && n <= chunk_bytes);
    const uint8_t* input = ring.lanes[id].input_ring.get();
    uint8_t* output = ring.lanes[id].output_ring.get();
    int64_t from = ring.ring_position;
    int64_t to = wrapped(ring, ring.ring_position + ring.delay_offset);
    // Both ends wrap at most once each, so this is at most three block copies.
    while (n > 0) {
        const int64_t piece = std::min({n, ring.ring_size - from, ring.ring_size - to});
        std::memcpy(output + to, input + from, static_cast<size_t>(piece));
        from = from + piece == ring.ring_size ? 0 : from + piece;
        to = to + piece == ring.ring_size ? 0 : to + piece;
        n -= piece;
    }
}

void fetch(const delay_ring& ring, lane_id id, std::span<uint8_t> destination) {
    const auto n = static_cast<int64_t>(destination.size());
    assert(n <= chunk_bytes);
    const int64_t first = std::min(n, ring.ring_size - ring.ring_position);
    const uint8_t* output = ring.lanes[id].output_ring.get();
    if (first > 0) {
        std::memcpy(destination.data(), output + ring.ring_position, static_cast<size_t>(first));
    }
    if (n > first) {
        std::memcpy(destination.data() + first, output, static_cast<size_t>(n - first));
    }
}

void advance(delay_ring& ring, int64_t n) {
    assert(n >= 0 && n < ring.ring_size);
    const int64_t before = ring.ring_position;
    const int64_t next = before + n;
    ring.ring_position = next < ring.ring_size ? next : next - ring.ring_size;
    note_taken(ring, n);
    // A small ring is resident whole anyway.
    if (ring.ring_size < 2 * released_block_bytes) {
        return;
    }
    // Each block entered leaves the one two behind it spent, as far as playback is concerned.
    for (int64_t entered = before / released_block_bytes + 1;
         entered <= next / released_block_bytes; ++entered) {
        release_spent(ring, wrapped(ring, (entered - 2) * released_block_bytes));
    }
}

void copy_ahead(const delay_ring& ring, lane_id id, int64_t ahead, std::span<uint8_t> destination) {
    assert(ahead >= 0 && ahead + static_cast<int64_t>(destination.size()) <= ring.ring_size);
    copy_output(ring, id, ring.ring_position + ahead, destination);
}

void skip_output(delay_ring& ring, int64_t n) {
    assert(n >= 0 && n <= ring.delay_offset && n % sample_bytes == 0);
    advance(ring, n);
    ring.delay_offset -= n;
    note_taken(ring, 0);
}

void pause_output(delay_ring& ring, int64_t n) {
    assert(n >= 0 && n % sample_bytes == 0 && ring.delay_offset + n + chunk_bytes < ring.ring_size);
    // Behind the position lie bytes already played: they become the silence heard next.
    ring.ring_position = wrapped(ring, ring.ring_position - n);
    clear_output(ring, ring.ring_position, n);
    ring.delay_offset += n;
    note_taken(ring, -n);
}

void rewind_output(delay_ring& ring, int64_t n) {
    assert(n >= 0 && n % sample_bytes == 0 && n <= ring.taken_bytes &&
           ring.delay_offset + n + chunk_bytes < ring.ring_size);
    ring.ring_position = wrapped(ring, ring.ring_position - n);
    ring.delay_offset += n;
    note_taken(ring, -n);
}

void cut_newest(delay_ring& ring, int64_t n) {
    assert(n >= 0 && n <= ring.delay_offset && n % sample_bytes == 0);
    ring.delay_offset -= n;
}

void pause_input(delay_ring& ring, int64_t n, int64_t behind) {
    assert(n >= 0 && n % sample_bytes == 0 && behind >= 0 && behind <= ring.delay_offset &&
           ring.delay_offset + n + chunk_bytes < ring.ring_size);
    const int64_t gap_at = wrapped(ring, ring.ring_position + ring.delay_offset - behind);
    // The bytes stored since the gap move on by n, last ones first, since the two places
    // may overlap.
    for (lane& l : ring.lanes) {
        uint8_t* output = l.output_ring.get();
        for (int64_t left = behind; left > 0;) {
            const int64_t from_end = wrapped(ring, gap_at + left);
            const int64_t to_end = wrapped(ring, gap_at + left + n);
            const int64_t piece = std::min({left, from_end == 0 ? ring.ring_size : from_end,
                                            to_end == 0 ? ring.ring_size : to_end});
            std::memmove(output + (to_end == 0 ? ring.ring_size : to_end) - piece,
                         output + (from_end == 0 ? ring.ring_size : from_end) - piece,
                         static_cast<size_t>(piece));
            left -= piece;
        }
    }
    clear_output(ring, gap_at, n);
    ring.delay_offset += n;
    note_taken(ring, 0);
}

int create_staging_area(staging_area& area, int32_t region_count) {
    staging_area fresh;
    fresh.block = zeroed_block(int64_t{region_count} * chunk_bytes);
    if (!fresh.block) {
        return -ENOMEM;
    }
    fresh.region_count = region_count;
    fresh.channel_table.resize(static_cast<size_t>(region_count));
    area = std::move(fresh);
    fill_table(area);
    return 0;
}

void fill_table(staging_area& area) {
    for (int32_t c = 0; c < area.region_count; ++c) {
        area.channel_table[static_cast<size_t>(c)] = channel_bytes(area, c, 0).data();
    }
}

void advance_staging(staging_area& area, int64_t frames) {
    if (frames <= 0) {
        return;
    }
    const int64_t next = area.staging_position + frames;
    area.staging_position = next >= chunk_frames ? 0 : static_cast<uint32_t>(next);
}

std::span<uint8_t> channel_bytes(const staging_area& area, int32_t channel, int64_t frames) {
    assert(channel >= 0 && channel < area.region_count);
    assert(frames >= 0 && area.staging_position + frames <= chunk_frames);
    const int64_t offset = (channel * chunk_frames + area.staging_position) * sample_bytes;
    return {area.block.get() + offset, static_cast<size_t>(frames * sample_bytes)};
}

int64_t chunk_room(const staging_area& capture, const staging_area& playback) {
    return chunk_frames - std::max(capture.staging_position, playback.staging_position);
}

int lane_count(routing_mode mode) {
    return mode == routing_mode::stereo_to_stereo ? 2 : 1;
}

void route_in(delay_ring& ring, const staging_area& capture, const run_settings& settings,
              int64_t n) {
    const int64_t frames = n / sample_bytes;
    for (int l = 0; l < lane_count(settings.mode); ++l) {
        store(ring, static_cast<lane_id>(l),
              channel_bytes(capture, settings.input_channel + l, frames));
    }
}

output_routes routes_out(const run_settings& settings) {
    const int32_t o = settings.output_channel;
    switch (settings.mode) {
        case routing_mode::stereo_to_stereo:
            return {2, {{lane_a, o}, {lane_b, o + 1}}};
        case routing_mode::mono_to_both:
            return {2, {{lane_a, o}, {lane_a, o + 1}}};
        case routing_mode::mono_to_mono:
            break;
    }
    return {1, {{lane_a, o}, {}}};
}

void route_out(const delay_ring& ring, staging_area& playback, const run_settings& settings,
               int64_t n) {
    const output_routes routes = routes_out(settings);
    for (int r = 0; r < routes.count; ++r) {
        fetch(ring, routes.route[r].lane,
              channel_bytes(playback, routes.route[r].channel, n / sample_bytes));
    }
}

}  // namespace livedelay
