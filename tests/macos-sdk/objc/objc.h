// Minimal declarations for the macOS syntax check (scripts/check-macos):
// the basic types of the Objective-C runtime.
#pragma once

typedef struct objc_class* Class;
typedef struct objc_object* id;
typedef struct objc_selector* SEL;
