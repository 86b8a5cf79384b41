#include "stretch.hpp"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>

#include "samples.hpp"

namespace livedelay {

namespace {

constexpr int taps = 32;
constexpr int half_taps = taps / 2;  // the frames it looks ahead, and behind
// The fraction between two input frames in steps; between two steps the taps are interpolated.
constexpr int fraction_steps = 256;
constexpr int row_floats = 2 * taps;
// Passes up to 0.43 of the rate (19 kHz at 44 100 Hz) and stops from 0.57 on, with the
// window's 13 for about 130 dB below the band: no image of the band can fold back into it.
constexpr double cutoff_per_frame = 0.43;
constexpr double kaiser_beta = 13.0;
constexpr int64_t kept_capacity_frames = 4096 + taps;

// The modified Bessel function of the first kind, order 0, by its power series.
double bessel_i0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 64 && term > 1e-17 * sum; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
    return sum;
}

// The filter's response `frames` input frames away from the frame out.
double windowed_sinc(double frames) {
    const double x = 2.0 * std::numbers::pi * cutoff_per_frame * frames;
    const double sinc = x == 0.0 ? 1.0 : std::sin(x) / x;
    const double edge = frames / half_taps;
    const double window =
        std::abs(edge) >= 1.0 ? 0.0 : bessel_i0(kaiser_beta * std::sqrt(1.0 - edge * edge));
    return sinc * window;
}

// Tap k reads input frame (frame - half_taps + 1 + k) for a frame out at (frame + fraction):
// each row of taps is scaled to a gain of exactly one, so a steady level comes out unchanged.
void filter_row(int step, double (&row)[taps]) {
    const double fraction = static_cast<double>(step) / fraction_steps;
    double sum = 0.0;
    for (int k = 0; k < taps; ++k) {
        sum += row[k] = windowed_sinc(fraction + half_taps - 1 - k);
    }
    for (double& tap : row) {
        tap /= sum;
    }
}

void make_filter(float* filter) {
    double row[taps];
    double next_row[taps];
    filter_row(0, next_row);
    for (int step = 0; step < fraction_steps; ++step) {
        std::copy(std::begin(next_row), std::end(next_row), std::begin(row));
        filter_row(step + 1, next_row);
        for (int k = 0; k < taps; ++k) {
            filter[step * row_floats + k] = static_cast<float>(row[k]);
            filter[step * row_floats + taps + k] = static_cast<float>(next_row[k] - row[k]);
        }
    }
}

// Everything given to it: what it keeps runs up to the last frame given.
int64_t frames_in(const stretcher& s) {
    return s.kept_first + s.kept_frames;
}

float* kept_lane(stretcher& s, int lane) {
    return s.kept.get() + lane * kept_capacity_frames;
}

// Drops what no frame out will read again, keeping at least a filter's length.
void forget_read(stretcher& s) {
    const int64_t needed_from = std::min(s.next_frame - half_taps + 1, frames_in(s) - taps);
    const int64_t drop = std::clamp<int64_t>(needed_from - s.kept_first, 0, s.kept_frames);
    if (drop == 0) {
        return;
    }
    s.kept_frames -= drop;
    s.kept_first += drop;
    for (int l = 0; l < s.lanes; ++l) {
        float* lane = kept_lane(s, l);
        std::copy(lane + drop, lane + drop + s.kept_frames, lane);
    }
}

// Keeps `frames` frames of each lane from frame `from` of `in`; they must fit.
void keep(stretcher& s, std::span<const std::span<const uint8_t>> in, int64_t from,
          int64_t frames) {
    assert(s.kept_frames + frames <= kept_capacity_frames);
    for (int l = 0; l < s.lanes; ++l) {
        float* to = kept_lane(s, l) + s.kept_frames;
        const uint8_t* bytes = in[l].data() + from * sample_bytes;
        for (int64_t f = 0; f < frames; ++f) {
            to[f] = static_cast<float>(sample_at(bytes + f * sample_bytes));
        }
    }
    s.kept_frames += frames;
}

// Four floats in one register, for the compiler's vector instructions.
using float4 = float __attribute__((vector_size(16)));

float4 load4(const float* at) {
    float4 v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

// The frame out at the stretcher's place, into frame `at` of each lane of `out`.
void make_frame(stretcher& s, std::span<const std::span<uint8_t>> out, int64_t at) {
    const double place = s.next_fraction * fraction_steps;
    const int step = static_cast<int>(place);
    const float between = static_cast<float>(place - step);
    const float* row = s.filter.get() + step * row_floats;
    float4 taps_now[taps / 4];
    for (int k = 0; k < taps / 4; ++k) {
        taps_now[k] = load4(row + 4 * k) + between * load4(row + taps + 4 * k);
    }
    const int64_t first = s.next_frame - half_taps + 1 - s.kept_first;
    for (int l = 0; l < s.lanes; ++l) {
        const float* frames = kept_lane(s, l) + first;
        float4 sums = taps_now[0] * load4(frames);
        for (int k = 1; k < taps / 4; ++k) {
            sums += taps_now[k] * load4(frames + 4 * k);
        }
        const float sum = (sums[0] + sums[2]) + (sums[1] + sums[3]);
        const float clamped = std::clamp(sum, -8388608.0f, 8388607.0f);
        put_sample(out[l].data() + at * sample_bytes,
                   static_cast<int32_t>(clamped + (clamped < 0 ? -0.5f : 0.5f)));
    }
}

}  // namespace

int create_stretcher(stretcher& s, int lanes) {
    stretcher fresh;
    fresh.filter.reset(new (std::nothrow) float[fraction_steps * row_floats]);
    fresh.kept.reset(new (std::nothrow) float[lanes * kept_capacity_frames]());
    if (!fresh.filter || !fresh.kept) {
        return -ENOMEM;
    }
    make_filter(fresh.filter.get());
    fresh.lanes = lanes;
    // A filter's length of silence before the first frame in.
    fresh.kept_first = -taps;
    fresh.kept_frames = taps;
    s = std::move(fresh);
    return 0;
}

int64_t held_frames(const stretcher& s) {
    return frames_in(s) - s.next_frame - std::llround(s.next_fraction);
}

void warm_up(stretcher& s, std::span<const std::span<const uint8_t>> history, int64_t frames) {
    // Only the last filter's length of it is ever read.
    const int64_t skipped = std::max<int64_t>(0, frames - taps);
    if (skipped > 0) {
        s.kept_first += s.kept_frames + skipped;
        s.kept_frames = 0;
    } else {
        s.next_frame = frames_in(s);
        forget_read(s);
    }
    keep(s, history, skipped, frames - skipped);
    s.next_frame = frames_in(s);
    s.next_fraction = 0.0;
}

stretched stretch(stretcher& s, std::span<const std::span<const uint8_t>> in, int64_t frames,
                  std::span<const std::span<uint8_t>> out, int64_t room, double ratio) {
    assert(static_cast<int>(in.size()) == s.lanes && static_cast<int>(out.size()) == s.lanes);
    stretched done;
    if (!(ratio > 0.5 && ratio < 2.0)) {
        return done;
    }
    const double input_per_output = 1.0 / ratio;
    while (true) {
        while (done.made < room && s.next_frame + half_taps < frames_in(s)) {
            make_frame(s, out, done.made++);
            s.next_fraction += input_per_output;
            const int64_t whole = static_cast<int64_t>(s.next_fraction);
            s.next_frame += whole;
            s.next_fraction -= static_cast<double>(whole);
        }
        if (done.made == room || done.taken == frames) {
            return done;
        }
        // Only what the rest of the room needs: what is taken and not yet heard stays small.
        const double last_place = static_cast<double>(s.next_frame) + s.next_fraction +
                                  static_cast<double>(room - done.made - 1) * input_per_output;
        const int64_t needed =
            static_cast<int64_t>(std::floor(last_place)) + half_taps + 1 - frames_in(s);
        forget_read(s);
        const int64_t piece =
            std::min({needed, frames - done.taken, kept_capacity_frames - s.kept_frames});
        keep(s, in, done.taken, piece);
        done.taken += piece;
    }
}

}  // namespace livedelay
