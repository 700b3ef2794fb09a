// The client's Linux body: the events' system text.
#include "posthog_internal.h"

#include <sys/utsname.h>

namespace PostHog {

std::string detectPlatform() {
    struct utsname names;
    if (uname(&names) != 0) return "Linux  ";
    return std::string("Linux ") + names.machine + " " + names.release;
}

}  // namespace PostHog
