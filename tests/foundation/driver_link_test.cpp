// The bytes of every driver request, and how the link reports the driver's failures.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <stdexcept>
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

TEST_F(DriverLinkTest, FixedSizeRequests) {
    struct Case {
        const char* name;
        std::function<bool(DriverLink&)> call;
        uint32_t code;
        Bytes input;
    };
    FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(1, 16);
    Bytes setBytes;
    for (uint32_t word : set.words)
        for (int i = 0; i < 4; ++i) setBytes.push_back(static_cast<uint8_t>(word >> (8 * i)));
    const Case cases[] = {
        {"SetTargetNode", [](DriverLink& l) { return l.SetTargetNode(0xFFC1); }, 0x222194, {0xC1, 0xFF}},
        {"SetFlashCommandSet", [&](DriverLink& l) { return l.SetFlashCommandSet(set); }, 0x2221A8, setBytes},
        {"Reset", [](DriverLink& l) { return l.Reset(RESET_BUS); }, 0x2221A4, {2, 0, 0, 0}},
        {"EraseSector", [](DriverLink& l) { return l.EraseSector(0xFFFFFFFF); }, 0x2221A0, {0xFF, 0xFF, 0xFF, 0xFF}},
        {"EraseSector", [](DriverLink& l) { return l.EraseSector(0x10000); }, 0x2221A0, {0x00, 0x00, 0x01, 0x00}},
        {"SetByteProgramDelay", [](DriverLink& l) { return l.SetByteProgramDelay(300); }, 0x2221AC, {0x2C, 0x01, 0, 0}},
    };
    for (const Case& c : cases) {
        driver_.ClearRequests();
        ASSERT_TRUE(c.call(link_)) << c.name;
        RecordedRequest r = Only();
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_EQ(r.input, c.input) << c.name;
        EXPECT_EQ(r.outLength, 0u) << c.name;
        EXPECT_TRUE(r.uploadData.empty()) << c.name;
    }
    EXPECT_EQ(setBytes.size(), 64u);
    EXPECT_EQ(Bytes(setBytes.begin(), setBytes.begin() + 4), (Bytes{0x10, 0x01, 0x10, 0x64}));
}

TEST_F(DriverLinkTest, UploadBlockCodesAndData) {
    const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
    UploadBlockRequest request{0x12345, 6, data, 7};
    for (bool flashPort : {true, false}) {
        driver_.ClearRequests();
        ASSERT_TRUE(link_.UploadBlock(flashPort, request));
        RecordedRequest r = Only();
        EXPECT_EQ(r.code, flashPort ? 0x222198u : 0x22219Cu);
        // Flash address, byte count, data field (0 on this platform), upload mode.
        EXPECT_EQ(r.input, LittleEndianBytes({0x12345, 6, 0, 7}));
        EXPECT_EQ(r.uploadData, Bytes(data, data + 6));
        EXPECT_EQ(r.outLength, 0u);
    }
}

TEST_F(DriverLinkTest, UploadBlockWithoutDataIsRefusedBeforeSending) {
    UploadBlockRequest request{0, 16, nullptr, 0};
    EXPECT_FALSE(link_.UploadBlock(false, request));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorInvalidParameter);
    EXPECT_TRUE(driver_.Requests().empty());
    // The connection is still in step.
    EXPECT_TRUE(link_.Reset(RESET_FLASH));
}

TEST_F(DriverLinkTest, AsyncRequestsUseTheBlockAsInputAndOutput) {
    uint8_t block[44];
    for (int i = 0; i < 44; ++i) block[i] = static_cast<uint8_t>(i);
    driver_.SetHandler([](const RecordedRequest& r) -> std::optional<ScriptedReply> {
        if (r.code != IOCTL_ASYNC_READ) return std::nullopt;
        ScriptedReply reply;
        reply.output = Bytes(44, 0xEE);
        return reply;
    });
    ASSERT_TRUE(link_.AsyncWrite(block, 44));
    RecordedRequest w = Only();
    EXPECT_EQ(w.code, 0x22200Cu);
    EXPECT_EQ(w.input, Bytes(block, block + 44));
    EXPECT_EQ(w.outLength, 44u);
    driver_.ClearRequests();
    ASSERT_TRUE(link_.AsyncRead(block, 44));
    RecordedRequest r = Only();
    EXPECT_EQ(r.code, 0x222008u);
    EXPECT_EQ(r.outLength, 44u);
    EXPECT_EQ(Bytes(block, block + 44), Bytes(44, 0xEE));
}

TEST_F(DriverLinkTest, FailedRequestsLeaveTheDriversCode) {
    driver_.FailNext(IOCTL_RESET, 1117);
    platform::SetLastErrorCode(0);
    EXPECT_FALSE(link_.Reset(RESET_DEVICE));
    EXPECT_EQ(platform::GetLastErrorCode(), 1117u);
    // A failure that names no code still leaves a non-zero one.
    driver_.FailNext(IOCTL_RESET, 0);
    EXPECT_FALSE(link_.Reset(RESET_DEVICE));
    EXPECT_NE(platform::GetLastErrorCode(), 0u);
    EXPECT_TRUE(link_.Reset(RESET_DEVICE));
}

TEST_F(DriverLinkTest, BrokenConnectionFailsWithDeviceNotConnected) {
    driver_.Queue(IOCTL_ERASE_SECTOR, ScriptedReply::Disconnect());
    EXPECT_FALSE(link_.EraseSector(0));
    EXPECT_EQ(platform::GetLastErrorCode(), 1167u);
    EXPECT_FALSE(link_.SetTargetNode(0));
    EXPECT_EQ(platform::GetLastErrorCode(), 1167u);
}

TEST_F(DriverLinkTest, NodeListOfSizeZeroAsksForTheCountOnly) {
    driver_.Queue(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList({NODE_INFO{}, NODE_INFO{}}));
    EXPECT_EQ(link_.GetNodeList(nullptr, 0), 2u);
    RecordedRequest r = Only();
    EXPECT_EQ(r.code, 0x222190u);
    EXPECT_TRUE(r.input.empty());
    EXPECT_EQ(r.outLength, 4u);
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

TEST_F(DriverLinkTest, NodeListFailuresThrowStatusCodes) {
    driver_.FailNext(IOCTL_GET_NODE_LIST, 170);
    NODE_INFO records[1];
    try {
        link_.GetNodeList(records, sizeof records);
        ADD_FAILURE() << "no throw";
    } catch (uint32_t status) {
        EXPECT_EQ(status, 4u);
        EXPECT_EQ(platform::GetLastErrorCode(), 170u);
    }
    try {
        link_.GetNodeList(records, 0xFFFFFFFF);
        ADD_FAILURE() << "no throw";
    } catch (uint32_t status) {
        EXPECT_EQ(status, 8u);
    }
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
