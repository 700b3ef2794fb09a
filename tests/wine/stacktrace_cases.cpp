// Stack frames through the debug-help library's stack walk and symbol lookup.
// wine's library reads the program's DWARF line tables and names the frames;
// Windows' own reads only PDB files, so there frames may stay addresses.
#include "case_runner.h"
#include "windows_support.h"

#include "posthog.h"

#include <string>
#include <vector>

using namespace wintest;
using PostHog::Stacktrace::Frame;

namespace {

volatile int g_depth = 0;

__attribute__((noinline)) std::vector<Frame> stackProbeInner(int maxFrames, int skip, const char* filter) {
    std::vector<Frame> frames = PostHog::Stacktrace::captureStructured(maxFrames, skip, filter);
    g_depth = g_depth + 1;  // keeps the call from becoming a jump
    return frames;
}

__attribute__((noinline)) std::vector<Frame> stackProbeOuter(int maxFrames, int skip, const char* filter) {
    std::vector<Frame> frames = stackProbeInner(maxFrames, skip, filter);
    g_depth = g_depth - 1;
    return frames;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int indexOf(const std::vector<Frame>& frames, const std::string& function) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (contains(frames[i].function, function)) return static_cast<int>(i);
    }
    return -1;
}

bool isAddressText(const std::string& text) {
    if (text.size() < 3 || text.compare(0, 2, "0x") != 0) return false;
    return text.find_first_not_of("0123456789abcdef", 2) == std::string::npos;
}

}  // namespace

ZRVK_CASE(stackFramesNameTheCallersInnermostFirst) {
    const std::vector<Frame> frames = stackProbeOuter(15, 0, "");
    REQUIRE(!frames.empty());
    CHECK(frames.size() <= 15);
    for (const Frame& frame : frames) {
        CHECK(frame.in_app);
        CHECK(!frame.function.empty());
        CHECK(frame.module.empty());
        if (frame.function.compare(0, 2, "0x") == 0) {
            CHECK(isAddressText(frame.function));
            CHECK(frame.filename.empty());
            CHECK_EQ(frame.lineno, 0);
        }
    }
    if (!underWine()) skip("Windows' own library names no frames without PDB files");
    const int inner = indexOf(frames, "stackProbeInner");
    CHECK(inner >= 0);
    CHECK_EQ(indexOf(frames, "stackProbeOuter"), inner + 1);
    CHECK(indexOf(frames, "captureStructured") < inner);
}

ZRVK_CASE(stackFramesHonourSkipAndLimit) {
    const std::vector<Frame> all = stackProbeOuter(15, 0, "");
    const std::vector<Frame> skipped = stackProbeOuter(15, 1, "");
    REQUIRE(all.size() >= 3);
    if (all.size() < 15) CHECK_EQ(skipped.size() + 1, all.size());
    CHECK_EQ(stackProbeOuter(2, 0, "").size(), std::size_t(2));
    CHECK(PostHog::Stacktrace::captureStructured(0, 0, "").empty());
    if (!underWine()) skip("Windows' own library names no frames without PDB files");
    CHECK_EQ(indexOf(skipped, "stackProbeInner"), indexOf(all, "stackProbeInner") - 1);
}

ZRVK_CASE(stackFramesFilterMarksTheApplicationsOwn) {
    for (const Frame& frame : stackProbeOuter(15, 0, "zrvk-no-such-name")) CHECK(!frame.in_app);
    const std::vector<Frame> frames = stackProbeOuter(15, 0, "stackProbe");
    for (const Frame& frame : frames) {
        CHECK_EQ(frame.in_app, contains(frame.filename, "stackProbe") || contains(frame.function, "stackProbe"));
    }
    if (!underWine()) skip("Windows' own library names no frames without PDB files");
    const int outer = indexOf(frames, "stackProbeOuter");
    REQUIRE(outer >= 0);
    CHECK(frames[outer].in_app);
    CHECK(!frames.back().in_app);
}
