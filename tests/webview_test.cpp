// The GTK web-view layer, driven through real pages under X: each test loads
// a small page that reports back through bound functions, with a watchdog so
// a fault ends the loop and fails instead of hanging.
#include "webview.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>
#include <nlohmann/json.hpp>

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <list>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using json = nlohmann::json;

// Runs before main, so before GLib caches any of these folders and before
// fontconfig reads its file (the pinned fonts of the tests that draw pages).
const bool kPrivateHome = [] {
    const std::string home = ZRVK_WEBVIEW_TEST_HOME;
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("GSETTINGS_BACKEND", "memory", 1);
    setenv("FONTCONFIG_FILE", ZRVK_TEST_FONTCONFIG_FILE, 1);
    return true;
}();
using Handler = std::function<void(const std::string& seq, const std::string& req)>;

// One web view plus the plumbing every test needs.
class Harness {
public:
    explicit Harness(int debug = 0) : w(webview_create(debug, nullptr)) {}

    ~Harness() {
        if (w != nullptr && !destroyed) {
            webview_destroy(w);
        }
        pumpPending();
    }

    void bind(const std::string& name, Handler fn) {
        entries.push_back(std::make_unique<Entry>(Entry{std::move(fn)}));
        ASSERT_EQ(webview_bind(w, name.c_str(), &Harness::trampoline, entries.back().get()), WEBVIEW_ERROR_OK);
    }

    // Binds "done": its first call ends the loop with the call's request kept.
    void bindDone() {
        bind("done", [this](const std::string& seq, const std::string& req) {
            doneReq = req;
            webview_return(w, seq.c_str(), 0, "null");
            webview_terminate(w);
        });
    }

    // Runs the loop; false when the watchdog had to end it.
    bool run(unsigned ms = 20000) {
        timedOut = false;
        const guint watchdog = g_timeout_add(ms, &Harness::onWatchdog, this);
        webview_run(w);
        if (!timedOut) {
            g_source_remove(watchdog);
        }
        return !timedOut;
    }

    // Calls fn on the UI thread every few milliseconds until it returns true.
    void poll(std::function<bool()> fn) {
        auto* f = new std::function<bool()>(std::move(fn));
        g_timeout_add_full(G_PRIORITY_DEFAULT, 20, [](gpointer p) -> gboolean {
            return (*static_cast<std::function<bool()>*>(p))() ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        }, f, [](gpointer p) { delete static_cast<std::function<bool()>*>(p); });
    }

    void destroy() {
        webview_destroy(w);
        destroyed = true;
    }

    static void pumpPending() {
        for (int i = 0; i < 1000 && gtk_events_pending(); ++i) {
            gtk_main_iteration_do(FALSE);
        }
    }

    static void pumpFor(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end) {
            while (gtk_events_pending()) {
                gtk_main_iteration_do(FALSE);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // Runs the loop until `done` holds; false when it still does not after `limit`.
    static bool pumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            pumpFor(std::chrono::milliseconds(5));
        }
        return true;
    }

    GtkWindow* window() const { return GTK_WINDOW(webview_get_window(w)); }

    webview_t w;
    bool destroyed = false;
    bool timedOut = false;
    std::string doneReq;

private:
    struct Entry {
        Handler fn;
    };

    static void trampoline(const char* seq, const char* req, void* arg) {
        static_cast<Entry*>(arg)->fn(seq, req);
    }

    static gboolean onWatchdog(gpointer data) {
        auto* self = static_cast<Harness*>(data);
        self->timedOut = true;
        webview_terminate(self->w);
        return G_SOURCE_REMOVE;
    }

    std::list<std::unique_ptr<Entry>> entries;
};

std::string page(const std::string& script) {
    return "<!doctype html><html><head><meta charset='utf-8'><script>" + script +
           "</script></head><body>test</body></html>";
}

class WebviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        h = std::make_unique<Harness>();
        ASSERT_NE(h->w, nullptr) << "no display: these tests run under Xvfb";
    }
    void TearDown() override { h.reset(); }
    std::unique_ptr<Harness> h;
};

// Captures std::cerr for the lifetime of the object.
class CerrCapture {
public:
    CerrCapture() : old(std::cerr.rdbuf(buffer.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(old); }
    std::string text() const { return buffer.str(); }

private:
    std::stringstream buffer;
    std::streambuf* old;
};

size_t countOf(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string::npos; pos = haystack.find(needle, pos + 1)) {
        ++n;
    }
    return n;
}

TEST_F(WebviewTest, AnswersResolveRejectAndReportBadJson) {
    std::vector<std::thread> workers;
    h->bind("answer", [&](const std::string& seq, const std::string& req) {
        const std::string kind = json::parse(req).at(0).get<std::string>();
        if (kind == "resolve") {
            webview_return(h->w, seq.c_str(), 0, R"({"success":true,"text":"q\"b\\ü"})");
        } else if (kind == "reject") {
            webview_return(h->w, seq.c_str(), 1, R"({"success":false,"error":"Invalid URL"})");
        } else if (kind == "otherStatus") {
            webview_return(h->w, seq.c_str(), 7, "42");
        } else if (kind == "junk") {
            webview_return(h->w, seq.c_str(), 0, "not json");
        } else if (kind == "junkReject") {
            webview_return(h->w, seq.c_str(), 1, "{broken");
        } else if (kind == "fromWorker") {
            // Answered later, from another thread.
            const std::string id = seq;
            workers.emplace_back([this, id] {
                std::this_thread::sleep_for(std::chrono::milliseconds(30));
                webview_return(h->w, id.c_str(), 0, "[1,2,3]");
            });
        }
    });
    h->bindDone();
    webview_set_html(h->w, page(R"JS(
      function outcome(p) {
        return p.then(function (v) { return { state: "resolved", value: v }; },
                      function (e) {
                        return e instanceof Error ? { state: "rejected", error: e.message }
                                                  : { state: "rejected", value: e };
                      });
      }
      var kinds = ["resolve", "reject", "otherStatus", "junk", "junkReject", "fromWorker"];
      Promise.all(kinds.map(function (k) { return outcome(window.answer(k)); })).then(done);
    )JS").c_str());

    ASSERT_TRUE(h->run());
    for (auto& t : workers) {
        t.join();
    }
    const json got = json::parse(h->doneReq).at(0);
    const json want = json::parse(R"([
      {"state":"resolved","value":{"success":true,"text":"q\"b\\ü"}},
      {"state":"rejected","value":{"success":false,"error":"Invalid URL"}},
      {"state":"rejected","value":42},
      {"state":"rejected","error":"Failed to parse binding result as JSON"},
      {"state":"rejected","error":"Failed to parse binding result as JSON"},
      {"state":"resolved","value":[1,2,3]}
    ])");
    EXPECT_EQ(got, want) << got.dump(1);
}

TEST_F(WebviewTest, RequestIsThePagesStringifyByteForByte) {
    struct Case {
        const char* args;  // JavaScript argument list
        const char* req;   // what the native side must see
    };
    const std::vector<Case> cases = {
        {"", "[]"},
        {"'plain'", R"(["plain"])"},
        {"'say \"hi\"'", R"(["say \"hi\""])"},
        {"'back\\\\slash \\\\\"'", R"(["back\\slash \\\""])"},
        {"'ünïcødé €'", u8R"(["ünïcødé €"])"},
        {"'\\uD83D\\uDE00'", u8R"(["😀"])"},
        {"'line\\nbreak\\ttab\\u0001'", R"(["line\nbreak\ttab\u0001"])"},
        {"'\\u2028\\u2029'", "[\"\xE2\x80\xA8\xE2\x80\xA9\"]"},
        {"'\\uD800'", R"(["\ud800"])"},
        {"JSON.stringify({pluginIds: ['a', 'b'], forceReinstallRenderEngine: true})",
         R"(["{\"pluginIds\":[\"a\",\"b\"],\"forceReinstallRenderEngine\":true}"])"},
        {"1, true, null, undefined, {k: [1.5, 'x']}", R"([1,true,null,null,{"k":[1.5,"x"]}])"},
    };
    std::vector<std::string> seen;
    h->bind("echo", [&](const std::string& seq, const std::string& req) {
        seen.push_back(req);
        webview_return(h->w, seq.c_str(), 0, "null");
    });
    h->bindDone();
    std::string script = "var own = [];\n";
    for (const Case& c : cases) {
        script += "own.push(JSON.stringify([" + std::string(c.args) + "])); echo(" + c.args + ");\n";
    }
    script += "done(own);\n";
    webview_set_html(h->w, page(script).c_str());

    ASSERT_TRUE(h->run());
    ASSERT_EQ(seen.size(), cases.size());
    const json own = json::parse(h->doneReq).at(0);
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(seen[i], cases[i].req) << "arguments: " << cases[i].args;
        EXPECT_EQ(seen[i], own.at(i).get<std::string>()) << "arguments: " << cases[i].args;
    }
}

TEST_F(WebviewTest, InitScriptsAndBindingsReachEveryLaterPage) {
    std::vector<json> reports;
    webview_init(h->w, "window.__order = (window.__order || []).concat(['init']);");
    h->bind("report", [&](const std::string& seq, const std::string& req) {
        webview_return(h->w, seq.c_str(), 0, "null");
        reports.push_back(json::parse(req).at(0));
        if (reports.size() == 1) {
            // Bound while the page is shown: usable at once, and in later pages.
            h->bind("late", [&](const std::string& lateSeq, const std::string&) {
                webview_return(h->w, lateSeq.c_str(), 0, "\"late-ok\"");
            });
            webview_eval(h->w, "late().then(function (v) { report({ late: v }); });");
        } else if (reports.size() == 2) {
            webview_init(h->w, "window.__order.push('init2');");
            webview_set_html(h->w, page("report({ order: window.__order, late: typeof window.late,"
                                        " report: typeof window.report });").c_str());
        } else {
            webview_terminate(h->w);
        }
    });
    // The page's first script sees what the init script set.
    webview_set_html(h->w, page("report({ order: window.__order, origin: window.origin,"
                                " href: location.href });").c_str());

    ASSERT_TRUE(h->run());
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[0], json::parse(R"({"order":["init"],"origin":"null","href":"about:blank"})"));
    EXPECT_EQ(reports[1], json::parse(R"({"late":"late-ok"})"));
    EXPECT_EQ(reports[2], json::parse(R"({"order":["init","init2"],"late":"function","report":"function"})"));
}

struct Posted {
    int seq;
    std::vector<int>* arrived;
    std::atomic<bool>* offUiThread;
    std::thread::id ui;
};

TEST_F(WebviewTest, DispatchRunsOnTheUiThreadInPostingOrder) {
    static constexpr int kThreads = 6;
    static constexpr int kPerThread = 300;
    std::vector<int> arrived;
    std::atomic<bool> offUiThread{false};
    const std::thread::id ui = std::this_thread::get_id();
    std::mutex postingOrder;  // makes the global posting order observable
    int next = 0;

    std::atomic<bool> go{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kPerThread; ++i) {
                std::lock_guard<std::mutex> lock(postingOrder);
                auto* p = new Posted{next++, &arrived, &offUiThread, ui};
                webview_dispatch(h->w, [](webview_t w, void* arg) {
                    std::unique_ptr<Posted> p(static_cast<Posted*>(arg));
                    if (std::this_thread::get_id() != p->ui) {
                        p->offUiThread->store(true);
                    }
                    p->arrived->push_back(p->seq);
                    if (p->arrived->size() == kThreads * kPerThread) {
                        webview_terminate(w);
                    }
                }, p);
            }
        });
    }
    go = true;
    const bool ended = h->run();
    for (auto& t : posters) {
        t.join();
    }
    ASSERT_TRUE(ended);
    ASSERT_EQ(arrived.size(), static_cast<size_t>(kThreads * kPerThread));
    for (size_t i = 0; i < arrived.size(); ++i) {
        ASSERT_EQ(arrived[i], static_cast<int>(i)) << "task out of posting order";
    }
    EXPECT_FALSE(offUiThread.load());
}

// Posting on the UI thread, from a task or from a bound call, never runs the
// task inside the posting call.
TEST_F(WebviewTest, DispatchNeverRunsInsideThePostingCall) {
    static bool insidePost = false;
    static std::vector<std::string> log;
    log.clear();
    auto postChecked = [](webview_t w, const char* label) {
        insidePost = true;
        webview_dispatch(w, [](webview_t, void* arg) {
            log.push_back(std::string(static_cast<const char*>(arg)) + (insidePost ? ":inside" : ":later"));
        }, const_cast<char*>(label));
        insidePost = false;
    };
    h->bind("ping", [&](const std::string& seq, const std::string&) {
        log.push_back("bound call");
        postChecked(h->w, "from bound call");
        log.push_back("bound call returns");
        webview_return(h->w, seq.c_str(), 0, "null");
    });
    h->bindDone();
    webview_set_html(h->w, page("ping().then(function () { done(); });").c_str());
    webview_dispatch(h->w, [](webview_t w, void* arg) {
        log.push_back("task");
        (*static_cast<decltype(postChecked)*>(arg))(w, "from task");
        log.push_back("task returns");
    }, &postChecked);
    EXPECT_TRUE(log.empty()) << "ran inside webview_dispatch";

    ASSERT_TRUE(h->run());
    Harness::pumpUntil([] { return log.size() >= 6; });
    ASSERT_EQ(log.size(), 6u);
    auto at = [&](const std::string& entry) {
        return std::find(log.begin(), log.end(), entry) - log.begin();
    };
    for (const char* origin : {"task", "bound call"}) {
        const std::string o = origin;
        EXPECT_LT(at(o), at(o + " returns"));
        EXPECT_LT(at(o + " returns"), at("from " + o + ":later")) << "posted task ran inside its poster";
    }
}

TEST_F(WebviewTest, CallsAfterDestroyAreHarmlessNoOps) {
    std::atomic<int> ran{0};
    auto count = [](webview_t, void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); };
    bool bound = false;
    h->bind("never", [&](const std::string&, const std::string&) { bound = true; });
    webview_set_html(h->w, page("").c_str());

    // A worker keeps posting and answering across the destroy.
    std::atomic<bool> stop{false};
    std::atomic<int> posted{0};
    std::thread worker([&] {
        while (!stop.load()) {
            if (webview_dispatch(h->w, count, &ran) == WEBVIEW_ERROR_OK) {
                posted.fetch_add(1);
            }
            webview_return(h->w, "1", 0, "null");
            webview_terminate(h->w);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    // The worker's tasks are running when the destroy comes.
    EXPECT_TRUE(Harness::pumpUntil([&] { return posted.load() > 0 && ran.load() > 0; }));
    for (int i = 0; i < 10; ++i) {
        webview_dispatch(h->w, count, &ran);  // queued, never run
    }
    h->destroy();
    const int ranAtDestroy = ran.load();
    Harness::pumpFor(std::chrono::milliseconds(200));
    stop = true;
    worker.join();
    Harness::pumpFor(std::chrono::milliseconds(50));

    EXPECT_GT(posted.load(), 0);
    EXPECT_EQ(ran.load(), ranAtDestroy) << "a task ran after destroy";
    EXPECT_NE(webview_dispatch(h->w, count, &ran), WEBVIEW_ERROR_OK);
    EXPECT_NE(webview_return(h->w, "1", 0, "null"), WEBVIEW_ERROR_OK);
    webview_terminate(h->w);
    webview_set_title(h->w, "gone");
    webview_set_size(h->w, 600, 520, WEBVIEW_HINT_FIXED);
    webview_bind(h->w, "x", [](const char*, const char*, void*) {}, nullptr);
    webview_unbind(h->w, "never");
    webview_init(h->w, "1");
    webview_eval(h->w, "1");
    webview_set_html(h->w, "<p>gone</p>");
    webview_navigate(h->w, "about:blank");
    EXPECT_EQ(webview_get_window(h->w), nullptr);
    EXPECT_NE(webview_run(h->w), WEBVIEW_ERROR_OK);  // returns at once
    EXPECT_NE(webview_destroy(h->w), WEBVIEW_ERROR_OK);
    Harness::pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(ran.load(), ranAtDestroy);
    EXPECT_FALSE(bound);
}

struct SizeCase {
    webview_hint_t hint;
    bool resizable;
    const char* name;
};

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class WebviewSizeTest : public WebviewTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(WebviewSizeTest, HintSetsResizabilityAndViewport) {
    const SizeCase c = GetParam();
    std::vector<std::pair<int, int>> viewports;
    bool askedToGrow = false;
    h->bind("report", [&](const std::string& seq, const std::string& req) {
        webview_return(h->w, seq.c_str(), 0, "null");
        const json v = json::parse(req);
        viewports.emplace_back(v.at(0).get<int>(), v.at(1).get<int>());
        if (viewports.back() == std::make_pair(600, 520) && !askedToGrow) {
            askedToGrow = true;
            gtk_window_resize(h->window(), 700, 580);
            // A resizable window reports the new viewport; a fixed one must not move.
            g_timeout_add(c.resizable ? 10000 : 700, [](gpointer w) -> gboolean {
                webview_terminate(w);
                return G_SOURCE_REMOVE;
            }, h->w);
        } else if (viewports.back() == std::make_pair(700, 580)) {
            webview_terminate(h->w);
        }
    });
    webview_set_title(h->w, "size test");
    webview_set_size(h->w, 600, 520, c.hint);
    webview_set_html(h->w, page("function r() { report(innerWidth, innerHeight); }"
                                " addEventListener('resize', r); addEventListener('load', r);").c_str());

    ASSERT_TRUE(h->run());
    EXPECT_EQ(gtk_window_get_resizable(h->window()) != FALSE, c.resizable);
    ASSERT_FALSE(viewports.empty());
    EXPECT_TRUE(askedToGrow) << "viewport never was 600x520, last " << viewports.back().first << "x"
                             << viewports.back().second;
    if (c.resizable) {
        EXPECT_EQ(viewports.back(), std::make_pair(700, 580));
    } else {
        EXPECT_EQ(viewports.back(), std::make_pair(600, 520));
        int width = 0;
        int height = 0;
        gtk_window_get_size(h->window(), &width, &height);
        EXPECT_EQ(width, 600);
        EXPECT_EQ(height, 520);
    }
}

INSTANTIATE_TEST_SUITE_P(Hints, WebviewSizeTest,
                         ::testing::Values(SizeCase{WEBVIEW_HINT_FIXED, false, "Fixed"},
                                           SizeCase{WEBVIEW_HINT_NONE, true, "None"}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

TEST_F(WebviewTest, TerminateInsideABoundCallEndsTheLoop) {
    bool returned = false;
    h->bind("quit", [&](const std::string& seq, const std::string&) {
        webview_terminate(h->w);
        webview_return(h->w, seq.c_str(), 0, "{\"success\":true}");
        returned = true;
    });
    webview_set_html(h->w, page("quit();").c_str());
    ASSERT_TRUE(h->run());
    EXPECT_TRUE(returned);
}

TEST_F(WebviewTest, TerminateFromAWorkerWakesAnIdleLoop) {
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        webview_terminate(h->w);
    });
    const bool ended = h->run();
    worker.join();
    ASSERT_TRUE(ended);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
}

TEST_F(WebviewTest, ClosingTheWindowEndsTheLoop) {
    h->bind("loaded", [&](const std::string& seq, const std::string&) {
        webview_return(h->w, seq.c_str(), 0, "null");
        // As the window manager's close button would.
        webview_dispatch(h->w, [](webview_t w, void*) { gtk_window_close(GTK_WINDOW(webview_get_window(w))); },
                         nullptr);
    });
    webview_set_html(h->w, page("loaded();").c_str());
    ASSERT_TRUE(h->run());
    EXPECT_NE(webview_get_window(h->w), nullptr) << "the window stays until webview_destroy";
}

TEST_F(WebviewTest, FailedScriptsAreLoggedAndGoodOnesAreNot) {
    CerrCapture cerr;
    const std::string tag = "[WEBVIEW] Script failed: ";
    h->bind("loaded", [&](const std::string& seq, const std::string&) {
        webview_return(h->w, seq.c_str(), 0, "null");
        webview_eval(h->w, "throw new Error('boom-1');");
        webview_eval(h->w, "this is (not js");
        webview_eval(h->w, "window.fn = function () {}");  // a value that cannot be returned
        webview_eval(h->w, "Promise.resolve(1)");
        webview_eval(h->w, "var x = 1; // ends in a comment");
        webview_eval(h->w, "window.nowhere.call()");
        h->poll([&] {
            if (countOf(cerr.text(), tag) >= 3) {
                webview_terminate(h->w);
                return true;
            }
            return false;
        });
    });
    webview_set_html(h->w, page("loaded();").c_str());
    ASSERT_TRUE(h->run());
    Harness::pumpFor(std::chrono::milliseconds(200));  // no further lines may follow
    const std::string log = cerr.text();
    EXPECT_EQ(countOf(log, tag), 3u) << log;
    EXPECT_NE(log.find("boom-1"), std::string::npos) << log;
    EXPECT_NE(log.find("SyntaxError"), std::string::npos) << log;
    EXPECT_NE(log.find("TypeError"), std::string::npos) << log;
}

TEST(WebviewDebug, DebugTurnsOnDeveloperExtras) {
    for (int debug : {0, 1}) {
        Harness h(debug);
        ASSERT_NE(h.w, nullptr);
        GtkWidget* child = gtk_bin_get_child(GTK_BIN(h.window()));
        ASSERT_TRUE(WEBKIT_IS_WEB_VIEW(child));
        WebKitSettings* settings = webkit_web_view_get_settings(WEBKIT_WEB_VIEW(child));
        EXPECT_EQ(webkit_settings_get_enable_developer_extras(settings) != FALSE, debug != 0);
    }
}

// Without a display no window can be made. Runs itself again in a child
// that can reach no display server.
TEST(WebviewNoDisplay, CreateReturnsNull) {
    if (std::getenv("ZRVK_WEBVIEW_NO_DISPLAY_CHILD") != nullptr) {
        EXPECT_EQ(webview_create(0, nullptr), nullptr);
        return;
    }
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "WAYLAND_SOCKET" &&
            name != "XDG_RUNTIME_DIR" && name != "GDK_BACKEND") {
            env.push_back(entry);
        }
    }
    env.push_back("ZRVK_WEBVIEW_NO_DISPLAY_CHILD=1");
    std::vector<char*> envp;
    for (auto& s : env) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe";
    std::string filter = "--gtest_filter=WebviewNoDisplay.CreateReturnsNull";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
