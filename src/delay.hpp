// The delay engine's pass and loop. One pass moves a chunk from capture through the rings to
// playback; the transfer loop wakes when the streams have work and runs passes until the frame
// budget is played or a stop is requested. What the loop works on is in src/transfer.hpp, the
// rings and staging areas in src/delay_ring.hpp, what sets the delay the rings hold in
// src/delay_rules.hpp, and the recovery of a stream in src/recovery.hpp.
#pragma once

#include <cstdint>

#include "transfer.hpp"

namespace livedelay {

// One pass of `frames` frames read into the capture area at its position: routed into the
// lanes, copied one delay on, routed out into the playback area at its position (unless
// `play` is false: then the delayed frames of the pass go unheard), and the ring moved on.
// A join under way in `fade` is heard in what is routed out. The playback area's position
// moves only when its frames are written.
void delay_pass(delay_ring& ring, crossfade& fade, staging_area& capture, staging_area& playback,
                const run_settings& settings, int64_t frames, bool play);

// Moves audio from capture through the rings to playback until the frame budget is played
// or a stop is requested. Capture must be started; playback is started here, with silence
// queued ahead of the first frames. Gives 0, or ALSA's code after the message that ends the
// run.
int transfer_loop(transfer_state& t);

}  // namespace livedelay
