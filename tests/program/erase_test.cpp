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

TEST_F(EraseTest, TimesOutWithinTheLastWholeSecondOfTheLimit) {
    const struct {
        uint32_t address;
        int64_t minMs, maxMs;
        const char* message;
    } cases[] = {
        {0x400, 19000, 20000, "Flash sector erase timed out (sector at 0x00400)"},
        {0x10000, 19000, 20000, "Flash sector erase timed out (sector at 0x10000)"},
        {ERASE_ALL, 119000, 120000, "Flash sector erase timed out (sector at 0xFFFFFFFF)"},
    };
    Open(TRACE_API | TRACE_ERROR);
    clock_.SetStep(7);  // every poll's clock reading takes 7 ms
    for (const auto& c : cases) {
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
        char expected[256];
        std::snprintf(expected, sizeof expected,
                      "API_TRACE: Enter EraseFlashSector %.8X\nLORIC ERROR: %s\n"
                      "API_TRACE: Exit EraseFlashSector (ret 23 - read 00000002 - count %zu)\n",
                      c.address, c.message, polls_.load());
        EXPECT_EQ(Text(), expected);
        char text[128];
        ASSERT_EQ(GetErrorText(23, text), 0u);
        EXPECT_STREQ(text, c.message);
    }
}

// The device method's back-to-back polls until done, its refused start write and failed poll,
// the second the internal flash is given instead of polls, and the flash port method, which is
// one link call at the target node: statuses, waits, requests and traces against a golden file.
TEST_F(EraseTest, FailuresAndTheFlashPortMethod) {
    RecordedRequest read;
    read.input.resize(44);
    struct Case {
        const char* name;
        std::function<void()> script;
        uint32_t address;
        uint32_t method;
        uint32_t deviceId = 0;
    } cases[] = {
        {"polls until done", [&] { PollAnswers({0x00000000, 0xFFFFFFFE, 0x00000081}); }, 0x10000, 0, 3},
        {"internal flash", [&] { PollAnswers({0}); }, ERASE_ALL, 0, FLASH_INTERNAL_DEVICE_ID},
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
    for (const Case& c : cases) {
        Open(TRACE_API | TRACE_INTERNAL | TRACE_ERROR);
        driver_.ClearRequests();
        driver_.ClearScript();
        polls_ = 0;
        c.script();
        FLASH_DEVICE device = Device(c.deviceId);
        const int64_t before = clock_.NowMs();
        const uint32_t status = EraseFlashSector(0xFFC2, c.method ? nullptr : &device, c.address, c.method);
        out += "==== " + std::string(c.name) + ": status " + std::to_string(status) + ", message argument " +
               std::to_string(g_api.messageArgument.number) + ", " + std::to_string((clock_.NowMs() - before) / 1000) +
               " whole s\n" + RequestTranscript(driver_, debug_.Text(), nullptr);
        CloseLORIC();
    }
    FLASH_DEVICE device = Device(0);
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
