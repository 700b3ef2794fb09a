// The plug-in diagnostics on Windows: .aex files read through the C runtime
// and the MediaCore folder walked with FindFirstFile, on .aex files built here.
// Before <windows.h>, which makes "pascal" a macro.
#include "support/plugin_records.h"

#include "case_runner.h"
#include "windows_support.h"

#include "installer_config.h"
#include "plugin_diagnostics.h"
#include "plugin_diagnostics_internal.h"

#include <map>
#include <string>

using namespace wintest;
using PluginDiagnostics::PluginInfo;

using zrvk_test::aexFile;

ZRVK_CASE(parsePluginWinReadsTheRecordsOfAnAexFile) {
    const std::string folder = caseFolder() + "/Plug-ins (x64)";
    makeFolders(folder);
    writeFile(folder + "/Glow Effect.aex", aexFile("Glow Effect", zrvk_test::versionWord(12, 3, 1), "ZRVK Glow"));
    const PluginInfo info = PluginDiagnostics::parsePluginWin(withBackslashes(folder) + "\\Glow Effect.aex");
    CHECK_EQ(info.file, std::string("Glow Effect.aex"));
    CHECK_EQ(info.name, std::string("Glow Effect"));
    CHECK_EQ(info.version, std::string("12.3.1"));
    CHECK_EQ(info.match_name, std::string("ZRVK Glow"));

    // Records in the macOS byte order are not the Windows program's.
    writeFile(folder + "/Mac Order.aex", "MZ" + zrvk_test::pluginProperties("Mac", 0x08000000, "", false));
    CHECK_EQ(PluginDiagnostics::parsePluginWin(folder + "/Mac Order.aex").name, std::string());
    writeFile(folder + "/Empty.aex", "");
    CHECK_EQ(PluginDiagnostics::parsePluginWin(folder + "/Empty.aex").name, std::string());
    CHECK_EQ(PluginDiagnostics::parsePluginWin(folder + "/Missing.aex").file, std::string("Missing.aex"));
}

ZRVK_CASE(collectInstalledPluginsWalksTheMediaCoreFolder) {
    const std::string mediaCore = InstallerConfig::Paths::MEDIACORE_DIR;
    SystemFolderFixture folder(mediaCore);
    makeFolders(mediaCore + "/Other Vendor/Deeper");
    makeFolders(mediaCore + "/ZRVK");
    writeFile(mediaCore + "/Other Vendor/Deeper/Their Blur.aex",
              aexFile("Their Blur", zrvk_test::versionWord(3, 0, 2), "OTHR Blur"));
    writeFile(mediaCore + "/ZRVK/Our Glow.aex", aexFile("Our Glow", zrvk_test::versionWord(1, 4, 0), "ZRVK Glow"));
    writeFile(mediaCore + "/ZRVK/No Records.aex", aexFile("", 0, ""));
    writeFile(mediaCore + "/ZRVK/Our Glow.txt", aexFile("Not A Plugin", zrvk_test::versionWord(1, 0, 0), ""));

    CaptureStreams log;
    std::map<std::string, PluginInfo> found;
    for (const PluginInfo& plugin : PluginDiagnostics::collectInstalledPlugins()) found[plugin.file] = plugin;
    REQUIRE(found.size() == 2);
    REQUIRE(found.count("Their Blur.aex") == 1 && found.count("Our Glow.aex") == 1);
    const PluginInfo& theirs = found["Their Blur.aex"];
    CHECK_EQ(theirs.version, std::string("3.0.2"));
    CHECK(!theirs.own);
    const PluginInfo& ours = found["Our Glow.aex"];
    CHECK_EQ(ours.name, std::string("Our Glow"));
    CHECK_EQ(ours.match_name, std::string("ZRVK Glow"));
    CHECK(ours.own);
    CHECK_EQ(ours.status, 0);
    CHECK(log.contains("[DIAGNOSTICS] Scanning MediaCore directory: " + mediaCore));
    CHECK(log.contains("  [ZRVK] Our Glow 1.4.0 (sig: unknown)"));
    CHECK(log.contains("[DIAGNOSTICS] ZRVK plugins: 1, signature issues: 0"));
}

// Links are not followed: a link of the maker's folder to itself lists its
// plug-in once, and two folders linked to each other end the walk.
ZRVK_CASE(collectInstalledPluginsFollowsNoLinks) {
    const std::string mediaCore = InstallerConfig::Paths::MEDIACORE_DIR;
    SystemFolderFixture folder(mediaCore);
    makeFolders(mediaCore + "/ZRVK");
    makeFolders(mediaCore + "/Loop A");
    makeFolders(mediaCore + "/Loop B");
    writeFile(mediaCore + "/ZRVK/Our Glow.aex", aexFile("Our Glow", zrvk_test::versionWord(1, 4, 0), "ZRVK Glow"));
    writeFile(mediaCore + "/Loop A/Their Blur.aex", aexFile("Their Blur", zrvk_test::versionWord(3, 0, 2), "OTHR"));
    REQUIRE(makeLink(mediaCore + "/ZRVK/self", mediaCore + "/ZRVK"));
    REQUIRE(makeLink(mediaCore + "/Loop A/to B", mediaCore + "/Loop B"));
    REQUIRE(makeLink(mediaCore + "/Loop B/to A", mediaCore + "/Loop A"));
    // Listed before the folder it leads to: the plug-in still counts as the maker's own, once.
    REQUIRE(makeLink(mediaCore + "/A link to ZRVK", mediaCore + "/ZRVK"));

    std::map<std::string, int> counts;
    bool ownGlow = false;
    for (const PluginInfo& plugin : PluginDiagnostics::collectInstalledPlugins()) {
        ++counts[plugin.file];
        if (plugin.file == "Our Glow.aex") ownGlow = plugin.own;
    }
    CHECK_EQ(counts.size(), std::size_t(2));
    CHECK_EQ(counts["Our Glow.aex"], 1);
    CHECK_EQ(counts["Their Blur.aex"], 1);
    CHECK(ownGlow);
    for (const char* link : {"/ZRVK/self", "/Loop A/to B", "/Loop B/to A", "/A link to ZRVK"}) {
        removeLink(mediaCore + link);
    }
}

// A link put in place of an .aex after the walk listed it is opened as
// itself and refused: what it leads to is not read.
ZRVK_CASE(aPluginThatIsALinkReadsAsAbsent) {
    const std::string folder = caseFolder() + "/Plug-ins";
    makeFolders(folder);
    writeFile(folder + "/Far.aex", aexFile("Far", zrvk_test::versionWord(1, 0, 0), "Far Away"));
    CHECK_EQ(PluginDiagnostics::Platform::readPlugin(folder + "/Far.aex").name, std::string("Far"));
    skipUnderWine("wine shows a Unix link to a file as the file itself");
    REQUIRE(makeLink(folder + "/Near.aex", folder + "/Far.aex"));
    const PluginInfo info = PluginDiagnostics::Platform::readPlugin(folder + "/Near.aex");
    CHECK(info.name.empty() && info.version.empty() && info.match_name.empty());
    removeLink(folder + "/Near.aex");
}
