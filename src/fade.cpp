#include "fade.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "samples.hpp"

namespace livedelay {

double fade_weight(int64_t i, int64_t frames) {
    // The middle of each frame, so that a fade in and a fade out of one length add up to 1.
    return 0.5 -
           0.5 * std::cos(M_PI * (static_cast<double>(i) + 0.5) / static_cast<double>(frames));
}

void create_crossfade(crossfade& fade, int lanes, int64_t fade_frames) {
    fade = crossfade{};
    fade.fade_frames = fade_frames;
    fade.lanes = lanes;
    for (int l = 0; l < lanes; ++l) {
        fade.old_stream[l].resize(static_cast<size_t>(fade_frames * sample_bytes));
        fade.cut_stream[l].resize(static_cast<size_t>(fade_frames * sample_bytes));
    }
}

bool joining(const crossfade& fade) {
    return fade.joined_frames >= 0;
}

void begin_crossfade(crossfade& fade, const delay_ring& ring, bool follow_capture) {
    if (fade.fade_frames == 0) {
        return;
    }
    const int64_t held = std::min(fade.fade_frames, ring.delay_offset / sample_bytes);
    for (int l = 0; l < fade.lanes; ++l) {
        uint8_t* old = fade.old_stream[l].data();
        copy_ahead(ring, static_cast<lane_id>(l), 0,
                   {old, static_cast<size_t>(held * sample_bytes)});
        std::memset(old + held * sample_bytes, 0,
                    static_cast<size_t>((fade.fade_frames - held) * sample_bytes));
    }
    fade.old_frames = held;
    fade.old_wanted_frames = follow_capture ? fade.fade_frames : held;
    fade.joined_frames = 0;
}

void fade_in_after(crossfade& fade, int64_t frames) {
    if (fade.fade_frames > 0) {
        fade.fade_in_ahead_frames = std::max(fade.fade_in_ahead_frames, frames);
    }
}

void note_captured(crossfade& fade, std::span<const std::span<const uint8_t>> lanes,
                   int64_t frames) {
    const int64_t taken = std::min(frames, fade.old_wanted_frames - fade.old_frames);
    if (!joining(fade) || taken <= 0) {
        return;
    }
    for (int l = 0; l < fade.lanes; ++l) {
        std::memcpy(fade.old_stream[l].data() + fade.old_frames * sample_bytes, lanes[l].data(),
                    static_cast<size_t>(taken * sample_bytes));
    }
    fade.old_frames += taken;
}

void fade_routed(const crossfade& fade, lane_id id, std::span<uint8_t> destination) {
    const auto frames = static_cast<int64_t>(destination.size()) / sample_bytes;
    const int64_t f = fade.fade_frames;
    if (joining(fade)) {
        const uint8_t* old = fade.old_stream[id].data();
        for (int64_t k = 0; k < frames && fade.joined_frames + k < f; ++k) {
            const int64_t j = fade.joined_frames + k;
            const double w = fade_weight(j, f);
            uint8_t* sample = destination.data() + k * sample_bytes;
            const double from = j < fade.old_frames ? sample_at(old + j * sample_bytes) : 0;
            put_sample(sample,
                       static_cast<int32_t>(std::lround((1 - w) * from + w * sample_at(sample))));
        }
    }
    if (fade.fade_in_ahead_frames >= 0) {
        const int64_t start = fade.fade_in_ahead_frames;
        for (int64_t k = std::max<int64_t>(0, start); k < frames && k < start + f; ++k) {
            uint8_t* sample = destination.data() + k * sample_bytes;
            const double w = fade_weight(k - start, f);
            put_sample(sample, static_cast<int32_t>(std::lround(w * sample_at(sample))));
        }
    }
}

void note_played(crossfade& fade, int64_t frames) {
    if (joining(fade)) {
        fade.joined_frames += frames;
        if (fade.joined_frames >= fade.fade_frames) {
            fade.joined_frames = -1;
        }
    }
    note_moved(fade, frames);
}

void note_moved(crossfade& fade, int64_t frames) {
    if (fade.fade_in_ahead_frames < 0) {
        return;
    }
    fade.fade_in_ahead_frames -= frames;
    if (fade.fade_in_ahead_frames + fade.fade_frames <= 0) {
        fade.fade_in_ahead_frames = -1;
    }
}

void skip_faded(delay_ring& ring, crossfade& fade, int64_t frames) {
    begin_crossfade(fade, ring, true);
    skip_output(ring, frames * sample_bytes);
    note_moved(fade, frames);
}

void pause_faded(delay_ring& ring, crossfade& fade, int64_t frames) {
    begin_crossfade(fade, ring, true);
    const int64_t faded_out = std::min(fade.fade_frames, ring.delay_offset / sample_bytes);
    skip_output(ring, faded_out * sample_bytes);
    pause_output(ring, (frames + faded_out) * sample_bytes);
    note_moved(fade, -frames);
    fade_in_after(fade, frames + faded_out);
}

void cut_faded(delay_ring& ring, crossfade& fade, int64_t frames) {
    const int64_t kept = ring.delay_offset / sample_bytes - frames;
    fade.cut_frames = std::min(fade.fade_frames, frames);
    for (int l = 0; l < fade.lanes; ++l) {
        copy_ahead(
            ring, static_cast<lane_id>(l), kept * sample_bytes,
            {fade.cut_stream[l].data(), static_cast<size_t>(fade.cut_frames * sample_bytes)});
    }
    cut_newest(ring, frames * sample_bytes);
    fade.joint_done_frames = fade.fade_frames > 0 ? 0 : -1;
}

void note_stored(crossfade& fade, delay_ring& ring, int64_t frames) {
    if (fade.joint_done_frames < 0) {
        return;
    }
    const int64_t f = fade.fade_frames;
    // What this pass stored begins at the delay ahead of the position, less its own length.
    const int64_t stored_at = ring.ring_position + ring.delay_offset;
    for (int l = 0; l < fade.lanes; ++l) {
        uint8_t* output = ring.lanes[l].output_ring.get();
        const uint8_t* cut = fade.cut_stream[l].data();
        for (int64_t k = 0; k < frames && fade.joint_done_frames + k < f; ++k) {
            const int64_t j = fade.joint_done_frames + k;
            // A sample may straddle the ring's end: its bytes are taken one by one.
            uint8_t* at[3];
            uint8_t bytes[3];
            for (int b = 0; b < 3; ++b) {
                at[b] = output + (stored_at + k * sample_bytes + b) % ring.ring_size;
                bytes[b] = *at[b];
            }
            const double w = fade_weight(j, f);
            const double from = j < fade.cut_frames ? sample_at(cut + j * sample_bytes) : 0;
            put_sample(bytes,
                       static_cast<int32_t>(std::lround((1 - w) * from + w * sample_at(bytes))));
            for (int b = 0; b < 3; ++b) {
                *at[b] = bytes[b];
            }
        }
    }
    fade.joint_done_frames += frames;
    if (fade.joint_done_frames >= f) {
        fade.joint_done_frames = -1;
    }
}

}  // namespace livedelay
