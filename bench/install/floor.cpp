// The floor: the benchmark's installation done with curl, cat, unzip and the
// same copy chains the installer runs.
#include "install_bench.h"

#include "installer_config.h"

#include <unistd.h>

namespace bench::install {

std::string rerooted(const std::string& path, const std::string& root) {
    const std::string& prefix = InstallerConfig::ROOT_PREFIX;
    return root + (path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path);
}

namespace {

std::string ownerText() { return std::to_string(::getuid()) + ":" + std::to_string(::getgid()); }

}  // namespace

bool runFloor(const std::string& base, const std::string& root, const std::string& memFile,
              std::vector<Timed>& phases, std::string& error) {
    using namespace InstallerConfig::Paths;
    const std::string tmp = root + "/tmp/floor";
    auto step = [&](const std::string& name, const std::vector<std::string>& commands) {
        const auto start = Clock::now();
        for (const std::string& c : commands) {
            const std::string wrapped =
                memFile.empty() ? c : "/usr/bin/time -f %M -a -o " + shellQuote(memFile) + " sh -c " + shellQuote(c);
            if (run(wrapped) != 0) {
                error = "floor command failed: " + c;
                return false;
            }
        }
        phases.push_back({name, secondsSince(start)});
        return true;
    };
    auto sq = shellQuote;
    const std::string owner = ownerText();
    auto moveChain = [&](const std::string& staged, const std::string& dest) {
        return std::vector<std::string>{"mkdir -p " + sq(dest), "rm -rf " + sq(dest),
                                        "cp -R " + sq(staged) + " " + sq(dest), "chown -R " + owner + " " + sq(dest),
                                        "chmod -R 755 " + sq(dest), "rm -rf " + sq(staged)};
    };
    auto mergeChain = [&](const std::string& staged, const std::string& dest, const std::string& owned) {
        return std::vector<std::string>{"mkdir -p " + sq(dest), "cp -R " + sq(staged) + "/* " + sq(dest + "/"),
                                        "chown -R " + owner + " " + sq(owned), "chmod -R 755 " + sq(owned),
                                        "rm -rf " + sq(staged)};
    };
    auto fetchExtract = [&](const std::string& url, const std::string& staged) {
        const std::string zip = tmp + "/download.zip";
        return std::vector<std::string>{"curl -s -o " + sq(zip) + " " + sq(url), "unzip -q " + sq(zip) + " -d " + sq(staged),
                                        "rm -f " + sq(zip)};
    };
    if (!makeDirs(tmp)) {
        error = "cannot create " + tmp;
        return false;
    }
    const std::string engineStage = tmp + "/render_engine";
    const std::string engineDest = rerooted(RENDER_ENGINE_DIR, root);
    const std::string parts = sq(tmp + "/part_0") + " " + sq(tmp + "/part_1") + " " + sq(tmp + "/part_2");
    std::vector<std::string> downloads;
    for (int i = 0; i < 3; ++i) {
        downloads.push_back("curl -s -o " + sq(tmp + "/part_" + std::to_string(i)) + " " +
                            sq(base + "/engine/render_engine_v3.zip.00" + std::to_string(i)));
    }
    if (!step("engine: download 3 parts", downloads) ||
        !step("engine: join (cat)", {"cat " + parts + " > " + sq(tmp + "/combined.zip"), "rm -f " + parts}) ||
        !step("engine: extract (unzip)",
              {"unzip -q " + sq(tmp + "/combined.zip") + " -d " + sq(engineStage), "rm -f " + sq(tmp + "/combined.zip"),
               "printf %s " + std::string(ENGINE_VERSION) + " > " + sq(engineStage + "/version.txt")}) ||
        !step("engine: place (cp/chown/chmod)", moveChain(engineStage, engineDest))) {
        return false;
    }

    const std::string serverStage = tmp + "/mrv_server";
    const std::string baseDir = rerooted(MRV_BASE_DIR, root);
    const std::string crash = rerooted(CRASH_REPORTS_DIR, root);
    std::vector<std::string> server = fetchExtract(base + "/server/mrv_server_1.4.2.zip", serverStage);
    server.push_back("printf %s " + std::string(SERVER_VERSION) + " > " + sq(serverStage + "/version.txt"));
    server.push_back("mkdir -p " + sq(baseDir));
    server.push_back("chmod 777 " + sq(baseDir));
    for (const std::string& c : moveChain(serverStage, rerooted(MRV_SERVER_DIR, root))) server.push_back(c);
    server.push_back("mkdir -p " + sq(crash));
    server.push_back("chmod 777 " + sq(crash));
    if (!step("server", server)) return false;

    const std::string pluginsDir = rerooted(PLUGINS_DIR, root);
    const std::string mrvPlugins = rerooted(MRV_PLUGINS_DIR, root);
    std::vector<std::string> plugins;
    auto append = [&](const std::vector<std::string>& more) { plugins.insert(plugins.end(), more.begin(), more.end()); };
    append(fetchExtract(base + "/plugins/zrvk_glow_adobe.zip", tmp + "/adobe_glow"));
    plugins.push_back("rm -rf " + sq(pluginsDir + "/zrvk_glow.plugin"));
    append(mergeChain(tmp + "/adobe_glow", pluginsDir, pluginsDir + "/zrvk_glow.plugin"));
    append(fetchExtract(base + "/plugins/zrvk_glow_mrv.zip", tmp + "/mrv_glow"));
    append(moveChain(tmp + "/mrv_glow", mrvPlugins + "/zrvk_glow"));
    append(fetchExtract(base + "/plugins/zrvk_blur_mrv.zip", tmp + "/mrv_blur"));
    append(moveChain(tmp + "/mrv_blur", mrvPlugins + "/zrvk_blur"));
    append(fetchExtract(base + "/plugins/zrvk_blur_extra.zip", tmp + "/extra_blur"));
    append(mergeChain(tmp + "/extra_blur", mrvPlugins + "/zrvk_blur", mrvPlugins + "/zrvk_blur"));
    return step("plugins", plugins);
}

}  // namespace bench::install
