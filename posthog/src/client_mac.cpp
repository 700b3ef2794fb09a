// The client's macOS body: the events' system text.
#include "posthog_internal.h"

#include <cstdio>

namespace PostHog {

std::string detectPlatform() {
    std::string version;
    if (FILE* pipe = popen("sw_vers -productVersion 2>/dev/null", "r")) {
        char buffer[64];
        if (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) {
            version = buffer;
            if (!version.empty() && version.back() == '\n') version.pop_back();
        }
        pclose(pipe);
    }
    return "Mac OS X x86_64 " + version;
}

}  // namespace PostHog
