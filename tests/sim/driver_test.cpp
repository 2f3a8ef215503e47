// The driver socket: requests it refuses and why, the node list cut to the room given, and a
// connection sending nonsense.
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim_test_util.h"
#include "tqsim/system.h"

namespace {

using namespace simtest;
namespace io = tqsim::ioctl;

// A 44-byte quadlet request block for a read of node FFC0: raw mode, get generation, node,
// offset high and low, length 4, then the data quadlet and a spare one.
std::vector<uint8_t> QuadletBlock(uint32_t offLow) { return U32({1, 1, 0xFFC0, 0xFFFF, offLow, 4, 0, 0, 0, 0, 0}); }

class DriverSocket : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/tqsimXXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_TRUE(sim_.StartDriverServer(dir_ + "/brennock.sock"));
        ASSERT_TRUE(client_.Connect(dir_ + "/brennock.sock"));
    }
    void TearDown() override {
        sim_.StopDriverServer();
        ::rmdir(dir_.c_str());
    }
    tqsim::DriverReply Call(uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                            const std::vector<uint8_t>& data = {}) {
        tqsim::DriverReply r;
        if (!client_.Request(code, in, outLength, &r, data)) r.error = 0xDEAD;
        return r;
    }
    std::string dir_;
    tqsim::System sim_;
    tqsim::DriverClient client_;
};

TEST_F(DriverSocket, RequestsThatFailAndWhy) {
    std::vector<uint8_t> shortBlock = QuadletBlock(0xF0080000);
    shortBlock.resize(39);
    std::vector<uint8_t> eightBytes = QuadletBlock(0xF0090014);
    eightBytes[20] = 8;
    eightBytes.resize(48);
    struct Case {
        const char* what;
        uint32_t code;
        std::vector<uint8_t> in;
        uint32_t outLength;
        uint32_t error;
    } cases[] = {
        {"reset of an unknown kind", io::kReset, U32({7}), 0, 87},
        {"erase before any command set", io::kEraseSector, U32({0}), 0, 21},
        {"flash reset before any command set", io::kReset, U32({0}), 0, 21},
        {"command set of 60 bytes", io::kSetCommandSet, std::vector<uint8_t>(60), 0, 87},
        {"node list with input", io::kGetNodeList, U32({0}), 4, 87},
        {"node list without room for the count", io::kGetNodeList, {}, 3, 87},
        {"async block shorter than its header", io::kAsyncWrite, shortBlock, 39, 87},
        {"async output length unlike its input", io::kAsyncRead, QuadletBlock(0xF0080000), 40, 87},
        {"eight-byte read of a register", io::kAsyncRead, eightBytes, 48, 1117},
        {"set target node with three bytes", io::kSetTargetNode, {0xC2, 0xFF, 0}, 0, 87},
        {"unknown code (output zero-filled)", 0x222FFF, {}, 8, 1},
    };
    for (auto& c : cases) {
        auto r = Call(c.code, c.in, c.outLength);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_EQ(r.bytesReturned, 0u) << c.what;
        EXPECT_EQ(r.out.size(), c.outLength) << c.what;
        if (c.code == 0x222FFF) {
            EXPECT_EQ(r.out, std::vector<uint8_t>(8, 0));
        }
    }
    EXPECT_EQ(sim_.DriverTargetNode(), 0xFFC0) << "a refused request leaves the target alone";
    auto r = Call(io::kUploadUploader, U32({0, 4, 0, 0}), 0, {1, 2, 3, 4});
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
    auto r = Call(io::kGetNodeList, {}, 4 + 20 + 10);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out[0], 2u);
    EXPECT_EQ(r.bytesReturned, 24u);
    EXPECT_EQ(r.out[12], 0x00);  // node number of the first record
    EXPECT_EQ(std::vector<uint8_t>(r.out.begin() + 24, r.out.end()), std::vector<uint8_t>(10, 0));
}

TEST_F(DriverSocket, AbsurdLengthsEndTheConnectionNotTheServer) {
    ASSERT_TRUE(client_.SendRaw(U32({io::kAsyncRead, 0xFFFFFFF0, 44})));
    tqsim::DriverReply r;
    EXPECT_FALSE(client_.ReadReply(44, &r)) << "the server hangs up";
    tqsim::DriverClient again;
    ASSERT_TRUE(again.Connect(dir_ + "/brennock.sock"));
    ASSERT_TRUE(again.Request(io::kAsyncWrite, QuadletBlock(0xF0080000), 44, &r));
    EXPECT_TRUE(r.ok) << "a new connection is served";
}

}  // namespace
