// The delay engine alone: one pass of a chunk (4096 frames of 3 bytes) through store,
// delay_copy and fetch, each on its own and all three together, beside memcpy of the same
// bytes. The ring is the one a 3 s delay at 48000 Hz gets, and every pass advances it, as the
// transfer loop does, so the copies walk through the ring's memory instead of staying in one
// cached spot. Lane a only: the lanes are alike, and a stereo run does all of it twice.
//
// Beside them, the drift correction's resampler on a stereo chunk at a ratio of 1.0001, and
// libsamplerate's fastest sinc converter doing the same (with the conversions to and from its
// interleaved floats that using it takes).
#include <benchmark/benchmark.h>
#include <samplerate.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "delay_ring.hpp"
#include "samples.hpp"
#include "settings.hpp"
#include "stretch.hpp"

namespace {

using namespace livedelay;

delay_ring make_ring() {
    run_settings settings;
    settings.sample_rate = 48000;
    settings.delay_seconds = 3.0f;
    settings.delay_plus_one_seconds = 4.0f;
    delay_ring ring;
    if (create_delay_ring(ring, ring_size_for(settings), delay_offset_for(settings)) < 0) {
        std::abort();
    }
    // One lap of passes first, so every page of the rings is real memory, as in a run that
    // has gone on longer than its delay (an untouched page reads as the shared zero page).
    std::vector<uint8_t> chunk(static_cast<size_t>(chunk_bytes), 1);
    for (int64_t done = 0; done <= ring.ring_size; done += chunk_bytes) {
        store(ring, lane_a, chunk);
        delay_copy(ring, lane_a, chunk_bytes);
        advance(ring, chunk_bytes);
    }
    return ring;
}

std::vector<uint8_t> make_chunk() {
    std::vector<uint8_t> chunk(static_cast<size_t>(chunk_bytes));
    for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    return chunk;
}

void store_pass(benchmark::State& state) {
    delay_ring ring = make_ring();
    const std::vector<uint8_t> source = make_chunk();
    for (auto _ : state) {
        store(ring, lane_a, source);
        advance(ring, chunk_bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk_bytes);
}

void delay_copy_pass(benchmark::State& state) {
    delay_ring ring = make_ring();
    for (auto _ : state) {
        delay_copy(ring, lane_a, chunk_bytes);
        advance(ring, chunk_bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk_bytes);
}

void fetch_pass(benchmark::State& state) {
    delay_ring ring = make_ring();
    std::vector<uint8_t> destination(static_cast<size_t>(chunk_bytes));
    for (auto _ : state) {
        fetch(ring, lane_a, destination);
        advance(ring, chunk_bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk_bytes);
}

// What one lane costs per pass in the transfer loop: the chunk goes in, one delay on, out.
void whole_pass(benchmark::State& state) {
    delay_ring ring = make_ring();
    const std::vector<uint8_t> source = make_chunk();
    std::vector<uint8_t> destination(static_cast<size_t>(chunk_bytes));
    for (auto _ : state) {
        store(ring, lane_a, source);
        delay_copy(ring, lane_a, chunk_bytes);
        fetch(ring, lane_a, destination);
        advance(ring, chunk_bytes);
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk_bytes);
}

void memcpy_chunk(benchmark::State& state) {
    const std::vector<uint8_t> source = make_chunk();
    std::vector<uint8_t> destination(static_cast<size_t>(chunk_bytes));
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(destination.data(), source.data(), static_cast<size_t>(chunk_bytes));
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk_bytes);
}

// The least a pass could do: the same bytes copied three times (in, across, out).
void memcpy_three(benchmark::State& state) {
    const std::vector<uint8_t> source = make_chunk();
    std::vector<uint8_t> middle(static_cast<size_t>(chunk_bytes));
    std::vector<uint8_t> last(static_cast<size_t>(chunk_bytes));
    std::vector<uint8_t> destination(static_cast<size_t>(chunk_bytes));
    for (auto _ : state) {
        benchmark::DoNotOptimize(source.data());
        std::memcpy(middle.data(), source.data(), static_cast<size_t>(chunk_bytes));
        benchmark::ClobberMemory();
        std::memcpy(last.data(), middle.data(), static_cast<size_t>(chunk_bytes));
        benchmark::ClobberMemory();
        std::memcpy(destination.data(), last.data(), static_cast<size_t>(chunk_bytes));
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk_bytes);
}

// memcpy of a chunk between two blocks the size of the rings, advancing as they do: the same
// bytes at the speed the memory behind the rings allows.
void memcpy_walking(benchmark::State& state) {
    const delay_ring ring = make_ring();
    const auto size = static_cast<size_t>(ring.ring_size);
    std::vector<uint8_t> from(size, 1);
    std::vector<uint8_t> to(size, 2);
    size_t position = 0;
    for (auto _ : state) {
        const size_t n = std::min(size - position, static_cast<size_t>(chunk_bytes));
        std::memcpy(to.data() + position, from.data() + position, n);
        benchmark::ClobberMemory();
        position = position + n == size ? 0 : position + n;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk_bytes);
}

constexpr double drift_ratio = 1.0001;

// A chunk of each of two lanes through the resampler; the output is as long as the ratio makes it.
void stretch_pass(benchmark::State& state) {
    stretcher s;
    if (create_stretcher(s, 2) < 0) {
        std::abort();
    }
    const std::vector<uint8_t> source = make_chunk();
    std::vector<uint8_t> left(static_cast<size_t>(2 * chunk_bytes));
    std::vector<uint8_t> right(static_cast<size_t>(2 * chunk_bytes));
    const std::span<const uint8_t> in[2] = {source, source};
    const std::span<uint8_t> out[2] = {left, right};
    for (auto _ : state) {
        int64_t taken = 0;
        while (taken < chunk_frames) {
            std::span<const uint8_t> rest[2] = {in[0].subspan(taken * sample_bytes),
                                                in[1].subspan(taken * sample_bytes)};
            taken +=
                stretch(s, rest, chunk_frames - taken, out, 2 * chunk_frames, drift_ratio).taken;
        }
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * chunk_frames);
}

void libsamplerate_pass(benchmark::State& state) {
    int error = 0;
    SRC_STATE* converter = src_new(SRC_SINC_FASTEST, 2, &error);
    if (converter == nullptr) {
        std::abort();
    }
    const std::vector<uint8_t> source = make_chunk();
    std::vector<float> in(static_cast<size_t>(2 * chunk_frames));
    std::vector<float> out(static_cast<size_t>(4 * chunk_frames));
    std::vector<uint8_t> left(static_cast<size_t>(2 * chunk_bytes));
    std::vector<uint8_t> right(static_cast<size_t>(2 * chunk_bytes));
    for (auto _ : state) {
        for (int64_t f = 0; f < chunk_frames; ++f) {
            in[2 * f] = sample_as_float(source.data() + f * sample_bytes);
            in[2 * f + 1] = sample_as_float(source.data() + f * sample_bytes);
        }
        SRC_DATA data{};
        data.data_in = in.data();
        data.input_frames = chunk_frames;
        data.data_out = out.data();
        data.output_frames = 2 * chunk_frames;
        data.src_ratio = drift_ratio;
        src_process(converter, &data);
        for (int64_t f = 0; f < data.output_frames_gen; ++f) {
            put_float_sample(left.data() + f * sample_bytes, out[2 * f]);
            put_float_sample(right.data() + f * sample_bytes, out[2 * f + 1]);
        }
        benchmark::DoNotOptimize(left.data());
        benchmark::ClobberMemory();
    }
    src_delete(converter);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * chunk_frames);
}

}  // namespace

BENCHMARK(stretch_pass);
BENCHMARK(libsamplerate_pass);
BENCHMARK(store_pass);
BENCHMARK(delay_copy_pass);
BENCHMARK(fetch_pass);
BENCHMARK(whole_pass);
BENCHMARK(memcpy_chunk);
BENCHMARK(memcpy_three);
BENCHMARK(memcpy_walking);

BENCHMARK_MAIN();
