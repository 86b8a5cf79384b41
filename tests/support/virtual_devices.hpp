// The virtual ALSA devices of tests/alsa, in a directory of the test's own, and the sample
// patterns that tell every channel and frame apart.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct virtual_devices {
    std::string dir;
    std::vector<std::string> env;  // what the program needs to find the devices
    std::string captured_path() const { return dir + "/captured.raw"; }
    std::string played_path() const { return dir + "/played.raw"; }
};

// Writes tests/alsa/`template_name` into `dir` as asound.conf, each key of `replacements`
// (such as "@DIR@") replaced by its value.
void write_alsa_config(const std::string& dir, const std::string& template_name,
                       const std::vector<std::pair<std::string, std::string>>& replacements);
// The environment entry that makes a program read the asound.conf of `dir` after ALSA's own.
std::string alsa_config_env(const std::string& dir);

virtual_devices make_virtual_devices();

// The settings report for a device name given alone.
std::string device_only_report(const std::string& device);

// A 24-bit sample that names its channel (the low four bits of its number) and frame, and is
// never silence; as a sign-extended value, as sample_at reads it back.
int32_t marker_sample(int channel, int64_t frame);
// `frames` interleaved frames of `channels` marker samples, 3 bytes each, little-endian.
std::string marker_frames(int channels, int64_t frames);
int32_t sample_at(const std::string& interleaved, int channels, int64_t frame, int channel);

// Where `played` (`channels` interleaved) is not what a delay line makes of marker frames:
// each channel routed from a captured one (routes: captured, played, from 0) carries it
// `delay_frames` late with silence before, every other channel silence. Gives the frames
// played and the first few frames that differ, described.
struct routed_check {
    int64_t frames = 0;
    std::vector<std::string> differences;
};
routed_check check_routed(const std::string& played, int channels,
                          const std::vector<std::pair<int, int>>& routes, int64_t delay_frames);
