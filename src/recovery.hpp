// The one way back for a stream after an error that a transfer, a wait or a look at its state
// reports: the marker of an xrun (RX for capture, PX for playback), the stream prepared,
// resumed or started again, and what the delay needs afterwards. The markers are printed here
// and nowhere else.
#pragma once

#include "latency.hpp"
#include "transfer.hpp"

namespace livedelay {

enum class stream_side { capture, playback };

enum class recovery {
    recovered,  // the stream can run again
    resuming,   // a suspended stream still waking: ask again later
    fatal,      // the run ends, with the code in `err` after its message
};

// Brings the stream of `side` back from `err`. A suspended stream gets a while to wake before
// it is prepared afresh. After capture, the audio it lost is owed as silence, heard one delay
// later where it was lost; playback that stopped, where the delay is held, skips what capture
// holds, which is now too late to play.
recovery recover(transfer_state& t, stream_side side, int& err);

// Capture lost audio without an xrun to say so (a server that ran on while the program was
// stopped): marked, and silence takes its place among what the rings hold. `frames_read` is
// what was just read, which the rings do not hold yet.
void recover_capture_gap(transfer_state& t, const capture_gap& gap, int64_t frames_read);

// Stops playback that no longer plays what it is given, and recovers it as from an underrun.
recovery restart_playback(transfer_state& t, int& err);

}  // namespace livedelay
