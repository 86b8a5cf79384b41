// The delay heard over a long run, judged in windows of 5 ms as the run plays: for runs whose
// markers went through a resampler (two clocks), where single frames say little.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "support/fake_card.hpp"

// The delay heard over each 5 ms (the median of its frames), less `delay`, from playback-clock
// frame `from` on, but for the spans `excused` (playback-clock frames, from and to): the first
// window's, and the lowest and highest of all. Frames are taken in playing order, a run's
// whole or a piece at a time.
struct delay_spread {
    double start = 0;
    double lowest = 0;
    double highest = 0;
    size_t windows = 0;
    double lowest_at_s = 0;  // where, in playback-clock seconds
    double highest_at_s = 0;
};

struct delay_windows {
    card_clocks clocks;
    double delay = 0;
    int64_t from = 0;
    std::vector<std::pair<int64_t, int64_t>> excused{};
    delay_spread spread{};
    // Frames of silence between two heard, where the second is not in an excused span.
    int64_t silent_frames = 0;
    std::vector<double> delays{};
    int64_t window_start = -1;
    int64_t heard_until = -1;  // the last frame heard
};

// Takes the next frames heard, in playing order.
void take_heard(delay_windows& w, const std::vector<heard_frame>& frames);
// Closes the window open, at the end of the run.
void close_window(delay_windows& w);
