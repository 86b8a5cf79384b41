// Keys on a terminal, driven through tmux: each step of the delay is taken and said, and the
// terminal's settings come back however the run ends.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_card.hpp"
#include "support/process.hpp"

namespace {

// The pid of the program running on the card of `dir`, or -1 when there is none.
int program_pid(const std::string& dir) {
    const std::string env = fake_card_env(dir);
    DIR* proc = opendir("/proc");
    int found = -1;
    for (dirent* e = proc != nullptr ? readdir(proc) : nullptr; e != nullptr && found < 0;
         e = readdir(proc)) {
        const std::string pid = e->d_name;
        char exe[4096] = {};
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            readlink(("/proc/" + pid + "/exe").c_str(), exe, sizeof exe - 1) < 0 ||
            std::string(exe) != LIVEDELAY_BIN) {
            continue;
        }
        const std::string environment = read_file("/proc/" + pid + "/environ");
        if (environment.find(env + '\0') != std::string::npos) {
            found = std::stoi(pid);
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return found;
}

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
    // The subshell catches SIGINT and SIGQUIT (a handler, which the program does not inherit),
    // so a program ended by Ctrl-C or Ctrl-\ does not make the shell drop the rest of the line.
    void start(const std::string& device, int seconds) {
        type_line("(trap : INT QUIT; stty -g > " + dir + "/before; " + LIVEDELAY_BIN + " '" +
                  device + "' 1 1 1 0.5 44100 " + std::to_string(seconds) + " > " + dir +
                  "/out 2> " + dir + "/err; echo status=$? > " + dir + "/status; stty -g > " + dir +
                  "/after)");
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
// dumps, and the delay is built back; each is said in the settings report's form. The
// time-out ends the run.
TEST_F(Terminal, KeysMoveTheDelayAndTheTerminalComesBack) {
    start("faulty:PACE=clock", 4);
    for (const auto& [key, said] : {std::pair<std::string, std::string>{"+", "0.510"},
                                    {"Up", "0.610"},
                                    {"PPage", "1.610"},
                                    {"NPage", "0.610"},
                                    {"Down", "0.510"},
                                    {"-", "0.500"}}) {
        // The same delay may have been said before: wait for one more saying of it.
        const std::string line = "\nTime delay ~ " + said + " sec\n";
        const size_t said_before = count_of(read_file(dir + "/out"), line);
        type(key);
        EXPECT_TRUE(wait_for("out", line, said_before + 1)) << key << "\n"
                                                            << read_file(dir + "/out");
    }
    type("d");
    EXPECT_TRUE(wait_for("out", " sec, rebuilding to 0.500\n")) << read_file(dir + "/out");
    ASSERT_TRUE(wait_for("status", "status=0")) << read_file(dir + "/err");
    expect_terminal_restored();
}

// Ctrl-Z gives the terminal back to the shell as it was; after fg, the keys act at once again,
// unechoed, without Enter.
TEST_F(Terminal, CtrlZGivesTheTerminalBackAndFgTakesItAgain) {
    start("faulty:PACE=clock", 60);
    type("C-z");
    type_line("stty -g > " + dir + "/stopped");
    ASSERT_TRUE(wait_for("stopped", "\n"));
    EXPECT_EQ(read_file(dir + "/stopped"), read_file(dir + "/before"));
    type_line("fg");
    type("+");
    EXPECT_TRUE(wait_for("out", "\nTime delay ~ 0.510 sec\n")) << read_file(dir + "/out");
    type("C-c");
    ASSERT_TRUE(wait_for("status", "status=0")) << read_file(dir + "/err");
    expect_terminal_restored();
}

// Ctrl-\ (SIGQUIT) and a terminal that hangs up (SIGHUP) give the terminal back as it was; a
// hang-up ends the run as a stop request does, status 0.
TEST_F(Terminal, QuitAndHangUpLeaveTheTerminalAsItWas) {
    start("faulty:PACE=clock", 60);
    type("C-\\");
    ASSERT_TRUE(wait_for("status", "status=131")) << read_file(dir + "/status");
    expect_terminal_restored();
    for (const char* file : {"/status", "/before", "/after", "/out"}) {
        unlink((dir + file).c_str());
    }
    start("faulty:PACE=clock", 60);
    const int pid = program_pid(dir);
    ASSERT_GT(pid, 0);
    kill(pid, SIGHUP);
    ASSERT_TRUE(wait_for("status", "status=0")) << read_file(dir + "/status");
    expect_terminal_restored();
}

// Run in the background of an interactive shell, the program leaves the terminal to the shell:
// a line typed while the shell runs something else in the foreground waits for the shell, and
// the program does not spin on reads of it that fail; brought to the foreground (fg), its keys
// act again.
TEST_F(Terminal, ABackgroundRunLeavesTheTerminalToTheShell) {
    type_line("cd " + dir + "; " + LIVEDELAY_BIN +
              " faulty:PACE=clock 1 1 1 0.5 48000 20 > out 2> err & "
              "while [ ! -e shell_free ]; do sleep 0.05; done");
    ASSERT_TRUE(wait_for("out", "\r1 sec")) << read_file(dir + "/err");
    const int pid = program_pid(dir);
    ASSERT_GT(pid, 0);
    type_line("echo typed > typed");
    const double cpu_before = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the span the CPU is measured over
    const double cpu = cpu_seconds(pid) - cpu_before;
    write_file(dir + "/shell_free", "");
    ASSERT_TRUE(wait_for("typed", "typed\n"));
    EXPECT_LT(cpu, 0.3) << "CPU seconds in 2 s in the background";
    type_line("fg");
    type("+");
    EXPECT_TRUE(wait_for("out", "\nTime delay ~ 0.510 sec\n")) << read_file(dir + "/out");
    type("C-c");
    EXPECT_TRUE(wait_for("out", "\nFinished\n")) << read_file(dir + "/out");
    std::printf("%.3f CPU seconds in 2 s in the background\n", cpu);
}

// The status line, with standard output on the terminal: what the screen shows now.
class StatusLine : public Terminal {
protected:
    // Runs the program in the shell with standard output on the terminal; the shell says the
    // status on a line of its own once the program has ended.
    void start_on_screen(const std::string& device, int seconds, const std::string& env = "") {
        type_line("clear; (trap : INT; " + env + " " + LIVEDELAY_BIN + " '" + device +
                  "' 1 1 1 0.5 48000 " + std::to_string(seconds) + " 2> " + dir +
                  "/err; echo status=$? > " + dir + "/status; echo ended=$?)");
        ASSERT_TRUE(wait_on_screen("1 sec  delay 0.500 s")) << screen();
    }
    std::string screen() { return tmux({"capture-pane", "-p", "-t", "0"}).out; }
    // Waits, bounded, until the screen shows `text`.
    bool wait_on_screen(const std::string& text) {
        for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
             std::chrono::steady_clock::now() < until;
             std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            if (screen().find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    // The screen's line that holds the status.
    std::string status_line() {
        const std::string all = screen();
        const size_t at = all.rfind(" sec  delay ");
        if (at == std::string::npos) {
            return {};
        }
        const size_t from = all.rfind('\n', at);
        const size_t to = all.find('\n', at);
        return all.substr(from == std::string::npos ? 0 : from + 1,
                          to == std::string::npos ? std::string::npos : to - from - 1);
    }
    // The program has ended and the shell's line begins at the start of a row.
    void expect_clean_end() { ASSERT_TRUE(wait_on_screen("\nended=0")) << screen(); }
};

// The line starts with the counter, then the delay asked and held, and the meters: they move
// with the sound going in and out, and rest with silence.
TEST_F(StatusLine, ShowsTheDelayAndMetersThatFollowTheSound) {
    start_on_screen("faulty:PACE=clock,SIGNAL=gated", 60, "LANG=C.UTF-8");
    EXPECT_TRUE(wait_on_screen("(heard 0.50")) << screen();
    bool heard_sound = false;
    bool heard_silence = false;
    for (int look = 0; look < 100 && !(heard_sound && heard_silence); ++look) {
        const std::string line = status_line();
        const size_t in = line.find("  in ");
        if (in != std::string::npos) {
            heard_silence = heard_silence || line.find("-inf dB", in) < line.find("  out ", in);
            heard_sound = heard_sound || line.find(" -1", in) < line.find("  out ", in);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(heard_sound) << screen();
    EXPECT_TRUE(heard_silence) << screen();
    EXPECT_NE(status_line().find("\xe2\x96"), std::string::npos) << "block elements in UTF-8";
    EXPECT_NE(status_line().find("xruns 0"), std::string::npos) << screen();
    type("C-c");
    expect_clean_end();
}

// A full-scale sound shows the clip mark; without a UTF-8 locale the bars are plain ASCII;
// a narrower terminal drops fields from the right, whole.
TEST_F(StatusLine, ShowsTheClipMarkInASCIIAndFitsTheWidth) {
    start_on_screen("faulty:PACE=clock,SIGNAL=full_scale", 60, "LANG=C");
    EXPECT_TRUE(wait_on_screen("CLIP")) << screen();
    EXPECT_EQ(status_line().find("\xe2"), std::string::npos) << status_line();
    EXPECT_NE(status_line().find("########"), std::string::npos) << status_line();
    tmux({"resize-window", "-t", "0", "-x", "40"});
    EXPECT_TRUE(wait_on_screen("0.500 s")) << screen();
    // The line is drawn again at the next tick after the resize: wait for it, not a time.
    std::string narrow = status_line();
    for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         narrow.size() >= 40 && std::chrono::steady_clock::now() < until; narrow = status_line()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_LT(narrow.size(), 40u) << narrow;
    EXPECT_EQ(narrow.find("  out "), std::string::npos) << narrow;
    tmux({"resize-window", "-t", "0", "-x", "120"});
    type("C-c");
    expect_clean_end();
}

// Every way out leaves the shell's next line at the start of a row.
TEST_F(StatusLine, EveryWayOutEndsTheLine) {
    start_on_screen("faulty:PACE=clock", 60);
    type("C-c");
    expect_clean_end();
    start_on_screen("faulty:PACE=clock", 60);
    tmux({"send-keys", "-t", "0", "C-c", "C-c"});
    ASSERT_TRUE(wait_on_screen("\nended=0")) << screen();
    start_on_screen("faulty:PACE=clock,PFAULT=gone,PAT=120000", 60);
    expect_clean_end();
    EXPECT_NE(read_file(dir + "/status").find("status=1"), std::string::npos);
}

// Ctrl-S stops the terminal's output: the status line waits, the sound does not. Every frame
// is heard the delay late through two seconds of it, with no marker; and a stop requested
// while the terminal is stopped ends the run within a fifth of a second.
TEST_F(StatusLine, CtrlSHoldsTheLineNotTheSound) {
    start_on_screen("faulty:PACE=clock", 4);
    type("C-s");
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the terminal stopped this long
    type("C-q");
    expect_clean_end();
    EXPECT_EQ(screen().find("PX"), std::string::npos) << screen();
    EXPECT_EQ(screen().find("RX"), std::string::npos) << screen();
    EXPECT_EQ(read_file(dir + "/err"), "");
    const card_clocks clocks{48000, 0, 0};
    const heard_channel heard = hear(read_file(dir + "/played.raw"), 2, 0, clocks);
    EXPECT_GT(heard.frames.size(), 3u * 48000);
    for (const std::string& problem : delay_problems(heard, clocks, {.settle = unjudged_seconds})) {
        ADD_FAILURE() << problem;
    }

    start_on_screen("faulty:PACE=clock", 60);
    const int pid = program_pid(dir);
    ASSERT_GT(pid, 0);
    type("C-s");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto asked = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    while (!has_ended(pid) && std::chrono::steady_clock::now() - asked < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const double stop_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count();
    type("C-q");
    EXPECT_LT(stop_ms, 200.0);
    // The line that would have ended the status line found the terminal stopped.
    EXPECT_TRUE(wait_on_screen("ended=0")) << screen();
    std::printf("stopped %.1f ms after SIGTERM, the terminal stopped\n", stop_ms);
}

// Off a terminal, SIGUSR1 writes the status once as a plain line on standard error, and
// standard output stays what it always was.
TEST(StatusOnRequest, SigusrOneWritesOnePlainLine) {
    const std::string dir = make_fake_card_dir(FAKE_CARD_LIB);
    background_process run =
        start_program({LIVEDELAY_BIN, "faulty:PACE=clock", "2", "1", "1", "0.5", "48000", "2"},
                      {fake_card_env(dir)}, dir, "run");
    ASSERT_TRUE(wait_for_output(run, "\r1 sec", 20));
    kill(run.pid, SIGUSR1);
    const process_result r = finish_program(run, 20);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.starts_with("livedelay: ")) << r.err;
    EXPECT_EQ(count_of(r.err, "\n"), 1u) << r.err;
    for (const char* field : {" sec, delay 0.500 s, heard 0.5", ", in -", ", out -", "xruns 0"}) {
        EXPECT_NE(r.err.find(field), std::string::npos) << field << " in " << r.err;
    }
    EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.ends_with("Time out at 2 sec\n\r1 sec\nFinished\n")) << r.out;
    remove_tree(dir);
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
