// The one way back for a stream after an error that a transfer, a wait or a look at its state
// reports: the marker of an xrun (RX for capture, PX for playback), the stream prepared,
// resumed or started again, and what the delay needs afterwards. The markers are printed here
// and nowhere else.
#pragma once

#include "latency.hpp"
#include "transfer.hpp"

namespace livedelay {

enum class stream_side { capture, playback };

// Notes `err` from the stream of `side`: the rest of the wake leaves that stream alone, and
// recover_streams brings it back as the wake ends. The first error of a wake is the one kept.
void note_stream_error(transfer_state& t, stream_side side, int err);

// Whether a stream reported an error during this wake.
bool stream_failed(const transfer_state& t);

// Brings back each stream that reported an error during the wake or, when `look_at_states`,
// that stopped without a transfer to say so. A suspended stream gets a while to wake before it
// is prepared afresh. After capture, the audio it lost is owed as silence, heard one delay
// later where it was lost; playback that stopped, where the delay is held, skips what capture
// holds, which is now too late to play. Gives 0, or the code that ends the run.
int recover_streams(transfer_state& t, bool look_at_states);

// Capture lost audio without an xrun to say so (a server that ran on while the program was
// stopped): marked, and silence takes its place among what the rings hold. `frames_read` is
// what was just read, which the rings do not hold yet.
void recover_capture_gap(transfer_state& t, const capture_gap& gap, int64_t frames_read);

// Stops playback that no longer plays what it is given, to be recovered as from an underrun.
void restart_playback(transfer_state& t);

}  // namespace livedelay
