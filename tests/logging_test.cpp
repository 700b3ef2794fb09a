#include "installer_config.h"
#include "installer_logging.h"
#include "support/death_test.h"
#include "support/test_paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using InstallerLogging::FileLogger;
using InstallerLogging::TeeStreamBuf;
using zrvk_test::lines;
using zrvk_test::readFile;
using zrvk_test::SharedTempDir;
using zrvk_test::TempDir;
using zrvk_test::writeFile;

namespace {

// Each logger scenario runs in a child process: the logger is a process-wide
// singleton whose destructor only runs at exit. The child shares the test's
// folder (SharedTempDir).
#define IN_CHILD(body) EXPECT_EXIT({ body; std::exit(0); }, ::testing::ExitedWithCode(0), "")
#define CHILD_CHECK(cond) \
    do {                  \
        if (!(cond)) {    \
            std::fprintf(stderr, "check failed: %s\n", #cond); \
            std::_Exit(10 + __LINE__ % 100); \
        }                 \
    } while (0)

// Each test logs into a folder of its own: other tests start programs that
// write a log of the same name into the configured folder in the same second.
TEST(FileLogger, WritesBannersTeesBothStreamsAndClosesWithTheEndBanner) {
    SharedTempDir tmp;
    const std::string pathRecord = tmp / "path";
    const std::string logs = tmp / "logs";
    IN_CHILD({
        InstallerLogging::logDirectoryForTesting() = logs;
        FileLogger& logger = FileLogger::getInstance();
        CHILD_CHECK(logger.getLastLines(50).empty());  // nothing before initialize
        CHILD_CHECK(logger.initialize());
        writeFile(pathRecord, logger.getLogFilePath());
        std::cout << "[TEST] to standard output" << std::endl;
        std::cerr << "[TEST] to standard error" << std::endl;
        CHILD_CHECK(logger.initialize());  // second call: nothing new
        CHILD_CHECK(logger.getLogFilePath() == readFile(pathRecord));
    });
    const std::string path = readFile(pathRecord);
    ASSERT_EQ(path.rfind(logs + "/installer_", 0), 0u) << path;
    const std::string name = path.substr(logs.size() + 1);
    EXPECT_EQ(name.size(), std::string("installer_20250131_142501.log").size());

    const std::vector<std::string> log = lines(readFile(path));
    std::remove(path.c_str());
    ASSERT_GE(log.size(), 13u);
    EXPECT_EQ(log[0], std::string(58, '='));
    EXPECT_EQ(log[1], "ZRVK Installer Log");
    EXPECT_EQ(log[2].rfind("Started: ", 0), 0u);
    EXPECT_EQ(log[2].size(), std::string("Started: 2025-01-31 14:25:01").size());
    EXPECT_EQ(log[3], "Log file: " + path);
    EXPECT_EQ(log[4], std::string(58, '='));
    EXPECT_EQ(log[5], "");
    EXPECT_EQ(log[6], "[LOGGER] Log file created: " + path);
    EXPECT_EQ(log[7], "[TEST] to standard output");
    EXPECT_EQ(log[8], "[TEST] to standard error");
    EXPECT_EQ(log[9], "");
    EXPECT_EQ(log[10], std::string(40, '='));
    EXPECT_EQ(log[11], "Installer log ended");
    EXPECT_EQ(log[12], std::string(40, '='));
    EXPECT_EQ(log.size(), 13u) << "a second initialize must not add a banner";
}

TEST(FileLogger, LastLinesDropBannersEmptyLinesAndKeepTheNewest) {
    SharedTempDir tmp;
    const std::string pathRecord = tmp / "path";
    const std::string logs = tmp / "logs";
    IN_CHILD({
        InstallerLogging::logDirectoryForTesting() = logs;
        FileLogger& logger = FileLogger::getInstance();
        CHILD_CHECK(logger.initialize());
        writeFile(pathRecord, logger.getLogFilePath());
        for (int i = 1; i <= 9; ++i) std::cout << "[TEST] line " << i << "\n";
        std::cout << "[TEST] a ==== line looks like a banner" << std::endl;
        std::cout << "\n";
        std::cout << "[TEST] unterminated";  // still in the file buffer: getLastLines flushes
        const std::string all = logger.getLastLines(50);
        std::string expected = "[LOGGER] Log file created: " + logger.getLogFilePath();
        for (int i = 1; i <= 9; ++i) expected += "\n[TEST] line " + std::to_string(i);
        expected += "\n[TEST] unterminated";
        // After the banner's text lines, which are content lines too.
        CHILD_CHECK(all.rfind("ZRVK Installer Log\nStarted: ", 0) == 0);
        CHILD_CHECK(all.size() >= expected.size() &&
                    all.compare(all.size() - expected.size(), expected.size(), expected) == 0);
        CHILD_CHECK(std::count(all.begin(), all.end(), '\n') == 13);
        CHILD_CHECK(logger.getLastLines(2) == "[TEST] line 9\n[TEST] unterminated");
        CHILD_CHECK(logger.getLastLines(0).empty());
        std::cout << std::endl;
    });
    std::remove(readFile(pathRecord).c_str());
}

TEST(FileLogger, KeepsTheConsoleWhenTheFileCannotBeOpened) {
    SharedTempDir tmp;
    const std::string logs = tmp / "Logs";
    writeFile(logs, "a file where the folder should be");
    EXPECT_EXIT(
        {
            InstallerLogging::logDirectoryForTesting() = logs;
            std::streambuf* coutBefore = std::cout.rdbuf();
            std::streambuf* cerrBefore = std::cerr.rdbuf();
            FileLogger& logger = FileLogger::getInstance();
            CHILD_CHECK(!logger.initialize());
            CHILD_CHECK(std::cout.rdbuf() == coutBefore);
            CHILD_CHECK(std::cerr.rdbuf() == cerrBefore);
            CHILD_CHECK(logger.getLastLines(50).empty());
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "\\[LOGGER\\] Failed to open log file: .*/Logs/installer_[0-9_]*\\.log");
}

TEST(FileLogger, NoProgramStartedLaterHoldsTheLogFile) {
    SharedTempDir tmp;
    const std::string logs = tmp / "logs";
    IN_CHILD({
        InstallerLogging::logDirectoryForTesting() = logs;
        FileLogger& logger = FileLogger::getInstance();
        CHILD_CHECK(logger.initialize());
        struct stat file;
        CHILD_CHECK(stat(logger.getLogFilePath().c_str(), &file) == 0);
        int found = 0;
        for (int fd = 0; fd < 1024; ++fd) {
            struct stat open;
            if (fstat(fd, &open) != 0 || open.st_dev != file.st_dev || open.st_ino != file.st_ino) continue;
            ++found;
            CHILD_CHECK((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        }
        CHILD_CHECK(found == 1);
    });
}

// The time stamps of the names that a log started now may take: from a
// second before to five seconds after.
std::vector<std::string> stampsAroundNow() {
    std::vector<std::string> stamps;
    const std::time_t now = std::time(nullptr);
    for (std::time_t t = now - 1; t <= now + 5; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &local);
        stamps.push_back(stamp);
    }
    return stamps;
}

// Starts the logger in a child with `logs` as its folder and logs a line
// there; the path of the log it took.
std::string logOnceInChild(const std::string& logs, const std::string& pathRecord) {
    IN_CHILD({
        InstallerLogging::logDirectoryForTesting() = logs;
        FileLogger& logger = FileLogger::getInstance();
        CHILD_CHECK(logger.initialize());
        writeFile(pathRecord, logger.getLogFilePath());
        std::cout << "[TEST] logged" << std::endl;
    });
    return readFile(pathRecord);
}

void expectLoggedInRegularFile(const std::string& path) {
    struct stat file;
    ASSERT_EQ(lstat(path.c_str(), &file), 0) << path;
    EXPECT_TRUE(S_ISREG(file.st_mode));
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(file.st_mode & 0777, 0644u & ~mask) << "the mode of every log";
    EXPECT_NE(readFile(path).find("[TEST] logged\n"), std::string::npos);
}

// Another user of the shared folder can create the names of the next
// seconds' logs first: as links to a file of the installer's user, or as
// files of their own. None of them is written through or appended to.
TEST(FileLogger, NamesPlantedInTheFolderAreNeverWrittenThrough) {
    SharedTempDir tmp;
    const std::string logs = tmp / "logs";
    const std::string victim = tmp / "victim";
    const std::vector<std::string> stamps = stampsAroundNow();
    // The child runs the test again from here: only the parent plants.
    if (!testing::internal::InDeathTestChild()) {
        writeFile(victim, "victim\n");
        ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
        for (const std::string& stamp : stamps) {
            const std::string stem = logs + "/installer_" + stamp;
            ASSERT_EQ(symlink(victim.c_str(), (stem + ".log").c_str()), 0);
            writeFile(stem + "_1.log", "another run\n");
            ASSERT_EQ(symlink(victim.c_str(), (stem + "_2.log").c_str()), 0);
        }
    }
    const std::string path = logOnceInChild(logs, tmp / "path");
    EXPECT_EQ(readFile(victim), "victim\n");
    ASSERT_GE(path.size(), 6u);
    EXPECT_EQ(path.compare(path.size() - 6, 6, "_3.log"), 0) << path;
    expectLoggedInRegularFile(path);
    for (const std::string& stamp : stamps) EXPECT_EQ(readFile(logs + "/installer_" + stamp + "_1.log"), "another run\n");
}

// Another user can take every numbered name of the next seconds ahead of
// time: the run still gets a log, under a name with a random part.
TEST(FileLogger, ARunWhoseNumberedNamesAreAllTakenStillGetsALog) {
    SharedTempDir tmp;
    const std::string logs = tmp / "logs";
    const std::vector<std::string> stamps = stampsAroundNow();
    if (!testing::internal::InDeathTestChild()) {
        ASSERT_EQ(mkdir(logs.c_str(), 0755), 0);
        for (const std::string& stamp : stamps) {
            const std::string stem = logs + "/installer_" + stamp;
            writeFile(stem + ".log", "taken\n");
            for (int n = 1; n <= 99; ++n) writeFile(stem + "_" + std::to_string(n) + ".log", "taken\n");
        }
    }
    const std::string path = logOnceInChild(logs, tmp / "path");
    const std::string name = path.substr(path.rfind('/') + 1);
    // installer_<stamp>_<six letters or digits>.log
    ASSERT_EQ(name.size(), std::string("installer_20250131_142501_abc123.log").size()) << name;
    EXPECT_NE(std::find(stamps.begin(), stamps.end(), name.substr(10, 15)), stamps.end()) << name;
    EXPECT_EQ(name[25], '_') << name;
    EXPECT_TRUE(std::all_of(name.begin() + 26, name.begin() + 32,
                            [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }))
        << name;
    EXPECT_EQ(name.substr(32), ".log");
    expectLoggedInRegularFile(path);
    for (const std::string& stamp : stamps) EXPECT_EQ(readFile(logs + "/installer_" + stamp + "_99.log"), "taken\n");
}

// Lines that threads build from several << stay whole in the file.
TEST(TeeStreamBuf, LinesOfConcurrentThreadsNeverSplice) {
    TempDir tmp;
    const std::string path = tmp / "tee.log";
    std::ofstream file(path, std::ios::out | std::ios::app);
    std::mutex mutex;
    TeeStreamBuf tee(nullptr, &file, &mutex);
    std::ostream out(&tee);
    const int kThreads = 4;
    const int kLines = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&out, t] {
            for (int i = 0; i < kLines; ++i) out << "[T" << t << "] first half, " << "second half " << i << std::endl;
        });
    }
    for (std::thread& thread : threads) thread.join();
    file.close();
    const std::vector<std::string> written = lines(readFile(path));
    ASSERT_EQ(written.size(), static_cast<std::size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : written) {
        ASSERT_EQ(line.rfind("[T", 0), 0u) << line;
        const int t = line[2] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(line, "[T" + std::to_string(t) + "] first half, second half " + std::to_string(next[t]++));
    }
}

TEST(TeeStreamBuf, PassesEverythingToTheConsoleAndFlushesTheFileAtLineEnds) {
    TempDir tmp;
    const std::string path = tmp / "tee.log";
    std::ofstream file(path, std::ios::out | std::ios::app);
    std::mutex mutex;
    std::ostringstream console;
    TeeStreamBuf tee(console.rdbuf(), &file, &mutex);
    std::ostream out(&tee);

    out << "partial";
    EXPECT_EQ(readFile(path), "") << "a chunk without a line end stays buffered";
    out << " line\n";
    EXPECT_EQ(readFile(path), "partial line\n");
    out.put('x');
    out.put('\n');
    EXPECT_EQ(readFile(path), "partial line\nx\n");
    EXPECT_EQ(console.str(), "partial line\nx\n");

    EXPECT_EQ(tee.pubsync(), 0);
    struct Probe : TeeStreamBuf {
        using TeeStreamBuf::TeeStreamBuf;
        int_type callOverflow(int_type c) { return overflow(c); }
    };
    std::ostringstream probeConsole;
    Probe probe(probeConsole.rdbuf(), &file, &mutex);
    EXPECT_EQ(probe.callOverflow(std::char_traits<char>::eof()), 0);
    EXPECT_EQ(probeConsole.str(), "");
}

TEST(TeeStreamBuf, NeverFailsWithoutAConsoleOrAnOpenFile) {
    std::ofstream closed;
    std::mutex mutex;
    TeeStreamBuf noFile(nullptr, &closed, &mutex);
    std::ostream out(&noFile);
    out << "text" << std::endl;
    EXPECT_TRUE(out.good());

    TeeStreamBuf nothing(nullptr, nullptr, nullptr);
    std::ostream bare(&nothing);
    bare << "more" << 'c' << std::endl;
    EXPECT_TRUE(bare.good());
}

TEST(CreateDirectoryRecursive, CreatesParentsAndIgnoresFailures) {
    TempDir tmp;
    EXPECT_TRUE(InstallerLogging::createDirectoryRecursive(tmp / "one/two/three"));
    struct stat info;
    ASSERT_EQ(stat((tmp / "one/two/three").c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    // A file in the way: the call fails quietly and leaves the file as it was.
    writeFile(tmp / "f", "x");
    InstallerLogging::createDirectoryRecursive(tmp / "f/sub");
    ASSERT_EQ(lstat((tmp / "f").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(readFile(tmp / "f"), "x");
}

}  // namespace
