// What a run shows while it goes. Off a terminal: the counter of whole seconds played, as it
// always was. On a terminal: the status line in its place, redrawn at most four times a
// second: the counter, the delay asked and the delay held end to end, a peak meter per
// direction, the drift once it is measured, and the xruns so far. On SIGUSR1, the same fields
// once, as a plain line on standard error.
#pragma once

#include <cstdint>

#include "status.hpp"
#include "transfer.hpp"

namespace livedelay {

// Whether the status line replaces the counter (standard output is a terminal), and whether
// it may draw with Unicode block elements.
void start_progress(transfer_state& t, bool status_line, bool utf8);

// The counter: shown as each pass begins, so it never skips a second.
void show_progress(transfer_state& t);

// The meters take what a pass is to capture from `source` (at its position, before the pass),
// and what it routed out to playback (at the playback area's position, after the pass).
void meter_captured(transfer_state& t, const staging_area& source, int64_t frames);
void meter_played(transfer_state& t, int64_t frames);

// Redraws the status line when one is due, and writes the status once when it was asked for.
void show_status(transfer_state& t, int64_t now_ns);

}  // namespace livedelay
