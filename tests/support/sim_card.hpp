// A sound card, or a sound server's plugin, on a simulated clock, for the real transfer loop
// to run against at many times real speed: the fault-injecting card's clocked mode
// (tests/fake_card/) in the test's own process, with time that moves only when the loop
// waits. Each stream runs on a clock of its own, `ppm` fast, from one origin; a captured frame
// names the clock frame it was captured at, ((c+1) << 20) | (F & 0xfffff); a written frame is
// played when the clock passes it, into `played` at that clock frame (zeros where nothing was
// played), so that `hear` and `delay_problems` (support/fake_card.hpp) judge a simulated run
// as they judge a real one. Faults, a process that stops and late wakes come at set simulated
// times, from a seed.
//
// A card's positions move at the ends of the periods of its clock's grid, as its interrupts
// would, and it reports an underrun. A server (`sim_server`) hands capture over in blocks and
// holds seconds of it, plays without a grid, reports its queue late and unevenly, and reports
// an underrun the moment its queue runs dry.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "loop_io.hpp"

struct sim_world;

// What makes a stream a sound server's rather than a card's. The defaults are PulseAudio's
// plugin at 48000 Hz with the program's buffer (four periods of 4096 frames), as pcm_probe
// measures them on the test server (PulseServer.BehavesAsTheTestsModelIt checks them); the
// server keeps time, so at another rate its frame counts scale with the rate.
struct sim_server {
    bool on = false;
    int64_t block_frames = 319;           // capture is handed over in blocks of this
    int64_t playback_step_frames = 4120;  // playback's room grows in steps of about this
    int64_t report_lag_frames = 120;      // the queue is reported low by up to this
    int64_t wake_ns = 5000000;            // the plugin's descriptor turns ready this often
    // Audio the server holds beyond the queue (its graph): heard this much after it leaves
    // the queue, and reported with it.
    int64_t graph_frames = 0;
    // From this time on the queue is reported up to `late_frames` high, as when the server or
    // the program is starved of the CPU.
    int64_t late_from_ns = INT64_MAX;
    int64_t late_frames = 0;
    // From `bend_from_ns` to `bend_to_ns` the queue is reported high by more and more, `bend_ppm`
    // of the time since, then right again: a server starved of the CPU for seconds (PulseAudio's
    // playback fell 1100 to 1800 ppm behind for 6 s on the test server, then caught up).
    int64_t bend_from_ns = INT64_MAX;
    int64_t bend_to_ns = INT64_MAX;
    int64_t bend_ppm = 0;
    // Reports that wander, as PulseAudio's do: low by `early_low_frames` in the first half
    // second, then from 2 s on high by up to `wander_frames`, rising and falling over 6 s.
    int64_t early_low_frames = 0;
    int64_t wander_frames = 0;
};

// PipeWire's own plugin on the test server, its quantum fixed at 1024 frames, with the
// program's buffer, as pcm_probe measures it (PipeWireServer.BehavesAsTheTestsModelIt checks
// it): capture is handed over a quantum at a time, playback's room grows a quantum at a time,
// and the queue is reported low by up to 100 frames; playback that runs dry says so, and once
// prepared with less than a quantum queued runs dry again at its next quantum (the model's, once
// what is queued has played). When its descriptor turns ready is not measured yet: the model's
// is PulseAudio's.
inline sim_server pipewire_plugin() {
    return {
        .on = true, .block_frames = 1024, .playback_step_frames = 1024, .report_lag_frames = 100};
}

// JACK through `plug` on the test server (the dummy driver, periods of 1024 frames), as
// pcm_probe measures it (JackServer.BehavesAsTheTestsModelIt checks it): capture and playback
// move a period at a time, and the queue is reported to the frame; playback that runs dry says
// so, and once prepared with less than a period queued runs dry again at its next period.
inline sim_server jack_through_plug() {
    return {.on = true, .block_frames = 1024, .playback_step_frames = 1024, .report_lag_frames = 0};
}

struct sim_stream {
    sim_world* world = nullptr;
    bool playback = false;
    unsigned rate = 48000;
    int channels = 2;
    int64_t period_frames = 4096;
    int64_t buffer_frames = 16384;
    int64_t ppb = 0;  // how much faster than its rate the clock runs, in parts per billion
    bool resumes = true;
    sim_server server;

    livedelay::stream_state state = livedelay::stream_state::open;
    bool clock_running = false;
    int64_t start_frame = 0;     // the clock frame that plays (captures) position...
    int64_t start_position = 0;  // ...this one, since the last start or resume
    int64_t done = 0;            // positions played (captured) so far, to the frame
    int64_t last_position = 0;   // what the pointer last gave: the period grid's
    int64_t appl = 0;            // frames written (read) since the prepare
    std::vector<uint8_t> ring;   // the card's buffer, interleaved, one slot a position
    int64_t next_tick_ns = 0;    // when the poll descriptor next turns ready
    int64_t xruns = 0;
    int64_t first_xrun_ns = -1;  // when the card itself first ran dry or full
};

// What a stream does at a simulated time. A frozen stream (a sound server stopped) holds its
// position, still says it runs, and its descriptor never turns ready.
enum class sim_fault { xrun, suspend, gone, freeze };

// A loaded machine: the simulated wakes of the scenarios that model one come this late every
// time. Beside a busy neighbour (a CPU-bound process at nice 19 on every core) this machine
// woke 99 % of the time within 0.1 to 0.7 ms, at worst 5.4 ms late (3 runs of 400 wakes);
// BusyNeighbour.WakesNoLaterThanTheSimulatedLoadedMachine measures it again in every suite.
constexpr int64_t loaded_wake_late_ns = 3000000;

struct sim_world {
    int64_t now_ns = 0;
    std::mt19937_64 rng;
    int64_t wake_jitter_ns = 0;  // each wake comes up to this late, at random
    int64_t wake_late_ns = 0;    // ...on top of this, every time (a loaded machine)
    sim_stream capture;
    sim_stream playback;
    std::string played;             // as the card's played.raw, indexed by playback-clock frame...
    int64_t played_from_frame = 0;  // ...from this one
    // For a long run: what is played and final goes here, a few seconds at a time, and is
    // dropped from `played`; hand_over_played passes on the rest.
    std::function<void(const std::string& played, int64_t from_frame)> take_played;
    // Things that happen at a simulated time, earliest first: faults, commands, a stop.
    struct event {
        int64_t at_ns;
        std::function<void()> act;
    };
    std::vector<event> events;
    // Spans of time the program does not run (stopped, starved): a wait that would end
    // inside one ends at its end.
    struct frozen_span {
        int64_t from_ns;
        int64_t to_ns;
        // A server's client thread stops with the program: what it would have captured is
        // lost, and capture goes on from later.
        bool capture_lost = false;
    };
    std::vector<frozen_span> frozen;
    int64_t waits = 0;
};

struct sim_card_setup {
    unsigned rate = 48000;
    int channels = 2;
    int64_t period_frames = 4096;
    int64_t buffer_frames = 16384;
    double capture_ppm = 0;
    double playback_ppm = 0;
    uint64_t seed = 1;
    int64_t wake_jitter_ns = 0;
    int64_t wake_late_ns = 0;
    sim_server server{};  // both streams a server's, when on
};

void make_sim_card(sim_world& world, const sim_card_setup& setup);

// Passes what `played` holds to `take_played`, and drops it.
void hand_over_played(sim_world& world);

// At `at_ns`, `act` happens.
void at(sim_world& world, int64_t at_ns, std::function<void()> act);
// At `at_ns`, the stream is struck by the fault, as the card's transfers are.
void strike(sim_world& world, sim_stream& s, int64_t at_ns, sim_fault fault);

// The loop's view of the card and its clock.
livedelay::stream sim_capture(sim_world& world);
livedelay::stream sim_playback(sim_world& world);
livedelay::loop_clock sim_clock(sim_world& world);
