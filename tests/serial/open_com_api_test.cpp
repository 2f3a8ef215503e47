// Opening the API over a serial adapter and reaching registers through the exports.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/registers.h"
#include "link/serial_link.h"
#include "loric.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/scripted_adapter.h"

namespace loric::test {
namespace {

class OpenComApiTest : public ApiTest {
protected:
    FakeClock clock;
    ScriptedAdapter adapter;
};

// Opens, tests the adapter and traces like the driver open; a second open fails and keeps the
// first link.
TEST_F(OpenComApiTest, OpensOnceTestsTheAdapterAndTracesLikeTheDriverOpen) {
    ASSERT_EQ(OpenComAPI(adapter.Path().c_str(), TRACE_ERROR | TRACE_API | TRACE_SELECT_NODE_0), 0u);
    DeviceLink* first = g_api.link;
    EXPECT_EQ(adapter.Frames(), (std::vector<Bytes>{{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05}, {0x07, 0x02}}));
    EXPECT_EQ(static_cast<SerialLink*>(first)->TargetNode(), 0);
    EXPECT_EQ(ReadDebugLog(),
              "API_TRACE: Enter SetTargetNode 0000\r\nAPI_TRACE: Exit SetTargetNode (ret 0)\r\n"
              "API_TRACE: OpenLORIC (ret 0)\r\n");
    adapter.ClearFrames();
    debug_.Clear();
    EXPECT_EQ(OpenComAPI(adapter.Path().c_str(), 0), 1u);
    EXPECT_EQ(OpenLORIC(0), 1u);
    EXPECT_EQ(g_api.link, first);
    EXPECT_EQ(g_api.traceFlags, TRACE_ERROR | TRACE_API | TRACE_SELECT_NODE_0);
    EXPECT_EQ(adapter.FrameCount(), 0u);
    const std::string refused = "LORIC ERROR: Unable to open 1394 device driver BRENNOCK.SYS\nAPI_TRACE: OpenLORIC (ret 1)\n";
    EXPECT_EQ(debug_.Text(), refused + refused);
    EXPECT_EQ(CloseLORIC(), 0u);
    EXPECT_EQ(g_api.link, nullptr);
}

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator{}));
}

TEST_F(OpenComApiTest, PortOrAdapterFailureLeavesTheApiClosed) {
    const size_t descriptors = OpenDescriptors();
    EXPECT_EQ(OpenComAPI("/nonexistent/ttyX", 0x3F), 1u);
    EXPECT_EQ(OpenComAPI(nullptr, 0x3F), 1u);
    EXPECT_EQ(OpenComAPI("", 0x3F), 1u);

    clock.SetStep(200);
    adapter.Queue(ScriptedAdapter::Reply{});  // the echo goes unanswered
    EXPECT_EQ(OpenComAPI(adapter.Path().c_str(), 0x3F), 1u);
    adapter.Queue(Bytes{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x00});  // the echo comes back wrong
    EXPECT_EQ(OpenComAPI(adapter.Path().c_str(), 0x3F), 1u);

    EXPECT_EQ(g_api.link, nullptr);
    EXPECT_EQ(g_api.traceFlags, 0u);
    EXPECT_FALSE(DebugLogExists());
    EXPECT_TRUE(debug_.Pieces().empty());
    uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, FLASH_READ_CTRL, &value), 3u);

    EXPECT_EQ(OpenDescriptors(), descriptors);  // each failed open closed its port again

    EXPECT_EQ(OpenComAPI(adapter.Path().c_str(), 0), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 1);
    CloseLORIC();
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
}  // namespace loric::test
