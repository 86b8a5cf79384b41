#include "recovery.hpp"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <utility>

#include "delay_rules.hpp"
#include "monotonic.hpp"
#include "signals.hpp"

namespace livedelay {

namespace {

enum class recovery {
    recovered,  // the stream can run again
    resuming,   // a suspended stream still waking: ask again later
    fatal,      // the run ends, with the code in `err` after its message
};

// A suspended stream gets this long to resume before it is prepared afresh.
constexpr int64_t resume_limit_ns = 2000 * ns_per_ms;

void print_marker(transfer_state& t, const char* marker) {
    ++t.xruns;
    std::fputs(marker, stdout);
    std::fflush(stdout);
    status_line_ended();
}

const char* name_of(stream_side side) {
    return side == stream_side::playback ? "Playback" : "Capture";
}

// Prepares, resumes or starts the stream; gives 0, -EAGAIN while it still wakes from a
// suspend, or the code that ends the run.
int bring_up(transfer_state& t, stream_side side, int err) {
    const stream& s = side == stream_side::playback ? t.playback : t.capture;
    stream_recovery& r = side == stream_side::playback ? t.playback_recovery : t.capture_recovery;
    err = prepare_after(s, err);
    if (err == -EAGAIN) {
        const int64_t now = now_ns(t.clock);
        r.resuming_since_ns = r.resuming_since_ns < 0 ? now : r.resuming_since_ns;
        if (now - r.resuming_since_ns < resume_limit_ns) {
            return -EAGAIN;
        }
        err = prepare_stream(s);
    }
    r.resuming_since_ns = -1;
    if (err >= 0 && side == stream_side::capture && state_of(s) == stream_state::prepared) {
        err = start_stream(s);
    }
    return err;
}

recovery recover(transfer_state& t, stream_side side, int& err) {
    if (err == -EPIPE) {
        print_marker(t, side == stream_side::playback ? "\nPX\n" : "\nRX\n");
    }
    const int result = bring_up(t, side, err);
    if (result == -EAGAIN) {
        return recovery::resuming;
    }
    if (result < 0) {
        end_status_line();
        std::fprintf(stderr, "%s stream failed: %s\n", name_of(side), snd_strerror(result));
        err = result;
        return recovery::fatal;
    }
    if (side == stream_side::playback) {
        if (state_of(t.playback) != stream_state::running && holds_delay(t)) {
            enter_phase(t, playback_phase::skipping);
        } else {
            // Resumed where it stopped: what it held plays later by the time it stood still.
            judge_again(t.latency, now_ns(t.clock));
        }
        return recovery::recovered;
    }
    const int64_t lost = note_capture_restart(t.latency, now_ns(t.clock), t.frames_read);
    restart_capture_clock(t.drift);
    if (holds_delay(t)) {
        t.lost_capture_frames += lost;
    }
    return recovery::recovered;
}

stream_recovery& recovery_of(transfer_state& t, stream_side side) {
    return side == stream_side::playback ? t.playback_recovery : t.capture_recovery;
}

}  // namespace

void note_stream_error(transfer_state& t, stream_side side, int err) {
    int& noted = recovery_of(t, side).error;
    noted = noted != 0 ? noted : err;
}

bool stream_failed(const transfer_state& t) {
    return t.playback_recovery.error != 0 || t.capture_recovery.error != 0;
}

int recover_streams(transfer_state& t, bool look_at_states) {
    for (const stream_side side : {stream_side::playback, stream_side::capture}) {
        int err = std::exchange(recovery_of(t, side).error, 0);
        if (err == 0 && look_at_states) {
            err = stopped_by(side == stream_side::playback ? t.playback : t.capture);
        }
        if (err != 0 && recover(t, side, err) == recovery::fatal) {
            return err;
        }
    }
    return 0;
}

void recover_capture_gap(transfer_state& t, const capture_gap& gap, int64_t frames_read) {
    print_marker(t, "\nRX\n");
    hold_capture_gap(t, gap.frames, gap.behind_frames - frames_read);
    restart_capture_clock(t.drift);
}

void restart_playback(transfer_state& t) {
    drop_stream(t.playback);  // what it held is too late to play; recovery prepares it
    note_stream_error(t, stream_side::playback, -EPIPE);
}

}  // namespace livedelay
