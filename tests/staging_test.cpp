// The staging areas ALSA reads into and writes from, and the routing of channels between them
// and the delay ring in each mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "delay.hpp"
#include "mixed_byte.hpp"

namespace livedelay {
namespace {

// What the loop writes through a channel's span is what ALSA finds behind that channel's
// entry of the table, at any position, and no channel's span reaches into another's.
TEST(StagingArea, EachChannelsSpanIsWhatItsTableEntryPointsAt) {
    for (const int64_t position : {0, 1, 1000, 4095}) {
        staging_area area;
        ASSERT_EQ(create_staging_area(area, 4), 0);
        advance_staging(area, position);
        fill_table(area);
        const int64_t frames = chunk_frames - position;
        for (int c = 0; c < 4; ++c) {
            const std::span<uint8_t> bytes = channel_bytes(area, c, frames);
            ASSERT_EQ(bytes.size(), static_cast<size_t>(frames * sample_bytes));
            std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(0x10 + c));
        }
        for (int c = 0; c < 4; ++c) {
            const auto* seen =
                static_cast<const uint8_t*>(area.channel_table[static_cast<size_t>(c)]);
            EXPECT_TRUE(std::all_of(seen, seen + frames * sample_bytes,
                                    [c](uint8_t b) { return b == 0x10 + c; }))
                << "channel " << c << " at " << position;
        }
    }
}

TEST(StagingArea, AdvanceWrapsAtTheChunkEndAndIgnoresNoMove) {
    struct step {
        int64_t from;
        int64_t frames;
        uint32_t to;
    };
    for (const step& s : {step{0, 0, 0}, step{0, 100, 100}, step{100, -5, 100}, step{100, 0, 100},
                          step{4000, 95, 4095}, step{4000, 96, 0}, step{4095, 1, 0},
                          step{10, 4096, 0}, step{1, 1 << 20, 0}}) {
        staging_area area;
        ASSERT_EQ(create_staging_area(area, 1), 0);
        advance_staging(area, s.from);
        advance_staging(area, s.frames);
        EXPECT_EQ(area.staging_position, s.to) << s.from << " + " << s.frames;
    }
}

// Byte `index` of what capture channel `channel` delivers; every channel differs.
uint8_t captured(int channel, int64_t index) {
    return mixed_byte(static_cast<uint64_t>(index) * 64 + static_cast<uint64_t>(channel) + 1);
}

struct route_case {
    std::string name;
    routing_mode mode;
    int32_t input;  // 0-based
    int32_t output;
    int32_t channels;
    std::vector<std::pair<int, int>> routes;  // (capture channel, playback channel)
};

// Both staging areas and a ring, moved by the transfer loop's own pass.
struct rig {
    run_settings settings;
    staging_area capture;
    staging_area playback;
    delay_ring ring;
    crossfade fade;  // none under way
    int64_t captured_frames = 0;
    std::vector<std::vector<uint8_t>> played;

    explicit rig(const route_case& c) {
        settings.mode = c.mode;
        settings.input_channel = c.input;
        settings.output_channel = c.output;
        settings.channel_count = c.channels;
        played.resize(static_cast<size_t>(c.channels));
        EXPECT_EQ(create_staging_area(capture, c.channels), 0);
        EXPECT_EQ(create_staging_area(playback, c.channels), 0);
    }

    // Captures `frames` on every channel, routes them through the ring, keeps what each
    // playback channel is given, and advances the playback area by `written` of them.
    void pass(int64_t frames, int64_t written) {
        for (int c = 0; c < capture.region_count; ++c) {
            const std::span<uint8_t> bytes = channel_bytes(capture, c, frames);
            for (size_t i = 0; i < bytes.size(); ++i) {
                bytes[i] = captured(c, captured_frames * sample_bytes + static_cast<int64_t>(i));
            }
        }
        delay_pass(ring, fade, capture, playback, settings, frames, true);
        for (int c = 0; c < playback.region_count; ++c) {
            const std::span<uint8_t> bytes = channel_bytes(playback, c, frames);
            played[static_cast<size_t>(c)].insert(played[static_cast<size_t>(c)].end(),
                                                  bytes.begin(), bytes.end());
        }
        advance_staging(playback, written);
        captured_frames += frames;
    }
};

void PrintTo(const route_case& c, std::ostream* os) {
    *os << c.name;
}

int source_of(const route_case& c, int playback_channel) {
    for (const auto& [from, to] : c.routes) {
        if (to == playback_channel) {
            return from;
        }
    }
    return -1;
}

class Routing : public ::testing::TestWithParam<route_case> {
protected:
    // Runs passes of varying size, each within chunk_room, and checks every playback channel:
    // its source exactly `delay_offset` bytes late after zeros, or silence.
    void check_stream(rig& r) {
        const route_case& c = GetParam();
        std::mt19937 rng(11);
        for (int pass = 0; r.captured_frames * sample_bytes < 2 * r.ring.ring_size + 40000;
             ++pass) {
            const int64_t room = chunk_room(r.capture, r.playback);
            const int64_t frames =
                pass % 5 == 2 ? room
                              : std::min<int64_t>(room, std::uniform_int_distribution<int64_t>(
                                                            0, chunk_frames)(rng));
            r.pass(frames, frames);
        }
        for (int p = 0; p < c.channels; ++p) {
            const int source = source_of(c, p);
            const std::vector<uint8_t>& got = r.played[static_cast<size_t>(p)];
            ASSERT_EQ(static_cast<int64_t>(got.size()), r.captured_frames * sample_bytes);
            for (int64_t i = 0; i < static_cast<int64_t>(got.size()); ++i) {
                const uint8_t expected = source < 0 || i < r.ring.delay_offset
                                             ? 0
                                             : captured(source, i - r.ring.delay_offset);
                ASSERT_EQ(got[static_cast<size_t>(i)], expected)
                    << "playback channel " << p << " byte " << i;
            }
        }
    }
};

TEST_P(Routing, WithoutDelayEachPassComesStraightBack) {
    rig r(GetParam());
    run_settings timing;
    timing.delay_seconds = 0.0f;
    timing.delay_plus_one_seconds = 1.0f;
    timing.sample_rate = 44100;
    ASSERT_EQ(create_delay_ring(r.ring, ring_size_for(timing), delay_offset_for(timing)), 0);
    check_stream(r);
}

TEST_P(Routing, WithADelayEachChannelComesOutLate) {
    rig r(GetParam());
    ASSERT_EQ(create_delay_ring(r.ring, 32768, 3 * 1001), 0);
    check_stream(r);
}

// A short write leaves the two areas at different positions; the next transfer must fill
// exactly the room left before the nearer region end and put every byte where it belongs.
TEST_P(Routing, UnequalPositionsKeepTheNextTransferInsideTheRegions) {
    const route_case& c = GetParam();
    for (const auto& [read, written] : {std::pair{1000, 600}, std::pair{4000, 4095}}) {
        rig r(c);
        ASSERT_EQ(create_delay_ring(r.ring, 16384, 0), 0);
        r.pass(read, written);
        const int64_t room = chunk_room(r.capture, r.playback);
        ASSERT_EQ(room, 4096 - std::max(read, written));
        r.pass(room, room);
        EXPECT_EQ(r.capture.staging_position, (read + room) % 4096);
        EXPECT_EQ(r.playback.staging_position, (written + room) % 4096);

        for (int p = 0; p < c.channels; ++p) {
            const int source = source_of(c, p);
            const uint8_t* region = r.playback.block.get() + p * chunk_bytes;
            for (int64_t f = 0; f < chunk_frames; ++f) {
                // Frames [0, read) were played first, then the room from the written position on.
                int64_t index = -1;
                if (f >= written && f < written + room) {
                    index = (read + f - written) * sample_bytes;
                } else if (f < read) {
                    index = f * sample_bytes;
                }
                for (int b = 0; b < sample_bytes; ++b) {
                    const uint8_t expected =
                        source < 0 || index < 0 ? 0 : captured(source, index + b);
                    ASSERT_EQ(region[f * sample_bytes + b], expected)
                        << "playback channel " << p << " frame " << f << " after " << read
                        << " read, " << written << " written";
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Routing,
    ::testing::Values(
        route_case{"MonoToSecondOutput", routing_mode::mono_to_mono, 0, 1, 2, {{0, 1}}},
        route_case{"MonoThirdToSecond", routing_mode::mono_to_mono, 2, 1, 4, {{2, 1}}},
        route_case{"StereoThirdToFirst", routing_mode::stereo_to_stereo, 2, 0, 4, {{2, 0}, {3, 1}}},
        route_case{"StereoFirstToThird", routing_mode::stereo_to_stereo, 0, 2, 4, {{0, 2}, {1, 3}}},
        route_case{"BothFromSecondToSecond", routing_mode::mono_to_both, 1, 1, 4, {{1, 1}, {1, 2}}},
        route_case{"BothFromFourthToFirst", routing_mode::mono_to_both, 3, 0, 6, {{3, 0}, {3, 1}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace livedelay
