// The resampler that corrects the drift: where each frame comes out, how clean, and that the
// way the loop happens to cut its calls changes nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "samples.hpp"
#include "stretch.hpp"

namespace livedelay {
namespace {

constexpr double amplitude = 0.5 * full_scale;

std::vector<uint8_t> sine_bytes(int64_t frames, double cycles_per_frame) {
    std::vector<uint8_t> bytes(static_cast<size_t>(frames * sample_bytes));
    for (int64_t f = 0; f < frames; ++f) {
        put_sample(bytes.data() + f * sample_bytes,
                   static_cast<int32_t>(std::lrint(
                       amplitude * std::sin(2 * std::numbers::pi * cycles_per_frame * f))));
    }
    return bytes;
}

// Runs `in` through a fresh mono stretcher in calls of the sizes `pick` chooses, each with
// room for exactly what it chooses; gives every frame made.
template <typename Pick>
std::vector<int32_t> run_through(const std::vector<uint8_t>& in, double ratio, Pick pick) {
    stretcher s;
    EXPECT_EQ(create_stretcher(s, 1), 0);
    const int64_t frames = static_cast<int64_t>(in.size()) / sample_bytes;
    std::vector<int32_t> made;
    int64_t taken = 0;
    while (taken < frames) {
        const auto [offer, room] = pick();
        const std::span<const uint8_t> lane_in(in.data() + taken * sample_bytes,
                                               in.size() - taken * sample_bytes);
        std::vector<uint8_t> out(static_cast<size_t>(room * sample_bytes));  // exactly the room
        const std::span<uint8_t> lane_out(out);
        const stretched d = stretch(s, std::span(&lane_in, 1), std::min(offer, frames - taken),
                                    std::span(&lane_out, 1), room, ratio);
        EXPECT_LE(d.made, room);
        EXPECT_LE(held_frames(s), 17) << "takes only what the room needs";
        for (int64_t f = 0; f < d.made; ++f) {
            made.push_back(sample_at(out.data() + f * sample_bytes));
        }
        taken += d.taken;
    }
    return made;
}

// Input frame n comes out at n * ratio, 16 frames later: a tone comes out where it went in,
// within 100 dB once its level is fitted (the filter takes 0.03 dB off at 0.34 of the rate, 15
// kHz at 44 100 Hz). A frame's place off by a ten-thousandth of a frame, or plain linear
// interpolation, fails this by tens of dB.
TEST(Stretch, EachFrameComesOutWhereItsRatioPutsIt) {
    for (const double ratio : {1.0, 1.001, 0.999, 1.02}) {
        for (const double cycles_per_frame : {1000.0 / 44100, 15000.0 / 44100}) {
            const auto made = run_through(sine_bytes(20000, cycles_per_frame), ratio, [] {
                return std::pair<int64_t, int64_t>{512, 512};
            });
            ASSERT_NEAR(static_cast<double>(made.size()), (20000 - 16) * ratio, 2);
            std::vector<double> wanted;
            double along = 0;
            double wanted_energy = 0;
            for (size_t k = 100; k < made.size(); ++k) {
                const double at_input = static_cast<double>(k) / ratio;
                wanted.push_back(amplitude *
                                 std::sin(2 * std::numbers::pi * cycles_per_frame * at_input));
                along += made[k] * wanted.back();
                wanted_energy += wanted.back() * wanted.back();
            }
            const double gain = along / wanted_energy;
            double error_energy = 0;
            for (size_t k = 100; k < made.size(); ++k) {
                const double error = made[k] - gain * wanted[k - 100];
                error_energy += error * error;
            }
            const std::string tone = std::to_string(ratio) + " " + std::to_string(cycles_per_frame);
            EXPECT_NEAR(20 * std::log10(gain), 0, 0.05) << tone;
            EXPECT_LT(10 * std::log10(error_energy / wanted_energy), -100) << tone;
        }
    }
}

TEST(Stretch, HowTheCallsAreCutChangesNoFrame) {
    const auto in = sine_bytes(30000, 0.05);
    const auto whole = run_through(in, 1.0007, [] {
        return std::pair<int64_t, int64_t>{30000, 40000};
    });
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> size(0, 700);
    const auto cut = run_through(in, 1.0007, [&] { return std::pair{size(random), size(random)}; });
    ASSERT_EQ(cut.size(), whole.size());
    EXPECT_EQ(cut, whole);
}

// After the history of what already played, the next frame out is the next frame in: the
// sound goes on without a seam, and nothing of the history comes out again.
TEST(Stretch, AWarmStartFollowsOnFromTheHistory) {
    const auto in = sine_bytes(1000, 0.01);
    for (const int64_t history_frames : {32, 256}) {
        stretcher s;
        ASSERT_EQ(create_stretcher(s, 1), 0);
        const std::span<const uint8_t> history(in.data(),
                                               static_cast<size_t>(history_frames * sample_bytes));
        warm_up(s, std::span(&history, 1), history_frames);
        EXPECT_EQ(held_frames(s), 0);
        const std::span<const uint8_t> rest = std::span(in).subspan(history.size());
        std::vector<uint8_t> out(100 * sample_bytes);
        const std::span<uint8_t> lane_out(out);
        const stretched d = stretch(s, std::span(&rest, 1), 1000 - history_frames,
                                    std::span(&lane_out, 1), 100, 1.0);
        ASSERT_EQ(d.made, 100);
        EXPECT_EQ(d.taken, 116);
        for (int64_t f = 0; f < 100; ++f) {
            EXPECT_NEAR(sample_at(out.data() + f * sample_bytes),
                        sample_at(rest.data() + f * sample_bytes), amplitude * 1e-5)
                << history_frames << " frame " << f;
        }
    }
}

}  // namespace
}  // namespace livedelay
