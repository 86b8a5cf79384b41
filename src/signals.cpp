#include "signals.hpp"

#include "monotonic.hpp"
#include "output.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

namespace livedelay {

namespace {

// What the handlers and the watchdog share with the program; each is lock-free.
volatile sig_atomic_t stop_flag = 0;
volatile sig_atomic_t status_flag = 0;
std::atomic<bool> status_line_on{false};
// A pipe the handler writes a byte into, so that a wait on its other end ends at once whichever
// thread took the signal (a sound server's plugin may run threads of its own).
int stop_pipe[2] = {-1, -1};
std::atomic<int> calls_open{0};
std::atomic<const char*> call_message{nullptr};
std::atomic<int64_t> waited_ns{0};
std::atomic<int64_t> stopping_ns{0};
std::atomic<bool> finished_said{false};
// The terminal to put back, if any, and its key mode: written before the handlers may need it.
std::atomic<int> terminal_fd{-1};
termios terminal_settings{};
termios terminal_keys{};
// Where the handlers write once standard output and standard error never wait.
std::atomic<const output_streams*> output_to{nullptr};
// What each fatal signal did before the program took it, to be done once the terminal is back.
struct sigaction fatal_before[NSIG];

constexpr int64_t tick_ns = 50 * 1000000;
// A tick this late means the process itself was stopped or starved, not the call.
constexpr int64_t late_tick_ns = 4 * tick_ns;

const char* const playback_stall = "Playback stream stopped moving: no frames for 5 seconds\n";
const char* const capture_stall = "Capture stream stopped moving: no frames for 5 seconds\n";

void write_text(int fd, const char* text) {
    if (const output_streams* streams = output_to.load()) {
        say_now(fd == STDOUT_FILENO ? streams->out : streams->err, text);
        return;
    }
    // Nothing is left to do if even this fails.
    [[maybe_unused]] const ssize_t ignored = write(fd, text, std::strlen(text));
}

// The status line ended from a handler or the watchdog: past what is queued, without waiting.
void end_status_line_now() {
    if (status_line_on.exchange(false)) {
        write_text(STDOUT_FILENO, "\n");
    }
}

void ask_status(int) {
    status_flag = 1;
}

void request_stop(int signal_number) {
    if (stop_flag != 0) {
        end_status_line_now();
        restore_terminal();
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
        return;
    }
    stop_flag = 1;
    if (stop_pipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = write(stop_pipe[1], &byte, 1);
    }
}

// Puts the terminal in key mode, where the program is in its foreground (a terminal set from
// the background would change it under the shell).
void set_key_mode() {
    const int fd = terminal_fd.load();
    if (fd >= 0 && tcgetpgrp(fd) == getpgrp()) {
        tcsetattr(fd, TCSANOW, &terminal_keys);  // async-signal-safe
    }
}

// Ctrl-Z: the terminal goes back to the shell as it was, then the process stops as it would
// have without the handler.
void stop_for_terminal(int) {
    const int saved_errno = errno;
    end_status_line_now();
    const int fd = terminal_fd.load();
    if (fd >= 0) {
        tcsetattr(fd, TCSANOW, &terminal_settings);
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    sigaction(SIGTSTP, &action, nullptr);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    raise(SIGTSTP);
    // Continued: the handler stands again (SIGCONT has put the key mode back).
    action.sa_handler = stop_for_terminal;
    action.sa_flags = SA_RESTART;
    sigaction(SIGTSTP, &action, nullptr);
    errno = saved_errno;
}

void continue_for_terminal(int) {
    const int saved_errno = errno;
    set_key_mode();
    errno = saved_errno;
}

// Ctrl-\ (SIGQUIT): the terminal goes back as it was, then the process ends as the signal
// would have ended it.
void quit_for_terminal(int signal_number) {
    end_status_line_now();
    restore_terminal();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

// A fault (or an abort): the terminal goes back as it was, then whatever took the signal before
// (the default, or a sanitizer's report) takes it again: a fault happens again as the handler
// returns, and a signal sent is raised again.
void fatal_for_terminal(int signal_number, siginfo_t* info, void*) {
    restore_terminal();
    sigaction(signal_number, &fatal_before[signal_number], nullptr);
    if (info == nullptr || info->si_code <= 0) {
        std::raise(signal_number);
    }
}

// The watchdog is a thread of its own rather than a timer signal: a signal would cut short
// whatever the call is doing, and some plugins cannot take that (the file plugin aborts on a
// write that a signal cut short).
void watch_calls() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    int64_t last = monotonic_ns();
    for (;;) {
        const timespec tick{0, tick_ns};
        nanosleep(&tick, nullptr);
        const int64_t now = monotonic_ns();
        int64_t gap = now - last;
        last = now;
        if (calls_open.load() == 0) {
            continue;
        }
        if (gap > late_tick_ns) {
            gap = tick_ns;
        }
        const int64_t waited = waited_ns.fetch_add(gap) + gap;
        // Once the run has said it finished, only its streams are left to close: a server
        // that holds that up is not waited for either.
        const int64_t grace_ms = stop_flag != 0         ? stop_grace_ms
                                 : finished_said.load() ? close_grace_ms
                                                        : 0;
        if (grace_ms > 0 && stopping_ns.fetch_add(gap) + gap >= grace_ms * 1000000) {
            end_status_line_now();
            if (!finished_said.exchange(true)) {
                write_text(STDOUT_FILENO, "\nFinished\n");
            }
            restore_terminal();
            _exit(0);
        }
        if (waited >= stall_limit_ms * 1000000) {
            end_status_line_now();
            write_text(STDERR_FILENO, call_message.load());
            restore_terminal();
            _exit(1);
        }
    }
}

}  // namespace

void install_signal_handlers() {
    if (pipe2(stop_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        stop_pipe[0] = stop_pipe[1] = -1;  // waits then end by their timeout alone
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = request_stop;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A terminal that hangs up ends the run as a stop request does.
    sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = stop_for_terminal;
    sigaction(SIGTSTP, &action, nullptr);
    action.sa_handler = continue_for_terminal;
    sigaction(SIGCONT, &action, nullptr);
    action.sa_handler = quit_for_terminal;
    sigaction(SIGQUIT, &action, nullptr);
    take_status_requests();
    struct sigaction fatal {};
    sigemptyset(&fatal.sa_mask);
    fatal.sa_flags = SA_SIGINFO | SA_NODEFER;
    fatal.sa_sigaction = fatal_for_terminal;
    for (const int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGSYS}) {
        sigaction(signal_number, &fatal, &fatal_before[signal_number]);
    }
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
    // Run in the background of a shell, reading the terminal fails instead of stopping us.
    sigaction(SIGTTIN, &action, nullptr);
    sigaction(SIGTTOU, &action, nullptr);
    std::thread(watch_calls).detach();
}

void take_status_requests() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = ask_status;
    sigaction(SIGUSR1, &action, nullptr);
}

void note_output(const output_streams* streams) {
    output_to = streams;
}

bool stop_requested() {
    return stop_flag != 0;
}

bool status_asked() {
    const bool asked = status_flag != 0;
    status_flag = 0;
    return asked;
}

void status_line_drawn() {
    status_line_on = true;
}

void status_line_ended() {
    status_line_on = false;
}

void end_status_line() {
    if (status_line_on.exchange(false)) {
        std::fputs("\n", stdout);
    }
}

int stop_request_fd() {
    return stop_pipe[0];
}

const char* stall_message(bool playback) {
    return playback ? playback_stall : capture_stall;
}

void keep_terminal_settings(int fd, const termios& saved, const termios& keys) {
    terminal_settings = saved;
    terminal_keys = keys;
    terminal_fd = fd;
    set_key_mode();
}

void resume_key_mode() {
    set_key_mode();
}

void restore_terminal() {
    const int fd = terminal_fd.exchange(-1);
    if (fd >= 0) {
        tcsetattr(fd, TCSANOW, &terminal_settings);  // async-signal-safe
    }
}

void say_finished() {
    status_line_ended();
    if (!finished_said.exchange(true)) {
        std::fputs("\nFinished\n", stdout);
        std::fflush(stdout);
    }
}

server_call::server_call(const char* stream) {
    if (calls_open.load() == 0) {
        // What the watchdog may print must come after everything printed so far.
        std::fflush(stdout);
        call_message = std::strcmp(stream, "Playback") == 0 ? playback_stall : capture_stall;
        waited_ns = 0;
        stopping_ns = 0;
    }
    calls_open.fetch_add(1);
}

server_call::~server_call() {
    calls_open.fetch_sub(1);
}

}  // namespace livedelay
