#include "stretch.hpp"

#include <samplerate.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cmath>

#include "samples.hpp"

namespace livedelay {

namespace {

constexpr int64_t stretch_chunk_frames = 1024;

}  // namespace

void src_deleter::operator()(SRC_STATE* state) const {
    src_delete(state);
}

int create_stretcher(stretcher& s, int lanes) {
    int error = 0;
    stretcher fresh;
    fresh.state.reset(src_new(SRC_SINC_FASTEST, lanes, &error));
    if (!fresh.state) {
        return -ENOMEM;
    }
    fresh.lanes = lanes;
    fresh.in.resize(static_cast<size_t>(stretch_chunk_frames * lanes));
    fresh.out.resize(static_cast<size_t>(stretch_chunk_frames * lanes));
    s = std::move(fresh);
    return 0;
}

int64_t held_frames(const stretcher& s) {
    return s.frames_in - std::llround(s.frames_out_as_in);
}

void warm_up(stretcher& s, std::span<const std::span<const uint8_t>> history, int64_t frames) {
    std::vector<uint8_t> scratch(static_cast<size_t>(stretch_chunk_frames * 3 * s.lanes));
    std::vector<std::span<uint8_t>> out;
    for (int l = 0; l < s.lanes; ++l) {
        out.emplace_back(scratch.data() + l * stretch_chunk_frames * 3,
                         static_cast<size_t>(stretch_chunk_frames * 3));
    }
    std::vector<std::span<const uint8_t>> in(history.begin(), history.end());
    while (frames > 0) {
        const stretched d = stretch(s, in, frames, out, stretch_chunk_frames, 1.0);
        if (d.taken == 0) {
            break;
        }
        for (std::span<const uint8_t>& lane : in) {
            lane = lane.subspan(static_cast<size_t>(d.taken * 3));
        }
        frames -= d.taken;
    }
    // What it holds back of the history comes out first once it runs: heard already.
    s.to_drop = held_frames(s);
}

stretched stretch(stretcher& s, std::span<const std::span<const uint8_t>> in, int64_t frames,
                  std::span<const std::span<uint8_t>> out, int64_t room, double ratio) {
    assert(static_cast<int>(in.size()) == s.lanes && static_cast<int>(out.size()) == s.lanes);
    stretched done;
    // A piece in, with its frames out bounded by the room: the converter takes what fits.
    const int64_t piece = std::min(frames, stretch_chunk_frames);
    for (int64_t f = 0; f < piece; ++f) {
        for (int l = 0; l < s.lanes; ++l) {
            s.in[static_cast<size_t>(f * s.lanes + l)] = sample_as_float(in[l].data() + f * 3);
        }
    }
    SRC_DATA data{};
    data.data_in = s.in.data();
    data.input_frames = piece;
    data.data_out = s.out.data();
    data.output_frames = std::min(room + s.to_drop, stretch_chunk_frames);
    data.src_ratio = ratio;
    if (src_process(s.state.get(), &data) != 0) {
        return done;
    }
    const int64_t dropped = std::min<int64_t>(s.to_drop, data.output_frames_gen);
    s.to_drop -= dropped;
    for (int64_t f = dropped; f < data.output_frames_gen; ++f) {
        for (int l = 0; l < s.lanes; ++l) {
            put_float_sample(out[l].data() + (f - dropped) * 3,
                             s.out[static_cast<size_t>(f * s.lanes + l)]);
        }
    }
    done.taken = data.input_frames_used;
    done.made = data.output_frames_gen - dropped;
    s.frames_in += done.taken;
    s.frames_out_as_in += static_cast<double>(data.output_frames_gen) / ratio;
    return done;
}

}  // namespace livedelay
