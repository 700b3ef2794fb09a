// Minimal declarations for the macOS syntax check (scripts/check-macos):
// the host's socket header plus the address family macOS adds to it.
#pragma once
#include_next <sys/socket.h>

#ifndef AF_LINK
#define AF_LINK 18
#endif
