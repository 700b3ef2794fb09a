// The client's Windows body: the events' system text.
#include "posthog_internal.h"

#include <windows.h>

#include <cstring>

namespace PostHog {

std::string detectPlatform() {
    std::string version;
    OSVERSIONINFOA info;
    std::memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    if (GetVersionExA(&info)) {
        version = std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
                  std::to_string(info.dwBuildNumber);
    }
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return "Windows x64 " + version;
}

}  // namespace PostHog
