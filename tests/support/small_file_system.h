// A tmpfs of the test's own, mounted at a folder for the object's lifetime
// (root only), for a file system that fills up or runs out of inodes.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace zrvk_test {

class SmallFileSystem {
public:
    SmallFileSystem(const std::string& at, const std::string& options) : at_(at) {
        mkdir(at.c_str(), 0755);
        mounted_ = std::system(("mount -t tmpfs -o " + options + " tmpfs '" + at + "' 2>/dev/null").c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) {
            EXPECT_EQ(std::system(("umount '" + at_ + "'").c_str()), 0);
        }
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;
    bool mounted() const { return mounted_; }

private:
    std::string at_;
    bool mounted_ = false;
};

}  // namespace zrvk_test
