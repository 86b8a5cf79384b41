// What the real-time tests share: a private sound server started and stopped through its
// fixture script, or shared by the test runner between the tests of that server; a
// measurement that records the signal and the program's output on the server's one clock;
// the click analyser's verdict on that recording; and what every run is expected to show.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/process.hpp"

struct sound_server {
    std::string name;    // pulse, pipewire or jack
    std::string script;  // the fixture script
    std::vector<std::string> start_options;
    std::vector<std::string> measure_env;  // what the fixture's measure needs
    int rate = 48000;
    std::string dir;      // set by start_server and use_server
    bool shared = false;  // started by the test runner, before the test, and stopped after it
};

// The three fixtures: PulseAudio at `rate`, PipeWire with its own ALSA plugin, JACK with the
// rig that plays and records on its clock.
sound_server pulse_server(int rate = 48000);
sound_server pipewire_server();
sound_server jack_server();

// The name the test runner shares a server under: pulse48000, pulse44100, pipewire, jack.
std::string shared_name(const sound_server& server);

// Starts the server in a fresh directory; gives the script's result.
process_result start_server(sound_server& server);
// Stops it (by its pid, which the script keeps) and, unless `keep`, removes its directory.
void stop_server(const sound_server& server, bool keep);

// The server a test runs on. Where the test runner shares servers (LIVEDELAY_SHARED_SERVERS
// names the directory they run in; tests/CMakeLists.txt starts them before their tests, which
// it runs one at a time, and stops them after), the one shared under the server's name: every
// test on it but the first runs on a server that has served others, as servers in use do.
// Otherwise one started for the test. Status 0 when the server is there.
process_result use_server(sound_server& server);
// Stops the server if the test started it, keeping its directory when the test failed.
void leave_server(const sound_server& server, bool failed);

struct listed_click;

// A test's server, and a directory of the test's own for what it plays and records: opened in
// the test fixture's SetUp, closed in its TearDown.
struct server_session {
    sound_server server;
    std::string work;
    // Takes `s` (use_server) and makes `work`, with the trials' click train in it (clicks.wav,
    // clicks.txt) when `clicks`.
    ::testing::AssertionResult open(const sound_server& s, bool clicks = true);
    // Leaves the server (leave_server); removes `work` unless the test failed.
    void close(bool failed);
    // The clicks of the signal open wrote into `work` (clicks.txt).
    std::vector<listed_click> listed() const;
};

// What a program run on the server needs in its environment, as the fixture's measure gives
// it to its command (the fixture writes it to DIR/program.env).
std::vector<std::string> program_env(const sound_server& server);

// Records the signal and the output of `command` on the server's clock; `options` are the
// fixture's measure options (--lead, --tail, --stall ...).
struct measurement {
    process_result fixture;
    std::string recording;
    std::string program_out;
    std::string program_status;
    std::string rig_log;  // JACK's rig
};
measurement measure(const sound_server& server, const std::string& signal,
                    const std::string& recording, const std::vector<std::string>& options,
                    const std::vector<std::string>& command);

// The measure went through and the program ended by itself: status 0, "Finished" last.
void expect_clean_finish(const measurement& m);
// Neither stream lost audio: no RX and no PX in the program's output.
void expect_no_xrun(const std::string& program_out);

// "key=value" words of one line.
std::map<std::string, std::string> fields_of(const std::string& line);
double number(const std::map<std::string, std::string>& fields, const std::string& key);
// What pcm_probe sees of `device`'s streams on `server` in 1 s, with 8192 frames kept queued:
// the steps capture and playback move in, and the most the queue reads; then, playback let run
// dry and refilled 256 frames at a time, how much was queued when it played again (0: never).
// NAN where it could not say; `out` is all it printed.
struct probe_look {
    double capture_step_frames = NAN;
    double playback_step_frames = NAN;
    double queue_max_frames = NAN;
    double refill_prebuffer_frames = NAN;
    std::string ran_dry;  // "xrun" when the stream said so, "quietly" when it just stopped
    std::string out;
};
probe_look look_with_probe(const sound_server& server, const std::string& device = "rig");
// Playback run dry as the simulated servers do it: the underrun reported.
void expect_underrun_reported(const probe_look& p);

// Runs the click generator (tests/tools/make_clicks) with `args`.
process_result make_clicks(const std::vector<std::string>& args);
// Writes the signal of the real-time trials into `dir`: clicks.wav, `seconds` of a stereo click
// train over a tone at `rate` (a dozen clicks in the usual 5 s), and clicks.txt, the list of its
// clicks.
constexpr int click_train_seconds = 5;
process_result make_click_train(const std::string& dir, int rate,
                                int seconds = click_train_seconds);

// A click of a list make_clicks wrote: the channel it sounds on (0: both; the clicks of a
// stereo train alternate), and where, in ms and in frames from the start of the signal.
struct listed_click {
    int channel = 0;
    double ms = 0;
    long frame = 0;
};
std::vector<listed_click> listed_clicks(const std::string& list);

// One input click as the analyser saw it; out_ms is NAN when it had no copy.
struct click {
    double in_ms = NAN;
    double out_ms = NAN;
};

struct analysis {
    process_result run;  // status 0: every check passed; 1: one failed (the FAIL lines say)
    std::vector<click> clicks;
    std::vector<double> gap_ends_ms;  // where each gap in the output ends
    std::map<std::string, std::string> summary;
};

// Runs the click analyser (tests/tools/click_delay) with `args`.
analysis analyse(const std::vector<std::string>& args);

// The delays of the clicks that came back, in ms, grouped by how many gaps came before them;
// a click heard within `recovery_ms` after a gap was played while the delay was being put
// right, and is left out, as is one heard before `from_ms`.
std::map<size_t, std::vector<double>> delays_between_gaps(const analysis& a, double recovery_ms,
                                                          double from_ms = -INFINITY);

// The channels of a raw recording of interleaved s16le samples, one vector each.
std::vector<std::vector<int16_t>> recorded_channels(const std::string& bytes, int channels);
