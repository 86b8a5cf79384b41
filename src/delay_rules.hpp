// Every change of the delay the rings hold, in one place. The delay heard is the rings' delay
// plus the audio in the streams (captured and not yet read, read and not yet written, written
// and not yet heard); these functions are the only ones that move the rings' delay, and each
// keeps the fades, the drift's reference and the latency policy in step with it. The loop
// decides when (src/delay.cpp), the latency policy (src/latency.*) what, and these carry it
// out. The one other thing that moves the delay heard is the drift correction's resampling
// ratio (src/drift.*), which nudges it by frames, never by a skip or a pause.
//
// A skip drops what playback takes next from the rings; a pause puts silence in front of it.
#pragma once

#include <cstdint>
#include <optional>

#include "latency.hpp"
#include "transfer.hpp"

namespace livedelay {

// The one place a rebuild's phase changes (see rebuild_phase in src/transfer.hpp); outside
// `none` the latency policy leaves the delay alone.
void enter_rebuild_phase(transfer_state& t, rebuild_phase phase);

// Until playback starts, and once the streams are seen to run on a clock, the rings hold the
// delay asked less the audio playback starts with in the streams; where the delay is built at
// the start, only what the stretcher needs ahead of it.
void set_start_delay(transfer_state& t);

// Playback about to start, or start again after a stall, with `unwritten_frames` routed: what
// it would play first may be far from due, and is then dropped (unwritten frames first, then
// from the rings) or has silence put in front of it in the rings. Gives false when nothing is
// left to start with (the next frames captured will do); else `silence_frames` is what to
// queue ahead of the first frames, with `device_queued_frames` what the device holds already.
bool prepare_playback_start(transfer_state& t, int64_t device_queued_frames,
                            int64_t& silence_frames);

// A judgment of the delay heard: frames capture holds to drop unheard, a skip or a pause.
void apply_correction(transfer_state& t, const correction& c);

// Capture lost `frames` without an xrun, before the frame `behind_frames` back from the newest
// frame stored: silence takes their place, and what came after keeps its distance.
void hold_capture_gap(transfer_state& t, int64_t frames, int64_t behind_frames);

// A live change: the delay asked becomes `seconds` from the next frames played, heard as a
// crossfade unless `join` is false (what plays next is silence anyway). Where the delay is
// held, a delay shorter than the audio in the streams plays at that. Gives the frames of the
// shortest delay when the one asked was shorter, else 0.
int64_t change_delay(transfer_state& t, double seconds, bool join);

// A dump: cuts `slice_frames` of what the rings hold, the newest (all but what the stretcher
// needs ahead of it, when none are given), joined by a crossfade; once playback reaches the
// joint, the delay asked is rebuilt by time-stretching. During a rebuild, what the stretcher
// holds plays on and the rebuild goes on from the shorter delay.
void dump_delay(transfer_state& t, std::optional<int64_t> slice_frames);

// Rebuilds the delay by time-stretching towards `goal_frames` in the rings and the stretcher:
// slower than capture to grow, faster to shrink, at the rebuild's pace. Where the stretcher
// cannot be had, the rings move to it at once.
void begin_rebuild(transfer_state& t, int64_t goal_frames);

// A pass through the stretcher took `taken_frames` from the rings for `frames` played: the
// position moves on by what was taken. The delay the rings and the stretcher hold together
// was `held_before_frames` before the pass: how far it moved is the rebuild's doing, and the
// drift correction's reference moves with it.
void note_stretched(transfer_state& t, int64_t frames, int64_t taken_frames,
                    int64_t held_before_frames);

// After a pass that played `frames`: a rebuild waiting for the joint starts there; with the
// stretcher in the path, once the goal is reached it goes back to 1:1, and once it is there,
// what it holds goes back to the rings and it leaves the path. Gives true when it left.
bool follow_rebuild(transfer_state& t, int64_t frames);

// How many frames may play before a stretch reaches its goal at the pace it stretches: a pass
// ends there, so the delay lands on the goal to the frame, not a pass later. A large number
// when no stretch runs.
int64_t frames_to_next_rebuild_step(const transfer_state& t);

// The rings' delay that makes `target_frames` heard where the delay is held: less the audio
// in the streams (as measured once it is, else as playback starts with it), and nothing less
// than none. `shortest_frames` is that audio when the target is shorter, else 0.
int64_t ring_delay_wanted(const transfer_state& t, int64_t target_frames, int64_t& shortest_frames);

// Frames a pause may add to the rings without overrunning the next pass.
int64_t pause_room_frames(const delay_ring& ring);

}  // namespace livedelay
