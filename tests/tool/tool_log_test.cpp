#include "tool/tool_log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class ToolLog : public ::testing::Test {
protected:
    void TearDown() override { verboseLog = false; }
};

TEST_F(ToolLog, DiagnosticLinesOnlyWithVerbose) {
    verboseLog = false;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    LOG<&LogErrorPrefix>("broken %d", 1);
    LOG<&LogDebugPrefix>("detail");
    LOG<&NoPrefix>("result %s", "22");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "result 22\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    verboseLog = true;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    LOG<&LogErrorPrefix>("broken %d", 1);
    LOG<&LogDebugPrefix>("detail");
    LOG<&NoPrefix>("result");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "result\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error:broken 1\nDebug:detail\n");
}

TEST_F(ToolLog, LongTextIsCutTo199Characters) {
    std::string text(300, 'x');
    testing::internal::CaptureStdout();
    LOG<&NoPrefix>("%s", text.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(199, 'x') + "\n");
}

}  // namespace

#include "tool/tool_flavor.h"

namespace {

TEST(ToolFlavorLog, SocketLayerLinesGoThroughTheToolLogger) {
    EXPECT_TRUE(ToolFlavor().tool);
    verboseLog = false;
    testing::internal::CaptureStderr();
    sockets::LogError(ToolFlavor(), "Poll: reception timeout %d ms", 100);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    verboseLog = true;
    testing::internal::CaptureStderr();
    sockets::LogError(ToolFlavor(), "Poll: reception timeout %d ms", 100);
    sockets::LogDebug(ToolFlavor(), 2, "TCP: stream socket initialized successfully");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error:Poll: reception timeout 100 ms\nDebug:TCP: stream socket initialized successfully\n");
    verboseLog = false;
}

}  // namespace
