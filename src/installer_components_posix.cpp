// Placing components on macOS (and Linux): one privileged chain each, run in
// the installation's administrator session. Folders that other users can
// write to are checked on disk right before they are used.
#include "installer_components_internal.h"

#include "installer_auth.h"
#include "installer_config.h"

#include <iostream>
#include <string>
#include <vector>

using InstallerConfig::Paths::CRASH_REPORTS_DIR;
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

// Commands that leave `path` a real folder owned by the chain's own user,
// with `mode`, inside a folder that other users can write to but whose
// entries only their owners can rename (sticky). Whatever else stands there
// (a link, another user's entry) is removed first; a link that appears
// meanwhile fails the chain instead of being followed.
std::vector<std::string> ownedFolderCommands(const std::string& path, const std::string& mode) {
    const std::string q = quoted(path);
    const std::string owned = "test -d " + q + " && ! test -L " + q + " && test -O " + q;
    return {"{ " + owned + " || rm -rf " + q + "; }", "{ test -d " + q + " || mkdir " + q + "; }", owned,
            "chmod " + mode + " " + q};
}

// The data folder is open to every user (each user's machine-identity code
// makes and rewrites id.txt there, and opens it to all itself), so it is
// sticky and nothing in it is ever followed or changed through a link.
std::vector<std::string> baseFolderCommands() {
    const std::string& b = MRV_BASE_DIR;
    return {"mkdir -p " + quoted(b), "test -d " + quoted(b) + " && ! test -L " + quoted(b), "chmod 1777 " + quoted(b)};
}

// The server's and the plug-ins' folders in the data folder: whatever
// another user planted at the plug-in folder before (a link, a folder of
// their own) is removed and the folder made afresh, right before it is used.
std::vector<std::string> pluginFolderCommands() {
    std::vector<std::string> chain = baseFolderCommands();
    append(chain, ownedFolderCommands(MRV_PLUGINS_DIR, "755"));
    return chain;
}

// The server folder is made afresh by mkdir, which fails on anything planted
// in its place, and the crash-report and plug-in folders are verified before
// their modes are set.
std::vector<std::string> serverChain(const std::string& staged, const std::string& owner) {
    const std::string& s = MRV_SERVER_DIR;
    std::vector<std::string> chain = baseFolderCommands();
    append(chain, {"mkdir -p " + quoted(s), "rm -rf " + quoted(s), "mkdir " + quoted(s),
                   "cp -R " + quoted(staged + "/.") + " " + quoted(s), "chown -R " + owner + " " + quoted(s),
                   "chmod -R 755 " + quoted(s)});
    append(chain, ownedFolderCommands(CRASH_REPORTS_DIR, "1777"));
    append(chain, ownedFolderCommands(MRV_PLUGINS_DIR, "755"));
    return chain;
}

}  // namespace

bool placeRenderEngine(const std::string& staged, const StatusFn& status) {
    const std::string& d = RENDER_ENGINE_DIR;
    const std::string owner = privilegedOwner();
    std::string error;
    if (runChain({"mkdir -p " + quoted(d), "rm -rf " + quoted(d), "cp -R " + quoted(staged) + " " + quoted(d),
                  "chown -R " + owner + " " + quoted(d), "chmod -R 755 " + quoted(d)},
                 error)) {
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

// The removal's result is not looked at: the installation goes on.
bool removeLegacyPlugin(const std::string& path, const StatusFn&) {
    executeWithAuthorization("rm -rf " + quoted(path), nullptr, nullptr);
    return true;
}

bool placePluginPart(Part part, const std::string& id, const std::string& staged, const StatusFn& status) {
    const std::string& p = PLUGINS_DIR;
    const std::string d = MRV_PLUGINS_DIR + "/" + id;
    const std::string owner = privilegedOwner();
    std::vector<std::string> chain;
    if (part == Part::Adobe) {
        const std::string bundle = PLUGINS_DIR + "/" + id + ".plugin";
        std::cout << "[PLUGIN] Will remove existing plugin before install: " << bundle << std::endl;
        chain = {"mkdir -p " + quoted(p), "rm -rf " + quoted(bundle), "cp -R " + quoted(staged) + "/* " + quoted(p + "/"),
                 "chown -R " + owner + " " + quoted(bundle), "chmod -R 755 " + quoted(bundle)};
    } else {
        chain = pluginFolderCommands();
        append(chain, part == Part::Mrv
                          ? std::vector<std::string>{"mkdir -p " + quoted(d), "rm -rf " + quoted(d),
                                                     "cp -R " + quoted(staged) + " " + quoted(d),
                                                     "chown -R " + owner + " " + quoted(d), "chmod -R 755 " + quoted(d)}
                          : std::vector<std::string>{"mkdir -p " + quoted(d),
                                                     "cp -R " + quoted(staged) + "/* " + quoted(d + "/"),
                                                     "chown -R " + owner + " " + quoted(d), "chmod -R 755 " + quoted(d)});
    }
    std::string error;
    if (runChain(chain, error)) return true;
    const PartText& t = textOf(part);
    std::cerr << t.failMove << error << std::endl;
    sendStatus(status, "Error installing " + id + " (" + t.errorTag + "): " + error);
    return false;
}

}  // namespace Placement
