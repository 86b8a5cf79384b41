// stretch_bench: the two time-stretching libraries Debian offers, side by side, as the rebuild
// of the delay after a dump would use them: a live stream played a few per cent slower than
// real time with its pitch kept, fed in blocks of 4096 frames, everything that is ready taken
// after each block. SoundTouch (WSOLA, in the time domain) and Rubber Band in real-time mode,
// its R2 ("faster") engine as it comes and with smooth transients (as it comes it resets its
// phases on what it takes for onsets, and a steady tone comes out off pitch), its R3
// ("finer") engine, also with its short window; beside them livedelay's own wrapper
// (src/timestretch.*) over the library it chose.
//
// For each: CPU time (user + system, the process's clock, so a library's own threads count
// too) per hour of stereo audio while stretching and at 1:1 (the library at tempo 1, and the
// wrapper, which passes 1:1 by without it), the medians of `runs` runs taking turns, with
// their spread; the frames held inside (fed but not yet given back, as input frames); the
// pitch of a sine at 440 Hz and 1 kHz (zero crossings over all the output after its first
// second, and the worst quarter second); and how clean a chord of four unrelated tones comes
// out (what a least-squares fit of the four tones leaves, per 2048 frames, against the
// chord), at several rates, the figure the choice of rate rests on.
//
// usage: stretch_bench [RUNS [SECONDS [TEMPO]]]   (defaults 5, 30, 0.97)
// Nothing passes or fails on a figure; the exit status is 1 only when a library cannot be
// had or gives no audio.
#include <rubberband/RubberBandStretcher.h>
#include <soundtouch/SoundTouch.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "timestretch.hpp"

namespace {

constexpr int rate_hz = 48000;
constexpr int lanes = 2;
constexpr int block_frames = 4096;
constexpr double pi = std::numbers::pi;

using planar = std::vector<std::vector<float>>;

// ---- the libraries behind one face ------------------------------------------------------

struct engine {
    virtual ~engine() = default;
    virtual void set_tempo(double tempo) = 0;
    virtual void put(const float* const* in, int frames) = 0;
    // Gives at most `room` frames of each lane into `out`; the frames given.
    virtual int take(float* const* out, int room) = 0;
    // What the library says it holds back at the start.
    virtual int reported_latency() const = 0;
};

struct soundtouch_engine : engine {
    soundtouch::SoundTouch st;
    std::vector<float> interleaved = std::vector<float>(block_frames * lanes);

    soundtouch_engine() {
        st.setSampleRate(rate_hz);
        st.setChannels(lanes);
    }
    void set_tempo(double tempo) override { st.setTempo(tempo); }
    void put(const float* const* in, int frames) override {
        for (int f = 0; f < frames; ++f) {
            for (int l = 0; l < lanes; ++l) {
                interleaved[f * lanes + l] = in[l][f];
            }
        }
        st.putSamples(interleaved.data(), static_cast<unsigned>(frames));
    }
    int take(float* const* out, int room) override {
        const int got = static_cast<int>(st.receiveSamples(
            interleaved.data(), static_cast<unsigned>(std::min(room, block_frames))));
        for (int f = 0; f < got; ++f) {
            for (int l = 0; l < lanes; ++l) {
                out[l][f] = interleaved[f * lanes + l];
            }
        }
        return got;
    }
    int reported_latency() const override { return st.getSetting(SETTING_INITIAL_LATENCY); }
};

struct rubberband_engine : engine {
    std::unique_ptr<RubberBand::RubberBandStretcher> rb;

    explicit rubberband_engine(RubberBand::RubberBandStretcher::Options options) {
        using RB = RubberBand::RubberBandStretcher;
        rb = std::make_unique<RB>(rate_hz, lanes,
                                  RB::OptionProcessRealTime | RB::OptionThreadingNever | options);
        rb->setMaxProcessSize(block_frames);
    }
    void set_tempo(double tempo) override { rb->setTimeRatio(1.0 / tempo); }
    void put(const float* const* in, int frames) override {
        rb->process(in, static_cast<size_t>(frames), false);
    }
    int take(float* const* out, int room) override {
        const int ready = rb->available();
        if (ready <= 0) {
            return 0;
        }
        return static_cast<int>(rb->retrieve(out, static_cast<size_t>(std::min(ready, room))));
    }
    int reported_latency() const override { return static_cast<int>(rb->getStartDelay()); }
};

// livedelay's wrapper, fed its 24-bit lanes as the engine would: the signal is turned into
// bytes before the clock starts, and its output back into floats only when it is measured, so
// the CPU figure is the wrapper's own.
struct wrapper_engine : engine {
    livedelay::timestretch ts;
    std::vector<std::vector<uint8_t>> source;  // the signal as 24-bit lanes
    const float* source_start = nullptr;
    std::span<const uint8_t> pending[lanes];  // what it did not take yet
    int64_t pending_frames = 0;
    std::vector<uint8_t> out_bytes = std::vector<uint8_t>(block_frames * 3 * lanes);
    bool keep = false;

    wrapper_engine() {
        if (livedelay::create_timestretch(ts, lanes, rate_hz) < 0) {
            std::fprintf(stderr, "stretch_bench: the wrapper cannot be had\n");
            std::exit(1);
        }
    }
    void load(const planar& signal, bool keep_output) {
        source.assign(lanes, std::vector<uint8_t>(signal[0].size() * 3));
        for (int l = 0; l < lanes; ++l) {
            for (size_t f = 0; f < signal[l].size(); ++f) {
                const auto v = static_cast<int32_t>(
                    std::clamp(std::lrint(signal[l][f] * 8388608.0f), -0x800000L, 0x7fffffL));
                source[l][f * 3] = static_cast<uint8_t>(v);
                source[l][f * 3 + 1] = static_cast<uint8_t>(v >> 8);
                source[l][f * 3 + 2] = static_cast<uint8_t>(v >> 16);
            }
        }
        source_start = signal[0].data();
        keep = keep_output;
    }
    void set_tempo(double tempo) override { livedelay::set_tempo(ts, tempo); }
    void put(const float* const* in, int frames) override {
        const int64_t at = in[0] - source_start;
        for (int l = 0; l < lanes; ++l) {
            pending[l] = std::span<const uint8_t>(source[l]).subspan(
                static_cast<size_t>(at * 3), static_cast<size_t>(frames * 3));
        }
        pending_frames = frames;
    }
    int take(float* const* out, int room) override {
        room = std::min(room, block_frames);
        std::span<uint8_t> out_lanes[lanes];
        for (int l = 0; l < lanes; ++l) {
            out_lanes[l] = std::span<uint8_t>(out_bytes).subspan(
                static_cast<size_t>(l * block_frames * 3), static_cast<size_t>(room * 3));
        }
        const livedelay::stretch_step step =
            livedelay::timestretch_step(ts, pending, pending_frames, out_lanes, room);
        for (int l = 0; l < lanes; ++l) {
            pending[l] = pending[l].subspan(static_cast<size_t>(step.taken * 3));
        }
        pending_frames -= step.taken;
        for (int l = 0; keep && l < lanes; ++l) {
            for (int64_t f = 0; f < step.made; ++f) {
                const uint8_t* b = &out_bytes[static_cast<size_t>((l * block_frames + f) * 3)];
                const int32_t v = b[0] | (b[1] << 8) | (b[2] << 16);
                out[l][f] = static_cast<float>((v ^ 0x800000) - 0x800000) / 8388608.0f;
            }
        }
        return static_cast<int>(step.made);
    }
    bool drained() const { return pending_frames == 0; }
    // What it needs ahead of its output to join a stretch.
    int reported_latency() const override { return static_cast<int>(livedelay::lead_frames(ts)); }
};

enum class kind { soundtouch, r2, r2_smooth, r3, r3_short, wrapper };
constexpr kind kinds[] = {kind::soundtouch, kind::r2,       kind::r2_smooth,
                          kind::r3,         kind::r3_short, kind::wrapper};

const char* name_of(kind k) {
    switch (k) {
        case kind::soundtouch:
            return "SoundTouch 2.3 (WSOLA)";
        case kind::r2:
            return "Rubber Band 3.1 R2 (faster)";
        case kind::r2_smooth:
            return "Rubber Band 3.1 R2, smooth";
        case kind::r3:
            return "Rubber Band 3.1 R3 (finer)";
        case kind::r3_short:
            return "Rubber Band 3.1 R3, short window";
        case kind::wrapper:
            return "livedelay timestretch (SoundTouch)";
    }
    return "?";
}

std::unique_ptr<engine> make(kind k) {
    using RB = RubberBand::RubberBandStretcher;
    switch (k) {
        case kind::soundtouch:
            return std::make_unique<soundtouch_engine>();
        case kind::r2:
            return std::make_unique<rubberband_engine>(RB::OptionEngineFaster);
        case kind::r2_smooth:
            return std::make_unique<rubberband_engine>(RB::OptionEngineFaster |
                                                       RB::OptionTransientsSmooth);
        case kind::r3:
            return std::make_unique<rubberband_engine>(RB::OptionEngineFiner);
        case kind::r3_short:
            return std::make_unique<rubberband_engine>(RB::OptionEngineFiner |
                                                       RB::OptionWindowShort);
        case kind::wrapper:
            return std::make_unique<wrapper_engine>();
    }
    return nullptr;
}

// ---- signals ------------------------------------------------------------------------------

planar sine(double hz, int frames) {
    planar s(lanes, std::vector<float>(static_cast<size_t>(frames)));
    for (int f = 0; f < frames; ++f) {
        const auto v = static_cast<float>(0.5 * std::sin(2 * pi * hz * f / rate_hz));
        for (int l = 0; l < lanes; ++l) {
            s[l][f] = v;
        }
    }
    return s;
}

constexpr double chord_hz[] = {196.0, 311.1, 740.0, 1675.0};

planar chord(int frames) {
    planar s(lanes, std::vector<float>(static_cast<size_t>(frames)));
    for (int f = 0; f < frames; ++f) {
        double v = 0;
        for (double hz : chord_hz) {
            v += 0.2 * std::sin(2 * pi * hz * f / rate_hz + hz);
        }
        for (int l = 0; l < lanes; ++l) {
            s[l][f] = static_cast<float>(v);
        }
    }
    return s;
}

// Something like a programme, for the CPU figures: tones that glide, under noise that swells
// and falls like syllables, different on the two lanes.
planar programme(int frames) {
    planar s(lanes, std::vector<float>(static_cast<size_t>(frames)));
    uint32_t noise = 12345;
    for (int f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / rate_hz;
        for (int l = 0; l < lanes; ++l) {
            noise = noise * 1664525u + 1013904223u;
            const double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.3;
            const double envelope = 0.5 + 0.5 * std::sin(2 * pi * (4.0 + l) * t);
            const double glide = 180.0 * (1 + 0.05 * std::sin(2 * pi * 0.3 * t));
            s[l][f] = static_cast<float>(0.3 * std::sin(2 * pi * glide * t * (1 + 0.5 * l)) +
                                         0.1 * std::sin(2 * pi * 3.0 * glide * t) + envelope * n);
        }
    }
    return s;
}

// ---- one run --------------------------------------------------------------------------------

struct run_result {
    double cpu_s = 0;
    double held_median = 0;  // input frames
    double held_max = 0;
    planar out;  // when asked for
    int reported_latency = 0;
};

double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

run_result run(kind k, const planar& in, double tempo, bool keep) {
    run_result r;
    std::unique_ptr<engine> e = make(k);
    auto* wrapper = dynamic_cast<wrapper_engine*>(e.get());
    if (wrapper) {
        wrapper->load(in, keep);
    }
    e->set_tempo(tempo);
    r.reported_latency = e->reported_latency();
    const int frames = static_cast<int>(in[0].size());
    planar scratch(lanes, std::vector<float>(block_frames));
    float* out_ptr[lanes];
    for (int l = 0; l < lanes; ++l) {
        out_ptr[l] = scratch[l].data();
    }
    if (keep) {
        r.out.assign(lanes, {});
        for (auto& lane : r.out) {
            lane.reserve(static_cast<size_t>(frames / tempo) + block_frames);
        }
    }
    std::vector<double> held;
    held.reserve(static_cast<size_t>(frames / block_frames + 1));
    int64_t made = 0;
    const double start = cpu_now();
    for (int pos = 0; pos < frames; pos += block_frames) {
        const int n = std::min(block_frames, frames - pos);
        const float* in_ptr[lanes];
        for (int l = 0; l < lanes; ++l) {
            in_ptr[l] = in[l].data() + pos;
        }
        e->put(in_ptr, n);
        for (;;) {
            const int got = e->take(out_ptr, block_frames);
            if (keep) {
                for (int l = 0; l < lanes; ++l) {
                    r.out[l].insert(r.out[l].end(), scratch[l].begin(), scratch[l].begin() + got);
                }
            }
            made += got;
            if (got == 0 && (!wrapper || wrapper->drained())) {
                break;
            }
        }
        held.push_back(static_cast<double>(pos + n) - static_cast<double>(made) * tempo);
    }
    r.cpu_s = cpu_now() - start;
    // The first blocks only fill it: the steady state is what a long rebuild sees.
    const std::vector<double> steady(held.begin() + static_cast<long>(held.size() / 4), held.end());
    std::vector<double> sorted = steady;
    std::sort(sorted.begin(), sorted.end());
    r.held_median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    r.held_max = sorted.empty() ? 0 : sorted.back();
    return r;
}

// ---- measures -------------------------------------------------------------------------------

// The times of the rising zero crossings, interpolated between samples.
std::vector<double> rising_crossings(std::span<const float> x) {
    std::vector<double> t;
    for (size_t i = 1; i < x.size(); ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            t.push_back(static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]));
        }
    }
    return t;
}

struct pitch_result {
    double mean_error = 0;   // over all the output after its first second, fraction
    double worst_error = 0;  // the worst quarter second
};

pitch_result pitch_error(std::span<const float> out, double hz) {
    pitch_result p;
    if (out.size() < static_cast<size_t>(2 * rate_hz)) {
        p.mean_error = p.worst_error = 1;
        return p;
    }
    const std::vector<double> t = rising_crossings(out.subspan(rate_hz));
    if (t.size() < 3) {
        p.mean_error = p.worst_error = 1;
        return p;
    }
    const double mean_hz = static_cast<double>(t.size() - 1) / (t.back() - t.front()) * rate_hz;
    p.mean_error = mean_hz / hz - 1;
    const double window = rate_hz / 4.0;
    size_t first = 0;
    while (first < t.size()) {
        size_t last = first;
        while (last + 1 < t.size() && t[last + 1] - t[first] <= window) {
            ++last;
        }
        if (t[last] - t[first] < window * 0.9) {
            break;
        }
        const double f_hz = static_cast<double>(last - first) / (t[last] - t[first]) * rate_hz;
        if (std::abs(f_hz / hz - 1) > std::abs(p.worst_error)) {
            p.worst_error = f_hz / hz - 1;
        }
        first = last;
    }
    return p;
}

// What a least-squares fit of the chord's tones leaves, per 2048 frames after the first
// second, in dB against the fitted chord: over all of them, and in the worst.
struct residual_result {
    double overall_db = 0;
    double worst_db = 0;
};

residual_result chord_residual(std::span<const float> out) {
    constexpr int window = 2048;
    constexpr int tones = std::size(chord_hz);
    constexpr int n = 2 * tones;
    std::vector<double> db;
    double all_fit = 0;
    double all_residual = 0;
    for (size_t start = rate_hz; start + window <= out.size(); start += window) {
        // Normal equations of the fit: a sine and a cosine per tone.
        double a[n][n + 1] = {};
        double basis[n];
        for (int i = 0; i < window; ++i) {
            const double t = static_cast<double>(start + i) / rate_hz;
            for (int k = 0; k < tones; ++k) {
                basis[2 * k] = std::sin(2 * pi * chord_hz[k] * t);
                basis[2 * k + 1] = std::cos(2 * pi * chord_hz[k] * t);
            }
            for (int r = 0; r < n; ++r) {
                for (int c = 0; c < n; ++c) {
                    a[r][c] += basis[r] * basis[c];
                }
                a[r][n] += basis[r] * out[start + i];
            }
        }
        for (int c = 0; c < n; ++c) {
            int pivot = c;
            for (int r = c + 1; r < n; ++r) {
                if (std::abs(a[r][c]) > std::abs(a[pivot][c])) {
                    pivot = r;
                }
            }
            std::swap(a[c], a[pivot]);
            for (int r = 0; r < n; ++r) {
                if (r != c) {
                    const double m = a[r][c] / a[c][c];
                    for (int k = c; k <= n; ++k) {
                        a[r][k] -= m * a[c][k];
                    }
                }
            }
        }
        double fit_energy = 0;
        double residual_energy = 0;
        for (int i = 0; i < window; ++i) {
            const double t = static_cast<double>(start + i) / rate_hz;
            double fit = 0;
            for (int k = 0; k < tones; ++k) {
                fit +=
                    a[2 * k][n] / a[2 * k][2 * k] * std::sin(2 * pi * chord_hz[k] * t) +
                    a[2 * k + 1][n] / a[2 * k + 1][2 * k + 1] * std::cos(2 * pi * chord_hz[k] * t);
            }
            fit_energy += fit * fit;
            residual_energy += (out[start + i] - fit) * (out[start + i] - fit);
        }
        db.push_back(10 * std::log10((residual_energy + 1e-20) / (fit_energy + 1e-20)));
        all_fit += fit_energy;
        all_residual += residual_energy;
    }
    residual_result r;
    if (db.empty()) {
        return r;
    }
    r.overall_db = 10 * std::log10((all_residual + 1e-20) / (all_fit + 1e-20));
    r.worst_db = *std::max_element(db.begin(), db.end());
    return r;
}

struct spread {
    double median = 0;
    double min = 0;
    double max = 0;
};

spread spread_of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

std::string percent(double fraction) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f %%", fraction * 100);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int seconds = argc > 2 ? std::max(4, std::atoi(argv[2])) : 30;
    const double tempo = argc > 3 ? std::clamp(std::atof(argv[3]), 0.5, 1.0) : 0.97;

    // ---- CPU, the engines taking turns ----
    const planar prog = programme(seconds * rate_hz);
    std::vector<double> cpu_stretch[std::size(kinds)];
    std::vector<double> cpu_through[std::size(kinds)];
    run_result held[std::size(kinds)];
    std::fprintf(stderr, "stretch_bench: %d x %zu engines x 2, %d s of stereo audio each\n", runs,
                 std::size(kinds), seconds);
    for (int r = 0; r < runs; ++r) {
        for (size_t i = 0; i < std::size(kinds); ++i) {
            const size_t k = (i + static_cast<size_t>(r)) % std::size(kinds);
            const run_result s = run(kinds[k], prog, tempo, false);
            cpu_stretch[k].push_back(s.cpu_s * 3600 / seconds);
            held[k] = s;
            cpu_through[k].push_back(run(kinds[k], prog, 1.0, false).cpu_s * 3600 / seconds);
        }
    }

    std::printf("Time-stretching a live stream: %.1f %% slower (tempo %.3f), pitch kept, stereo,\n",
                (1 - tempo) * 100, tempo);
    std::printf("%d Hz, blocks of %d frames in, all that is ready taken after each block\n\n",
                rate_hz, block_frames);
    std::printf(
        "   CPU time (user + system) per hour of audio; median [min-max] of %d runs of %d s\n\n",
        runs, seconds);
    std::printf("   %-36s %26s %26s\n", "library", "stretching", "at 1:1");
    for (size_t k = 0; k < std::size(kinds); ++k) {
        const spread s = spread_of(cpu_stretch[k]);
        const spread t = spread_of(cpu_through[k]);
        std::printf("   %-36s %8.1f [%6.1f-%6.1f] %8.1f [%6.1f-%6.1f]\n", name_of(kinds[k]),
                    s.median, s.min, s.max, t.median, t.min, t.max);
    }
    std::printf(
        "\n   (the wrapper at 1:1 copies the 24-bit samples past the library, bit for bit)\n\n");

    std::printf("   Frames held inside while stretching (fed less given back, as input frames),\n");
    std::printf(
        "   after the first quarter of a run, and what the library reports at its start\n\n");
    std::printf("   %-36s %18s %18s %16s\n", "library", "median", "max", "reported");
    for (size_t k = 0; k < std::size(kinds); ++k) {
        std::printf("   %-36s %8.0f (%5.1f ms) %8.0f (%5.1f ms) %16d\n", name_of(kinds[k]),
                    held[k].held_median, held[k].held_median * 1000 / rate_hz, held[k].held_max,
                    held[k].held_max * 1000 / rate_hz, held[k].reported_latency);
    }

    // ---- quality, one run each: the output is the same every time ----
    std::printf(
        "\n   Pitch of a sine (0.5 amplitude, both lanes) after stretching: the error of\n");
    std::printf("   the frequency from zero crossings over all the output after its first\n");
    std::printf("   second, and of the worst quarter second; %d s in\n\n", seconds);
    std::printf("   %-36s %12s %12s %12s %12s\n", "library", "440 Hz", "worst 1/4 s", "1 kHz",
                "worst 1/4 s");
    const planar a440 = sine(440, seconds * rate_hz);
    const planar a1k = sine(1000, seconds * rate_hz);
    bool silent = false;
    for (kind k : kinds) {
        const run_result r1 = run(k, a440, tempo, true);
        const run_result r2 = run(k, a1k, tempo, true);
        silent = silent || r1.out[0].empty() || r2.out[0].empty();
        const pitch_result p1 = pitch_error(r1.out[0], 440);
        const pitch_result p2 = pitch_error(r2.out[0], 1000);
        std::printf("   %-36s %12s %12s %12s %12s\n", name_of(k), percent(p1.mean_error).c_str(),
                    percent(p1.worst_error).c_str(), percent(p2.mean_error).c_str(),
                    percent(p2.worst_error).c_str());
    }

    std::printf(
        "\n   A chord of four unrelated tones (196, 311.1, 740, 1675 Hz) stretched: what a fit\n");
    std::printf(
        "   of the four tones leaves in each 2048 frames, against the chord: over all of them /\n");
    std::printf(
        "   in the worst, dB (lower is cleaner: what a listener could hear as roughness or\n");
    std::printf("   warble; a join of two pieces shows in the worst); %d s in\n\n", seconds);
    const double rates[] = {0.98, 0.97, 0.96, 0.95};
    std::printf("   %-36s", "library");
    for (double t : rates) {
        std::printf("   %4.0f %% slower", (1 - t) * 100);
    }
    std::printf("\n");
    const planar ch = chord(seconds * rate_hz);
    for (kind k : kinds) {
        std::printf("   %-36s", name_of(k));
        for (double t : rates) {
            const run_result r = run(k, ch, t, true);
            const residual_result q = chord_residual(r.out[0]);
            std::printf("   %5.1f / %5.1f", q.overall_db, q.worst_db);
        }
        std::printf("\n");
    }
    std::printf("\n   A 5 s delay rebuilds in %.0f s at %.0f %%, %.0f s at 2 %%, %.0f s at 5 %%\n",
                5 / (1 - tempo), (1 - tempo) * 100, 5 / 0.02, 5 / 0.05);
    if (silent) {
        std::fprintf(stderr, "stretch_bench: a library gave no audio\n");
        return 1;
    }
    return 0;
}
