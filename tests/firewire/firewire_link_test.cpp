// The link over the kernel's 1394 stack, against a fake firewire-core on the simulated bus: the
// node files, generations and rcodes as the kernel presents them, through the exports and the
// link itself.
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tqsim/firewire_core.h"
#include "link/firewire_link.h"
#include "link/registers.h"
#include "loric.h"
#include "platform/platform.h"
#include "platform/posix/firewire.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/golden.h"
#include "support/scoped_env.h"
#include "tqsim/images.h"
#include "tqsim/system.h"

namespace loric::test {
namespace {

namespace fw = platform::firewire;

const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";

std::vector<uint8_t> ReadImage(const std::string& name) {
    const std::string bytes = ReadFileBytes(kImages + name);
    return {bytes.begin(), bytes.end()};
}

// The kernel hooks of the library, answered by a tqsim::FirewireCore.
class FakeKernel {
public:
    explicit FakeKernel(tqsim::FirewireCore& core) : core_(core) { fw::SetKernelHooks(&hooks_); }
    ~FakeKernel() { fw::SetKernelHooks(nullptr); }

private:
    static tqsim::FirewireCore& Core(void* context) {
        return static_cast<FakeKernel*>(context)->core_;
    }
    template <typename T>
    static T Result(T value) {
        if (value >= 0) return value;
        errno = static_cast<int>(-value);
        return -1;
    }
    static int Open(void* c, const char* path) { return Result(Core(c).Open(path)); }
    static int Close(void* c, int fd) { return Result(Core(c).Close(fd)); }
    static int Ioctl(void* c, int fd, unsigned long request, void* argument) {
        tqsim::FirewireCore::DirectMemory memory;
        return Result(Core(c).Ioctl(fd, request, argument, memory));
    }
    static long Read(void* c, int fd, void* buffer, size_t size) {
        return Result(Core(c).Read(fd, buffer, size));
    }
    static bool List(void* c, std::vector<std::string>* names) {
        *names = Core(c).Names();
        names->insert(names->begin(), {".", "..", "fwx", "null", "fw", "tty0"});
        return true;
    }

    tqsim::FirewireCore& core_;
    fw::KernelHooks hooks_{&Open, &Close, &Ioctl, &Read, &List, this};
};

// One running board (device 0) with the host's controller on the bus; more on request.
class FirewireBench : public ApiTest {
protected:
    FirewireBench() {
        tqsim::SystemOptions options;
        std::string error;
        EXPECT_TRUE(tqsim::LoadChipFromFlashDataFile(kImages + "simchips.dat", "29F040B",
                                                     &options.chip, &error));
        sim_ = std::make_unique<tqsim::System>(options);
        firmware_ = ReadImage("firmware.bin");
        config_ = ReadImage("config.bin");
        EXPECT_TRUE(sim_->InstallFirmware(firmware_, config_));
        sim_->Reboot();
        core_ = std::make_unique<tqsim::FirewireCore>(*sim_);
        kernel_ = std::make_unique<FakeKernel>(*core_);
    }
    ~FirewireBench() override {
        CloseLORIC();
        kernel_.reset();
    }
    // A second board: running when it gets the first board's images, blank otherwise.
    size_t AddBoard(bool running) {
        const size_t index = sim_->AddDevice();
        if (running) {
            EXPECT_TRUE(sim_->InstallFirmware(firmware_, config_, index));
            sim_->Reboot(index);
        }
        return index;
    }
    tqsim::NodeEntry Listed(size_t index) {
        const uint16_t id = sim_->DeviceNodeId(index);
        for (const auto& node : sim_->Nodes())
            if (node.nodeId == id) return node;
        ADD_FAILURE() << "device " << index << " not on the bus";
        return {};
    }
    std::vector<std::string> Requests() const {
        std::vector<std::string> lines;
        for (const auto& line : core_->Log())
            if (line.find(" read ") != std::string::npos ||
                line.find(" write ") != std::string::npos)
                lines.push_back(line);
        return lines;
    }

    FakeClock clock_;
    ScopedEnv link_{"LORIC_LINK", "firewire"};
    std::unique_ptr<tqsim::System> sim_;
    std::unique_ptr<tqsim::FirewireCore> core_;
    std::unique_ptr<FakeKernel> kernel_;
    std::vector<uint8_t> firmware_, config_;
};

// ---- Choosing the link ------------------------------------------------------------------

TEST_F(FirewireBench, ChosenWhenNodeFilesExistAndNoSocketIsNamed) {
    ScopedEnv noChoice("LORIC_LINK", nullptr), noSocket("BRENNOCK_SOCKET", nullptr);
    EXPECT_TRUE(fw::KernelStackChosen());
}

TEST_F(FirewireBench, NotChosenWhileASocketIsNamed) {
    ScopedEnv noChoice("LORIC_LINK", nullptr);
    EXPECT_FALSE(fw::KernelStackChosen());  // the fixture names a socket
}

TEST_F(FirewireBench, LinkVariableOverridesTheRule) {
    ScopedEnv socket("LORIC_LINK", "socket"), noSocket("BRENNOCK_SOCKET", nullptr);
    EXPECT_FALSE(fw::KernelStackChosen());
    ScopedEnv firewire("LORIC_LINK", "firewire"), named("BRENNOCK_SOCKET", "/tmp/x.sock");
    EXPECT_TRUE(fw::KernelStackChosen());
}

TEST_F(FirewireBench, NotChosenWithoutNodeFiles) {
    ScopedEnv noChoice("LORIC_LINK", nullptr), noSocket("BRENNOCK_SOCKET", nullptr);
    fw::KernelHooks empty{nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          [](void*, std::vector<std::string>* names) {
                              *names = {"null", "fwa", "fw"};
                              return true;
                          },
                          nullptr};
    fw::SetKernelHooks(&empty);
    EXPECT_FALSE(fw::KernelStackChosen());
    EXPECT_TRUE(fw::NodeFiles().empty());
}

TEST_F(FirewireBench, ForcedWithoutNodeFilesTheOpenFails) {
    fw::KernelHooks empty{
        nullptr, nullptr, nullptr, nullptr, [](void*, std::vector<std::string>*) { return true; },
        nullptr};
    fw::SetKernelHooks(&empty);
    EXPECT_EQ(OpenLORIC(0), static_cast<uint32_t>(LORIC_ERR_OPEN_DRIVER));
}

TEST_F(FirewireBench, NodeFilesAreListedByNumber) {
    AddBoard(true);
    AddBoard(true);
    // Device 0 joined first, then the host, then the two boards.
    EXPECT_EQ(fw::NodeFiles(),
              (std::vector<std::string>{"/dev/fw0", "/dev/fw1", "/dev/fw2", "/dev/fw3"}));
}

TEST_F(FirewireBench, NodeFilesAreOrderedByTheirNumberNotTheirName) {
    fw::KernelHooks listing{nullptr, nullptr, nullptr, nullptr,
                            [](void*, std::vector<std::string>* names) {
                                *names = {"fw10", "fw2", "fw1x", "fw", "fw0", "xfw3", "fw1.0"};
                                return true;
                            },
                            nullptr};
    fw::SetKernelHooks(&listing);
    EXPECT_EQ(fw::NodeFiles(), (std::vector<std::string>{"/dev/fw0", "/dev/fw2", "/dev/fw10"}));
}

// ---- The node list ------------------------------------------------------------------------

TEST_F(FirewireBench, NodeListHoldsBoardsWithAConfigRomOnly) {
    AddBoard(false);  // blank: no config ROM, so no file
    ASSERT_EQ(OpenLORIC(0), 0u);
    EXPECT_EQ(core_->Names(), (std::vector<std::string>{"fw0", "fw1"}));
    NODE_INFO records[4] = {};
    uint32_t count = 0;
    ASSERT_EQ(GetNodeInfo(&count, records, sizeof records), 0u);
    ASSERT_EQ(count, 1u);  // the host's own node is left out
    const tqsim::NodeEntry board = Listed(0);
    EXPECT_EQ(records[0].nodeNumber, board.nodeId & 0x3F);
    EXPECT_EQ(records[0].busNumber, 0x3FF);
    EXPECT_EQ(records[0].idHigh, board.idHigh);
    EXPECT_EQ(records[0].idLow, board.idLow);
    EXPECT_EQ(records[0].reserved[0], sim_->Generation());
    EXPECT_EQ(records[0].reserved[1], 0u);
}

TEST_F(FirewireBench, NodeListFillsOnlyTheRoomGiven) {
    AddBoard(true);
    ASSERT_EQ(OpenLORIC(0), 0u);
    NODE_INFO records[2];
    std::memset(records, 0xA5, sizeof records);
    uint32_t count = 0;
    ASSERT_EQ(GetNodeInfo(&count, records, sizeof(NODE_INFO)), 0u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(records[0].idLow,
              Listed(0).nodeId < Listed(1).nodeId ? Listed(0).idLow : Listed(1).idLow);
    EXPECT_EQ(records[1].reserved[0], 0xA5A5A5A5u);
}

TEST_F(FirewireBench, FindNodeFindsTheRunningBoard) {
    ASSERT_EQ(OpenLORIC(0), 0u);
    uint16_t node = 0;
    uint32_t blank = 0;
    FindNode(&node, &blank);
    EXPECT_EQ(node, sim_->DeviceNodeId());
}

// ---- Transactions ---------------------------------------------------------------------------

TEST_F(FirewireBench, QuadletReadGoesToTheNodesFileInTheCurrentGeneration) {
    ASSERT_EQ(OpenLORIC(0), 0u);
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(sim_->DeviceNodeId(), 0xFFFF, 0xF0000400, &value), 0u);
    EXPECT_EQ(value, sim_->ConfigRom()[0]);
    const std::string gen = std::to_string(sim_->Generation());
    EXPECT_EQ(Requests(),
              std::vector<std::string>{"fw0 read ffff.f0000400 x4 gen " + gen + ": rcode 0"});
}

TEST_F(FirewireBench, QuadletWriteCarriesTheValueInBusOrder) {
    ASSERT_EQ(OpenLORIC(0), 0u);
    // Edit mode: the board now waits for a command set.
    ASSERT_EQ(WriteQuadlet(sim_->DeviceNodeId(), 0xFFFF, CSR_MODE_CTRL, MODE_EDIT), 0u);
    EXPECT_EQ(sim_->Mode(), tqsim::DeviceMode::Upload);
    const std::string gen = std::to_string(sim_->Generation());
    EXPECT_EQ(Requests(), std::vector<std::string>{"fw0 write ffff.f0090010 x4 gen " + gen +
                                                   " = 45646974: rcode 0"});
}

TEST_F(FirewireBench, StaleGenerationIsRefreshedAndTriedOnce) {
    ASSERT_EQ(OpenLORIC(0), 0u);
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(sim_->DeviceNodeId(), 0xFFFF, 0xF0000400, &value), 0u);
    const uint32_t before = sim_->Generation();
    core_->ClearLog();
    core_->ResetBusBeforeRequest(1);
    ASSERT_EQ(ReadQuadlet(sim_->DeviceNodeId(), 0xFFFF, 0xF0000404, &value), 0u);
    EXPECT_EQ(value, sim_->ConfigRom()[1]);
    EXPECT_EQ(Requests(),
              (std::vector<std::string>{
                  "fw0 read ffff.f0000404 x4 gen " + std::to_string(before) + ": rcode 19",
                  "fw0 read ffff.f0000404 x4 gen " + std::to_string(before + 1) + ": rcode 0"}));
}

TEST_F(FirewireBench, GenerationStaleTwiceIsReportedAsNotConnected) {
    ASSERT_EQ(OpenLORIC(0), 0u);
    core_->ForceRcode(RCODE_GENERATION, 2);
    uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(sim_->DeviceNodeId(), 0xFFFF, 0xF0000400, &value),
              static_cast<uint32_t>(LORIC_ERR_QUADLET_READ));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorDeviceNotConnected);
    EXPECT_EQ(Requests().size(), 2u);
}

TEST_F(FirewireBench, RenumberedBoardIsReachedUnderItsNewNodeId) {
    sim_->SetRotateOnBusReset(true);
    ASSERT_EQ(OpenLORIC(0), 0u);
    const uint16_t before = sim_->DeviceNodeId();
    ASSERT_EQ(IssueReset(RESET_BUS), 0u);
    const uint16_t after = sim_->DeviceNodeId();
    ASSERT_NE(before, after);
    NODE_INFO record = {};
    uint32_t count = 0;
    ASSERT_EQ(GetNodeInfo(&count, &record, sizeof record), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(record.nodeNumber, after & 0x3F);
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(after, 0xFFFF, 0xF0000400, &value), 0u);
    EXPECT_EQ(value, sim_->ConfigRom()[0]);
}

TEST_F(FirewireBench, BusResetGoesThroughTheKernelAndWaits) {
    ASSERT_EQ(OpenLORIC(0), 0u);
    const uint32_t before = sim_->Generation();
    const int64_t start = clock_.NowMs();
    ASSERT_EQ(IssueReset(RESET_BUS), 0u);
    EXPECT_EQ(sim_->Generation(), before + 1);
    EXPECT_GE(clock_.NowMs() - start, 1000);
    EXPECT_NE(std::find(core_->Log().begin(), core_->Log().end(), "fw0 long bus reset"),
              core_->Log().end());
}

TEST_F(FirewireBench, NodeWithoutAFileCannotBeReached) {
    const size_t blank = AddBoard(false);
    ASSERT_EQ(OpenLORIC(0), 0u);
    uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(sim_->DeviceNodeId(blank), 0xFFFF, FLASH_UPLOAD_CTRL, &value),
              static_cast<uint32_t>(LORIC_ERR_QUADLET_READ));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorDeviceNotConnected);
    EXPECT_TRUE(Requests().empty());
}

// The last node leaves, so nobody else takes its node ID: its dead file (ENODEV) is closed and
// the retry finds no file for that ID.
TEST_F(FirewireBench, BoardThatLeftGivesDeviceNotConnected) {
    const size_t second = AddBoard(true);
    ASSERT_EQ(OpenLORIC(0), 0u);
    const uint16_t node = sim_->DeviceNodeId(second);
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value), 0u);
    {
        auto lock = sim_->Lock();
        sim_->device(second).PowerOff();
    }
    core_->ClearLog();
    EXPECT_EQ(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value),
              static_cast<uint32_t>(LORIC_ERR_QUADLET_READ));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorDeviceNotConnected);
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(core_->Names(), (std::vector<std::string>{"fw0", "fw1"}));
    uint32_t count = 9;
    NODE_INFO records[2];
    ASSERT_EQ(GetNodeInfo(&count, records, sizeof records), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(records[0].nodeNumber, sim_->DeviceNodeId() & 0x3F);
}

// A board that left while another node took its ID: the request is not sent to that node.
TEST_F(FirewireBench, RequestIsNotSentToTheNodeThatTookTheIdOfABoardThatLeft) {
    ASSERT_EQ(OpenLORIC(0), 0u);
    const uint16_t node = sim_->DeviceNodeId();
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value), 0u);
    {
        auto lock = sim_->Lock();
        sim_->device().PowerOff();
    }
    core_->ClearLog();
    EXPECT_EQ(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value),
              static_cast<uint32_t>(LORIC_ERR_QUADLET_READ));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorDeviceNotConnected);
    EXPECT_TRUE(Requests().empty());
}

// A bus reset renumbers the board while a request is on its way: it is not tried again under
// the old ID, which another node has now.
TEST_F(FirewireBench, RequestRenumberedInFlightIsReportedNotRedirected) {
    sim_->SetRotateOnBusReset(true);
    ASSERT_EQ(OpenLORIC(0), 0u);
    const uint16_t node = sim_->DeviceNodeId();
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value), 0u);
    core_->ClearLog();
    core_->ResetBusBeforeRequest(1);
    EXPECT_EQ(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value),
              static_cast<uint32_t>(LORIC_ERR_QUADLET_READ));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorDeviceNotConnected);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_NE(Requests()[0].find(": rcode 19"), std::string::npos);
    ASSERT_NE(sim_->DeviceNodeId(), node);
}

TEST_F(FirewireBench, NamesAreReusedByOtherBoardsAfterResets) {
    const size_t second = AddBoard(true);  // fw0 board 0, fw1 host, fw2 board 1
    ASSERT_EQ(OpenLORIC(0), 0u);
    NODE_INFO records[4];
    uint32_t count = 0;
    ASSERT_EQ(GetNodeInfo(&count, records, sizeof records), 0u);
    ASSERT_EQ(count, 2u);
    // Both boards leave; board 1 comes back first and gets fw0, board 0 gets fw2.
    auto power = [&](size_t index, bool on) {
        {
            auto lock = sim_->Lock();
            on ? sim_->device(index).PowerOn() : sim_->device(index).PowerOff();
        }
        core_->Sync();
    };
    power(0, false);
    power(second, false);
    power(second, true);
    power(0, true);
    EXPECT_EQ(core_->Names(), (std::vector<std::string>{"fw1", "fw0", "fw2"}));
    ASSERT_EQ(GetNodeInfo(&count, records, sizeof records), 0u);
    ASSERT_EQ(count, 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        const uint16_t node =
            static_cast<uint16_t>(records[i].busNumber << 6 | records[i].nodeNumber);
        const size_t index = node == sim_->DeviceNodeId(0) ? 0 : 1;
        EXPECT_EQ(node, sim_->DeviceNodeId(index));
        EXPECT_EQ(records[i].idLow, Listed(index).idLow);
    }
    core_->ClearLog();
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(sim_->DeviceNodeId(second), 0xFFFF, 0xF0000400, &value), 0u);
    ASSERT_EQ(Requests().size(), 1u);
    EXPECT_EQ(Requests()[0].substr(0, 4), "fw0 ");
}

TEST_F(FirewireBench, NoAccessIsReportedWithTheUdevRule) {
    core_->SetDenyAccess(true);
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    NODE_INFO record;
    uint32_t count = 0;
    EXPECT_EQ(GetNodeInfo(&count, &record, sizeof record),
              static_cast<uint32_t>(LORIC_ERR_DRIVER_INTERNAL));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorAccessDenied);
    EXPECT_NE(
        ReadDebugLog().find("No access to /dev/fw0: install the udev rule 60-loric-firewire.rules"),
        std::string::npos)
        << ReadDebugLog();
    uint32_t value = 0;
    EXPECT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0000400, &value),
              static_cast<uint32_t>(LORIC_ERR_QUADLET_READ));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorAccessDenied);
    EXPECT_EQ(IssueReset(RESET_BUS), static_cast<uint32_t>(LORIC_ERR_BUS_RESET));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorAccessDenied);
    // The hint is given once, however often the files are scanned.
    const std::string log = ReadDebugLog();
    const std::string hint = "install the udev rule";
    EXPECT_EQ(log.find(hint), log.rfind(hint)) << log;
}

TEST_F(FirewireBench, AccessGivenLaterIsPickedUpAtTheNextScan) {
    core_->SetDenyAccess(true);
    ASSERT_EQ(OpenLORIC(0), 0u);
    NODE_INFO record;
    uint32_t count = 0;
    EXPECT_NE(GetNodeInfo(&count, &record, sizeof record), 0u);
    core_->SetDenyAccess(false);
    ASSERT_EQ(GetNodeInfo(&count, &record, sizeof record), 0u);
    EXPECT_EQ(count, 1u);
}

// ---- Error numbers ---------------------------------------------------------------------------

TEST_F(FirewireBench, ResponseCodesBecomeWindowsErrors) {
    struct Case {
        uint32_t rcode, error;
    };
    const Case cases[] = {
        {RCODE_ADDRESS_ERROR, 1117},  {RCODE_TYPE_ERROR, 1117}, {RCODE_DATA_ERROR, 1117},
        {RCODE_CONFLICT_ERROR, 1117}, {RCODE_BUSY, 170},        {RCODE_NO_ACK, 121},
        {RCODE_CANCELLED, 1460},      {RCODE_SEND_ERROR, 31},
    };
    FirewireLink link;
    uint32_t value = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rcode);
        core_->ForceRcode(c.rcode, 1);
        platform::SetLastErrorCode(0);
        EXPECT_FALSE(link.ReadQuadlet(sim_->DeviceNodeId(), 0xF0000400, &value));
        EXPECT_EQ(platform::GetLastErrorCode(), c.error);
        EXPECT_TRUE(
            link.ReadQuadlet(sim_->DeviceNodeId(), 0xF0000400, &value));  // not retried, not sticky
    }
}

// Events that are not this request's response are passed over: a bus reset, another
// request's response.
TEST_F(FirewireBench, OtherEventsBeforeTheResponseArePassedOver) {
    FirewireLink link;
    core_->EditNextResponse([](std::vector<std::vector<uint8_t>>& events) {
        std::vector<uint8_t> other = events.back();
        other[0] ^= 0xFF;  // another closure
        other[sizeof(fw_cdev_event_response)] = 0x99;
        fw_cdev_event_bus_reset reset{};
        reset.type = FW_CDEV_EVENT_BUS_RESET;
        const auto* bytes = reinterpret_cast<const uint8_t*>(&reset);
        events.insert(events.begin(), {std::vector<uint8_t>(bytes, bytes + sizeof reset), other});
    });
    uint32_t value = 0;
    ASSERT_TRUE(link.ReadQuadlet(sim_->DeviceNodeId(), 0xF0000400, &value));
    EXPECT_EQ(value, sim_->ConfigRom()[0]);
}

TEST_F(FirewireBench, ShortReadResponseIsAnIoError) {
    FirewireLink link;
    core_->EditNextResponse([](std::vector<std::vector<uint8_t>>& events) {
        events.back().resize(events.back().size() - 2);
    });
    uint32_t value = 0x12345678;
    EXPECT_FALSE(link.ReadQuadlet(sim_->DeviceNodeId(), 0xF0000400, &value));
    EXPECT_EQ(platform::GetLastErrorCode(), 1117u);
    EXPECT_EQ(value, 0x12345678u);
}

TEST_F(FirewireBench, EventTooShortToReadIsAnIoError) {
    FirewireLink link;
    core_->EditNextResponse(
        [](std::vector<std::vector<uint8_t>>& events) { events.back().resize(8); });
    uint32_t value = 0;
    EXPECT_FALSE(link.ReadQuadlet(sim_->DeviceNodeId(), 0xF0000400, &value));
    EXPECT_EQ(platform::GetLastErrorCode(), 1117u);
}

// What reaches the kernel for a transaction: the request only when its length is whole
// quadlets, at least one and at most the largest payload.
TEST(FirewireSeam, TransactionLengthsOutsideTheLimitsNeverReachTheKernel) {
    static std::vector<uint32_t> sent;
    sent.clear();
    fw::KernelHooks recording{};
    recording.ioctl = [](void*, int, unsigned long request, void* argument) {
        if (request == FW_CDEV_IOC_SEND_REQUEST)
            sent.push_back(static_cast<fw_cdev_send_request*>(argument)->length);
        errno = EIO;
        return -1;
    };
    fw::SetKernelHooks(&recording);
    std::vector<uint8_t> data(fw::kMaxPayload + 8);
    struct Case {
        uint32_t length, error;
    };
    for (const Case c : {Case{4, 1117}, Case{8, 1117}, Case{fw::kMaxPayload, 1117},
                         Case{fw::kMaxPayload + 4, 87}, Case{0, 87}, Case{6, 87}}) {
        SCOPED_TRACE(c.length);
        sent.clear();
        EXPECT_EQ(fw::Transaction(3, false, 0xFFFFF0000400, 1, data.data(), c.length),
                  fw::Outcome::kFailed);
        EXPECT_EQ(platform::GetLastErrorCode(), c.error);
        EXPECT_EQ(sent, c.error == 87 ? std::vector<uint32_t>{} : std::vector<uint32_t>{c.length});
    }
    fw::SetKernelHooks(nullptr);
}

TEST(FirewireErrors, ErrnoValuesBecomeWindowsErrors) {
    EXPECT_EQ(fw::ErrorOfErrno(EACCES), 5u);
    EXPECT_EQ(fw::ErrorOfErrno(EPERM), 5u);
    EXPECT_EQ(fw::ErrorOfErrno(ENOENT), 2u);
    EXPECT_EQ(fw::ErrorOfErrno(ENODEV), 1167u);
    EXPECT_EQ(fw::ErrorOfErrno(EBUSY), 170u);
    EXPECT_EQ(fw::ErrorOfErrno(EAGAIN), 170u);
    EXPECT_EQ(fw::ErrorOfErrno(EINVAL), 87u);
    EXPECT_EQ(fw::ErrorOfErrno(EFAULT), 87u);
    EXPECT_EQ(fw::ErrorOfErrno(ENOMEM), 8u);
    EXPECT_EQ(fw::ErrorOfErrno(EIO), 1117u);
    EXPECT_EQ(fw::ErrorOfErrno(ETIMEDOUT), 1460u);
    EXPECT_EQ(fw::ErrorOfErrno(EBADF), 6u);
    EXPECT_EQ(fw::ErrorOfErrno(ENOTTY), 31u);
}

// A response that never comes: the fake's file then has no event to read (a real one would
// block), and the link reports that instead of waiting on.
TEST_F(FirewireBench, EmptyEventQueueFailsInsteadOfWaitingForever) {
    FirewireLink link;
    core_->EditNextResponse([](std::vector<std::vector<uint8_t>>& events) { events.clear(); });
    uint32_t value = 0;
    EXPECT_FALSE(link.ReadQuadlet(sim_->DeviceNodeId(), 0xF0000400, &value));
    EXPECT_EQ(platform::GetLastErrorCode(), 170u);  // EAGAIN
    EXPECT_TRUE(link.ReadQuadlet(sim_->DeviceNodeId(), 0xF0000400, &value));
}

// ---- Request blocks ----------------------------------------------------------------------------

TEST_F(FirewireBench, BlockReadCarriesTheWholeDataArea) {
    FirewireLink link;
    uint8_t request[36 + 16 + 4] = {};
    const uint16_t node = sim_->DeviceNodeId();
    const uint16_t high = 0xFFFF;
    const uint32_t low = 0xF0000400, count = 16;
    std::memcpy(request + 8, &node, 2);
    std::memcpy(request + 12, &high, 2);
    std::memcpy(request + 16, &low, 4);
    std::memcpy(request + 20, &count, 4);
    ASSERT_TRUE(link.AsyncRead(request, sizeof request));
    const std::vector<uint32_t> rom = sim_->ConfigRom();
    for (uint32_t i = 0; i < 4; ++i) {
        const uint8_t* q = request + 36 + 4 * i;
        EXPECT_EQ(uint32_t{q[0]} << 24 | uint32_t{q[1]} << 16 | uint32_t{q[2]} << 8 | q[3], rom[i])
            << i;
    }
    EXPECT_EQ(Requests().back().substr(0, 27), "fw0 read ffff.f0000400 x16 ");
}

TEST_F(FirewireBench, RequestBlockTooShortForItsCountIsRefused) {
    FirewireLink link;
    uint8_t request[36 + 8] = {};
    const uint32_t count = 16;
    std::memcpy(request + 20, &count, 4);
    EXPECT_FALSE(link.AsyncRead(request, sizeof request));
    EXPECT_EQ(platform::GetLastErrorCode(), 87u);
    EXPECT_FALSE(link.AsyncWrite(request, 36));
    EXPECT_EQ(platform::GetLastErrorCode(), 87u);
    EXPECT_TRUE(Requests().empty());
}

// The topology map of the host's node, read as one block: every node on the bus has its
// self-ID there, the blank board without a file among them.
TEST_F(FirewireBench, TopologyMapOfTheHostNamesNodesWithoutAFile) {
    const size_t blank = AddBoard(false);
    FirewireLink link;
    NODE_INFO records[4];
    ASSERT_EQ(link.GetNodeList(records, sizeof records), 1u);
    uint16_t host = 0;
    for (const auto& node : sim_->Nodes())
        if (node.name == "host") host = node.nodeId;
    uint8_t request[36 + 24 + 4] = {};
    const uint16_t high = 0xFFFF;
    const uint32_t low = 0xF0001000, count = 24;
    std::memcpy(request + 8, &host, 2);
    std::memcpy(request + 12, &high, 2);
    std::memcpy(request + 16, &low, 4);
    std::memcpy(request + 20, &count, 4);
    ASSERT_TRUE(link.AsyncRead(request, sizeof request));
    auto quadlet = [&](int i) {
        const uint8_t* q = request + 36 + 4 * i;
        return uint32_t{q[0]} << 24 | uint32_t{q[1]} << 16 | uint32_t{q[2]} << 8 | q[3];
    };
    EXPECT_EQ(quadlet(0) >> 16, 5u);  // five quadlets follow
    EXPECT_EQ(quadlet(1), sim_->Generation());
    EXPECT_EQ(quadlet(2), 0x00030003u);
    std::vector<uint32_t> phys;
    for (int i = 3; i < 6; ++i) phys.push_back((quadlet(i) >> 24) & 0x3F);
    EXPECT_NE(std::find(phys.begin(), phys.end(), sim_->DeviceNodeId(blank) & 0x3Fu), phys.end());
}

// ---- Flash work through quadlet writes ----------------------------------------------------------

// The flash port and upload requests the link sends for each operation, for the chip's
// built-in command set: the exact writes, in order, into one transcript.
TEST_F(FirewireBench, FlashWorkIsSentAsQuadletWritesToTheTarget) {
    FirewireLink link;
    ASSERT_TRUE(link.SetTargetNode(sim_->DeviceNodeId()));
    ASSERT_TRUE(link.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(kCommandSet555, 8)));
    ASSERT_TRUE(link.SetByteProgramDelay(2500));
    Transcript t;
    auto step = [&](const char* name, bool ok) {
        t.Add("== %s -> %s\n", name, ok ? "true" : "false");
        for (const std::string& line : Requests()) {
            // The generation is the bench's business, not the transcript's.
            const size_t gen = line.find(" gen "), end = line.find_first_of("=:", gen);
            t.Add("%s%s\n", line.substr(0, gen).c_str(), line.substr(end - 1).c_str());
        }
        core_->ClearLog();
    };
    core_->ClearLog();
    step("erase sector 0x10000", link.EraseSector(0x10000));
    const uint8_t bytes[3] = {0x12, 0x34, 0x56};
    const UploadBlockRequest program{0x20000, 3, bytes, 0};
    step("program 3 bytes at 0x20000 through the flash port", link.UploadBlock(true, program));
    step("flash reset", link.Reset(RESET_FLASH));
    // Upload mode, as SwitchDeviceToUploadMode leaves the board, then an upload from address 0.
    const FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(kCommandSet555, 8);
    const uint16_t node = sim_->DeviceNodeId();
    ASSERT_TRUE(link.WriteQuadlet(node, CSR_MODE_CTRL, MODE_EDIT));
    for (uint32_t word : set.words)
        ASSERT_TRUE(link.WriteQuadlet(node, CSR_UPLOAD_COMMAND_SET_CTRL, word));
    ASSERT_TRUE(link.WriteQuadlet(node, FLASH_UPLOAD_CTRL, 0));
    core_->ClearLog();
    const uint8_t image[6] = {1, 2, 3, 4, 5, 6};
    const UploadBlockRequest upload{0, 6, image, 0};
    step("upload 6 bytes (the tail is not sent)", link.UploadBlock(false, upload));
    step("device reset", link.Reset(RESET_DEVICE));
    t.Check("firewire/flash_work.txt");
    EXPECT_EQ(clock_.Sleeps(), (std::vector<uint32_t>{2, 2, 2}));  // after each byte
}

TEST_F(FirewireBench, BytesProgrammedThroughTheFlashPortAreInTheFlash) {
    FirewireLink link;
    ASSERT_TRUE(link.SetTargetNode(sim_->DeviceNodeId()));
    ASSERT_TRUE(link.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(kCommandSet555, 8)));
    const uint32_t at =
        static_cast<uint32_t>(sim_->Flash().size()) - 0x100;  // erased, past the images
    const uint8_t bytes[3] = {0x12, 0x34, 0x56};
    ASSERT_TRUE(link.UploadBlock(true, UploadBlockRequest{at, 3, bytes, 0}));
    const std::vector<uint8_t> flash = sim_->Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + at - 1, flash.begin() + at + 4),
              (std::vector<uint8_t>{0xFF, 0x12, 0x34, 0x56, 0xFF}));
}

TEST_F(FirewireBench, CommandSetWithUnknownControlBitsIsRefused) {
    FirewireLink link;
    FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(kCommandSet555, 8);
    set.words[0] |= 0x200;
    EXPECT_FALSE(link.SetFlashCommandSet(set));
    EXPECT_EQ(platform::GetLastErrorCode(), 87u);
}

TEST_F(FirewireBench, UnknownResetKindIsRefusedWithoutARequest) {
    FirewireLink link;
    core_->ClearLog();
    EXPECT_FALSE(link.Reset(3));
    EXPECT_EQ(platform::GetLastErrorCode(), 87u);
    EXPECT_TRUE(core_->Log().empty());
}

TEST_F(FirewireBench, UploadWithoutDataIsRefusedWithoutARequest) {
    FirewireLink link;
    core_->ClearLog();
    EXPECT_FALSE(link.UploadBlock(false, UploadBlockRequest{0, 4, nullptr, 0}));
    EXPECT_EQ(platform::GetLastErrorCode(), 87u);
    EXPECT_TRUE(Requests().empty());
}

// ---- Jobs on a running board -------------------------------------------------------------------

class FirewireJobs : public FirewireBench {
protected:
    void SetUp() override {
        ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
        devices_.resize(LORIC_MAX_FLASH_DEVICES);
        uint32_t count = 0;
        ASSERT_EQ(LoadFlashData((kImages + "simchips.dat").c_str(), devices_.data(), &count), 0u);
        for (uint32_t i = 0; i < count; ++i)
            if (std::strcmp(devices_[i].deviceName, "29F040B") == 0) device_ = &devices_[i];
        ASSERT_NE(device_, nullptr);
        // Locating the board makes it the target of uploads, as a host does.
        uint16_t node = 0;
        uint32_t blank = 0;
        FindNode(&node, &blank);
        ASSERT_EQ(node, sim_->DeviceNodeId());
    }
    // The flash a finished job leaves: the firmware naming the configuration sector, the
    // configuration there, erased bytes elsewhere.
    std::vector<uint8_t> Programmed(const std::vector<uint8_t>& firmware,
                                    const std::vector<uint8_t>& config) {
        std::vector<uint8_t> flash = firmware;
        const uint32_t at = uint32_t{firmware[20]} | uint32_t{firmware[21]} << 8 |
                            uint32_t{firmware[22]} << 16 | uint32_t{firmware[23]} << 24;
        const uint32_t configByte = device_->configByteAddress;
        for (int i = 0; i < 4; ++i) flash[at + i] = static_cast<uint8_t>(configByte >> (8 * i));
        flash.resize(sim_->Flash().size(), 0xFF);
        std::copy(config.begin(), config.end(), flash.begin() + configByte);
        return flash;
    }
    std::vector<FLASH_DEVICE> devices_;
    FLASH_DEVICE* device_ = nullptr;
};

TEST_F(FirewireJobs, TimestampIsReadThroughTheKernel) {
    char time[32] = {}, date[32] = {};
    ASSERT_EQ(DownloadTimestamp(sim_->DeviceNodeId(), time, date), 0u);
    EXPECT_EQ(std::string(time) + "|" + date, sim_->TimeStampText());
}

TEST_F(FirewireJobs, FirmwareAndConfigurationAreProgrammedOnARunningBoard) {
    ASSERT_EQ(
        UploadFirmwareAndConfig(sim_->DeviceNodeId(), device_, (kImages + "firmware.bin").c_str(),
                                (kImages + "config.bin").c_str(), nullptr, nullptr),
        0u)
        << ReadDebugLog();
    EXPECT_EQ(sim_->Mode(), tqsim::DeviceMode::Firmware) << sim_->BootNote();
    EXPECT_TRUE(sim_->Flash() == Programmed(firmware_, config_));
    // The board took its processor reset and is listed again.
    NODE_INFO record = {};
    uint32_t count = 0;
    ASSERT_EQ(GetNodeInfo(&count, &record, sizeof record), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(record.nodeNumber, sim_->DeviceNodeId() & 0x3F);
}

TEST_F(FirewireJobs, BusResetInTheMiddleOfProgrammingIsSurvived) {
    core_->ResetBusBeforeRequest(200);
    ASSERT_EQ(
        UploadFirmwareAndConfig(sim_->DeviceNodeId(), device_, (kImages + "firmware.bin").c_str(),
                                (kImages + "config.bin").c_str(), nullptr, nullptr),
        0u)
        << ReadDebugLog();
    EXPECT_TRUE(sim_->Flash() == Programmed(firmware_, config_));
    const auto& log = core_->Log();
    EXPECT_NE(std::find_if(log.begin(), log.end(),
                           [](const std::string& line) {
                               return line.find(": rcode 19") != std::string::npos;
                           }),
              log.end());
}

TEST_F(FirewireJobs, BoardLeavingInTheMiddleOfProgrammingIsReported) {
    core_->BeforeRequest(200, [this] {
        auto lock = sim_->Lock();
        sim_->device().PowerOff();
    });
    EXPECT_EQ(
        UploadFirmwareAndConfig(sim_->DeviceNodeId(), device_, (kImages + "firmware.bin").c_str(),
                                (kImages + "config.bin").c_str(), nullptr, nullptr),
        static_cast<uint32_t>(LORIC_ERR_FILE_UPLOAD));
    EXPECT_NE(ReadDebugLog().find("UploadBuffer Error = 1167"), std::string::npos)
        << ReadDebugLog();
    EXPECT_EQ(core_->Names(), std::vector<std::string>{"fw1"});
    // Nothing went to the host's node, which took the board's ID.
    for (const std::string& line : Requests()) EXPECT_EQ(line.substr(0, 4), "fw0 ") << line;
}

}  // namespace
}  // namespace loric::test
