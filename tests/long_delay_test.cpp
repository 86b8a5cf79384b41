// Every frame at every delay: the real binary on the unpaced card, capturing a signal whose
// every sample names the frame it was captured in, with delays across the whole range, at
// rates from 32000 to 192000 Hz, in both routing modes, and across live changes that lay the
// rings out again. Each run lasts until the playing position has gone round the rings at least
// once, and every frame played is checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/fake_card.hpp"
#include "support/index_signal.hpp"
#include "support/process.hpp"

namespace {

// The delay in the frames the program counts it in: the rate times the delay, in single
// precision, cut to whole frames.
int64_t frames_of(float seconds, unsigned rate) {
    return static_cast<int64_t>(static_cast<float>(rate) * seconds);
}

// Bytes of each ring for a delay, as the program sizes them: the delay and a second, in 4096
// times a power of two.
int64_t ring_bytes(float seconds, unsigned rate) {
    const auto need = static_cast<int64_t>((seconds + 1.0f) * static_cast<float>(rate) * 3.0f);
    int64_t size = 4096;
    while (size < need) {
        size *= 2;
    }
    return size;
}

// The longest delay, in whole milliseconds, whose rings are 2^k bytes, where the delay fills
// them most: the delay ahead of the position wraps round close behind it.
float longest_in_ring(int k, unsigned rate) {
    const double bytes = std::ldexp(1.0, k);
    auto ms = static_cast<int64_t>((bytes / (3.0 * rate) - 1.0) * 1000.0);
    while (ms > 0 && ring_bytes(static_cast<float>(ms) / 1000.0f, rate) > bytes) {
        --ms;
    }
    return static_cast<float>(std::clamp<int64_t>(ms, 0, 600000)) / 1000.0f;
}

struct long_case {
    std::string name;
    int mode = 1;
    float delay_seconds = 0;
    unsigned rate = 48000;
    // The program as it ships, or the sanitized build (for the runs of a minute or less).
    bool shipped = true;
    // A live change: the line sent on standard input once this many seconds were played.
    std::string command;
    float command_after_seconds = 0;
    float changed_to_seconds = -1;
};

long_case held(const std::string& name, int mode, float delay_seconds, unsigned rate,
               bool shipped = true) {
    long_case c;
    c.name = name;
    c.mode = mode;
    c.delay_seconds = delay_seconds;
    c.rate = rate;
    c.shipped = shipped;
    return c;
}

long_case changed(const std::string& name, int mode, float from_seconds, float after_seconds,
                  float to_seconds) {
    long_case c = held(name, mode, from_seconds, 48000, false);
    c.command = "delay " + std::to_string(to_seconds);
    c.command_after_seconds = after_seconds;
    c.changed_to_seconds = to_seconds;
    return c;
}

void PrintTo(const long_case& c, std::ostream* os) {
    *os << c.name;
}

std::string seconds_text(float seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(seconds));
    return text;
}

// The runs across the range: at 48000 Hz the longest delay of every size of ring, from the
// smallest to the largest, the modes taking turns; at the other rates the shortest and the
// longest delays, and one in between.
std::vector<long_case> range_cases() {
    std::vector<long_case> cases;
    for (int k = 18; k <= 27; ++k) {
        const float delay = longest_in_ring(k, 48000);
        cases.push_back(held("Ring2To" + std::to_string(k) + "At48000", k % 2 + 1, delay, 48000));
    }
    cases.push_back(held("NoDelayAt32000", 1, 0.0f, 32000));
    cases.push_back(held("Ring2To21At32000", 2, longest_in_ring(21, 32000), 32000));
    cases.push_back(held("SixHundredAt44100", 1, 600.0f, 44100));
    cases.push_back(held("Ring2To24At96000", 2, longest_in_ring(24, 96000), 96000));
    cases.push_back(held("Ring2To22At192000", 1, longest_in_ring(22, 192000), 192000));
    cases.push_back(held("SixHundredAt192000", 2, 600.0f, 192000));
    return cases;
}

class EveryFrame : public ::testing::TestWithParam<long_case> {
protected:
    void SetUp() override {
        dir = make_fake_card_dir(FAKE_CARD_LIB);
        ASSERT_EQ(mkfifo((dir + "/played.raw").c_str(), 0600), 0);
        ASSERT_EQ(mkfifo((dir + "/commands").c_str(), 0600), 0);
        // Opened both ways: the program's open of it does not wait, nor does ours.
        commands_fd = open((dir + "/commands").c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(commands_fd, 0);
    }
    void TearDown() override {
        close(commands_fd);
        remove_tree(dir);
    }

    std::string dir;
    int commands_fd = -1;
};

TEST_P(EveryFrame, IsPlayedExactlyTheDelayLate) {
    const long_case& c = GetParam();
    const bool changes = !c.command.empty();
    const float heard = changes ? c.changed_to_seconds : c.delay_seconds;
    // Long enough for the playing position to go round the rings it ends with once.
    const int64_t timeout_seconds =
        static_cast<int64_t>(c.command_after_seconds) + ring_bytes(heard, c.rate) / 3 / c.rate + 2;
    background_process p =
        start_program({c.shipped ? LIVEDELAY_PLAIN_BIN : LIVEDELAY_BIN, "faulty:SIGNAL=index",
                       std::to_string(c.mode), "1", "1", seconds_text(c.delay_seconds),
                       std::to_string(c.rate), std::to_string(timeout_seconds)},
                      {fake_card_env(dir)}, dir, "run", dir + "/commands");
    std::vector<std::pair<int, int>> routes{{0, 0}};
    if (c.mode == 2) {
        routes.push_back({1, 1});
    }
    const int64_t first = frames_of(c.delay_seconds, c.rate);
    const int64_t later = changes ? std::llround(static_cast<double>(heard) * c.rate) : first;
    index_check check = make_index_check(2, routes, first, later);
    const int64_t command_at = std::llround(static_cast<double>(c.command_after_seconds) * c.rate);
    bool sent = false;
    EXPECT_TRUE(check_index_fifo(check, dir + "/played.raw", p.pid, 120, [&](const index_check& k) {
        if (changes && !sent && k.frames >= command_at) {
            const std::string line = c.command + "\n";
            sent =
                write(commands_fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
        }
    }));
    const process_result r = finish_program(p, 10);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("\nRX\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\nPX\n"), std::string::npos) << r.out;
    EXPECT_GE(check.frames, int64_t{c.rate} * timeout_seconds);
    if (!changes) {
        EXPECT_EQ(check.wrong_frames, 0) << check.silent_frames << " of them silent; the first:\n"
                                         << described(check);
        return;
    }
    // The first delay up to the change, the new one from its end on, and between them no more
    // than the joins: a crossfade, or for a longer delay a fade out, the silence it adds and
    // a fade back in.
    ASSERT_TRUE(sent);
    const int64_t fade = c.rate * 5 / 1000;
    EXPECT_GE(check.first_wrong, command_at) << described(check);
    EXPECT_LE(check.last_wrong + 1 - check.first_wrong,
              std::max<int64_t>(0, later - first) + 2 * fade)
        << "from frame " << check.first_wrong << " to " << check.last_wrong;
}

INSTANTIATE_TEST_SUITE_P(Range, EveryFrame, ::testing::ValuesIn(range_cases()),
                         [](const auto& info) { return info.param.name; });

// The same checks in the sanitized build, and live changes: from half a second up to 16.5
// (the rings laid out again, four times larger, while they hold audio), and from 20 s down to
// 2.5 once the delayed sound plays.
INSTANTIATE_TEST_SUITE_P(
    Sanitized, EveryFrame,
    ::testing::Values(held("TwentySecondsAt48000", 1, 20.0f, 48000, false),
                      held("Ring2To22At44100", 2, longest_in_ring(22, 44100), 44100, false),
                      changed("ChangedUpTo16AndAHalf", 2, 0.5f, 3.0f, 16.5f),
                      changed("ChangedDownTo2AndAHalf", 1, 20.0f, 25.0f, 2.5f)),
    [](const auto& info) { return info.param.name; });

}  // namespace
