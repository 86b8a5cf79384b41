// Time-stretching of the 24-bit lanes with the pitch kept: what rebuilds the delay after a dump,
// by playing a few per cent slower than capture (or glides it down by playing faster).
// SoundTouch does the stretching (WSOLA: it plays the input in pieces of tens of ms, overlapped
// where they line up best, so each piece keeps its pitch exactly; LGPL-2.1+, a fraction of a
// per cent of a core). At 1:1 the library is not used: the samples pass bit for bit.
//
// The library's output lags its input by tens of ms (`lead_frames`), so a stretch needs that
// much audio ahead of what is played: the caller feeds until it has the frames it wants, as
// with `stretch`. Every frame taken is also kept as it came, so the two joins are made without
// a seam: into the stretch, the library is first given the frames heard just before (it starts
// from the signal, not from silence), and out of it the frames it holds are handed back bit for
// bit. Each join is a 10 ms crossfade at the offset (within 10 ms of where it should be) where
// the two sounds line up best, as the library lines up its own pieces.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace soundtouch {
class SoundTouch;
}

namespace livedelay {

struct soundtouch_deleter {
    void operator()(soundtouch::SoundTouch* library) const;
};

// at_one: the input passes bit for bit. joining: the library fills, and the output crossfades
// into it. stretching: the library's output. leaving: the output crossfades back to the input
// the library was given, from where its output stands.
enum class stretch_phase { at_one, joining, stretching, leaving };

struct timestretch {
    std::unique_ptr<soundtouch::SoundTouch, soundtouch_deleter> library;
    int lanes = 0;
    int rate_hz = 0;
    stretch_phase phase = stretch_phase::at_one;
    double tempo = 1.0;         // input frames played per frame out, while the library plays
    double tempo_wanted = 1.0;  // what set_tempo asked; the phases move towards it

    // Every frame taken, 3 bytes a sample, one region of `capacity_frames` a lane. Frame numbers
    // count everything taken; the kept ones are [kept_from, taken), from `history_frames`
    // before the next frame out, and the region holds frame `base` at its start.
    std::vector<uint8_t> kept;
    int64_t capacity_frames = 0;
    int64_t base = 0;
    int64_t kept_from = 0;
    int64_t taken = 0;
    // The input frame the next frame out stands for: a whole frame at 1:1 and in the joins, a
    // fraction while the library plays (each of its frames stands for `tempo` frames in).
    double next_out = 0;
    int64_t fed = 0;  // frames given to the library, up to `taken`

    // The library's frames fetched for a join, interleaved, and how many of them are out.
    std::vector<float> ready;
    int64_t ready_frames = 0;
    int64_t ready_used = 0;
    int64_t to_discard = 0;  // library frames that stand for what was heard before the join
    // The crossfade of a join: from the kept input at `fade_from` into the library's
    // `ready[fade_ready...]` (joining) or the other way (leaving), `fade_done` of it out.
    int64_t fade_from = 0;
    int64_t fade_ready = 0;
    int64_t fade_done = 0;

    std::vector<float> scratch;  // interleaved, one piece of the library's input or output
    std::vector<float> search;   // the kept input around a join, as floats, lanes in turn

    int64_t history_frames = 0;  // kept behind the next frame out, to start the library on
    int64_t fade_frames = 0;     // the length of a join
    int64_t search_frames = 0;   // how far either way a join looks for where the sounds agree
    int64_t landing_frames = 0;  // how far either way the way back may land (set_landing)
    int64_t lead = 0;            // see lead_frames
};

// For 1 to 8 lanes at 8000 to 192000 Hz; gives -EINVAL outside that and -ENOMEM when the
// library cannot be had. Everything it needs is allocated here.
int create_timestretch(timestretch& ts, int lanes, int rate_hz);

// Plays `tempo` input frames for each frame out from the next call on: below 1 slower (the
// delay grows by 1 - tempo a second), above 1 faster, 1 back to 1:1. Clamped to 0.8 - 1.25.
// From 1:1 the stretch joins on once the library has filled; back to 1, it leaves at the next
// call that has the library's frames for the join, and then passes the input bit for bit.
// Another tempo while it stretches leaves and joins again.
void set_tempo(timestretch& ts, double tempo);

// How far either way from where its output stands the way back to 1:1 may land: 10 ms, as
// the joins into a stretch, unless set lower (0 to 10 ms). The delay then differs from the one
// counted while stretching by at most that much (it is known: `held_frames` says it), where
// the library's pieces drift a few ms either side of their place: on speech 3 ms, up to
// 10 ms on noise. Less lands it nearer at a join whose sounds line up less well (0: exactly
// where it stands, and a tone may dip in the crossfade).
void set_landing(timestretch& ts, int64_t frames);

// True while the input passes bit for bit (at 1:1 and not in a join).
bool at_one(const timestretch& ts);

// The frames taken but not yet given back, as input frames: the audio it adds to the delay.
// At 1:1 this stays as it is; while stretching it grows at 1 - tempo a frame out.
int64_t held_frames(const timestretch& ts);

// The frames it needs to have taken ahead of what it gives, for a join and while stretching:
// the caller must be able to feed that much more than it takes out, or the output falls short.
int64_t lead_frames(const timestretch& ts);

// Takes up to `frames` frames of each lane's 24-bit samples (`in`, one span a lane, each
// `frames` * 3 bytes; fewer when it holds all it can) and gives at most `room` frames of each
// lane (`out`, each `room` * 3 bytes): the frames taken and the frames made. What it cannot
// give yet stays inside; a call with no input gives what it holds at 1:1.
struct stretch_step {
    int64_t taken = 0;
    int64_t made = 0;
};
stretch_step timestretch_step(timestretch& ts, std::span<const std::span<const uint8_t>> in,
                              int64_t frames, std::span<const std::span<uint8_t>> out,
                              int64_t room);

// At 1:1: forgets the frames it holds ahead of the next frame out and gives their count, for a
// caller that would rather feed them again (from its ring, where they still are) than have
// them held. Gives 0 and forgets nothing in any other phase.
int64_t give_back(timestretch& ts);

// Drops all it holds and the library's state, back to 1:1 with nothing held: after a cut.
void clear_timestretch(timestretch& ts);

}  // namespace livedelay
