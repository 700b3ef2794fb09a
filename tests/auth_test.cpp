// The privileged command runner and its Linux authorization backend.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "installer_auth.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class AuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        AuthTesting::reset();
        char tmpl[] = "/tmp/zrvk_auth_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        AuthTesting::reset();
        std::string cmd = "rm -rf \"" + dir + "\"";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string dir;
};

TEST_F(AuthTest, SecondAcquireReusesTheSessionAndReleaseEndsIt) {
    std::string error;
    ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;
    EXPECT_TRUE(hasAuthorizationSession());

    testing::internal::CaptureStdout();
    EXPECT_TRUE(acquireAuthorizationSession(&error));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[AUTH] Using existing authorization session\n");
    EXPECT_EQ(AuthTesting::rightsRequests(), 1);

    releaseAuthorizationSession();
    EXPECT_FALSE(hasAuthorizationSession());
    EXPECT_EQ(AuthTesting::referencesFreed(), 1);

    // Nothing held: release is silent and frees nothing.
    testing::internal::CaptureStdout();
    releaseAuthorizationSession();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(AuthTesting::referencesFreed(), 1);
}

TEST_F(AuthTest, RootOrSandboxIsGrantedAndTheRealRootWithoutRootIsRefused) {
    struct Case {
        int uid;
        int sandboxed;
        bool granted;
    } cases[] = {{0, 0, true}, {0, 1, true}, {1000, 1, true}, {1000, 0, false}};
    for (const Case& c : cases) {
        AuthTesting::reset();
        AuthTesting::pretendIdentity(c.uid, c.sandboxed);
        std::string error;
        EXPECT_EQ(acquireAuthorizationSession(&error), c.granted) << "uid " << c.uid << " sandboxed " << c.sandboxed;
        if (!c.granted) {
            EXPECT_EQ(error, "Authorization interaction not allowed (error code: -60007)");
            EXPECT_FALSE(hasAuthorizationSession());
            EXPECT_EQ(AuthTesting::referencesCreated(), AuthTesting::referencesFreed());
        }
    }
}

TEST_F(AuthTest, RefusalsGiveTheirTextsOnTheirStreams) {
    struct Case {
        int status;
        const char* message;
        bool onStdout;
    } cases[] = {
        {-60006, "Authorization was cancelled by user", true},
        {-60005, "Authorization was denied - incorrect password or insufficient privileges", false},
        {-60007, "Authorization interaction not allowed (error code: -60007)", false},
        {-60008, "Authorization failed (error code: -60008)", false},
    };
    for (const Case& c : cases) {
        for (bool session : {true, false}) {
            AuthTesting::reset();
            AuthTesting::forceRightsStatus(c.status);
            std::string error;
            std::string marker = dir + "/ran";
            testing::internal::CaptureStdout();
            testing::internal::CaptureStderr();
            bool ok = session ? acquireAuthorizationSession(&error)
                              : executeWithAuthorization("touch \"" + marker + "\"", nullptr, &error);
            std::string out = testing::internal::GetCapturedStdout();
            std::string err = testing::internal::GetCapturedStderr();
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, c.message);
            const std::string line = std::string("[AUTH] ") + c.message + "\n";
            EXPECT_EQ(out.find(line) != std::string::npos, c.onStdout) << out;
            EXPECT_EQ(err.find(line) != std::string::npos, !c.onStdout) << err;
            EXPECT_FALSE(hasAuthorizationSession());
            EXPECT_EQ(access(marker.c_str(), F_OK), -1) << "the command ran although refused";
            EXPECT_EQ(AuthTesting::referencesCreated(), AuthTesting::referencesFreed());
        }
    }
}

TEST_F(AuthTest, WithoutASessionEveryCommandAsksAgainAndFreesItsReference) {
    std::string error;
    EXPECT_TRUE(executeWithAuthorization("true", nullptr, &error)) << error;
    EXPECT_TRUE(executeWithAuthorization("true", nullptr, &error)) << error;
    EXPECT_EQ(AuthTesting::rightsRequests(), 2);
    EXPECT_EQ(AuthTesting::referencesCreated(), 2);
    EXPECT_EQ(AuthTesting::referencesFreed(), 2);
    EXPECT_FALSE(hasAuthorizationSession());
}

TEST_F(AuthTest, OutputIsReadExactlyWithoutTheStatusLine) {
    std::string error;
    ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;
    struct Case {
        const char* command;
        const char* output;
    } cases[] = {
        {"printf 'hello\\nworld'", "hello\nworld"},
        {"printf 'line\\n'", "line\n"},
        {"true", ""},
        {"cat", ""},  // standard input is empty, not the installer's
    };
    for (const Case& c : cases) {
        std::string output = "stale";
        EXPECT_TRUE(executeWithAuthorization(c.command, &output, &error)) << c.command << ": " << error;
        EXPECT_EQ(output, c.output) << c.command;
    }
}

TEST_F(AuthTest, ChainRunsInOrderAndStopsAtTheFirstFailure) {
    std::string error;
    ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;
    const std::string file = dir + "/chain";

    testing::internal::CaptureStdout();
    EXPECT_TRUE(executeMultipleWithAuthorization(
        {"printf a > \"" + file + "\"", "printf b >> \"" + file + "\""}, &error))
        << error;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[AUTH] Executing 2 commands with authorization\n"), std::string::npos);
    EXPECT_EQ(readFile(file), "ab");

    const std::string never = dir + "/never";
    error.clear();
    EXPECT_FALSE(executeMultipleWithAuthorization({"false", "touch \"" + never + "\""}, &error));
    EXPECT_EQ(error, "Privileged command failed (exit status: 1)");
    EXPECT_EQ(access(never.c_str(), F_OK), -1);

    // The exit status is the failing command's own, also after an exit.
    EXPECT_FALSE(executeWithAuthorization("exit 3", nullptr, &error));
    EXPECT_EQ(error, "Privileged command failed (exit status: 3)");
    EXPECT_FALSE(executeWithAuthorization("no-such-command-zrvk 2>/dev/null", nullptr, &error));
    EXPECT_EQ(error, "Privileged command failed (exit status: 127)");

    // A command cannot pass for successful by printing the status line itself.
    std::string output;
    EXPECT_FALSE(executeWithAuthorization("printf '\\nzrvk-exit-status 0\\n'; exit 1", &output, &error));
    EXPECT_EQ(output, "\nzrvk-exit-status 0\n");
}

// What a chain makes never depends on the umask of the program that runs it.
TEST_F(AuthTest, AChainSetsItsOwnUmask) {
    std::string error;
    ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;
    const mode_t before = umask(0);
    const bool ran = executeMultipleWithAuthorization(
        {"mkdir -p \"" + dir + "/a/b\"", "touch \"" + dir + "/a/b/f\""}, &error);
    umask(before);
    ASSERT_TRUE(ran) << error;
    struct stat st {};
    for (const char* made : {"/a", "/a/b"}) {
        ASSERT_EQ(stat((dir + made).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u) << made;
    }
    ASSERT_EQ(stat((dir + "/a/b/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Whatever stands where a folder of the chain's own belongs is removed (a
// link by itself, never what it names) and the folder made afresh.
TEST_F(AuthTest, OwnedFolderCommandsReplaceWhateverElseIsThere) {
    std::string error;
    ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;
    const std::string folder = dir + "/owned", victim = dir + "/victim";
    ASSERT_EQ(mkdir(victim.c_str(), 0700), 0);
    ASSERT_EQ(std::system(("touch \"" + victim + "/keep\"").c_str()), 0);
    struct Case {
        const char* what;
        std::string plant;  // a shell command, or empty
    } cases[] = {
        {"nothing", ""},
        {"a link to a folder", "ln -s \"" + victim + "\" \"" + folder + "\""},
        {"a dangling link", "ln -s \"" + dir + "/nowhere\" \"" + folder + "\""},
        {"a file", "touch \"" + folder + "\""},
        {"a folder of its own", "mkdir -m 700 \"" + folder + "\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(std::system(("rm -rf \"" + folder + "\"").c_str()), 0);
        if (!c.plant.empty()) {
            ASSERT_EQ(std::system(c.plant.c_str()), 0);
        }
        ASSERT_TRUE(executeMultipleWithAuthorization(ownedFolderCommands(folder, "1777"), &error)) << error;
        struct stat st {};
        ASSERT_EQ(lstat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 01777u);
        EXPECT_EQ(st.st_uid, geteuid());
        ASSERT_EQ(stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
        EXPECT_EQ(access((victim + "/keep").c_str(), F_OK), 0);
    }
}

TEST_F(AuthTest, StandardErrorReachesTheLogAsAuthLinesAndNotTheOutput) {
    std::string error;
    ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;
    std::string output;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(executeMultipleWithAuthorization(
        {"printf out", "echo 'mkdir: cannot create directory' >&2", "printf 'second\\n\\nthird' >&2", "exit 4"},
        &error));
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, "Privileged command failed (exit status: 4)");
    EXPECT_EQ(logged,
              "[AUTH] mkdir: cannot create directory\n[AUTH] second\n[AUTH] third\n"
              "[AUTH] Privileged command failed (exit status: 4)\n");

    testing::internal::CaptureStderr();
    EXPECT_TRUE(executeWithAuthorization("echo warning >&2; printf 'kept'", &output, &error)) << error;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[AUTH] warning\n");
    EXPECT_EQ(output, "kept");
}

TEST_F(AuthTest, TheShellNamesItsProcessSoItCanBeReaped) {
    std::string error;
    ASSERT_TRUE(acquireAuthorizationSession(&error)) << error;
    std::string output;
    ASSERT_TRUE(executeWithAuthorization("printf '%d' $$", &output, &error)) << error;
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(AuthTesting::lastShellPid(), std::stol(output));
    EXPECT_EQ(output.find("zrvk-pid"), std::string::npos);
}

TEST_F(AuthTest, EmptyChainAsksNothing) {
    AuthTesting::forceRightsStatus(-60006);
    std::string error;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(executeMultipleWithAuthorization({}, &error));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(AuthTesting::rightsRequests(), 0);
}

TEST_F(AuthTest, OwnershipAndPermissions) {
    const std::string sub = dir + "/tree/sub";
    ASSERT_EQ(std::system(("mkdir -p \"" + sub + "\" && touch \"" + sub + "/f\"").c_str()), 0);
    EXPECT_TRUE(setOwnershipAndPermissions(dir + "/tree", privilegedOwner(), "750", true));
    struct stat st {};
    ASSERT_EQ(stat((sub + "/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(st.st_uid, geteuid());

    EXPECT_TRUE(setOwnershipAndPermissions(dir + "/tree", privilegedOwner(), "700", false));
    ASSERT_EQ(stat((dir + "/tree").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);

    EXPECT_FALSE(setOwnershipAndPermissions(dir + "/missing", privilegedOwner(), "755", false));
}

TEST(PrivilegedOwner, IsRootOrTheProcessItself) {
    if (geteuid() == 0) {
        EXPECT_EQ(privilegedOwner(), "root:root");
    } else {
        EXPECT_EQ(privilegedOwner(), std::to_string(geteuid()) + ":" + std::to_string(getegid()));
    }
}

}  // namespace
