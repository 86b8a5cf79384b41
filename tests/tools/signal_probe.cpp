// Loaded ahead of a program (LD_PRELOAD), this writes to the file SIGNAL_PROBE_OUT names what
// the program does with SIGUSR1 when the first code of a library runs: after the program's own
// pre-initialisation, before any library's constructors, C++'s static objects and main.
#include <signal.h>

#include <cstdio>
#include <cstdlib>

namespace {

[[gnu::constructor]] void look_at_sigusr1() {
    const char* path = std::getenv("SIGNAL_PROBE_OUT");
    struct sigaction action {};
    if (path == nullptr || sigaction(SIGUSR1, nullptr, &action) != 0) {
        return;
    }
    if (std::FILE* f = std::fopen(path, "w")) {
        std::fputs(action.sa_handler == SIG_DFL   ? "default\n"
                   : action.sa_handler == SIG_IGN ? "ignored\n"
                                                  : "handled\n",
                   f);
        std::fclose(f);
    }
}

}  // namespace
