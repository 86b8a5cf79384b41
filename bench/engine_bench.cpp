// The delay engine alone: one pass of a chunk (4096 frames of 3 bytes) through store,
// delay_copy and fetch, each on its own and all three together, beside memcpy of the same
// bytes. The ring is the one a 3 s delay at 48000 Hz gets, and every pass advances it, as the
// transfer loop does, so the copies walk through the ring's memory instead of staying in one
// cached spot. Lane a only: the lanes are alike, and a stereo run does all of it twice.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "delay_ring.hpp"
#include "settings.hpp"

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

}  // namespace

BENCHMARK(store_pass);
BENCHMARK(delay_copy_pass);
BENCHMARK(fetch_pass);
BENCHMARK(whole_pass);
BENCHMARK(memcpy_chunk);
BENCHMARK(memcpy_three);
BENCHMARK(memcpy_walking);

BENCHMARK_MAIN();
