// The bytes of every driver request, and how the link reports the driver's failures.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
#include <utility>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/driver_link.h"
#include "platform/platform.h"
#include "support/api_fixture.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

using Bytes = std::vector<uint8_t>;

class DriverLinkTest : public ApiTest {
protected:
    RequestRecorder driver_;
    DriverLink link_{"\\\\.\\BRENNOCK"};

    RecordedRequest Only() {
        auto requests = driver_.Requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? RecordedRequest{} : requests[0];
    }
};

// The requests' bytes show in the transcripts of the exports that send them; here the failures.
TEST_F(DriverLinkTest, UploadBlockWithoutDataIsRefusedBeforeSending) {
    UploadBlockRequest request{0, 16, nullptr, 0};
    EXPECT_FALSE(link_.UploadBlock(false, request));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorInvalidParameter);
    EXPECT_TRUE(driver_.Requests().empty());
    EXPECT_TRUE(link_.Reset(RESET_FLASH));  // the connection is still in step
}

// The driver's code is left as it is, every byte of it; a failure naming no code (0) still
// leaves a non-zero one; a broken connection is "device not connected" from then on.
TEST_F(DriverLinkTest, FailedRequestsLeaveTheDriversCode) {
    for (const auto& [error, left] : {std::pair{1117u, 1117u}, {0xC0120345u, 0xC0120345u}, {0u, platform::kErrorGenFailure}}) {
        driver_.FailNext(IOCTL_RESET, error);
        platform::SetLastErrorCode(0);
        EXPECT_FALSE(link_.Reset(RESET_DEVICE));
        EXPECT_EQ(platform::GetLastErrorCode(), left);
    }
    EXPECT_TRUE(link_.Reset(RESET_DEVICE));
    driver_.Queue(IOCTL_ERASE_SECTOR, ScriptedReply::Disconnect());
    EXPECT_FALSE(link_.EraseSector(0));
    EXPECT_EQ(platform::GetLastErrorCode(), 1167u);
    EXPECT_FALSE(link_.SetTargetNode(0));
    EXPECT_EQ(platform::GetLastErrorCode(), 1167u);
}

TEST_F(DriverLinkTest, NodeListCopiesExactlySizeBytesAndTracesTheReply) {
    g_api.traceFlags = TRACE_VERBOSE;
    NODE_INFO node{};
    node.nodeNumber = 1;
    node.busNumber = 0x3FF;
    node.idLow = 0x11223344;
    node.idHigh = 0x0050C2AA;
    ScriptedReply reply = ScriptedReply::NodeList({node});
    reply.bytesReturned = 24;
    driver_.Queue(IOCTL_GET_NODE_LIST, reply);
    NODE_INFO records[3];
    std::memset(records, 0xAB, sizeof records);
    EXPECT_EQ(link_.GetNodeList(records, 2 * sizeof(NODE_INFO)), 1u);
    EXPECT_EQ(Only().outLength, 44u);
    EXPECT_EQ(std::memcmp(&records[0], &node, sizeof node), 0);
    NODE_INFO zero{};
    EXPECT_EQ(std::memcmp(&records[1], &zero, sizeof zero), 0);  // as the driver left it
    uint8_t untouched[sizeof(NODE_INFO)];
    std::memset(untouched, 0xAB, sizeof untouched);
    EXPECT_EQ(std::memcmp(&records[2], untouched, sizeof untouched), 0);
    EXPECT_EQ(debug_.Pieces(), (std::vector<std::string>{"VERBOSE: ", "Bytes Returned: 24  Nodes 1\n"}));
}

TEST(DriverLinkOpen, MissingDeviceThrowsCouldNotCreateFile) {
    TempDirectory directory;
    ScopedEnv socket("BRENNOCK_SOCKET", (directory.Path() + "/absent.sock").c_str());
    try {
        DriverLink link("\\\\.\\BRENNOCK");
        ADD_FAILURE() << "no throw";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "couldn't create file");
        EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorFileNotFound);
    }
}

TEST(DriverLinkOpen, DestructionClosesTheConnection) {
    RequestRecorder driver;
    {
        DriverLink link("\\\\.\\BRENNOCK");
        ASSERT_TRUE(link.Reset(RESET_FLASH));
        EXPECT_EQ(driver.OpenConnections(), 1);
    }
    // The stand-in notices the close on its own thread.
    for (int i = 0; i < 2000 && driver.OpenConnections() != 0; ++i) platform::RealSleepMilliseconds(1);
    EXPECT_EQ(driver.OpenConnections(), 0);
}

}  // namespace
}  // namespace loric::test
