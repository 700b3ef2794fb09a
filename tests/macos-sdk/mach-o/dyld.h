// Minimal declarations for the macOS syntax check (scripts/check-macos):
// the dynamic loader calls the installer and the analytics library use.
#pragma once
#include <stdint.h>

#include <mach-o/loader.h>

#ifdef __cplusplus
extern "C" {
#endif

int _NSGetExecutablePath(char* buf, uint32_t* bufsize);
uint32_t _dyld_image_count(void);
const struct mach_header* _dyld_get_image_header(uint32_t image_index);

#ifdef __cplusplus
}
#endif
