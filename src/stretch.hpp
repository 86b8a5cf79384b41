// Resampling of the routed signals by a ratio that may change from one call to the next: what
// corrects the drift between two clocks. A windowed-sinc interpolator: each frame out is read
// from the 32 frames in around its place in the input, through a filter that passes all but
// the top few per cent of the band; the place moves on by 1 / ratio input frames for each
// frame out, so a frame in comes out where it went in, scaled by the ratio, and the stretcher
// holds back the 16 frames it needs to look ahead.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace livedelay {

struct stretcher {
    int lanes = 0;
    std::unique_ptr<float[]> filter;  // a row per step of the fraction: taps, then their change
    std::unique_ptr<float[]> kept;    // the input still needed, a lane after another
    int64_t kept_first = 0;           // the input frame kept[0] of each lane holds
    int64_t kept_frames = 0;          // up to the last frame given
    int64_t next_frame = 0;           // where the next frame out is read: this input frame
    double next_fraction = 0.0;       // and this far on towards the following one
};

// Gives -ENOMEM when the memory cannot be had.
int create_stretcher(stretcher& s, int lanes);

// The frames given but not yet given back, as frames in: 16 while it runs.
int64_t held_frames(const stretcher& s);

// Takes the frames that went out just before the stretcher takes over (`history`, one span a
// lane, `frames` long), so that it starts from the signal rather than from silence: the next
// frame out is the first one given after them, and follows on without a seam.
void warm_up(stretcher& s, std::span<const std::span<const uint8_t>> history, int64_t frames);

// Converts up to `frames` frames of each lane's 24-bit samples (`in`, one span a lane, each
// `frames` * 3 bytes) into at most `room` frames of each lane (`out`, each `room` * 3 bytes),
// at `ratio` frames out for each frame in. Takes no more than those frames need. Gives the
// frames taken and the frames made.
struct stretched {
    int64_t taken = 0;
    int64_t made = 0;
};
stretched stretch(stretcher& s, std::span<const std::span<const uint8_t>> in, int64_t frames,
                  std::span<const std::span<uint8_t>> out, int64_t room, double ratio);

}  // namespace livedelay
