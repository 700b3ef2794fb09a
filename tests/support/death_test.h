// Death tests run in the thread-safe style (test_main.cpp): the child is a
// new run of the test program that repeats the test from its start up to the
// death-test statement. What the child must share with its parent (a folder,
// a server's address) passes through the environment: the parent offers its
// own, the child takes the parent's.
#pragma once

#include "test_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace zrvk_test {

inline std::string sharedVariable(const std::string& key) { return "ZRVK_DEATH_TEST_" + key; }

// In a death test's child: what its parent recorded under `key`; nullptr elsewhere.
inline const char* recordedByParent(const std::string& key) {
    return testing::internal::InDeathTestChild() ? std::getenv(sharedVariable(key).c_str()) : nullptr;
}

// In the parent: records `value` under `key` and returns it. In a death
// test's child: the value its parent recorded.
inline std::string parentValue(const std::string& key, const std::string& value) {
    if (const char* recorded = recordedByParent(key)) return recorded;
    setenv(sharedVariable(key).c_str(), value.c_str(), 1);
    return value;
}

// A private folder, the same one in a death test's child as in its parent;
// only the parent makes and removes it.
class SharedTempDir {
public:
    explicit SharedTempDir(const std::string& key = "FOLDER") {
        if (const char* recorded = recordedByParent(key)) {
            path_ = recorded;
            return;
        }
        own_ = std::make_unique<TempDir>();
        path_ = parentValue(key, own_->path());
    }
    SharedTempDir(const SharedTempDir&) = delete;
    SharedTempDir& operator=(const SharedTempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::unique_ptr<TempDir> own_;
    std::string path_;
};

}  // namespace zrvk_test
