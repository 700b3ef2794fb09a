// The Win32 bodies of the ProgramData checks: attributes, owners and well-known SIDs.
#include "program_data_folders.h"

#include <windows.h>

#include <aclapi.h>

#include <iostream>
#include <string>
#include <vector>

#include "windows_command.h"

namespace ProgramDataFolders {

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

}  // namespace ProgramDataFolders
