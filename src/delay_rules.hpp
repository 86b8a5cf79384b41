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

#include "latency.hpp"
#include "transfer.hpp"

namespace livedelay {

// Until playback starts, and once the streams are seen to run on a clock, the rings hold the
// delay asked less the audio playback starts with in the streams.
void set_start_delay(transfer_state& t);

// Playback about to start, or start again after a stall, with `unwritten_frames` routed: what
// it would play first may be far from due, and is then dropped (unwritten frames first, then
// from the rings) or has silence put in front of it in the rings. Gives false when nothing is
// left to start with (the next frames captured will do); else `silence_frames` is what to
// queue ahead of the first frames.
bool prepare_playback_start(transfer_state& t, int64_t& silence_frames);

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

// Drops all the rings hold, keeping the delay: what was captured before it is never heard.
void dump_delay(transfer_state& t);

// Frames a pause may add to the rings without overrunning the next pass.
int64_t pause_room_frames(const delay_ring& ring);

}  // namespace livedelay
