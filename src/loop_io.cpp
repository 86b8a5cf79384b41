#include "loop_io.hpp"

#include "monotonic.hpp"

namespace livedelay {

namespace {

int64_t monotonic_now(void*) {
    return monotonic_ns();
}

int system_poll(void*, pollfd* fds, size_t count, int64_t timeout_ns) {
    return poll(fds, count, static_cast<int>((timeout_ns + ns_per_ms - 1) / ns_per_ms));
}

constexpr clock_ops system_clock_ops{monotonic_now, system_poll};

}  // namespace

loop_clock system_clock() {
    return {&system_clock_ops, nullptr};
}

}  // namespace livedelay
