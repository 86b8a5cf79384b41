#include "fake_card.hpp"

#include <unistd.h>

#include <cmath>
#include <sstream>

#include "process.hpp"
#include "virtual_devices.hpp"

namespace {

constexpr int64_t marker_span = int64_t{1} << 20;

// The first few cases of one kind of fault, and how many there were.
struct problem_list {
    std::string what;
    int64_t count = 0;
    std::string cases;

    // Counts a case; true when it is one of the first few, which are described.
    bool counts() { return count++ < 5; }
    void describe(const std::string& text) { cases += "\n    " + text; }
    void report(std::vector<std::string>& problems) const {
        if (count > 0) {
            problems.push_back(what + " (" + std::to_string(count) + "):" + cases);
        }
    }
};

std::string frame_text(int64_t played, const card_clocks& clocks) {
    std::ostringstream text;
    text << "played at " << played << " ("
         << clock_seconds(played, clocks.rate, clocks.playback_ppm) << " s)";
    return text.str();
}

}  // namespace

std::string make_fake_card_dir(const std::string& lib) {
    // The card writes what it plays from the program's own thread, where a real card's DMA
    // writes nothing; on a journaled disk such a write may wait for a commit for longer than
    // the shortest periods last. So the card's directory is in memory where there is one.
    const bool in_memory = access("/dev/shm", W_OK | X_OK) == 0;
    const std::string dir = make_temp_dir("livedelay-fake-card", in_memory ? "/dev/shm" : "");
    write_alsa_config(dir, "fake_card.conf.in", {{"@DIR@", dir}, {"@LIB@", lib}});
    return dir;
}

std::string fake_card_env(const std::string& dir) {
    return alsa_config_env(dir);
}

double clock_seconds(int64_t frame, unsigned rate, double ppm) {
    return static_cast<double>(frame) / (rate * (1 + ppm / 1e6));
}

heard_channel hear(const std::string& played, int channels, int channel, const card_clocks& clocks,
                   int64_t first_frame) {
    heard_channel heard;
    heard.length = static_cast<int64_t>(played.size()) / (3 * channels);
    // Playback-clock frames in capture-clock frames: both clocks count from one origin.
    const double to_capture = (1 + clocks.capture_ppm / 1e6) / (1 + clocks.playback_ppm / 1e6);
    heard.frames.reserve(static_cast<size_t>(heard.length));
    int64_t silent_from = -1;
    for (int64_t p = first_frame; p < first_frame + heard.length; ++p) {
        const int32_t sample = sample_at(played, channels, p - first_frame, channel);
        if (sample == 0) {
            silent_from = silent_from < 0 ? p : silent_from;
            continue;
        }
        if (silent_from >= 0 && !heard.frames.empty()) {
            heard.silences.push_back({silent_from, p - silent_from});
        }
        silent_from = -1;
        heard_frame f;
        f.played = p;
        f.source = ((sample >> 20) & 0xf) - 1;
        // The latest capture-clock frame with these low bits that is not after the playing (a
        // frame of slack for the rounding of two clocks).
        const auto latest =
            static_cast<int64_t>(std::floor(static_cast<double>(p) * to_capture)) + 1;
        const int64_t low = sample & (marker_span - 1);
        f.captured = latest - (((latest - low) % marker_span) + marker_span) % marker_span;
        f.delay = clock_seconds(p, clocks.rate, clocks.playback_ppm) -
                  clock_seconds(f.captured, clocks.rate, clocks.capture_ppm);
        heard.frames.push_back(f);
    }
    if (silent_from >= 0 && !heard.frames.empty()) {
        heard.silences.push_back({silent_from, first_frame + heard.length - silent_from});
    }
    return heard;
}

std::vector<std::string> delay_problems(const heard_channel& heard, const card_clocks& clocks,
                                        const delay_rule& rule) {
    std::vector<std::string> problems;
    if (heard.frames.empty()) {
        problems.push_back("nothing was heard");
        return problems;
    }
    const auto excused = [&](int64_t from, int64_t to) {
        return rule.fault >= 0 &&
               clock_seconds(from, clocks.rate, clocks.playback_ppm) >= rule.fault &&
               clock_seconds(to, clocks.rate, clocks.playback_ppm) <= rule.fault + rule.recovery;
    };
    std::ostringstream wanted;
    wanted << "frames heard at another delay than " << rule.delay << " s";
    problem_list late{wanted.str(), 0, {}};
    problem_list source{
        "frames from another channel than " + std::to_string(rule.source + 1), 0, {}};
    problem_list order{"frames played again or out of capture order", 0, {}};
    problem_list silent{"silence after the first sound", 0, {}};
    int64_t last_captured = INT64_MIN;
    const int64_t settled_from =
        heard.frames.front().played + static_cast<int64_t>(rule.settle * clocks.rate);
    for (const heard_frame& f : heard.frames) {
        const double tolerance =
            f.played < settled_from ? std::max(rule.tolerance, unjudged_tolerance) : rule.tolerance;
        if (std::fabs(f.delay - rule.delay) > tolerance && !excused(f.played, f.played) &&
            late.counts()) {
            std::ostringstream text;
            text << frame_text(f.played, clocks) << ", captured at " << f.captured << ": "
                 << f.delay << " s late";
            late.describe(text.str());
        }
        if (f.source != rule.source && source.counts()) {
            source.describe(frame_text(f.played, clocks) + ": channel " +
                            std::to_string(f.source + 1));
        }
        if (f.captured <= last_captured && order.counts()) {
            order.describe(frame_text(f.played, clocks) + ": captured at " +
                           std::to_string(f.captured) + ", after the frame captured at " +
                           std::to_string(last_captured));
        }
        last_captured = std::max(last_captured, f.captured);
    }
    for (const silent_stretch& s : heard.silences) {
        if (!excused(s.from, s.from + s.frames) && silent.counts()) {
            silent.describe(std::to_string(s.frames) + " frames from " +
                            frame_text(s.from, clocks));
        }
    }
    late.report(problems);
    source.report(problems);
    order.report(problems);
    silent.report(problems);
    return problems;
}

std::vector<int64_t> logged_clock_frames(const std::string& log, const std::string& event) {
    std::vector<int64_t> frames;
    std::istringstream lines(log);
    const std::string key = "clock frame ";
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find(key);
        if (line.starts_with(event + " ") && at != std::string::npos) {
            frames.push_back(std::stoll(line.substr(at + key.size())));
        }
    }
    return frames;
}

int64_t logged_clock_origin(const std::string& log) {
    const std::string key = "clock origin ";
    const size_t at = log.find(key);
    return at == std::string::npos ? -1 : std::stoll(log.substr(at + key.size()));
}
