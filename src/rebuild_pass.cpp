#include "rebuild_pass.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "delay_rules.hpp"

namespace livedelay {

namespace {

// Feeds the stretcher from the rings, from `taken` frames past the position on, until it has
// made `frames` frames for each lane; gives what it took. It is fed no more than it needs
// ahead of what it makes, so that the delay it builds stays in the rings, where a dump can
// cut it.
int64_t stretch_from_rings(transfer_state& t, int64_t frames, int64_t ahead_frames) {
    rebuild_state& r = t.rebuild;
    const int lanes = r.stretch.lanes;
    int64_t taken = 0;
    int64_t made = 0;
    bool starved = false;
    while (made < frames) {
        const auto needed = static_cast<int64_t>(
            std::ceil(static_cast<double>(lead_frames(r.stretch)) +
                      static_cast<double>(frames - made) * std::max(1.0, r.stretch.tempo_wanted)));
        const int64_t wanted = starved ? chunk_frames : needed - held_frames(r.stretch);
        const int64_t feed =
            std::clamp<int64_t>(std::min(ahead_frames - taken, wanted), 0, chunk_frames);
        std::span<const uint8_t> in[2];
        std::span<uint8_t> out[2];
        for (int l = 0; l < lanes; ++l) {
            const std::span<uint8_t> lane_in(r.lane_in[l].data(),
                                             static_cast<size_t>(feed * sample_bytes));
            copy_ahead(t.ring, static_cast<lane_id>(l), taken * sample_bytes, lane_in);
            in[l] = lane_in;
            out[l] = {r.lane_out[l].data() + made * sample_bytes,
                      static_cast<size_t>((frames - made) * sample_bytes)};
        }
        const stretch_step step = timestretch_step(r.stretch, std::span(in, lanes), feed,
                                                   std::span(out, lanes), frames - made);
        taken += step.taken;
        made += step.made;
        if (step.taken == 0 && step.made == 0) {
            if (starved || feed == chunk_frames || taken >= ahead_frames) {
                break;
            }
            starved = true;  // it wants more than counted: a chunk at a time from here
        }
    }
    // What it could not make yet plays as silence.
    for (int l = 0; l < lanes; ++l) {
        std::memset(r.lane_out[l].data() + made * sample_bytes, 0,
                    static_cast<size_t>((frames - made) * sample_bytes));
    }
    return taken;
}

}  // namespace

void rebuild_pass(transfer_state& t, staging_area& source, int64_t frames) {
    const int64_t held_before = held_delay_frames(t);
    const run_settings& settings = *t.settings;
    const int64_t n = frames * sample_bytes;
    route_in(t.ring, source, settings, n);
    const int lanes = lane_count(settings.mode);
    std::span<const uint8_t> captured[2];
    for (int l = 0; l < lanes; ++l) {
        captured[l] = channel_bytes(source, settings.input_channel + l, frames);
    }
    note_captured(t.fade, std::span(captured, lanes), frames);
    advance_staging(source, frames);
    for (int l = 0; l < lanes; ++l) {
        delay_copy(t.ring, static_cast<lane_id>(l), n);
    }
    note_stored(t.fade, t.ring, frames);
    // The rings hold their delay ahead of the position, and what this pass stored after it.
    const int64_t taken = stretch_from_rings(t, frames, ring_delay_frames(t) + frames);
    const output_routes routes = routes_out(settings);
    for (int r = 0; r < routes.count; ++r) {
        const std::span<uint8_t> destination =
            channel_bytes(t.playback_area, routes.route[r].channel, frames);
        std::memcpy(destination.data(), t.rebuild.lane_out[routes.route[r].lane].data(),
                    static_cast<size_t>(n));
        fade_routed(t.fade, routes.route[r].lane, destination);
    }
    note_played(t.fade, frames);
    advance(t.ring, n);
    note_stretched(t, frames, taken, held_before);
}

}  // namespace livedelay
