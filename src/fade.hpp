// Joins without a click where the delay heard changes. What was playing fades out while what
// plays after the change fades in: a crossfade from the old stream into the new one, or into
// silence; and where sound resumes after silence, it fades in. The fades act on the routed
// samples as the pass moves them, so they work whatever the rings hold ahead: the old stream's
// first frames are kept from the output rings when the change is made and, where the rings
// held less than a fade (a delay at the shortest the device allows), the rest is kept from
// capture as it arrives, which is where the old stream would have gone on.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "delay_ring.hpp"

namespace livedelay {

struct crossfade {
    int64_t fade_frames = 0;  // how long a join lasts
    int lanes = 0;
    std::vector<uint8_t> old_stream[2];  // per lane, fade_frames frames of 3 bytes
    int64_t old_frames = 0;              // frames of the old stream kept so far
    int64_t old_wanted_frames = 0;       // frames it is to have; the rest comes from capture
    int64_t joined_frames = -1;          // frames played since the join began; -1: none
    // Frames the ring position is to move on before sound fades in; -1: none to come.
    int64_t fade_in_ahead_frames = -1;
    // A cut of what was stored last: the first frames of what was cut, faded out into what is
    // stored next at its place, and how many of those have been stored; -1: none under way.
    std::vector<uint8_t> cut_stream[2];
    int64_t cut_frames = 0;
    int64_t joint_done_frames = -1;
};

void create_crossfade(crossfade& fade, int lanes, int64_t fade_frames);

// Whether a crossfade is under way: a change made now would cut it short.
bool joining(const crossfade& fade);

// Begins a join at the ring's position from what its output rings hold there; with
// `follow_capture`, what they hold less than a fade comes from capture.
void begin_crossfade(crossfade& fade, const delay_ring& ring, bool follow_capture);
// Sound resumes once the ring position has moved on `frames`: it fades in from there.
void fade_in_after(crossfade& fade, int64_t frames);

// What a pass tells the fades: the frames it captured (one span a lane, `frames` long), each
// playback channel it routed from a lane, and the frames it played.
void note_captured(crossfade& fade, std::span<const std::span<const uint8_t>> lanes,
                   int64_t frames);
void fade_routed(const crossfade& fade, lane_id id, std::span<uint8_t> destination);
void note_played(crossfade& fade, int64_t frames);
// What a pass just stored into the output rings, `frames` of it at the delay ahead of the
// position: where a cut was made, its first frames fade into them.
void note_stored(crossfade& fade, delay_ring& ring, int64_t frames);
// The ring position moved `frames` on without playing them (a skip, frames passed over), or
// back (negative: a pause put silence in front of what plays next).
void note_moved(crossfade& fade, int64_t frames);

// Changes of what the rings hold, heard as joins. skip_faded drops the next `frames` the
// output rings hold (at most what they hold): the old stream fades into what comes after the
// skip. pause_faded puts `frames` of silence in front of what they hold: the first fade of it
// plays fading out, then the silence, then the rest fading back in (where the rings hold less
// than a fade, the sound resumes where the fade out began).
void skip_faded(delay_ring& ring, crossfade& fade, int64_t frames);
void pause_faded(delay_ring& ring, crossfade& fade, int64_t frames);
// cut_faded drops the `frames` stored last (at most what the rings hold): what is captured next
// takes their place, and is joined to what was stored before them by a crossfade from the
// first frames cut. The delay is that much shorter from the joint on.
void cut_faded(delay_ring& ring, crossfade& fade, int64_t frames);

// A raised cosine from 0 to 1: the weight of frame `i` of a fade of `frames`.
double fade_weight(int64_t i, int64_t frames);

}  // namespace livedelay
