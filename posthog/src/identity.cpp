// The anonymous machine identity: a digest of the first adapter's hardware
// address, kept in an id file so that later runs give the same id.
#include "posthog_internal.h"
#include "system.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

namespace PostHog {

namespace MachineID {

namespace {
std::string sha256Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 0x0f];
    }
    return out;
}
}  // namespace

unsigned long long nodeFromBytes(const unsigned char* bytes) {
    unsigned long long node = 0;
    bool allZero = true;
    for (int i = 0; i < 6; ++i) {
        node = (node << 8) | bytes[i];
        if (bytes[i] != 0) allZero = false;
    }
    return allZero ? 0 : node;
}

std::string getHashedMacIdFromNode(unsigned long long node) {
    if (node == 0) return "";
    std::string text;
    for (int shift = 10; shift >= 0; shift -= 2) {
        char pair[3];
        std::snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned>((node >> shift) & 0xff));
        if (!text.empty()) text += ":";
        text += pair;
    }
    std::string digest = sha256Hex(text);
    if (digest.size() < 32) return "";
    return digest.substr(0, 8) + "-" + digest.substr(8, 4) + "-" + digest.substr(12, 4) + "-" +
           digest.substr(16, 4) + "-" + digest.substr(20, 12);
}

bool isOwnIdFile(const IdFileFacts& facts) { return facts.regular && facts.links == 1 && facts.ownedByCurrentUser; }

// A first line longer than this is not waited for to its end.
constexpr std::size_t kFirstLineLimit = 65536;

bool appendToFirstLine(std::string& line, const char* chunk, std::size_t size) {
    const char* end = static_cast<const char*>(std::memchr(chunk, '\n', size));
    line.append(chunk, end ? static_cast<std::size_t>(end - chunk) : size);
    return end != nullptr || line.size() > kFirstLineLimit;
}

std::string getHashedMacId() { return getHashedMacIdFromNode(systemNode()); }

std::string getHashedMacIdWithFallback(const std::string& path) {
    if (!path.empty()) {
        std::string line;
        if (readFirstLine(path, line)) {
            line = System::trimmed(line);
            if (!line.empty()) return line;
        }
    }
    std::string id = getHashedMacId();
    if (id.empty() || path.empty()) return id;
    writeId(path, id);
    return id;
}

}  // namespace MachineID

}  // namespace PostHog
