#include "case_runner.h"

#include "windows_support.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
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

enum class Outcome { Passed, Failed, Skipped };

// Runs one case in a fresh work folder; the product's own log lines are kept
// and shown only when the case fails.
Outcome runCase(const Case& c) {
    std::vector<std::string> failures;
    g_failures = &failures;
    std::string skipReason;
    bool skipped = false;
    std::string output;
    {
        CaptureStreams capture;
        try {
            startCaseFolder(c.name);
            c.run();
        } catch (const SkipCase& s) {
            skipped = true;
            skipReason = s.reason;
        } catch (const AbortCase&) {
        } catch (const std::exception& e) {
            failures.push_back(std::string("exception: ") + e.what());
        } catch (...) {
            failures.push_back("unknown exception");
        }
        output = capture.text();
    }
    g_failures = nullptr;
    Outcome outcome = Outcome::Passed;
    if (!failures.empty()) {
        outcome = Outcome::Failed;
        std::cout << "FAIL " << c.name << std::endl;
        for (const std::string& f : failures) std::cout << "  " << f << std::endl;
        if (!output.empty()) std::cout << "  output of the case:\n" << indent(output, "    ") << std::flush;
    } else if (skipped) {
        outcome = Outcome::Skipped;
        std::cout << "SKIP " << c.name << ": " << skipReason << std::endl;
    } else {
        std::cout << "PASS " << c.name << std::endl;
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
    std::cout << "Windows test program" << (wintest::underWine() ? " under wine" : "") << std::endl;
    int passed = 0;
    int failed = 0;
    int skipped = 0;
    for (const auto& c : wintest::allCases()) {
        if (!wintest::selected(c, args)) continue;
        switch (wintest::runCase(c)) {
            case wintest::Outcome::Passed: ++passed; break;
            case wintest::Outcome::Failed: ++failed; break;
            case wintest::Outcome::Skipped: ++skipped; break;
        }
    }
    wintest::removeWorkRoot();
    if (skipped) std::cout << skipped << " skipped" << std::endl;
    std::cout << passed << " passed, " << failed << " failed" << std::endl;
    return failed == 0 && passed > 0 ? 0 : 1;
}
