// The pass while the delay is rebuilt: capture goes into the rings as in any pass, and what
// plays comes out of them through the time-stretcher, which takes as much as it needs to make
// the frames played; the rings give up only that.
#pragma once

#include <cstdint>

#include "transfer.hpp"

namespace livedelay {

// One pass of `frames` frames read into `source` at its position, played through the
// stretcher into the playback area at its position.
void rebuild_pass(transfer_state& t, staging_area& source, int64_t frames);

}  // namespace livedelay
