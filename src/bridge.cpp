#include "bridge.h"

#include "installer_utils.h"
#include "startup.h"

#include <cctype>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace {

// Workers may still post after the loop ended; the window is marked gone
// under this lock before it is destroyed, so no post reaches a dead window.
std::mutex g_windowMutex;
webview_t g_liveWindow = nullptr;

std::function<void(const std::string&)> g_scriptSink;
std::function<void(const std::string&, int, const std::string&)> g_returnSink;
std::function<void(const std::string&)> g_urlOpener;

bool isWebUrl(const std::string& url) {
    std::string scheme = url.substr(0, url.find("://"));
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme == "http" || scheme == "https";
}

// The URL of an openUrl request, found as plain text; empty when there is none.
std::string urlInRequest(const std::string& request) {
    const std::string::size_type key = request.find("url");
    const std::string::size_type scheme = key == std::string::npos ? std::string::npos : request.find("://", key);
    if (scheme == std::string::npos) return "";
    const std::string::size_type before = request.find_last_of("\\\"", scheme);
    const std::string::size_type start = before == std::string::npos ? 0 : before + 1;
    const std::string::size_type end = request.find_first_of("\"\\", start);
    return request.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void openInBrowser(const std::string& url) {
    if (g_urlOpener) {
        g_urlOpener(url);
        return;
    }
    Startup::openInBrowser(url);
}

}  // namespace

// ---------------------------------------------------------------------------
// Scripts for the page and answers to its calls

void executeJS(webview_t w, void* arg) {
    std::string* script = static_cast<std::string*>(arg);
    webview_eval(w, script->c_str());
    delete script;
}

void postScript(webview_t w, const std::string& script) {
    if (g_scriptSink) {
        g_scriptSink(script);
        return;
    }
    std::lock_guard<std::mutex> lock(g_windowMutex);
    if (!w || w != g_liveWindow) return;
    webview_dispatch(w, executeJS, new std::string(script));
}

void setLiveWindow(webview_t w) {
    std::lock_guard<std::mutex> lock(g_windowMutex);
    g_liveWindow = w;
}

void answerCall(webview_t w, const char* seq, int status, const std::string& result) {
    if (g_returnSink) {
        g_returnSink(seq ? seq : "", status, result);
        return;
    }
    webview_return(w, seq, status, result.c_str());
}

const std::string& logRule() {
    static const std::string rule(40, '=');
    return rule;
}

void logBlock(const std::string& title) {
    std::cout << "\n" << logRule() << "\n" << title << "\n" << logRule() << std::endl;
}

void logBanner(const std::string& title) { std::cout << "\n" << title << std::endl; }

// ---------------------------------------------------------------------------
// Requests

bool requestNestedTooDeep(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxRequestDepth) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

nlohmann::json parseRequest(const std::string& text) {
    if (requestNestedTooDeep(text)) throw std::runtime_error("Request nested too deeply");
    return nlohmann::json::parse(text);
}

const nlohmann::json& requestObject(const nlohmann::json& parsed, nlohmann::json& inner, const char* tag) {
    if (parsed.is_object()) {
        if (tag) std::cout << tag << " Request is an object" << std::endl;
        return parsed;
    }
    if (parsed.is_array() && !parsed.empty()) {
        if (tag) std::cout << tag << " Request is an array" << std::endl;
        if (!parsed[0].is_string()) return parsed[0];
        const std::string& text = parsed[0].get_ref<const std::string&>();
        if (tag) std::cout << tag << " Parsing inner JSON: " << text << std::endl;
        inner = parseRequest(text);
        return inner;
    }
    throw std::runtime_error("Unexpected request format");
}

// ---------------------------------------------------------------------------
// Bound functions

void checkElevated_cb(const char* seq, const char*, void* arg) {
    answerCall(static_cast<webview_t>(arg), seq, 0, "{\"elevated\":false}");
}

void checkHostApp_cb(const char* seq, const char*, void* arg) {
    std::cout << "[checkHostApp] Checking if Adobe host apps are running..." << std::endl;
    const std::string result = isHostAppRunning() ? "{\"isRunning\":true}" : "{\"isRunning\":false}";
    std::cout << "[checkHostApp] Returning: " << result << std::endl;
    answerCall(static_cast<webview_t>(arg), seq, 0, result);
}

void openUrl_cb(const char* seq, const char* req, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    const char* const invalid = "{\"success\":false,\"error\":\"Invalid URL\"}";
    // Nothing may cross into the web view library.
    try {
        const std::string request = req ? req : "";
        std::cout << "[openUrl] Request: " << request << std::endl;
        const std::string url = requestNestedTooDeep(request) ? std::string() : urlInRequest(request);
        if (url.empty() || !isWebUrl(url)) {
            std::cerr << "[openUrl] Failed to parse URL from request" << std::endl;
            answerCall(w, seq, 1, invalid);
            return;
        }
        std::cout << "[openUrl] Opening URL: " << url << std::endl;
        openInBrowser(url);
        answerCall(w, seq, 0, "{\"success\":true}");
    } catch (const std::exception& e) {
        try {
            std::cerr << "[openUrl] Failed to open URL: " << e.what() << std::endl;
            answerCall(w, seq, 1, invalid);
        } catch (...) {
        }
    }
}

void closeWindow_cb(const char* seq, const char*, void* arg) {
    webview_t w = static_cast<webview_t>(arg);
    std::cout << "[closeWindow] Closing application..." << std::endl;
    webview_terminate(w);
    answerCall(w, seq, 0, "{\"success\":true}");
}

// ---------------------------------------------------------------------------

void setScriptSinkForTesting(std::function<void(const std::string&)> sink) { g_scriptSink = std::move(sink); }
void setReturnSinkForTesting(std::function<void(const std::string&, int, const std::string&)> sink) {
    g_returnSink = std::move(sink);
}
void setUrlOpenerForTesting(std::function<void(const std::string&)> opener) { g_urlOpener = std::move(opener); }
