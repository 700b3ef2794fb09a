// Minimal declarations for the macOS syntax check (scripts/check-macos):
// the Objective-C runtime calls the installer makes from C++.
#pragma once
#include <objc/objc.h>

#ifdef __cplusplus
extern "C" {
#endif

id objc_getClass(const char* name);
SEL sel_registerName(const char* str);

#ifdef __cplusplus
}
#endif
