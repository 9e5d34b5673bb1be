// Test fixture of the CAN transport: a fake kernel, the flasher's configuration from an argv
// and the log written to a temporary file.
#pragma once

#include <gtest/gtest.h>
#include <linux/can.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "canif/canif_internal.h"
#include "fake_kernel.h"
#include "flasher/cfg.h"
#include "logging/log.h"

namespace canif_test {

class CanifTest : public ::testing::Test {
protected:
    void SetUp() override {
        CANIF__vResetForTest();
        char path[] = "/tmp/kestrum_canif_logXXXXXX";
        const int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        ::close(fd);
        log_path_ = path;
    }
    void TearDown() override {
        CANIF__vResetForTest();
        LOG_SetFilename("");
        std::remove(log_path_.c_str());
    }

    // Parses the flasher's command line with `args` after the program name and the log file.
    void configure(std::vector<std::string> args = {}) {
        std::vector<std::string> all = {"kestrum_flasher", "--logfile", log_path_};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(&a[0]);
        ASSERT_EQ(CFG_enInit(static_cast<int>(argv.size()), argv.data(), "test"), 0);
        LOG_SetVerbosity(1);
    }

    std::string log() {
        LOG_vFlush();
        std::ifstream in(log_path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // The sockaddr_can given to bind or connect.
    static sockaddr_can address(const Call& c) {
        sockaddr_can a;
        EXPECT_EQ(c.bytes.size(), sizeof a);
        std::memset(&a, 0, sizeof a);
        std::memcpy(&a, c.bytes.data(), std::min(c.bytes.size(), sizeof a));
        return a;
    }

    FakeKernel kernel;
    std::string log_path_;
};

}  // namespace canif_test
