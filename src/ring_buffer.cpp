// livedelay: plays live sound back after a fixed delay.
#include <cstdio>

#include "delay.hpp"
#include "pcm.hpp"
#include "settings.hpp"

int main(int argc, char* argv[]) {
    const auto settings = parse_command_line(argc, argv, stdout);
    if (!settings) {
        return 1;
    }
    pcm_pair pair;
    if (configure_pcm_pair(*settings, pair) < 0) {
        return 1;
    }
    return run(*settings, pair);
}
