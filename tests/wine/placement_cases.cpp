// Placing components on Windows: each copy is made beside what is installed
// and swapped in once whole, so a copy or a rename that fails changes
// nothing that was installed. xcopy is the real one or a failing stand-in;
// PowerShell, only a stub under wine, is a stand-in that removes what
// deletePath names.
#include "case_runner.h"
#include "windows_support.h"

#include "installer_components_internal.h"
#include "installer_config.h"
#include "installer_utils.h"
#include "windows_command.h"

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace wintest;
using namespace InstallerConfig::Paths;
using Placement::Part;
using WindowsCommand::Tool;

namespace {

// Stand-in tools; with `copies`, the system's own xcopy among them.
struct Tools {
    explicit Tools(bool copies) : tools(caseFolder() + "/tools") {
        ready = tools.addRecorder(Tool::PowerShell, 0);
        tools.powerShellRemovesWhatItNames();
        if (copies) {
            ready = ready && CopyFileW((WindowsCommand::systemFolder() + L"\\xcopy.exe").c_str(),
                                       WindowsCommand::widen(tools.toolPath(Tool::Xcopy)).c_str(), FALSE) != 0;
        } else {
            ready = ready && tools.addRecorder(Tool::Xcopy, 4) && tools.addRecorder(Tool::Robocopy, 16);
        }
    }
    StandInTools tools;
    bool ready = false;
};

// The four components installed in the compiled-in folders (the maker's
// Adobe folder with another plug-in), and a staged copy of each.
struct Installation : InstallerFolders {
    const std::string staged = caseFolder() + "/staged";

    struct Component {
        const char* what;
        std::string folder;  // compared whole
        std::function<bool(const std::string&)> place;
        std::string stagedTree;
        std::map<std::string, std::string> placed;  // the folder once the staged copy is in
    };
    std::vector<Component> parts;

    Installation() {
        for (const std::string& d : {RENDER_ENGINE_DIR, MRV_SERVER_DIR, MRV_PLUGINS_DIR + "/glow"}) {
            makeFolders(d + "/lib/");
            writeFile(d + "/version.txt", "1");
            writeFile(d + "/lib/old only.py", "old");
        }
        writeFile(PLUGINS_DIR + "/glow.aex", "MZ old build");
        writeFile(PLUGINS_DIR + "/other.aex", "MZ other plug-in");
        for (const char* name : {"engine", "server", "mrv"}) {
            makeFolders(staged + "/" + name + "/lib/");
            writeFile(staged + "/" + name + "/version.txt", "2");
            writeFile(staged + "/" + name + "/lib/new.py", "new");
        }
        makeFolders(staged + "/adobe/glow presets/");
        writeFile(staged + "/adobe/glow.aex", "MZ new build");
        writeFile(staged + "/adobe/glow presets/soft.txt", "soft");
        const std::map<std::string, std::string> whole = {{"version.txt", "2"}, {"lib/new.py", "new"}};
        parts = {
            {"render engine", RENDER_ENGINE_DIR, [](const std::string& t) { return Placement::placeRenderEngine(t, nullptr); },
             staged + "/engine", whole},
            {"server", MRV_SERVER_DIR, [](const std::string& t) { return Placement::placeMRVServer(t, nullptr); },
             staged + "/server", whole},
            {"MRV", MRV_PLUGINS_DIR + "/glow",
             [](const std::string& t) { return Placement::placePluginPart(Part::Mrv, "glow", t, nullptr); }, staged + "/mrv",
             whole},
            {"Adobe", PLUGINS_DIR,
             [](const std::string& t) { return Placement::placePluginPart(Part::Adobe, "glow", t, nullptr); },
             staged + "/adobe",
             {{"glow.aex", "MZ new build"}, {"glow presets/soft.txt", "soft"}, {"other.aex", "MZ other plug-in"}}},
        };
    }
};

bool nothingBeside(const std::string& folder) {
    std::map<std::string, bool> entries = folderEntries(folder.substr(0, folder.rfind('/')));
    for (const auto& entry : folderEntries(folder)) entries.insert(entry);
    for (const auto& entry : entries) {
        if (entry.first.find(".zrvk-") != std::string::npos) return false;
    }
    return true;
}

}  // namespace

ZRVK_CASE(placementsPutTheStagedCopiesInPlace) {
    Installation installed;
    Tools tools(true);
    REQUIRE(tools.ready);
    for (const auto& c : installed.parts) {
        CaptureStreams log;
        CHECK(c.place(c.stagedTree));
        if (!(treeContents(c.folder) == c.placed)) fail(__FILE__, __LINE__, std::string(c.what) + ": not the staged copy");
        CHECK(nothingBeside(c.folder));
    }
}

// Today's copies fail here as a full disk or a path too long makes them
// fail: nothing of the installation changes, and no copy is left beside it.
ZRVK_CASE(aPlacementWhoseCopyFailsLeavesTheInstalledComponent) {
    Installation installed;
    Tools tools(false);
    REQUIRE(tools.ready);
    for (const auto& c : installed.parts) {
        const auto before = treeContents(c.folder);
        CaptureStreams log;
        CHECK(!c.place(c.stagedTree));
        CHECK(log.contains("[copyDirectory] robocopy failed with code 16"));
        if (!(treeContents(c.folder) == before)) fail(__FILE__, __LINE__, std::string(c.what) + ": the installation changed");
        CHECK(nothingBeside(c.folder));
    }
}

// A target that cannot be renamed aside (a file open without sharing its
// removal) fails the whole replacement after another target was renamed
// aside already: that one is renamed back, and the copies go.
ZRVK_CASE(replaceWithCopiesRenamesBackWhatItRenamed) {
    Tools tools(true);
    REQUIRE(tools.ready);
    const std::string staged = caseFolder() + "/staged", folder = caseFolder() + "/engine",
                      file = caseFolder() + "/glow.aex";
    makeFolders(staged + "/engine/lib/");
    writeFile(staged + "/engine/lib/new.py", "new");
    writeFile(staged + "/glow.aex", "MZ new build");
    makeFolders(folder + "/lib/");
    writeFile(folder + "/lib/old.py", "old");
    writeFile(file, "MZ old build");
    const auto before = treeContents(folder);
    HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    REQUIRE(held != INVALID_HANDLE_VALUE);
    {
        CaptureStreams log;
        CHECK(!replaceWithCopies({{staged + "/engine", folder}, {staged + "/glow.aex", file}}));
        CHECK(log.contains("[replaceWithCopies] Failed to rename " + file + " to " + file + ".zrvk-old"));
    }
    CloseHandle(held);
    CHECK(treeContents(folder) == before);
    CHECK_EQ(readFile(file), std::string("MZ old build"));
    CHECK(nothingBeside(folder));
}
