// Crash reports: a helper process that really crashes leaves a report that
// its next start sends; attribution, side files and the shared folder's
// safety rules are checked on hand-written files.
#include "posthog.h"
#include "support/loopback_server.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

extern char** environ;

using nlohmann::json;
using zrvk::test::LoopbackServer;
using zrvk::test::Request;
using zrvk::test::Response;
using zrvk_test::lines;
using zrvk_test::readFile;
using zrvk_test::TempDir;
using zrvk_test::writeFile;

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Runs the helper and returns its wait status.
int runHelper(const std::vector<std::string>& args) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        if (std::string(*e).rfind("ASAN_OPTIONS=", 0) != 0) env.push_back(*e);
    }
    // The helper's own handlers must see the signals, not the sanitizer's.
    env.push_back("ASAN_OPTIONS=handle_segv=0:handle_abort=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:"
                  "allow_user_segv_handler=1:detect_leaks=0");
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> all = {ZRVK_CRASH_HELPER};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, ZRVK_CRASH_HELPER, nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

class Capture {
public:
    Capture() {
        server.route("POST", "/i/v0/e/", Response::text(200, "{}"));
        std::string error;
        EXPECT_TRUE(server.start(error)) << error;
    }
    std::vector<json> documents() const {
        std::vector<json> out;
        for (const Request& r : server.requests()) out.push_back(json::parse(r.body));
        return out;
    }
    LoopbackServer server;
};

// In-process tests point the crash files at a folder without installing
// any handler in the test binary.
class CrashFolder : public ::testing::Test {
protected:
    void SetUp() override { PostHog::Testing::setCrashFolder(dir.path()); }
    void TearDown() override { PostHog::Testing::setCrashFolder(""); }
    std::string pending() const { return dir / "pending_crash.txt"; }
    std::string metadata() const { return dir / "crash_metadata.txt"; }
    std::string logPointer() const { return dir / "crash_logfile.txt"; }

    PostHog::Config config() const {
        PostHog::Config c;
        c.apiKey = "phc_key";
        c.appName = "zrvk_analytics";
        c.appVersion = "1.2.3";
        c.host = capture.server.baseUrl();
        c.distinctId = "crash-test";
        return c;
    }

    TempDir dir;
    Capture capture;
};

}  // namespace

TEST(CrashReports, RealCrashesLeaveAReportThatTheNextStartSends) {
    struct Case {
        const char* mode;
        int signal;
        const char* name;
    };
    for (const Case& c : {Case{"segv", SIGSEGV, "SIGSEGV"}, Case{"abort", SIGABRT, "SIGABRT"},
                          Case{"throw", SIGABRT, "SIGABRT"}}) {
        SCOPED_TRACE(c.mode);
        TempDir dir;
        const std::string folder = dir / "CrashReports";
        const std::string log = dir / "app.log";
        writeFile(log, "====\nfirst\nsecond\n\nlast\n");

        int status = runHelper({folder, c.mode, log});
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), c.signal);

        const std::string report = readFile(folder + "/pending_crash.txt");
        auto reportLines = lines(report);
        ASSERT_GE(reportLines.size(), 8u) << report;
        EXPECT_EQ(reportLines[0], std::string("SIGNAL: ") + c.name);
        EXPECT_TRUE(std::regex_match(reportLines[1], std::regex("TIME: [0-9]+"))) << reportLines[1];
        EXPECT_TRUE(std::regex_match(reportLines[2], std::regex("LOAD_ADDR: 0x[0-9a-f]+"))) << reportLines[2];
        EXPECT_TRUE(std::regex_match(reportLines[3], std::regex("MODULE_SIZE: 0x[1-9a-f][0-9a-f]*")))
            << reportLines[3];
        EXPECT_EQ(reportLines[4], std::string("EXEC_PATH: ") + ZRVK_CRASH_HELPER);
        EXPECT_EQ(reportLines[5], "STACKTRACE:");
        for (size_t i = 6; i < reportLines.size(); ++i) {
            EXPECT_TRUE(std::regex_match(reportLines[i], std::regex("  0x[1-9a-f][0-9a-f]*"))) << reportLines[i];
        }
        EXPECT_EQ(report.back(), '\n');
        EXPECT_EQ(report.find("MESSAGE"), std::string::npos) << "the SIGABRT report replaces the terminate report";

        Capture capture;
        ASSERT_EQ(runHelper({folder, "report", capture.server.baseUrl()}), 0);
        auto docs = capture.documents();
        ASSERT_EQ(docs.size(), 1u);
        const json& doc = docs[0];
        EXPECT_EQ(doc["event"], "$exception");
        EXPECT_EQ(doc["api_key"], "phc_crash");
        EXPECT_EQ(doc["distinct_id"], "crash-helper-id");
        const json& props = doc["properties"];
        EXPECT_EQ(props["$lib"], "zrvk_crash_helper");
        EXPECT_EQ(props["posthog_cpp_version"], "1.5.0");
        EXPECT_EQ(props["crash_from_previous_session"], true);
        EXPECT_TRUE(std::regex_match(props["crash_timestamp"].get<std::string>(),
                                     std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")));
        EXPECT_EQ(props["load_address"], reportLines[2].substr(11));
        EXPECT_EQ(props["exec_path"], ZRVK_CRASH_HELPER);
        EXPECT_EQ(props["build"], "test\nbuild");
        EXPECT_EQ(props["a=b"], "c\\d");
        EXPECT_EQ(props["recent_logs"], "second\n\nlast");
        const json& exception = props["$exception_list"][0];
        EXPECT_EQ(exception["type"], c.name);
        EXPECT_EQ(exception["value"], "Application crashed (from previous session)");
        EXPECT_EQ(exception["mechanism"], json({{"handled", false}, {"synthetic", false}}));
        EXPECT_EQ(exception["stacktrace"]["type"], "raw");
        const json& frames = exception["stacktrace"]["frames"];
        ASSERT_EQ(frames.size(), reportLines.size() - 6);
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i], json({{"platform", "custom"},
                                       {"lang", "cpp"},
                                       {"function", reportLines[6 + i]},
                                       {"in_app", true},
                                       {"resolved", false}}));
        }
        EXPECT_FALSE(exists(folder + "/pending_crash.txt"));
        EXPECT_FALSE(exists(folder + "/crash_metadata.txt"));
        EXPECT_FALSE(exists(folder + "/crash_logfile.txt"));

        Capture again;
        ASSERT_EQ(runHelper({folder, "report", again.server.baseUrl()}), 0);
        EXPECT_TRUE(again.documents().empty()) << "a report is sent once";
    }
}

TEST(CrashReports, TheHandlerDoesNotWriteThroughALinkInTheSharedFolder) {
    TempDir dir;
    const std::string folder = dir / "CrashReports";
    mkdir(folder.c_str(), 0755);
    const std::string target = dir / "victim.txt";
    writeFile(target, "precious");
    ASSERT_EQ(symlink(target.c_str(), (folder + "/pending_crash.txt").c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), (folder + "/crash_metadata.txt").c_str()), 0);
    int status = runHelper({folder, "segv"});
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_EQ(readFile(target), "precious");
}

TEST_F(CrashFolder, AttributionDecidesBetweenSendingAndIgnoring) {
    struct Case {
        const char* name;
        std::string report;
        bool sent;
    };
    const std::vector<Case> cases = {
        {"one address inside", "SIGNAL: SIGSEGV\nLOAD_ADDR: 0x1000\nMODULE_SIZE: 0x100\nSTACKTRACE:\n  0x1010\n  0x2000\n",
         false},
        {"two addresses inside",
         "SIGNAL: SIGSEGV\nLOAD_ADDR: 0x1000\nMODULE_SIZE: 0x100\nSTACKTRACE:\n  0x1010\n  0x10ff\n  0x1100\n", true},
        {"end of range is outside", "SIGNAL: SIGBUS\nLOAD_ADDR: 0x1000\nMODULE_SIZE: 0x100\nSTACKTRACE:\n  0x1100\n  0xfff\n",
         false},
        {"no load address", "SIGNAL: SIGFPE\nMODULE_SIZE: 0x100\nSTACKTRACE:\n  0x5\n", true},
        {"size zero", "SIGNAL: SIGILL\nLOAD_ADDR: 0x1000\nMODULE_SIZE: 0x0\nSTACKTRACE:\n", true},
        {"unparsable", "SIGNAL: SIGILL\nLOAD_ADDR: zz\nMODULE_SIZE: 0x10\n", true},
        {"empty file", "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(pending(), c.report);
        writeFile(metadata(), "k=v\n");
        capture.server.clearRequests();
        PostHog::Client client(config());
        client.initialize();
        testing::internal::CaptureStdout();
        client.installCrashHandler(dir.path());
        std::string out = testing::internal::GetCapturedStdout();
        client.shutdown();
        auto docs = capture.documents();
        EXPECT_EQ(docs.size(), c.sent ? 1u : 0u) << out;
        if (!c.sent) {
            EXPECT_NE(out.find("[PostHog] Ignoring crash report (not from our module): "), std::string::npos);
        }
        EXPECT_FALSE(exists(pending()));
        EXPECT_FALSE(exists(metadata()));
        if (docs.empty()) continue;
        const json& props = docs[0]["properties"];
        EXPECT_EQ(props["k"], "v");
        if (c.report.find("LOAD_ADDR") == std::string::npos) {
            EXPECT_FALSE(props.contains("load_address"));
        }
        if (c.report.empty()) {
            EXPECT_EQ(props["$exception_list"][0]["type"], "");
            EXPECT_EQ(props["crash_timestamp"], "");
            EXPECT_TRUE(props["$exception_list"][0]["stacktrace"]["frames"].empty());
        }
    }
}

TEST_F(CrashFolder, ParsedReportAndTimestamp) {
    writeFile(pending(),
              "SIGNAL: TERMINATE\nTIME: 1700000000\nLOAD_ADDR: 0xabc\nMODULE_SIZE: 0x0\nEXEC_PATH: /x/y\n"
              "MESSAGE: boom\nnoise\n");
    auto report = PostHog::CrashHandler::loadPendingReport();
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->signal, "TERMINATE");
    EXPECT_EQ(report->timestamp, "1700000000");
    EXPECT_EQ(report->loadAddress, "0xabc");
    EXPECT_EQ(report->moduleSize, "0x0");
    EXPECT_EQ(report->execPath, "/x/y");
    EXPECT_EQ(report->stackTrace, "boom");
    EXPECT_EQ(report->platform, "Linux");

    PostHog::Client client(config());
    client.initialize();
    client.installCrashHandler(dir.path());
    client.shutdown();
    auto docs = capture.documents();
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[0]["properties"]["crash_timestamp"], "2023-11-14T22:13:20Z");
    EXPECT_EQ(docs[0]["properties"]["$exception_list"][0]["stacktrace"]["frames"].size(), 0u) << "boom has no 0x";
}

TEST_F(CrashFolder, AReportThatCannotBeQueuedStaysForTheNextStart) {
    const std::string report = "SIGNAL: SIGSEGV\nSTACKTRACE:\n  0x1\n";
    writeFile(pending(), report);
    writeFile(metadata(), "k=v\n");
    {
        PostHog::Client notStarted(config());
        notStarted.installCrashHandler(dir.path());
    }
    EXPECT_EQ(readFile(pending()), report);
    EXPECT_EQ(readFile(metadata()), "k=v\n");
    PostHog::Client client(config());
    client.initialize();
    client.installCrashHandler(dir.path());
    client.shutdown();
    EXPECT_EQ(capture.documents().size(), 1u);
    EXPECT_FALSE(exists(pending()));
}

TEST_F(CrashFolder, FilesThatAreLinksOrNotOursAreNeitherReadNorWritten) {
    const std::string outside = dir / "outside.txt";
    writeFile(outside, "SIGNAL: SIGSEGV\n");
    ASSERT_EQ(symlink(outside.c_str(), pending().c_str()), 0);
    EXPECT_FALSE(PostHog::CrashHandler::loadPendingReport().has_value());

    ASSERT_EQ(symlink(outside.c_str(), metadata().c_str()), 0);
    PostHog::CrashHandler::Metadata m;
    m.values["k"] = "v";
    EXPECT_FALSE(PostHog::CrashHandler::saveMetadata(m));
    EXPECT_TRUE(PostHog::CrashHandler::loadMetadata().values.empty());
    EXPECT_EQ(readFile(outside), "SIGNAL: SIGSEGV\n");

    // A FIFO must not block the reader or the writer.
    ASSERT_EQ(mkfifo(logPointer().c_str(), 0644), 0);
    PostHog::CrashHandler::LogFileConfig lc;
    lc.path = "/x";
    EXPECT_FALSE(PostHog::CrashHandler::saveLogFileConfig(lc));
    EXPECT_EQ(PostHog::CrashHandler::loadLogFileConfig().path, "");

    const bool root = geteuid() == 0;
    if (root) {
        std::remove(metadata().c_str());
        writeFile(metadata(), "k=foreign\n");
        ASSERT_EQ(chown(metadata().c_str(), 65534, 65534), 0);
        EXPECT_TRUE(PostHog::CrashHandler::loadMetadata().values.empty()) << "owned by another user";
        EXPECT_FALSE(PostHog::CrashHandler::saveMetadata(m));
        EXPECT_EQ(readFile(metadata()), "k=foreign\n");
    }
    // A report that was refused stays where it is.
    PostHog::Client client(config());
    client.initialize();
    client.installCrashHandler(dir.path());
    client.shutdown();
    EXPECT_TRUE(capture.documents().empty());
    EXPECT_TRUE(exists(pending()));
    if (!root) GTEST_SKIP() << "a file of another user needs root to give it away (the links and the FIFO were checked)";
}

TEST_F(CrashFolder, MetadataAndLogPointerRoundTrip) {
    PostHog::Client client(config());
    PostHog::CrashHandler::Metadata m;
    m.values = {{"multi", "line one\nline two\r\n"}, {"a=b", "x=y"}, {"slash", "ends with \\n literally \\"}, {"", "e"}};
    ASSERT_TRUE(PostHog::CrashHandler::saveMetadata(m));
    EXPECT_EQ(PostHog::CrashHandler::loadMetadata().values, m.values);
    for (const auto& line : lines(readFile(metadata()))) EXPECT_NE(line.find('='), std::string::npos) << line;

    writeFile(metadata(), "plain=1\nno separator\nplain=2\nk=v=w\n");
    auto loaded = PostHog::CrashHandler::loadMetadata().values;
    EXPECT_EQ(loaded, (std::map<std::string, std::string>{{"plain", "2"}, {"k", "v=w"}}));

    testing::internal::CaptureStdout();
    client.setCrashMetadata({{"x", "1"}, {"y", "2"}});
    client.setLogFile("/var/log/app.log", 7);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[PostHog] Crash metadata saved (2 properties)"), std::string::npos);
    EXPECT_NE(out.find("[PostHog] Log file configured: /var/log/app.log (max 7 lines)"), std::string::npos);
    EXPECT_EQ(readFile(logPointer()), "path=/var/log/app.log\nmaxLines=7\n");
    auto lc = PostHog::CrashHandler::loadLogFileConfig();
    EXPECT_EQ(lc.path, "/var/log/app.log");
    EXPECT_EQ(lc.maxLines, 7);
    writeFile(logPointer(), "path=/a\nmaxLines=lots\n");
    EXPECT_EQ(PostHog::CrashHandler::loadLogFileConfig().maxLines, 50);
}

TEST(CrashReportFiles, NothingIsWrittenBeforeInstallation) {
    TempDir dir;
    PostHog::Testing::setCrashFolder("");
    PostHog::Client client{PostHog::Config()};
    testing::internal::CaptureStderr();
    client.setCrashMetadata({{"k", "v"}});
    client.setLogFile(dir / "log", 5);
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find("[PostHog] Warning: setCrashMetadata called before installCrashHandler"), std::string::npos);
    EXPECT_NE(errors.find("[PostHog] Warning: setLogFile called before installCrashHandler"), std::string::npos);
    EXPECT_EQ(PostHog::CrashHandler::getMetadataFilePath(), "");
    EXPECT_EQ(PostHog::CrashHandler::getLogFileConfigPath(), "");
    EXPECT_FALSE(PostHog::CrashHandler::saveMetadata(PostHog::CrashHandler::Metadata()));
}

TEST(CrashReportFiles, SidePathsAndTheCutCrashPath) {
    PostHog::Testing::setCrashFolder("/shared/pending_crash.txt.d");
    EXPECT_EQ(PostHog::CrashHandler::getMetadataFilePath(), "/shared/pending_crash.txt.d/crash_metadata.txt");
    const std::string longFolder = "/" + std::string(600, 'f');
    PostHog::Testing::setCrashFolder(longFolder);
    const std::string cut = PostHog::CrashHandler::getCrashFilePath();
    EXPECT_EQ(cut, longFolder.substr(0, 511));
    EXPECT_EQ(PostHog::CrashHandler::getMetadataFilePath(), cut + ".metadata");
    EXPECT_EQ(PostHog::CrashHandler::getLogFileConfigPath(), cut + ".logfile");
    PostHog::Testing::setCrashFolder("");
    const char* home = std::getenv("HOME");
    const std::string saved = home ? home : "";
    setenv("HOME", "/home/u", 1);
    EXPECT_EQ(PostHog::Client::getDefaultCrashDir("App"), "/home/u/Library/Application Support/App/CrashReports");
    unsetenv("HOME");
    EXPECT_EQ(PostHog::Client::getDefaultCrashDir("App"), "/tmp/App/CrashReports");
    if (home) setenv("HOME", saved.c_str(), 1);
}

TEST(CrashReportFiles, ReadLastLinesKeepsBannersAndEmptyLines) {
    TempDir dir;
    writeFile(dir / "log", "====\na\n\n====\nb\n");
    EXPECT_EQ(PostHog::CrashHandler::readLastLines(dir / "log", 3), "\n====\nb");
    EXPECT_EQ(PostHog::CrashHandler::readLastLines(dir / "log", 50), "====\na\n\n====\nb");
    EXPECT_EQ(PostHog::CrashHandler::readLastLines(dir / "missing", 50), "");
}
