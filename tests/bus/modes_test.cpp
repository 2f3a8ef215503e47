// Resets, upload mode, force flash mode and finding the bootstrap loader, at the level of
// the requests the driver receives.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

#include "api/context.h"
#include "bus/modes.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "loric.h"
#include "support/api_fixture.h"
#include "support/bus_expect.h"
#include "support/fake_clock.h"
#include "support/request_recorder.h"
#include "support/trace_text.h"

namespace loric::test {
namespace {

FLASH_DEVICE Device(int32_t commandSet, uint8_t busWidth) {
    FLASH_DEVICE device{};
    device.commandSetIndex = commandSet;
    device.busWidth = busWidth;
    return device;
}

class ModesTest : public ApiTest {
protected:
    void Open(uint32_t flags) {
        ASSERT_EQ(OpenLORIC(flags), 0u);
        debug_.Clear();
    }
    // Records the fake clock's time at every request, to show where the waits fall.
    void StampRequests() {
        driver_.SetHandler([this](const RecordedRequest&) -> std::optional<ScriptedReply> {
            stamps_.push_back(clock_.NowMs());
            return std::nullopt;
        });
    }
    std::string Trace() const { return WithoutAsyncLines(debug_.Text()); }

    FakeClock clock_;
    RequestRecorder driver_;
    std::vector<int64_t> stamps_;
};

TEST_F(ModesTest, IssueResetMapsARefusalToTheStatusOfItsKind) {
    struct Case {
        uint32_t kind;
        uint32_t status;
        const char* text;
    };
    const Case cases[] = {{RESET_FLASH, 28, "Flash reset failed"},
                          {RESET_DEVICE, 30, "Device reset failed"},
                          {RESET_BUS, 29, "Bus reset failed"},
                          {7, 5, "An API function parameter was invalid"}};
    Open(TRACE_API | TRACE_ERROR);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        debug_.Clear();
        driver_.ClearRequests();
        driver_.FailNext(IOCTL_RESET, platform::kErrorBusy);
        EXPECT_EQ(IssueReset(c.kind), c.status);
        EXPECT_EQ(g_api.messageArgument.number, platform::kErrorBusy);
        EXPECT_EQ(debug_.Text(), std::string("API_TRACE: Enter IssueReset\nLORIC ERROR: ") + c.text +
                                     "\nAPI_TRACE: Exit IssueReset (ret " + std::to_string(c.status) + ")\n");
        const auto requests = driver_.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].code, IOCTL_RESET);
        EXPECT_EQ(requests[0].input, LittleEndianBytes({c.kind}));
    }
    debug_.Clear();
    EXPECT_EQ(IssueReset(RESET_BUS), 0u);
    EXPECT_EQ(debug_.Text(), "API_TRACE: Enter IssueReset\nAPI_TRACE: Exit IssueReset (ret 0)\n");
    CloseLORIC();
    EXPECT_EQ(IssueReset(RESET_BUS), 3u);
}

TEST_F(ModesTest, UploadModeWritesEditThenWaitsThenTheSixteenCommandSetWords) {
    Open(TRACE_API | TRACE_INTERNAL);
    StampRequests();
    FLASH_DEVICE device = Device(0x301, 16);  // only the low byte selects the set
    EXPECT_EQ(SwitchDeviceToUploadMode(0xABCDFFC1, &device), 0u);

    std::vector<Quadlet> expected = {W(0xFFC1, CSR_MODE_CTRL, MODE_EDIT)};
    const uint32_t words[16] = {0x64100110, 0x00000000, 0x00000000, 0x00000000, 0x00F00000, 0x00000000,
                                0x00AA0555, 0x005502AA, 0x00A00555, 0x00000000, 0x00AA0555, 0x005502AA,
                                0x00800555, 0x00AA0555, 0x005502AA, 0x00100555};
    for (uint32_t word : words) expected.push_back(W(0xFFC1, CSR_UPLOAD_COMMAND_SET_CTRL, word));
    EXPECT_EQ(Quadlets(driver_), expected);
    ASSERT_EQ(stamps_.size(), 17u);
    EXPECT_GE(stamps_[1] - stamps_[0], 1000);  // the one-second wait after MODE_EDIT
    EXPECT_LT(stamps_[1] - stamps_[0], 1100);
    EXPECT_EQ(Trace(),
              "API_TRACE: Enter SwitchDeviceToUploadMode\n"
              "INTERNAL: Enter UploadFlashCommandSet\n"
              "INTERNAL: Exit UploadFlashCommandSet (ret 1)\n"
              "API_TRACE: Exit SwitchDeviceToUploadMode (ret 0)\n\n");

    // The same set for an 8-bit device afterwards: the built-in word 0 is unchanged.
    driver_.ClearRequests();
    FLASH_DEVICE narrow = Device(1, 8);
    EXPECT_EQ(SwitchDeviceToUploadMode(0xFFC1, &narrow), 0u);
    EXPECT_EQ(Quadlets(driver_).at(1), W(0xFFC1, CSR_UPLOAD_COMMAND_SET_CTRL, 0x64100010));
}

TEST_F(ModesTest, AFailedCommandSetWordStopsTheUploadAfterExactlyThatWrite) {
    Open(TRACE_API | TRACE_INTERNAL | TRACE_ERROR);
    std::atomic<int> setWrites{0};
    driver_.SetHandler([&](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (t && t->write && t->offsetLow == CSR_UPLOAD_COMMAND_SET_CTRL && ++setWrites == 5)
            return ScriptedReply::Failure(platform::kErrorIoDevice);
        return std::nullopt;
    });
    FLASH_DEVICE device = Device(0, 8);
    EXPECT_EQ(SwitchDeviceToUploadMode(0xFFC0, &device), 14u);
    const auto quadlets = Quadlets(driver_);
    ASSERT_EQ(quadlets.size(), 6u);  // MODE_EDIT and five words
    EXPECT_EQ(quadlets[5], W(0xFFC0, CSR_UPLOAD_COMMAND_SET_CTRL, 0x00900000));
    EXPECT_EQ(Trace(),
              "API_TRACE: Enter SwitchDeviceToUploadMode\n"
              "INTERNAL: Enter UploadFlashCommandSet\n"
              "LORIC ERROR: 1394 Quadlet write of address offset 0xF009001C failed\n"
              "ERROR INFO: 1394 Write error to CSR_UPLOAD_COMMAND_SET_CTRL!\n"
              "INTERNAL: Exit UploadFlashCommandSet (ret 0)\n"
              "LORIC ERROR: Failed to switch device to upload mode\n"
              "API_TRACE: Exit SwitchDeviceToUploadMode (ret 14)\n\n");
    EXPECT_EQ(g_api.messageArgument.number, 0u);
}

TEST_F(ModesTest, UploadModeRefusalsBeforeTheCommandSet) {
    Open(TRACE_API | TRACE_ERROR);
    // No device, or one that names no built-in set: nothing reaches the device.
    FLASH_DEVICE unknownSet = Device(7, 8);
    EXPECT_EQ(SwitchDeviceToUploadMode(0xFFC0, nullptr), 5u);
    EXPECT_EQ(SwitchDeviceToUploadMode(0xFFC0, &unknownSet), 5u);
    EXPECT_TRUE(driver_.Requests().empty());

    // MODE_EDIT refused: two error lines, no wait, no command set.
    debug_.Clear();
    StampRequests();
    const int64_t before = clock_.NowMs();
    driver_.FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
    FLASH_DEVICE device = Device(1, 16);
    EXPECT_EQ(SwitchDeviceToUploadMode(0xFFC0, &device), 10u);
    EXPECT_EQ(Quadlets(driver_), (std::vector<Quadlet>{W(0xFFC0, CSR_MODE_CTRL, MODE_EDIT)}));
    EXPECT_LT(clock_.NowMs() - before, 1000);
    EXPECT_EQ(WithoutAsyncLines(debug_.Text()),
              "API_TRACE: Enter SwitchDeviceToUploadMode\n"
              "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090010 failed\n"
              "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090010 failed\n"
              "API_TRACE: Exit SwitchDeviceToUploadMode (ret 10)\n\n");
    EXPECT_EQ(g_api.messageArgument.number, CSR_MODE_CTRL);

    CloseLORIC();
    EXPECT_EQ(SwitchDeviceToUploadMode(0xFFC0, nullptr), 3u);  // the link is checked first
}

TEST_F(ModesTest, ForceFlashClearsThePortThenWritesForceAndWaits) {
    Open(TRACE_API | TRACE_WARNING | TRACE_ERROR);
    StampRequests();
    EXPECT_EQ(SwitchDeviceToForceFlashMode(0x1FFC2), 0u);
    EXPECT_EQ(Quadlets(driver_),
              (std::vector<Quadlet>{W(0xFFC2, FLASH_PORT_CTRL, FLASH_PORT_CLEAR), W(0xFFC2, CSR_MODE_CTRL, MODE_FORCE)}));
    EXPECT_GE(clock_.NowMs() - stamps_.back(), 1000);
    EXPECT_EQ(WithoutAsyncLines(debug_.Text()),
              "API_TRACE: Enter SwitchDeviceToForceFlashMode\n"
              "API_TRACE: Force flash CSR written successfully\n"
              "API_TRACE: Exit SwitchDeviceToForceFlashMode (ret 0)\n\n");
}

TEST_F(ModesTest, ForceFlashRefusals) {
    Open(TRACE_API | TRACE_WARNING | TRACE_ERROR);
    // MODE_FORCE refused: still 0, without the success line and without the wait.
    driver_.SetHandler([](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (t && t->write && t->offsetLow == CSR_MODE_CTRL) return ScriptedReply::Failure(platform::kErrorIoDevice);
        return std::nullopt;
    });
    const int64_t before = clock_.NowMs();
    EXPECT_EQ(SwitchDeviceToForceFlashMode(0xFFC0), 0u);
    EXPECT_LT(clock_.NowMs() - before, 1000);
    EXPECT_EQ(WithoutAsyncLines(debug_.Text()),
              "API_TRACE: Enter SwitchDeviceToForceFlashMode\n"
              "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090010 failed\n"
              "API_TRACE: Exit SwitchDeviceToForceFlashMode (ret 0)\n\n");

    // The flash port cannot be cleared: 15, and MODE_FORCE is not written.
    debug_.Clear();
    driver_.ClearScript();
    driver_.ClearRequests();
    driver_.FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
    EXPECT_EQ(SwitchDeviceToForceFlashMode(0xFFC0), 15u);
    EXPECT_EQ(Quadlets(driver_), (std::vector<Quadlet>{W(0xFFC0, FLASH_PORT_CTRL, 0)}));
    EXPECT_EQ(WithoutAsyncLines(debug_.Text()),
              "API_TRACE: Enter SwitchDeviceToForceFlashMode\n"
              "LORIC ERROR: 1394 Quadlet write of address offset 0xF0080000 failed\n"
              "WARNING: Clearing flash port prior to force flash failed!\n"
              "LORIC ERROR: Failed to switch device to flash port programming mode\n"
              "API_TRACE: Exit SwitchDeviceToForceFlashMode (ret 15)\n\n");
    EXPECT_EQ(g_api.messageArgument.number, 0u);
    CloseLORIC();
    EXPECT_EQ(SwitchDeviceToForceFlashMode(0xFFC0), 3u);
}

TEST_F(ModesTest, FindUploaderNodeGivesUpAfterThreeScans) {
    Open(TRACE_INTERNAL);
    const int64_t before = clock_.NowMs();
    uint16_t node = 0x1234;
    EXPECT_FALSE(FindUploaderNode(&node));
    EXPECT_EQ(node, 0x1234);
    const int64_t waited = clock_.NowMs() - before;
    EXPECT_GE(waited, 4000);
    EXPECT_LT(waited, 4500);

    // Two resets, then per scan three reads and two more resets.
    std::vector<uint32_t> expected = {IOCTL_RESET, IOCTL_RESET};
    for (int scan = 0; scan < 3; ++scan)
        expected.insert(expected.end(), {IOCTL_ASYNC_READ, IOCTL_ASYNC_READ, IOCTL_ASYNC_READ, IOCTL_RESET, IOCTL_RESET});
    EXPECT_EQ(Codes(driver_), expected);
    for (const RecordedRequest& r : driver_.RequestsWithCode(IOCTL_RESET)) EXPECT_EQ(r.input, LittleEndianBytes({RESET_BUS}));
    const std::string scan = "INTERNAL: FindUploaderNode @ ffc0\nINTERNAL:  - Read = 00000000\n"
                             "INTERNAL: FindUploaderNode @ ffc1\nINTERNAL:  - Read = 00000000\n"
                             "INTERNAL: FindUploaderNode @ ffc2\nINTERNAL:  - Read = 00000000\n"
                             "INTERNAL: Couldn't locate, retrying\n";
    std::string expectedText = "INTERNAL: Enter FindUploaderNode\n";
    for (int i = 0; i < 3; ++i) expectedText += scan;
    expectedText += "INTERNAL: Exit FindUploaderNode (ret 0)\n\n";
    EXPECT_EQ(WithoutAsyncLines(debug_.Text()), expectedText);
}

TEST_F(ModesTest, FindUploaderNodePassesOverOtherValuesAndSelectsTheReadyNode) {
    Open(TRACE_INTERNAL | TRACE_API);
    std::atomic<int> reads{0};
    driver_.SetHandler([&](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (!t || t->write) return std::nullopt;
        ++reads;
        if (t->nodeId == 0xFFC0) return ScriptedReply::Failure(platform::kErrorIoDevice);
        if (t->nodeId == 0xFFC1) return ScriptedReply::QuadletRead(request, reads > 3 ? UPLOADER_READY : 0x414F6B20);
        return ScriptedReply::QuadletRead(request, 0x12345678);
    });
    uint16_t node = 0;
    EXPECT_TRUE(FindUploaderNode(&node));
    EXPECT_EQ(node, 0xFFC1);
    EXPECT_EQ(reads.load(), 5);  // a full first scan, then up to the ready node
    const auto targets = driver_.RequestsWithCode(IOCTL_SET_TARGET_NODE);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].input, (std::vector<uint8_t>{0xC1, 0xFF}));
    const std::string text = WithoutAsyncLines(debug_.Text());
    EXPECT_NE(text.find("INTERNAL: FindUploaderNode @ ffc1\nINTERNAL:  - Read = 414F6B20\n"
                        "INTERNAL: FindUploaderNode @ ffc2\nINTERNAL:  - Read = 12345678\n"
                        "INTERNAL: Couldn't locate, retrying\n"),
              std::string::npos);
    EXPECT_NE(text.find("INTERNAL: FindUploaderNode @ ffc1\nINTERNAL:  - Read = 414F6B21\n"
                        "API_TRACE: Enter SetTargetNode FFC1\nAPI_TRACE: Exit SetTargetNode (ret 0)\n"
                        "INTERNAL: Exit FindUploaderNode (ret 1)\n\n"),
              std::string::npos);
    EXPECT_EQ(text.find("ffc0\nINTERNAL:  - Read"), std::string::npos);  // a failed read shows no value
}

}  // namespace
}  // namespace loric::test
