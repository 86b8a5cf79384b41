// What the real-time tests share: a private sound server started and stopped through its
// fixture script, a measurement that records the signal and the program's output on the
// server's one clock, and the click analyser's verdict on that recording.
#pragma once

#include <cmath>
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
    std::string dir;  // set by start_server
};

// Starts the server in a fresh directory; gives the script's result.
process_result start_server(sound_server& server);
// Stops it (by its pid, which the script keeps) and, unless `keep`, removes its directory.
void stop_server(const sound_server& server, bool keep);

// Records the signal and the output of `command` on the server's clock; `options` are the
// fixture's measure options (--lead, --tail, --stall ...).
struct measurement {
    process_result fixture;
    std::string recording;
    std::string program_out;
    std::string program_status;
};
measurement measure(const sound_server& server, const std::string& signal,
                    const std::string& recording, const std::vector<std::string>& options,
                    const std::vector<std::string>& command);

// "key=value" words of one line.
std::map<std::string, std::string> fields_of(const std::string& line);
double number(const std::map<std::string, std::string>& fields, const std::string& key);

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

// Writes the signal of the real-time trials into `dir`: clicks.wav, eight seconds of a stereo
// click train over a tone at `rate`, and clicks.txt, the list of its clicks.
process_result make_click_train(const std::string& dir, int rate);

// Runs the click analyser (tests/tools/click_delay) with `args`.
analysis analyse(const std::vector<std::string>& args);

// The delays of the clicks that came back, in ms, grouped by how many gaps came before them;
// a click heard within `recovery_ms` after a gap was played while the delay was being put
// right, and is left out, as is one heard before `from_ms`.
std::map<size_t, std::vector<double>> delays_between_gaps(const analysis& a, double recovery_ms,
                                                          double from_ms = -INFINITY);
