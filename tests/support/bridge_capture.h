// What the bound functions answer and what the workers post, captured through
// the test sinks of bridge.h instead of a window. Workers post from their own
// threads, so both logs lock.
#pragma once

#include "bridge.h"

#include <nlohmann/json.hpp>
#include "test_paths.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zrvk_test {

struct Answer {
    std::string seq;
    int status;
    std::string result;
};

// Takes the answers of bound calls while it lives.
class AnswerLog {
public:
    AnswerLog() {
        setReturnSinkForTesting([this](const std::string& seq, int status, const std::string& result) {
            std::lock_guard<std::mutex> lock(mutex_);
            answers_.push_back({seq, status, result});
        });
    }
    ~AnswerLog() { setReturnSinkForTesting(nullptr); }
    AnswerLog(const AnswerLog&) = delete;
    AnswerLog& operator=(const AnswerLog&) = delete;

    std::vector<Answer> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return answers_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<Answer> answers_;
};

// Takes the posted scripts while it lives.
class ScriptLog {
public:
    ScriptLog() {
        setScriptSinkForTesting([this](const std::string& script) { add(script); });
    }
    ~ScriptLog() { setScriptSinkForTesting(nullptr); }
    ScriptLog(const ScriptLog&) = delete;
    ScriptLog& operator=(const ScriptLog&) = delete;

    // For a sink of the test's own that passes scripts on.
    void add(const std::string& script) {
        std::lock_guard<std::mutex> lock(mutex_);
        scripts_.push_back(script);
        changed_.notify_all();
    }
    std::vector<std::string> all() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return scripts_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        scripts_.clear();
    }
    // Waits until a posted script satisfies `found`.
    bool waitFor(const std::function<bool(const std::string&)>& found, std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            for (const auto& s : scripts_)
                if (found(s)) return true;
            return false;
        });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> scripts_;
};

// What the page sees: every script run in Node against a page stub that
// records each call of the given window callbacks as {cb: record name, arg};
// a script that does not run gives a record with cb "error".
inline std::vector<nlohmann::json> pageCalls(const std::vector<std::string>& scripts,
                                   const std::vector<std::pair<std::string, std::string>>& callbacks) {
    std::string stub = "const print = console.log; globalThis.window = globalThis;\n";
    for (const auto& [callback, record] : callbacks) {
        stub += "window." + callback + " = (a) => print(JSON.stringify({cb: '" + record + "', arg: a}));\n";
    }
    stub += "const scripts = " + nlohmann::json(scripts).dump() + ";\n"
            "for (const s of scripts) {\n"
            "  try { (0, eval)(s); } catch (e) { print(JSON.stringify({cb: 'error', arg: String(e)})); }\n"
            "}\n";
    std::vector<nlohmann::json> calls;
    std::istringstream lines(runNode(stub));
    for (std::string line; std::getline(lines, line);) {
        try {
            calls.push_back(nlohmann::json::parse(line));
        } catch (const std::exception&) {
            calls.push_back({{"cb", "error"}, {"arg", line}});
        }
    }
    return calls;
}

}  // namespace zrvk_test
