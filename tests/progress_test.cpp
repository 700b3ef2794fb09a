// The weighted progress of an installation run: the percentage of each
// report, the thinned log lines and the scripts the page gets.
#include "progress.h"

#include "support/bridge_capture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

using zrvk_test::contains;
using zrvk_test::hex;
using zrvk_test::runNode;
using zrvk_test::ScriptLog;

namespace {

// ---------------------------------------------------------------------------
// sendProgressToJS

class Progress : public ::testing::Test {
protected:
    void SetUp() override {
        ctx.lastStatus = "Preparing...";
        ctx.totalSteps = 3;
    }

    // One report; returns the percentage and the status the page got.
    std::pair<int, std::string> report(uint64_t current, uint64_t total, const std::string& status) {
        log.clear();
        ctx.lastPostedScript.clear();  // each report's own script, repeats included
        sendProgressToJS(&ctx, current, total, status);
        const auto scripts = log.all();
        EXPECT_EQ(scripts.size(), 1u);
        return {percentIn(scripts.back()), statusIn(scripts.back())};
    }
    static int percentIn(const std::string& script) {
        const auto at = script.find("{current: ");
        return at == std::string::npos ? -1 : std::atoi(script.c_str() + at + 10);
    }
    // The status literal; these tests use texts without quotes or escapes.
    static std::string statusIn(const std::string& script) {
        const auto at = script.find("status: \"") + 9;
        return script.substr(at, script.find('"', at) - at);
    }
    void enterStep(int step) {
        ctx.currentStep = step;
        ctx.lastCurrent = 0;
        ctx.lastTotal = 0;
        ctx.lastLoggedPercent = -1;
    }

    InstallationContext ctx;
    ScriptLog log;
};

TEST_F(Progress, PercentageFollowsTheWeightedPhases) {
    struct Case {
        int step;
        uint64_t current, total;  // total 0: a status-only report (no pair remembered)
        int percent;
        const char* phase;
    } cases[] = {
        {0, 0, 0, 0, "Render Engine"},        {0, 0, 1000, 0, "Render Engine"},
        {0, 500, 1000, 25, "Render Engine"},  {0, 1000, 1000, 51, "Render Engine"},
        {1, 0, 0, 51, "MRV Server"},          {1, 1000, 1000, 52, "MRV Server"},
        {2, 0, 0, 52, "Plugins"},             {2, 500, 1000, 76, "Plugins"},
        {2, 1000, 1000, 100, "Plugins"},      {0, 5242880, 10485760, 25, "Render Engine"},
        {0, 10240, 10240, 51, "Render Engine"}, {0, 1500, 1000, 76, "Render Engine"},
        {3, 0, 0, 100, "Unknown"},            {3, 500, 1000, 100, "Unknown"},
        {7, 1000, 1000, 100, "Unknown"},
    };
    for (const Case& c : cases) {
        enterStep(c.step);
        log.clear();
        ctx.lastPostedScript.clear();
        sendProgressToJS(&ctx, c.current, c.total, "Working");
        const auto scripts = log.all();
        ASSERT_EQ(scripts.size(), 1u);
        EXPECT_EQ(percentIn(scripts[0]), c.percent) << c.step << " " << c.current << "/" << c.total;
        EXPECT_TRUE(contains(scripts[0], std::string("phaseName: \"") + c.phase + "\"")) << scripts[0];
    }
}

TEST_F(Progress, ReportsWithoutAUsableTotalKeepThePairAndTheText) {
    struct Step {
        uint64_t current, total;
        const char* status;
        int percent;
        const char* shown;
    } steps[] = {
        {400, 1000, "Downloading", 20, "Downloading"},
        {0, 0, "Extracting", 20, "Extracting"},      // status only: pair kept, text changes
        {0, 0, "", 20, "Extracting"},                // nothing: both kept
        {5000, 8000, "", 20, "Extracting"},          // unusable total: previous pair
        {100, 100, "", 20, "Extracting"},
        {5242880, 10485760, "", 25, "Extracting"},   // bytes: half of the running part
        {0, 0, "", 25, "Extracting"},                // the byte pair is remembered
        {10239, 10239, "Copying", 25, "Copying"},
    };
    for (const Step& s : steps) {
        const auto got = report(s.current, s.total, s.status);
        EXPECT_EQ(got.first, s.percent) << s.current << "/" << s.total;
        EXPECT_EQ(got.second, s.shown) << s.current << "/" << s.total;
    }

    // An empty status with an empty lastStatus: "" to the page, the phase name in the log.
    enterStep(1);
    ctx.lastStatus.clear();
    testing::internal::CaptureStdout();
    const auto got = report(0, 0, "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[PROGRESS] 51% [MRV Server] MRV Server\n");
    EXPECT_EQ(got.second, "");
    EXPECT_TRUE(ctx.lastStatus.empty());
}

TEST_F(Progress, LogLinesAreThinnedToRisesAndMilestones) {
    struct Step {
        uint64_t perMille;
        const char* status;
        int percent;
        bool logged;
    } steps[] = {
        {0, "Downloading", 0, true},       // the first report of a step
        {98, "Downloading", 5, false},
        {176, "Downloading", 9, false},
        {235, "Downloading", 12, true},    // 12 - 0 >= 10
        {59, "Downloading", 3, false},     // a fall never counts
        {59, "alpha installed", 3, true},
        {59, "Requesting authorization...", 3, true},
        {59, "Installation complete", 3, true},
        {59, "Render Engine already up to date", 3, true},
        {59, "Reinstalled", 3, false},     // no leading space
        {59, "installation complete", 3, false},
        {59, "Already up to date", 3, false},
        {293, "Downloading", 15, true},    // 15 - 3 >= 10 after the milestones reset the mark
    };
    for (const Step& s : steps) {
        testing::internal::CaptureStdout();
        const auto got = report(s.perMille, 1000, s.status);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(got.first, s.percent) << s.perMille;
        const std::string line =
            "[PROGRESS] " + std::to_string(s.percent) + "% [Render Engine] " + std::string(s.status) + "\n";
        EXPECT_EQ(out, s.logged ? line : "") << s.perMille << " " << s.status;
    }
}

TEST_F(Progress, ScriptTextIsExact) {
    enterStep(1);
    ctx.totalPlugins = 2;
    sendProgressToJS(&ctx, 0, 0, "Installing to system directory (this may take a moment)...");
    EXPECT_EQ(log.all(), std::vector<std::string>{
                             "if (window.onInstallProgress) { window.onInstallProgress({current: 51, total: 100, "
                             "currentStep: 1, totalSteps: 3, phaseName: \"MRV Server\", status: \"Installing to system "
                             "directory (this may take a moment)...\", currentPlugin: 0, totalPlugins: 2, "
                             "currentPluginName: \"\"}); }"});
}

TEST_F(Progress, AScriptIsPostedOnceUntilSomethingShownChanges) {
    struct Step {
        uint64_t current, total;
        const char* status;
        bool posted;
    } steps[] = {
        {100, 1000, "Extracting...", true},
        {100, 1000, "Extracting...", false},
        {101, 1000, "Extracting...", false},   // same whole percent
        {0, 0, "", false},                     // nothing new at all
        {0, 0, "Extracting 10/25 files", true},
        {120, 1000, "", true},                 // the percent rises
        {120, 1000, "Extracting 10/25 files", false},
        {300, 1000, "Extracting...", true},
        {100, 1000, "Extracting...", true},    // a fall is a change too
    };
    for (const Step& s : steps) {
        log.clear();
        sendProgressToJS(&ctx, s.current, s.total, s.status);
        EXPECT_EQ(log.all().size(), s.posted ? 1u : 0u) << s.current << " " << s.status;
    }
    // The plug-in counter is shown too; and a new run starts afresh.
    log.clear();
    ctx.currentPlugin = 1;
    sendProgressToJS(&ctx, 100, 1000, "Extracting...");
    EXPECT_EQ(log.all().size(), 1u);
    InstallationContext next;
    next.totalSteps = ctx.totalSteps;
    next.currentPlugin = 1;
    sendProgressToJS(&next, 100, 1000, "Extracting...");
    EXPECT_EQ(log.all().size(), 2u);
    EXPECT_EQ(log.all()[0], log.all()[1]);
}

TEST_F(Progress, TextsArriveInThePageUnchanged) {
    const std::vector<std::string> texts = {
        "say \"hi\"",          "C:\\path\\to\\file", "\\\"",          "two\nlines\r\n",
        "tab\there \x01\x1f",  "it's",               "sep \xE2\x80\xA8 \xE2\x80\xA9", "</script>",
        "caf\xC3\xA9 \xF0\x9F\x98\x80",
    };
    ctx.currentPlugin = 1;
    ctx.totalPlugins = 1;
    for (const std::string& text : texts) {
        ctx.currentPluginName = "plug " + text;
        sendProgressToJS(&ctx, 0, 0, text);
    }
    const auto scripts = log.all();
    ASSERT_EQ(scripts.size(), texts.size());
    // Hex of both texts, so that Node's output compares byte for byte.
    std::string stub = "const print = console.log; globalThis.window = globalThis;\n"
                       "const h = (s) => Buffer.from(s, 'utf8').toString('hex');\n"
                       "window.onInstallProgress = (p) => print(h(p.status) + ' ' + h(p.currentPluginName));\n";
    for (const auto& s : scripts) stub += s + "\n";
    std::string expected;
    for (const auto& text : texts) expected += hex(text) + " " + hex("plug " + text) + "\n";
    EXPECT_EQ(runNode(stub), expected);
}

}  // namespace
