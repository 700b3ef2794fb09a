// Replaying the recorded scripts into the real page: every script goes the
// product's way (webview_dispatch of executeJS) as one burst, then a marker
// calls back once the page has run them all.
#include "install_bench.h"

#include "bridge.h"
#include "installer_config.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

namespace bench::install {
namespace {

struct PageRun {
    webview_t w = nullptr;
    std::vector<std::pair<long long, std::string>> scripts;  // (µs offset, script)
    // Paced replay at the recorded times, then the same scripts as one burst.
    Clock::time_point pacedStart, pacedLastPosted, pacedDone, burstStart, burstDone;
    int round = 0;
    double uiSeconds = 0;  // time the UI thread spent inside executeJS
    double longestEval = 0;
    std::atomic<bool> started{false};
    std::thread poster;
};

PageRun* g_pageRun = nullptr;

void timedExecute(webview_t w, void* arg) {
    const auto t = Clock::now();
    executeJS(w, arg);
    const double took = secondsSince(t);
    g_pageRun->uiSeconds += took;
    g_pageRun->longestEval = std::max(g_pageRun->longestEval, took);
}

void postPaced(PageRun* run) {
    webview_dispatch(run->w, executeJS, new std::string("app.showPage('progress');"));
    run->pacedStart = Clock::now();
    for (const auto& s : run->scripts) {
        std::this_thread::sleep_until(run->pacedStart + std::chrono::microseconds(s.first));
        webview_dispatch(run->w, timedExecute, new std::string(s.second));
    }
    run->pacedLastPosted = Clock::now();
    webview_dispatch(run->w, executeJS, new std::string("window.benchDone();"));
}

void postBurst(PageRun* run) {
    webview_dispatch(run->w, executeJS, new std::string("app.showPage('progress');"));
    run->burstStart = Clock::now();
    for (const auto& s : run->scripts) webview_dispatch(run->w, executeJS, new std::string(s.second));
    webview_dispatch(run->w, executeJS, new std::string("window.benchDone();"));
}

void pageReady(const char* id, const char*, void* arg) {
    auto* run = static_cast<PageRun*>(arg);
    webview_return(run->w, id, 0, "{}");
    if (run->started.exchange(true)) return;
    run->poster = std::thread(postPaced, run);
}

void pageDone(const char* id, const char*, void* arg) {
    auto* run = static_cast<PageRun*>(arg);
    webview_return(run->w, id, 0, "{}");
    if (run->round++ == 0) {
        run->pacedDone = Clock::now();
        run->poster.join();
        run->poster = std::thread(postBurst, run);
        return;
    }
    run->burstDone = Clock::now();
    webview_terminate(run->w);
}

}  // namespace

int pageChildMain(const std::string& scriptsPath, const std::string& resultPath, const std::string& home) {
    // WebKit and Mesa keep caches under HOME and the XDG folders.
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    ::setenv("GSETTINGS_BACKEND", "memory", 1);
    auto* run = new PageRun;
    g_pageRun = run;
    std::ifstream in(scriptsPath);
    for (std::string line; std::getline(in, line);) {
        const std::string::size_type space = line.find(' ');
        if (space == std::string::npos) continue;
        run->scripts.emplace_back(std::atoll(line.c_str()), line.substr(space + 1));
    }
    run->w = webview_create(0, nullptr);
    if (!run->w) {
        std::cerr << "[BENCH] no window (no display?)" << std::endl;
        std::_Exit(3);
    }
    webview_set_size(run->w, 600, 520, WEBVIEW_HINT_FIXED);
    webview_bind(run->w, "benchReady", pageReady, run);
    webview_bind(run->w, "benchDone", pageDone, run);
    webview_init(run->w, "window.addEventListener('load', function () { window.benchReady(); });");
    webview_set_html(run->w, EmbeddedResources::HTML_CONTENT.c_str());
    webview_run(run->w);
    if (run->poster.joinable()) run->poster.join();
    std::ofstream out(resultPath, std::ios::trunc);
    auto span = [](Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); };
    out << "page_scripts " << run->scripts.size() << "\n"
        << "paced_seconds " << span(run->pacedStart, run->pacedLastPosted) << "\n"
        << "paced_lag " << span(run->pacedLastPosted, run->pacedDone) << "\n"
        << "burst_seconds " << span(run->burstStart, run->burstDone) << "\n"
        << "page_ui_seconds " << run->uiSeconds << "\n"
        << "page_longest_eval " << run->longestEval << "\n";
    out.close();
    std::cout.flush();
    std::_Exit(run->round == 2 && out ? 0 : 1);
}

std::map<std::string, double> readValues(const std::string& path) {
    std::ifstream in(path);
    std::string key;
    std::map<std::string, double> values;
    double v = 0;
    while (in >> key >> v) values[key] = v;
    return values;
}

}  // namespace bench::install
