// The analytics documents as the sender posts them: whatever the settings,
// names, messages and properties (any bytes, invalid UTF-8 included), every
// tracking call posts exactly one body, in call order; the body is strict JSON
// in the library's compact form (sorted keys, raw UTF-8, nothing to add or
// drop when written again); and where the input is valid UTF-8 every value
// arrives exactly as given.
#include "fuzz_support.h"
#include "posthog.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using nlohmann::json;
using zrvk_fuzz::check;
using zrvk_fuzz::isValidUtf8;

std::mutex g_bodiesMutex;
std::vector<std::string> g_bodies;

struct Seams {
    Seams() {
        PostHog::Testing::setSendSink([](const std::string& body) {
            std::lock_guard<std::mutex> lock(g_bodiesMutex);
            g_bodies.push_back(body);
        });
    }
};

enum class Kind { Track, Exception, Person };

struct Call {
    Kind kind = Kind::Track;
    std::string event;  // event name, or exception type
    std::string message;
    std::string component;
    std::map<std::string, std::string> props;
    bool once = false;
};

bool allValid(const std::vector<std::string>& texts, const std::map<std::string, std::string>& props) {
    for (const auto& t : texts)
        if (!isValidUtf8(t)) return false;
    for (const auto& [key, value] : props)
        if (!isValidUtf8(key) || !isValidUtf8(value)) return false;
    return true;
}

json pairsObject(const std::map<std::string, std::string>& props) {
    json out = json::object();
    for (const auto& [key, value] : props) out[key] = value;
    return out;
}

void checkFrames(const json& exception) {
    check(exception.at("mechanism") == json{{"handled", true}, {"synthetic", false}}, "exception mechanism");
    const json& trace = exception.at("stacktrace");
    check(trace.at("type") == "raw", "stacktrace type");
    for (const json& frame : trace.at("frames")) {
        check(frame.at("platform") == "custom" && frame.at("lang") == "cpp", "frame platform and language");
        check(frame.at("function").is_string(), "frame without a function");
        check(frame.at("in_app").is_boolean() && frame.at("resolved") == true, "frame flags");
        if (frame.contains("lineno")) check(frame["lineno"].is_number_integer() && frame["lineno"] > 0, "frame line");
        if (frame.contains("filename")) check(!frame["filename"].get<std::string>().empty(), "empty frame file name");
        if (frame.contains("module")) check(!frame["module"].get<std::string>().empty(), "empty frame module");
    }
}

// The document's values against what was given, when all of it was valid UTF-8.
void checkValues(const json& doc, const PostHog::Config& config, const Call& call) {
    check(doc.at("api_key") == config.apiKey && doc.at("distinct_id") == config.distinctId, "api key or distinct id");
    json expected = json::object();
    expected["$lib"] = config.appName;
    expected["$lib_version"] = config.appVersion;
    expected["$os"] = doc.at("properties").at("$os");
    expected["posthog_cpp_version"] = "1.5.0";
    switch (call.kind) {
        case Kind::Track:
            check(doc.at("event") == call.event, "event name");
            for (const auto& [key, value] : call.props) expected[key] = value;
            break;
        case Kind::Person:
            check(doc.at("event") == "$set", "person event name");
            expected[call.once ? "$set_once" : "$set"] = pairsObject(call.props);
            break;
        case Kind::Exception: {
            check(doc.at("event") == "$exception", "exception event name");
            if (!call.component.empty()) expected["component"] = call.component;
            for (const auto& [key, value] : call.props) expected[key] = value;
            const json& list = doc.at("properties").at("$exception_list");
            check(list.is_array() && list.size() == 1, "exception list of one");
            const json& exception = list[0];
            check(exception.at("type") == call.event, "exception type");
            const std::string cut = call.message.substr(0, 500);
            if (isValidUtf8(cut)) check(exception.at("value") == cut, "exception value is not the first 500 bytes");
            checkFrames(exception);
            expected["$exception_list"] = list;
            break;
        }
    }
    check(doc.at("properties") == expected, "properties differ from the given ones:\n" + doc.at("properties").dump() +
                                                 "\n" + expected.dump());
}

void checkBody(const std::string& body, const PostHog::Config& config, const Call& call) {
    check(json::accept(body), "body is not strict JSON (or not UTF-8)");
    const json doc = json::parse(body);
    check(doc.dump() == body, "body is not in compact sorted form: " + body);
    check(doc.is_object() && doc.size() == 4 && doc.at("properties").is_object(), "document shape");
    std::vector<std::string> texts = {config.apiKey, config.appName, config.appVersion, config.distinctId,
                                      call.event, call.component};
    if (call.kind == Kind::Exception) texts.push_back(call.message.substr(0, 500));
    if (allValid(texts, call.props)) {
        checkValues(doc, config, call);
    } else if (call.kind == Kind::Exception) {
        checkFrames(doc.at("properties").at("$exception_list").at(0));
    }
}

Call consumeCall(FuzzedDataProvider& in) {
    Call call;
    call.kind = static_cast<Kind>(in.ConsumeIntegralInRange<int>(0, 2));
    call.event = in.ConsumeRandomLengthString(64);
    if (call.kind == Kind::Exception) {
        call.message = in.ConsumeRandomLengthString(1200);
        call.component = in.ConsumeRandomLengthString(32);
    }
    call.once = in.ConsumeBool();
    const int pairs = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < pairs; ++i) {
        std::string key = in.ConsumeRandomLengthString(32);
        call.props[key] = in.ConsumeRandomLengthString(128);
    }
    return call;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Seams seams;
    FuzzedDataProvider in(data, size);
    PostHog::Config config;
    config.apiKey = in.ConsumeRandomLengthString(48);
    config.appName = in.ConsumeRandomLengthString(32);
    config.appVersion = in.ConsumeRandomLengthString(16);
    config.distinctId = "id-" + in.ConsumeRandomLengthString(32);  // never empty: no machine lookup
    std::vector<Call> calls;
    const int count = in.ConsumeIntegralInRange<int>(1, 4);
    for (int i = 0; i < count; ++i) calls.push_back(consumeCall(in));

    g_bodies.clear();
    std::vector<const Call*> posted;
    {
        PostHog::Client client(config);
        client.initialize();
        for (const Call& call : calls) {
            switch (call.kind) {
                case Kind::Track: client.track(call.event, call.props); break;
                case Kind::Exception: client.trackException(call.event, call.message, call.component, call.props); break;
                case Kind::Person: client.setPersonProperties(call.props, call.once); break;
            }
            if (call.kind != Kind::Person || !call.props.empty()) posted.push_back(&call);
        }
        client.shutdown();  // sends everything queued before it returns
    }
    std::lock_guard<std::mutex> lock(g_bodiesMutex);
    check(g_bodies.size() == posted.size(),
          std::to_string(posted.size()) + " calls posted " + std::to_string(g_bodies.size()) + " bodies");
    for (size_t i = 0; i < posted.size(); ++i) checkBody(g_bodies[i], config, *posted[i]);
    return 0;
}
