#include "timestretch.hpp"

#include <SoundTouch.h>

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

constexpr int64_t piece_frames = 1024;  // the library's input and output, a piece at a time
constexpr int max_lanes = 8;
constexpr double slowest = 0.8;
constexpr double fastest = 1.25;

const uint8_t* kept_at(const timestretch& ts, int lane, int64_t frame) {
    assert(frame >= ts.kept_from && frame < ts.taken);
    return ts.kept.data() + (lane * ts.capacity_frames + (frame - ts.base)) * 3;
}

// Appends `frames` frames of the input, from `from` on, to what is kept.
void keep(timestretch& ts, std::span<const std::span<const uint8_t>> in, int64_t from,
          int64_t frames) {
    if (ts.taken + frames - ts.base > ts.capacity_frames) {
        const int64_t count = ts.taken - ts.kept_from;
        for (int l = 0; l < ts.lanes; ++l) {
            uint8_t* region = ts.kept.data() + l * ts.capacity_frames * 3;
            std::memmove(region, region + (ts.kept_from - ts.base) * 3,
                         static_cast<size_t>(count * 3));
        }
        ts.base = ts.kept_from;
    }
    assert(ts.taken + frames - ts.base <= ts.capacity_frames);
    for (int l = 0; l < ts.lanes; ++l) {
        std::memcpy(ts.kept.data() + (l * ts.capacity_frames + (ts.taken - ts.base)) * 3,
                    in[l].data() + from * 3, static_cast<size_t>(frames * 3));
    }
    ts.taken += frames;
}

// What was heard long enough ago that neither a join nor the library's start needs it.
void forget_heard(timestretch& ts) {
    const auto next = static_cast<int64_t>(std::floor(ts.next_out));
    const int64_t keep_from = std::min(ts.taken, next - ts.history_frames - ts.search_frames);
    ts.kept_from = std::max(ts.kept_from, keep_from);
}

// The kept frames [from, from + frames) as interleaved floats.
void kept_as_floats(const timestretch& ts, int64_t from, int64_t frames, float* to) {
    for (int l = 0; l < ts.lanes; ++l) {
        const uint8_t* bytes = kept_at(ts, l, from);
        for (int64_t f = 0; f < frames; ++f) {
            to[f * ts.lanes + l] = sample_as_float(bytes + f * 3);
        }
    }
}

void feed_library(timestretch& ts) {
    while (ts.fed < ts.taken) {
        const int64_t piece = std::min(piece_frames, ts.taken - ts.fed);
        kept_as_floats(ts, ts.fed, piece, ts.scratch.data());
        ts.library->putSamples(ts.scratch.data(), static_cast<unsigned>(piece));
        ts.fed += piece;
    }
}

// Where the `frames` interleaved frames of `fixed` line up best within `candidates` (`length`
// frames): the offset whose frames correlate best with them, for their energy. A coarse look
// every `stride` frames first, then every frame around the best; ties go to `preferred`.
int64_t best_offset(const float* fixed, const float* candidates, int64_t length, int64_t frames,
                    int lanes, int64_t stride, int64_t preferred) {
    const auto score = [&](int64_t offset, int64_t step) {
        double cross = 0;
        double energy = 0;
        for (int64_t f = 0; f < frames; f += step) {
            for (int l = 0; l < lanes; ++l) {
                const double y = candidates[(offset + f) * lanes + l];
                cross += fixed[f * lanes + l] * y;
                energy += y * y;
            }
        }
        return cross / std::sqrt(energy + 1e-12);
    };
    const int64_t last = length - frames;
    const auto better = [](double score, double best) {
        return score > best + 1e-9 * std::abs(best) + 1e-12;
    };
    int64_t best = std::clamp<int64_t>(preferred, 0, last);
    double best_score = score(best, stride);
    for (int64_t offset = 0; offset <= last; offset += stride) {
        const double s = score(offset, stride);
        if (better(s, best_score)) {
            best = offset;
            best_score = s;
        }
    }
    const int64_t coarse = best;
    best_score = score(best, 1);
    for (int64_t offset = std::max<int64_t>(0, coarse - stride + 1);
         offset <= std::min(last, coarse + stride - 1); ++offset) {
        const double s = score(offset, 1);
        if (better(s, best_score)) {
            best = offset;
            best_score = s;
        }
    }
    return best;
}

float fade_gain(int64_t k, int64_t frames) {
    return static_cast<float>(0.5 -
                              0.5 * std::cos(std::numbers::pi * (static_cast<double>(k) + 0.5) /
                                             static_cast<double>(frames)));
}

void put_frame(const timestretch& ts, std::span<const std::span<uint8_t>> out, int64_t at,
               const float* frame) {
    for (int l = 0; l < ts.lanes; ++l) {
        put_float_sample(out[l].data() + at * 3, frame[l]);
    }
}

void start_join(timestretch& ts) {
    const auto join_at = static_cast<int64_t>(ts.next_out);
    ts.tempo = ts.tempo_wanted;
    ts.library->clear();
    ts.library->setTempo(ts.tempo);
    // The library starts on what was heard just before, and what it makes of that is dropped
    // but for the stretch of the search before the join.
    ts.fed = std::max(ts.kept_from, join_at - ts.history_frames);
    ts.to_discard = std::max<int64_t>(
        0, static_cast<int64_t>((join_at - ts.search_frames - ts.fed) / ts.tempo));
    ts.ready_frames = 0;
    ts.ready_used = 0;
    ts.fade_done = 0;
    ts.phase = stretch_phase::joining;
}

// 1:1: the kept frames from the next one out, as they came.
int64_t give_kept(timestretch& ts, std::span<const std::span<uint8_t>> out, int64_t at,
                  int64_t want) {
    const auto next = static_cast<int64_t>(ts.next_out);
    const int64_t count = std::min(want, ts.taken - next);
    if (count <= 0) {
        return 0;
    }
    for (int l = 0; l < ts.lanes; ++l) {
        std::memcpy(out[l].data() + at * 3, kept_at(ts, l, next), static_cast<size_t>(count * 3));
    }
    ts.next_out = static_cast<double>(next + count);
    return count;
}

// Into the stretch: the library's frames around the join are fetched, the offset where they
// line up with the kept input found, and the output crossfades from the one into the other.
int64_t give_join(timestretch& ts, std::span<const std::span<uint8_t>> out, int64_t at,
                  int64_t want) {
    const int64_t window = 2 * ts.search_frames + ts.fade_frames;
    const auto join_at = static_cast<int64_t>(ts.next_out) - ts.fade_done;
    if (ts.ready_frames < window) {
        if (ts.to_discard > 0) {
            ts.to_discard -= ts.library->receiveSamples(static_cast<unsigned>(ts.to_discard));
        }
        if (ts.to_discard > 0) {
            return 0;
        }
        ts.ready_frames +=
            ts.library->receiveSamples(ts.ready.data() + ts.ready_frames * ts.lanes,
                                       static_cast<unsigned>(window - ts.ready_frames));
        if (ts.ready_frames < window || join_at + ts.fade_frames > ts.taken) {
            return 0;
        }
        float* fixed = ts.search.data();
        kept_as_floats(ts, join_at, ts.fade_frames, fixed);
        ts.fade_ready = best_offset(fixed, ts.ready.data(), window, ts.fade_frames, ts.lanes,
                                    std::max(1, ts.rate_hz / 48000), ts.search_frames);
        ts.fade_from = join_at;
    }
    int64_t made = 0;
    float frame[max_lanes];
    for (; made < want && ts.fade_done < ts.fade_frames; ++made, ++ts.fade_done) {
        const float g = fade_gain(ts.fade_done, ts.fade_frames);
        const float* into = ts.ready.data() + (ts.fade_ready + ts.fade_done) * ts.lanes;
        for (int l = 0; l < ts.lanes; ++l) {
            frame[l] = (1 - g) * sample_as_float(kept_at(ts, l, ts.fade_from + ts.fade_done)) +
                       g * into[l];
        }
        put_frame(ts, out, at + made, frame);
    }
    ts.next_out = static_cast<double>(ts.fade_from + ts.fade_done);
    if (ts.fade_done == ts.fade_frames) {
        ts.ready_used = ts.fade_ready + ts.fade_frames;
        ts.phase = stretch_phase::stretching;
    }
    return made;
}

// The stretch: what is left of the frames fetched for the join, then the library's.
int64_t give_stretched(timestretch& ts, std::span<const std::span<uint8_t>> out, int64_t at,
                       int64_t want) {
    int64_t made = 0;
    for (; made < want && ts.ready_used < ts.ready_frames; ++made, ++ts.ready_used) {
        put_frame(ts, out, at + made, ts.ready.data() + ts.ready_used * ts.lanes);
    }
    if (made < want) {
        const int64_t got = ts.library->receiveSamples(
            ts.scratch.data(), static_cast<unsigned>(std::min(piece_frames, want - made)));
        for (int64_t f = 0; f < got; ++f) {
            put_frame(ts, out, at + made + f, ts.scratch.data() + f * ts.lanes);
        }
        made += got;
    }
    ts.next_out += static_cast<double>(made) * ts.tempo;
    return made;
}

void start_leave(timestretch& ts) {
    // The frames fetched and not yet out come first in the join.
    const int64_t left = ts.ready_frames - ts.ready_used;
    std::memmove(ts.ready.data(), ts.ready.data() + ts.ready_used * ts.lanes,
                 static_cast<size_t>(left * ts.lanes) * sizeof(float));
    ts.ready_frames = left;
    ts.ready_used = 0;
    ts.fade_done = 0;
    ts.fade_from = -1;
    ts.phase = stretch_phase::leaving;
}

// Out of the stretch: the library's next frames are fetched, the kept input found where it
// lines up with them best near where they stand, and the output crossfades from the library
// into that input, which then goes on at 1:1.
int64_t give_leave(timestretch& ts, std::span<const std::span<uint8_t>> out, int64_t at,
                   int64_t want) {
    if (ts.fade_from < 0) {
        if (ts.ready_frames < ts.fade_frames) {
            ts.ready_frames +=
                ts.library->receiveSamples(ts.ready.data() + ts.ready_frames * ts.lanes,
                                           static_cast<unsigned>(ts.fade_frames - ts.ready_frames));
        }
        const int64_t stands_for = std::llround(ts.next_out);
        const int64_t first = std::max(ts.kept_from, stands_for - ts.landing_frames);
        const int64_t length = stands_for + ts.landing_frames + ts.fade_frames - first;
        if (ts.ready_frames < ts.fade_frames || first + length > ts.taken) {
            return 0;
        }
        kept_as_floats(ts, first, length, ts.search.data());
        ts.fade_from =
            first + best_offset(ts.ready.data(), ts.search.data(), length, ts.fade_frames, ts.lanes,
                                std::max(1, ts.rate_hz / 48000), stands_for - first);
    }
    int64_t made = 0;
    float frame[max_lanes];
    for (; made < want && ts.fade_done < ts.fade_frames; ++made, ++ts.fade_done) {
        const float g = fade_gain(ts.fade_done, ts.fade_frames);
        const float* from = ts.ready.data() + ts.fade_done * ts.lanes;
        for (int l = 0; l < ts.lanes; ++l) {
            frame[l] = (1 - g) * from[l] +
                       g * sample_as_float(kept_at(ts, l, ts.fade_from + ts.fade_done));
        }
        put_frame(ts, out, at + made, frame);
    }
    ts.next_out = static_cast<double>(ts.fade_from + ts.fade_done);
    if (ts.fade_done == ts.fade_frames) {
        ts.library->clear();
        ts.ready_frames = 0;
        ts.ready_used = 0;
        ts.tempo = 1.0;
        ts.phase = stretch_phase::at_one;
    }
    return made;
}

}  // namespace

void soundtouch_deleter::operator()(soundtouch::SoundTouch* library) const {
    delete library;
}

int create_timestretch(timestretch& ts, int lanes, int rate_hz) {
    if (lanes < 1 || lanes > max_lanes || rate_hz < 8000 || rate_hz > 192000) {
        return -EINVAL;
    }
    timestretch fresh;
    fresh.library.reset(new (std::nothrow) soundtouch::SoundTouch);
    if (!fresh.library) {
        return -ENOMEM;
    }
    fresh.lanes = lanes;
    fresh.rate_hz = rate_hz;
    fresh.history_frames = rate_hz / 20;  // 50 ms
    fresh.fade_frames = rate_hz / 100;    // 10 ms
    fresh.search_frames = rate_hz / 100;  // 10 ms either way
    fresh.landing_frames = fresh.search_frames;
    // A second ahead of the next frame out, and what a join looks back on.
    fresh.capacity_frames = rate_hz + fresh.history_frames + fresh.search_frames + piece_frames;
    fresh.library->setSampleRate(static_cast<unsigned>(rate_hz));
    fresh.library->setChannels(static_cast<unsigned>(lanes));
    fresh.kept.resize(static_cast<size_t>(fresh.capacity_frames * 3 * lanes));
    const int64_t window = 2 * fresh.search_frames + fresh.fade_frames;
    fresh.ready.resize(static_cast<size_t>(window * lanes));
    fresh.search.resize(static_cast<size_t>(window * lanes));
    fresh.scratch.resize(static_cast<size_t>(piece_frames * lanes));
    // The library grows its buffers as it needs them: it is given the most it can ever hold
    // at both ends of the tempo now, so that it does not allocate while it runs.
    for (double tempo : {slowest, fastest}) {
        fresh.library->setTempo(tempo);
        for (int64_t f = 0; f < fresh.capacity_frames; f += piece_frames) {
            fresh.library->putSamples(fresh.scratch.data(), static_cast<unsigned>(piece_frames));
        }
        fresh.library->clear();
    }
    // What the library holds before its first frame out, at the most over the tempi, then the
    // search and the crossfade of a join.
    int64_t lag = 0;
    for (double tempo = slowest; tempo <= fastest; tempo += 0.01) {
        fresh.library->setTempo(tempo);
        lag = std::max<int64_t>(lag, fresh.library->getSetting(SETTING_INITIAL_LATENCY));
    }
    fresh.lead = lag + fresh.search_frames + fresh.fade_frames;
    fresh.library->setTempo(1.0);
    ts = std::move(fresh);
    return 0;
}

void set_tempo(timestretch& ts, double tempo) {
    ts.tempo_wanted = std::abs(tempo - 1.0) < 1e-9 ? 1.0 : std::clamp(tempo, slowest, fastest);
}

void set_landing(timestretch& ts, int64_t frames) {
    ts.landing_frames = std::clamp<int64_t>(frames, 0, ts.search_frames);
}

bool at_one(const timestretch& ts) {
    return ts.phase == stretch_phase::at_one && ts.tempo_wanted == 1.0;
}

int64_t held_frames(const timestretch& ts) {
    return ts.taken - std::llround(ts.next_out);
}

int64_t lead_frames(const timestretch& ts) {
    return ts.lead;
}

stretch_step timestretch_step(timestretch& ts, std::span<const std::span<const uint8_t>> in,
                              int64_t frames, std::span<const std::span<uint8_t>> out,
                              int64_t room) {
    assert(static_cast<int>(in.size()) == ts.lanes && static_cast<int>(out.size()) == ts.lanes);
    stretch_step done;
    forget_heard(ts);
    if (ts.phase == stretch_phase::at_one && ts.tempo_wanted == 1.0 &&
        ts.next_out == static_cast<double>(ts.taken)) {
        // Nothing held: straight through, and the end of it kept for a stretch to start from.
        done.taken = done.made = std::min(frames, room);
        for (int l = 0; l < ts.lanes; ++l) {
            std::memcpy(out[l].data(), in[l].data(), static_cast<size_t>(done.taken * 3));
        }
        const int64_t tail = std::min(done.taken, ts.history_frames + ts.search_frames);
        if (done.taken > tail) {
            ts.taken += done.taken - tail;
            ts.kept_from = ts.base = ts.taken;
        }
        keep(ts, in, done.taken - tail, tail);
        ts.next_out = static_cast<double>(ts.taken);
        forget_heard(ts);
        return done;
    }
    done.taken = std::min(frames, ts.capacity_frames - (ts.taken - ts.kept_from));
    keep(ts, in, 0, done.taken);
    if (ts.phase == stretch_phase::at_one && ts.tempo_wanted != 1.0) {
        start_join(ts);
    }
    if (ts.phase != stretch_phase::at_one) {
        feed_library(ts);
    }
    while (done.made < room) {
        const stretch_phase before = ts.phase;
        int64_t got = 0;
        const int64_t want = room - done.made;
        switch (ts.phase) {
            case stretch_phase::at_one:
                if (ts.tempo_wanted != 1.0) {
                    start_join(ts);
                    feed_library(ts);
                } else {
                    got = give_kept(ts, out, done.made, want);
                }
                break;
            case stretch_phase::joining:
                if (ts.tempo_wanted != ts.tempo && ts.fade_done == 0) {
                    ts.library->clear();
                    ts.tempo = 1.0;
                    ts.phase = stretch_phase::at_one;
                } else {
                    got = give_join(ts, out, done.made, want);
                }
                break;
            case stretch_phase::stretching:
                // Another tempo leaves and joins again: the frames the library has made are
                // counted at the tempo they were made at.
                if (ts.tempo_wanted != ts.tempo) {
                    start_leave(ts);
                } else {
                    got = give_stretched(ts, out, done.made, want);
                }
                break;
            case stretch_phase::leaving:
                got = give_leave(ts, out, done.made, want);
                break;
        }
        done.made += got;
        if (got == 0 && ts.phase == before) {
            break;
        }
    }
    forget_heard(ts);
    return done;
}

int64_t give_back(timestretch& ts) {
    if (ts.phase != stretch_phase::at_one) {
        return 0;
    }
    const auto next = static_cast<int64_t>(ts.next_out);
    const int64_t count = ts.taken - next;
    ts.taken = next;
    return count;
}

void clear_timestretch(timestretch& ts) {
    ts.library->clear();
    ts.phase = stretch_phase::at_one;
    ts.tempo = ts.tempo_wanted = 1.0;
    ts.kept_from = ts.base = ts.taken;
    ts.next_out = static_cast<double>(ts.taken);
    ts.ready_frames = ts.ready_used = 0;
}

}  // namespace livedelay
