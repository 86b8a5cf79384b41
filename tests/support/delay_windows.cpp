#include "support/delay_windows.hpp"

#include <algorithm>
#include <cmath>

namespace {

// Resampled markers are no longer whole frames, and where a marker's 20 bits wrap the
// resampler rings between two far-apart values: such frames say nothing of the delay.
bool near_a_wrap(const heard_frame& f, const card_clocks& clocks, double delay) {
    constexpr int64_t span = int64_t{1} << 20;
    const double captured = (clock_seconds(f.played, clocks.rate, clocks.playback_ppm) - delay) *
                            clocks.rate * (1 + clocks.capture_ppm / 1e6);
    const auto low = static_cast<int64_t>(std::llround(captured)) & (span - 1);
    return low < 256 || low > span - 256;
}

}  // namespace

void close_window(delay_windows& w) {
    if (w.delays.empty()) {
        return;
    }
    std::vector<double>& delays = w.delays;
    std::nth_element(delays.begin(), delays.begin() + delays.size() / 2, delays.end());
    const double median = delays[delays.size() / 2] - w.delay;
    const double at_s = static_cast<double>(w.window_start) / w.clocks.rate;
    delay_spread& d = w.spread;
    d.start = d.windows == 0 ? median : d.start;
    if (d.windows == 0 || median < d.lowest) {
        d.lowest = median;
        d.lowest_at_s = at_s;
    }
    if (d.windows == 0 || median > d.highest) {
        d.highest = median;
        d.highest_at_s = at_s;
    }
    ++d.windows;
    delays.clear();
}

void take_heard(delay_windows& w, const std::vector<heard_frame>& frames) {
    const int64_t window = w.clocks.rate / 200;
    const auto excused = [&](int64_t frame) {
        return std::any_of(w.excused.begin(), w.excused.end(), [&](const auto& span) {
            return frame >= span.first && frame < span.second;
        });
    };
    for (const heard_frame& f : frames) {
        const bool in_excused = excused(f.played);
        if (w.heard_until >= 0 && !in_excused) {
            w.silent_frames += f.played - w.heard_until - 1;
        }
        w.heard_until = f.played;
        if (f.played < w.from || in_excused || near_a_wrap(f, w.clocks, w.delay)) {
            continue;
        }
        if (f.played >= w.window_start + window) {
            close_window(w);
            w.window_start = f.played;
        }
        w.delays.push_back(f.delay);
    }
}
