// Sector erase by the device (start write, then back-to-back polls under a time-out) and by
// the link through the flash port.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "loric.h"
#include "program_test_util.h"
#include "support/api_fixture.h"
#include "support/bus_expect.h"
#include "support/fake_clock.h"
#include "support/request_recorder.h"
#include "support/trace_text.h"

namespace loric::test {
namespace {

FLASH_DEVICE Device(uint32_t deviceId) {
    FLASH_DEVICE device{};
    device.attributes = deviceId << FLASH_ATTR_ID_SHIFT;
    device.busWidth = 8;
    device.commandSetIndex = 1;
    return device;
}

class EraseTest : public ApiTest {
protected:
    void Open(uint32_t flags) {
        ASSERT_EQ(OpenLORIC(flags), 0u);
        debug_.Clear();
    }
    // Answers the polls of FLASH_ERASE_CTRL with `values` in turn (the last one repeats), and
    // records the fake clock's time at every request.
    void PollAnswers(std::vector<uint32_t> values) {
        driver_.SetHandler([this, values](const RecordedRequest& request) -> std::optional<ScriptedReply> {
            stamps_.push_back(clock_.NowMs());
            auto t = RequestRecorder::Decode(request);
            if (!t || t->write || t->offsetLow != FLASH_ERASE_CTRL) return std::nullopt;
            const size_t i = polls_++;
            return ScriptedReply::QuadletRead(request, values[i < values.size() ? i : values.size() - 1]);
        });
    }
    std::string Text() const { return WithoutAsyncLines(debug_.Text()); }

    FakeClock clock_;
    RequestRecorder driver_;
    std::vector<int64_t> stamps_;
    std::atomic<size_t> polls_{0};
};

TEST_F(EraseTest, PollsBackToBackUntilTheDeviceReportsDone) {
    Open(TRACE_API | TRACE_ERROR);
    PollAnswers({0x00000000, 0xFFFFFFFE, 0x00000081});
    FLASH_DEVICE device = Device(3);
    EXPECT_EQ(EraseFlashSector(0x2FFC1, &device, 0x10000, 0), 0u);
    EXPECT_EQ(Quadlets(driver_), (std::vector<Quadlet>{W(0xFFC1, FLASH_ERASE_CTRL, 0x10000), R(0xFFC1, FLASH_ERASE_CTRL),
                                                       R(0xFFC1, FLASH_ERASE_CTRL), R(0xFFC1, FLASH_ERASE_CTRL)}));
    EXPECT_EQ(Text(), "API_TRACE: Enter EraseFlashSector 00010000\n"
                      "API_TRACE: Exit EraseFlashSector (ret 0 - read 00000081 - count 3)\n");
}

TEST_F(EraseTest, TimesOutWithinTheLastWholeSecondOfTheLimit) {
    struct Case {
        uint32_t address;
        int64_t minMs, maxMs;
        const char* message;
    };
    const Case cases[] = {
        {0x400, 19000, 20000, "Flash sector erase timed out (sector at 0x00400)"},
        {0x10000, 19000, 20000, "Flash sector erase timed out (sector at 0x10000)"},
        {ERASE_ALL, 119000, 120000, "Flash sector erase timed out (sector at 0xFFFFFFFF)"},
    };
    Open(TRACE_API | TRACE_ERROR);
    clock_.SetStep(7);  // every poll's clock reading takes 7 ms
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        debug_.Clear();
        driver_.ClearRequests();
        stamps_.clear();
        polls_ = 0;
        clock_.Advance(500);  // start in mid-second
        PollAnswers({0x2});
        FLASH_DEVICE device = Device(0);
        EXPECT_EQ(EraseFlashSector(0xFFC0, &device, c.address, 0), 23u);
        ASSERT_GE(stamps_.size(), 2u);
        const int64_t polled = stamps_.back() - stamps_.front();
        EXPECT_GE(polled, c.minMs - 7);
        EXPECT_LE(polled, c.maxMs);
        char expectedExit[96];
        std::snprintf(expectedExit, sizeof expectedExit,
                      "API_TRACE: Exit EraseFlashSector (ret 23 - read 00000002 - count %zu)\n", polls_.load());
        char enter[64];
        std::snprintf(enter, sizeof enter, "API_TRACE: Enter EraseFlashSector %.8X\n", c.address);
        EXPECT_EQ(Text(), std::string(enter) + "LORIC ERROR: " + c.message + "\n" + expectedExit);
        char text[128];
        ASSERT_EQ(GetErrorText(23, text), 0u);
        EXPECT_STREQ(text, c.message);
    }
}

TEST_F(EraseTest, InternalFlashIsGivenASecondInsteadOfPolls) {
    Open(TRACE_API);
    PollAnswers({0});
    FLASH_DEVICE device = Device(FLASH_INTERNAL_DEVICE_ID);
    EXPECT_EQ(EraseFlashSector(0xFFC0, &device, ERASE_ALL, 0), 0u);
    EXPECT_EQ(Quadlets(driver_), (std::vector<Quadlet>{W(0xFFC0, FLASH_ERASE_CTRL, ERASE_ALL)}));
    EXPECT_GE(clock_.NowMs() - stamps_.front(), 1000);
    EXPECT_EQ(Text(), "API_TRACE: Enter EraseFlashSector FFFFFFFF\n"
                      "API_TRACE: Exit EraseFlashSector (ret 0 - read 00000000 - count 0)\n");
}

// The device method's refused start write and failed poll, and the flash port method, which
// is one link call at the target node: statuses, requests and traces against a golden file.
TEST_F(EraseTest, FailuresAndTheFlashPortMethod) {
    RecordedRequest read;
    read.input.resize(44);
    struct Case {
        const char* name;
        std::function<void()> script;
        uint32_t address;
        uint32_t method;
    } cases[] = {
        {"start write refused", [&] { driver_.FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice); }, 0x8000, 0},
        {"poll fails after a good read",
         [&] {
             driver_.Queue(IOCTL_ASYNC_READ, ScriptedReply::QuadletRead(read, 0x40));
             driver_.FailNext(IOCTL_ASYNC_READ, platform::kErrorIoDevice);
         },
         0x8000, 0},
        {"flash port", [] {}, 0x10000, 1},
        {"flash port refused", [&] { driver_.FailNext(IOCTL_ERASE_SECTOR, platform::kErrorIoDevice); }, ERASE_ALL, 1},
    };
    std::string out;
    FLASH_DEVICE device = Device(0);
    for (const Case& c : cases) {
        Open(TRACE_API | TRACE_INTERNAL | TRACE_ERROR);
        driver_.ClearRequests();
        c.script();
        const uint32_t status = EraseFlashSector(0xFFC2, c.method ? nullptr : &device, c.address, c.method);
        out += "==== " + std::string(c.name) + ": status " + std::to_string(status) + ", message argument " +
               std::to_string(g_api.messageArgument.number) + "\n" + Transcript(driver_, debug_.Text(), nullptr);
        CloseLORIC();
    }
    ExpectGolden("program/erase_outcomes.txt", out);
    ASSERT_EQ(OpenLORIC(0), 0u);
    driver_.ClearRequests();
    EXPECT_EQ(EraseFlashSector(0xFFC0, nullptr, 0x8000, 0), 5u);
    CloseLORIC();
    EXPECT_EQ(EraseFlashSector(0xFFC0, &device, 0x8000, 0), 3u);
    EXPECT_EQ(EraseFlashSector(0xFFC0, &device, 0x8000, 1), 3u);
    EXPECT_TRUE(driver_.Requests().empty());
}

}  // namespace
}  // namespace loric::test
