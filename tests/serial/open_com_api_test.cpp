// Opening the API over a serial adapter.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
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
// An open tests the adapter, asks for the local node and may select node 0 (the rest of the open
// is the driver open's); the close closes the port.
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
    EXPECT_EQ(OpenDescriptors(), descriptors);

    adapter.ClearFrames();
    ASSERT_EQ(OpenComAPI(adapter.Path().c_str(), TRACE_SELECT_NODE_0), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 2);  // the port and the trace log
    EXPECT_EQ(adapter.Frames(), (std::vector<Bytes>{{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05}, {0x07, 0x02}}));
    EXPECT_EQ(static_cast<SerialLink*>(g_api.link)->TargetNode(), 0);
    EXPECT_EQ(SetTargetNode(0xFFC2), 0u);
    EXPECT_EQ(static_cast<SerialLink*>(g_api.link)->TargetNode(), 0xFFC1);  // the adapter's own node
    EXPECT_EQ(CloseLORIC(), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 1);  // the log stays open for a later open
}

}  // namespace
}  // namespace loric::test
