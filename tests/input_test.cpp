// Standard input as a hostile user would give it, to the program itself on the card's clock:
// endless bytes with no newline may neither stall the audio, nor keep a stop request waiting,
// nor grow the memory. A burst of commands, noise and a change below the shortest delay are
// scenarios in simulated time (sim_input_test.cpp).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/fake_card.hpp"
#include "support/process.hpp"

namespace {

const std::string binary = LIVEDELAY_BIN;
constexpr unsigned rate = 48000;

class HostileInput : public ::testing::Test {
protected:
    void SetUp() override { dir = make_fake_card_dir(FAKE_CARD_LIB); }
    void TearDown() override { remove_tree(dir); }

    // The program on the card, mode 2 at 0.5 s, with standard input from `input`.
    background_process start(const std::string& input, int seconds) {
        return start_program({binary, "faulty:PACE=clock", "2", "1", "1", "0.5",
                              std::to_string(rate), std::to_string(seconds)},
                             {fake_card_env(dir)}, dir, "run", input);
    }
    void expect_heard_at(double delay) const {
        const card_clocks clocks{rate, 0, 0};
        const heard_channel heard = hear(read_file(dir + "/played.raw"), 2, 0, clocks);
        for (const std::string& problem :
             delay_problems(heard, clocks, {.delay = delay, .settle = unjudged_seconds})) {
            ADD_FAILURE() << problem;
        }
    }
    static void expect_no_marker(const process_result& r) {
        EXPECT_EQ(r.out.find("\nPX\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\nRX\n"), std::string::npos) << r.out;
    }

    std::string dir;
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

}  // namespace
