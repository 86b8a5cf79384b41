// The fault-injecting card of tests/fake_card from the tests' side: a directory with its
// configuration, and what was heard on it when it runs on its clocks ("pace clock"). Then
// played.raw holds, at each playback-clock frame, the frame played then (3-byte samples, zeros
// where nothing was played), and a captured sample names its channel and the capture-clock
// frame it was captured at in its low 20 bits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A fresh directory holding the card's configuration (tests/alsa/fake_card.conf.in) for the
// plugin at `lib`; the card writes played.raw and card.log there.
std::string make_fake_card_dir(const std::string& lib);
// What a program needs in its environment to find the card of `dir`.
std::string fake_card_env(const std::string& dir);

// The rate both streams run at, and how many parts per million fast each clock runs.
struct card_clocks {
    unsigned rate = 44100;
    double capture_ppm = 0;
    double playback_ppm = 0;
};

// Seconds since the card's origin at which a clock running `ppm` fast shows `frame`.
double clock_seconds(int64_t frame, unsigned rate, double ppm);

struct heard_frame {
    int64_t played = 0;    // playback-clock frame
    int64_t captured = 0;  // capture-clock frame its marker names
    int source = 0;        // the captured channel, from 0
    double delay = 0;      // seconds from capture to playback, each clock at its own speed
};

struct silent_stretch {
    int64_t from = 0;  // playback-clock frame
    int64_t frames = 0;
};

struct heard_channel {
    std::vector<heard_frame> frames;       // every frame that was not silent, in playing order
    std::vector<silent_stretch> silences;  // silent stretches after the first sound
    int64_t length = 0;                    // frames in the file
};

// One channel of played.raw (`channels` interleaved). The 20 bits of a marker are unwrapped
// with the frame's playback-clock frame, so a frame must be heard less than 2^20 frames (about
// 23 s at 44100 Hz) after it was captured. `played` may start at playback-clock frame
// `first_frame` (a piece of a long run).
heard_channel hear(const std::string& played, int channels, int channel, const card_clocks& clocks,
                   int64_t first_frame = 0);

// How far the delay may be off before the first judgment of it is heard, and for how long
// from the first frame: a start on a loaded machine is off by as long as the program was kept
// from running while it started playback (3.7 ms in a CI run), and the judgment, a quarter
// second of readings in and heard a level later, puts that right. Every run of the program on
// the card's clock allows it.
constexpr double unjudged_tolerance = 0.010;
constexpr double unjudged_seconds = 0.5;

// What a good program does on the card: plays each captured frame `delay` seconds after it
// was captured, within `tolerance`, from channel `source`, with no silence once the sound has
// started, never a frame twice and never out of capture order. A fault (xrun, suspend) at
// playback-clock second `fault` excuses, for `recovery` seconds, a wrong delay and silence,
// never a repeated or reordered frame.

struct delay_rule {
    double delay = 0.5;
    double tolerance = 0.001;
    int source = 0;
    double fault = -1;  // none when negative
    double recovery = 1.5;
    // Seconds from the first frame heard in which the delay may be off by up to the
    // unjudged tolerance.
    double settle = 0;
};

// What is wrong with `heard`, one line a kind of fault with its first cases; empty when
// nothing is.
std::vector<std::string> delay_problems(const heard_channel& heard, const card_clocks& clocks,
                                        const delay_rule& rule);

// The clock frames card.log gives for the lines of one stream's event: `event` is the start
// of the line ("playback start", "capture xrun", "capture fault"), the frame the number after
// "clock frame ".
std::vector<int64_t> logged_clock_frames(const std::string& log, const std::string& event);
// The CLOCK_MONOTONIC ns the card counts its clocks from, or -1 when the log has none.
int64_t logged_clock_origin(const std::string& log);
