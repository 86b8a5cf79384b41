// Command line and run settings: the positional arguments, their defaults and checks, the
// usage text and the settings report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace livedelay {

enum class routing_mode : int32_t { mono_to_mono = 1, stereo_to_stereo = 2, mono_to_both = 3 };

// Filled once before any device is opened; read, never changed, by everything after.
struct run_settings {
    std::string device_name;
    routing_mode mode = routing_mode::mono_to_mono;
    int32_t input_channel = 0;   // first delayed capture channel, 0-based
    int32_t output_channel = 0;  // first playback channel that gets the delayed sound, 0-based
    float delay_seconds = 3.0f;
    float delay_plus_one_seconds =
        4.0f;  // delay + 1 in single precision; the rings are sized in src/transfer.cpp
    uint32_t sample_rate = 44100;  // frames per second
    uint32_t frame_budget = 44100u * 300u;
    int32_t channel_count = 2;  // asked of both streams; even, at least 2
};

constexpr uint32_t default_sample_rate = 44100;
constexpr uint32_t minimum_sample_rate = 32000;
// The highest rate ALSA can run a stream at.
constexpr uint32_t maximum_sample_rate = 768000;
constexpr uint32_t default_timeout_seconds = 300;
constexpr float maximum_delay_seconds = 600.0f;
// Sizes the staging areas and channel tables, so an absurd channel number must not reach them.
constexpr int32_t maximum_channel_number = 1024;

// How the delay is rebuilt by playing slower than capture, with the pitch kept: after a dump,
// and, when asked for, at the start and for live changes. Set by the options that come before
// the device name: --rebuild-rate PERCENT, --build, --glide.
struct rebuild_options {
    double rate_percent = 3.0;  // how much slower than capture playback runs (faster to shorten)
    bool build = false;         // start live and build the delay, not play its silence first
    bool glide = false;         // a live change of the delay glides at the rebuild's pace
};

// Takes the rebuild options at the start of the arguments (after the program's name), and
// gives in `taken` how many arguments they were. Gives 0, or -EINVAL after a line on standard
// output for a rate outside 0.5 to 20 per cent.
int parse_rebuild_options(int argc, const char* const argv[], rebuild_options& options, int& taken);

void print_usage(FILE* out);

// Writes the settings report to `out` while it reads the arguments. Gives nothing when the
// process must end with status 1: no argument (after the usage text) or a refused argument
// (after the report lines so far and its message, if any).
std::optional<run_settings> parse_command_line(int argc, const char* const argv[], FILE* out);

// Channels of each stream: the smallest even count, at least 2, that holds the routed
// channels on both sides.
int32_t channel_count_for(routing_mode mode, int32_t input_channel, int32_t output_channel);

// Number of routed channels on each side: 1 for mono_to_mono, 2 otherwise.
int32_t routed_width(routing_mode mode);

}  // namespace livedelay
