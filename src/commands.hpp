// Live changes of the delay, as standard input asks them, carried out through the rules of
// the delay and said on standard output; and the line that says a delay asked is shorter than
// the device allows.
#pragma once

#include <cstdint>

#include "transfer.hpp"

namespace livedelay {

// Takes what standard input asks as one change: a dump, then the delay asked last. A join
// under way is not cut short: the input waits for it.
void take_commands(transfer_state& t);

// Says the delay asked now, in the settings report's form.
void say_delay(double seconds);

// Says once, on standard error, that delays shorter than `shortest_frames` play at it.
void say_shortest(transfer_state& t, int64_t shortest_frames);

}  // namespace livedelay
