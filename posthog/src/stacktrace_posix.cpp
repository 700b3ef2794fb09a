// Stack traces on POSIX systems: backtrace for the addresses, dladdr for the
// names of exported functions and of the modules they lie in.
#include "posthog_internal.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace PostHog {

namespace Stacktrace {

namespace {
std::string demangle(const char* name) {
    int status = 0;
    char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || out == nullptr) {
        std::free(out);
        return name;
    }
    std::string result(out);
    std::free(out);
    return result;
}
}  // namespace

std::vector<Frame> captureStructured(int maxFrames, int skip, const std::string& filter) {
    std::vector<Frame> frames;
    if (maxFrames < 1 || skip < 0) return frames;
    std::vector<void*> addresses(static_cast<size_t>(skip) + static_cast<size_t>(maxFrames));
    int count = backtrace(addresses.data(), static_cast<int>(addresses.size()));
    if (count <= skip) return frames;
    int end = std::min(count, skip + maxFrames);
    for (int i = skip; i < end; ++i) {
        Frame frame;
        Dl_info info;
        std::memset(&info, 0, sizeof(info));
        if (dladdr(addresses[i], &info) == 0) {
            frame.function = "0x" + toHex(reinterpret_cast<uintptr_t>(addresses[i]));
            frames.push_back(frame);
            continue;
        }
        frame.function = info.dli_sname ? demangle(info.dli_sname) : "(unknown)";
        if (info.dli_fname && info.dli_fname[0]) {
            frame.filename = info.dli_fname;
            std::string::size_type slash = frame.filename.rfind('/');
            if (slash != std::string::npos) frame.module = frame.filename.substr(slash + 1);
        }
        if (!filter.empty()) frame.in_app = contains(frame.module, filter) || contains(frame.function, filter);
        frames.push_back(frame);
    }
    return frames;
}

std::string capture(int maxFrames, int skip) {
    if (maxFrames < 1 || skip < 0) return "(no stack trace available)";
    std::vector<void*> addresses(static_cast<size_t>(skip) + static_cast<size_t>(maxFrames));
    int count = backtrace(addresses.data(), static_cast<int>(addresses.size()));
    if (count <= skip) return "(no stack trace available)";
    char** symbols = backtrace_symbols(addresses.data(), count);
    if (symbols == nullptr) return "(failed to resolve symbols)";
    std::string out;
    int end = std::min(count, skip + maxFrames);
    for (int i = skip; i < end; ++i) {
        Dl_info info;
        std::memset(&info, 0, sizeof(info));
        std::string text;
        if (dladdr(addresses[i], &info) != 0 && info.dli_sname != nullptr) {
            text = demangle(info.dli_sname);
            if (info.dli_saddr != nullptr) {
                text += " + " + std::to_string(reinterpret_cast<uintptr_t>(addresses[i]) -
                                               reinterpret_cast<uintptr_t>(info.dli_saddr));
            }
        } else {
            text = symbols[i];
        }
        out += "#" + std::to_string(i - skip) + "  " + text + "\n";
    }
    std::free(symbols);
    return out;
}

}  // namespace Stacktrace

}  // namespace PostHog
