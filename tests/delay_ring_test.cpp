// The delay rings: their sizes and offsets, the copies at the ring end, and the stream that
// comes out of store, delay_copy, fetch and advance exactly one delay late.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "delay_ring.hpp"
#include "mixed_byte.hpp"

namespace livedelay {
namespace {

run_settings timing(float delay, uint32_t rate) {
    run_settings s;
    s.delay_seconds = delay;
    s.delay_plus_one_seconds = delay + 1.0f;
    s.sample_rate = rate;
    return s;
}

struct sizing_case {
    float delay;
    uint32_t rate;
    int64_t ring_size;
    int64_t delay_offset;
};

TEST(DelayRing, SizeAndOffsetFollowDelayAndRate) {
    // Ten and two thirds seconds at 32768 Hz need exactly 2^20 bytes.
    const float exact_fit = 32.0f / 3.0f - 1.0f;
    for (const sizing_case& c : {
             sizing_case{3.0f, 44100, 1 << 20, 3 * 3 * 44100},
             sizing_case{0.0f, 44100, 1 << 18, 0},
             sizing_case{600.0f, 44100, 1 << 27, 3 * 600 * 44100},
             sizing_case{0.0f, 32000, 1 << 17, 0},
             sizing_case{0.3333f, 44100, 1 << 18, 3 * 14698},
             sizing_case{0.5f, 48000, 1 << 18, 3 * 24000},
             sizing_case{1e-6f, 48000, 1 << 18, 0},
             sizing_case{0.0f, 1, 4096, 0},
             sizing_case{exact_fit, 32768, 1 << 20, 3 * 316757},
             sizing_case{exact_fit, 32769, 1 << 21, 3 * 316767},
         }) {
        const run_settings s = timing(c.delay, c.rate);
        EXPECT_EQ(ring_size_for(s), c.ring_size) << c.delay << " s at " << c.rate;
        EXPECT_EQ(delay_offset_for(s), c.delay_offset) << c.delay << " s at " << c.rate;
    }
}

TEST(DelayRing, EveryAcceptedDelayLeavesAChunkOfRoom) {
    for (const float delay : {0.0f, 0.001f, 0.3333f, 1.0f, 2.5f, 59.99f, 599.99f, 600.0f}) {
        for (const uint32_t rate : {32000u, 44100u, 48000u, 96000u, 192000u}) {
            const run_settings s = timing(delay, rate);
            const int64_t offset = delay_offset_for(s);
            EXPECT_EQ(offset % sample_bytes, 0) << delay << " s at " << rate;
            EXPECT_LT(offset + chunk_bytes, ring_size_for(s)) << delay << " s at " << rate;
        }
    }
}

TEST(DelayRing, CreatedZeroedAtPositionZero) {
    delay_ring ring;
    ASSERT_EQ(create_delay_ring(ring, 16384, 300), 0);
    ring.ring_position = 999;
    ASSERT_EQ(create_delay_ring(ring, 32768, 3000), 0);
    EXPECT_EQ(ring.ring_size, 32768);
    EXPECT_EQ(ring.delay_offset, 3000);
    EXPECT_EQ(ring.ring_position, 0);
    for (const lane& l : ring.lanes) {
        for (const uint8_t* bytes : {l.input_ring.get(), l.output_ring.get()}) {
            ASSERT_NE(bytes, nullptr);
            EXPECT_TRUE(std::all_of(bytes, bytes + 32768, [](uint8_t b) { return b == 0; }));
        }
    }
}

// The copy as it is defined: one byte at a time, each end wrapping on its own.
void reference_delay_copy(const std::vector<uint8_t>& in, std::vector<uint8_t>& out,
                          int64_t position, int64_t offset, int64_t n) {
    const auto size = static_cast<int64_t>(in.size());
    int64_t k = position;
    int64_t l = position + offset;
    for (int64_t i = 0; i < n; ++i, ++k, ++l) {
        if (l >= size) {
            l -= size;
        }
        if (k >= size) {
            k -= size;
        }
        out[static_cast<size_t>(l)] = in[static_cast<size_t>(k)];
    }
}

// -1 when equal, else the first index where they differ.
int64_t first_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a == b) {
        return -1;  // one block compare: the search below is slow in a debug build
    }
    const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return ia == a.end() && ib == b.end() ? -1 : ia - a.begin();
}

std::vector<uint8_t> contents(const ring_block& block, int64_t size) {
    return {block.get(), block.get() + size};
}

void randomize(uint8_t* bytes, int64_t size, std::mt19937& rng) {
    std::generate(bytes, bytes + size, [&] { return static_cast<uint8_t>(rng()); });
}

TEST(DelayRing, CopiesAndTransfersMatchTheByteLoopsAnywhereOnTheRing) {
    std::mt19937 rng(20240611);
    for (const int64_t size : {int64_t{16384}, int64_t{32768}}) {
        for (int round = 0; round < 400; ++round) {
            const int64_t offset =
                3 * std::uniform_int_distribution<int64_t>(0, (size - chunk_bytes - 1) / 3)(rng);
            // Every tenth round starts within a chunk of the ring end.
            const int64_t position =
                round % 10 == 0 ? size - std::uniform_int_distribution<int64_t>(1, chunk_bytes)(rng)
                                : std::uniform_int_distribution<int64_t>(0, size - 1)(rng);
            const int64_t n = round % 50 == 1 ? 0
                              : round % 50 == 2
                                  ? chunk_bytes
                                  : std::uniform_int_distribution<int64_t>(0, chunk_bytes)(rng);
            const auto id = static_cast<lane_id>(round % 2);
            SCOPED_TRACE("size " + std::to_string(size) + " offset " + std::to_string(offset) +
                         " position " + std::to_string(position) + " n " + std::to_string(n));

            delay_ring ring;
            ASSERT_EQ(create_delay_ring(ring, size, offset), 0);
            lane& used = ring.lanes[id];
            randomize(used.input_ring.get(), size, rng);
            randomize(used.output_ring.get(), size, rng);
            ring.ring_position = position;

            std::vector<uint8_t> in = contents(used.input_ring, size);
            std::vector<uint8_t> out = contents(used.output_ring, size);
            reference_delay_copy(in, out, position, offset, n);
            delay_copy(ring, id, n);
            EXPECT_EQ(first_difference(contents(used.output_ring, size), out), -1);
            EXPECT_EQ(first_difference(contents(used.input_ring, size), in), -1);

            std::vector<uint8_t> source(static_cast<size_t>(n));
            randomize(source.data(), n, rng);
            store(ring, id, source);
            std::vector<uint8_t> fetched(static_cast<size_t>(n));
            fetch(ring, id, fetched);
            for (int64_t i = 0; i < n; ++i) {
                in[static_cast<size_t>((position + i) % size)] = source[static_cast<size_t>(i)];
                ASSERT_EQ(fetched[static_cast<size_t>(i)],
                          out[static_cast<size_t>((position + i) % size)])
                    << "fetched byte " << i;
            }
            EXPECT_EQ(first_difference(contents(used.input_ring, size), in), -1);
            EXPECT_EQ(first_difference(contents(used.output_ring, size), out), -1);

            for (const ring_block* b :
                 {&ring.lanes[1 - id].input_ring, &ring.lanes[1 - id].output_ring}) {
                EXPECT_TRUE(std::all_of(b->get(), b->get() + size, [](uint8_t x) {
                    return x == 0;
                })) << "the other lane was touched";
            }

            advance(ring, n);
            EXPECT_EQ(ring.ring_position, (position + n) % size);
        }
    }
}

uint8_t pattern(int64_t index, int lane) {
    return mixed_byte(static_cast<uint64_t>(index) * 2 + static_cast<uint64_t>(lane) + 1);
}

struct stream_case {
    std::string name;
    int64_t ring_size;
    int64_t delay_offset;
    int64_t stream_bytes;
};

void PrintTo(const stream_case& c, std::ostream* os) {
    *os << c.name;
}

class DelayedStream : public ::testing::TestWithParam<stream_case> {};

TEST_P(DelayedStream, ComesOutExactlyOneDelayLate) {
    const stream_case& c = GetParam();
    delay_ring ring;
    ASSERT_EQ(create_delay_ring(ring, c.ring_size, c.delay_offset), 0);
    std::mt19937 rng(7);
    std::vector<uint8_t> played[2];
    int64_t stored = 0;
    for (int pass = 0; stored < c.stream_bytes; ++pass) {
        const int64_t frames = pass % 7 == 3 ? chunk_frames
                               : pass % 11 == 5
                                   ? 0
                                   : std::uniform_int_distribution<int64_t>(1, chunk_frames)(rng);
        const int64_t n = frames * sample_bytes;
        std::vector<uint8_t> piece(static_cast<size_t>(n));
        for (int l = 0; l < 2; ++l) {
            for (int64_t i = 0; i < n; ++i) {
                piece[static_cast<size_t>(i)] = pattern(stored + i, l);
            }
            store(ring, static_cast<lane_id>(l), piece);
            delay_copy(ring, static_cast<lane_id>(l), n);
            fetch(ring, static_cast<lane_id>(l), piece);
            played[l].insert(played[l].end(), piece.begin(), piece.end());
        }
        advance(ring, n);
        stored += n;
    }
    ASSERT_GT(stored, 2 * c.ring_size) << "the stream must go round the ring";
    for (int l = 0; l < 2; ++l) {
        std::vector<uint8_t> expected(static_cast<size_t>(stored));
        for (int64_t i = c.delay_offset; i < stored; ++i) {
            expected[static_cast<size_t>(i)] = pattern(i - c.delay_offset, l);
        }
        EXPECT_EQ(first_difference(played[l], expected), -1) << "lane " << l;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Delays, DelayedStream,
    ::testing::Values(stream_case{"NoDelayAt44100", ring_size_for(timing(0.0f, 44100)),
                                  delay_offset_for(timing(0.0f, 44100)), 3 << 18},
                      stream_case{"ThirdOfASecondAt44100", ring_size_for(timing(0.3333f, 44100)),
                                  delay_offset_for(timing(0.3333f, 44100)), 4 << 18},
                      stream_case{"ShorterThanOnePass", 16384, 300, 1 << 18},
                      stream_case{"RoundASmallRingManyTimes", 16384, 3999, 100 * 16384},
                      stream_case{"LongestDelayASmallRingHolds", 16384, 4095, 40 * 16384},
                      // Large enough that spent blocks of the input rings are given back.
                      stream_case{"LargeRingGivingBackItsInput", 1 << 22, 3 * 500001, 3 << 22}),
    [](const auto& info) { return info.param.name; });

int64_t resident_bytes(const uint8_t* block, int64_t size) {
    const auto page = static_cast<int64_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> pages(static_cast<size_t>((size + page - 1) / page));
    if (mincore(const_cast<uint8_t*>(block), static_cast<size_t>(size), pages.data()) != 0) {
        return -1;
    }
    return page * std::count_if(pages.begin(), pages.end(), [](unsigned char p) { return p & 1; });
}

// A long delay costs the memory of what it holds: the input rings keep only the block in use
// and the one before, the output rings what lies between playback and the bytes stored last,
// and what was never written (lane B in mono) takes nothing.
TEST(DelayRing, RingsHoldOnlyWhatIsDelayed) {
    constexpr int64_t size = int64_t{1} << 23;
    constexpr int64_t delay = 3 * 1000000;
    delay_ring ring;
    ASSERT_EQ(create_delay_ring(ring, size, delay), 0);
    std::vector<uint8_t> piece(static_cast<size_t>(chunk_bytes), 0x5a);
    for (int64_t stored = 0; stored < 2 * size; stored += chunk_bytes) {
        store(ring, lane_a, piece);
        delay_copy(ring, lane_a, chunk_bytes);
        advance(ring, chunk_bytes);
    }
    // The block in use, and the one left last, which may still be handed back.
    EXPECT_LE(resident_bytes(ring.lanes[lane_a].input_ring.get(), size),
              2 * released_block_bytes + chunk_bytes);
    EXPECT_LE(resident_bytes(ring.lanes[lane_a].output_ring.get(), size),
              delay + 2 * released_block_bytes + chunk_bytes);
    EXPECT_GE(resident_bytes(ring.lanes[lane_a].output_ring.get(), size), delay);
    EXPECT_EQ(resident_bytes(ring.lanes[lane_b].input_ring.get(), size), 0);
    EXPECT_EQ(resident_bytes(ring.lanes[lane_b].output_ring.get(), size), 0);
}

// A skip of nearly a whole ring wraps into the block it began in: that block still holds what
// plays next, and is not given back.
TEST(DelayRing, ALongSkipThatWrapsKeepsTheBlockItEndsIn) {
    constexpr int64_t size = int64_t{1} << 22;
    constexpr int64_t skip = 3 * 1198101;            // from late in the first block...
    constexpr int64_t lands = 899999 + skip - size;  // ...round to early in it again
    delay_ring ring;
    ASSERT_EQ(create_delay_ring(ring, size, (size - chunk_bytes - 1) / 3 * 3), 0);
    ring.ring_position = 899999;
    std::vector<uint8_t> ahead(600, 0x5a);
    std::memcpy(ring.lanes[lane_a].output_ring.get() + lands, ahead.data(), ahead.size());
    skip_output(ring, skip);
    ASSERT_EQ(ring.ring_position, lands);
    std::vector<uint8_t> got(ahead.size());
    copy_ahead(ring, lane_a, 0, got);
    EXPECT_EQ(got, ahead);
}

}  // namespace
}  // namespace livedelay

namespace livedelay {
namespace {

// What playback should take from a lane, kept the plain way: the frames ahead of the position
// in playing order, and the last ones behind it (what a rewind hands back), as runs of frames
// captured one after another. A run's frames carry the numbers first, first + 1, and so on;
// a run of silence carries none.
struct frame_run {
    int64_t first = -1;  // -1: silence
    int64_t frames = 0;
};

struct frame_runs {
    std::deque<frame_run> runs;
    int64_t frames = 0;

    void push_back(frame_run r) {
        if (r.frames > 0) {
            runs.push_back(r);
            frames += r.frames;
        }
    }
    void push_front(const std::vector<frame_run>& taken) {
        for (auto r = taken.rbegin(); r != taken.rend(); ++r) {
            if (r->frames > 0) {
                runs.push_front(*r);
                frames += r->frames;
            }
        }
    }
    // Takes n frames from the front, or from the back; each comes in playing order.
    std::vector<frame_run> take_front(int64_t n) {
        std::vector<frame_run> taken;
        for (; n > 0; runs.pop_front()) {
            frame_run& r = runs.front();
            const int64_t piece = std::min(n, r.frames);
            taken.push_back({r.first, piece});
            frames -= piece;
            n -= piece;
            if (piece < r.frames) {
                r.first = r.first < 0 ? -1 : r.first + piece;
                r.frames -= piece;
                break;
            }
        }
        return taken;
    }
    std::vector<frame_run> take_back(int64_t n) {
        std::vector<frame_run> taken;
        for (; n > 0; runs.pop_back()) {
            frame_run& r = runs.back();
            const int64_t piece = std::min(n, r.frames);
            taken.insert(taken.begin(), {r.first < 0 ? -1 : r.first + r.frames - piece, piece});
            frames -= piece;
            n -= piece;
            if (piece < r.frames) {
                r.frames -= piece;
                break;
            }
        }
        return taken;
    }
    // Puts silence `from_back` frames before the back.
    void insert_silence(int64_t from_back, int64_t n) {
        const std::vector<frame_run> newer = take_back(from_back);
        push_back({-1, n});
        for (const frame_run& r : newer) {
            push_back(r);
        }
    }
};

// The 24-bit sample of frame number `index` in a lane: never silence, and different in the
// two lanes.
int32_t indexed_sample(int64_t index, int lane) {
    const auto v = static_cast<int32_t>(index % 0xffffff) + 1;
    return lane == 0 ? v : 0x1000000 - v;
}

void put_frames(const frame_run& r, int lane, uint8_t* bytes) {
    for (int64_t f = 0; f < r.frames; ++f) {
        const int32_t v = r.first < 0 ? 0 : indexed_sample(r.first + f, lane);
        bytes[3 * f] = static_cast<uint8_t>(v);
        bytes[3 * f + 1] = static_cast<uint8_t>(v >> 8);
        bytes[3 * f + 2] = static_cast<uint8_t>(v >> 16);
    }
}

std::vector<uint8_t> bytes_of(const std::vector<frame_run>& runs, int lane) {
    std::vector<uint8_t> bytes;
    for (const frame_run& r : runs) {
        const size_t at = bytes.size();
        bytes.resize(at + static_cast<size_t>(r.frames * sample_bytes));
        put_frames(r, lane, bytes.data() + at);
    }
    return bytes;
}

// Rings of a few blocks, where what lies behind the position is handed back as it goes,
// driven by random passes and every change of the delay: what playback takes is always what
// the plain model says, however close the delay comes to the ring's size.
TEST(DelayRing, RandomChangesNeverLoseWhatIsStillToPlay) {
    constexpr int steps = 2000;
    const int64_t block_frames = released_block_bytes / sample_bytes;
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const auto random = [&](int64_t low, int64_t high) {
            return high <= low ? low : std::uniform_int_distribution<int64_t>(low, high)(rng);
        };
        delay_ring ring;
        const int64_t size = released_block_bytes << random(2, 3);
        // Half of the runs start with the longest delay the ring takes.
        const int64_t most = (size - chunk_bytes) / sample_bytes - 1;
        const int64_t start = seed % 2 == 0 ? most : random(0, most);
        ASSERT_EQ(create_delay_ring(ring, size, start * sample_bytes), 0);
        ring.ring_position = random(0, size - 1);
        frame_runs ahead;
        frame_runs behind;
        ahead.push_back({-1, start});
        int64_t captured = 0;
        for (int step = 0; step < steps; ++step) {
            const int64_t delay = ring.delay_offset / sample_bytes;
            ASSERT_EQ(delay, ahead.frames) << "step " << step;
            const int64_t room = (ring.ring_size - ring.delay_offset - chunk_bytes) / 3 - 1;
            const int64_t what = random(0, 99);
            if (what < 60) {
                const int64_t n = random(0, chunk_frames);
                ahead.push_back({captured, n});
                const std::vector<frame_run> due = ahead.take_front(n);
                for (int l = 0; l < 2; ++l) {
                    std::vector<uint8_t> in(static_cast<size_t>(n * sample_bytes));
                    put_frames({captured, n}, l, in.data());
                    store(ring, static_cast<lane_id>(l), in);
                    delay_copy(ring, static_cast<lane_id>(l), n * sample_bytes);
                    std::vector<uint8_t> out(in.size());
                    fetch(ring, static_cast<lane_id>(l), out);
                    ASSERT_EQ(first_difference(out, bytes_of(due, l)), -1)
                        << "step " << step << " lane " << l << ", delay " << delay << " frames";
                }
                advance(ring, n * sample_bytes);
                captured += n;
                // What playback just took can be handed back, unless stored bytes overwrote it.
                EXPECT_GE(ring.taken_bytes,
                          std::min(n * sample_bytes, ring.ring_size - ring.delay_offset - 2));
                for (const frame_run& r : due) {
                    behind.push_back(r);
                }
            } else if (what < 68) {
                const int64_t n = random(0, delay);
                skip_output(ring, n * sample_bytes);
                for (const frame_run& r : ahead.take_front(n)) {
                    behind.push_back(r);
                }
            } else if (what < 76) {
                const int64_t n = random(0, room);
                pause_output(ring, n * sample_bytes);
                behind.take_back(std::min(n, behind.frames));
                ahead.push_front({{-1, n}});
            } else if (what < 84) {
                const int64_t n = random(0, room);
                // Capture's gaps are noticed within a few reads of them.
                const int64_t from_back = random(0, std::min(delay, 4 * chunk_frames));
                pause_input(ring, n * sample_bytes, from_back * sample_bytes);
                ahead.insert_silence(from_back, n);
            } else if (what < 90) {
                // As much as the rings say they still hold as playback took it.
                const int64_t n = random(0, std::min(ring.taken_bytes / sample_bytes, room));
                rewind_output(ring, n * sample_bytes);
                ahead.push_front(behind.take_back(n));
            } else if (what < 96) {
                const int64_t n = random(0, delay);
                cut_newest(ring, n * sample_bytes);
                ahead.take_back(n);
            } else if (what == 96) {  // rare: it copies all that is held
                const int64_t need = ring_size_holding(ring.delay_offset + chunk_bytes + 1);
                ASSERT_EQ(
                    relay_delay_ring(ring, std::max(need, released_block_bytes << random(1, 3))),
                    0);
            } else {
                const int64_t from = random(0, delay);
                const int64_t n = random(0, std::min<int64_t>(delay - from, chunk_frames));
                frame_runs copy = ahead;
                copy.take_front(from);
                std::vector<uint8_t> got(static_cast<size_t>(n * sample_bytes));
                copy_ahead(ring, lane_b, from * sample_bytes, got);
                ASSERT_EQ(first_difference(got, bytes_of(copy.take_front(n), 1)), -1)
                    << "step " << step;
            }
            behind.take_front(std::max<int64_t>(0, behind.frames - 2 * block_frames));
        }
        // What is still to play, to the last frame, in both lanes.
        for (int l = 0; l < 2; ++l) {
            std::vector<uint8_t> got(static_cast<size_t>(ring.delay_offset));
            copy_ahead(ring, static_cast<lane_id>(l), 0, got);
            frame_runs all = ahead;
            EXPECT_EQ(first_difference(got, bytes_of(all.take_front(all.frames), l)), -1);
        }
    }
}

}  // namespace
}  // namespace livedelay
