#include "windows_support.h"

#include "case_runner.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <vector>

namespace wintest {

namespace {

std::string g_caseFolder;

// All cases work below one folder in the temporary folder, with blanks in
// its name so that every command line the installer builds has to quote.
const std::string& workRoot() {
    static const std::string root = [] {
        char temp[MAX_PATH + 1];
        const DWORD length = GetTempPathA(sizeof(temp), temp);
        std::string base = length > 0 && length < sizeof(temp) ? std::string(temp, length) : "C:\\Windows\\Temp\\";
        for (char& c : base) {
            if (c == '\\') c = '/';
        }
        return base + "zrvk windows tests " + std::to_string(GetCurrentProcessId());
    }();
    return root;
}

std::wstring wide(const std::string& text) { return WindowsCommand::widen(text); }

void collectTree(const std::string& root, const std::string& relative, std::map<std::string, std::string>& out) {
    const std::string folder = relative.empty() ? root : root + "/" + relative;
    for (const auto& entry : folderEntries(folder)) {
        const std::string path = relative.empty() ? entry.first : relative + "/" + entry.first;
        if (entry.second) {
            collectTree(root, path, out);
        } else {
            out[path] = readFile(root + "/" + path);
        }
    }
}

}  // namespace

bool underWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void skipUnderWine(const std::string& reason) {
    if (underWine()) skip(reason);
}

const std::string& caseFolder() { return g_caseFolder; }

void startCaseFolder(const std::string& caseName) {
    g_caseFolder = workRoot() + "/" + caseName;
    removeTree(g_caseFolder);
    makeFolders(g_caseFolder);
}

void endCaseFolder(bool keep) {
    if (!keep) removeTree(g_caseFolder);
    g_caseFolder.clear();
}

void removeWorkRoot() { RemoveDirectoryA(workRoot().c_str()); }

std::string withBackslashes(std::string path) {
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

std::string indent(const std::string& text, const std::string& prefix) {
    std::string out;
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out += prefix + text.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return out;
}

bool fileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool folderExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

void makeFolders(const std::string& path) {
    for (std::string::size_type pos = path.find_first_of("/\\", 3); pos != std::string::npos;
         pos = path.find_first_of("/\\", pos + 1)) {
        CreateDirectoryA(path.substr(0, pos).c_str(), nullptr);
    }
    CreateDirectoryA(path.c_str(), nullptr);
}

bool removeTree(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileA(path.c_str()) != 0;
    }
    bool ok = true;
    for (const auto& entry : folderEntries(path)) ok = removeTree(path + "/" + entry.first) && ok;
    return RemoveDirectoryA(path.c_str()) != 0 && ok;
}

std::map<std::string, std::string> treeContents(const std::string& root) {
    std::map<std::string, std::string> out;
    collectTree(root, "", out);
    return out;
}

std::map<std::string, bool> folderEntries(const std::string& path) {
    std::map<std::string, bool> entries;
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "/*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return entries;
    do {
        const std::string name = data.cFileName;
        if (name == "." || name == "..") continue;
        entries[name] = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return entries;
}

SystemFolderFixture::SystemFolderFixture(const std::string& path) {
    if (folderExists(path) && !underWine()) skip("this machine has its own " + path);
    for (std::string::size_type pos = path.find_first_of("/\\", 3);; pos = path.find_first_of("/\\", pos + 1)) {
        const std::string prefix = path.substr(0, pos);
        if (!folderExists(prefix)) {
            firstMade = prefix;
            break;
        }
        if (pos == std::string::npos) break;
    }
    makeFolders(path);
}

SystemFolderFixture::~SystemFolderFixture() {
    if (!firstMade.empty()) removeTree(firstMade);
}

std::string selfPath() {
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, length);
}

ScopedEnv::ScopedEnv(const std::string& name, const char* value) : name(name) {
    std::vector<char> buffer(32768);
    const DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    hadValue = length > 0 && length < buffer.size();
    if (hadValue) saved.assign(buffer.data(), length);
    SetEnvironmentVariableA(name.c_str(), value);
}

ScopedEnv::~ScopedEnv() { SetEnvironmentVariableA(name.c_str(), hadValue ? saved.c_str() : nullptr); }

ChildProcess::ChildProcess(const std::string& commandLine, const std::string& application) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION info{};
    std::wstring line = wide(commandLine);
    const std::wstring program = wide(application);
    if (CreateProcessW(application.empty() ? nullptr : program.c_str(), &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                       &info)) {
        process = info.hProcess;
        CloseHandle(info.hThread);
    }
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
}

ChildProcess::~ChildProcess() {
    if (process == nullptr) return;
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
}

bool ChildProcess::waitFor(DWORD ms) { return process != nullptr && WaitForSingleObject(process, ms) == WAIT_OBJECT_0; }

DWORD ChildProcess::exitCode() const {
    DWORD code = STILL_ACTIVE;
    if (process != nullptr) GetExitCodeProcess(process, &code);
    return code;
}

StandInTools::StandInTools(const std::string& folder) : folder(folder) {
    makeFolders(folder);
    WindowsCommand::setToolFolderForTesting(wide(withBackslashes(folder)));
}

StandInTools::~StandInTools() { WindowsCommand::setToolFolderForTesting(L""); }

std::string StandInTools::toolPath(WindowsCommand::Tool tool) const {
    const std::wstring place = WindowsCommand::toolPathInSystemFolder(tool);
    return withBackslashes(folder) + "\\" + std::string(place.begin(), place.end());
}

std::string StandInTools::base(WindowsCommand::Tool tool) const {
    const std::string path = toolPath(tool);
    return path.substr(0, path.size() - 4);
}

bool StandInTools::addRecorder(WindowsCommand::Tool tool, int exitCode) {
    const std::string path = toolPath(tool);
    makeFolders(path.substr(0, path.rfind('\\')));
    recorderAnswers(tool, exitCode, "");
    return CopyFileA(selfPath().c_str(), path.c_str(), FALSE) != 0;
}

void StandInTools::recorderAnswers(WindowsCommand::Tool tool, int exitCode, const std::string& removes) {
    writeFile(base(tool) + ".exit-code", std::to_string(exitCode));
    writeFile(base(tool) + ".removes", removes);
}

namespace {

// In place of a path in <tool>.removes: the one the command line names.
const char* const kNamedPath = "<-LiteralPath>";

// The literal after -LiteralPath, its doubled quotes made single again.
std::string literalPathOf(const std::string& command) {
    const std::string start = "-LiteralPath '";
    std::string::size_type at = command.find(start);
    std::string path;
    if (at == std::string::npos) return path;
    for (at += start.size(); at < command.size(); ++at) {
        if (command[at] == '\'') {
            if (at + 1 >= command.size() || command[at + 1] != '\'') break;
            ++at;
        }
        path += command[at];
    }
    return path;
}

}  // namespace

void StandInTools::powerShellRemovesWhatItNames() { recorderAnswers(WindowsCommand::Tool::PowerShell, 0, kNamedPath); }

std::vector<std::string> StandInTools::recordedCommands(WindowsCommand::Tool tool) const {
    std::vector<std::string> lines;
    const std::string text = readFile(base(tool) + ".commands");
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A recorder copy lies next to <tool>.exit-code and <tool>.removes, and
// appends to <tool>.commands.
bool runAsRecorder(int& exitCode) {
    const std::string self = selfPath();
    const std::string::size_type dot = self.rfind('.');
    if (dot == std::string::npos || !fileExists(self.substr(0, dot) + ".exit-code")) return false;
    const std::string base = self.substr(0, dot);
    const std::wstring line = GetCommandLineW();
    const int size = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &text[0], size, nullptr, nullptr);
    std::ofstream(base + ".commands", std::ios::binary | std::ios::app) << text << "\n";
    const std::string removes = readFile(base + ".removes");
    if (removes == kNamedPath) {
        removeTree(literalPathOf(text));
    } else if (!removes.empty()) {
        removeTree(removes);
    }
    exitCode = std::atoi(readFile(base + ".exit-code").c_str());
    return true;
}

long runProgram(const std::string& commandLine, DWORD ms) {
    ChildProcess child(commandLine);
    if (!child.waitFor(ms)) return -1;
    return static_cast<long>(child.exitCode());
}

std::string roleCommand(const std::string& programPath, const std::string& role) {
    return "\"" + withBackslashes(programPath) + "\" --role " + role;
}

namespace {
CaptureStreams* g_innermostCapture = nullptr;
}

CaptureStreams::CaptureStreams() : savedOut(std::cout.rdbuf()), savedErr(std::cerr.rdbuf()), outer(g_innermostCapture) {
    g_innermostCapture = this;
    std::cout.rdbuf(buffer.rdbuf());
    std::cerr.rdbuf(buffer.rdbuf());
}

CaptureStreams::~CaptureStreams() {
    std::cout.rdbuf(savedOut);
    std::cerr.rdbuf(savedErr);
    g_innermostCapture = outer;
    if (outer != nullptr) outer->buffer << buffer.str();
}

namespace {

// The Unix path of a Windows path under wine; empty elsewhere.
std::string unixPath(const std::string& path) {
    using UnixName = char*(CDECL*)(LPCWSTR);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (unixName == nullptr) return "";
    char* name = unixName(wide(withBackslashes(path)).c_str());
    if (name == nullptr) return "";
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Starts a program of the Unix system under wine, which starts it like a
// Windows one but gives no handle to wait on: callers wait for its work.
bool startUnixProgram(const std::string& program, const std::string& arguments) {
    std::wstring line = wide(program + " " + arguments);
    const std::wstring application = wide("Z:" + withBackslashes(program));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(application.c_str(), &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        return false;
    }
    if (info.hProcess) CloseHandle(info.hProcess);
    if (info.hThread) CloseHandle(info.hThread);
    return true;
}

}  // namespace

bool makeLink(const std::string& link, const std::string& target) {
    if (underWine()) {
        // wine makes no reparse points itself, but shows a Unix link as one.
        const std::string::size_type slash = link.find_last_of("/\\");
        const std::string folder = unixPath(link.substr(0, slash));
        const std::string to = unixPath(target);
        if (folder.empty() || to.empty()) return false;
        if (!startUnixProgram("/bin/ln", "-s \"" + to + "\" \"" + folder + "/" + link.substr(slash + 1) + "\"")) return false;
    } else {
        const std::string kind = folderExists(target) ? "/J " : "";
        if (runProgram("cmd.exe /d /c mklink " + kind + "\"" + withBackslashes(link) + "\" \"" + withBackslashes(target) +
                       "\"") != 0) {
            return false;
        }
    }
    // Wait for the link itself (at most 30 s).
    for (int i = 0; i < 600; ++i) {
        const DWORD attributes = GetFileAttributesA(link.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
        Sleep(50);
    }
    return false;
}

void removeLink(const std::string& link) {
    const DWORD attributes = GetFileAttributesA(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return;
    if (!underWine()) {
        if (!RemoveDirectoryA(link.c_str())) DeleteFileA(link.c_str());
        return;
    }
    // wine's RemoveDirectory would remove an empty folder the link leads to.
    const std::string path = unixPath(link);
    if (path.empty() || !startUnixProgram("/bin/rm", "\"" + path + "\"")) return;
    for (int i = 0; i < 600 && GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES; ++i) Sleep(50);
}

}  // namespace wintest
