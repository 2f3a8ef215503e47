// The bus exports against the driver stand-in: GetNodeInfo and FindNode, resets, upload mode,
// force flash mode and finding the bootstrap loader. Each scenario adds its statuses and
// outputs, every request with the fake clock's time, and the trace to a transcript compared
// with its golden file in tests/data/bus/. Then the whole-second waits and the time-out clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "api/context.h"
#include "bus/modes.h"
#include "link/registers.h"
#include "link/driver_link.h"
#include "link/timing.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/golden.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

NODE_INFO Node(uint16_t bus, uint16_t number, uint32_t idHigh, uint32_t idLow) { return {{}, number, bus, idLow, idHigh}; }

class Bus : public ApiTest {
protected:
    FakeClock clock_;
    std::unique_ptr<RequestRecorder> driver_;
    Transcript t_;
    int64_t start_ = 0;

    // A fresh context opened with `flags` over a new stand-in; `handler` answers first.
    void Scenario(const char* name, uint32_t flags, const std::function<void()>& body,
                  RequestRecorder::Handler handler = nullptr) {
        ResetApiContext();
        driver_ = std::make_unique<RequestRecorder>();
        ASSERT_EQ(OpenLORIC(flags), 0u);
        driver_->ClearRequests();
        debug_.Clear();
        stamp_.clear();
        start_ = clock_.NowMs();
        driver_->SetHandler([this, handler](const RecordedRequest& r) -> std::optional<ScriptedReply> {
            stamp_.push_back(clock_.NowMs() - start_);
            return handler ? handler(r) : std::nullopt;
        });
        t_.Add("== %s\n", name);
        body();
        const std::vector<RecordedRequest> requests = driver_->Requests();
        for (size_t i = 0; i < requests.size(); ++i) {
            const RecordedRequest& r = requests[i];
            // Times in whole tenths of a second: the waits show, a clock read more or less does not.
            t_.Add("%5lld ms ", i < stamp_.size() ? static_cast<long long>(stamp_[i] / 100 * 100) : -1LL);
            if (auto q = RequestRecorder::Decode(r)) {
                t_.Add("%s %04X %04X:%08X", q->write ? "write" : "read", q->nodeId, q->offsetHigh, q->offsetLow);
                if (q->write) t_.Add(" = %08X", q->value);
            } else {
                t_.Add("request %X out %u:", r.code, r.outLength);
                for (uint8_t b : r.input) t_.Add(" %02X", b);
            }
            t_.Add("\n");
        }
        t_.Add("after %lld ms\n", static_cast<long long>((clock_.NowMs() - start_) / 100 * 100));
        t_.Text(debug_.Text());
        ResetApiContext();
        driver_.reset();
    }
    void Status(const char* call, uint32_t status) {
        t_.Add("%s -> %u (argument %X)\n", call, status, g_api.messageArgument.number);
    }
    std::vector<int64_t> stamp_;
};

// Fails quadlet writes to `offset`: the `nth` one only when nth > 0, and none at the `spared` nodes.
RequestRecorder::Handler FailWrite(uint32_t offset, int nth = 0, std::set<uint16_t> spared = {}) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    return [=](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (t && t->write && t->offsetLow == offset && !spared.count(t->nodeId) && (nth == 0 || ++*seen == nth))
            return ScriptedReply::Failure(platform::kErrorIoDevice);
        return std::nullopt;
    };
}

TEST_F(Bus, FindNodeAndGetNodeInfo) {
    const struct {
        const char* name;
        std::vector<NODE_INFO> listed;
        std::set<uint16_t> flashPorts;
        uint32_t blank;
    } cases[] = {
        {"one listed node", {Node(0x3FF, 2, 0x00112233, 0x44556677)}, {}, 0},
        {"two listed nodes", {Node(0x3FF, 0, 1, 2), Node(0x001, 5, 0xA0B0C0D0, 0x0E0F1011)}, {0xFFC0}, 0},
        {"blank at the second probe node", {}, {0xFFC1}, 0},
        {"blank asked for: no list", {Node(0x3FF, 2, 0, 0)}, {0xFFC0, 0xFFC1}, 1},
        {"nothing anywhere", {}, {}, 7},
        {"fourteen listed: the buffer holds ten", [] {
             std::vector<NODE_INFO> nodes;
             for (uint16_t i = 0; i < 14; ++i) nodes.push_back(Node(0x3FF, i, i, 0));
             return nodes;
         }(), {}, 0},
    };
    uint16_t node = 0;
    uint32_t blank = 0;
    for (const auto& c : cases) {
        Scenario(c.name, TRACE_API | TRACE_API_VERBOSE, [&] {
            driver_->SetDefault(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList(c.listed));
            node = 0x1234;
            blank = c.blank;
            Status("FindNode", FindNode(&node, &blank));
            t_.Add("node %04X blank %u\n", node, blank);
        }, FailWrite(FLASH_PORT_CTRL, 0, c.flashPorts));
    }
    Scenario("failed probes report their own lines only", TRACE_ERROR, [&] {
        driver_->FailAlways(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
        blank = 1;
        Status("FindNode", FindNode(&node, &blank));
    });
    Scenario("closed: still probes, finds nothing", TRACE_ERROR, [&] {
        CloseLORIC();
        debug_.Clear();
        blank = 0;
        Status("FindNode", FindNode(&node, &blank));
    });
    Scenario("a refused target node does not undo the find", TRACE_ERROR, [&] {
        driver_->SetDefault(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList({Node(0x3FF, 4, 0, 0)}));
        driver_->FailNext(IOCTL_SET_TARGET_NODE, platform::kErrorBusy);
        blank = 0;
        Status("FindNode", FindNode(&node, &blank));
        t_.Add("node %04X\n", node);
        Status("FindNode(null)", FindNode(nullptr, &blank));
        Status("FindNode(, null)", FindNode(&node, nullptr));
    });
    // The driver's own code is the argument of a refused list; a size whose reply would pass
    // 4 GiB is refused as "no memory" before anything is sent.
    Scenario("GetNodeInfo", TRACE_ERROR | TRACE_API_VERBOSE | TRACE_VERBOSE, [&] {
        NODE_INFO records[3];
        std::memset(records, 0xAB, sizeof records);
        uint32_t count = 99;
        const ScriptedReply two = ScriptedReply::NodeList({Node(0x3FF, 1, 5, 6), Node(0x3FF, 3, 7, 8)});
        driver_->Queue(IOCTL_GET_NODE_LIST, two);
        Status("GetNodeInfo", GetNodeInfo(&count, records, 2 * sizeof(NODE_INFO)));  // exactly the size is copied
        t_.Add("count %u, node %u id %08X, after %08X\n", count, records[1].nodeNumber, records[1].idLow, records[2].idLow);
        driver_->Queue(IOCTL_GET_NODE_LIST, two);
        Status("GetNodeInfo(size 0)", GetNodeInfo(&count, records, 0));  // asks for the count only
        t_.Add("count %u\n", count);
        driver_->FailNext(IOCTL_GET_NODE_LIST, platform::kErrorBusy);
        count = 99;
        Status("GetNodeInfo", GetNodeInfo(&count, records, sizeof records));
        t_.Add("count %u\n", count);
        Status("GetNodeInfo(FFFFFFFF)", GetNodeInfo(&count, records, 0xFFFFFFFFu));  // size + 4 wraps
        Status("GetNodeInfo(null)", GetNodeInfo(nullptr, records, 20));
        Status("GetNodeInfo(, null)", GetNodeInfo(&count, nullptr, 20));
        CloseLORIC();
        Status("GetNodeInfo", GetNodeInfo(&count, records, 20));
    });
    t_.Check("bus/discovery.txt");
}

FLASH_DEVICE Device(int32_t commandSet, uint8_t busWidth) {
    FLASH_DEVICE device{};
    device.commandSetIndex = commandSet;
    device.busWidth = busWidth;
    return device;
}

TEST_F(Bus, ResetsAndModes) {
    const uint32_t flags = TRACE_API | TRACE_INTERNAL | TRACE_WARNING | TRACE_ERROR;
    for (uint32_t kind : {RESET_FLASH, RESET_DEVICE, RESET_BUS, 7u}) {
        Scenario("a refused reset", TRACE_API | TRACE_ERROR, [&] {
            driver_->FailNext(IOCTL_RESET, platform::kErrorBusy);
            Status("IssueReset", IssueReset(kind));
        });
    }
    Scenario("reset, then closed", TRACE_API | TRACE_ERROR, [&] {
        Status("IssueReset", IssueReset(RESET_BUS));
        CloseLORIC();
        Status("IssueReset", IssueReset(RESET_BUS));
    });
    Scenario("upload mode: edit, a second's wait, sixteen words", flags, [&] {
        FLASH_DEVICE device = Device(0x301, 16);  // only the low byte selects the set
        Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xABCDFFC1, &device));
        FLASH_DEVICE narrow = Device(1, 8);  // the built-in word 0 is unchanged afterwards
        Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xFFC1, &narrow));
    });
    Scenario("upload mode: the fifth word fails", flags, [&] {
        FLASH_DEVICE device = Device(0, 8);
        Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xFFC0, &device));
    }, FailWrite(CSR_UPLOAD_COMMAND_SET_CTRL, 5));
    Scenario("upload mode: refusals before the command set", flags, [&] {
        FLASH_DEVICE unknownSet = Device(7, 8);
        Status("SwitchDeviceToUploadMode(null)", SwitchDeviceToUploadMode(0xFFC0, nullptr));
        Status("SwitchDeviceToUploadMode(set 7)", SwitchDeviceToUploadMode(0xFFC0, &unknownSet));
        FLASH_DEVICE device = Device(1, 16);
        driver_->FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
        Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xFFC0, &device));
        CloseLORIC();
        Status("SwitchDeviceToUploadMode(closed, null)", SwitchDeviceToUploadMode(0xFFC0, nullptr));
    });
    Scenario("force flash: port cleared, force written, a second's wait", flags,
             [&] { Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0x1FFC2)); });
    Scenario("force flash: force refused still answers 0, without the wait", flags,
             [&] { Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0xFFC0)); },
             FailWrite(CSR_MODE_CTRL));
    Scenario("force flash: the port cannot be cleared", flags, [&] {
        driver_->FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
        Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0xFFC0));
        CloseLORIC();
        Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0xFFC0));
    });
    Scenario("the loader is not found after three scans", TRACE_INTERNAL, [&] {
        uint16_t node = 0x1234;
        t_.Add("found %d node %04X\n", FindUploaderNode(&node), node);
    });
    auto reads = std::make_shared<std::atomic<int>>(0);
    Scenario("other values are passed over, the ready node selected", TRACE_INTERNAL | TRACE_API, [&] {
        uint16_t node = 0;
        t_.Add("found %d node %04X\n", FindUploaderNode(&node), node);
    }, [reads](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (!t || t->write) return std::nullopt;
        ++*reads;
        if (t->nodeId == 0xFFC0) return ScriptedReply::Failure(platform::kErrorIoDevice);
        if (t->nodeId == 0xFFC1) return ScriptedReply::QuadletRead(request, *reads > 3 ? UPLOADER_READY : 0x414F6B20);
        return ScriptedReply::QuadletRead(request, 0x12345678);
    });
    t_.Check("bus/modes.txt");
}

// Ends at the first reading at which the time has passed, asleep in slices of 1 to 5 ms that
// never pass the deadline (3 ms in: a deadline off the slice grid).
TEST(WaitSeconds, SleepsInShortSlicesUntilTheTimeHasPassed) {
    for (const auto& [startMs, seconds] : {std::pair{0u, 1u}, {700u, 1u}, {999u, 2u}, {1u, 5u}, {3u, 1u}, {500u, 0u}}) {
        FakeClock clock(1700000000, /*stepMs=*/0);  // only sleeping moves time
        clock.Advance(startMs);
        const int64_t before = clock.NowMs();
        WaitSeconds(seconds);
        EXPECT_EQ(clock.NowMs() - before, int64_t{seconds} * 1000) << startMs << " " << seconds;
        EXPECT_EQ(clock.SleptMs(), uint64_t{seconds} * 1000);
        for (uint32_t ms : clock.Sleeps()) EXPECT_TRUE(ms >= 1 && ms <= 5) << ms;
    }
}

// Each step moves the clock on, then CheckTimeout(limit) must say whether the time is out.
TEST(CheckTimeout, WholeCalendarSecondsTheLimitsLowByteAndAStartReportingOnce) {
    struct Step {
        int64_t advanceMs;
        uint32_t limit;
        bool timedOut;
    };
    const std::vector<Step> scripts[] = {
        // Started late in a second: 4.000 s on the clock's seconds are 3.001 s really; the time-out stays.
        {{999, 0, false}, {3001, 5, false}, {1000, 5, true}, {0, 5, true}},
        // Only the low byte counts: 0x105 checks 5, 0x100 is a start that reports the time-out just seen.
        {{0, 0, false}, {4000, 0x105, false}, {1000, 0x105, true}, {0, 0x100, true}, {0, 5, false}},
        // A start reports the previous time-out once; a timing without one leaves nothing to report.
        {{0, 0, false}, {60000, 60, true}, {0, 0, true}, {0, 0, false}, {0, 5, false}, {0, 0, false}},
    };
    for (const auto& script : scripts) {
        FakeClock clock(1700000000, 0);
        CheckTimeout(0);  // clears a "timed out" left by an earlier test
        CheckTimeout(0);
        for (size_t i = 0; i < script.size(); ++i) {
            clock.Advance(script[i].advanceMs);
            EXPECT_EQ(CheckTimeout(script[i].limit), script[i].timedOut) << "step " << i << " of " << &script - scripts;
        }
    }
}

}  // namespace
}  // namespace loric::test
