// A signal whose every sample names the frame it was captured in and its channel, as the
// fault-injecting card captures it unpaced ("signal index"), and what checks a recording of
// it frame by frame.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Channel `channel`, frame `frame` (from 0): never silence, and the same again only 2^24 - 1
// frames later (87 s at 192000 Hz), with each channel its own distance apart.
inline uint32_t index_sample(int channel, int64_t frame) {
    constexpr int64_t span = 0xffffff;
    constexpr int64_t channel_step = 0x2b5e3;
    return static_cast<uint32_t>((frame + channel * channel_step) % span + 1);
}

// A recording of the index signal checked frame by frame against a delay line: each played
// channel either silent, or one captured channel a delay late with silence before it. Where
// the delay changes during the run, the recording is checked against both delays: up to
// `first_wrong` it holds the first one, and from `last_wrong` + 1 on the second.
struct index_check {
    int channels = 2;
    std::vector<int> source;  // per played channel: the captured channel, or -1 for silence
    int64_t delay_frames = 0;
    int64_t later_delay_frames = 0;

    int64_t frames = 0;         // frames played
    int64_t first_wrong = -1;   // the first frame not as the first delay has it; -1: none
    int64_t last_wrong = -1;    // the last frame not as the later delay has it; -1: none
    int64_t wrong_frames = 0;   // frames not as the first delay has it
    int64_t silent_frames = 0;  // of those, silence where the signal was due
    std::vector<std::string> differences;  // the first few, described
    std::string partial;                   // bytes of a frame not complete yet
};

index_check make_index_check(int channels, const std::vector<std::pair<int, int>>& routes,
                             int64_t delay_frames, int64_t later_delay_frames);
// Checks the next bytes of the recording.
void check_index_bytes(index_check& check, const char* bytes, size_t n);
// Reads the FIFO at `path` to its end, checking what it holds, while the process `pid` runs
// (one that ends without opening it ends the reading too), and calls `progress` after each
// piece read. Gives false when it took longer than `timeout_seconds`.
bool check_index_fifo(index_check& check, const std::string& path, int pid, int timeout_seconds,
                      const std::function<void(const index_check&)>& progress = {});
// The first differences, one line each.
std::string described(const index_check& check);
