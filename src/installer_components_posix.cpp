// Placing components on macOS (and Linux): one privileged chain each, run in
// the installation's administrator session. Folders that other users can
// write to are checked on disk right before they are used.
#include "installer_components_internal.h"

#include "installer_auth.h"
#include "installer_config.h"
#include "installer_utils.h"

#include <sys/stat.h>

#include <cstdio>
#include <iostream>
#include <random>
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

// Adobe's shared plug-in folder may be open to other users: the maker's
// folder in it is made the chain's own before anything in it is touched.
std::vector<std::string> adobeFolderCommands() {
    std::vector<std::string> chain = {"mkdir -p " + quoted(MEDIACORE_DIR)};
    append(chain, ownedFolderCommands(PLUGINS_DIR, "755"));
    return chain;
}

// What the copy of each top-level entry would refuse, looked for before
// anything in the maker's folder is touched: a staged link, or a bundle that
// is no folder. A refused archive so leaves the folder as it was.
std::string stagedTopLevelTest(const std::string& staged, const std::string& bundleName) {
    return "{ for e in " + quoted(staged) + "/*; do ! test -L \"$e\" || exit 1; done; test -d " +
           quoted(staged + "/" + bundleName) + "; }";
}

// Shell words naming every entry of a folder (a shell word itself), hidden
// ones too; a word that matches nothing stays as it is and names nothing.
std::string everyEntryOf(const std::string& folder) {
    return folder + "/* " + folder + "/.[!.]* " + folder + "/..?*";
}

// What makes the fresh names of one placement: no archive can foresee it.
std::string freshTag() {
    std::random_device random;
    char tag[20];
    std::snprintf(tag, sizeof tag, "%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
    return tag;
}

// How staged entries go into a folder that is the chain's own, so that a
// failure at any step leaves what was installed there as it was. Each staged
// entry is copied into a fresh folder in the destination, "$new", and given
// its owner and modes there. Only once every copy succeeded are the
// installed entries they replace moved aside into "$old", the copies renamed
// in, and what was moved aside removed. A failed copy removes the copies; a
// failed rename moves back what was moved. The renames stay inside the
// destination (one file system, no folder another user can write to) and
// follow no link.
struct Swap {
    std::string dest;    // the folder the entries go into
    std::string staged;  // shell words naming the staged entries
    std::string copy;    // commands that copy them into "$new", owner and modes given
    bool whole;          // every installed entry goes, not only those the staged entries replace
};

std::vector<std::string> swapCommands(const Swap& s) {
    const std::string tag = freshTag();
    const std::string in = everyEntryOf("\"$new\"");
    const std::string aside =
        s.whole ? "for e in " + everyEntryOf("\"$dest\"") +
                      "; do case \"$e\" in \"$new\"|\"$old\") ;; *) ! zrvk_is \"$e\" || mv \"$e\" \"$old/\" || return 1;; esac; "
                      "done"
                : "for e in " + in +
                      "; do n=\"${e##*/}\"; ! zrvk_is \"$e\" || ! zrvk_is \"$dest/$n\" || mv \"$dest/$n\" \"$old/\" || "
                      "return 1; done";
    return {
        // Something is there, a link too, never followed.
        "zrvk_is() { test -e \"$1\" || test -L \"$1\"; }",
        "zrvk_swap() { " + aside + "; for e in " + in + "; do ! zrvk_is \"$e\" || mv \"$e\" \"$dest/\" || return 1; done; }",
        // The staged entries' names tell what was renamed in. An installed
        // entry that could not be moved back stays where it was moved aside.
        "zrvk_undo() { for e in \"$@\"; do n=\"${e##*/}\"; zrvk_is \"$new/$n\" || ! zrvk_is \"$dest/$n\" || "
        "mv \"$dest/$n\" \"$new/\"; done; for e in " + everyEntryOf("\"$old\"") +
            "; do ! zrvk_is \"$e\" || mv \"$e\" \"$dest/\"; done; rm -rf \"$new\"; rmdir \"$old\"; }",
        "dest=" + quoted(s.dest),
        "new=" + quoted(s.dest + "/.zrvk-new-" + tag),
        "old=" + quoted(s.dest + "/.zrvk-old-" + tag),
        "mkdir \"$new\" \"$old\"",
        "{ " + s.copy + " || { rm -rf \"$new\" \"$old\"; false; }; }",
        "{ zrvk_swap || { zrvk_undo " + s.staged + "; false; }; }",
        // The new entries are in place: what is left of the old ones is no failure of it.
        "{ rm -rf \"$old\" \"$new\" || true; }",
    };
}

// A staged copy that becomes the folder `d` whole, replacing all it held; `d`
// itself is a real folder of the chain's own (its parent may be shared).
std::vector<std::string> replaceFolderCommands(const std::string& staged, const std::string& d,
                                               const std::string& owner) {
    std::vector<std::string> chain = ownedFolderCommands(d, "755");
    chain.push_back("chown " + owner + " " + quoted(d));
    append(chain, swapCommands({d, everyEntryOf(quoted(staged)),
                                "cp -R " + quoted(staged + "/.") + " \"$new\" && chown -R " + owner +
                                    " \"$new\" && chmod -R 755 \"$new\"",
                                true}));
    return chain;
}

// The data folder is shared, so whatever another user put at the server
// folder's place (a file, a link, a folder of their own) is removed first,
// the entry itself and not what it names, and the folder made afresh; the
// crash-report and plug-in folders are verified before their modes are set.
std::vector<std::string> serverChain(const std::string& staged, const std::string& owner) {
    std::vector<std::string> chain = baseFolderCommands();
    append(chain, replaceFolderCommands(staged, MRV_SERVER_DIR, owner));
    append(chain, ownedFolderCommands(CRASH_REPORTS_DIR, "1777"));
    append(chain, ownedFolderCommands(MRV_PLUGINS_DIR, "755"));
    return chain;
}

// Every top-level entry of the staged archive is put in place whole, each
// replacing the entry of its name: nothing is copied over what is there, so
// no link there is written through, and no staged link is handed on. Only
// the bundle is given the owner and modes.
std::vector<std::string> adobeChain(const std::string& staged, const std::string& bundleName,
                                    const std::string& owner) {
    std::vector<std::string> chain = {stagedTopLevelTest(staged, bundleName)};
    append(chain, adobeFolderCommands());
    const std::string bundle = "\"$new/" + bundleName + "\"";
    append(chain, swapCommands({PLUGINS_DIR, quoted(staged) + "/*",
                                "( for e in " + quoted(staged) + "/*; do ! test -L \"$e\" && cp -R \"$e\" \"$new/\" || " +
                                    "exit 1; done ) && ! test -L " + bundle + " && chown -R " + owner + " " + bundle +
                                    " && chmod -R 755 " + bundle,
                                false}));
    return chain;
}

}  // namespace

bool placeRenderEngine(const std::string& staged, const StatusFn& status) {
    std::string error;
    std::vector<std::string> chain = {"mkdir -p " + quoted(RENDER_ENGINE_DIR)};
    append(chain, replaceFolderCommands(staged, RENDER_ENGINE_DIR, privilegedOwner()));
    if (runChain(chain, error)) {
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
        std::cout << "[PLUGIN] Will remove existing plugin before install: " << PLUGINS_DIR + "/" + id + ".plugin"
                  << std::endl;
        chain = adobeChain(staged, id + ".plugin", owner);
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
