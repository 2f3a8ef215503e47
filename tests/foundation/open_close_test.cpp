// Opening and closing the API, the target node and the trace log.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "api/context.h"
#include "support/api_fixture.h"
#include "link/driver_link.h"
#include "loric.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

using Pieces = std::vector<std::string>;

class OpenCloseTest : public ApiTest {};

TEST_F(OpenCloseTest, NoDriverFailsWithOneAndLogsNothingAtFirstOpen) {
    EXPECT_EQ(OpenLORIC(0x3F), 1u);
    EXPECT_EQ(g_api.link, nullptr);
    EXPECT_EQ(g_api.traceFlags, 0u);
    EXPECT_FALSE(DebugLogExists());
    EXPECT_TRUE(debug_.Pieces().empty());
    uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(0, 0xFFFF, 0xF0090014, &value), 3u);
    EXPECT_EQ(WriteQuadlet(0, 0xFFFF, 0xF0090014, 1), 3u);
    EXPECT_EQ(LogAppMessage("x"), 3u);
}

TEST_F(OpenCloseTest, OpenSelectsNodeZeroAndTracesInOrder) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(TRACE_API | TRACE_SELECT_NODE_0), 0u);
    const Pieces expected = {"API_TRACE: ", "Enter SetTargetNode 0000\n", "API_TRACE: ",
                             "Exit SetTargetNode (ret 0)\n", "API_TRACE: ", "OpenLORIC (ret 0)\n"};
    EXPECT_EQ(debug_.Pieces(), expected);
    EXPECT_EQ(ReadDebugLog(),
              "API_TRACE: Enter SetTargetNode 0000\r\nAPI_TRACE: Exit SetTargetNode (ret 0)\r\n"
              "API_TRACE: OpenLORIC (ret 0)\r\n");
    auto requests = driver.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, 0x222194u);
    EXPECT_EQ(requests[0].input, (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_EQ(requests[0].outLength, 0u);
}

TEST_F(OpenCloseTest, RefusedNodeZeroStillOpens) {
    RequestRecorder driver;
    driver.FailNext(IOCTL_SET_TARGET_NODE, 170);
    ASSERT_EQ(OpenLORIC(TRACE_API | TRACE_ERROR | TRACE_SELECT_NODE_0), 0u);
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter SetTargetNode 0000\n"
              "LORIC ERROR: Internal driver error (GetLastError = 170)\n"
              "API_TRACE: Exit SetTargetNode (ret 4)\n"
              "API_TRACE: OpenLORIC (ret 0)\n");
    EXPECT_NE(g_api.link, nullptr);
    char text[64];
    ASSERT_EQ(GetErrorText(4, text), 0u);
    EXPECT_STREQ(text, "Internal driver error (GetLastError = 170)");
}

TEST_F(OpenCloseTest, SelectNodeBitWithoutTraceClassesWritesNothingButOpensLog) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(TRACE_SELECT_NODE_0), 0u);
    EXPECT_TRUE(debug_.Pieces().empty());
    EXPECT_TRUE(DebugLogExists());
    EXPECT_EQ(ReadDebugLog(), "");
    EXPECT_EQ(driver.RequestsWithCode(IOCTL_SET_TARGET_NODE).size(), 1u);
}

TEST_F(OpenCloseTest, SecondOpenFailsAndKeepsFirstLinkFlagsAndLog) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    DeviceLink* first = g_api.link;
    EXPECT_EQ(OpenLORIC(TRACE_VERBOSE), 1u);
    EXPECT_EQ(g_api.link, first);
    EXPECT_EQ(g_api.traceFlags, TRACE_ERROR | TRACE_API);
    EXPECT_EQ(ReadDebugLog(),
              "API_TRACE: OpenLORIC (ret 0)\r\n"
              "LORIC ERROR: Unable to open 1394 device driver BRENNOCK.SYS\r\n"
              "API_TRACE: OpenLORIC (ret 1)\r\n");
    // The first link still works, and no second connection was made.
    EXPECT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0080000, 0), 0u);
    EXPECT_EQ(driver.Connections(), 1);
}

TEST_F(OpenCloseTest, FailedReopenLogsUnderEarlierFlags) {
    {
        RequestRecorder driver;
        ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
        ASSERT_EQ(CloseLORIC(), 0u);
    }
    debug_.Clear();
    EXPECT_EQ(OpenLORIC(0), 1u);  // no driver any more
    EXPECT_EQ(g_api.traceFlags, TRACE_ERROR | TRACE_API);
    EXPECT_EQ(debug_.Text(),
              "LORIC ERROR: Unable to open 1394 device driver BRENNOCK.SYS\n"
              "API_TRACE: OpenLORIC (ret 1)\n");
}

TEST_F(OpenCloseTest, CloseWithoutOpenDoesNothing) {
    EXPECT_EQ(CloseLORIC(), 0u);
    EXPECT_TRUE(debug_.Pieces().empty());
    EXPECT_FALSE(DebugLogExists());
}

TEST_F(OpenCloseTest, CloseDestroysLinkAndReopenWorks) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(TRACE_API), 0u);
    EXPECT_EQ(CloseLORIC(), 0u);
    EXPECT_EQ(g_api.link, nullptr);
    EXPECT_EQ(g_api.traceFlags, TRACE_API);  // left as it was
    uint32_t value;
    EXPECT_EQ(ReadQuadlet(0, 0xFFFF, 0, &value), 3u);
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: OpenLORIC (ret 0)\nAPI_TRACE: CloseLORIC\n");
    EXPECT_EQ(ReadDebugLog(), "API_TRACE: OpenLORIC (ret 0)\r\nAPI_TRACE: CloseLORIC\r\n");
    EXPECT_EQ(OpenLORIC(0), 0u);
    EXPECT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0080000, 0), 0u);
    EXPECT_EQ(driver.Connections(), 2);
    EXPECT_EQ(driver.Requests().back().connection, 2);
    EXPECT_EQ(CloseLORIC(), 0u);
}

TEST_F(OpenCloseTest, ReopenWithFlagsStartsTheLogAfresh) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(TRACE_API), 0u);
    ASSERT_EQ(CloseLORIC(), 0u);
    ASSERT_EQ(OpenLORIC(TRACE_API), 0u);
    EXPECT_EQ(ReadDebugLog(), "API_TRACE: OpenLORIC (ret 0)\r\n");
}

TEST_F(OpenCloseTest, OpenWithZeroFlagsOpensNoLogAndTracesNothing) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(0), 0u);
    EXPECT_EQ(g_api.logFile, nullptr);
    EXPECT_FALSE(DebugLogExists());
    uint32_t value = 0;
    driver.FailAlways(IOCTL_ASYNC_READ, 31);
    EXPECT_EQ(ReadQuadlet(0, 0xFFFF, 0xF0090014, &value), 9u);
    EXPECT_TRUE(debug_.Pieces().empty());
}

TEST_F(OpenCloseTest, HighBitOpensLogWithoutTraceLinesButAppMessagesReachIt) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(0x80), 0u);
    EXPECT_EQ(ReadDebugLog(), "");
    EXPECT_EQ(LogAppMessage("step %d done\n", 3), 0u);
    EXPECT_EQ(LogAppMessage("no line feed"), 0u);
    EXPECT_EQ(debug_.Pieces(), (Pieces{"APPLOG: ", "step 3 done\n", "APPLOG: ", "no line feed"}));
    EXPECT_EQ(ReadDebugLog(), "APPLOG: step 3 done\r\nAPPLOG: no line feed");
}

TEST_F(OpenCloseTest, AppMessageWithoutLogGoesToDebuggerOnly) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(0), 0u);
    EXPECT_EQ(LogAppMessage("%s=%x", "id", 0xABCu), 0u);
    EXPECT_EQ(debug_.Pieces(), (Pieces{"APPLOG: ", "id=abc"}));
    EXPECT_FALSE(DebugLogExists());
}

TEST_F(OpenCloseTest, AppMessageWhileClosedReportsThreeWithoutFormatting) {
    g_api.traceFlags = TRACE_ERROR;
    g_api.messageArgument.number = 77;
    // A format argument that would fault if it were read.
    EXPECT_EQ(LogAppMessage("%s", reinterpret_cast<const char*>(1)), 3u);
    EXPECT_EQ(debug_.Text(), "LORIC ERROR: Access to the 1394 device driver was denied\n");
    EXPECT_EQ(g_api.messageArgument.number, 0u);
}

TEST_F(OpenCloseTest, AppMessageWithoutFormatIsAnInvalidParameter) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    EXPECT_EQ(LogAppMessage(nullptr), 5u);
    EXPECT_EQ(debug_.Text(), "LORIC ERROR: An API function parameter was invalid\n");
}

TEST_F(OpenCloseTest, SetTargetNodeUsesLowSixteenBits) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(TRACE_API), 0u);
    debug_.Clear();
    EXPECT_EQ(SetTargetNode(0x1234FFC2), 0u);
    EXPECT_EQ(debug_.Text(), "API_TRACE: Enter SetTargetNode FFC2\nAPI_TRACE: Exit SetTargetNode (ret 0)\n");
    auto requests = driver.RequestsWithCode(IOCTL_SET_TARGET_NODE);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].input, (std::vector<uint8_t>{0xC2, 0xFF}));
}

TEST_F(OpenCloseTest, SetTargetNodeWhileClosed) {
    g_api.traceFlags = TRACE_API | TRACE_ERROR;
    g_api.messageArgument.number = 5;
    EXPECT_EQ(SetTargetNode(0x3C), 3u);
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter SetTargetNode 003C\n"
              "LORIC ERROR: Access to the 1394 device driver was denied\n"
              "API_TRACE: Exit SetTargetNode (ret 3)\n");
    EXPECT_EQ(g_api.messageArgument.number, 0u);
}

TEST_F(OpenCloseTest, SuccessLeavesMessageArgument) {
    RequestRecorder driver;
    ASSERT_EQ(OpenLORIC(0), 0u);
    driver.FailNext(IOCTL_ASYNC_READ, 1117);
    uint32_t value = 0xDEAD;
    ASSERT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090014, &value), 9u);
    EXPECT_EQ(value, 0xDEADu);  // untouched by the failed read
    ASSERT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090000, &value), 0u);
    ASSERT_EQ(SetTargetNode(1), 0u);
    char text[64];
    ASSERT_EQ(GetErrorText(9, text), 0u);
    EXPECT_STREQ(text, "1394 Quadlet read of address offset 0xF0090014 failed");
}

TEST_F(OpenCloseTest, LogFileThatCannotBeOpenedLeavesDebuggerOutput) {
    RequestRecorder driver;
    std::filesystem::create_directory("debug.log");  // a directory cannot be opened as a file
    ASSERT_EQ(OpenLORIC(TRACE_API), 0u);
    EXPECT_EQ(g_api.logFile, nullptr);
    EXPECT_EQ(debug_.Text(), "API_TRACE: OpenLORIC (ret 0)\n");
}

}  // namespace
}  // namespace loric::test
