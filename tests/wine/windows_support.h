// Helpers of the Windows test program: where it runs, a work folder per case,
// files, environment variables, child processes and captured log lines.
#pragma once

#include <windows.h>

#include "installer_config.h"
#include "windows_command.h"

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

// Every compiled-in folder that the installer writes to (the render engine,
// the server, the MRV and Adobe plug-ins, the data folder), each claimed as
// above.
struct InstallerFolders {
    SystemFolderFixture renderEngine{InstallerConfig::Paths::RENDER_ENGINE_DIR};
    SystemFolderFixture server{InstallerConfig::Paths::MRV_SERVER_DIR};
    SystemFolderFixture components{InstallerConfig::Paths::MRV_PLUGINS_DIR};
    SystemFolderFixture plugins{InstallerConfig::Paths::PLUGINS_DIR};
    SystemFolderFixture base{InstallerConfig::Paths::MRV_BASE_DIR};
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
    // application: the program's path when the command line does not start with it.
    explicit ChildProcess(const std::string& commandLine, const std::string& application = "");
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

// A folder that the installer's command lines take their tools from (until
// the object goes), holding recording stand-ins: copies of this program, each
// at its tool's place, that append the command line they receive to a log of
// their own and then do what recorderAnswers set last. Each answers with an
// exit code of its own, so that a case can tell its stand-in from the tool.
class StandInTools {
public:
    explicit StandInTools(const std::string& folder);
    ~StandInTools();
    StandInTools(const StandInTools&) = delete;
    StandInTools& operator=(const StandInTools&) = delete;

    // At first the recorder exits with `exitCode` and removes nothing.
    bool addRecorder(WindowsCommand::Tool tool, int exitCode);
    // The recorder of `tool` removes `removes` (when not empty), standing in
    // for the tool's work, and exits with `exitCode`.
    void recorderAnswers(WindowsCommand::Tool tool, int exitCode, const std::string& removes);
    // The recorder of PowerShell removes what its Remove-Item command names
    // (deletePath's own command) and exits with 0, as PowerShell does.
    void powerShellRemovesWhatItNames();
    // The command lines that the recorder of `tool` received, one per run.
    std::vector<std::string> recordedCommands(WindowsCommand::Tool tool) const;
    // The tool's path, as the command lines name it.
    std::string toolPath(WindowsCommand::Tool tool) const;

private:
    // The recorder's path without ".exe": its answer and log files lie beside it.
    std::string base(WindowsCommand::Tool tool) const;
    std::string folder;
};
// Records the command line into <base>.commands when this program is a
// stand-in; false otherwise.
bool runAsRecorder(int& exitCode);

// Makes `link` a link to `target`: a symbolic link of the Unix file system
// under wine (which shows it as a reparse point); on Windows a junction to a
// folder, a symbolic link to a file. False when it could not be made.
bool makeLink(const std::string& link, const std::string& target);
// Removes such a link itself.
void removeLink(const std::string& link);

// Runs `commandLine` to its end (at most `ms` milliseconds): its exit code, or -1.
long runProgram(const std::string& commandLine, DWORD ms = 60000);
// This program started again in a role (see ZRVK_ROLE), its path quoted.
std::string roleCommand(const std::string& programPath, const std::string& role);

// Everything written to std::cout and std::cerr while it lives; when it goes,
// the text is passed on to the capture it replaced, so that the output of a
// failed case shows it.
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
    CaptureStreams* outer;
};

}  // namespace wintest
