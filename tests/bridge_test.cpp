#include "bridge.h"
#include "manifest.h"
#include "installation.h"
#include "uninstall_flow.h"
#include "startup.h"
#include "text_escape.h"
#include "support/bridge_capture.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

using zrvk_test::readFile;
using zrvk_test::runNode;
using zrvk_test::hex;
using zrvk_test::writeFile;

using json = nlohmann::json;

namespace {

TEST(JsEscape, EveryTextArrivesUnchangedInTheScript) {
    const std::vector<std::string> texts = {
        "plain",
        "quote \" and backslash \\ and 'single'",
        "C:\\Program Files\\ZRVK\\",
        "line\nbreak\r\ncarriage\ttab",
        std::string("nul\0byte", 8),
        "\x01\x02\x1b\x1f\x7f",
        "separators \xE2\x80\xA8 and \xE2\x80\xA9",
        "unicode \xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80",
        "</script><b>markup</b>",
        "${template} `backquote`",
        "\\u0041 is not an escape",
    };
    std::string script = "const out = [];\n";
    for (const std::string& text : texts) {
        script += "out.push(Buffer.from(\"" + jsEscape(text) + "\", 'utf8').toString('hex'));\n";
    }
    script += "console.log(out.join('\\n'));\n";
    std::string expected;
    for (const std::string& text : texts) expected += hex(text) + "\n";
    EXPECT_EQ(runNode(script), expected);
}

TEST(JsEscape, InvalidUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string input;
        std::string expected;
    };
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<Case> cases = {
        {"cut \xC3", "cut " + fffd},
        {"\xFF id", fffd + " id"},
        {"\xC0\xAF overlong", fffd + fffd + " overlong"},
        {"\xED\xA0\x80 surrogate", fffd + fffd + fffd + " surrogate"},
        {"\xE2\x9C", fffd + fffd},
        {"ok \xF0\x9F\x98\x80", "ok \xF0\x9F\x98\x80"},
    };
    std::string script = "const out = [];\n";
    std::string expected;
    for (const Case& c : cases) {
        script += "out.push(Buffer.from(\"" + jsEscape(c.input) + "\", 'utf8').toString('hex'));\n";
        expected += hex(c.expected) + "\n";
    }
    script += "console.log(out.join('\\n'));\n";
    EXPECT_EQ(runNode(script), expected);
}

class BoundCalls : public ::testing::Test {
protected:
    void SetUp() override {
        setUrlOpenerForTesting([this](const std::string& url) { opened.push_back(url); });
        setScriptSinkForTesting([this](const std::string& script) { scripts.push_back(script); });
    }
    void TearDown() override {
        setUrlOpenerForTesting(nullptr);
        setScriptSinkForTesting(nullptr);
    }

    zrvk_test::AnswerLog answerLog;
    std::vector<std::string> opened;
    std::vector<std::string> scripts;
};

TEST_F(BoundCalls, OpenUrlOpensOnlyWebAddressesExactlyAsGiven) {
    struct Case {
        const char* request;
        const char* url;  // nullptr: refused
    };
    const Case cases[] = {
        {R"(["{\"url\":\"https://zorvik.example/support?a=1&b=2\"}"])", "https://zorvik.example/support?a=1&b=2"},
        {R"(["{\"url\":\"http://host/$(touch x)`id`\"}"])", "http://host/$(touch x)`id`"},
        {R"(["{\"url\":\"HTTPS://host/path\"}"])", "HTTPS://host/path"},
        {R"({"url":"https://bare.example/x"})", "https://bare.example/x"},
        {R"(["{\"url\":\"no scheme here\"}"])", nullptr},
        {R"(["{\"link\":\"https://x.example\"}"])", nullptr},
        {R"(["{\"url\":\"file:///etc/passwd\"}"])", nullptr},
        {R"(["{\"url\":\"javascript://%0Aalert(1)\"}"])", nullptr},
        {R"(["{\"url\":\"://\"}"])", nullptr},
        {"[]", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        answerLog.clear();
        opened.clear();
        openUrl_cb("7", c.request, nullptr);
        const auto answers = answerLog.all();
        ASSERT_EQ(answers.size(), 1u) << c.request;
        EXPECT_EQ(answers[0].seq, "7");
        if (c.url) {
            EXPECT_EQ(answers[0].status, 0) << c.request;
            EXPECT_EQ(answers[0].result, "{\"success\":true}");
            ASSERT_EQ(opened.size(), 1u) << c.request;
            EXPECT_EQ(opened[0], c.url);
        } else {
            EXPECT_EQ(answers[0].status, 1) << c.request;
            EXPECT_EQ(answers[0].result, "{\"success\":false,\"error\":\"Invalid URL\"}");
            EXPECT_TRUE(opened.empty()) << c.request;
        }
    }
}

TEST(RequestDepth, CountsArraysAndObjectsOutsideStrings) {
    struct Case {
        std::string text;
        bool tooDeep;
    };
    const std::vector<Case> cases = {
        {std::string(32, '[') + std::string(32, ']'), false},
        {std::string(33, '[') + std::string(33, ']'), true},
        {std::string(31, '[') + "{\"a\":1}" + std::string(31, ']'), false},
        {std::string(32, '[') + "{}" + std::string(32, ']'), true},
        {std::string(4000, '['), true},
        {"[\"" + std::string(4000, '[') + "\"]", false},     // inside a string
        {"[\"\\\"" + std::string(40, '{') + "\"]", false},  // after an escaped quote, still inside
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(requestNestedTooDeep(c.text), c.tooDeep) << c.text.substr(0, 80);
}

TEST_F(BoundCalls, DeeplyNestedRequestsGetTheOrdinaryBadRequestAnswer) {
    std::string savedManifest;
    {
        std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
        savedManifest = g_manifestJson;
        g_manifestJson.clear();
    }
    const std::string deep(2000, '[');
    const std::string close(2000, ']');
    struct Case {
        std::string request;
        const char* error;
    };
    const std::vector<Case> cases = {
        {deep + close, "Invalid request format"},
        {"[\"" + deep + close + "\"]", "Invalid request format"},  // the inner text of the page's form
        {std::string(33, '[') + std::string(33, ']'), "Invalid request format"},
        {std::string(32, '[') + std::string(32, ']'), "Manifest not loaded"},  // within the limit: parsed
    };
    for (const Case& c : cases) {
        answerLog.clear();
        startInstallation_cb("3", c.request.c_str(), nullptr);
        const auto answers = answerLog.all();
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].status, 1);
        EXPECT_EQ(answers[0].result, std::string("{\"success\":false,\"error\":\"") + c.error + "\"}")
            << c.request.substr(0, 40);
    }

    answerLog.clear();
    const std::string url = "[\"{\\\"url\\\":\\\"https://deep.example/x\\\"}\"";
    openUrl_cb("4", (deep + url + close).c_str(), nullptr);
    const auto answers = answerLog.all();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].status, 1);
    EXPECT_EQ(answers[0].result, "{\"success\":false,\"error\":\"Invalid URL\"}");
    EXPECT_TRUE(opened.empty());

    std::lock_guard<std::mutex> lock(g_manifestJsonMutex);
    g_manifestJson = savedManifest;
}

TEST_F(BoundCalls, FixedAnswers) {
    checkElevated_cb("1", "[]", nullptr);
    closeWindow_cb("2", "[]", nullptr);
    const auto answers = answerLog.all();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].status, 0);
    EXPECT_EQ(answers[0].result, "{\"elevated\":false}");
    EXPECT_EQ(answers[1].status, 0);
    EXPECT_EQ(answers[1].result, "{\"success\":true}");
}

TEST(ManifestUrls, SubstituteOnlyTheFirstNumberPlaceholder) {
    EXPECT_EQ(substituteVersionInUrl("https://h/{number}/engine-{number}.zip", "7"), "https://h/7/engine-{number}.zip");
    EXPECT_EQ(substituteVersionInUrl("https://h/engine.zip", "7"), "https://h/engine.zip");
    EXPECT_EQ(substituteVersionInUrl("https://h/{text}.zip", "7"), "https://h/{text}.zip");
    EXPECT_EQ(substituteVersionInUrl("{number}", ""), "");
}

TEST(ManifestUrls, GitHubKeyIsDerivedFromTheLastUrlSuffix) {
    const json manifest = json::parse(R"({
        "latest_render_engine_mac_x64_url": "https://huggingface.co/e/{number}.zip",
        "latest_render_engine_mac_x64_github_url": "https://github.com/e/{number}.zip",
        "only_url": "https://h/only",
        "a_url_b_github_url": "https://derived",
        "plain": "https://plain",
        "number_url": 5
    })");
    struct Case {
        const char* key;
        const char* github;
        const char* primary;
    };
    const Case cases[] = {
        {"latest_render_engine_mac_x64_url", "https://github.com/e/12.zip", "https://huggingface.co/e/12.zip"},
        {"only_url", "", "https://h/only"},
        {"a_url_b_url_tail", "https://derived", ""},  // text after the last "_url" is dropped
        {"plain", "https://plain", "https://plain"},  // no "_url": the key itself
        {"missing_url", "", ""},
    };
    for (const Case& c : cases) {
        std::string github = "stale", primary = "stale";
        getUrlsWithGitHubFallback(manifest, c.key, "12", github, primary);
        EXPECT_EQ(github, c.github) << c.key;
        EXPECT_EQ(primary, c.primary) << c.key;
    }
    std::string github, primary;
    EXPECT_THROW(getUrlsWithGitHubFallback(manifest, "number_url", "1", github, primary), json::type_error);
    getUrlsWithGitHubFallback(json::array({1, 2}), "only_url", "1", github, primary);
    EXPECT_TRUE(github.empty() && primary.empty());
}

TEST(HttpGet, NoAttemptsMeansNoTransfer) {
    std::string body = "old";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(httpGet("http://127.0.0.1:1/never", body, 0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[httpGet] Failed after 0 attempts\n");
}

}  // namespace
