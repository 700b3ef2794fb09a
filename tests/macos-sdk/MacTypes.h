// Minimal declarations for the macOS syntax check (scripts/check-macos):
// the basic integer types of the Apple interfaces.
#pragma once
#include <stdint.h>

typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef SInt32 OSStatus;
