// Crash reports' Linux body: how far our own image reaches, from its
// program headers.
#include "posthog_internal.h"

#include <link.h>

#include <algorithm>
#include <cstdint>

namespace PostHog {

namespace CrashHandler {

namespace {

struct ImageSearch {
    uintptr_t base;
    uint64_t size;
    bool found;
};

int findImage(struct dl_phdr_info* info, size_t, void* data) {
    ImageSearch* search = static_cast<ImageSearch*>(data);
    uint64_t lowest = UINT64_MAX;
    uint64_t highest = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD) continue;
        lowest = std::min<uint64_t>(lowest, header.p_vaddr);
        highest = std::max<uint64_t>(highest, header.p_vaddr + header.p_memsz);
    }
    if (lowest == UINT64_MAX) return 0;
    if (info->dlpi_addr + lowest != search->base) return 0;
    search->size = highest - lowest;
    search->found = true;
    return 1;
}

}  // namespace

uint64_t imageSize(const void* base) {
    ImageSearch search{reinterpret_cast<uintptr_t>(base), 0, false};
    dl_iterate_phdr(findImage, &search);
    return search.found ? search.size : 0;
}

}  // namespace CrashHandler

}  // namespace PostHog
