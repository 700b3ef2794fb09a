// Minimal declarations for the macOS syntax check (scripts/check-macos):
// the message send, declared without a prototype as the strict SDK does, so
// that every call has to go through a cast to the right function type.
#pragma once
#include <objc/objc.h>

#ifdef __cplusplus
extern "C" {
#endif

void objc_msgSend(void);

#ifdef __cplusplus
}
#endif
