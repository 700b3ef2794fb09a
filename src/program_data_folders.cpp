#include "program_data_folders.h"

#include <iostream>
#include <vector>

#ifdef _WIN32
#include <windows.h>

#include <aclapi.h>

#include "windows_command.h"
#endif

namespace ProgramDataFolders {

const std::string ROOT = "C:/ProgramData/ZRVK";

namespace {

bool isSeparator(char c) { return c == '/' || c == '\\'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameLetters(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (isSeparator(a[i]) ? !isSeparator(b[i]) : lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

// ROOT and each folder below it on the way to `path`, `path` included.
std::vector<std::string> levels(const std::string& path) {
    std::vector<std::string> out;
    for (std::size_t end = ROOT.size(); end <= path.size(); ++end) {
        if (end == path.size() || isSeparator(path[end])) {
            if (end > 0 && !isSeparator(path[end - 1])) out.push_back(path.substr(0, end));
        }
    }
    return out;
}

std::string reasonFor(const State& state) {
    switch (state.entry) {
    case Entry::ReparsePoint:
        return "a link";
    case Entry::File:
        return "not a folder";
    case Entry::Unreadable:
        return "cannot be read";
    case Entry::Missing:
        return "missing";
    case Entry::Folder:
    default:
        return "owned by another user";
    }
}

bool isTrustedFolder(const State& state) { return state.entry == Entry::Folder && isTrustedOwner(state.owner); }

// One level, right before it is used.
bool secureLevel(const std::string& path, Purpose purpose, const Operations& ops) {
    const State state = ops.inspect(path);
    switch (stepFor(state, purpose)) {
    case Step::Use:
        return true;
    case Step::Refuse:
        // A missing folder to use is no alarm: there is just nothing there.
        if (state.entry != Entry::Missing) {
            std::cerr << "[ProgramData] Refusing " << path << ": " << reasonFor(state) << std::endl;
        }
        return false;
    case Step::Replace:
        std::cerr << "[ProgramData] Removing what was planted at " << path << " (" << reasonFor(state) << ")"
                  << std::endl;
        if (!ops.removeEntry(path)) {
            std::cerr << "[ProgramData] Cannot remove " << path << std::endl;
            return false;
        }
        break;
    case Step::Make:
        break;
    }
    if (!ops.makeFolder(path) || !isTrustedFolder(ops.inspect(path))) {
        std::cerr << "[ProgramData] Cannot make a folder of its own at " << path << std::endl;
        return false;
    }
    return true;
}

}  // namespace

bool isTrustedOwner(Owner owner) {
    return owner == Owner::Administrators || owner == Owner::System || owner == Owner::ProgramDataOwner;
}

Step stepFor(const State& state, Purpose purpose) {
    switch (state.entry) {
    case Entry::Folder:
        return isTrustedOwner(state.owner) ? Step::Use : Step::Refuse;
    case Entry::Missing:
        return purpose == Purpose::Write ? Step::Make : Step::Refuse;
    case Entry::ReparsePoint:
    case Entry::File:
        return purpose == Purpose::Write ? Step::Replace : Step::Refuse;
    case Entry::Unreadable:
    default:
        return Step::Refuse;
    }
}

bool isBelowRoot(const std::string& path) {
    if (path.size() < ROOT.size() || !sameLetters(path.substr(0, ROOT.size()), ROOT)) return false;
    return path.size() == ROOT.size() || isSeparator(path[ROOT.size()]);
}

bool prepare(const std::string& folder, Purpose purpose, const Operations& ops) {
    if (!isBelowRoot(folder)) return true;
    for (const std::string& level : levels(folder)) {
        if (!secureLevel(level, purpose, ops)) return false;
    }
    return true;
}

bool mayRemove(const std::string& path, const Operations& ops) {
    if (!isBelowRoot(path)) return true;
    std::vector<std::string> above = levels(path);
    if (!above.empty()) above.pop_back();  // the path itself
    for (const std::string& level : above) {
        if (!secureLevel(level, Purpose::Use, ops)) return false;
    }
    return true;
}

#ifdef _WIN32

namespace {

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

// The owner SID of a path as the system tells it; false when it cannot be read.
bool withOwner(const std::wstring& path, const std::function<void(PSID)>& use) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    if (owner != nullptr) use(owner);
    LocalFree(descriptor);
    return owner != nullptr;
}

Owner ownerOf(const std::wstring& path) {
    Owner result = Owner::Unknown;
    withOwner(path, [&result](PSID owner) {
        if (isWellKnown(owner, WinBuiltinAdministratorsSid)) {
            result = Owner::Administrators;
        } else if (isWellKnown(owner, WinLocalSystemSid)) {
            result = Owner::System;
        } else {
            result = Owner::Other;
            withOwner(L"C:\\ProgramData", [&result, owner](PSID programData) {
                if (EqualSid(owner, programData)) result = Owner::ProgramDataOwner;
            });
        }
    });
    return result;
}

State inspect(const std::string& path) {
    const std::wstring wide = WindowsCommand::widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    State state;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        state.entry = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? Entry::Missing : Entry::Unreadable;
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        state.entry = Entry::ReparsePoint;
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        state.entry = Entry::File;
    } else {
        state.entry = Entry::Folder;
        state.owner = ownerOf(wide);
    }
    return state;
}

// Made by the elevated program, the folder is owned by Administrators.
bool makeFolder(const std::string& path) { return CreateDirectoryW(WindowsCommand::widen(path).c_str(), nullptr) != 0; }

bool removeEntry(const std::string& path) {
    const std::wstring wide = WindowsCommand::widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return removeLink(path);
    return !(attributes & FILE_ATTRIBUTE_DIRECTORY) && DeleteFileW(wide.c_str()) != 0;
}

}  // namespace

// The link is opened itself and deleted through that handle, once the handle
// shows a reparse point: a system that opened what the link leads to instead
// (wine does) removes nothing.
bool removeLink(const std::string& path) {
    HANDLE handle = CreateFileW(WindowsCommand::widen(path).c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    bool removed = GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) &&
                   (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (removed) {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        removed = SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != 0;
    }
    CloseHandle(handle);
    return removed;
}

const Operations& windowsOperations() {
    static const Operations operations{inspect, makeFolder, removeEntry};
    return operations;
}

bool prepare(const std::string& folder, Purpose purpose) { return prepare(folder, purpose, windowsOperations()); }

bool mayRemove(const std::string& path) { return mayRemove(path, windowsOperations()); }

#endif  // _WIN32

}  // namespace ProgramDataFolders
