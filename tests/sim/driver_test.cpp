// The driver socket, byte by byte: request and reply framing, node list records, quadlet
// transactions and their failures.
#include <gtest/gtest.h>

#include "sim_test_util.h"
#include "tqsim/system.h"

namespace {

using namespace simtest;
using tqsim::DeviceMode;
namespace io = tqsim::ioctl;

class DriverSocket : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = TempSocketPath();
        ASSERT_TRUE(sim_.StartDriverServer(path_));
        wire_ = std::make_unique<Wire>(path_);
        ASSERT_TRUE(wire_->ok());
    }
    tqsim::System sim_;
    std::string path_;
    std::unique_ptr<Wire> wire_;
};

TEST_F(DriverSocket, BlankDeviceIsNotListedAndAnswersOnlyAtItsFlashPort) {
    EXPECT_EQ(sim_.Mode(), DeviceMode::FlashPort);
    EXPECT_EQ(sim_.BootNote(), "blank");
    auto r = wire_->Call(io::kGetNodeList, {}, 4 + 200);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Get32(r.out, 0), 0u);
    EXPECT_EQ(r.bytesReturned, 4u);
    EXPECT_EQ(wire_->Write(0xFFC0, 0xF0080000, 0), 0u);        // the device
    EXPECT_EQ(wire_->Write(0xFFC1, 0xF0080000, 0), 1117u);     // the host's controller
    EXPECT_EQ(wire_->Write(0xFFC2, 0xF0080000, 0), 121u);      // nobody
    uint32_t v = 0;
    EXPECT_EQ(wire_->Read(0xFFC0, 0xF0090008, &v), 1117u);     // no loader runs
}

TEST_F(DriverSocket, ReplyCarriesExactlyOutLengthBytes) {
    // Raw request: code, inLength, outLength, then input bytes.
    std::vector<uint8_t> raw;
    Put32(raw, io::kSetTargetNode);
    Put32(raw, 2);
    Put32(raw, 0);
    raw.push_back(0xC2);
    raw.push_back(0xFF);
    ASSERT_TRUE(wire_->client().SendRaw(raw));
    tqsim::DriverReply r;
    ASSERT_TRUE(wire_->client().ReadReply(0, &r));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.error, 0u);
    EXPECT_EQ(sim_.DriverTargetNode(), 0xFFC2);
    // A wrong input length fails with ERROR_INVALID_PARAMETER and leaves the target alone.
    r = wire_->Call(io::kSetTargetNode, {0xC0, 0xFF, 0}, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 87u);
    EXPECT_EQ(sim_.DriverTargetNode(), 0xFFC2);
    // Unknown code: ERROR_INVALID_FUNCTION, output zero-filled to its length.
    r = wire_->Call(0x222FFF, {}, 8);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 1u);
    EXPECT_EQ(r.out, std::vector<uint8_t>(8, 0));
}

}  // namespace
