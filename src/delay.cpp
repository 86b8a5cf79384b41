#include "delay.hpp"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "commands.hpp"
#include "delay_rules.hpp"
#include "monotonic.hpp"
#include "output.hpp"
#include "progress.hpp"
#include "rebuild_pass.hpp"
#include "recovery.hpp"
#include "signals.hpp"
#include "wait.hpp"

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
    note_stored(fade, ring, frames);
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

namespace {

// Reads in one wake, so a long backlog is taken in a few wakes, never in one long one; and no
// more once this long has gone, so commands and stop requests are looked at.
constexpr int chunks_per_wake = 16;
constexpr int64_t read_time_ns = 5 * ns_per_ms;
// A wake this much later than its wait should have ended means the program itself did not run
// (stopped, starved): that time is not held against the streams.
constexpr int64_t unrun_gap_ns = 500 * ns_per_ms;
// Playback that stopped skips what capture delivers for this long at most before it starts
// again: a program starved of the CPU may never find capture dry.
constexpr int64_t skip_limit_ns = 250 * ns_per_ms;

// What capture holds and has not been read, to the frame, given `waiting` ready to read. A card
// may move what is ready a period at a time, and a reading taken late then seems to hold less
// than it does, by as long as the program woke late: its delay says all it captured. A sound
// server's plugin hands capture over in blocks and its delay means something else: there,
// what is ready is all.
int64_t capture_held(const transfer_state& t, int64_t waiting) {
    int64_t held = 0;
    if (t.timing.on_sound_server || captured_delay(t.capture, held) < 0) {
        return waiting;
    }
    return std::max(held, waiting);
}

// Writes what is routed and not yet written; `written` is how much of it went.
int write_unwritten(transfer_state& t, int64_t& written) {
    written = 0;
    while (t.unwritten_frames > 0) {
        show_progress(t);
        fill_table(t.playback_area);
        int64_t put = 0;
        // A period at a time: a plugin chain may take a write of its whole buffer for an xrun.
        const int err = write_frames(t.playback, t.playback_area.channel_table.data(),
                                     std::min(t.unwritten_frames, t.timing.period_frames), put);
        if (err < 0) {
            note_stream_error(t, stream_side::playback, err);
            return 0;
        }
        if (put == 0) {
            break;
        }
        advance_staging(t.playback_area, put);
        t.unwritten_frames -= put;
        t.frames_played += put;
        t.frames_written += put;
        written += put;
    }
    t.playback_period_seen = t.playback_period_seen && written == 0;
    if (written > 0 && !t.latency.playback_paced) {
        int64_t queued = 0;
        int64_t buffered = 0;
        // A stream that cannot say holds none.
        queued_to_play(t.playback, queued);
        buffered_to_play(t.playback, buffered);
        note_playback_queue(t.latency, queued, buffered);
    }
    return 0;
}

// Queues `frames` of silence; a stream without room for all of it starts with less.
int queue_silence(transfer_state& t, int64_t frames) {
    while (frames > 0) {
        int64_t put = 0;
        const int err = write_frames(t.playback, t.silence_table.data(),
                                     std::min(frames, t.timing.period_frames), put);
        if (err < 0 || put == 0) {
            return err;
        }
        frames -= put;
        t.frames_written += put;
    }
    return 0;
}

// Starts playback with silence ahead of what is routed, so that the audio in the streams
// starts as planned.
int start_playback(transfer_state& t) {
    int64_t device_queued = 0;
    // A stream not yet written to reports only what the device itself holds; one that cannot
    // say holds none.
    queued_to_play(t.playback, device_queued);
    int64_t silence = 0;
    if (!prepare_playback_start(t, device_queued, silence)) {
        return 0;
    }
    const int err = queue_silence(t, silence);
    if (err < 0) {
        note_stream_error(t, stream_side::playback, err);
        return 0;
    }
    enter_phase(t, playback_phase::running);
    start_judging(t.latency, now_ns(t.clock));
    restart_playback_clock(t.drift);
    int64_t written = 0;
    return write_unwritten(t, written);
}

// Passes `frames` from `source` (at its position) through the rings: what capture is to drop,
// and all of it while playback skips, passes unheard; the rest is routed out for playback.
void pass_frames(transfer_state& t, staging_area& source, int64_t frames) {
    show_progress(t);
    const bool skipping = t.phase == playback_phase::skipping;
    const int64_t dropped = skipping ? frames : std::min(frames, t.frames_to_drop);
    if (dropped > 0) {
        meter_captured(t, source, dropped);
        delay_pass(t.ring, t.fade, source, t.playback_area, *t.settings, dropped, false);
        t.frames_to_drop = std::max<int64_t>(0, t.frames_to_drop - dropped);
        if (!skipping) {
            t.frames_played += dropped;  // their time has passed: the run ends on time
        }
    }
    if (frames > dropped) {
        meter_captured(t, source, frames - dropped);
        if (stretcher_in_path(t.rebuild)) {
            rebuild_pass(t, source, frames - dropped);
        } else {
            delay_pass(t.ring, t.fade, source, t.playback_area, *t.settings, frames - dropped,
                       true);
        }
        meter_played(t, frames - dropped);
        t.unwritten_frames += frames - dropped;
        if (follow_rebuild(t, frames - dropped)) {
            say_delay(t.delay_seconds);  // rebuilt
        }
    }
}

// Passes `frames` from `source` through the rings and on to playback, piece by piece as the
// playback area has room, starting playback where it waits for frames. What playback has no
// room for is too late to play, and dropped.
int pass_on(transfer_state& t, staging_area& source, int64_t frames) {
    while (frames > 0) {
        const bool full = t.unwritten_frames > 0;
        const int64_t source_room = chunk_frames - source.staging_position;
        const int64_t piece =
            std::min({frames, full ? source_room : chunk_room(source, t.playback_area),
                      frames_to_next_rebuild_step(t)});
        if (full) {
            t.frames_to_drop += piece;
        }
        pass_frames(t, source, piece);
        frames -= piece;
        if (t.unwritten_frames == 0) {
            continue;
        }
        int64_t written = 0;
        const int err =
            t.phase == playback_phase::running ? write_unwritten(t, written) : start_playback(t);
        if (err < 0) {
            return err;
        }
    }
    return 0;
}

// Passes `frames` just read into the capture area on to playback; once the drift between two
// clocks is corrected, through the stretcher first.
int pass_captured(transfer_state& t, int64_t frames) {
    if (!t.drift.engaged) {
        return pass_on(t, t.capture_area, frames);
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
        const int err = pass_on(t, t.stretch_area, s.made);
        if (err < 0) {
            return err;
        }
    }
    advance_staging(t.capture_area, frames);
    return 0;
}

// Capture ran dry: playback that was skipping may start again, once capture's clock is
// known not to have jumped. Only after capture has given frames since playback stopped: a
// capture stopped with the program (a server's client) has lost time that only its next
// frames show, and what the rings hold is that much too late to play.
void end_skipping_when_dry(transfer_state& t) {
    if (t.phase == playback_phase::skipping && t.frames_read > t.phase_since_frames_read &&
        capture_clock_settled(t.latency)) {
        enter_phase(t, playback_phase::restarting);
    }
}

// What one read step moved.
struct read_report {
    int64_t frames = 0;
    bool playback_full = false;  // playback had no room, so nothing was read
};

// Passes on the silence owed for what capture lost, then reads what capture has, chunk by
// chunk, and passes it on.
int read_captured(transfer_state& t, read_report& report) {
    report = {};
    const int64_t lost = std::exchange(t.lost_capture_frames, 0);
    int err = lost > 0 ? pass_on(t, t.silent_area, lost) : 0;
    if (err < 0) {
        return err;
    }
    const int64_t started = now_ns(t.clock);
    for (int chunk = 0;
         chunk < chunks_per_wake && t.unwritten_frames == 0 && !stream_failed(t) &&
         t.frames_played < t.timing.frame_budget && now_ns(t.clock) - started < read_time_ns;
         ++chunk) {
        // No more than capture's buffer at a time: a plugin may refuse more (the file plugin).
        int64_t room =
            std::min(chunk_room(t.capture_area, t.playback_area), t.timing.capture_buffer_frames);
        if (t.phase == playback_phase::running && t.frames_to_drop == 0) {
            int64_t playback_room = 0;
            err = room_to_play(t.playback, playback_room);
            if (err < 0) {
                note_stream_error(t, stream_side::playback, err);
                break;
            }
            room = std::min(room, playback_room);
            report.playback_full = playback_room == 0;
        }
        if (room == 0) {
            break;
        }
        fill_table(t.capture_area);
        int64_t got = 0;
        err = read_frames(t.capture, t.capture_area.channel_table.data(), room, got);
        if (err < 0) {
            note_stream_error(t, stream_side::capture, err);
            break;
        }
        t.capture_waiting_frames = 0;
        if (got > 0) {
            captured_waiting(t.capture, t.capture_waiting_frames);  // none, if it cannot say
        }
        t.capture_held_frames = capture_held(t, t.capture_waiting_frames);
        note_capture_pacing(t.latency, got, room, t.capture_waiting_frames,
                            t.timing.capture_buffer_frames);
        if (got == 0) {
            end_skipping_when_dry(t);
            break;
        }
        if (t.phase == playback_phase::skipping &&
            now_ns(t.clock) - t.phase_since_ns >= skip_limit_ns) {
            enter_phase(t, playback_phase::restarting);
        }
        t.frames_read += got;
        report.frames += got;
        set_start_delay(t);
        const capture_gap gap =
            note_capture(t.latency, {.now_ns = now_ns(t.clock),
                                     .frames = got,
                                     .frames_read = t.frames_read,
                                     .waiting_frames = t.capture_waiting_frames});
        if (gap.frames > 0 && holds_delay(t)) {
            recover_capture_gap(t, gap, got);
        }
        err = pass_captured(t, got);
        if (err < 0) {
            return err;
        }
        // A read may come back short of what capture holds (a plugin hands it over a piece at a
        // time): it is dry only when nothing is left.
        if (got < room && t.capture_waiting_frames == 0) {
            end_skipping_when_dry(t);
            break;
        }
    }
    return 0;
}

// Judges the delay heard from where the streams stand now, and carries the judgment out.
int judge_delay(transfer_state& t) {
    int64_t queued = 0;
    // The reading's time is taken after it: a reading may only seem older than it is.
    queued_to_play(t.playback, queued);  // none, if it cannot say
    const correction c = judge_path(t.latency, {.now_ns = now_ns(t.clock),
                                                .waiting_frames = t.capture_waiting_frames,
                                                .captured_frames = t.capture_held_frames,
                                                .unwritten_frames = t.unwritten_frames,
                                                .queued_frames = queued,
                                                .ring_delay_frames = held_delay_frames(t),
                                                .written_frames = t.frames_written,
                                                .frames_to_drop = t.frames_to_drop});
    say_shortest(t, t.latency.shortest_frames);
    if (c.start_playback_afresh) {
        restart_playback(t);
        return 0;
    }
    apply_correction(t, c);
    return 0;
}

// Everything the loop counts exactly of the delay heard: the rings' delay, what is written,
// unwritten and held by the stretcher, less what was read and is still to be dropped.
int64_t counted_delay_frames(const transfer_state& t) {
    const int64_t stretching = t.stretch.lanes > 0 ? held_frames(t.stretch) : 0;
    return held_delay_frames(t) + t.frames_written + t.unwritten_frames + stretching -
           t.frames_read - t.frames_to_drop;
}

// Where both streams stand now, each reading timed just after it is taken: the drift's lines
// take them, and `reading` holds them as a reading of the audio in the streams. Gives false
// when playback could not say.
bool read_stream_positions(transfer_state& t, path_reading& reading) {
    const int64_t rate = t.timing.rate;
    int64_t waiting = 0;
    captured_waiting(t.capture, waiting);  // none, if it cannot say
    note_position(t.drift.capture, now_ns(t.clock), t.frames_read + waiting, rate);
    const int64_t held = capture_held(t, waiting);
    int64_t queued = 0;
    if (queued_to_play(t.playback, queued) < 0 || queued <= 0) {
        return false;
    }
    const int64_t now = now_ns(t.clock);
    note_position(t.drift.playback, now, t.frames_written - queued, rate);
    reading = {.now_ns = now,
               .waiting_frames = waiting,
               .captured_frames = held,
               .unwritten_frames = t.unwritten_frames,
               .queued_frames = queued,
               .frames_to_drop = t.frames_to_drop};
    return true;
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
//
// The line comes once the correction has run for a while (or as the run ends): the estimate it
// starts on is made on a second of readings and may be a third off, where two seconds later it
// is within a few ppm.
constexpr int64_t drift_said_after_ns = 2 * ns_per_second;

void say_drift(transfer_state& t, bool run_ending) {
    if (t.drift_said_at_ns < 0 || (!run_ending && now_ns(t.clock) < t.drift_said_at_ns)) {
        return;
    }
    t.drift_said_at_ns = -1;
    std::printf("\nCapture and playback clocks differ by %+.0f ppm; correcting the drift\n",
                t.drift.ppm);
    std::fflush(stdout);
    status_line_ended();
}

int follow_clocks(transfer_state& t) {
    // Again after the transfers, for the drift alone: each of its buckets keeps the best
    // reading, and a server's may come on either side of them.
    path_reading unused;
    read_stream_positions(t, unused);
    if (steer_drift(t.drift, now_ns(t.clock), counted_delay_frames(t), t.latency.judged)) {
        if (create_stretcher(t.stretch, lane_count(t.settings->mode)) < 0 ||
            create_staging_area(t.stretch_area, t.capture_area.region_count) < 0) {
            end_status_line();
            std::fputs("Not enough memory to correct the drift between the clocks\n", stderr);
            return -ENOMEM;
        }
        warm_up_stretcher(t);
        t.drift_said_at_ns = now_ns(t.clock) + drift_said_after_ns;
    }
    say_drift(t, false);
    t.latency.drift_holds_delay = t.drift.engaged && t.drift.referenced;
    return 0;
}

// What one wake did.
struct wake_report {
    int64_t moved_frames = 0;         // either way
    bool playback_full = false;       // capture was not read: playback had no room
    bool waited_on_playback = false;  // playback had frames to take, or no room for more
};

// One look at both streams, in steps: where they stand, what is unwritten goes out, what
// capture has comes in, the delay judged, the clocks followed; last, a stream that failed on
// the way, or stopped without a word while nothing moved, is recovered.
int wake(transfer_state& t, wake_report& report) {
    report = {
        .moved_frames = 0, .playback_full = false, .waited_on_playback = t.unwritten_frames > 0};
    path_reading reading;
    // As the program wakes, which is when a card whose pointer moves a period at a time
    // shows where it stands to the frame.
    if (running_held(t) && read_stream_positions(t, reading)) {
        note_wake_path(t.latency, reading);
    }
    int64_t written = 0;
    int err = t.phase == playback_phase::running ? write_unwritten(t, written) : 0;
    read_report read;
    err = err < 0 ? err : read_captured(t, read);
    if (err < 0) {
        return err;
    }
    report.moved_frames = written + read.frames;
    if (read.frames > 0) {
        t.last_capture_ns = now_ns(t.clock);
    }
    report.playback_full = read.playback_full;
    report.waited_on_playback = report.waited_on_playback || read.playback_full;
    // Playback that takes nothing holds capture up too: a server that stopped playing without
    // a word shows only in the readings, so they are taken then as well.
    if ((read.frames > 0 || read.playback_full) && running_held(t) && !stream_failed(t)) {
        err = judge_delay(t);
    }
    if (err == 0 && running_held(t) && !stream_failed(t)) {
        err = follow_clocks(t);
    }
    return err < 0 ? err : recover_streams(t, report.moved_frames == 0);
}

}  // namespace

int transfer_loop(transfer_state& t) {
    int64_t last_wake = now_ns(t.clock);
    int64_t capture_quiet = 0;
    int64_t playback_quiet = 0;
    bool only_sleep = false;
    wake_report report;
    while (t.frames_played < t.timing.frame_budget && !stop_requested()) {
        take_commands(t);
        const bool on_playback = t.unwritten_frames > 0 || report.playback_full;
        const int64_t limit_ns = wait_limit_ns(t, on_playback, only_sleep);
        const bool woke = wait_for_work(t, on_playback, only_sleep, limit_ns);
        const int64_t now = now_ns(t.clock);
        const int64_t interval = now - last_wake;
        last_wake = now;
        const int err = wake(t, report);
        if (err < 0) {
            return err;
        }
        only_sleep = report.moved_frames == 0 && woke;
        // The stall limit measures the streams, not the program: a wake long after the wait
        // should have ended means the program did not run, and that time is not counted.
        const int64_t counted = interval - limit_ns > unrun_gap_ns ? 0 : interval;
        if (counted == 0) {
            // Both streams ran on while the program did not: their readings start again.
            restart_capture_clock(t.drift);
            restart_playback_clock(t.drift);
        }
        int64_t& quiet = report.waited_on_playback ? playback_quiet : capture_quiet;
        quiet = report.moved_frames > 0 ? 0 : quiet + counted;
        if (report.moved_frames > 0) {
            capture_quiet = playback_quiet = 0;
        }
        if (t.output != nullptr) {
            flush_output(*t.output);
        }
        show_status(t, now);
        if (quiet >= stall_limit_ms * ns_per_ms) {
            end_status_line();
            std::fputs(stall_message(report.waited_on_playback), stderr);
            return -ETIMEDOUT;
        }
    }
    say_drift(t, true);
    return 0;
}

}  // namespace livedelay
