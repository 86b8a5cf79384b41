#include "delay.hpp"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "pcm.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

byte_block zeroed_block(int64_t bytes) {
    return byte_block(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1)));
}

ring_block mapped_block(int64_t bytes) {
    // Reserved only: a ring is made for the longest delay, and holds memory where written.
    void* p = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        return ring_block(nullptr, unmap_deleter{});
    }
    return ring_block(static_cast<uint8_t*>(p), unmap_deleter{static_cast<size_t>(bytes)});
}

// Gives the pages of [from, to) of every ring back; they read as zero afterwards.
void release(delay_ring& ring, int64_t from, int64_t to) {
    for (lane& l : ring.lanes) {
        for (uint8_t* block : {l.input_ring.get(), l.output_ring.get()}) {
            madvise(block + from, static_cast<size_t>(to - from), MADV_DONTNEED);
        }
    }
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

// Zeroes n bytes of every output ring from `from` on, wrapping at the ring end.
void clear_output(delay_ring& ring, int64_t from, int64_t n) {
    const int64_t first = std::min(n, ring.ring_size - from);
    for (lane& l : ring.lanes) {
        clear_bytes(l.output_ring.get(), from, first);
        clear_bytes(l.output_ring.get(), 0, n - first);
    }
}

int64_t wrapped(const delay_ring& ring, int64_t position) {
    return (position % ring.ring_size + ring.ring_size) % ring.ring_size;
}

}  // namespace

void unmap_deleter::operator()(uint8_t* p) const {
    munmap(p, bytes);
}

int64_t ring_size_for(const run_settings& settings) {
    const float bytes =
        settings.delay_plus_one_seconds * static_cast<float>(settings.sample_rate) * 3.0f;
    const auto needed = static_cast<int64_t>(bytes);
    int64_t size = 4096;
    while (needed > size) {
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
    // A small ring is resident whole anyway; a large one keeps only its current block.
    if (ring.ring_size < 2 * released_block_bytes) {
        return;
    }
    // Every block from the one the position was in up to the one it is in now, if it left it:
    // the input rings' bytes there were copied on, the output rings' were played.
    for (int64_t block = before / released_block_bytes * released_block_bytes;
         block / released_block_bytes != next / released_block_bytes && block < next;
         block += released_block_bytes) {
        const int64_t start = block % ring.ring_size;
        release(ring, start, std::min(start + released_block_bytes, ring.ring_size));
    }
}

void skip_output(delay_ring& ring, int64_t n) {
    assert(n >= 0 && n <= ring.delay_offset && n % sample_bytes == 0);
    advance(ring, n);
    ring.delay_offset -= n;
}

void pause_output(delay_ring& ring, int64_t n) {
    assert(n >= 0 && n % sample_bytes == 0 && ring.delay_offset + n + chunk_bytes < ring.ring_size);
    // Behind the position lie bytes already played: they become the silence heard next.
    ring.ring_position = wrapped(ring, ring.ring_position - n);
    clear_output(ring, ring.ring_position, n);
    ring.delay_offset += n;
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
}

namespace {

int32_t sample_at(const uint8_t* bytes) {
    const int32_t v = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
    return (v ^ 0x800000) - 0x800000;
}

void put_sample(uint8_t* bytes, int32_t v) {
    v = std::clamp(v, -0x800000, 0x7fffff);
    bytes[0] = static_cast<uint8_t>(v);
    bytes[1] = static_cast<uint8_t>(v >> 8);
    bytes[2] = static_cast<uint8_t>(v >> 16);
}

// How far into a fade of `frames` frame `i` is: 0 to 1 on a raised cosine, so the joint has
// no corner.
double fade_weight(int64_t i, int64_t frames) {
    return 0.5 -
           0.5 * std::cos(M_PI * (static_cast<double>(i) + 0.5) / static_cast<double>(frames));
}

// For each frame i of a fade of `frames`, on every output ring: the sample at `to` + i
// becomes `from_gain` of the sample at `from` + i plus `to_gain` of itself (gains of the
// fade's weight); positions are in bytes and wrap.
void mix_fade(delay_ring& ring, int64_t from, int64_t to, int64_t frames, double from_start,
              double from_step, double to_start, double to_step) {
    for (lane& l : ring.lanes) {
        uint8_t* output = l.output_ring.get();
        for (int64_t i = 0; i < frames; ++i) {
            const double w = fade_weight(i, frames);
            const double from_gain = from_start + from_step * w;
            const double to_gain = to_start + to_step * w;
            uint8_t* a = output + wrapped(ring, from + i * sample_bytes);
            uint8_t* b = output + wrapped(ring, to + i * sample_bytes);
            const double mixed = from_gain * sample_at(a) + to_gain * sample_at(b);
            put_sample(b, static_cast<int32_t>(std::lround(mixed)));
        }
    }
}

}  // namespace

void skip_output_faded(delay_ring& ring, int64_t n, int64_t fade) {
    assert(n >= 0 && n <= ring.delay_offset);
    if (n == 0) {
        return;
    }
    // Both what would have come and what comes after the skip must be in the ring.
    const int64_t frames = std::min(fade, ring.delay_offset - n) / sample_bytes;
    // From the old stream, fading out, into the new one, fading in.
    mix_fade(ring, ring.ring_position, ring.ring_position + n, frames, 1.0, -1.0, 0.0, 1.0);
    skip_output(ring, n);
}

void pause_output_faded(delay_ring& ring, int64_t n, int64_t fade) {
    assert(n >= 0 && n % sample_bytes == 0 && ring.delay_offset + n + chunk_bytes < ring.ring_size);
    if (n == 0) {
        return;
    }
    const int64_t frames = std::min(fade, ring.delay_offset / 2) / sample_bytes;
    const int64_t f = frames * sample_bytes;
    const int64_t at = ring.ring_position;
    const int64_t start = wrapped(ring, at - n);
    // What would have come plays first, fading out; what follows it fades back in after the
    // silence; the copy runs forward, so it may overlap its source.
    for (lane& l : ring.lanes) {
        uint8_t* output = l.output_ring.get();
        for (int64_t i = 0; i < f; ++i) {
            output[wrapped(ring, start + i)] = output[wrapped(ring, at + i)];
        }
    }
    mix_fade(ring, start, start, frames, 0.0, 0.0, 1.0, -1.0);
    mix_fade(ring, at + f, at + f, frames, 0.0, 0.0, 0.0, 1.0);
    clear_output(ring, wrapped(ring, start + f), n);
    ring.ring_position = start;
    ring.delay_offset += n;
}

void silence_output_faded(delay_ring& ring, int64_t fade) {
    const int64_t frames = std::min(fade, ring.delay_offset / 2) / sample_bytes;
    const int64_t f = frames * sample_bytes;
    const int64_t at = ring.ring_position;
    mix_fade(ring, at, at, frames, 0.0, 0.0, 1.0, -1.0);
    clear_output(ring, wrapped(ring, at + f), ring.delay_offset - 2 * f);
    mix_fade(ring, at + ring.delay_offset - f, at + ring.delay_offset - f, frames, 0.0, 0.0, 0.0,
             1.0);
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

namespace {

int lane_count(routing_mode mode) {
    return mode == routing_mode::stereo_to_stereo ? 2 : 1;
}

}  // namespace

void route_in(delay_ring& ring, const staging_area& capture, const run_settings& settings,
              int64_t n) {
    const int64_t frames = n / sample_bytes;
    for (int l = 0; l < lane_count(settings.mode); ++l) {
        store(ring, static_cast<lane_id>(l),
              channel_bytes(capture, settings.input_channel + l, frames));
    }
}

void route_out(const delay_ring& ring, staging_area& playback, const run_settings& settings,
               int64_t n) {
    const int64_t frames = n / sample_bytes;
    const int32_t o = settings.output_channel;
    fetch(ring, lane_a, channel_bytes(playback, o, frames));
    switch (settings.mode) {
        case routing_mode::stereo_to_stereo:
            fetch(ring, lane_b, channel_bytes(playback, o + 1, frames));
            break;
        case routing_mode::mono_to_both:
            fetch(ring, lane_a, channel_bytes(playback, o + 1, frames));
            break;
        case routing_mode::mono_to_mono:
            break;
    }
}

void delay_pass(delay_ring& ring, staging_area& capture, staging_area& playback,
                const run_settings& settings, int64_t frames, bool play) {
    const int64_t n = frames * sample_bytes;
    route_in(ring, capture, settings, n);
    advance_staging(capture, frames);
    for (int l = 0; l < lane_count(settings.mode); ++l) {
        delay_copy(ring, static_cast<lane_id>(l), n);
    }
    if (play) {
        route_out(ring, playback, settings, n);
    }
    advance(ring, n);
}

}  // namespace livedelay

// The transfer loop: the part of the engine that talks to ALSA.

namespace livedelay {

namespace {

// How long a wait lasts at most. A sound server's poll can stay ready with nothing to read,
// or miss a wake-up, so the streams are looked at again this often whatever they say.
constexpr int wait_step_ms = 5;
// Reads in one wake, so a long backlog is taken in a few wakes, never in one long one; and
// no more once a step's time has gone, so commands and stop requests are looked at.
constexpr int chunks_per_wake = 16;
// Standard input is looked at this often for commands, however fast the streams run.
constexpr int64_t control_step_ns = 5 * 1000000LL;
// A change of the delay joins the old and the new over this long.
constexpr int64_t change_fade_ns = 5 * 1000000LL;
// A wait this much longer than its step means the program itself did not run (stopped,
// starved): that time is not held against the streams.
constexpr int64_t unrun_gap_ns = 500 * 1000000LL;
// Playback that stopped waits this long at most for capture to run dry before it is primed.
constexpr int64_t drain_limit_ns = 250 * 1000000LL;
// A suspended stream gets this long to resume before it is prepared afresh.
constexpr int64_t resume_limit_ns = 2000 * 1000000LL;
// The play-out at the end may take this much longer than the audio queued...
constexpr int64_t play_out_margin_ns = 500 * 1000000LL;
// ...but a queue that does not move for this long will not play out.
constexpr int64_t play_out_stuck_ns = 100 * 1000000LL;

int64_t now_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

void report_failure(const char* stream, int err) {
    std::fprintf(stderr, "%s stream failed: %s\n", stream, snd_strerror(err));
}

void print_marker(const char* marker) {
    std::fputs(marker, stdout);
    std::fflush(stdout);
}

bool held(const transfer_state& t) {
    return holds_latency(t.latency);
}

void show_progress(transfer_state& t) {
    const auto seconds = static_cast<float>(t.frames_played / t.timing.rate);
    if (seconds - t.shown_seconds >= 1.0f) {
        std::printf("\r%.0f sec", static_cast<double>(seconds));
        std::fflush(stdout);
        t.shown_seconds = seconds;
    }
}

// Frames of the rings that a pause may add without overrunning the next pass.
int64_t pause_room(const delay_ring& ring) {
    return std::max<int64_t>(0,
                             (ring.ring_size - ring.delay_offset - chunk_bytes) / sample_bytes - 1);
}

// Playback stopped, or will be restarted. Where the latency is held, it plays again only with
// its level queued, from what capture delivers once everything it holds now, and what was
// routed out before, has been skipped: all of that is overdue.
void stop_playing(transfer_state& t) {
    if (!held(t)) {
        return;
    }
    t.primed = false;
    t.draining = true;
    t.draining_since_ns = now_ns();
    advance_staging(t.playback_area, t.pending_frames);
    t.pending_frames = 0;
}

// Brings a stream back from `err`; one that is still waking from a suspend is left to wake
// until the resume limit, from `suspended_ns` on, then prepared afresh. Gives 0, -EAGAIN
// while it may still wake, or the code that ends the run.
int bring_back(snd_pcm_t* pcm, int err, int64_t& suspended_ns) {
    err = recover_stream(pcm, err);
    if (err == -EAGAIN) {
        const int64_t now = now_ns();
        suspended_ns = suspended_ns == 0 ? now : suspended_ns;
        if (now - suspended_ns < resume_limit_ns) {
            return -EAGAIN;
        }
        const server_call call(snd_pcm_stream(pcm) == SND_PCM_STREAM_PLAYBACK ? "Playback"
                                                                              : "Capture");
        err = snd_pcm_prepare(pcm);
    }
    suspended_ns = 0;
    return err;
}

int recover_playback(transfer_state& t, int err) {
    if (err == -EPIPE) {
        print_marker("\nPX\n");
    }
    err = bring_back(t.playback, err, t.playback_suspended_ns);
    if (err == -EAGAIN) {
        return 0;
    }
    if (err < 0) {
        report_failure("Playback", err);
        return err;
    }
    if (snd_pcm_state(t.playback) != SND_PCM_STATE_RUNNING) {
        stop_playing(t);
    }
    return 0;
}

int play_frames(transfer_state& t, staging_area& source, int64_t frames);

int recover_capture(transfer_state& t, int err) {
    if (err == -EPIPE) {
        print_marker("\nRX\n");
    }
    err = bring_back(t.capture, err, t.capture_suspended_ns);
    if (err == -EAGAIN) {
        return 0;
    }
    if (err >= 0 && snd_pcm_state(t.capture) == SND_PCM_STATE_PREPARED) {
        const server_call call("Capture");
        err = snd_pcm_start(t.capture);
    }
    if (err < 0) {
        report_failure("Capture", err);
        return err;
    }
    // What capture lost passes through the rings as silence now: heard one delay later where
    // it was lost, while playback gets what was due meanwhile.
    const int64_t lost = note_capture_restart(t.latency, now_ns(), t.frames_read);
    restart_capture_clock(t.drift);
    return held(t) ? play_frames(t, t.silent_area, lost) : 0;
}

// Writes what is pending in the playback area. Gives the frames written or the code that ends
// the run.
snd_pcm_sframes_t write_pending(transfer_state& t) {
    snd_pcm_sframes_t written = 0;
    while (t.pending_frames > 0) {
        fill_table(t.playback_area);
        const snd_pcm_sframes_t put =
            write_frames(t.playback, t.playback_area.channel_table.data(),
                         static_cast<snd_pcm_uframes_t>(t.pending_frames));
        if (put < 0) {
            const int err = recover_playback(t, static_cast<int>(put));
            return err < 0 ? err : written;
        }
        if (put == 0) {
            break;
        }
        advance_staging(t.playback_area, put);
        t.pending_frames -= put;
        t.frames_played += put;
        t.frames_written += put;
        written += put;
    }
    t.playback_step_seen = t.playback_step_seen && written == 0;
    if (written > 0 && !t.latency.playback_paced) {
        note_playback_queue(t.latency, queued_to_play(t.playback), buffered_to_play(t.playback));
    }
    return written;
}

int queue_silence(transfer_state& t, int64_t frames) {
    while (frames > 0) {
        const snd_pcm_sframes_t put =
            write_frames(t.playback, t.silence_table.data(),
                         static_cast<snd_pcm_uframes_t>(std::min(frames, chunk_frames)));
        if (put <= 0) {
            return static_cast<int>(put);  // a stream with no room now: the level comes out short
        }
        frames -= put;
        t.frames_written += put;
    }
    return 0;
}

// Moves the delay the rings hold: a skip drops what playback would take next, a pause puts
// silence in front of it (as much as the rings have room for).
void move_ring_delay(transfer_state& t, int64_t skip_frames, int64_t pause_frames) {
    skip_output(t.ring, skip_frames * sample_bytes);
    const int64_t pause = std::min(pause_frames, pause_room(t.ring));
    pause_output(t.ring, pause * sample_bytes);
    move_reference(t.drift, pause - skip_frames);
}

// Starts playback with the audio on its way at its level: silence ahead of what was read.
// What the rings give first may be far from due when playback starts again after a stall:
// then the overdue part is dropped (and priming waits for the next frames), or silence added.
int prime_playback(transfer_state& t) {
    int64_t silence = 0;
    if (held(t)) {
        const prime_step step = prime_correction(t.latency.plan, t.ring.delay_offset / sample_bytes,
                                                 t.pending_frames, t.waiting_frames);
        advance_staging(t.playback_area, step.drop_in_hand_frames);
        t.pending_frames -= step.drop_in_hand_frames;
        // What the delay lacks goes into the rings, behind what is in hand, as a correction's
        // pause does: queued, it could fill playback's buffer, and a loop that cannot write
        // cannot read either.
        move_ring_delay(t, step.skip_frames, step.silence_frames);
        if (t.pending_frames == 0) {
            return 0;
        }
        // A stream not yet written to reports only what the device itself holds.
        silence = start_silence_frames(t.latency.plan, t.pending_frames, t.waiting_frames,
                                       queued_to_play(t.playback));
    }
    const int err = queue_silence(t, silence);
    if (err < 0) {
        return recover_playback(t, err);
    }
    t.primed = true;
    restart_window(t.latency, now_ns());
    restart_playback_clock(t.drift);
    const snd_pcm_sframes_t written = write_pending(t);
    return written < 0 ? static_cast<int>(written) : 0;
}

// Stops a playback stream that no longer plays what it is given, as an underrun does.
int restart_playback(transfer_state& t) {
    {
        const server_call call("Playback");
        snd_pcm_drop(t.playback);  // what it held is overdue; recovery prepares it afresh
    }
    return recover_playback(t, -EPIPE);
}

int apply_correction(transfer_state& t, const correction& c) {
    if (c.restart_playback) {
        return restart_playback(t);
    }
    t.consume_frames += c.consume_frames;
    move_reference(t.drift, -c.consume_frames);
    move_ring_delay(t, c.skip_frames, c.pause_frames);
    return 0;
}

// Passes `frames` from `source` (at its position) through the rings: what is still to be
// consumed is skipped, the rest is routed out for playback.
void pass_frames(transfer_state& t, staging_area& source, int64_t frames) {
    const int64_t skipped = t.draining ? frames : std::min(frames, t.consume_frames);
    if (skipped > 0) {
        delay_pass(t.ring, source, t.playback_area, *t.settings, skipped, false);
        t.consume_frames = std::max<int64_t>(0, t.consume_frames - skipped);
        if (!t.draining) {
            t.frames_played += skipped;  // overdue: their time has passed, the run ends on time
        }
    }
    if (frames > skipped) {
        delay_pass(t.ring, source, t.playback_area, *t.settings, frames - skipped, true);
        t.pending_frames += frames - skipped;
    }
}

// Passes `frames` from `source` through the rings and on to playback, piece by piece as the
// playback area has room, starting playback when it waits for its first frames. What
// playback has no room for is overdue, and skipped.
int play_frames(transfer_state& t, staging_area& source, int64_t frames) {
    while (frames > 0) {
        const bool full = t.pending_frames > 0;
        const int64_t source_room = chunk_frames - source.staging_position;
        const int64_t piece =
            std::min(frames, full ? source_room : chunk_room(source, t.playback_area));
        if (full) {
            t.consume_frames += piece;
        }
        pass_frames(t, source, piece);
        frames -= piece;
        if (t.pending_frames == 0) {
            continue;
        }
        const int err = t.primed
                            ? static_cast<int>(std::min<snd_pcm_sframes_t>(0, write_pending(t)))
                            : prime_playback(t);
        if (err < 0) {
            return err;
        }
    }
    return 0;
}

// Takes a capture reading. A gap found in capture's clock once the frames after it are
// stored becomes silence among them, so they keep their distance.
void note_read(transfer_state& t, int64_t frames) {
    const capture_gap gap = note_capture(t.latency, {.now_ns = now_ns(),
                                                     .frames = frames,
                                                     .frames_read = t.frames_read,
                                                     .waiting_frames = t.waiting_frames});
    if (gap.frames <= 0 || !held(t)) {
        return;
    }
    print_marker("\nRX\n");  // the stream lost audio without an xrun to say so
    // The frames just read are not in the rings yet; those before them are, as far back as
    // playback has not taken them.
    const int64_t behind =
        std::clamp<int64_t>(gap.behind_frames - frames, 0, t.ring.delay_offset / sample_bytes);
    pause_input(t.ring, std::min(gap.frames, pause_room(t.ring)) * sample_bytes,
                behind * sample_bytes);
    restart_capture_clock(t.drift);
}

// Passes `frames` just read into the capture area on to playback; once the drift between two
// clocks is corrected, through the stretcher first.
int pass_captured(transfer_state& t, int64_t frames) {
    if (!t.drift.engaged) {
        return play_frames(t, t.capture_area, frames);
    }
    const int lanes = lane_count(t.settings->mode);
    while (frames > 0) {
        const int64_t room = chunk_frames - t.stretch_area.staging_position;
        std::span<const uint8_t> in[2];
        std::span<uint8_t> out[2];
        for (int l = 0; l < lanes; ++l) {
            in[l] = channel_bytes(t.capture_area, t.settings->input_channel + l, frames);
            out[l] = channel_bytes(t.stretch_area, t.settings->input_channel + l, room);
        }
        const stretched s = stretch(t.stretch, std::span(in, lanes), frames, std::span(out, lanes),
                                    room, t.drift.ratio);
        if (s.taken == 0 && s.made == 0) {
            break;  // the converter failed: what is left of the read is not heard
        }
        advance_staging(t.capture_area, s.taken);
        frames -= s.taken;
        const int err = play_frames(t, t.stretch_area, s.made);
        if (err < 0) {
            return err;
        }
    }
    advance_staging(t.capture_area, frames);
    return 0;
}

// Reads what capture has, chunk by chunk, and passes it on. Gives the frames read or the
// code that ends the run.
snd_pcm_sframes_t read_available(transfer_state& t) {
    snd_pcm_sframes_t total = 0;
    const int64_t started = now_ns();
    t.playback_full = false;
    for (int chunk = 0;
         chunk < chunks_per_wake && t.pending_frames == 0 &&
         t.frames_played < t.timing.frame_budget && now_ns() - started < wait_step_ms * 1000000LL;
         ++chunk) {
        int64_t room = chunk_room(t.capture_area, t.playback_area);
        if (t.primed && t.consume_frames == 0) {
            const snd_pcm_sframes_t playback_room = snd_pcm_avail_update(t.playback);
            if (playback_room < 0) {
                const int err = recover_playback(t, static_cast<int>(playback_room));
                if (err < 0) {
                    return err;
                }
                continue;
            }
            room = std::min<int64_t>(room, playback_room);
            t.playback_full = playback_room == 0;
        }
        if (room == 0) {
            break;
        }
        fill_table(t.capture_area);
        const snd_pcm_sframes_t got = read_frames(t.capture, t.capture_area.channel_table.data(),
                                                  static_cast<snd_pcm_uframes_t>(room));
        if (got < 0) {
            const int err = recover_capture(t, static_cast<int>(got));
            return err < 0 ? err : total;
        }
        t.waiting_frames = got > 0 ? captured_waiting(t.capture) : 0;
        note_capture_pacing(t.latency, got, room, t.waiting_frames, t.timing.capture_buffer_frames);
        if (got == 0) {
            t.draining = t.draining && !capture_clock_settled(t.latency);
            break;
        }
        // A program starved of the CPU may never find capture dry: what keeps coming after a
        // while is taken as it comes, and priming drops what of it is overdue.
        t.draining = t.draining && now_ns() - t.draining_since_ns < drain_limit_ns;
        t.frames_read += got;
        total += got;
        if (!t.latency.playback_started && held(t)) {
            t.ring.delay_offset = ring_delay_for(t.latency.plan) * sample_bytes;
        }
        note_read(t, got);
        const int err = pass_captured(t, got);
        if (err < 0) {
            return err;
        }
        if (got < room) {
            t.draining = t.draining && !capture_clock_settled(t.latency);
            break;
        }
    }
    return total;
}

int look_at_the_delay(transfer_state& t) {
    // The reading's time is taken after it: a reading may only seem older than it is.
    const int64_t queued = queued_to_play(t.playback);
    const correction c =
        note_path(t.latency, {.now_ns = now_ns(),
                              .waiting_frames = t.waiting_frames,
                              .in_hand_frames = t.pending_frames,
                              .queued_frames = queued,
                              .ring_delay_frames = t.ring.delay_offset / sample_bytes,
                              .written_frames = t.frames_written,
                              .consume_frames = t.consume_frames});
    const int err = apply_correction(t, c);
    if (t.latency.shortest_frames > 0 && !t.shortest_reported) {
        t.shortest_reported = true;
        std::fprintf(
            stderr, "The shortest delay on this device is %.3f sec; shorter ones play at it.\n",
            static_cast<double>(t.latency.shortest_frames) / static_cast<double>(t.timing.rate));
    }
    return err;
}

// Everything the loop counts exactly of the delay heard: the ring's delay, what is written,
// pending and held by the stretcher, less what was read and is still to be skipped.
int64_t counted_delay_frames(const transfer_state& t) {
    const int64_t held = t.stretch.state ? held_frames(t.stretch) : 0;
    return t.ring.delay_offset / sample_bytes + t.frames_written + t.pending_frames + held -
           t.frames_read - t.consume_frames;
}

// Where both streams stand now, each reading timed just after it is taken. Gives them as a
// reading of the audio on its way, or nothing when playback could not say.
std::optional<path_reading> note_clocks(transfer_state& t) {
    const int64_t rate = t.timing.rate;
    const int64_t waiting = captured_waiting(t.capture);
    note_position(t.drift.capture, now_ns(), t.frames_read + waiting, rate);
    snd_pcm_sframes_t queued = 0;
    if (snd_pcm_delay(t.playback, &queued) != 0 || queued <= 0) {
        return std::nullopt;
    }
    const int64_t now = now_ns();
    note_position(t.drift.playback, now, t.frames_written - queued, rate);
    return path_reading{.now_ns = now,
                        .waiting_frames = waiting,
                        .in_hand_frames = t.pending_frames,
                        .queued_frames = queued,
                        .consume_frames = t.consume_frames};
}

// The stretcher starts from the frames just passed on, which the capture area still holds
// behind its position (its regions are used round, a chunk at a time).
void warm_up_stretcher(transfer_state& t) {
    constexpr int64_t history_frames = 256;
    const int64_t at = t.capture_area.staging_position;
    const int lanes = lane_count(t.settings->mode);
    const auto lane_bytes = [&](int l, int64_t from, int64_t frames) {
        const int64_t channel = t.settings->input_channel + l;
        return std::span<const uint8_t>(
            t.capture_area.block.get() + (channel * chunk_frames + from) * sample_bytes,
            static_cast<size_t>(frames * sample_bytes));
    };
    // The older piece at the region's end, then the newer one from its start.
    const int64_t older = std::max<int64_t>(0, history_frames - at);
    for (const auto& [from, frames] :
         {std::pair{chunk_frames - older, older},
          std::pair{at - (history_frames - older), history_frames - older}}) {
        std::span<const uint8_t> history[2];
        for (int l = 0; l < lanes; ++l) {
            history[l] = lane_bytes(l, from, frames);
        }
        if (frames > 0) {
            warm_up(t.stretch, std::span(history, lanes), frames);
        }
    }
}

// Reads where both streams stand, and steers the drift between their clocks. The correction
// starts once, with a line saying so; from then on it holds the delay.
int follow_clocks(transfer_state& t) {
    // Again after the transfers, for the drift alone: each of its buckets keeps the best
    // reading, and a server's may come on either side of them.
    note_clocks(t);
    if (steer_drift(t.drift, now_ns(), counted_delay_frames(t), t.latency.judged)) {
        if (create_stretcher(t.stretch, lane_count(t.settings->mode)) < 0 ||
            create_staging_area(t.stretch_area, t.capture_area.region_count) < 0) {
            std::fputs("Not enough memory to correct the drift between the clocks\n", stderr);
            return -ENOMEM;
        }
        warm_up_stretcher(t);
        std::printf("\nCapture and playback clocks differ by %+.0f ppm; correcting the drift\n",
                    t.drift.ppm);
        std::fflush(stdout);
    }
    t.latency.drift_holds_delay = t.drift.engaged && t.drift.referenced;
    return 0;
}

int64_t fade_bytes(const transfer_state& t) {
    return change_fade_ns * t.timing.rate / 1000000000 * sample_bytes;
}

void say_delay(double seconds) {
    std::printf("\nTime delay ~ %.3f sec\n", seconds);
    std::fflush(stdout);
}

// Applies a command from standard input: the delay heard changes from the next chunk on, old
// and new joined by a fade; a longer one pauses, a shorter one skips. A dump drops all the
// rings hold and keeps the delay: what was captured before it is never heard, what comes
// after it is heard the same delay later, and silence stands between the two.
void apply_command(transfer_state& t, const delay_command& command) {
    const int64_t rate = t.timing.rate;
    if (command.what == delay_command::kind::dump) {
        silence_output_faded(t.ring, fade_bytes(t));
        say_delay(t.delay_seconds);
        return;
    }
    const double seconds = asked_delay(command, t.delay_seconds);
    const std::string refusal = delay_refusal(seconds);
    if (!refusal.empty()) {
        std::fprintf(stderr, "%s\n", refusal.c_str());
        return;
    }
    const double kept = std::clamp(seconds, 0.0, static_cast<double>(maximum_delay_seconds));
    const int64_t target = static_cast<int64_t>(std::floor(kept * static_cast<double>(rate)));
    // Where the latency is held the ring holds the target less the level, else all of it.
    const int64_t change =
        target - (held(t) ? t.latency.plan.target_frames : t.ring.delay_offset / sample_bytes);
    const int64_t moved = change > 0 ? std::min(change, pause_room(t.ring))
                                     : -std::min(-change, t.ring.delay_offset / sample_bytes);
    if (moved > 0) {
        pause_output_faded(t.ring, moved * sample_bytes, fade_bytes(t));
    } else {
        skip_output_faded(t.ring, -moved * sample_bytes, fade_bytes(t));
    }
    move_reference(t.drift, moved);
    t.latency.plan.target_frames = target;
    t.delay_seconds = kept;
    say_delay(kept);
}

// Takes what standard input holds, no more often than its step.
void take_commands(transfer_state& t) {
    const int64_t now = now_ns();
    if (t.control.fd < 0 || now - t.control_read_ns < control_step_ns) {
        return;
    }
    t.control_read_ns = now;
    for (delay_command c = next_command(t.control); c.what != delay_command::kind::none;
         c = next_command(t.control)) {
        apply_command(t, c);
    }
}

// One look at both streams: what is pending goes out, what capture has comes in. Gives the
// frames moved either way, or the code that ends the run.
snd_pcm_sframes_t wake(transfer_state& t) {
    if (t.primed && held(t)) {
        // Right as the program wakes, which a card's period end is what wakes it for.
        if (const std::optional<path_reading> reading = note_clocks(t)) {
            note_wake_path(t.latency, *reading);
        }
    }
    snd_pcm_sframes_t moved = 0;
    if (t.primed && t.pending_frames > 0) {
        const snd_pcm_sframes_t written = write_pending(t);
        if (written < 0) {
            return written;
        }
        moved += written;
    }
    const snd_pcm_sframes_t read = read_available(t);
    if (read < 0) {
        return read;
    }
    moved += read;
    // Playback that takes nothing holds capture up too: a server that stopped playing without
    // a word shows only in the readings, so they are taken then as well.
    if ((read > 0 || t.playback_full) && t.primed && held(t)) {
        const int err = look_at_the_delay(t);
        if (err < 0) {
            return err;
        }
    }
    if (t.primed && held(t)) {
        const int err = follow_clocks(t);
        if (err < 0) {
            return err;
        }
    }
    if (moved == 0) {
        // A stream that stopped without a transfer to say so.
        for (snd_pcm_t* pcm : {t.playback, t.capture}) {
            const int err = stopped_by(pcm);
            if (err != 0) {
                const int result =
                    pcm == t.playback ? recover_playback(t, err) : recover_capture(t, err);
                if (result < 0) {
                    return result;
                }
            }
        }
    }
    return moved;
}

// Waits for capture to deliver, or for playback to take what is pending, for one step at
// most, and gives whether the stream said it is ready. After a wake that found the streams
// ready but moved nothing, it only sleeps.
bool wait_a_step(transfer_state& t, bool only_sleep) {
    if (only_sleep) {
        poll(nullptr, 0, wait_step_ms);
        return false;
    }
    snd_pcm_t* pcm = t.pending_frames > 0 ? t.playback : t.capture;
    std::vector<pollfd> fds;
    add_poll_descriptors(pcm, fds);
    const size_t own = fds.size();
    // Playback is also watched once after each write, so that a card whose pointer moves a
    // period at a time is read as its period ends: where it stands is then known to the frame.
    const bool watch_playback = pcm == t.capture && t.primed && held(t) && !t.playback_step_seen;
    if (watch_playback) {
        add_poll_descriptors(t.playback, fds);
    }
    if (poll(fds.data(), fds.size(), wait_step_ms) <= 0) {
        return false;
    }
    // A plugin learns here that its descriptors were seen (a timer read, an event taken).
    unsigned short revents = 0;  // stays 0 if the plugin cannot tell
    snd_pcm_poll_descriptors_revents(pcm, fds.data(), static_cast<unsigned>(own), &revents);
    if (watch_playback) {
        unsigned short played = 0;
        snd_pcm_poll_descriptors_revents(t.playback, fds.data() + own,
                                         static_cast<unsigned>(fds.size() - own), &played);
        t.playback_step_seen = played != 0;
    }
    return revents != 0;
}

}  // namespace

namespace {

// The settings at the rate that runs.
run_settings settings_at(const run_settings& settings, const run_timing& timing) {
    run_settings at = settings;
    at.sample_rate = static_cast<uint32_t>(timing.rate);
    return at;
}

}  // namespace

int create_transfer(transfer_state& t, const run_settings& settings, const run_timing& timing,
                    int32_t playback_channels, int32_t capture_channels) {
    t.settings = &settings;
    t.timing = timing;
    t.delay_seconds = static_cast<double>(settings.delay_seconds);
    // The rings are sized for the longest delay, which the delay may be changed to; they
    // hold memory only for the delay held.
    run_settings ring_timing = settings;
    ring_timing.sample_rate = static_cast<uint32_t>(timing.rate);
    ring_timing.delay_plus_one_seconds = maximum_delay_seconds + 1.0f;
    if (create_staging_area(t.playback_area, playback_channels) < 0 ||
        create_staging_area(t.capture_area, capture_channels) < 0 ||
        create_staging_area(t.silent_area, capture_channels) < 0 ||
        create_delay_ring(t.ring, ring_size_for(ring_timing),
                          delay_offset_for(settings_at(settings, timing))) < 0) {
        return -ENOMEM;
    }
    t.silence = zeroed_block(chunk_bytes);
    if (!t.silence) {
        return -ENOMEM;
    }
    t.silence_table.assign(static_cast<size_t>(t.playback_area.region_count), t.silence.get());
    t.latency = start_latency(plan_latency(static_cast<double>(settings.delay_seconds), timing.rate,
                                           timing.period_frames));
    t.drift = start_drift(timing.rate);
    return 0;
}

int transfer_loop(transfer_state& t) {
    int64_t last_wake = now_ns();
    int64_t capture_quiet = 0;
    int64_t playback_quiet = 0;
    bool only_sleep = false;
    while (t.frames_played < t.timing.frame_budget && !stop_requested()) {
        show_progress(t);
        take_commands(t);
        const bool ready = wait_a_step(t, only_sleep);
        const int64_t now = now_ns();
        const int64_t interval = now - last_wake;
        last_wake = now;
        const bool pending = t.pending_frames > 0;
        const snd_pcm_sframes_t moved = wake(t);
        if (moved < 0) {
            return static_cast<int>(moved);
        }
        const bool waiting_on_playback = pending || t.playback_full;
        only_sleep = moved == 0 && ready;
        // The stall limit measures the streams, not the program: a wake long after the one
        // before means the program did not run, and that time is not counted.
        const int64_t counted = interval > unrun_gap_ns ? 0 : interval;
        if (counted == 0) {
            // Both streams ran on while the program did not: their readings start again.
            restart_capture_clock(t.drift);
            restart_playback_clock(t.drift);
        }
        int64_t& quiet = waiting_on_playback ? playback_quiet : capture_quiet;
        quiet = moved > 0 ? 0 : quiet + counted;
        if (moved > 0) {
            capture_quiet = playback_quiet = 0;
        }
        if (quiet >= stall_limit_ms * 1000000) {
            std::fputs(stall_message(waiting_on_playback), stderr);
            return -ETIMEDOUT;
        }
    }
    return 0;
}

int finish_playback(transfer_state& t) {
    // A stop request ends the run at once: what is queued is dropped.
    int64_t queued = t.primed && !stop_requested() ? queued_to_play(t.playback) : 0;
    const int64_t start = now_ns();
    const int64_t deadline = start + queued * 1000000000 / t.timing.rate + play_out_margin_ns;
    int64_t last_move = start;
    while (queued > 0 && snd_pcm_state(t.playback) == SND_PCM_STATE_RUNNING && !stop_requested()) {
        poll(nullptr, 0, wait_step_ms * 2);
        const int64_t now = now_ns();
        const int64_t left = queued_to_play(t.playback);
        if (left < queued) {
            last_move = now;
        }
        queued = left;
        if (now - last_move > play_out_stuck_ns) {
            return -ETIMEDOUT;
        }
        if (now > deadline) {
            break;
        }
    }
    const server_call call("Playback");
    snd_pcm_drop(t.playback);  // the stream ends here whatever the drop says
    return 0;
}

}  // namespace livedelay
