// The benchmark's catalogue: its archives, their manifest and their routes
// on the loopback server.
#include "install_bench.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace bench::install {

using zrvk::test::LoopbackServer;
using zrvk::test::Response;

namespace {

bool splitFile(const std::string& path, int parts, std::vector<std::string>& out, std::string& error) {
    const std::string data = readAll(path);
    if (data.empty()) {
        error = "cannot read " + path;
        return false;
    }
    const std::size_t slice = data.size() / static_cast<std::size_t>(parts) + 1;
    for (int i = 0; i < parts; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), ".%03d", i);
        const std::size_t from = std::min(data.size(), slice * static_cast<std::size_t>(i));
        const std::size_t to = std::min(data.size(), from + slice);
        const std::string partPath = path + suffix;
        if (!writeAll(partPath, data.substr(from, to - from))) {
            error = "cannot write " + partPath;
            return false;
        }
        out.push_back(partPath);
    }
    return ::unlink(path.c_str()) == 0 || (error = "cannot remove " + path, false);
}

}  // namespace

void catalogueNames(const std::string& dir, int files, Catalogue& cat) {
    cat.dir = dir;
    cat.engineParts.clear();
    cat.engineBytes = 0;
    for (int i = 0; i < 3; ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), ".%03d", i);
        cat.engineParts.push_back(dir + "/render_engine_v3.zip" + suffix);
        cat.engineBytes += fileSize(cat.engineParts.back());
    }
    cat.engineEntries = renderEngineTree(1, files).size();
    cat.server = dir + "/mrv_server_1.4.2.zip";
    cat.glowAdobe = dir + "/zrvk_glow_adobe.zip";
    cat.glowMrv = dir + "/zrvk_glow_mrv.zip";
    cat.blurMrv = dir + "/zrvk_blur_mrv.zip";
    cat.blurExtra = dir + "/zrvk_blur_extra.zip";
}

bool buildCatalogue(const std::string& dir, std::uint64_t engineBytes, int files, Catalogue& cat, std::string& error) {
    cat.dir = dir;
    if (!makeDirs(dir)) {
        error = "cannot create " + dir;
        return false;
    }
    const std::string engine = dir + "/render_engine_v3.zip";
    const std::vector<Entry> tree = renderEngineTree(engineBytes, files);
    cat.engineEntries = tree.size();
    if (!writeArchive(engine, tree, error)) return false;
    cat.engineBytes = fileSize(engine);
    if (!splitFile(engine, 3, cat.engineParts, error)) return false;

    cat.server = dir + "/mrv_server_1.4.2.zip";
    cat.glowAdobe = dir + "/zrvk_glow_adobe.zip";
    cat.glowMrv = dir + "/zrvk_glow_mrv.zip";
    cat.blurMrv = dir + "/zrvk_blur_mrv.zip";
    cat.blurExtra = dir + "/zrvk_blur_extra.zip";
    return writeArchive(cat.server, smallTree("", 150, 3u << 20, 7), error) &&
           writeArchive(cat.glowAdobe,
                        smallTree("zrvk_glow.plugin/Contents/Resources/", 3, 20000, 11,
                                  {{"zrvk_glow.plugin/Contents/MacOS/zrvk_glow", 1500000}}),
                        error) &&
           writeArchive(cat.glowMrv, smallTree("", 20, 200000, 13, {{"models/glow.bin", 4u << 20}}), error) &&
           writeArchive(cat.blurMrv, smallTree("", 20, 200000, 17, {{"models/blur.bin", 3u << 20}}), error) &&
           writeArchive(cat.blurExtra, smallTree("", 10, 100000, 19, {{"extra/lut.bin", 1u << 20}}), error);
}

std::string manifestFor(const std::string& base) {
    nlohmann::json m;
    m["latest_render_engine_mac_x64_version"] = std::stoi(ENGINE_VERSION);
    m["latest_render_engine_mac_x64_url"] = base + "/engine/render_engine_v{number}.zip";
    m["latest_mrv_server_version_mac"] = SERVER_VERSION;
    m["mrv_server_mac_url"] = base + "/server/mrv_server_{text}.zip";
    m["plugins"] = nlohmann::json::array(
        {{{"id", "zrvk_glow"},
          {"name", "Glow"},
          {"adobe_plugin_mac_url", base + "/plugins/zrvk_glow_adobe.zip"},
          {"mrv_plugin_mac_url", base + "/plugins/zrvk_glow_mrv.zip"}},
         {{"id", "zrvk_blur"},
          {"name", "Blur"},
          {"mrv_plugin_mac_url", base + "/plugins/zrvk_blur_mrv.zip"},
          {"additional_files_url", base + "/plugins/zrvk_blur_extra.zip"}}});
    return m.dump(2);
}

void serveCatalogue(LoopbackServer& server, const Catalogue& cat) {
    for (std::size_t i = 0; i < cat.engineParts.size(); ++i) {
        char suffix[8];
        std::snprintf(suffix, sizeof(suffix), ".%03d", static_cast<int>(i % 1000));
        server.route("GET", std::string("/engine/render_engine_v3.zip") + suffix, Response::file(cat.engineParts[i]));
    }
    server.route("GET", "/server/mrv_server_1.4.2.zip", Response::file(cat.server));
    server.route("GET", "/plugins/zrvk_glow_adobe.zip", Response::file(cat.glowAdobe));
    server.route("GET", "/plugins/zrvk_glow_mrv.zip", Response::file(cat.glowMrv));
    server.route("GET", "/plugins/zrvk_blur_mrv.zip", Response::file(cat.blurMrv));
    server.route("GET", "/plugins/zrvk_blur_extra.zip", Response::file(cat.blurExtra));
}

}  // namespace bench::install
