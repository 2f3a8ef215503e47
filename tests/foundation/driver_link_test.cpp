// How the driver link reports the driver's failures (the requests' bytes show in the
// transcripts of the exports that send them).
#include <gtest/gtest.h>

#include <utility>

#include "link/driver_link.h"
#include "platform/platform.h"
#include "support/api_fixture.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

class DriverLinkTest : public ApiTest {
protected:
    RequestRecorder driver_;
    DriverLink link_{"\\\\.\\BRENNOCK"};
};

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
