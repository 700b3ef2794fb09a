// Stack traces of the calling thread: frame names, order, limits, the
// in-app filter and the client's own capture calls.
#include "posthog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zrvk_stack_test {
// Exported (not in an unnamed namespace) so that its frame has a name.
__attribute__((noinline)) std::vector<PostHog::Stacktrace::Frame> captureHere(int maxFrames, int skip,
                                                                             const std::string& filter) {
    auto frames = PostHog::Stacktrace::captureStructured(maxFrames, skip, filter);
    asm volatile("" ::: "memory");  // keeps this a real frame
    return frames;
}
}  // namespace zrvk_stack_test
using zrvk_stack_test::captureHere;

// Index of the first frame whose function names `part`, or -1.
int indexOf(const std::vector<PostHog::Stacktrace::Frame>& frames, const std::string& part) {
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].function.find(part) != std::string::npos) return static_cast<int>(i);
    }
    return -1;
}

// A sanitizer's backtrace interceptor may add one frame of its own in front.
TEST(Stacktrace, NamesExportedFramesInnermostFirst) {
    auto frames = captureHere(15, 0, "");
    ASSERT_GE(frames.size(), 3u);
    EXPECT_LE(frames.size(), 15u);
    int capture = indexOf(frames, "captureStructured");
    ASSERT_GE(capture, 0);
    EXPECT_LE(capture, 1);
    EXPECT_EQ(indexOf(frames, "captureHere"), capture + 1);
    EXPECT_GT(indexOf(frames, "NamesExportedFramesInnermostFirst"), capture + 1);
    for (const auto& frame : frames) {
        EXPECT_TRUE(frame.in_app);
        EXPECT_EQ(frame.lineno, 0);
        EXPECT_FALSE(frame.function.empty());
        if (!frame.filename.empty() && frame.filename.find('/') != std::string::npos) {
            EXPECT_EQ(frame.module, frame.filename.substr(frame.filename.rfind('/') + 1));
        }
    }
    // skip drops the innermost frames
    auto skipped = captureHere(15, capture + 1, "");
    ASSERT_FALSE(skipped.empty());
    EXPECT_EQ(indexOf(skipped, "captureHere"), 0) << skipped[0].function;
}

TEST(Stacktrace, LimitsAndFilter) {
    EXPECT_TRUE(captureHere(0, 0, "").empty());
    EXPECT_TRUE(captureHere(15, 1000, "").empty());
    EXPECT_EQ(captureHere(3, 0, "").size(), 3u);

    auto filtered = captureHere(15, 0, "zrvk-installer");
    ASSERT_FALSE(filtered.empty());
    for (const auto& frame : filtered) {
        bool matches = frame.module.find("zrvk-installer") != std::string::npos ||
                       frame.function.find("zrvk-installer") != std::string::npos;
        EXPECT_EQ(frame.in_app, matches) << frame.function;
    }
    // The filter matches the test program by its module name.
    auto own = captureHere(15, 0, "zrvk_analytics");
    int here = indexOf(own, "captureHere");
    ASSERT_GE(here, 0);
    EXPECT_TRUE(own[here].in_app) << own[here].module;
}

TEST(Stacktrace, ClientCapturesDropTheirOwnCaptureFrame) {
    PostHog::Client client{PostHog::Config()};
    auto frames = client.captureStacktraceStructured(15, 0);
    int own = -1;
    for (size_t i = 0; i < frames.size() && own < 0; ++i) {
        if (frames[i].function.find("captureStacktraceStructured") != std::string::npos) own = static_cast<int>(i);
    }
    ASSERT_GE(own, 0);
    EXPECT_LE(own, 1);
    std::string text = client.captureStacktrace(5, 0);
    EXPECT_EQ(text.rfind("#0  ", 0), 0u) << text;
    EXPECT_NE(text.find("captureStacktrace"), std::string::npos) << text;
    EXPECT_EQ(client.captureStacktrace(5, 1000), "(no stack trace available)");
}
