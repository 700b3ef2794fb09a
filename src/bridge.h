// The page and the native side: scripts posted to the page from any thread,
// answers to the page's calls, the reading of their requests, and the bound
// functions that need nothing but the bridge.
#pragma once

#include "webview.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <functional>
#include <iostream>
#include <string>
#include <thread>

// Hands a script to the UI thread; safe from any thread, also after the
// window is gone (then the script is dropped).
void postScript(webview_t w, const std::string& script);
void executeJS(webview_t w, void* arg);

// The window that scripts may reach; null once it is about to be destroyed.
void setLiveWindow(webview_t w);

// Answers one call of the page: status 0 resolves its promise, 1 rejects it.
void answerCall(webview_t w, const char* seq, int status, const std::string& result);

// The 40 '=' characters that frame the log's milestones.
const std::string& logRule();
// title framed by rules, after an empty line.
void logBlock(const std::string& title);
// title after an empty line.
void logBanner(const std::string& title);

// Requests nested deeper than this are refused before they are parsed, so
// no deep copy of a parsed value can exhaust the stack.
constexpr int kMaxRequestDepth = 32;
// True when arrays and objects in the JSON text nest deeper than kMaxRequestDepth.
bool requestNestedTooDeep(const std::string& text);
// A call's request text, parsed; throws on a text nested too deeply or not JSON.
nlohmann::json parseRequest(const std::string& text);
// The request object of a call: the object itself, or the first element of an
// array (a JSON text there is parsed into inner). Refers into parsed or inner,
// so nothing deep is copied. With a tag, each shape is logged. Throws on any
// other shape.
const nlohmann::json& requestObject(const nlohmann::json& parsed, nlohmann::json& inner, const char* tag = nullptr);

// Starts a detached worker that owns the context. When no thread can be
// made the context is deleted here and the caller refuses the request.
template <typename Context>
bool startWorker(void (*body)(Context*), Context* context, const char* tag) {
    try {
        std::thread(body, context).detach();
        return true;
    } catch (const std::exception& e) {
        delete context;
        std::cerr << tag << " Failed to start thread: " << e.what() << std::endl;
        return false;
    }
}

void checkElevated_cb(const char* seq, const char* req, void* arg);
void checkHostApp_cb(const char* seq, const char* req, void* arg);
void openUrl_cb(const char* seq, const char* req, void* arg);
void closeWindow_cb(const char* seq, const char* req, void* arg);

// Seams that the tests set; nothing else does.
// Scripts posted to the page go to the sink instead of the window.
void setScriptSinkForTesting(std::function<void(const std::string&)> sink);
// Answers of bound functions go to the sink instead of the window.
void setReturnSinkForTesting(std::function<void(const std::string& seq, int status, const std::string& result)> sink);
// URLs to open go to the sink instead of the desktop's browser.
void setUrlOpenerForTesting(std::function<void(const std::string&)> opener);
