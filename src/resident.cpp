#include "resident.hpp"

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace livedelay {

namespace {

int lock_read_only_segments(dl_phdr_info* info, size_t, void*) {
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) != 0 || segment.p_memsz == 0) {
            continue;
        }
        const uintptr_t from = info->dlpi_addr + segment.p_vaddr;
        const uintptr_t start = from & ~(page - 1);
        const size_t length = from + segment.p_memsz - start;
        mlock(reinterpret_cast<const void*>(start), length);  // where it is granted
    }
    return 0;
}

}  // namespace

void keep_code_resident() {
    dl_iterate_phdr(lock_read_only_segments, nullptr);
}

}  // namespace livedelay
