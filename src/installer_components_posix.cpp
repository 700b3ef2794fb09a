// Placing components on macOS (and Linux): one privileged chain each, run in
// the installation's administrator session. Folders that other users can
// write to are checked on disk right before they are used.
#include "installer_components_internal.h"

#include "installer_auth.h"
#include "installer_config.h"
#include "installer_utils.h"

#include <sys/stat.h>

#include <iostream>
#include <string>
#include <vector>

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
using InstallerConfig::Paths::MEDIACORE_DIR;
using InstallerConfig::Paths::MRV_BASE_DIR;
using InstallerConfig::Paths::MRV_PLUGINS_DIR;
using InstallerConfig::Paths::MRV_SERVER_DIR;
using InstallerConfig::Paths::PLUGINS_DIR;
using InstallerConfig::Paths::RENDER_ENGINE_DIR;

namespace Placement {

namespace {

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

void append(std::vector<std::string>& chain, const std::vector<std::string>& commands) {
    chain.insert(chain.end(), commands.begin(), commands.end());
}

bool runChain(const std::vector<std::string>& commands, std::string& error) {
    error.clear();
    if (executeMultipleWithAuthorization(commands, &error)) return true;
    if (error.empty()) error = "Privileged command failed";
    return false;
}

// The data folder is open to every user (each user's machine-identity code
// makes and rewrites id.txt there, and opens it to all itself), so it is
// sticky and nothing in it is ever followed or changed through a link.
std::vector<std::string> baseFolderCommands() {
    const std::string& b = MRV_BASE_DIR;
    return {"mkdir -p " + quoted(b), realFolderTest(b), "chmod 1777 " + quoted(b)};
}

// The server's and the plug-ins' folders in the data folder: whatever
// another user planted at the plug-in folder before (a link, a folder of
// their own) is removed and the folder made afresh, right before it is used.
std::vector<std::string> pluginFolderCommands() {
    std::vector<std::string> chain = baseFolderCommands();
    append(chain, ownedFolderCommands(MRV_PLUGINS_DIR, "755"));
    return chain;
}

// The data folder is shared, so whatever another user put at the server
// folder's place (a file, a link) is removed first, the entry itself and not
// what it names; the folder is then made afresh by mkdir, and the
// crash-report and plug-in folders are verified before their modes are set.
std::vector<std::string> serverChain(const std::string& staged, const std::string& owner) {
    const std::string& s = MRV_SERVER_DIR;
    std::vector<std::string> chain = baseFolderCommands();
    append(chain, {"{ " + realFolderTest(s) + " || rm -rf " + quoted(s) + "; }", "mkdir -p " + quoted(s), "rm -rf " + quoted(s), "mkdir " + quoted(s),
                   "cp -R " + quoted(staged + "/.") + " " + quoted(s), "chown -R " + owner + " " + quoted(s),
                   "chmod -R 755 " + quoted(s)});
    append(chain, ownedFolderCommands(CRASH_REPORTS_DIR, "1777"));
    append(chain, ownedFolderCommands(MRV_PLUGINS_DIR, "755"));
    return chain;
}

// Adobe's shared plug-in folder may be open to other users: the maker's
// folder in it is made the chain's own before anything in it is touched.
std::vector<std::string> adobeFolderCommands() {
    std::vector<std::string> chain = {"mkdir -p " + quoted(MEDIACORE_DIR)};
    append(chain, ownedFolderCommands(PLUGINS_DIR, "755"));
    return chain;
}

// Every top-level entry of the staged archive is put in place whole, each
// into a name removed just before: nothing is copied over what is there, so
// no link there is written through, and no staged link is handed on.
std::string copyEachTopLevelEntry(const std::string& staged, const std::string& folder) {
    return "for e in " + quoted(staged) + "/*; do ! test -L \"$e\" && rm -rf " + quoted(folder) +
           "/\"${e##*/}\" && cp -R \"$e\" " + quoted(folder + "/") + " || exit 1; done";
}

// What the copy of each top-level entry would refuse, looked for before
// anything in the maker's folder is removed: a staged link, or no bundle. A
// refused archive so leaves the folder as it was.
std::string stagedTopLevelTest(const std::string& staged, const std::string& bundleName) {
    return "{ for e in " + quoted(staged) + "/*; do ! test -L \"$e\" || exit 1; done; test -e " +
           quoted(staged + "/" + bundleName) + "; }";
}

// A staged copy that becomes `d` whole: the old folder goes first.
std::vector<std::string> replaceFolderCommands(const std::string& staged, const std::string& d,
                                               const std::string& owner) {
    return {"mkdir -p " + quoted(d), "rm -rf " + quoted(d), "cp -R " + quoted(staged) + " " + quoted(d),
            "chown -R " + owner + " " + quoted(d), "chmod -R 755 " + quoted(d)};
}

}  // namespace

bool placeRenderEngine(const std::string& staged, const StatusFn& status) {
    std::string error;
    if (runChain(replaceFolderCommands(staged, RENDER_ENGINE_DIR, privilegedOwner()), error)) {
        std::cout << "[RENDER_ENGINE] Files moved successfully" << std::endl;
        return true;
    }
    std::cerr << "[RENDER_ENGINE] Failed to move files to protected location: " << error << std::endl;
    sendStatus(status, "Error: " + error);
    return false;
}

bool placeMRVServer(const std::string& staged, const StatusFn& status) {
    std::string error;
    if (runChain(serverChain(staged, privilegedOwner()), error)) {
        std::cout << "[MRV_SERVER] Files moved successfully" << std::endl;
        return true;
    }
    std::cerr << "[MRV_SERVER] Failed to move files to protected location: " << error << std::endl;
    sendStatus(status, "Error: " + error);
    return false;
}

// The removal's result is not looked at: the installation goes on. It acts
// only through a maker's folder that is the chain's own.
bool removeLegacyPlugin(const std::string& path, const StatusFn&) {
    executeWithAuthorization(ownedFolderTest(PLUGINS_DIR) + " && rm -rf " + quoted(path), nullptr, nullptr);
    return true;
}

bool placePluginPart(Part part, const std::string& id, const std::string& staged, const StatusFn& status) {
    const std::string owner = privilegedOwner();
    std::vector<std::string> chain;
    if (part == Part::Adobe) {
        const std::string bundle = PLUGINS_DIR + "/" + id + ".plugin";
        std::cout << "[PLUGIN] Will remove existing plugin before install: " << bundle << std::endl;
        chain = {stagedTopLevelTest(staged, id + ".plugin")};
        append(chain, adobeFolderCommands());
        append(chain, {"rm -rf " + quoted(bundle), copyEachTopLevelEntry(staged, PLUGINS_DIR),
                       "! test -L " + quoted(bundle), "chown -R " + owner + " " + quoted(bundle),
                       "chmod -R 755 " + quoted(bundle)});
    } else {
        // The additional files were staged over a copy of the installed
        // folder (stageInstalledFiles): both parts replace it whole.
        chain = pluginFolderCommands();
        append(chain, replaceFolderCommands(staged, MRV_PLUGINS_DIR + "/" + id, owner));
    }
    std::string error;
    if (runChain(chain, error)) return true;
    const PartText& t = textOf(part);
    std::cerr << t.failMove << error << std::endl;
    sendStatus(status, "Error installing " + id + " (" + t.errorTag + "): " + error);
    return false;
}

// Only a folder that is the privileged user's own all the way is kept: what
// another user planted is dropped with the folder the chain makes afresh.
bool stageInstalledFiles(Part part, const std::string& id, const std::string& staged) {
    if (part != Part::Additional) return true;
    const std::string d = MRV_PLUGINS_DIR + "/" + id;
    struct stat info;
    if (lstat(d.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        !isOwnedOnDisk(d, MRV_PLUGINS_DIR, privilegedUid())) {
        return true;
    }
    return copyDirectory(d, staged);
}

}  // namespace Placement
