#include "transfer.hpp"

#include <cerrno>

#include "monotonic.hpp"

namespace livedelay {

namespace {

// A change of the delay joins the old and the new sound over this long.
constexpr int64_t change_fade_ns = 5 * ns_per_ms;

}  // namespace

int create_transfer(transfer_state& t, const run_settings& settings, const run_timing& timing,
                    int32_t playback_channels, int32_t capture_channels,
                    const rebuild_options& options) {
    t.settings = &settings;
    t.timing = timing;
    t.delay_seconds = static_cast<double>(settings.delay_seconds);
    // The rings hold the delay asked and a second; a live change that needs more lays them out
    // again.
    run_settings at_rate = settings;
    at_rate.sample_rate = static_cast<uint32_t>(timing.rate);
    if (create_staging_area(t.playback_area, playback_channels) < 0 ||
        create_staging_area(t.capture_area, capture_channels) < 0 ||
        create_staging_area(t.silent_area, capture_channels) < 0 ||
        create_delay_ring(t.ring, ring_size_for(at_rate), delay_offset_for(at_rate)) < 0) {
        return -ENOMEM;
    }
    t.silence = zeroed_block(chunk_bytes);
    if (!t.silence) {
        return -ENOMEM;
    }
    t.silence_table.assign(static_cast<size_t>(t.playback_area.region_count), t.silence.get());
    create_crossfade(t.fade, lane_count(settings.mode),
                     change_fade_ns * timing.rate / ns_per_second);
    t.latency = start_latency(plan_latency(static_cast<double>(settings.delay_seconds), timing.rate,
                                           timing.period_frames));
    t.drift = start_drift(timing.rate);
    t.rebuild.options = options;
    const int lanes = lane_count(settings.mode);
    // At a rate the stretcher does not take, a dump cuts and the delay comes back as silence.
    t.rebuild.available =
        create_timestretch(t.rebuild.stretch, lanes, static_cast<int>(timing.rate)) == 0;
    if (t.rebuild.available) {
        set_landing(t.rebuild.stretch, timing.rate / 1000);
    }
    for (int l = 0; l < lanes; ++l) {
        t.rebuild.lane_in[l].resize(static_cast<size_t>(chunk_bytes));
        t.rebuild.lane_out[l].resize(static_cast<size_t>(chunk_bytes));
    }
    t.phase = playback_phase::first_capture;
    t.phase_since_ns = now_ns(t.clock);
    return 0;
}

bool holds_delay(const transfer_state& t) {
    return holds_latency(t.latency);
}

bool running_held(const transfer_state& t) {
    return t.phase == playback_phase::running && holds_delay(t);
}

void enter_phase(transfer_state& t, playback_phase phase) {
    if (phase == playback_phase::skipping) {
        advance_staging(t.playback_area, t.unwritten_frames);
        t.unwritten_frames = 0;
    }
    t.phase = phase;
    t.phase_since_ns = now_ns(t.clock);
    t.phase_since_frames_read = t.frames_read;
}

int64_t ring_delay_frames(const transfer_state& t) {
    return t.ring.delay_offset / sample_bytes;
}

bool stretcher_in_path(const rebuild_state& r) {
    return r.phase == rebuild_phase::stretching || r.phase == rebuild_phase::returning;
}

int64_t held_delay_frames(const transfer_state& t) {
    return ring_delay_frames(t) +
           (stretcher_in_path(t.rebuild) ? held_frames(t.rebuild.stretch) : 0);
}

}  // namespace livedelay
