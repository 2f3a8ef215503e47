// The bus exports against the driver stand-in: GetNodeInfo and FindNode, resets, upload mode,
// force flash mode and finding the bootstrap loader. Each scenario writes its statuses and
// outputs, every request with the fake clock's time, and the trace to a transcript compared
// with its own golden file in tests/data/bus/discovery/ or tests/data/bus/modes/. Then the
// whole-second waits and the time-out clock.

#include <cstring>
#include <set>

#include "bus/modes.h"
#include "link/timing.h"
#include "support/api_fixture.h"
#include "support/case_file.h"
#include "support/fake_clock.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

NODE_INFO Node(uint16_t bus, uint16_t number, uint32_t idHigh, uint32_t idLow) {
    return {{}, number, bus, idLow, idHigh};
}

class Bus : public ApiTest {
public:
    using ApiTest::debug_;
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
        driver_->SetHandler(
            [this, handler](const RecordedRequest& r) -> std::optional<ScriptedReply> {
                stamp_.push_back(clock_.NowMs() - start_);
                return handler ? handler(r) : std::nullopt;
            });
        t_.Add("== %s\n", name);
        body();
        const std::vector<RecordedRequest> requests = driver_->Requests();
        for (size_t i = 0; i < requests.size(); ++i) {
            const RecordedRequest& r = requests[i];
            // Times in whole tenths of a second: the waits show, a clock read more or less does
            // not.
            t_.Add("%5lld ms ",
                   i < stamp_.size() ? static_cast<long long>(stamp_[i] / 100 * 100) : -1LL);
            if (auto q = RequestRecorder::Decode(r)) {
                t_.Add("%s %04X %04X:%08X", q->write ? "write" : "read", q->nodeId, q->offsetHigh,
                       q->offsetLow);
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

// Fails quadlet writes to `offset`: the `nth` one only when nth > 0, and none at the `spared`
// nodes.
RequestRecorder::Handler FailWrite(uint32_t offset, int nth = 0, std::set<uint16_t> spared = {}) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    return [=](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (t && t->write && t->offsetLow == offset && !spared.count(t->nodeId) &&
            (nth == 0 || ++*seen == nth))
            return ScriptedReply::Failure(platform::kErrorIoDevice);
        return std::nullopt;
    };
}

// A scenario of the bus exports, against <folder>/<scenario>.txt; `handler` makes the stand-in's
// answers.
class BusScenario;
struct BusCase {
    const char* name;
    uint32_t flags;
    std::function<void(BusScenario& f)> body;
    std::function<RequestRecorder::Handler()> handler = nullptr;
};

class BusScenario : public Bus, public ::testing::WithParamInterface<BusCase> {
public:
    uint16_t node = 0;
    uint32_t blank = 0;

    void Run(const std::string& folder) {
        const BusCase& c = GetParam();
        Scenario(
            c.name, c.flags, [this, &c] { c.body(*this); }, c.handler ? c.handler() : nullptr);
        t_.Check(folder + "/" + CaseSlug(c.name) + ".txt");
    }
};

// FindNode over a node list, with flash ports at `ports` (the other nodes refuse the probe).
BusCase Find(const char* name, std::vector<NODE_INFO> listed, std::set<uint16_t> ports,
             uint32_t blank) {
    return {name, TRACE_API | TRACE_API_VERBOSE,
            [=](BusScenario& f) {
                f.driver_->SetDefault(IOCTL_GET_NODE_LIST, ScriptedReply::NodeList(listed));
                uint16_t node = 0x1234;
                uint32_t isBlank = blank;
                f.Status("FindNode", FindNode(&node, &isBlank));
                f.t_.Add("node %04X blank %u\n", node, isBlank);
            },
            [=] { return FailWrite(FLASH_PORT_CTRL, 0, ports); }};
}

// FindNode over node lists, its failures and refusals, and GetNodeInfo.
std::vector<BusCase> DiscoveryScenarios() {
    std::vector<NODE_INFO> fourteen;
    for (uint16_t i = 0; i < 14; ++i) fourteen.push_back(Node(0x3FF, i, i, 0));
    return {
        Find("one listed node", {Node(0x3FF, 2, 0x00112233, 0x44556677)}, {}, 0),
        Find("two listed nodes", {Node(0x3FF, 0, 1, 2), Node(0x001, 5, 0xA0B0C0D0, 0x0E0F1011)},
             {0xFFC0}, 0),
        Find("blank at the second probe node", {}, {0xFFC1}, 0),
        Find("blank asked for: no list", {Node(0x3FF, 2, 0, 0)}, {0xFFC0, 0xFFC1}, 1),
        Find("nothing anywhere", {}, {}, 7),
        Find("fourteen listed: the buffer holds ten", fourteen, {}, 0),
        {"failed probes report their own lines only", TRACE_ERROR,
         [](BusScenario& f) {
             f.driver_->FailAlways(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
             f.blank = 1;
             f.Status("FindNode", FindNode(&f.node, &f.blank));
         }},
        {"closed: still probes, finds nothing", TRACE_ERROR,
         [](BusScenario& f) {
             CloseLORIC();
             f.debug_.Clear();
             f.Status("FindNode", FindNode(&f.node, &f.blank));
         }},
        {"a refused target node does not undo the find", TRACE_ERROR,
         [](BusScenario& f) {
             f.driver_->SetDefault(IOCTL_GET_NODE_LIST,
                                   ScriptedReply::NodeList({Node(0x3FF, 4, 0, 0)}));
             f.driver_->FailNext(IOCTL_SET_TARGET_NODE, platform::kErrorBusy);
             f.Status("FindNode", FindNode(&f.node, &f.blank));
             f.t_.Add("node %04X\n", f.node);
             f.Status("FindNode(null)", FindNode(nullptr, &f.blank));
             f.Status("FindNode(, null)", FindNode(&f.node, nullptr));
         }},
        // The driver's own code is the argument of a refused list; a size whose reply would pass
        // 4 GiB is refused as "no memory" before anything is sent.
        {"GetNodeInfo", TRACE_ERROR | TRACE_API_VERBOSE | TRACE_VERBOSE,
         [](BusScenario& f) {
             NODE_INFO records[3];
             std::memset(records, 0xAB, sizeof records);
             uint32_t count = 99;
             const ScriptedReply two =
                 ScriptedReply::NodeList({Node(0x3FF, 1, 5, 6), Node(0x3FF, 3, 7, 8)});
             f.driver_->Queue(IOCTL_GET_NODE_LIST, two);
             f.Status("GetNodeInfo",
                      GetNodeInfo(&count, records,
                                  2 * sizeof(NODE_INFO)));  // exactly the size is copied
             f.t_.Add("count %u, node %u id %08X, after %08X\n", count, records[1].nodeNumber,
                      records[1].idLow, records[2].idLow);
             f.driver_->Queue(IOCTL_GET_NODE_LIST, two);
             f.Status("GetNodeInfo(size 0)",
                      GetNodeInfo(&count, records, 0));  // asks for the count only
             f.t_.Add("count %u\n", count);
             f.driver_->FailNext(IOCTL_GET_NODE_LIST, platform::kErrorBusy);
             count = 99;
             f.Status("GetNodeInfo", GetNodeInfo(&count, records, sizeof records));
             f.t_.Add("count %u\n", count);
             f.Status("GetNodeInfo(FFFFFFFF)",
                      GetNodeInfo(&count, records, 0xFFFFFFFFu));  // size + 4 wraps
             f.Status("GetNodeInfo(null)", GetNodeInfo(nullptr, records, 20));
             f.Status("GetNodeInfo(, null)", GetNodeInfo(&count, nullptr, 20));
             CloseLORIC();
             f.Status("GetNodeInfo", GetNodeInfo(&count, records, 20));
         }},
    };
}

class Discovery : public BusScenario {};
TEST_P(Discovery, StatusesRequestsAndTrace) { Run("bus/discovery"); }
INSTANTIATE_TEST_SUITE_P(Scenarios, Discovery, ::testing::ValuesIn(DiscoveryScenarios()),
                         CaseName());

FLASH_DEVICE Device(int32_t commandSet, uint8_t busWidth) {
    FLASH_DEVICE device{};
    device.commandSetIndex = commandSet;
    device.busWidth = busWidth;
    return device;
}

// A refused reset of each kind, against bus/modes/a_refused_reset_<kind>.txt.
class RefusedReset : public Bus, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RefusedReset, StatusAndTrace) {
    Scenario("a refused reset", TRACE_API | TRACE_ERROR, [&] {
        driver_->FailNext(IOCTL_RESET, platform::kErrorBusy);
        Status("IssueReset", IssueReset(GetParam()));
    });
    t_.Check("bus/modes/a_refused_reset_" + std::to_string(GetParam()) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Kinds, RefusedReset,
                         ::testing::Values(RESET_FLASH, RESET_DEVICE, RESET_BUS, 7u),
                         [](const auto& info) { return "kind_" + std::to_string(info.param); });

constexpr uint32_t kModeTrace = TRACE_API | TRACE_INTERNAL | TRACE_WARNING | TRACE_ERROR;

// The loader's node answers "ready" from the fourth read on, the one before it something else;
// the first probe node refuses.
RequestRecorder::Handler ReadyFromTheFourthRead() {
    auto reads = std::make_shared<std::atomic<int>>(0);
    return [reads](const RecordedRequest& request) -> std::optional<ScriptedReply> {
        auto t = RequestRecorder::Decode(request);
        if (!t || t->write) return std::nullopt;
        ++*reads;
        if (t->nodeId == 0xFFC0) return ScriptedReply::Failure(platform::kErrorIoDevice);
        if (t->nodeId == 0xFFC1)
            return ScriptedReply::QuadletRead(request, *reads > 3 ? UPLOADER_READY : 0x414F6B20);
        return ScriptedReply::QuadletRead(request, 0x12345678);
    };
}

// Resets, upload mode, force flash mode and finding the loader.
std::vector<BusCase> ModeScenarios() {
    return {
        {"reset, then closed", TRACE_API | TRACE_ERROR,
         [](BusScenario& f) {
             f.Status("IssueReset", IssueReset(RESET_BUS));
             CloseLORIC();
             f.Status("IssueReset", IssueReset(RESET_BUS));
         }},
        {"upload mode: edit, a second's wait, sixteen words", kModeTrace,
         [](BusScenario& f) {
             FLASH_DEVICE device = Device(0x301, 16);  // only the low byte selects the set
             f.Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xABCDFFC1, &device));
             FLASH_DEVICE narrow = Device(1, 8);  // the built-in word 0 is unchanged afterwards
             f.Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xFFC1, &narrow));
         }},
        {"upload mode: the fifth word fails", kModeTrace,
         [](BusScenario& f) {
             FLASH_DEVICE device = Device(0, 8);
             f.Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xFFC0, &device));
         },
         [] { return FailWrite(CSR_UPLOAD_COMMAND_SET_CTRL, 5); }},
        {"upload mode: refusals before the command set", kModeTrace,
         [](BusScenario& f) {
             FLASH_DEVICE unknownSet = Device(7, 8);
             f.Status("SwitchDeviceToUploadMode(null)", SwitchDeviceToUploadMode(0xFFC0, nullptr));
             f.Status("SwitchDeviceToUploadMode(set 7)",
                      SwitchDeviceToUploadMode(0xFFC0, &unknownSet));
             FLASH_DEVICE device = Device(1, 16);
             f.driver_->FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
             f.Status("SwitchDeviceToUploadMode", SwitchDeviceToUploadMode(0xFFC0, &device));
             CloseLORIC();
             f.Status("SwitchDeviceToUploadMode(closed, null)",
                      SwitchDeviceToUploadMode(0xFFC0, nullptr));
         }},
        {"force flash: port cleared, force written, a second's wait", kModeTrace,
         [](BusScenario& f) {
             f.Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0x1FFC2));
         }},
        {"force flash: force refused still answers 0, without the wait", kModeTrace,
         [](BusScenario& f) {
             f.Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0xFFC0));
         },
         [] { return FailWrite(CSR_MODE_CTRL); }},
        {"force flash: the port cannot be cleared", kModeTrace,
         [](BusScenario& f) {
             f.driver_->FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice);
             f.Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0xFFC0));
             CloseLORIC();
             f.Status("SwitchDeviceToForceFlashMode", SwitchDeviceToForceFlashMode(0xFFC0));
         }},
        {"the loader is not found after three scans", TRACE_INTERNAL,
         [](BusScenario& f) {
             uint16_t node = 0x1234;
             f.t_.Add("found %d node %04X\n", FindUploaderNode(&node), node);
         }},
        {"other values are passed over, the ready node selected", TRACE_INTERNAL | TRACE_API,
         [](BusScenario& f) {
             uint16_t node = 0;
             f.t_.Add("found %d node %04X\n", FindUploaderNode(&node), node);
         },
         ReadyFromTheFourthRead},
    };
}

class Modes : public BusScenario {};
TEST_P(Modes, StatusesRequestsAndTrace) { Run("bus/modes"); }
INSTANTIATE_TEST_SUITE_P(Scenarios, Modes, ::testing::ValuesIn(ModeScenarios()), CaseName());

// Ends at the first reading at which the time has passed, asleep in slices of 1 to 5 ms that
// never pass the deadline (3 ms in: a deadline off the slice grid).
TEST(WaitSeconds, SleepsInShortSlicesUntilTheTimeHasPassed) {
    for (const auto& [startMs, seconds] :
         {std::pair{0u, 1u}, {700u, 1u}, {999u, 2u}, {1u, 5u}, {3u, 1u}, {500u, 0u}}) {
        FakeClock clock(1700000000, /*stepMs=*/0);  // only sleeping moves time
        clock.Advance(startMs);
        const int64_t before = clock.NowMs();
        WaitSeconds(seconds);
        EXPECT_EQ(clock.NowMs() - before, int64_t{seconds} * 1000) << startMs << " " << seconds;
        EXPECT_EQ(clock.SleptMs(), uint64_t{seconds} * 1000);
        for (uint32_t ms : clock.Sleeps()) EXPECT_TRUE(ms >= 1 && ms <= 5) << ms;
    }
}

// The scripts of bus/check_timeout.txt, one test each.
using CheckTimeoutScript = ::testing::TestWithParam<CaseRow>;

TEST_P(CheckTimeoutScript, AnswersEachStep) {
    FakeClock clock(1700000000, 0);
    CheckTimeout(0);  // clears a "timed out" left by an earlier test
    CheckTimeout(0);
    std::istringstream steps(GetParam().fields.at(0));
    long long advanceMs = 0;
    std::string limit;
    int timedOut = 0, step = 0;
    for (char comma; steps >> advanceMs >> limit >> timedOut; steps >> comma, ++step) {
        clock.Advance(advanceMs);
        EXPECT_EQ(CheckTimeout(static_cast<uint32_t>(std::stoul(limit, nullptr, 0))), timedOut != 0)
            << "step " << step;
    }
    EXPECT_GT(step, 3);
}

INSTANTIATE_TEST_SUITE_P(Scripts, CheckTimeoutScript,
                         ::testing::ValuesIn(CaseRows("bus/check_timeout.txt")), CaseName());

}  // namespace
}  // namespace loric::test
