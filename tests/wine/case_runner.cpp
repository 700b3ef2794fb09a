#include "case_runner.h"

#include "windows_support.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace wintest {

namespace {

struct Case {
    const char* name;
    CaseFn run;
};
struct Role {
    const char* name;
    RoleFn run;
};

std::vector<Case>& allCases() {
    static std::vector<Case> cases;
    return cases;
}
std::vector<Role>& allRoles() {
    static std::vector<Role> roles;
    return roles;
}

struct SkipCase {
    std::string reason;
};
struct AbortCase {};

std::vector<std::string>* g_failures = nullptr;

// A case that has not ended by then (a message box waiting for a click, a
// command that never returns) ends the program: its thread cannot be stopped.
const int CASE_TIME_LIMIT_SECONDS = 120;

enum class Outcome { Passed, Failed, Skipped };

struct Result {
    std::vector<std::string> failures;
    bool skipped = false;
    std::string skipReason;
    std::string output;  // the product's own log lines, shown when the case fails
};

struct Counts {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
};

// The runner's own lines go to the C stream: a case may have std::cout captured.
void say(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void sayTotals(const Counts& counts) {
    if (counts.skipped) say(std::to_string(counts.skipped) + " skipped");
    say(std::to_string(counts.passed) + " passed, " + std::to_string(counts.failed) + " failed");
}

Result runCaseBody(const Case& c) {
    Result result;
    g_failures = &result.failures;
    CaptureStreams capture;
    try {
        startCaseFolder(c.name);
        c.run();
    } catch (const SkipCase& s) {
        result.skipped = true;
        result.skipReason = s.reason;
    } catch (const AbortCase&) {
    } catch (const std::exception& e) {
        result.failures.push_back(std::string("exception: ") + e.what());
    } catch (...) {
        result.failures.push_back("unknown exception");
    }
    result.output = capture.text();
    g_failures = nullptr;
    return result;
}

// Runs one case on a thread of its own, in a fresh work folder.
Outcome runCase(const Case& c, const Counts& counts) {
    std::packaged_task<Result()> task([&c] { return runCaseBody(c); });
    std::future<Result> pending = task.get_future();
    std::thread worker(std::move(task));
    if (pending.wait_for(std::chrono::seconds(CASE_TIME_LIMIT_SECONDS)) == std::future_status::timeout) {
        say(std::string("FAIL ") + c.name + ": did not end within " + std::to_string(CASE_TIME_LIMIT_SECONDS) +
            " seconds");
        Counts total = counts;
        ++total.failed;
        sayTotals(total);
        TerminateProcess(GetCurrentProcess(), 1);
    }
    worker.join();
    const Result result = pending.get();
    Outcome outcome = Outcome::Passed;
    if (!result.failures.empty()) {
        outcome = Outcome::Failed;
        say(std::string("FAIL ") + c.name);
        for (const std::string& f : result.failures) say("  " + f);
        if (!result.output.empty()) say("  output of the case:\n" + indent(result.output, "    "));
        say("  files kept in " + caseFolder());
    } else if (result.skipped) {
        outcome = Outcome::Skipped;
        say(std::string("SKIP ") + c.name + ": " + result.skipReason);
    } else {
        say(std::string("PASS ") + c.name);
    }
    endCaseFolder(outcome == Outcome::Failed);
    return outcome;
}

bool selected(const Case& c, const std::vector<std::string>& filters) {
    if (filters.empty()) return true;
    for (const std::string& f : filters) {
        if (std::string(c.name).find(f) != std::string::npos) return true;
    }
    return false;
}

int runRole(const std::string& name, const std::vector<std::string>& args) {
    for (const Role& r : allRoles()) {
        if (name == r.name) return r.run(args);
    }
    std::cerr << "unknown role: " << name << std::endl;
    return 2;
}

}  // namespace

CaseRegistrar::CaseRegistrar(const char* name, CaseFn run) { allCases().push_back({name, run}); }
RoleRegistrar::RoleRegistrar(const char* name, RoleFn run) { allRoles().push_back({name, run}); }

void fail(const char* file, int line, const std::string& what) {
    std::string where = file;
    const std::string::size_type slash = where.find_last_of("/\\");
    if (slash != std::string::npos) where = where.substr(slash + 1);
    const std::string text = where + ":" + std::to_string(line) + ": " + what;
    if (g_failures) {
        g_failures->push_back(text);
    } else {
        std::cerr << text << std::endl;
    }
}

void skip(const std::string& reason) { throw SkipCase{reason}; }

void abortCase(const char* file, int line, const std::string& what) {
    fail(file, line, what);
    throw AbortCase{};
}

std::string show(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace wintest

// zrvk-windows-tests [part of a case name ...]   runs the (matching) cases
// zrvk-windows-tests --role NAME [args ...]       acts as a case's child process
// <tool>.exe next to <tool>.exit-code              a recording stand-in for a tool
int main(int argc, char** argv) {
    int recorderExit = 0;
    if (wintest::runAsRecorder(recorderExit)) return recorderExit;
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "--role") {
        return wintest::runRole(args[1], std::vector<std::string>(args.begin() + 2, args.end()));
    }
    wintest::say(std::string("Windows test program") + (wintest::underWine() ? " under wine" : ""));
    wintest::Counts counts;
    for (const auto& c : wintest::allCases()) {
        if (!wintest::selected(c, args)) continue;
        switch (wintest::runCase(c, counts)) {
            case wintest::Outcome::Passed: ++counts.passed; break;
            case wintest::Outcome::Failed: ++counts.failed; break;
            case wintest::Outcome::Skipped: ++counts.skipped; break;
        }
    }
    wintest::removeWorkRoot();
    wintest::sayTotals(counts);
    return counts.failed == 0 && counts.passed > 0 ? 0 : 1;
}
