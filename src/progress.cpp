#include "progress.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "output.hpp"
#include "signals.hpp"

namespace livedelay {

void start_progress(transfer_state& t, bool status_line, bool utf8) {
    t.progress.status_line = status_line;
    t.progress.utf8 = utf8;
    create_peak_meter(t.progress.in, t.timing.rate);
    create_peak_meter(t.progress.out, t.timing.rate);
}

void show_progress(transfer_state& t) {
    // The last second begun before the time-out is the last shown, however short the passes.
    if (t.progress.status_line || t.frames_played >= t.timing.frame_budget) {
        return;
    }
    const auto seconds = static_cast<float>(t.frames_played / t.timing.rate);
    if (seconds - t.shown_seconds >= 1.0f) {
        std::printf("\r%.0f sec", static_cast<double>(seconds));
        std::fflush(stdout);
        t.shown_seconds = seconds;
    }
}

void meter_captured(transfer_state& t, const staging_area& source, int64_t frames) {
    const int lanes = lane_count(t.settings->mode);
    std::span<const uint8_t> in[2];
    for (int l = 0; l < lanes; ++l) {
        in[l] = channel_bytes(source, t.settings->input_channel + l, frames);
    }
    meter_samples(t.progress.in, std::span(in, lanes), frames);
}

void meter_played(transfer_state& t, int64_t frames) {
    const output_routes routes = routes_out(*t.settings);
    // Both sides of a stereo pair; one of the two copies of a mono lane sent to both sides.
    const int sides = t.settings->mode == routing_mode::stereo_to_stereo ? 2 : 1;
    std::span<const uint8_t> out[2];
    for (int r = 0; r < sides; ++r) {
        out[r] = channel_bytes(t.playback_area, routes.route[r].channel, frames);
    }
    meter_samples(t.progress.out, std::span(out, sides), frames);
}

namespace {

status_fields fields_of(const transfer_state& t) {
    const auto rate = static_cast<double>(t.timing.rate);
    status_fields f;
    f.counter_seconds = static_cast<double>(t.frames_played / t.timing.rate);
    f.delay_asked_seconds = t.delay_seconds;
    // The delay held end to end, as the program measures it: the rings, and where it holds the
    // delay to a clock, the audio measured in the streams.
    if (!holds_delay(t)) {
        f.heard_known = true;
        f.delay_heard_seconds = static_cast<double>(ring_delay_frames(t)) / rate;
    } else if (t.latency.path.readings > 0) {
        f.heard_known = true;
        f.delay_heard_seconds =
            static_cast<double>(heard_delay_frames(t.latency, ring_delay_frames(t))) / rate;
    }
    f.in = read_meter(t.progress.in);
    f.out = read_meter(t.progress.out);
    const rebuild_state& r = t.rebuild;
    if (r.phase != rebuild_phase::none) {
        // The delay moves by the pace for every second played, after the joint is reached.
        const double pace = r.options.rate_percent / 100.0;
        const double short_by = static_cast<double>(std::abs(r.goal_frames - held_delay_frames(t)));
        const int64_t to_joint = r.phase == rebuild_phase::awaiting_joint ? r.joint_in_frames : 0;
        f.rebuild_known = true;
        f.rebuild_goal_seconds = t.delay_seconds;
        f.rebuild_left_seconds =
            (short_by / pace + static_cast<double>(std::max<int64_t>(0, to_joint))) / rate;
    }
    f.drift_known = t.drift.engaged;
    f.drift_ppm = t.drift.ppm;
    f.xruns = t.xruns;
    return f;
}

}  // namespace

void show_status(transfer_state& t, int64_t now_ns) {
    progress_state& p = t.progress;
    if (status_asked()) {
        end_status_line();
        build_status_report(p.text, fields_of(t));
        std::fwrite(p.text.bytes, 1, static_cast<size_t>(p.text.length_bytes), stderr);
        std::fflush(stderr);
    }
    // A terminal that has not taken the last line yet (stopped with Ctrl-S) gets no new one.
    if (!p.status_line || (t.output != nullptr && output_waiting(*t.output)) ||
        !redraw_due(p.pacing, now_ns)) {
        return;
    }
    int32_t columns = 80;
    terminal_columns(STDOUT_FILENO, columns);  // 80 when the width cannot be had
    build_status_line(p.text, fields_of(t), p.utf8, columns);
    std::fwrite(p.text.bytes, 1, static_cast<size_t>(p.text.length_bytes), stdout);
    std::fflush(stdout);
    status_line_drawn();
}

}  // namespace livedelay
