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
    };
    for (auto& c : cases) {
        auto r = wire_->Call(c.code, c.in, c.outLength);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_EQ(r.bytesReturned, 0u) << c.what;
        EXPECT_EQ(r.out.size(), c.outLength) << c.what;
    }
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

TEST_F(DriverSocket, ConfigurationRomAnswersBlockReads) {
    ASSERT_TRUE(sim_.InstallFirmware(tqsim::image::Build({}), tqsim::image::BuildConfigImage(0x0ABCDE, 2, 3)));
    sim_.Reboot();
    std::vector<uint8_t> block = QuadletBlock(0xFFC0, 0xFFFF, 0xF0000400);
    block[20] = 20;  // the bus information block, five quadlets
    block.resize(60);
    auto r = wire_->Call(io::kAsyncRead, block, 60);
    ASSERT_TRUE(r.ok);
    // q1 "1394" and q3 vendor/chip_id_hi, most significant byte first.
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin() + 40, r.out.begin() + 44), (std::vector<uint8_t>{'1', '3', '9', '4'}));
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin() + 48, r.out.begin() + 52), (std::vector<uint8_t>{0x0A, 0xBC, 0xDE, 0x02}));
}

}  // namespace
