// The demo catalogue generator: its manifest parses and has the keys the
// installer and the page read, every address in it names a file it wrote,
// the render-engine parts join into a ZIP with a runnable bin/MORVANE Server,
// and the server package really starts the way the installer starts it.
#include "installer_config.h"
#include "installer_utils.h"
#include "plugin_diagnostics.h"
#include "support/child_process.h"
#include "support/test_paths.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zip.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

using json = nlohmann::json;
using zrvk_test::readFile;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kGenerator = ZRVK_CATALOGUE_GENERATOR;
const std::string kWork = ZRVK_CATALOGUE_WORK_DIR;
const int kPort = 40123;
const std::size_t kPartSize = 50000;
const std::string kOrigin = "http://127.0.0.1:" + std::to_string(kPort);

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

struct Entry {
    std::string data;
    std::uint32_t mode = 0;  // Unix mode from the external attributes
};

// Every entry of an archive, read to its end so libzip checks each CRC.
bool readZip(const std::string& path, std::map<std::string, Entry>& entries, std::string& error) {
    int code = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &code);
    if (!archive) {
        error = "cannot open " + path + " (libzip error " + std::to_string(code) + ")";
        return false;
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_stat_index(archive, i, ZIP_FL_ENC_RAW, &st) != 0 ||
            zip_file_get_external_attributes(archive, i, 0, &system, &attributes) != 0) {
            error = "cannot stat entry " + std::to_string(i);
            zip_discard(archive);
            return false;
        }
        Entry entry;
        entry.mode = attributes >> 16;
        zip_file_t* file = zip_fopen_index(archive, i, 0);
        if (!file) {
            error = std::string("cannot open entry ") + st.name;
            zip_discard(archive);
            return false;
        }
        char buffer[65536];
        zip_int64_t n;
        while ((n = zip_fread(file, buffer, sizeof buffer)) > 0) entry.data.append(buffer, static_cast<std::size_t>(n));
        if (n < 0 || zip_fclose(file) != 0) {
            error = std::string("bad data in entry ") + st.name;
            zip_discard(archive);
            return false;
        }
        entries[st.name] = entry;
    }
    zip_discard(archive);
    return true;
}

// Unpacks an archive the way the installer lays it out, keeping modes.
bool unpack(const std::string& archive, const std::string& dest, std::string& error) {
    std::map<std::string, Entry> entries;
    if (!readZip(archive, entries, error)) return false;
    for (const auto& [name, entry] : entries) {
        const fs::path target = fs::path(dest) / name;
        if (!name.empty() && name.back() == '/') {
            fs::create_directories(target);
            continue;
        }
        fs::create_directories(target.parent_path());
        std::ofstream(target, std::ios::binary) << entry.data;
        chmod(target.c_str(), entry.mode & 07777);
    }
    return true;
}

// Strings anywhere in a JSON value, with their key paths.
void collectStrings(const json& value, const std::string& path, std::vector<std::pair<std::string, std::string>>& out) {
    if (value.is_string()) {
        out.emplace_back(path, value.get<std::string>());
    } else if (value.is_object()) {
        for (const auto& [key, item] : value.items()) collectStrings(item, path + "." + key, out);
    } else if (value.is_array()) {
        for (std::size_t i = 0; i < value.size(); ++i) collectStrings(value[i], path + "[" + std::to_string(i) + "]", out);
    }
}

std::string replaceFirst(std::string text, const std::string& what, const std::string& with) {
    const auto at = text.find(what);
    if (at != std::string::npos) text.replace(at, what.size(), with);
    return text;
}

std::string partPath(const std::string& file, int index) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%03d", index);
    return file + suffix;
}

size_t collect(void* data, size_t size, size_t nmemb, void* userp) {
    static_cast<std::string*>(userp)->append(static_cast<char*>(data), size * nmemb);
    return size * nmemb;
}

bool httpGet(const std::string& url, std::string& body) {
    CURL* curl = curl_easy_init();
    if (!curl) return false;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    long status = 0;
    const bool ok = curl_easy_perform(curl) == CURLE_OK &&
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_easy_cleanup(curl);
    return ok;
}

class DemoCatalogue : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fs::create_directories(kWork);
        generated_ = zrvk_test::run("timeout 60 python3 " + quote(kGenerator) + " --out " + quote(out()) + " --port " +
                                    std::to_string(kPort) + " --part-size " + std::to_string(kPartSize) +
                                    " --server-lifetime 60 --mediacore " + quote(mediaCore()) + " > " + quote(kWork + "/generator.log") + " 2>&1") == 0;
        if (generated_) {
            try {
                manifest_ = json::parse(readFile(out() + "/manifest.json"));
            } catch (const std::exception& e) {
                parseError_ = e.what();
            }
        }
    }

    void SetUp() override {
        ASSERT_TRUE(generated_) << readFile(kWork + "/generator.log");
        ASSERT_TRUE(parseError_.empty()) << parseError_;
        ASSERT_TRUE(manifest_.is_object());
    }

    static std::string out() { return kWork + "/catalogue"; }
    static std::string mediaCore() { return kWork + "/MediaCore"; }

    // The file behind a catalogue address ("" when it is not on the catalogue's origin).
    static std::string fileOf(const std::string& url) {
        if (url.rfind(kOrigin + "/", 0) != 0) return "";
        std::string path = url.substr(kOrigin.size());
        path = path.substr(0, path.find_first_of("?#"));
        if (path.back() == '/') path += "index.html";
        return out() + path;
    }

    static std::string engineVersion() { return std::to_string(manifest_.at("latest_render_engine_mac_x64_version").get<int>()); }

    static bool generated_;
    static std::string parseError_;
    static json manifest_;
};

bool DemoCatalogue::generated_ = false;
std::string DemoCatalogue::parseError_;
json DemoCatalogue::manifest_;

TEST_F(DemoCatalogue, ManifestHasTheKeysTheInstallerAndThePageRead) {
    ASSERT_TRUE(manifest_.at("latest_render_engine_mac_x64_version").is_number_integer());
    for (const char* key : {"latest_render_engine_mac_x64_url", "latest_render_engine_mac_x64_github_url"}) {
        ASSERT_TRUE(manifest_.at(key).is_string()) << key;
        EXPECT_NE(manifest_[key].get<std::string>().find("{number}"), std::string::npos) << key;
    }
    EXPECT_NE(manifest_["latest_render_engine_mac_x64_url"].get<std::string>().find("/huggingface.co/"), std::string::npos);
    EXPECT_NE(manifest_["latest_render_engine_mac_x64_github_url"].get<std::string>().find("/github.com/"), std::string::npos);
    ASSERT_TRUE(manifest_.at("latest_mrv_server_version_mac").is_string());
    EXPECT_NE(manifest_.at("mrv_server_mac_url").get<std::string>().find("{text}"), std::string::npos);

    const json& plugins = manifest_.at("plugins");
    ASSERT_TRUE(plugins.is_array());
    ASSERT_GE(plugins.size(), 2u);
    for (const json& p : plugins) {
        for (const char* key : {"id", "name", "description", "learn_more_url", "latest_version_mac",
                                "adobe_plugin_mac_url", "mrv_plugin_mac_url", "additional_files_url", "legacy_name"}) {
            ASSERT_TRUE(p.contains(key) && p[key].is_string()) << key;
        }
        const std::string id = p["id"];
        // Ids and legacy names end up in paths and shell commands.
        EXPECT_EQ(id.find_first_of("/\\\"$` "), std::string::npos) << id;
        EXPECT_EQ(p["legacy_name"].get<std::string>().find_first_of("/\\\"$` "), std::string::npos);
        EXPECT_FALSE(p["adobe_plugin_mac_url"].get<std::string>().empty()) << id;
    }
}

// One manifest serves both programs. The Linux page is no Mac: it shows and
// compares the Windows versions, so without them the installed render engine
// never reads as current and is downloaded again on every run.
TEST_F(DemoCatalogue, WindowsKeysCarryTheValuesOfTheMacOsKeys) {
    const std::pair<const char*, const char*> top[] = {
        {"latest_render_engine_mac_x64_version", "latest_render_engine_win_version"},
        {"latest_render_engine_mac_x64_url", "latest_render_engine_win_url"},
        {"latest_render_engine_mac_x64_github_url", "latest_render_engine_win_github_url"},
        {"latest_mrv_server_version_mac", "latest_mrv_server_version_win"},
        {"mrv_server_mac_url", "mrv_server_win_url"},
    };
    for (const auto& [mac, win] : top) {
        ASSERT_TRUE(manifest_.contains(win)) << win;
        EXPECT_EQ(manifest_[win], manifest_.at(mac)) << win;
    }
    const std::pair<const char*, const char*> perPlugin[] = {
        {"latest_version_mac", "latest_version_win"},
        {"adobe_plugin_mac_url", "adobe_plugin_win_url"},
        {"mrv_plugin_mac_url", "mrv_plugin_win_url"},
    };
    for (const json& p : manifest_.at("plugins")) {
        for (const auto& [mac, win] : perPlugin) {
            ASSERT_TRUE(p.contains(win)) << p["id"] << " " << win;
            EXPECT_EQ(p[win], p.at(mac)) << p["id"] << " " << win;
        }
    }
}

TEST_F(DemoCatalogue, EveryAddressNamesAFileItWrote) {
    std::vector<std::pair<std::string, std::string>> strings;
    collectStrings(manifest_, "", strings);
    const std::string serverVersion = manifest_["latest_mrv_server_version_mac"];
    std::size_t addresses = 0;
    for (const auto& [key, value] : strings) {
        if (value.rfind("http", 0) != 0) continue;
        ++addresses;
        const std::string url = replaceFirst(replaceFirst(value, "{number}", engineVersion()), "{text}", serverVersion);
        const std::string file = fileOf(url);
        ASSERT_FALSE(file.empty()) << key << " is not on the catalogue's origin: " << value;
        EXPECT_TRUE(fs::is_regular_file(file) || fs::is_regular_file(partPath(file, 0))) << key << ": " << file;
    }
    EXPECT_GE(addresses, 10u);
}

TEST_F(DemoCatalogue, RenderEnginePartsJoinIntoTheArchiveWithItsServerProgram) {
    const std::string url = replaceFirst(manifest_["latest_render_engine_mac_x64_url"], "{number}", engineVersion());
    const std::string file = fileOf(url);
    ASSERT_FALSE(fs::exists(file)) << "published only as parts";
    std::string joined;
    int count = 0;
    for (; fs::is_regular_file(partPath(file, count)); ++count) {
        const std::string part = readFile(partPath(file, count));
        if (fs::is_regular_file(partPath(file, count + 1))) {
            EXPECT_EQ(part.size(), kPartSize) << count;
        }
        joined += part;
    }
    ASSERT_GE(count, 2) << "split into several parts";
    ASSERT_LE(count, 100);
    const std::string whole = kWork + "/joined.zip";
    std::ofstream(whole, std::ios::binary) << joined;

    // The GitHub fallback holds the same archive.
    const std::string github = fileOf(replaceFirst(manifest_["latest_render_engine_mac_x64_github_url"], "{number}", engineVersion()));
    EXPECT_EQ(readFile(github), joined);

    std::map<std::string, Entry> entries;
    std::string error;
    ASSERT_TRUE(readZip(whole, entries, error)) << error;
    ASSERT_TRUE(entries.count("bin/MORVANE Server"));
    const Entry& server = entries["bin/MORVANE Server"];
    EXPECT_EQ(server.data.rfind("#!/bin/sh\n", 0), 0u);
    EXPECT_EQ(server.mode & 0111, 0111u) << "executable";
    EXPECT_TRUE(S_ISREG(server.mode));
}

TEST_F(DemoCatalogue, EveryArchiveOpensAndPluginsCarryTheirBundle) {
    std::map<std::string, Entry> entries;
    std::string error;
    const std::string serverZip =
        fileOf(replaceFirst(manifest_["mrv_server_mac_url"], "{text}", manifest_["latest_mrv_server_version_mac"]));
    ASSERT_TRUE(readZip(serverZip, entries, error)) << error;
    ASSERT_TRUE(entries.count("launcher.py"));
    EXPECT_NE(entries["launcher.py"].data.find("def launcher(show_splash=False):"), std::string::npos);

    for (const json& p : manifest_["plugins"]) {
        const std::string id = p["id"];
        entries.clear();
        ASSERT_TRUE(readZip(fileOf(p["adobe_plugin_mac_url"]), entries, error)) << error;
        EXPECT_TRUE(entries.count(id + ".plugin/Contents/Info.plist")) << id;
        for (const auto& [name, entry] : entries) EXPECT_EQ(name.rfind(id + ".plugin/", 0), 0u) << name;
        entries.clear();
        EXPECT_TRUE(readZip(fileOf(p["mrv_plugin_mac_url"]), entries, error)) << error;
        if (!p["additional_files_url"].get<std::string>().empty()) {
            entries.clear();
            EXPECT_TRUE(readZip(fileOf(p["additional_files_url"]), entries, error)) << error;
        }
    }
}

// The installer reads each bundle's name, version and match name from its
// resource file; of the other vendors' plug-ins one has resources, one has none.
TEST_F(DemoCatalogue, PluginBundlesCarryTheirProperties) {
    const std::string unpacked = kWork + "/bundles";
    fs::remove_all(unpacked);
    for (const json& p : manifest_["plugins"]) {
        const std::string id = p["id"];
        std::string error;
        ASSERT_TRUE(unpack(fileOf(p["adobe_plugin_mac_url"]), unpacked, error)) << error;
        const PluginDiagnostics::PluginInfo info = PluginDiagnostics::parsePluginMac(unpacked + "/" + id + ".plugin");
        EXPECT_EQ(info.file, id + ".plugin");
        EXPECT_EQ(info.name, p["name"]);
        EXPECT_EQ(info.version, p["latest_version_mac"]);
        EXPECT_EQ(info.match_name, "ZRVK " + p["name"].get<std::string>());
    }
    const auto lumen = PluginDiagnostics::parsePluginMac(mediaCore() + "/Northlight/Lumen Glow.plugin");
    EXPECT_EQ(lumen.name, "Lumen Glow");
    EXPECT_EQ(lumen.version, "4.2.0");
    EXPECT_EQ(lumen.match_name, "NLT Lumen Glow");
    ASSERT_TRUE(fs::is_directory(mediaCore() + "/Grainworks/Film Grain.plugin/Contents"));
    const auto grain = PluginDiagnostics::parsePluginMac(mediaCore() + "/Grainworks/Film Grain.plugin");
    EXPECT_EQ(grain.name + grain.version + grain.match_name, "");
}

// Laid out in the sandbox like an installation, the server starts through
// the installer's own launch and stop functions.
TEST_F(DemoCatalogue, ServerStartsLikeTheInstallerStartsIt) {
    namespace P = InstallerConfig::Paths;
    ASSERT_EQ(P::RENDER_ENGINE_DIR.rfind(InstallerConfig::ROOT_PREFIX + "/", 0), 0u) << "sandboxed paths only";
    ASSERT_FALSE(InstallerConfig::ROOT_PREFIX.empty());
    fs::remove_all(P::RENDER_ENGINE_DIR);
    fs::remove_all(P::MRV_SERVER_DIR);
    const std::string statusFile = P::MRV_BASE_DIR + "/server-status.json";
    fs::remove(statusFile);

    std::string error;
    const std::string engine = fileOf(replaceFirst(manifest_["latest_render_engine_mac_x64_github_url"], "{number}", engineVersion()));
    ASSERT_TRUE(unpack(engine, P::RENDER_ENGINE_DIR, error)) << error;
    const std::string serverVersion = manifest_["latest_mrv_server_version_mac"];
    ASSERT_TRUE(unpack(fileOf(replaceFirst(manifest_["mrv_server_mac_url"], "{text}", serverVersion)), P::MRV_SERVER_DIR, error))
        << error;
    std::ofstream(P::MRV_SERVER_DIR + "/version.txt") << serverVersion << "\n";

    ASSERT_TRUE(launchMRVServer());
    json status;
    zrvk_test::waitUntil([&] {
        try {
            status = json::parse(readFile(statusFile));
        } catch (const std::exception&) {
        }
        return status.is_object();
    });
    ASSERT_TRUE(status.is_object()) << "no status file " << statusFile;
    const pid_t pid = status.at("pid").get<int>();
    EXPECT_EQ(status["state"], "running");
    EXPECT_EQ(status["version"], serverVersion);
    EXPECT_EQ(readFile("/proc/" + std::to_string(pid) + "/comm"), "MORVANE Server\n") << "stoppable by its name";

    std::string page;
    EXPECT_TRUE(httpGet(status.at("url").get<std::string>(), page));
    EXPECT_NE(page.find("MORVANE Server is running"), std::string::npos) << page;

    killProcessByName(P::MRV_SERVER_PROCESS_NAME);
    // The launched server is this process's child: reap it.
    const bool gone = zrvk_test::waitUntil(
        [&] { return waitpid(pid, nullptr, WNOHANG) == pid || !fs::exists("/proc/" + std::to_string(pid)); });
    if (!gone) kill(pid, SIGKILL);
    EXPECT_TRUE(gone) << "stopped by the installer's kill";
}

}  // namespace
