#include "delay.hpp"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <optional>

#include "pcm.hpp"
#include "signals.hpp"

namespace livedelay {

void delay_pass(delay_ring& ring, crossfade& fade, staging_area& capture, staging_area& playback,
                const run_settings& settings, int64_t frames, bool play) {
    const int64_t n = frames * sample_bytes;
    route_in(ring, capture, settings, n);
    const int lanes = lane_count(settings.mode);
    std::span<const uint8_t> captured[2];
    for (int l = 0; l < lanes; ++l) {
        captured[l] = channel_bytes(capture, settings.input_channel + l, frames);
    }
    note_captured(fade, std::span(captured, lanes), frames);
    advance_staging(capture, frames);
    for (int l = 0; l < lanes; ++l) {
        delay_copy(ring, static_cast<lane_id>(l), n);
    }
    if (play) {
        route_out(ring, playback, settings, n);
        const output_routes routes = routes_out(settings);
        for (int r = 0; r < routes.count; ++r) {
            fade_routed(fade, routes.route[r].lane,
                        channel_bytes(playback, routes.route[r].channel, frames));
        }
        note_played(fade, frames);
    } else {
        note_moved(fade, frames);
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
    note_moved(t.fade, skip_frames);
    const int64_t pause = std::min(pause_frames, pause_room(t.ring));
    pause_output(t.ring, pause * sample_bytes);
    note_moved(t.fade, -pause);
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
        delay_pass(t.ring, t.fade, source, t.playback_area, *t.settings, skipped, false);
        t.consume_frames = std::max<int64_t>(0, t.consume_frames - skipped);
        if (!t.draining) {
            t.frames_played += skipped;  // overdue: their time has passed, the run ends on time
        }
    }
    if (frames > skipped) {
        delay_pass(t.ring, t.fade, source, t.playback_area, *t.settings, frames - skipped, true);
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

void say_delay(double seconds) {
    std::printf("\nTime delay ~ %.3f sec\n", seconds);
    std::fflush(stdout);
}

// Sets the delay asked to `seconds`, from the next frames played on, heard as a join unless
// `join` is false (what plays next is silence anyway). Where the latency is held, the rings
// hold the delay less the audio on its way (as measured once it is), and nothing less than
// none: a delay shorter than the audio on its way plays at that.
void change_delay(transfer_state& t, double seconds, bool join) {
    const int64_t rate = t.timing.rate;
    const int64_t target = std::llround(seconds * static_cast<double>(rate));
    const int64_t ring_delay = t.ring.delay_offset / sample_bytes;
    int64_t wanted = target;
    if (held(t)) {
        const int64_t on_its_way = t.latency.path.readings > 0 ? heard_delay_frames(t.latency, 0)
                                                               : t.latency.plan.level_frames;
        wanted = std::max<int64_t>(0, target - on_its_way);
    }
    const int64_t moved = std::clamp(wanted - ring_delay, -ring_delay, pause_room(t.ring));
    if (!join) {
        move_ring_delay(t, std::max<int64_t>(0, -moved), std::max<int64_t>(0, moved));
    } else if (moved != 0) {
        if (moved < 0) {
            skip_faded(t.ring, t.fade, -moved);
        } else {
            pause_faded(t.ring, t.fade, moved);
        }
        move_reference(t.drift, moved);
    }
    t.latency.plan.target_frames = target;
    t.delay_seconds = seconds;
    say_delay(seconds);
}

// Takes what standard input asks, no more often than its step, as one change: a dump, then
// the delay asked last. A join under way is not cut short: the input waits for it.
void take_commands(transfer_state& t) {
    const int64_t now = now_ns();
    if (joining(t.fade) || t.control.fd < 0 || now - t.control_read_ns < control_step_ns) {
        return;
    }
    t.control_read_ns = now;
    const command_batch batch = read_commands(t.control, t.delay_seconds, now);
    if (batch.dump) {
        dump_faded(t.ring, t.fade);
        say_delay(t.delay_seconds);
    }
    if (!std::isnan(batch.delay_seconds)) {
        change_delay(t, batch.delay_seconds, !batch.dump);
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
    create_crossfade(t.fade, lane_count(settings.mode), change_fade_ns * timing.rate / 1000000000);
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
