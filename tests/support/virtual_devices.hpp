// The virtual ALSA devices of tests/alsa, in a directory of the test's own, and the sample
// patterns that tell every channel and frame apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct virtual_devices {
    std::string dir;
    std::vector<std::string> env;  // what the program needs to find the devices
    std::string captured_path() const { return dir + "/captured.raw"; }
    std::string played_path() const { return dir + "/played.raw"; }
};

virtual_devices make_virtual_devices();

// The settings report for a device name given alone.
std::string device_only_report(const std::string& device);

// A 24-bit sample that names its channel (the low four bits of its number) and frame, and is
// never silence; as a sign-extended value, as sample_at reads it back.
int32_t marker_sample(int channel, int64_t frame);
// `frames` interleaved frames of `channels` marker samples, 3 bytes each, little-endian.
std::string marker_frames(int channels, int64_t frames);
int32_t sample_at(const std::string& interleaved, int channels, int64_t frame, int channel);
