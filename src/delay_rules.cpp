#include "delay_rules.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace livedelay {

void enter_rebuild_phase(transfer_state& t, rebuild_phase phase) {
    t.rebuild.phase = phase;
    t.latency.rebuilding = phase != rebuild_phase::none;
}

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
    if (t.latency.playback_started || !holds_delay(t)) {
        return;
    }
    int64_t frames = ring_delay_for(t.latency.plan);
    if (t.rebuild.options.build && t.rebuild.available) {
        frames = std::min(frames, lead_frames(t.rebuild.stretch) + chunk_frames);
    }
    t.ring.delay_offset = frames * sample_bytes;
}

bool prepare_playback_start(transfer_state& t, int64_t device_queued_frames,
                            int64_t& silence_frames) {
    silence_frames = 0;
    if (!holds_delay(t)) {
        return true;
    }
    // A run that builds its delay starts with what the stretcher needs ahead of it, and grows
    // from there as a rebuild does.
    latency_plan plan = t.latency.plan;
    const bool building =
        t.rebuild.options.build && t.rebuild.available && !t.latency.playback_started;
    if (building) {
        const int64_t wanted = ring_delay_for(plan);
        plan.target_frames =
            std::min(plan.target_frames,
                     plan.stream_latency_frames + lead_frames(t.rebuild.stretch) + chunk_frames);
        t.rebuild.goal_frames = wanted;
        t.rebuild.joint_in_frames = 0;
        enter_rebuild_phase(t, rebuild_phase::awaiting_joint);
    }
    const prime_step step =
        prime_correction(plan, ring_delay_frames(t), t.unwritten_frames, t.capture_waiting_frames);
    advance_staging(t.playback_area, step.drop_unwritten_frames);
    t.unwritten_frames -= step.drop_unwritten_frames;
    // What the delay lacks goes into the rings, behind what is unwritten, as a correction's
    // pause does: queued, it could fill playback's buffer, and a loop that cannot write
    // cannot read either.
    move_ring_delay(t, step.skip_frames, step.silence_frames);
    if (t.unwritten_frames == 0) {
        return false;
    }
    const int64_t captured_frames = std::max(t.capture_held_frames, t.capture_waiting_frames);
    silence_frames =
        start_silence_frames(plan, t.unwritten_frames, captured_frames, device_queued_frames);
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

int64_t ring_delay_wanted(const transfer_state& t, int64_t target_frames,
                          int64_t& shortest_frames) {
    shortest_frames = 0;
    if (!holds_delay(t)) {
        return target_frames;
    }
    const int64_t in_streams = t.latency.path.readings > 0 ? heard_delay_frames(t.latency, 0)
                                                           : t.latency.plan.stream_latency_frames;
    shortest_frames = target_frames < in_streams ? in_streams : 0;
    return std::max<int64_t>(0, target_frames - in_streams);
}

int64_t change_delay(transfer_state& t, double seconds, bool join) {
    const int64_t target = std::llround(seconds * static_cast<double>(t.timing.rate));
    int64_t shortest = 0;
    const int64_t wanted = ring_delay_wanted(t, target, shortest);
    t.latency.plan.target_frames = target;
    t.delay_seconds = seconds;
    // A glide, or a change while a rebuild runs or waits for its joint, moves the goal.
    if (t.rebuild.phase == rebuild_phase::awaiting_joint) {
        t.rebuild.goal_frames = wanted;
        return shortest;
    }
    if (stretcher_in_path(t.rebuild) || (t.rebuild.options.glide && t.rebuild.available)) {
        begin_rebuild(t, wanted);
        return shortest;
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
    return shortest;
}

void dump_delay(transfer_state& t, std::optional<int64_t> slice_frames) {
    rebuild_state& r = t.rebuild;
    // During a rebuild the stretcher holds the oldest part of the delay, next to play: it stays,
    // and counts towards what the stretcher needs ahead of it, which stays so that the rebuild
    // can go on (or start) at once.
    const bool stretching = stretcher_in_path(r);
    const int64_t in_stretcher = stretching ? held_frames(r.stretch) : 0;
    const int64_t ahead =
        r.available ? std::max<int64_t>(0, lead_frames(r.stretch) + chunk_frames - in_stretcher)
                    : 0;
    const int64_t held = ring_delay_frames(t);
    const int64_t slice =
        std::clamp<int64_t>(slice_frames.value_or(held - ahead), 0, std::max<int64_t>(0, held));
    cut_faded(t.ring, t.fade, slice);
    move_reference(t.drift, -slice);
    int64_t shortest = 0;
    const int64_t target = std::llround(t.delay_seconds * static_cast<double>(t.timing.rate));
    const int64_t goal = ring_delay_wanted(t, target, shortest);
    if (stretching) {
        begin_rebuild(t, goal);  // on from where it stands: what it holds plays on
        return;
    }
    r.goal_frames = goal;
    r.joint_in_frames = ring_delay_frames(t);
    enter_rebuild_phase(t, rebuild_phase::awaiting_joint);  // short on purpose from here on
}

void begin_rebuild(transfer_state& t, int64_t goal_frames) {
    fit_rings(t, goal_frames);
    const int64_t now = held_delay_frames(t);
    if (!t.rebuild.available) {
        // No stretcher at this rate: the delay comes back at once, and is judged again.
        move_ring_delay(t, std::max<int64_t>(0, now - goal_frames),
                        std::max<int64_t>(0, goal_frames - now));
        enter_rebuild_phase(t, rebuild_phase::none);
        return;
    }
    if (goal_frames == now && !stretcher_in_path(t.rebuild)) {
        enter_rebuild_phase(t, rebuild_phase::none);
        return;
    }
    if (!stretcher_in_path(t.rebuild)) {
        // What it kept to start from is what it last played, long ago: it starts afresh.
        clear_timestretch(t.rebuild.stretch);
    }
    const double pace = t.rebuild.options.rate_percent / 100.0;
    set_tempo(t.rebuild.stretch, goal_frames > now ? 1.0 - pace : 1.0 + pace);
    t.rebuild.goal_frames = goal_frames;
    enter_rebuild_phase(t, rebuild_phase::stretching);
}

void note_stretched(transfer_state& t, int64_t frames, int64_t taken_frames,
                    int64_t held_before_frames) {
    if (taken_frames < frames) {
        rewind_output(t.ring, (frames - taken_frames) * sample_bytes);
    } else {
        skip_output(t.ring, (taken_frames - frames) * sample_bytes);
    }
    // Not only what the rings gave back: the stretcher may take all it is offered and hold the
    // growth itself.
    move_reference(t.drift, held_delay_frames(t) - held_before_frames);
}

int64_t frames_to_next_rebuild_step(const transfer_state& t) {
    const rebuild_state& r = t.rebuild;
    const double growth_per_frame = std::abs(1.0 - r.stretch.tempo);
    if (r.phase != rebuild_phase::stretching || r.stretch.phase != stretch_phase::stretching ||
        growth_per_frame <= 0) {
        return std::numeric_limits<int64_t>::max();
    }
    const double gap_frames = static_cast<double>(std::abs(r.goal_frames - held_delay_frames(t)));
    return std::max<int64_t>(1, static_cast<int64_t>(std::ceil(gap_frames / growth_per_frame)));
}

bool follow_rebuild(transfer_state& t, int64_t frames) {
    rebuild_state& r = t.rebuild;
    switch (r.phase) {
        case rebuild_phase::none:
            return false;
        case rebuild_phase::awaiting_joint:
            r.joint_in_frames -= frames;
            if (r.joint_in_frames <= 0) {
                begin_rebuild(t, r.goal_frames);
            }
            return false;
        case rebuild_phase::stretching: {
            const int64_t now = held_delay_frames(t);
            if (r.stretch.tempo_wanted < 1.0 ? now >= r.goal_frames : now <= r.goal_frames) {
                set_tempo(r.stretch, 1.0);
                enter_rebuild_phase(t, rebuild_phase::returning);
            }
            return false;
        }
        case rebuild_phase::returning:
            if (!at_one(r.stretch)) {
                return false;
            }
            rewind_output(t.ring, give_back(r.stretch) * sample_bytes);
            enter_rebuild_phase(t, rebuild_phase::none);
            return true;
    }
    return false;
}

}  // namespace livedelay
