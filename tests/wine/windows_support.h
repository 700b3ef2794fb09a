// Helpers of the Windows test program: where it runs, a work folder per case,
// files, environment variables, child processes and captured log lines.
#pragma once

#include <windows.h>

#include <iosfwd>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace wintest {

// True under wine: its ntdll exports wine_get_version.
bool underWine();
// Ends the case as skipped under wine, for the reason given (a tool that
// wine only stubs, no display); on Windows the case goes on.
void skipUnderWine(const std::string& reason);

// The current case's own folder (slash separators, with blanks in its path),
// made empty before the case and removed after it unless it failed.
const std::string& caseFolder();
void startCaseFolder(const std::string& caseName);
void endCaseFolder(bool keep);
void removeWorkRoot();

std::string withBackslashes(std::string path);
std::string indent(const std::string& text, const std::string& prefix);

bool fileExists(const std::string& path);
bool folderExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
void makeFolders(const std::string& path);
bool removeTree(const std::string& path);
// Every file below `root`, by its path relative to it ('/' separators), with its bytes.
std::map<std::string, std::string> treeContents(const std::string& root);
// Names of the entries of a folder, "." and ".." left out.
std::map<std::string, bool> folderEntries(const std::string& path);

// One of the installer's compiled-in system folders, made for a case and
// removed with everything in it when the case ends. A machine that has the
// folder already is left alone (the case is skipped); wine's prefix is the
// test's own.
class SystemFolderFixture {
public:
    explicit SystemFolderFixture(const std::string& path);
    ~SystemFolderFixture();
    SystemFolderFixture(const SystemFolderFixture&) = delete;
    SystemFolderFixture& operator=(const SystemFolderFixture&) = delete;

private:
    std::string firstMade;
};

// This program's own path.
std::string selfPath();

// Sets (or, with a null value, removes) an environment variable until the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(const std::string& name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name;
    std::string saved;
    bool hadValue = false;
};

// A process started by a case, without a console window and with its output
// thrown away; it is ended when the object goes.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process != nullptr; }
    // True when the process ended within `ms` milliseconds.
    bool waitFor(DWORD ms);
    DWORD exitCode() const;

private:
    HANDLE process = nullptr;
};

// A folder put first on PATH (until the object goes) that holds stand-ins
// named like the tools the installer runs: batch files, or copies of this
// program that record the command line they receive (see recordedCommands).
class StandInTools {
public:
    explicit StandInTools(const std::string& folder);
    ~StandInTools();
    StandInTools(const StandInTools&) = delete;
    StandInTools& operator=(const StandInTools&) = delete;

    void addBatch(const std::string& tool, const std::string& body);
    // <tool>.exe: records its command line, then does what recorderAnswers
    // set last (at first: exits with 0 and removes nothing).
    bool addRecorder(const std::string& tool);
    // The recorder of `tool` removes `removes` (when not empty), standing in
    // for the tool's work, and exits with `exitCode`.
    void recorderAnswers(const std::string& tool, int exitCode, const std::string& removes);
    // The command lines that the recorder of `tool` received, one per run.
    std::vector<std::string> recordedCommands(const std::string& tool) const;

private:
    std::string folder;
    std::unique_ptr<ScopedEnv> path;
};
// When this program runs as a recorder copy: records and returns true.
bool runAsRecorder(int& exitCode);

// Runs `commandLine` to its end (at most `ms` milliseconds): its exit code, or -1.
long runProgram(const std::string& commandLine, DWORD ms = 60000);
// This program started again in a role (see ZRVK_ROLE), its path quoted.
std::string roleCommand(const std::string& programPath, const std::string& role);

// Everything written to std::cout and std::cerr while it lives.
class CaptureStreams {
public:
    CaptureStreams();
    ~CaptureStreams();
    CaptureStreams(const CaptureStreams&) = delete;
    CaptureStreams& operator=(const CaptureStreams&) = delete;

    std::string text() const { return buffer.str(); }
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

private:
    std::ostringstream buffer;
    std::streambuf* savedOut;
    std::streambuf* savedErr;
};

}  // namespace wintest
