// The Windows program's folders below C:\ProgramData\ZRVK. Any user may
// create entries in ProgramData, so what stands there before the elevated
// program runs may be someone else's folder or a link (junction, symbolic
// link) to a system folder. Before an elevated write or removal there, each
// folder on the way is checked on the file system: a real folder owned by
// Administrators or SYSTEM is used; a missing one is made; a link or file in
// the way of a write is removed itself (never followed) and a folder made
// afresh; another owner's folder is refused. The decisions are plain code
// driven through a small table of operations; the Win32 bodies are thin.
#pragma once

#include <functional>
#include <string>

namespace ProgramDataFolders {

// C:/ProgramData/ZRVK, the brand folder that holds them all.
extern const std::string ROOT;

enum class Entry { Missing, Folder, ReparsePoint, File, Unreadable };
// ProgramDataOwner: the owner of C:\ProgramData itself; a machine where
// someone else owns that folder cannot be protected below it anyway.
enum class Owner { Administrators, System, ProgramDataOwner, Other, Unknown };

struct State {
    Entry entry = Entry::Missing;
    Owner owner = Owner::Unknown;  // read for folders only
};

// Write: the folder is made where missing. Use: only what exists is used.
enum class Purpose { Write, Use };
enum class Step { Use, Make, Replace, Refuse };

bool isTrustedOwner(Owner owner);
Step stepFor(const State& state, Purpose purpose);

struct Operations {
    std::function<State(const std::string& path)> inspect;
    std::function<bool(const std::string& path)> makeFolder;
    // Removes the entry itself: a link, never what it leads to, or a file.
    std::function<bool(const std::string& path)> removeEntry;
};

// True for ROOT and every path below it (either separator, letters in any case).
bool isBelowRoot(const std::string& path);

// Each folder from ROOT down to `folder` is left a trusted real folder, as
// the purpose allows; false when one is refused or cannot be made. A path
// outside ROOT is not checked here (true).
bool prepare(const std::string& folder, Purpose purpose, const Operations& ops);
// Every folder above `path`, from ROOT on, is a trusted real folder (nothing
// made or changed); true for a path outside ROOT.
bool mayRemove(const std::string& path, const Operations& ops);

#ifdef _WIN32
// Removes a link (junction, symbolic link) itself, never what it leads to;
// false when that cannot be done.
bool removeLink(const std::string& path);
const Operations& windowsOperations();
bool prepare(const std::string& folder, Purpose purpose);
bool mayRemove(const std::string& path);
#endif

}  // namespace ProgramDataFolders
