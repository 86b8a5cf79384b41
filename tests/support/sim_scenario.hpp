// Scenarios in simulated time: the real transfer loop, as the program's run sequence drives
// it, on the simulated card or server (support/sim_card.hpp), with commands on standard input
// at set times, and what it played judged as the card's trials judge it.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "delay.hpp"
#include "support/fake_card.hpp"
#include "support/sim_card.hpp"

namespace livedelay {

constexpr int64_t ns_per_s = 1000000000;

// A run of the loop on the simulated card.
struct scenario {
    double delay = 0.5;
    unsigned rate = 48000;
    int seconds = 4;
    int mode = 1;
    sim_card_setup card{};
    rebuild_options options{};
    // Lines on standard input, each at its simulated time.
    std::vector<std::pair<double, std::string>> commands{};
    // What else happens: faults, a program that stops.
    std::function<void(sim_world&)> arrange{};
};

struct outcome {
    int err = 0;
    std::string out;
    std::string err_text;
    std::string played;
    int64_t waits = 0;
    double end_s = 0;
    transfer_state* state = nullptr;
};

struct sim_run {
    sim_world world;
    run_settings settings;
    transfer_state t;
    outcome result;
};

// Runs the loop as the program's run sequence does: both streams prepared, capture started,
// the loop until the frame budget is played.
void run_scenario(const scenario& s, sim_run& run);

// The first channel played, heard as on one clock.
heard_channel heard_on_one_clock(const sim_run& run);

// The run ended without an error, and with no marker (RX or PX) on standard output.
void expect_no_marker(const sim_run& run);

// Every frame heard `delay` after it was captured, within a millisecond once the first
// judgment is heard, as the card's trials ask.
void expect_heard_at(const sim_run& run, double delay, delay_rule rule = {});

// The delays heard from `from_s` (playback-clock seconds) on, and how many frames there are.
struct delay_range {
    double lowest = INFINITY;
    double highest = -INFINITY;
    int64_t frames = 0;
};

delay_range heard_from(const sim_run& run, double from_s, double to_s = INFINITY);

}  // namespace livedelay
