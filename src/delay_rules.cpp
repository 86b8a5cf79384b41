#include "delay_rules.hpp"

#include <algorithm>
#include <cmath>

namespace livedelay {

namespace {

// Moves the rings' delay without a join: a skip, then a pause (as much as the rings have room
// for).
void move_ring_delay(transfer_state& t, int64_t skip_frames, int64_t pause_frames) {
    skip_output(t.ring, skip_frames * sample_bytes);
    note_moved(t.fade, skip_frames);
    const int64_t pause = std::min(pause_frames, pause_room_frames(t.ring));
    pause_output(t.ring, pause * sample_bytes);
    note_moved(t.fade, -pause);
    move_reference(t.drift, pause - skip_frames);
}

}  // namespace

int64_t pause_room_frames(const delay_ring& ring) {
    return std::max<int64_t>(0,
                             (ring.ring_size - ring.delay_offset - chunk_bytes) / sample_bytes - 1);
}

void set_start_delay(transfer_state& t) {
    if (!t.latency.playback_started && holds_delay(t)) {
        t.ring.delay_offset = ring_delay_for(t.latency.plan) * sample_bytes;
    }
}

bool prepare_playback_start(transfer_state& t, int64_t& silence_frames) {
    silence_frames = 0;
    if (!holds_delay(t)) {
        return true;
    }
    const prime_step step = prime_correction(t.latency.plan, ring_delay_frames(t),
                                             t.unwritten_frames, t.capture_waiting_frames);
    advance_staging(t.playback_area, step.drop_unwritten_frames);
    t.unwritten_frames -= step.drop_unwritten_frames;
    // What the delay lacks goes into the rings, behind what is unwritten, as a correction's
    // pause does: queued, it could fill playback's buffer, and a loop that cannot write
    // cannot read either.
    move_ring_delay(t, step.skip_frames, step.silence_frames);
    if (t.unwritten_frames == 0) {
        return false;
    }
    silence_frames =
        start_silence_frames(t.latency.plan, t.unwritten_frames, t.capture_waiting_frames);
    return true;
}

void apply_correction(transfer_state& t, const correction& c) {
    t.frames_to_drop += c.frames_to_drop;
    move_reference(t.drift, -c.frames_to_drop);
    move_ring_delay(t, c.skip_frames, c.pause_frames);
}

void hold_capture_gap(transfer_state& t, int64_t frames, int64_t behind_frames) {
    const int64_t behind = std::clamp<int64_t>(behind_frames, 0, ring_delay_frames(t));
    pause_input(t.ring, std::min(frames, pause_room_frames(t.ring)) * sample_bytes,
                behind * sample_bytes);
}

namespace {

// Lays the rings out again where `ring_delay` frames would not fit them with a second to
// spare, or would leave most of them unused: they hold the delay and a second, as at the
// start. Where the memory cannot be had, they stay as they are.
void fit_rings(transfer_state& t, int64_t ring_delay) {
    const int64_t held = std::max(ring_delay, ring_delay_frames(t));
    const int64_t wanted = ring_size_holding((held + t.timing.rate) * sample_bytes);
    if (wanted > t.ring.ring_size || wanted * 4 <= t.ring.ring_size) {
        relay_delay_ring(t.ring, wanted);  // where it fails, pauses stay within the room
    }
}

}  // namespace

int64_t change_delay(transfer_state& t, double seconds, bool join) {
    const int64_t target = std::llround(seconds * static_cast<double>(t.timing.rate));
    int64_t wanted = target;
    int64_t shortest = 0;
    if (holds_delay(t)) {
        // What is in the streams, as measured once it is, else as playback starts with it.
        const int64_t in_streams = t.latency.path.readings > 0
                                       ? heard_delay_frames(t.latency, 0)
                                       : t.latency.plan.stream_latency_frames;
        wanted = std::max<int64_t>(0, target - in_streams);
        shortest = target < in_streams ? in_streams : 0;
    }
    fit_rings(t, wanted);  // larger first, to hold what a pause adds
    const int64_t ring_delay = ring_delay_frames(t);
    const int64_t moved = std::clamp(wanted - ring_delay, -ring_delay, pause_room_frames(t.ring));
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
    fit_rings(t, ring_delay_frames(t));  // smaller after, once a skip has dropped its part
    t.latency.plan.target_frames = target;
    t.delay_seconds = seconds;
    return shortest;
}

void dump_delay(transfer_state& t) {
    dump_faded(t.ring, t.fade);
}

}  // namespace livedelay
