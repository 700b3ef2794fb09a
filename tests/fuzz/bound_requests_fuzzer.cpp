// The bound functions that read the page's request text: every request is
// answered exactly once, with one of the function's own answers, as valid
// JSON; openUrl opens at most one address, a web address taken verbatim from
// the request; the uninstall request is read without starting its worker.
// No manifest is loaded, so no installation ever starts.
#include "fuzz_support.h"
#include "bridge.h"
#include "installation.h"
#include "uninstall_flow.h"
#include "manifest.h"

#include <nlohmann/json.hpp>

#include <pthread.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using zrvk_fuzz::check;

struct Answer {
    std::string seq;
    int status;
    std::string result;
};

std::vector<Answer> g_answers;
std::vector<std::string> g_opened;

struct Seams {
    Seams() {
        setReturnSinkForTesting([](const std::string& seq, int status, const std::string& result) {
            g_answers.push_back({seq, status, result});
        });
        setUrlOpenerForTesting([](const std::string& url) { g_opened.push_back(url); });
        setScriptSinkForTesting([](const std::string&) { zrvk_fuzz::fail("a request posted a script"); });
    }
};

const Answer& onlyAnswer(const char* function) {
    check(g_answers.size() == 1, std::string(function) + " answered " + std::to_string(g_answers.size()) + " times");
    const Answer& a = g_answers[0];
    check(a.seq == "42", std::string(function) + " answered another call");
    check(nlohmann::json::accept(a.result), std::string(function) + " answered with text that is not JSON");
    return a;
}

bool isWebAddress(const std::string& url) {
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos) return false;
    std::string name = url.substr(0, scheme);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name == "http" || name == "https";
}

void checkStartInstallation(const std::string& request) {
    g_answers.clear();
    startInstallation_cb("42", request.c_str(), nullptr);
    const Answer& a = onlyAnswer("startInstallation");
    check(a.status == 1, "startInstallation succeeded without a manifest");
    check(a.result == "{\"success\":false,\"error\":\"Invalid request format\"}" ||
              a.result == "{\"success\":false,\"error\":\"Manifest not loaded\"}",
          "startInstallation gave an unknown answer: " + a.result);
}

void checkOpenUrl(const std::string& request) {
    g_answers.clear();
    g_opened.clear();
    openUrl_cb("42", request.c_str(), nullptr);
    const Answer& a = onlyAnswer("openUrl");
    if (a.status != 0) {
        check(a.status == 1 && a.result == "{\"success\":false,\"error\":\"Invalid URL\"}",
              "openUrl gave an unknown refusal: " + a.result);
        check(g_opened.empty(), "openUrl opened an address and refused the call");
        return;
    }
    check(a.result == "{\"success\":true}", "openUrl gave an unknown answer: " + a.result);
    check(g_opened.size() == 1, "openUrl succeeded but opened " + std::to_string(g_opened.size()) + " addresses");
    const std::string& url = g_opened[0];
    check(isWebAddress(url), "openUrl opened something that is not a web address: " + url);
    check(url.find_first_of("\"\\") == std::string::npos, "openUrl opened an address holding a quote or backslash");
    check(request.find(url) != std::string::npos, "openUrl opened an address that is not in the request");
}

// The uninstall request is read without starting its worker: it either
// throws an ordinary exception or asks for what its members say.
void checkUninstallRequest(const std::string& request) {
    UninstallContext ctx;
    try {
        readUninstallRequest(request, ctx);
    } catch (const std::exception&) {
        return;
    }
    check(ctx.pluginIds.size() <= request.size(), "startUninstall read more ids than the request holds");
}

void* callAll(void* request) {
    const std::string& text = *static_cast<const std::string*>(request);
    checkStartInstallation(text);
    checkOpenUrl(text);
    checkUninstallRequest(text);
    return nullptr;
}

// The calls run on a thread with the stack of the Windows program's UI thread
// (1 MiB), the smallest the bound functions get, so that deep recursion shows
// at request sizes the fuzzer tries.
void onUiSizedStack(const std::string& request) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 1 << 20);
    pthread_t thread;
    if (pthread_create(&thread, &attributes, callAll, const_cast<std::string*>(&request)) != 0)
        zrvk_fuzz::fail("cannot start the calling thread");
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Seams seams;
    // The library hands the request over as a C string.
    const std::string request(reinterpret_cast<const char*>(data), size);
    onUiSizedStack(request.c_str());
    return 0;
}
