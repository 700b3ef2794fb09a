// Web-view layer for the Linux build on GTK 3 and WebKitGTK 4.1 (its
// threading contract is in webview.h). The calls other threads may make
// touch nothing but the task queue and atomics.
//
// Lifetime: webview_destroy tears the window down but never frees the handle,
// so a worker that still posts after the loop ended hits a harmless no-op
// instead of freed memory. The few hundred bytes per view are the price.
#include "webview.h"

#include "system.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const kHandlerName = "__zrvk";

// Page side of the bridge, injected at document start of every page.
// Call ids carry a per-page random prefix so a late answer meant for an
// earlier page can never settle a promise of the current one.
const char* const kBridgeScript = R"JS(
(function () {
  if (window.__zrvk) { return; }
  var handler = window.webkit.messageHandlers.__zrvk;
  var stringify = JSON.stringify, parse = JSON.parse, P = Promise;
  var pending = Object.create(null);
  var prefix = Math.random().toString(36).slice(2) + Date.now().toString(36) + "-";
  var counter = 0;
  function call(name, args) {
    return new P(function (resolve, reject) {
      var id = prefix + (++counter);
      var req = stringify(args);
      pending[id] = { resolve: resolve, reject: reject };
      try {
        handler.postMessage([id, name, req]);
      } catch (e) {
        delete pending[id];
        throw e;
      }
    });
  }
  Object.defineProperty(window, "__zrvk", { value: Object.freeze({
    bind: function (name) {
      window[name] = function () { return call(name, Array.prototype.slice.call(arguments)); };
    },
    unbind: function (name) { delete window[name]; },
    reply: function (id, status, text) {
      var p = pending[id];
      if (!p) { return; }
      delete pending[id];
      var value;
      if (text !== undefined) {
        try {
          value = parse(text);
        } catch (e) {
          p.reject(new Error("Failed to parse binding result as JSON"));
          return;
        }
      }
      if (status === 0) { p.resolve(value); } else { p.reject(value); }
    }
  }) });
})();
)JS";

struct Binding {
    void (*fn)(const char* id, const char* req, void* arg);
    void* arg;
};

// A script that later pages get at document start: an init script, or the
// page side of one binding (name set).
struct PageScript {
    std::string binding;
    std::string source;
};

struct View {
    // Shared with other threads.
    std::mutex mutex;
    std::deque<std::function<void()>> queue;  // guarded by mutex
    bool drainScheduled = false;              // guarded by mutex
    std::atomic<bool> destroyed{false};
    std::atomic<bool> stop{false};

    // UI thread only.
    std::thread::id uiThread;
    GtkWidget* window = nullptr;
    bool ownWindow = true;
    WebKitWebView* webview = nullptr;
    WebKitUserContentManager* manager = nullptr;
    gulong messageHandlerId = 0;
    gulong deleteHandlerId = 0;
    gulong destroyHandlerId = 0;
    std::map<std::string, Binding> bindings;
    std::vector<PageScript> pageScripts;
};

View* asView(webview_t w) { return static_cast<View*>(w); }

// Usable for UI-thread calls: alive, with its window, and on the right thread.
bool usableOnUiThread(View* v, const char* what) {
    if (v == nullptr || v->destroyed.load() || v->webview == nullptr) {
        return false;
    }
    if (std::this_thread::get_id() != v->uiThread) {
        std::cerr << "[WEBVIEW] " << what << " called off the UI thread, ignored" << std::endl;
        return false;
    }
    return true;
}

void appendCodePoint(std::string& out, uint32_t cp) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
    out += buf;
}

// A double-quoted JavaScript string literal that always parses and yields
// the text unchanged (invalid UTF-8 becomes U+FFFD).
std::string jsString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t len = System::utf8SequenceLength(text, i, &cp);
        if (len == 0) {
            appendCodePoint(out, 0xFFFD);
            ++i;
            continue;
        }
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp < 0x20 || cp == 0x7F || cp == 0x2028 || cp == 0x2029) {
            appendCodePoint(out, cp);
        } else {
            out.append(text, i, len);
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string bindScript(const std::string& name) {
    return "window.__zrvk && window.__zrvk.bind(" + jsString(name) + ");";
}

void addUserScript(View* v, const std::string& source) {
    WebKitUserScript* script = webkit_user_script_new(
        source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME, WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
    webkit_user_content_manager_add_script(v->manager, script);
    webkit_user_script_unref(script);
}

void rebuildUserScripts(View* v) {
    webkit_user_content_manager_remove_all_scripts(v->manager);
    addUserScript(v, kBridgeScript);
    for (const PageScript& s : v->pageScripts) {
        addUserScript(v, s.source);
    }
}

void onEvalDone(GObject* source, GAsyncResult* result, gpointer) {
    GError* error = nullptr;
    JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
    if (error != nullptr) {
        std::cerr << "[WEBVIEW] Script failed: " << error->message << std::endl;
        g_error_free(error);
    }
    if (value != nullptr) {
        g_object_unref(value);
    }
}

void evalNow(View* v, const std::string& js) {
    // The trailing void 0 keeps a script whose last value is a function or a
    // promise from being reported as failed: its value is never used.
    const std::string wrapped = js + "\n;void 0;";
    webkit_web_view_evaluate_javascript(v->webview, wrapped.c_str(), static_cast<gssize>(wrapped.size()), nullptr,
                                        nullptr, nullptr, onEvalDone, nullptr);
}

gboolean drainQueue(gpointer data) {
    View* v = static_cast<View*>(data);
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard<std::mutex> lock(v->mutex);
        batch.swap(v->queue);
        v->drainScheduled = false;
    }
    for (auto& task : batch) {
        if (v->destroyed.load()) {
            break;
        }
        task();
    }
    return G_SOURCE_REMOVE;
}

// Queues a task for the UI thread. It always runs from a later main-loop
// iteration, never inside this call, and tasks keep their posting order.
webview_error_t post(View* v, std::function<void()> task) {
    std::lock_guard<std::mutex> lock(v->mutex);
    if (v->destroyed.load()) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    v->queue.push_back(std::move(task));
    if (!v->drainScheduled) {
        v->drainScheduled = true;
        GSource* source = g_idle_source_new();
        g_source_set_priority(source, G_PRIORITY_HIGH_IDLE);
        g_source_set_callback(source, drainQueue, v, nullptr);
        g_source_attach(source, nullptr);
        g_source_unref(source);
    }
    return WEBVIEW_ERROR_OK;
}

void requestStop(View* v) {
    v->stop.store(true);
    g_main_context_wakeup(nullptr);
}

std::string stringAt(JSCValue* array, guint index) {
    JSCValue* item = jsc_value_object_get_property_at_index(array, index);
    std::string text;
    if (item != nullptr && jsc_value_is_string(item)) {
        gchar* s = jsc_value_to_string(item);
        text = s;
        g_free(s);
    }
    if (item != nullptr) {
        g_object_unref(item);
    }
    return text;
}

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
    View* v = static_cast<View*>(data);
    if (v->destroyed.load()) {
        return;
    }
    JSCValue* message = webkit_javascript_result_get_js_value(result);
    if (message == nullptr || !jsc_value_is_array(message)) {
        return;
    }
    const std::string id = stringAt(message, 0);
    const std::string name = stringAt(message, 1);
    const std::string req = stringAt(message, 2);
    auto it = v->bindings.find(name);
    if (it == v->bindings.end()) {
        webview_return(v, id.c_str(), 1, "{\"error\":\"No such binding\"}");
        return;
    }
    const Binding binding = it->second;
    binding.fn(id.c_str(), req.c_str(), binding.arg);
}

gboolean onDeleteEvent(GtkWidget*, GdkEvent*, gpointer data) {
    // The window stays until webview_destroy, like the other platforms.
    requestStop(static_cast<View*>(data));
    return TRUE;
}

void onWindowDestroyed(GtkWidget*, gpointer data) {
    View* v = static_cast<View*>(data);
    v->window = nullptr;
    v->webview = nullptr;
    requestStop(v);
}

// One context for every view, so they share a web process; ephemeral so
// nothing (cookies, caches) is written to disk.
WebKitWebContext* sharedContext() {
    static WebKitWebContext* context = [] {
        WebKitWebsiteDataManager* data = webkit_website_data_manager_new_ephemeral();
        WebKitWebContext* c = webkit_web_context_new_with_website_data_manager(data);
        g_object_unref(data);
        return c;
    }();
    return context;
}

}  // namespace

extern "C" {

webview_t webview_create(int debug, void* window) {
    if (!gtk_init_check(nullptr, nullptr)) {
        return nullptr;
    }
    View* v = new View();
    v->uiThread = std::this_thread::get_id();
    v->ownWindow = (window == nullptr);
    v->window = v->ownWindow ? gtk_window_new(GTK_WINDOW_TOPLEVEL) : GTK_WIDGET(window);

    v->manager = webkit_user_content_manager_new();
    // An installer has nothing worth keeping between runs, and it must not
    // leave caches owned by an elevated user in someone's home.
    v->webview = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", sharedContext(),
                                              "user-content-manager", v->manager, nullptr));
    g_object_unref(v->manager);  // the view holds it

    v->messageHandlerId = g_signal_connect(v->manager, "script-message-received::__zrvk",
                                           G_CALLBACK(onScriptMessage), v);
    webkit_user_content_manager_register_script_message_handler(v->manager, kHandlerName);
    rebuildUserScripts(v);

    WebKitSettings* settings = webkit_web_view_get_settings(v->webview);
    if (debug) {
        webkit_settings_set_enable_developer_extras(settings, TRUE);
        webkit_settings_set_enable_write_console_messages_to_stdout(settings, TRUE);
    }

    gtk_container_add(GTK_CONTAINER(v->window), GTK_WIDGET(v->webview));
    v->deleteHandlerId = g_signal_connect(v->window, "delete-event", G_CALLBACK(onDeleteEvent), v);
    v->destroyHandlerId = g_signal_connect(v->window, "destroy", G_CALLBACK(onWindowDestroyed), v);
    gtk_widget_grab_focus(GTK_WIDGET(v->webview));
    gtk_widget_show_all(v->window);
    return v;
}

webview_error_t webview_destroy(webview_t w) {
    View* v = asView(w);
    if (v == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    if (std::this_thread::get_id() != v->uiThread) {
        std::cerr << "[WEBVIEW] webview_destroy called off the UI thread, ignored" << std::endl;
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    {
        std::lock_guard<std::mutex> lock(v->mutex);
        if (v->destroyed.load()) {
            return WEBVIEW_ERROR_INVALID_STATE;
        }
        v->destroyed.store(true);
        v->queue.clear();  // their arguments are the posters' to lose
    }
    if (v->manager != nullptr && v->webview != nullptr) {
        g_signal_handler_disconnect(v->manager, v->messageHandlerId);
        webkit_user_content_manager_unregister_script_message_handler(v->manager, kHandlerName);
    }
    if (v->window != nullptr) {
        g_signal_handler_disconnect(v->window, v->deleteHandlerId);
        g_signal_handler_disconnect(v->window, v->destroyHandlerId);
        if (v->ownWindow) {
            gtk_widget_destroy(v->window);
        } else if (v->webview != nullptr) {
            gtk_container_remove(GTK_CONTAINER(v->window), GTK_WIDGET(v->webview));
        }
    }
    v->window = nullptr;
    v->webview = nullptr;
    v->manager = nullptr;
    v->bindings.clear();
    v->pageScripts.clear();
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_run(webview_t w) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_run")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    while (!v->stop.load()) {
        gtk_main_iteration_do(TRUE);
    }
    v->stop.store(false);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_terminate(webview_t w) {
    View* v = asView(w);
    if (v == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    if (v->destroyed.load()) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    requestStop(v);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_dispatch(webview_t w, void (*fn)(webview_t w, void* arg), void* arg) {
    View* v = asView(w);
    if (v == nullptr || fn == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    return post(v, [v, fn, arg] { fn(v, arg); });
}

void* webview_get_window(webview_t w) {
    View* v = asView(w);
    if (v == nullptr || v->destroyed.load()) {
        return nullptr;
    }
    return v->window;
}

webview_error_t webview_set_title(webview_t w, const char* title) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_set_title")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (title == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    gtk_window_set_title(GTK_WINDOW(v->window), title);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_set_size(webview_t w, int width, int height, webview_hint_t hints) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_set_size")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (width <= 0 || height <= 0) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    GtkWindow* window = GTK_WINDOW(v->window);
    GtkWidget* content = GTK_WIDGET(v->webview);
    if (hints == WEBVIEW_HINT_FIXED) {
        // Fix the web view itself so the page viewport is exactly this size,
        // whatever the window's decorations take.
        gtk_window_set_geometry_hints(window, nullptr, nullptr, static_cast<GdkWindowHints>(0));
        gtk_widget_set_size_request(content, width, height);
        gtk_window_set_resizable(window, FALSE);
        gtk_window_resize(window, width, height);
        return WEBVIEW_ERROR_OK;
    }
    gtk_widget_set_size_request(content, -1, -1);
    gtk_window_set_resizable(window, TRUE);
    GdkGeometry geometry{};
    if (hints == WEBVIEW_HINT_MIN) {
        geometry.min_width = width;
        geometry.min_height = height;
        gtk_window_set_geometry_hints(window, nullptr, &geometry, GDK_HINT_MIN_SIZE);
    } else if (hints == WEBVIEW_HINT_MAX) {
        geometry.max_width = width;
        geometry.max_height = height;
        gtk_window_set_geometry_hints(window, nullptr, &geometry, GDK_HINT_MAX_SIZE);
    } else {
        gtk_window_set_geometry_hints(window, nullptr, nullptr, static_cast<GdkWindowHints>(0));
        gtk_window_resize(window, width, height);
    }
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_navigate(webview_t w, const char* url) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_navigate")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (url == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    webkit_web_view_load_uri(v->webview, url);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_set_html(webview_t w, const char* html) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_set_html")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (html == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    // No base URI: the page gets an opaque origin, as on the other platforms.
    webkit_web_view_load_html(v->webview, html, nullptr);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_init(webview_t w, const char* js) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_init")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (js == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    v->pageScripts.push_back(PageScript{std::string(), js});
    addUserScript(v, js);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_eval(webview_t w, const char* js) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_eval")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (js == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    evalNow(v, js);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_bind(webview_t w, const char* name, void (*fn)(const char* id, const char* req, void* arg),
                             void* arg) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_bind")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (name == nullptr || fn == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    if (v->bindings.count(name) != 0) {
        return WEBVIEW_ERROR_DUPLICATE;
    }
    v->bindings[name] = Binding{fn, arg};
    const std::string script = bindScript(name);
    v->pageScripts.push_back(PageScript{name, script});
    addUserScript(v, script);
    // The page already shown gets it too (with the bridge, should it predate it).
    evalNow(v, std::string(kBridgeScript) + script);
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_unbind(webview_t w, const char* name) {
    View* v = asView(w);
    if (!usableOnUiThread(v, "webview_unbind")) {
        return WEBVIEW_ERROR_INVALID_STATE;
    }
    if (name == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    if (v->bindings.erase(name) == 0) {
        return WEBVIEW_ERROR_NOT_FOUND;
    }
    std::vector<PageScript> kept;
    for (PageScript& s : v->pageScripts) {
        if (s.binding != name) {
            kept.push_back(std::move(s));
        }
    }
    v->pageScripts.swap(kept);
    rebuildUserScripts(v);
    evalNow(v, "window.__zrvk && window.__zrvk.unbind(" + jsString(name) + ");");
    return WEBVIEW_ERROR_OK;
}

webview_error_t webview_return(webview_t w, const char* id, int status, const char* result) {
    View* v = asView(w);
    if (v == nullptr || id == nullptr) {
        return WEBVIEW_ERROR_INVALID_ARGUMENT;
    }
    const std::string value = (result == nullptr || *result == '\0') ? "undefined" : jsString(result);
    const std::string js = "window.__zrvk && window.__zrvk.reply(" + jsString(id) + ", " + std::to_string(status) +
                           ", " + value + ");";
    // Always through the queue: this may come from any thread.
    return post(v, [v, js] {
        if (v->webview != nullptr) {
            evalNow(v, js);
        }
    });
}

}  // extern "C"
