// Keys on a terminal, driven through tmux: each step of the delay is taken and said, and the
// terminal's settings come back however the run ends.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_card.hpp"
#include "support/process.hpp"

namespace {

// A private tmux server with one shell in a terminal, stopped by its pid.
class Terminal : public ::testing::Test {
protected:
    void SetUp() override {
        dir = make_fake_card_dir(FAKE_CARD_LIB);
        socket = dir + "/tmux";
        const process_result started =
            tmux({"new-session", "-d", "-x", "120", "-y", "20", "env", "-i", "PATH=/usr/bin:/bin",
                  "TERM=xterm", fake_card_env(dir), "bash", "--norc", "--noprofile"});
        ASSERT_EQ(started.status, 0) << started.out << started.err;
        server_pid = std::stoi(tmux({"display-message", "-p", "#{pid}"}).out);
    }
    void TearDown() override {
        if (server_pid > 0) {
            kill(server_pid, SIGTERM);
        }
        remove_tree(dir);
    }

    process_result tmux(std::vector<std::string> args) {
        args.insert(args.begin(), {"/usr/bin/tmux", "-S", socket});
        return run_program(args, {}, 10);
    }
    void type(const std::string& keys) { tmux({"send-keys", "-t", "0", keys}); }
    void type_line(const std::string& line) { tmux({"send-keys", "-t", "0", "-l", line + "\n"}); }

    // Waits, bounded, until `file` holds `text`, `times` times over.
    bool wait_for(const std::string& file, const std::string& text, size_t times = 1) {
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            if (count_of(read_file(dir + "/" + file), text) >= times) {
                return true;
            }
        }
        return false;
    }

    // Starts the program in the shell, with the terminal's settings saved before and after.
    // The subshell catches SIGINT (a handler, which the program does not inherit), so a
    // program ended by Ctrl-C does not make the shell drop the rest of the line.
    void start(const std::string& device, int seconds) {
        type_line("(trap : INT; stty -g > " + dir + "/before; " + LIVEDELAY_BIN + " '" + device +
                  "' 1 1 1 0.5 44100 " + std::to_string(seconds) + " > " + dir + "/out 2> " + dir +
                  "/err; echo status=$? > " + dir + "/status; stty -g > " + dir + "/after)");
        ASSERT_TRUE(wait_for("out", "\r1 sec"))
            << read_file(dir + "/out") << read_file(dir + "/err");
    }
    void expect_terminal_restored() {
        ASSERT_TRUE(wait_for("after", "\n"));
        EXPECT_FALSE(read_file(dir + "/before").empty());
        EXPECT_EQ(read_file(dir + "/after"), read_file(dir + "/before"));
    }

    std::string dir;
    std::string socket;
    int server_pid = -1;
};

// + and - move the delay by 10 ms, the arrows by 100 ms, Page Up and Down by a second, d
// dumps and keeps the delay; each is said in the settings report's form. The time-out ends
// the run.
TEST_F(Terminal, KeysMoveTheDelayAndTheTerminalComesBack) {
    start("faulty:PACE=clock", 6);
    for (const auto& [key, said] : {std::pair<std::string, std::string>{"+", "0.510"},
                                    {"Up", "0.610"},
                                    {"PPage", "1.610"},
                                    {"NPage", "0.610"},
                                    {"Down", "0.510"},
                                    {"-", "0.500"}}) {
        type(key);
        EXPECT_TRUE(wait_for("out", "\nTime delay ~ " + said + " sec\n"))
            << key << "\n"
            << read_file(dir + "/out");
    }
    const std::string said = "\nTime delay ~ 0.500 sec\n";
    const size_t times = count_of(read_file(dir + "/out"), said);
    type("d");
    EXPECT_TRUE(wait_for("out", said, times + 1)) << read_file(dir + "/out");
    ASSERT_TRUE(wait_for("status", "status=0")) << read_file(dir + "/err");
    expect_terminal_restored();
}

// Ctrl-Z gives the terminal back to the shell as it was; after fg, the keys act at once again,
// unechoed, without Enter.
TEST_F(Terminal, CtrlZGivesTheTerminalBackAndFgTakesItAgain) {
    start("faulty:PACE=clock", 8);
    type("C-z");
    type_line("stty -g > " + dir + "/stopped");
    ASSERT_TRUE(wait_for("stopped", "\n"));
    EXPECT_EQ(read_file(dir + "/stopped"), read_file(dir + "/before"));
    type_line("fg");
    type("+");
    EXPECT_TRUE(wait_for("out", "\nTime delay ~ 0.510 sec\n")) << read_file(dir + "/out");
    ASSERT_TRUE(wait_for("status", "status=0")) << read_file(dir + "/err");
    expect_terminal_restored();
}

TEST_F(Terminal, ASignalLeavesTheTerminalAsItWas) {
    start("faulty:PACE=clock", 60);
    type("C-c");
    ASSERT_TRUE(wait_for("status", "status=0")) << read_file(dir + "/err");
    expect_terminal_restored();
}

TEST_F(Terminal, TwoSignalsLeaveTheTerminalAsItWas) {
    start("faulty:PACE=clock", 60);
    tmux({"send-keys", "-t", "0", "C-c", "C-c"});
    ASSERT_TRUE(wait_for("status", "status=")) << read_file(dir + "/err");
    expect_terminal_restored();
}

TEST_F(Terminal, AFailureLeavesTheTerminalAsItWas) {
    start("faulty:PACE=clock,PFAULT=gone,PAT=60000", 60);
    ASSERT_TRUE(wait_for("status", "status=1")) << read_file(dir + "/err");
    expect_terminal_restored();
}

}  // namespace
