// The standard streams as the installer has them once its log is open: each
// line reaches the console in one piece, whatever thread writes it. Fixtures
// whose workers write while the test reads the captured output put this in
// front of std::cout and std::cerr for their lifetime.
#pragma once

#include "installer_logging.h"

#include <iostream>
#include <streambuf>

namespace zrvk_test {

class WholeLines {
public:
    WholeLines() {
        savedOut_ = std::cout.rdbuf(&out_);
        savedErr_ = std::cerr.rdbuf(&err_);
    }
    ~WholeLines() {
        std::cout.rdbuf(savedOut_);
        std::cerr.rdbuf(savedErr_);
    }
    WholeLines(const WholeLines&) = delete;
    WholeLines& operator=(const WholeLines&) = delete;

private:
    InstallerLogging::TeeStreamBuf out_{std::cout.rdbuf(), nullptr, nullptr};
    InstallerLogging::TeeStreamBuf err_{std::cerr.rdbuf(), nullptr, nullptr};
    std::streambuf* savedOut_ = nullptr;
    std::streambuf* savedErr_ = nullptr;
};

}  // namespace zrvk_test
