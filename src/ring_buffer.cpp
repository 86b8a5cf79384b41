// livedelay: plays live sound back after a fixed delay.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "delay.hpp"
#include "pcm.hpp"
#include "settings.hpp"

namespace {

// Written by the signal handler, read by the transfer loop: the one thing a handler may touch.
volatile sig_atomic_t stop_requested = 0;

void request_stop(int signal_number) {
    if (stop_requested != 0) {
        // A second signal while stopping ends the process at once.
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
        return;
    }
    stop_requested = 1;
}

// SIGINT and SIGTERM end the run the way its time-out does.
void stop_on_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// No ALSA device name starts with '-', so a first argument that does is an option.
int run_option(const char* option) {
    if (std::strcmp(option, "--help") == 0 || std::strcmp(option, "-h") == 0) {
        print_usage(stdout);
        std::puts("livedelay --list shows the devices ALSA knows and what each one takes.");
        return 0;
    }
    if (std::strcmp(option, "--version") == 0) {
        std::puts("livedelay " LIVEDELAY_VERSION);
        return 0;
    }
    if (std::strcmp(option, "--list") == 0 || std::strcmp(option, "-l") == 0) {
        return list_devices(stdout);
    }
    std::printf("Unknown option %s; livedelay --help shows the usage.\n", option);
    return 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && argv[1][0] == '-') {
        return run_option(argv[1]);
    }
    const auto settings = parse_command_line(argc, argv, stdout);
    if (!settings) {
        return 1;
    }
    stop_on_signals();
    pcm_pair pair;
    if (configure_pcm_pair(*settings, pair) < 0) {
        return 1;
    }
    return run(*settings, pair, &stop_requested);
}
