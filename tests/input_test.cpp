// Standard input as a hostile user would give it, on the card's clock: endless bytes with no
// newline, a burst of thousands of commands, a megabyte of noise, and a change to below the
// shortest delay. None of it may stall the audio, keep a stop request waiting, grow the
// memory, garble the screen, or be heard as a click.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "mixed_byte.hpp"
#include "support/fake_card.hpp"
#include "support/process.hpp"

namespace {

const std::string binary = LIVEDELAY_BIN;
constexpr unsigned rate = 48000;

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override { dir = make_fake_card_dir(FAKE_CARD_LIB); }
    void TearDown() override {
        if (writer >= 0) {
            close(writer);
        }
        remove_tree(dir);
    }

    // The program on the card, mode 2 at 0.5 s, with standard input from `input`.
    background_process start(const std::string& input, int seconds, const std::string& mode = "2",
                             const std::string& delay = "0.5") {
        return start_program({binary, "faulty:PACE=clock", mode, "1", "1", delay,
                              std::to_string(rate), std::to_string(seconds)},
                             {fake_card_env(dir)}, dir, "run", input);
    }
    // The same with standard input a pipe the test writes into once the run has begun.
    background_process start_piped(int seconds, const std::string& mode, const std::string& delay) {
        const std::string fifo = dir + "/commands";
        EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        // Opened here first, so that the program's own open does not wait for a writer.
        writer = open(fifo.c_str(), O_RDWR);
        background_process run = start(fifo, seconds, mode, delay);
        EXPECT_TRUE(wait_for_output(run, "\r1 sec", 20)) << read_file(run.out_path);
        return run;
    }
    void send(const std::string& bytes) {
        for (size_t at = 0; at < bytes.size();) {
            const ssize_t put = write(writer, bytes.data() + at, bytes.size() - at);
            ASSERT_GT(put, 0);
            at += static_cast<size_t>(put);
        }
    }

    heard_channel heard_left() const {
        return hear(read_file(dir + "/played.raw"), 2, 0, {rate, 0, 0});
    }
    void expect_heard_at(double delay) const {
        const card_clocks clocks{rate, 0, 0};
        for (const std::string& problem :
             delay_problems(heard_left(), clocks, {.delay = delay, .settle = unjudged_seconds})) {
            ADD_FAILURE() << problem;
        }
    }
    static void expect_no_marker(const process_result& r) {
        EXPECT_EQ(r.out.find("\nPX\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\nRX\n"), std::string::npos) << r.out;
    }

    std::string dir;
    int writer = -1;
};

// Endless bytes with no newline are one overlong line: refused once, and neither the audio,
// nor the time-out, nor a stop request notices them; the memory stays as it was.
TEST_F(HostileInput, EndlessBytesWithNoNewlineChangeNothing) {
    background_process run = start("/dev/zero", 3);
    ASSERT_TRUE(wait_for_output(run, "\r1 sec", 20)) << read_file(run.err_path);
    const long first_kib = memory_kib(run.pid, "VmRSS");
    ASSERT_TRUE(wait_for_output(run, "\r2 sec", 20)) << read_file(run.err_path);
    const long later_kib = memory_kib(run.pid, "VmRSS");
    const process_result r = finish_program(run, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Command line longer than 256 bytes dropped\n");
    expect_no_marker(r);
    expect_heard_at(0.5);
    EXPECT_LT(later_kib - first_kib, 2048) << first_kib << " KiB, then " << later_kib;

    run = start("/dev/zero", 60);
    ASSERT_TRUE(wait_for_output(run, "\r1 sec", 20)) << read_file(run.err_path);
    const auto signalled = std::chrono::steady_clock::now();
    kill(run.pid, SIGTERM);
    const timed_exit e = wait_exit(run, signalled, 5000);
    std::printf("stopped %.1f ms after SIGTERM\n", e.ms);
    EXPECT_EQ(e.result.status, 0) << e.result.err;
    EXPECT_LE(e.ms, 200);
}

// Ten thousand commands at once come to their net effect without holding up the audio: no
// marker, and the delay is the one they asked, said last.
TEST_F(HostileInput, ABurstOfCommandsComesToTheirSumWithoutAMarker) {
    background_process run = start_piped(5, "1", "0.5");
    std::string lines;
    for (int i = 0; i < 10000; ++i) {
        lines += "delay +0.0001\n";
    }
    send(lines);
    close(writer);
    writer = -1;
    const process_result r = finish_program(run, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    expect_no_marker(r);
    const size_t said = r.out.rfind("\nTime delay ~ ");
    ASSERT_NE(said, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(said, 24), "\nTime delay ~ 1.500 sec\n");
    const heard_channel heard = heard_left();
    ASSERT_FALSE(heard.frames.empty());
    EXPECT_NEAR(heard.frames.back().delay, 1.5, 0.001);
}

// A megabyte of noise: every line refused, a few refusals a second and a count of the rest,
// each quoting a short, escaped part, so that nothing reaches the terminal that it could act
// on; and the audio plays on untouched.
TEST_F(HostileInput, NoiseIsRefusedBrieflyAndHarmlessly) {
    std::string noise(1 << 20, '\0');
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<char>(mixed_byte(i));
    }
    write_file(dir + "/noise", noise);
    background_process run = start(dir + "/noise", 3);
    const process_result r = finish_program(run, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_no_marker(r);
    expect_heard_at(0.5);
    EXPECT_LE(r.err.size(), 2000u) << r.err;
    EXPECT_NE(r.err.find(" more command lines refused\n"), std::string::npos) << r.err;
    for (const char c : r.err) {
        const auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte != 0x7f)) << r.err;
    }
    EXPECT_EQ(r.err.find("\xc2\x9b"), std::string::npos) << r.err;
}

// A change to below the shortest delay the device allows plays at that shortest delay, and is
// heard as every other change is: a crossfade of 5 ms from the old delay into the new one.
TEST_F(HostileInput, AChangeBelowTheShortestDelayIsCrossfaded) {
    background_process run = start_piped(4, "1", "0.5");
    send("delay 0.05\n");
    const process_result r = finish_program(run, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_no_marker(r);
    EXPECT_NE(r.out.find("\nTime delay ~ 0.050 sec\n"), std::string::npos) << r.out;

    const heard_channel heard = heard_left();
    EXPECT_TRUE(heard.silences.empty())
        << heard.silences.size() << " silences, the first at " << heard.silences.front().from;
    // The last frame at the old delay and the first at the shortest.
    const auto old_end = std::find_if(
        heard.frames.begin(), heard.frames.end(),
        [](const heard_frame& f) { return f.played > rate && std::abs(f.delay - 0.5) > 0.001; });
    ASSERT_NE(old_end, heard.frames.end());
    // The shortest delay on the card is two periods of 4096 frames and a little: what plays
    // from the end of the join on.
    const double final_delay = heard.frames.back().delay;
    EXPECT_NEAR(final_delay, 0.172, 0.002);
    auto shortest = heard.frames.end();
    while (shortest != old_end && std::abs(std::prev(shortest)->delay - final_delay) < 0.00005) {
        --shortest;
    }
    ASSERT_NE(shortest, heard.frames.end());
    const int64_t joined = shortest->played - old_end->played;
    EXPECT_GE(joined, 200) << "a crossfade of 240 frames";
    EXPECT_LE(joined, 260) << "a crossfade of 240 frames";
    for (auto f = old_end; f != shortest; ++f) {
        EXPECT_LE(f->delay, 0.5) << f->played;
        EXPECT_GE(f->delay, final_delay) << f->played;
    }
}

}  // namespace
