#include "delay.hpp"

#include <poll.h>
#include <sys/mman.h>
#include <time.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pcm.hpp"

namespace {

byte_block zeroed_block(int64_t bytes) {
    return byte_block(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(bytes), 1)));
}

ring_block mapped_block(int64_t bytes) {
    void* p = mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return ring_block(nullptr, unmap_deleter{});
    }
    return ring_block(static_cast<uint8_t*>(p), unmap_deleter{static_cast<size_t>(bytes)});
}

// Gives the pages of [from, to) of every input ring back; they read as zero afterwards.
void release_input(delay_ring& ring, int64_t from, int64_t to) {
    for (lane& l : ring.lanes) {
        madvise(l.input_ring.get() + from, static_cast<size_t>(to - from), MADV_DONTNEED);
    }
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
    int64_t to = ring.ring_position + ring.delay_offset;
    if (to >= ring.ring_size) {
        to -= ring.ring_size;
    }
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
    assert(n >= 0 && n <= chunk_bytes);
    const int64_t before = ring.ring_position;
    const int64_t next = before + n;
    ring.ring_position = next < ring.ring_size ? next : next - ring.ring_size;
    // A small ring is resident whole anyway; a large one keeps only its current block.
    if (ring.ring_size >= 2 * released_block_bytes) {
        const int64_t block_start = before / released_block_bytes * released_block_bytes;
        if (next >= ring.ring_size ||
            next / released_block_bytes != before / released_block_bytes) {
            release_input(ring, block_start,
                          std::min(block_start + released_block_bytes, ring.ring_size));
        }
    }
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

namespace {

constexpr int wait_timeout_ms = 100;
// Capture through a sound server can take a second or two to deliver its first frames.
constexpr int first_capture_timeout_ms = 5000;
// A stream that moves no frame for this long is taken as gone, so a service manager can
// restart the program instead of it hanging.
constexpr int64_t stall_limit_ms = 5000;
constexpr int64_t drain_margin_ms = 500;

// Audio on its way, captured but not yet read plus queued for playback, is held at this
// level, so the sound comes out the delay plus this much (and what the device adds) after it
// went in. A pass reads a chunk only once it has been captured, and a sound server moves audio
// in periods of a chunk, so it takes two chunks and a margin for scheduling jitter. Playback
// gets the silence that makes up the level before it starts, and again after an underrun.
constexpr snd_pcm_sframes_t target_latency_frames = 2 * chunk_frames + 2048;
// Beyond this much captured audio waiting, or this much queued for playback, a stream has
// stalled or stopped playing, and the level is restored.
constexpr snd_pcm_sframes_t latency_limit_frames = target_latency_frames + chunk_frames;
// How long capture may take at the start to deliver the audio it held back.
constexpr int64_t capture_settle_ms = 2000;

const char* const ring_message = "Cannot allocate enough memory.  Try reducing delay time.";

struct run_state {
    const run_settings& settings;
    const volatile sig_atomic_t* stop_requested;
    snd_pcm_t* playback;
    snd_pcm_t* capture;
    staging_area capture_area;
    staging_area playback_area;
    delay_ring ring;
    byte_block silence;  // one chunk of zero bytes, behind every entry of silence_table
    std::vector<void*> silence_table;
    int64_t frames_written = 0;
    int64_t frames_read = 0;
    int64_t started_ms = 0;
    int passes_lost = 0;
    float shown_seconds = 0.0f;
};

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void sleep_ms(int ms) {
    poll(nullptr, 0, ms);
}

snd_pcm_sframes_t queued_frames(snd_pcm_t* pcm) {
    snd_pcm_sframes_t frames = 0;
    if (snd_pcm_delay(pcm, &frames) < 0 || frames < 0) {
        return 0;
    }
    return frames;
}

// Waits until `pcm` can move `frames`, for at most `timeout_ms`, and gives what it can move
// (or ALSA's code). A sound server's poll can miss a wake-up by a whole period, so the wait
// looks at the stream again every few ms.
snd_pcm_sframes_t wait_for(snd_pcm_t* pcm, snd_pcm_sframes_t frames, int timeout_ms) {
    constexpr int step_ms = 5;
    snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
    for (int waited = 0; avail >= 0 && avail < frames && waited < timeout_ms; waited += step_ms) {
        snd_pcm_wait(pcm, step_ms);
        avail = snd_pcm_avail_update(pcm);
    }
    return avail;  // an error shows again in the transfer, which reports it
}

// Frames captured but not yet read. Devices disagree on which figure shows them: an unpaced
// device reports a full buffer but no delay, a sound server a delay for audio still on its
// way to the buffer.
snd_pcm_sframes_t captured_frames(snd_pcm_t* capture) {
    const snd_pcm_sframes_t readable = snd_pcm_avail(capture);
    return std::max(readable < 0 ? 0 : readable, queued_frames(capture));
}

// Brings a stream that reported `err` back to where transfers can go on. Gives 0, or the
// code that ends the run.
int recover(snd_pcm_t* pcm, int err) {
    switch (err) {
        case -EINTR:
        case -EAGAIN:
            return 0;
        case -EPIPE:
            return snd_pcm_prepare(pcm);
        case -ESTRPIPE: {
            int result = 0;
            for (int tries = 0; (result = snd_pcm_resume(pcm)) == -EAGAIN && tries < 500; ++tries) {
                sleep_ms(10);
            }
            // A device that cannot resume says so, or stays suspended.
            const bool resumed = result == 0 && snd_pcm_state(pcm) != SND_PCM_STATE_SUSPENDED;
            return resumed ? 0 : snd_pcm_prepare(pcm);
        }
        default:
            return err;
    }
}

void report_failure(const char* stream, int err) {
    std::fprintf(stderr, "%s stream failed: %s\n", stream, snd_strerror(err));
}

// Reads and forgets the captured frames that are there now, while more than `keep_frames` are
// waiting. Gives the frames dropped.
snd_pcm_sframes_t drain_capture(run_state& s, snd_pcm_sframes_t keep_frames) {
    snd_pcm_sframes_t dropped = 0;
    snd_pcm_nonblock(s.capture, 1);
    for (int pieces = 0; captured_frames(s.capture) > keep_frames && pieces < 64; ++pieces) {
        const snd_pcm_sframes_t piece = chunk_frames - s.capture_area.staging_position;
        fill_table(s.capture_area);
        const snd_pcm_sframes_t got =
            snd_pcm_readn(s.capture, s.capture_area.channel_table.data(), piece);
        if (got <= 0) {
            break;  // nothing more is there; an error shows again in the next read
        }
        dropped += got;
    }
    snd_pcm_nonblock(s.capture, 0);
    return dropped;
}

int queue_silence(run_state& s, snd_pcm_sframes_t frames) {
    while (frames > 0) {
        const snd_pcm_sframes_t piece = std::min<snd_pcm_sframes_t>(frames, chunk_frames);
        const snd_pcm_sframes_t put = snd_pcm_writen(s.playback, s.silence_table.data(), piece);
        if (put < 0) {
            return static_cast<int>(put);
        }
        frames -= put;
    }
    return 0;
}

// A queue can only be watched on a device that runs on a clock: one that moves audio much
// faster than real time (a file, say) has none.
bool runs_in_real_time(const run_state& s) {
    const int64_t audio_ms = s.frames_read * 1000 / s.settings.sample_rate;
    return (now_ms() - s.started_ms) * 2 >= audio_ms;
}

// Frames of silence that bring the audio on its way up to its target, with `in_hand_frames`
// read but not yet written.
snd_pcm_sframes_t missing_frames(run_state& s, snd_pcm_sframes_t in_hand_frames) {
    return target_latency_frames - captured_frames(s.capture) - queued_frames(s.playback) -
           in_hand_frames;
}

// Queues silence on a playback stream that is not running, so that with `in_hand_frames`
// still to be written the audio on its way is at its target, and starts it.
int lead_playback(run_state& s, snd_pcm_sframes_t in_hand_frames) {
    if (snd_pcm_state(s.playback) != SND_PCM_STATE_PREPARED) {
        return 0;
    }
    const int err = queue_silence(s, missing_frames(s, in_hand_frames));
    if (err < 0) {
        return err;
    }
    // A stream that starts at its first frame is running already.
    const bool waiting = snd_pcm_state(s.playback) == SND_PCM_STATE_PREPARED;
    return waiting && in_hand_frames == 0 ? snd_pcm_start(s.playback) : 0;
}

// Drops what playback holds and starts it again from its level of silence.
int refill_playback(run_state& s) {
    snd_pcm_drop(s.playback);
    const int err = snd_pcm_prepare(s.playback);
    return err < 0 ? err : lead_playback(s, 0);
}

int restart_playback(run_state& s) {
    std::fputs("\nPX\n", stdout);
    return refill_playback(s);
}

// Recovers playback from `err` and refills its level, with `in_hand_frames` still to be
// written. Gives 0, or the code that ends the run after its message; an underrun while
// refilling is left to the next write.
int recover_playback(run_state& s, int err, snd_pcm_sframes_t in_hand_frames) {
    err = recover(s.playback, err);
    if (err == 0) {
        err = lead_playback(s, in_hand_frames);
    }
    if (err < 0 && err != -EPIPE) {
        report_failure("Playback", err);
        return err;
    }
    return 0;
}

// Recovers capture from `err` and starts it again. Gives 0, or the code that ends the run
// after its message.
int recover_capture(run_state& s, int err) {
    err = recover(s.capture, err);
    if (err < 0) {
        report_failure("Capture", err);
        return err;
    }
    if (snd_pcm_state(s.capture) == SND_PCM_STATE_PREPARED) {
        snd_pcm_start(s.capture);  // a failed start shows in the next read
    }
    return 0;
}

// The code a stream's state stands for when no transfer reported it: an xrun while there
// was no room to write, a suspend. 0 for a stream that can go on.
int stopped_by(snd_pcm_t* pcm) {
    switch (snd_pcm_state(pcm)) {
        case SND_PCM_STATE_XRUN:
            return -EPIPE;
        case SND_PCM_STATE_SUSPENDED:
            return -ESTRPIPE;
        default:
            return 0;
    }
}

// After a pass that moved nothing: a stream that stopped without a transfer to say so is
// recovered, and one prepared but not running is started. Gives false, after its message,
// when a stream cannot go on.
bool revive_streams(run_state& s) {
    const int playback = stopped_by(s.playback);
    if (playback != 0) {
        std::fputs("\nPX\n", stdout);
    }
    if (recover_playback(s, playback, 0) < 0) {
        return false;
    }
    const int capture = stopped_by(s.capture);
    if (capture != 0) {
        std::fputs("\nRX\n", stdout);
    }
    return recover_capture(s, capture) == 0;
}

// After a pass that wrote `written_frames`: drops a backlog of captured audio (after a stall),
// and restarts a playback stream that lost what it was given or stopped playing it without
// reporting an error, as a sound server can after an underflow.
int keep_latency(run_state& s, snd_pcm_sframes_t written_frames) {
    if (!runs_in_real_time(s)) {
        return 0;
    }
    if (captured_frames(s.capture) > latency_limit_frames && drain_capture(s, chunk_frames) > 0) {
        std::fputs("\nRX\n", stdout);
    }
    // A stream that plays nothing of what it was given, pass after pass, dropped it as late.
    const snd_pcm_sframes_t queued = queued_frames(s.playback);
    s.passes_lost = written_frames > 0 && queued <= 0 ? s.passes_lost + 1 : 0;
    if (queued > latency_limit_frames || s.passes_lost >= 2) {
        s.passes_lost = 0;
        return restart_playback(s);
    }
    return 0;
}

void show_progress(run_state& s) {
    const auto seconds = static_cast<float>(s.frames_written / s.settings.sample_rate);
    if (seconds - s.shown_seconds >= 1.0f) {
        std::printf("\r%.0f sec", static_cast<double>(seconds));
        std::fflush(stdout);
        s.shown_seconds = seconds;
    }
}

// Reads one chunk. Gives the frames read (0 after an overrun) or the code that ends the run.
snd_pcm_sframes_t read_chunk(run_state& s, snd_pcm_sframes_t chunk) {
    fill_table(s.capture_area);
    const snd_pcm_sframes_t got =
        snd_pcm_readn(s.capture, s.capture_area.channel_table.data(), chunk);
    if (got >= 0) {
        return got;
    }
    if (got == -EPIPE) {
        std::fputs("\nRX\n", stdout);
    }
    const int err = recover_capture(s, static_cast<int>(got));
    if (err < 0) {
        return err;
    }
    // The audio the overrun lost was part of the level on its way; silence takes its place.
    if (runs_in_real_time(s)) {
        queue_silence(s, missing_frames(s, 0));
    }
    return 0;
}

// Writes `frames` from the playback area, all of them: after a short write the rest follows,
// and after an underrun the queue is refilled and the write goes on, so nothing is lost.
// Gives the frames written (fewer only when the stream would not take them) or the code that
// ends the run.
snd_pcm_sframes_t write_chunk(run_state& s, snd_pcm_sframes_t frames) {
    snd_pcm_sframes_t written = 0;
    for (int failures = 0; written < frames && failures < 3;) {
        fill_table(s.playback_area);
        const snd_pcm_sframes_t put =
            snd_pcm_writen(s.playback, s.playback_area.channel_table.data(), frames - written);
        if (put > 0) {
            advance_staging(s.playback_area, put);
            written += put;
            continue;
        }
        ++failures;
        if (put == 0) {
            continue;
        }
        if (put == -EPIPE) {
            std::fputs("\nPX\n", stdout);
        }
        const int err = recover_playback(s, static_cast<int>(put), frames - written);
        if (err < 0) {
            return err;
        }
    }
    return written;
}

int transfer_loop(run_state& s) {
    int64_t last_read_ms = now_ms();
    int64_t last_write_ms = last_read_ms;
    do {
        show_progress(s);
        const snd_pcm_sframes_t room = wait_for(s.playback, chunk_frames, wait_timeout_ms);
        snd_pcm_sframes_t chunk = static_cast<uint64_t>(room) > chunk_frames ? chunk_frames : room;
        chunk = std::min<snd_pcm_sframes_t>(chunk, chunk_room(s.capture_area, s.playback_area));
        wait_for(s.capture, chunk, wait_timeout_ms);

        const snd_pcm_sframes_t frames_read = read_chunk(s, chunk);
        if (frames_read < 0) {
            return 1;
        }
        const int64_t n = frames_read * sample_bytes;
        route_in(s.ring, s.capture_area, s.settings, n);
        advance_staging(s.capture_area, frames_read);
        for (int l = 0; l < lane_count(s.settings.mode); ++l) {
            delay_copy(s.ring, static_cast<lane_id>(l), n);
        }
        route_out(s.ring, s.playback_area, s.settings, n);
        // Only what was read is written: more would play the area's old audio again, and
        // put the rest of the run one chunk late.
        const snd_pcm_sframes_t frames_written = write_chunk(s, frames_read);
        if (frames_written < 0) {
            return 1;
        }
        s.frames_written += frames_written;
        advance(s.ring, n);

        s.frames_read += frames_read;
        const int err = keep_latency(s, frames_written);
        if (err < 0 && err != -EPIPE) {
            report_failure("Playback", err);
            return 1;
        }
        const int64_t now = now_ms();
        last_read_ms = frames_read > 0 ? now : last_read_ms;
        last_write_ms = frames_written > 0 ? now : last_write_ms;
        if (now - last_read_ms > stall_limit_ms || now - last_write_ms > stall_limit_ms) {
            std::fprintf(stderr, "%s stream stopped moving: no frames for %lld seconds\n",
                         now - last_read_ms > stall_limit_ms ? "Capture" : "Playback",
                         static_cast<long long>(stall_limit_ms / 1000));
            return 1;
        }
        if (frames_read == 0 && frames_written == 0) {
            if (!revive_streams(s)) {
                return 1;
            }
            sleep_ms(1);  // never spin, whatever the waits did
        }
    } while (s.frames_written < s.settings.frame_budget && *s.stop_requested == 0);
    return 0;
}

// Lets the queued audio play out, for no longer than it lasts plus a margin, then stops.
// snd_pcm_drain is not used: through a sound server it can wait for ever.
void finish_playback(snd_pcm_t* pcm, uint32_t rate) {
    if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED && queued_frames(pcm) > 0) {
        snd_pcm_start(pcm);
    }
    const int64_t deadline = now_ms() + queued_frames(pcm) * 1000 / rate + drain_margin_ms;
    while (snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING && queued_frames(pcm) > 0 &&
           now_ms() < deadline) {
        sleep_ms(10);
    }
    snd_pcm_drop(pcm);
}

int start_streams(run_state& s) {
    // Capture runs first, and playback starts only once capture delivers as it goes, with the
    // audio on its way at its target: a sound server can take a second or two to deliver the
    // first audio, and then hand over all it held back at once.
    snd_pcm_start(s.capture);
    snd_pcm_wait(s.capture, first_capture_timeout_ms);
    for (const int64_t start = now_ms();
         now_ms() - start < capture_settle_ms && *s.stop_requested == 0;) {
        if (queued_frames(s.capture) <= chunk_frames) {
            break;
        }
        drain_capture(s, chunk_frames);
        snd_pcm_wait(s.capture, wait_timeout_ms);
    }
    // A playback stream prepared long before is prepared again, so it starts afresh.
    s.started_ms = now_ms();
    const int err = refill_playback(s);
    if (err < 0 && err != -EPIPE) {
        report_failure("Playback", err);
        return err;
    }
    return 0;
}

int32_t regions_for(const run_settings& settings, const stream_report& granted) {
    return std::max<int32_t>(settings.channel_count,
                             static_cast<int32_t>(granted.channels.value_or(0)));
}

}  // namespace

int run(const run_settings& settings, pcm_pair& pair, const volatile sig_atomic_t* stop_requested) {
    run_state s{settings, stop_requested, pair.playback.get(), pair.capture.get(), {}, {}, {}, {},
                {}};
    // The tables follow what each stream was granted, and always hold the routed channels;
    // a routed channel the device lacks is silent going in and unheard going out.
    if (create_staging_area(s.playback_area, regions_for(settings, pair.playback_granted)) < 0 ||
        create_staging_area(s.capture_area, regions_for(settings, pair.capture_granted)) < 0 ||
        create_delay_ring(s.ring, ring_size_for(settings), delay_offset_for(settings)) < 0) {
        std::printf("%s\n", ring_message);
        return 1;
    }
    s.silence.reset(static_cast<uint8_t*>(std::calloc(chunk_bytes, 1)));
    if (!s.silence) {
        std::printf("%s\n", ring_message);
        return 1;
    }
    s.silence_table.assign(static_cast<size_t>(s.playback_area.region_count), s.silence.get());

    // A failed prepare shows again in the first transfer, which reports it.
    snd_pcm_prepare(s.playback);
    snd_pcm_prepare(s.capture);
    if (settings.frame_budget > 0 && *stop_requested == 0) {
        if (start_streams(s) < 0 || transfer_loop(s) != 0) {
            return 1;
        }
    }
    std::fputs("\nFinished\n", stdout);
    std::fflush(stdout);
    finish_playback(s.playback, settings.sample_rate);
    snd_pcm_drop(s.capture);
    pair.playback.reset();
    pair.capture.reset();
    return 0;
}
