// Standard input as a hostile user would give it, to the real loop in simulated time: a burst
// of thousands of commands, a megabyte of noise, and a change to below the shortest delay.
// None of it may stall the audio, garble the screen, or be heard as a click.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "mixed_byte.hpp"
#include "support/sim_scenario.hpp"

namespace livedelay {
namespace {

constexpr unsigned rate = 48000;

// Ten thousand commands at once come to their net effect without holding up the audio: no
// marker, and the delay is the one they asked, said last.
TEST(SimInput, ABurstOfCommandsComesToTheirSumWithoutAMarker) {
    std::string lines;
    for (int i = 0; i < 10000; ++i) {
        lines += "delay +0.0001\n";
    }
    lines.pop_back();  // the scenario ends each line
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5, .seconds = 5, .commands = {{1.0, lines}}}, *run);
    expect_no_marker(*run);
    EXPECT_EQ(run->result.err_text, "");
    const std::string& out = run->result.out;
    const size_t said = out.rfind("\nTime delay ~ ");
    ASSERT_NE(said, std::string::npos) << out;
    EXPECT_EQ(out.substr(said, 24), "\nTime delay ~ 1.500 sec\n");
    const heard_channel heard = heard_on_one_clock(*run);
    ASSERT_FALSE(heard.frames.empty());
    EXPECT_NEAR(heard.frames.back().delay, 1.5, 0.001);
}

// A megabyte of noise: every line refused, a few refusals a second and a count of the rest,
// each quoting a short, escaped part, so that nothing reaches the terminal that it could act
// on; and the audio plays on untouched.
TEST(SimInput, NoiseIsRefusedBrieflyAndHarmlessly) {
    std::string noise(1 << 20, '\0');
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<char>(mixed_byte(i));
    }
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5, .seconds = 4, .commands = {{0.0, noise}}}, *run);
    expect_no_marker(*run);
    expect_heard_at(*run, 0.5);
    const std::string& err = run->result.err_text;
    EXPECT_LE(err.size(), 2000u) << err;
    EXPECT_NE(err.find(" more command lines refused\n"), std::string::npos) << err;
    for (const char c : err) {
        const auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7f)) << err;
    }
    EXPECT_EQ(err.find("\xc2\x9b"), std::string::npos) << err;
}

// A change to below the shortest delay the device allows plays at that shortest delay, and is
// heard as every other change is: a crossfade of 5 ms from the old delay into the new one.
TEST(SimInput, AChangeBelowTheShortestDelayIsCrossfaded) {
    auto run = std::make_unique<sim_run>();
    run_scenario({.delay = 0.5, .seconds = 4, .commands = {{1.5, "delay 0.05"}}}, *run);
    expect_no_marker(*run);
    EXPECT_NE(run->result.out.find("\nTime delay ~ 0.050 sec\n"), std::string::npos)
        << run->result.out;

    const heard_channel heard = heard_on_one_clock(*run);
    EXPECT_TRUE(heard.silences.empty())
        << heard.silences.size() << " silences, the first at " << heard.silences.front().from;
    // The last frame at the old delay and the first at the shortest.
    const auto old_end = std::find_if(
        heard.frames.begin(), heard.frames.end(),
        [](const heard_frame& f) { return f.played > rate && std::abs(f.delay - 0.5) > 0.001; });
    ASSERT_NE(old_end, heard.frames.end());
    // The shortest delay on the card is two periods of 4096 frames and a little: what plays
    // from the end of the join on.
    const double final_delay = heard.frames.back().delay;
    EXPECT_NEAR(final_delay, 0.172, 0.002);
    auto shortest = heard.frames.end();
    while (shortest != old_end && std::abs(std::prev(shortest)->delay - final_delay) < 0.00005) {
        --shortest;
    }
    ASSERT_NE(shortest, heard.frames.end());
    const int64_t joined = shortest->played - old_end->played;
    EXPECT_GE(joined, 200) << "a crossfade of 240 frames";
    EXPECT_LE(joined, 260) << "a crossfade of 240 frames";
    for (auto f = old_end; f != shortest; ++f) {
        EXPECT_LE(f->delay, 0.5) << f->played;
        EXPECT_GE(f->delay, final_delay) << f->played;
    }
}

}  // namespace
}  // namespace livedelay
