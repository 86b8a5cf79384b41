// Resampling of the routed signals by a ratio that may change from one call to the next: what
// corrects the drift between two clocks. libsamplerate's fastest sinc converter does it: its
// ratio may move smoothly while it runs, and it keeps the signal in time (a frame comes out
// where it went in, scaled by the ratio), holding back a few frames that it needs to look ahead.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

typedef struct SRC_STATE_tag SRC_STATE;

namespace livedelay {

struct src_deleter {
    void operator()(SRC_STATE* state) const;
};

struct stretcher {
    std::unique_ptr<SRC_STATE, src_deleter> state;
    int lanes = 0;
    std::vector<float> in;        // interleaved, one chunk
    std::vector<float> out;       // interleaved, one chunk
    int64_t frames_in = 0;        // everything given to it
    double frames_out_as_in = 0;  // everything it gave, each frame divided by its ratio
    int64_t to_drop = 0;          // frames it gives again that were heard before it started
};

// Gives -ENOMEM when the converter cannot be had.
int create_stretcher(stretcher& s, int lanes);

// The frames given but not yet given back, as frames in: a few dozen while it runs.
int64_t held_frames(const stretcher& s);

// Takes the frames that went out just before the stretcher takes over (`history`, one span a
// lane, `frames` long), so that it starts from the signal rather than from silence; what it
// would give of them again is dropped, and what it gives next follows on without a seam.
void warm_up(stretcher& s, std::span<const std::span<const uint8_t>> history, int64_t frames);

// Converts up to `frames` frames of each lane's 24-bit samples (`in`, one span a lane, each
// `frames` * 3 bytes) into at most `room` frames of each lane (`out`, each `room` * 3 bytes),
// at `ratio` frames out for each frame in. Gives the frames taken and the frames made.
struct stretched {
    int64_t taken = 0;
    int64_t made = 0;
};
stretched stretch(stretcher& s, std::span<const std::span<const uint8_t>> in, int64_t frames,
                  std::span<const std::span<uint8_t>> out, int64_t room, double ratio);

}  // namespace livedelay
