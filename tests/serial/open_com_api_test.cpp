// Opening the API over a serial adapter.
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

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator{}));
}

// A port or adapter that fails leaves the API closed, its port closed again and nothing logged.
// An open tests the adapter and traces like the driver open; a second open fails and keeps the
// first link; the close closes the port.
TEST_F(OpenComApiTest, FailedOpensThenOneThatHoldsUntilTheClose) {
    const size_t descriptors = OpenDescriptors();
    clock.SetStep(200);
    adapter.Queue(ScriptedAdapter::Reply{});  // the echo goes unanswered
    adapter.Queue(Bytes{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x00});  // the echo comes back wrong
    for (const char* port : {"/nonexistent/ttyX", static_cast<const char*>(nullptr), "", adapter.Path().c_str(),
                             adapter.Path().c_str()})
        EXPECT_EQ(OpenComAPI(port, 0x3F), 1u) << (port ? port : "null");
    EXPECT_EQ(g_api.traceFlags, 0u);
    EXPECT_FALSE(DebugLogExists());
    EXPECT_TRUE(debug_.Pieces().empty());
    uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, FLASH_READ_CTRL, &value), 3u);
    EXPECT_EQ(OpenDescriptors(), descriptors);

    adapter.ClearFrames();
    ASSERT_EQ(OpenComAPI(adapter.Path().c_str(), TRACE_ERROR | TRACE_API | TRACE_SELECT_NODE_0), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 2);  // the port and the trace log
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
    EXPECT_EQ(OpenDescriptors(), descriptors + 1);  // the log stays open for a later open
}

}  // namespace
}  // namespace loric::test
