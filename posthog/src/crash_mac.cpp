// Crash reports' macOS body: how far our own image reaches, from the
// segments of its Mach-O header.
#include "posthog_internal.h"

#include <mach-o/dyld.h>
#include <mach-o/loader.h>

#include <algorithm>
#include <cstdint>

namespace PostHog {

namespace CrashHandler {

uint64_t imageSize(const void* base) {
    uint64_t size = 0;
    for (uint32_t i = 0; i < _dyld_image_count(); ++i) {
        const struct mach_header* header = _dyld_get_image_header(i);
        if (reinterpret_cast<const void*>(header) != base) continue;
        if (header->magic != 0xFEEDFACF) break;
        const struct mach_header_64* header64 = reinterpret_cast<const struct mach_header_64*>(header);
        const char* cursor = reinterpret_cast<const char*>(header64 + 1);
        for (uint32_t c = 0; c < header64->ncmds; ++c) {
            const struct load_command* command = reinterpret_cast<const struct load_command*>(cursor);
            if (command->cmd == 0x19) {
                const struct segment_command_64* segment = reinterpret_cast<const struct segment_command_64*>(command);
                size = std::max<uint64_t>(size, segment->vmaddr + segment->vmsize);
            }
            cursor += command->cmdsize;
        }
        break;
    }
    return size;
}

}  // namespace CrashHandler

}  // namespace PostHog
