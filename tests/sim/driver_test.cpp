// The driver socket: requests it refuses and why, the node list cut to the room given, and a
// connection sending nonsense.
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
        path_ = socket_.Path();
        ASSERT_TRUE(sim_.StartDriverServer(path_));
        wire_ = std::make_unique<Wire>(path_);
        ASSERT_TRUE(wire_->ok());
    }
    TempSocket socket_;  // outlives the server
    tqsim::System sim_;
    std::string path_;
    std::unique_ptr<Wire> wire_;
};

TEST_F(DriverSocket, RequestsThatFailAndWhy) {
    std::vector<uint8_t> shortBlock = QuadletBlock(0xFFC0, 0xFFFF, 0xF0080000);
    shortBlock.resize(39);
    std::vector<uint8_t> eightBytes = QuadletBlock(0xFFC0, 0xFFFF, 0xF0090014);
    eightBytes[20] = 8;
    eightBytes.resize(48);
    struct Case {
        const char* what;
        uint32_t code;
        std::vector<uint8_t> in;
        uint32_t outLength;
        uint32_t error;
    } cases[] = {
        {"reset of an unknown kind", io::kReset, U32(7), 0, 87},
        {"erase before any command set", io::kEraseSector, U32(0), 0, 21},
        {"flash reset before any command set", io::kReset, U32(0), 0, 21},
        {"command set of 60 bytes", io::kSetCommandSet, std::vector<uint8_t>(60), 0, 87},
        {"node list with input", io::kGetNodeList, U32(0), 4, 87},
        {"node list without room for the count", io::kGetNodeList, {}, 3, 87},
        {"async block shorter than its header", io::kAsyncWrite, shortBlock, 39, 87},
        {"async output length unlike its input", io::kAsyncRead, QuadletBlock(0xFFC0, 0xFFFF, 0xF0080000), 40, 87},
        {"eight-byte read of a register", io::kAsyncRead, eightBytes, 48, 1117},
        {"set target node with three bytes", io::kSetTargetNode, {0xC2, 0xFF, 0}, 0, 87},
        {"unknown code (output zero-filled)", 0x222FFF, {}, 8, 1},
    };
    for (auto& c : cases) {
        auto r = wire_->Call(c.code, c.in, c.outLength);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_EQ(r.bytesReturned, 0u) << c.what;
        EXPECT_EQ(r.out.size(), c.outLength) << c.what;
        if (c.code == 0x222FFF) {
            EXPECT_EQ(r.out, std::vector<uint8_t>(8, 0));
        }
    }
    EXPECT_EQ(sim_.DriverTargetNode(), 0xFFC0) << "a refused request leaves the target alone";
    std::vector<uint8_t> req;
    Put32(req, 0);
    Put32(req, 4);
    Put32(req, 0);
    Put32(req, 0);
    auto r = wire_->Call(io::kUploadUploader, req, 0, {1, 2, 3, 4});
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, 1117u) << "the blank device has no uploader";
    EXPECT_EQ(sim_.Flash()[0], 0xFF);
}

TEST_F(DriverSocket, NodeListCountsAllButCopiesWhatFits) {
    ASSERT_TRUE(sim_.InstallFirmware([] {
        tqsim::image::BuildOptions o;
        o.length = 4096;
        return tqsim::image::Build(o);
    }(), {}));
    sim_.Reboot();
    sim_.AddDevice(sim_.Flash());
    auto r = wire_->Call(io::kGetNodeList, {}, 4 + 20 + 10);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Get32(r.out, 0), 2u);
    EXPECT_EQ(r.bytesReturned, 24u);
    EXPECT_EQ(r.out[12], 0x00);  // node number of the first record
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin() + 24, r.out.end()), std::vector<uint8_t>(10, 0));
}

TEST_F(DriverSocket, AbsurdLengthsEndTheConnectionNotTheServer) {
    std::vector<uint8_t> raw;
    Put32(raw, io::kAsyncRead);
    Put32(raw, 0xFFFFFFF0);
    Put32(raw, 44);
    ASSERT_TRUE(wire_->client().SendRaw(raw));
    tqsim::DriverReply r;
    EXPECT_FALSE(wire_->client().ReadReply(44, &r)) << "the server hangs up";
    Wire again(path_);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.Write(0xFFC0, 0xF0080000, 0), 0u);
}

}  // namespace
