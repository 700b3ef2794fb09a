// Minimal declarations for the macOS syntax check (scripts/check-macos):
// the host's spawn header plus the Apple extensions that close every
// descriptor not named for the child.
#pragma once
#include_next <spawn.h>

#ifndef POSIX_SPAWN_CLOEXEC_DEFAULT
#define POSIX_SPAWN_CLOEXEC_DEFAULT 0x4000
#endif

extern "C" int posix_spawn_file_actions_addinherit_np(posix_spawn_file_actions_t* actions, int filedes);
