// The link over the kernel's 1394 stack, against the simulator's firewire-core: the node files,
// generations and rcodes as the kernel presents them, through the exports and the link itself.
// Each case writes down what it did and what the kernel saw (firewire/<case>.txt).
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <tuple>

#include "link/firewire_link.h"
#include "loric.h"
#include "platform/posix/firewire.h"
#include "program/program_test_util.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/golden.h"
#include "tqsim/firewire_core.h"
#include "tqsim/images.h"

namespace loric::test {

namespace {

namespace fw = platform::firewire;

// The library's kernel hooks, answered by the FirewireCore that is their context.
template <typename T>
T Result(T value) {
    if (value >= 0) return value;
    errno = static_cast<int>(-value);
    return -1;
}
tqsim::FirewireCore& Core(void* c) { return *static_cast<tqsim::FirewireCore*>(c); }
const fw::KernelHooks kCoreHooks{
    [](void* c, const char* path) { return Result(Core(c).Open(path)); },
    [](void* c, int fd) { return Result(Core(c).Close(fd)); },
    [](void* c, int fd, unsigned long request, void* argument) {
        tqsim::FirewireCore::DirectMemory memory;
        return Result(Core(c).Ioctl(fd, request, argument, memory));
    },
    [](void* c, int fd, void* buffer, size_t size) {
        return Result(Core(c).Read(fd, buffer, size));
    },
    [](void* c, std::vector<std::string>* names) {
        *names = Core(c).Names();
        names->insert(names->begin(), {".", "..", "fwx", "null", "fw", "tty0"});
        return true;
    },
    nullptr};

// One running board (device 0) with the host's controller on the bus; more on request.
class FirewireSetup : public ApiTest {
public:
    FirewireSetup() {
        hooks_.context = core.get();
        fw::SetKernelHooks(&hooks_);
    }
    ~FirewireSetup() override {
        CloseLORIC();
        fw::SetKernelHooks(nullptr);
    }
    // One more board: running with the first board's images, or blank.
    size_t AddBoard(bool running) {
        const size_t index = sim->AddDevice();
        if (running && sim->InstallFirmware(firmware, config, index)) sim->Reboot(index);
        return index;
    }
    void Power(size_t index, bool on) {
        EXPECT_TRUE(on ? sim->Plug(index) : sim->Unplug(index));
        core->Sync();
    }
    uint16_t Node(size_t index = 0) { return sim->DeviceNodeId(index); }

    // ---- What a case writes down ----------------------------------------------------------
    void Result(const std::string& what, uint32_t status) {
        out.Add("%s -> %u error %u\n", what.c_str(), status,
                status == 0 ? 0 : platform::GetLastErrorCode());
    }
    void Ok(const std::string& what, bool ok) { Result(what, ok ? 0 : 1); }
    void Stale(int request) { core->ResetBusBeforeRequest(request); }
    void Read(uint16_t node, uint32_t low = 0xF0000400) {
        uint32_t value = 0x12345678;
        out.Add("read %04X.%08X", node, low);
        Result("", ReadQuadlet(node, 0xFFFF, low, &value));
        out.Add("  value %08X\n", value);
    }
    void LinkRead(FirewireLink& link) {
        uint32_t value = 0x12345678;
        Ok("link read", link.ReadQuadlet(Node(), 0xF0000400, &value));
        out.Add("  value %08X\n", value);
    }
    // The node list the export gives with room for `room` records.
    void Nodes(uint32_t room) {
        NODE_INFO records[4];
        std::memset(records, 0xA5, sizeof records);
        uint32_t count = 0;
        Result("node list", GetNodeInfo(&count, records, room * sizeof(NODE_INFO)));
        out.Add("  count %u\n", count);
        for (uint32_t i = 0; i < room + 1 && i < 4; ++i)
            out.Add("  %08X %08X bus %04X node %04X id %08X.%08X\n", records[i].reserved[0],
                    records[i].reserved[1], records[i].busNumber, records[i].nodeNumber,
                    records[i].idHigh, records[i].idLow);
    }
    // The bus as the simulator has it and the node files as the kernel has them.
    void Bus() {
        out.Add("bus generation %u:", sim->Generation());
        for (const auto& n : sim->Nodes())
            out.Add(" %04X %s%s %08X.%08X;", n.nodeId, n.name.c_str(), n.listed ? " listed" : "",
                    n.idHigh, n.idLow);
        out.Add("\nfiles:");
        for (const auto& name : core->Names()) out.Add(" %s", name.c_str());
        out.Add("\n");
    }
    // The kernel's log since the last one, every line, or counted by file, kind and rcode.
    void Log(bool counted = false) {
        std::map<std::string, int> counts;
        for (const std::string& line : core->Log()) {
            const size_t rcode = line.find(": rcode ");
            if (counted && rcode != std::string::npos)
                ++counts[line.substr(0, line.find(' ', 4)) + line.substr(rcode)];
            else
                out.Add("  | %s\n", line.c_str());
        }
        for (const auto& [kind, count] : counts) out.Add("  | %s x%d\n", kind.c_str(), count);
        core->ClearLog();
    }
    // An async request block for `count` bytes at 0xFFFF.`low` of `node`, `room` bytes of data
    // area, read by a link.
    void AsyncRead(uint16_t node, uint32_t low, uint32_t count, int room = -1) {
        std::vector<uint8_t> request = LittleEndianBytes({0, 0, node, 0xFFFF, low, count});
        request.resize(36 + (room < 0 ? count + 4 : room));
        FirewireLink link;
        out.Add("async read %04X.%08X x%u", node, low, count);
        Ok("", link.AsyncRead(request.data(), static_cast<uint32_t>(request.size())));
        for (uint32_t i = 0; i < count && room < 0; ++i)
            out.Add(i % 16 == 15 || i + 1 == count ? "%02X\n" : "%02X ", request[36 + i]);
    }
    // The lines of the debug log that hold `text`.
    void DebugLines(const char* text) {
        std::string log = ReadDebugLog();
        for (size_t end; (end = log.find('\n')) != std::string::npos; log.erase(0, end + 1))
            if (log.find(text) < end) out.Add("log: %s\n", log.substr(0, end).c_str());
    }
    // A whole job on the running board: firmware and configuration as the chip's record says.
    void Job() {
        FLASH_DEVICE* chip = nullptr;
        const std::vector<FLASH_DEVICE> records =
            LoadRecords(kImages + "simchips.dat", "29F040B", &chip);
        ASSERT_NE(chip, nullptr);
        uint16_t node = 0;
        uint32_t blank = 0;
        FindNode(&node, &blank);  // the board becomes the target, as a host does
        Result("upload",
               UploadFirmwareAndConfig(node, chip, (kImages + "firmware.bin").c_str(),
                                       (kImages + "config.bin").c_str(), nullptr, nullptr));
        // What a finished job leaves: the firmware naming the configuration, which is there.
        const bool programmed = sim->Flash() == Board(firmware, config)->Flash();
        out.Add("flash as programmed: %s, mode %s\n", programmed ? "yes" : "NO",
                tqsim::ModeName(sim->Mode()));
        DebugLines("ERROR"), Log(true);
    }
    Transcript out;
    FakeClock clock;
    std::vector<uint8_t> firmware = tqsim::image::ExampleFirmware();
    std::vector<uint8_t> config = tqsim::image::ExampleConfig();
    std::unique_ptr<tqsim::System> sim = Board(firmware, config);
    std::unique_ptr<tqsim::FirewireCore> core = std::make_unique<tqsim::FirewireCore>(*sim);

private:
    ScopedEnv link_{"LORIC_LINK", "firewire"};
    fw::KernelHooks hooks_ = kCoreHooks;
};

using F = FirewireSetup;
struct FwCase {
    const char* name;
    void (*run)(F& f);
};
using FirewireBench = WithCases<FirewireSetup, FwCase>;

// A response to the next request made `edit`ed, then read by the link.
void EditedRead(F& f, void (*edit)(std::vector<std::vector<uint8_t>>& events)) {
    FirewireLink link;
    f.core->EditNextResponse(edit);
    f.out.Add("-- edited\n");
    f.LinkRead(link);
    f.LinkRead(link);  // the next one is not hurt
}

// Flash port and upload writes for each operation, for the chip's built-in command set.
void FlashWork(F& f) {
    FirewireLink link;
    const FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(kCommandSet555, 8);
    f.Ok("target", link.SetTargetNode(f.Node()) && link.SetFlashCommandSet(set) &&
                       link.SetByteProgramDelay(2500));
    f.core->ClearLog();
    f.Ok("erase sector 0x10000", link.EraseSector(0x10000));
    f.Log();
    const uint8_t bytes[3] = {0x12, 0x34, 0x56};
    f.Ok("program 3 bytes at 0x20000 by the port", link.UploadBlock(true, {0x20000, 3, bytes, 0}));
    f.Log();
    const std::vector<uint8_t> flash = f.sim->Flash();  // the bytes programmed, erased around
    f.out.Add("%02X %02X %02X %02X %02X\n", flash[0x1FFFF], flash[0x20000], flash[0x20001],
              flash[0x20002], flash[0x20003]);
    f.Ok("flash reset", link.Reset(RESET_FLASH));
    f.Log();
    // Upload mode, as SwitchDeviceToUploadMode leaves the board, then an upload from 0.
    bool ok = link.WriteQuadlet(f.Node(), CSR_MODE_CTRL, MODE_EDIT);
    for (uint32_t word : set.words)
        ok = ok && link.WriteQuadlet(f.Node(), CSR_UPLOAD_COMMAND_SET_CTRL, word);
    f.Ok("upload mode", ok && link.WriteQuadlet(f.Node(), FLASH_UPLOAD_CTRL, 0));
    f.core->ClearLog();
    const uint8_t image[6] = {1, 2, 3, 4, 5, 6};
    f.Ok("upload 6 bytes (the tail is not sent)", link.UploadBlock(false, {0, 6, image, 0}));
    f.Log();
    f.Ok("device reset", link.Reset(RESET_DEVICE));
    f.Log();
    // Refused without a request.
    FLASH_COMMAND_SET bad = set;
    bad.words[0] |= 0x200;
    f.Ok("command set with unknown control bits", link.SetFlashCommandSet(bad));
    f.Ok("reset kind 3", link.Reset(3));
    f.Ok("upload without data", link.UploadBlock(false, {0, 4, nullptr, 0}));
    for (uint32_t ms : f.clock.Sleeps()) f.out.Add("slept %u ms\n", ms);
}

std::vector<FwCase> Cases() {
    return {
        {"node list leaves out the host and blank boards",
         [](F& f) { f.AddBoard(false), f.Bus(), f.Nodes(4); }},
        {"node list fills only the room given",
         [](F& f) { f.AddBoard(true), f.Bus(), f.Nodes(1); }},
        {"find node finds the running board",
         [](F& f) {
             uint16_t node = 0;
             uint32_t blank = 7;
             FindNode(&node, &blank);
             f.out.Add("found %04X blank %u\n", node, blank), f.Bus();
         }},
        {"quadlets in bus order",
         [](F& f) {
             f.Read(f.Node());
             f.Result("write", WriteQuadlet(f.Node(), 0xFFFF, CSR_MODE_CTRL, MODE_EDIT));
             f.out.Add("mode %s\n", tqsim::ModeName(f.sim->Mode()));
         }},
        {"stale generation is refreshed and tried once",
         [](F& f) { f.Read(f.Node()), f.Log(), f.Stale(1), f.Read(f.Node(), 0xF0000404); }},
        {"generation stale twice is not connected",
         [](F& f) { f.core->ForceRcode(RCODE_GENERATION, 2), f.Read(f.Node()); }},
        {"renumbered board is reached under its new id",
         [](F& f) {
             f.sim->SetRotateOnBusReset(true);
             f.Bus(), f.Result("bus reset", IssueReset(RESET_BUS));
             f.Bus(), f.Nodes(1), f.Read(f.Node());
         }},
        {"bus reset goes through the kernel and waits",
         [](F& f) {
             const int64_t start = (f.Log(), f.clock.NowMs());
             f.Result("bus reset", IssueReset(RESET_BUS));
             f.out.Add("waited %lld ms\n", static_cast<long long>(f.clock.NowMs() - start));
         }},
        {"node without a file cannot be reached",
         [](F& f) {
             const size_t blank = f.AddBoard(false);
             f.Bus(), f.Log(), f.Read(f.Node(blank), FLASH_UPLOAD_CTRL);
         }},
        // The last node leaves, so nobody takes its ID: its dead file (ENODEV) is closed and
        // the retry finds no file for that ID.
        {"board that left is not connected",
         [](F& f) {
             const size_t second = f.AddBoard(true);
             const uint16_t node = f.Node(second);
             f.Read(node), f.Power(second, false), f.Log(), f.Read(node), f.Bus(), f.Nodes(2);
         }},
        {"request is not sent to the node that took the id of a board that left",
         [](F& f) {
             const uint16_t node = f.Node();
             f.Read(node), f.Power(0, false), f.Log(), f.Read(node), f.Bus();
         }},
        {"request renumbered in flight is reported not redirected",
         [](F& f) {
             const uint16_t node = f.Node();
             f.sim->SetRotateOnBusReset(true);
             f.Read(node), f.Log(), f.Stale(1), f.Read(node), f.Bus();
         }},
        // Both boards leave; board 1 comes back first and gets fw0, board 0 gets fw2.
        {"names are reused by other boards after resets",
         [](F& f) {
             const size_t second = f.AddBoard(true);
             f.Bus(), f.Nodes(4);
             f.Power(0, false), f.Power(second, false), f.Power(second, true), f.Power(0, true);
             f.Bus(), f.Nodes(4), f.Log(), f.Read(f.Node(second));
         }},
        {"no access is reported with the udev rule once",
         [](F& f) {
             f.core->SetDenyAccess(true);
             f.Nodes(1), f.Read(0xFFC0), f.Nodes(1), f.Result("bus reset", IssueReset(RESET_BUS));
             f.DebugLines("udev rule");
         }},
        {"access given later is picked up at the next scan",
         [](F& f) {
             f.core->SetDenyAccess(true);
             f.Nodes(1), f.core->SetDenyAccess(false), f.Nodes(1);
         }},
    };
}

// Transactions, flash work and whole jobs.
std::vector<FwCase> TransactionCases() {
    return {
        {"response codes are not retried",
         [](F& f) {
             FirewireLink link;
             for (uint32_t rcode :
                  {RCODE_ADDRESS_ERROR, RCODE_TYPE_ERROR, RCODE_DATA_ERROR, RCODE_CONFLICT_ERROR,
                   RCODE_BUSY, RCODE_NO_ACK, RCODE_CANCELLED, RCODE_SEND_ERROR})
                 f.core->ForceRcode(rcode, 1), f.LinkRead(link), f.LinkRead(link);
         }},
        // Events that are not this request's response are passed over (a bus reset, another
        // request's response); a response cut short, or none (a real file would block), fails.
        {"responses edited on the way",
         [](F& f) {
             EditedRead(f, [](std::vector<std::vector<uint8_t>>& events) {
                 std::vector<uint8_t> other = events.back();
                 other[0] ^= 0xFF;  // another closure
                 other[sizeof(fw_cdev_event_response)] = 0x99;
                 fw_cdev_event_bus_reset reset{};
                 reset.type = FW_CDEV_EVENT_BUS_RESET;
                 const auto* bytes = reinterpret_cast<const uint8_t*>(&reset);
                 events.insert(events.begin(), {{bytes, bytes + sizeof reset}, other});
             });
             EditedRead(f, [](auto& events) { events.back().resize(events.back().size() - 2); });
             EditedRead(f, [](auto& events) { events.back().resize(8); });
             EditedRead(f, [](auto& events) { events.clear(); });
         }},
        {"block read carries the whole data area",
         [](F& f) {
             f.AsyncRead(f.Node(), 0xF0000400, 16);
             for (int i = 0; i < 4; ++i) f.out.Add("rom %08X\n", f.sim->ConfigRom()[i]);
         }},
        {"request block too short for its count is refused",
         [](F& f) {
             f.AsyncRead(f.Node(), 0xF0000400, 16, 8);
             uint8_t request[36] = {};
             request[20] = 16;
             f.Ok("async write", FirewireLink().AsyncWrite(request, sizeof request));
         }},
        // The topology map of the host's node: every node has its self-ID there, the blank
        // board without a file among them.
        {"topology map of the host names nodes without a file",
         [](F& f) { f.AddBoard(false), f.Bus(), f.AsyncRead(0xFFC1, 0xF0001000, 24); }},
        {"flash work", &FlashWork},
        {"timestamp is read through the kernel",
         [](F& f) {
             char time[32] = {}, date[32] = {};
             f.Result("timestamp", DownloadTimestamp(f.Node(), time, date));
             f.out.Add("%s|%s (board %s)\n", time, date, f.sim->TimeStampText().c_str());
         }},
        {"job on a running board", [](F& f) { f.Job(), f.Nodes(1); }},
        {"job survives a bus reset", [](F& f) { f.Stale(200), f.Job(), f.Nodes(1); }},
        {"board leaving in the middle of a job",
         [](F& f) {
             f.core->BeforeRequest(200, [&f] { f.Power(0, false); });
             f.Job(), f.Bus();
         }},
    };
}

TEST_P(FirewireBench, Transcript) {
    out.Add("==== %s\n", GetParam().name);
    Result("open", OpenLORIC(TRACE_ERROR));
    GetParam().run(*this);
    Log();
    out.Replace(LORIC_SOURCE_DIR, "<source>");
    out.Check("firewire/" + CaseSlug(GetParam().name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Cases, FirewireBench,
                         ::testing::ValuesIn(Concat(Cases(), TransactionCases())), CaseName());

// The link is chosen when node files exist and no socket is named, or LORIC_LINK says so; the
// node files are ordered by number.
TEST(FirewireChoice, Rules) {
    std::vector<std::string> files;
    fw::KernelHooks hooks{};
    hooks.list = [](void* c, std::vector<std::string>* out) {
        *out = *static_cast<std::vector<std::string>*>(c);
        return true;
    };
    hooks.context = &files;
    fw::SetKernelHooks(&hooks);
    using Case = std::tuple<const char*, const char*, std::vector<std::string>, bool>;
    for (const auto& [link, socket, names, chosen] :
         {Case{nullptr, nullptr, {"null", "fw0"}, true},
          {nullptr, "/tmp/x", {"fw0"}, false},
          {"socket", nullptr, {"fw0"}, false},
          {"firewire", "/tmp/x", {"fw0"}, true},
          {nullptr, nullptr, {"null", "fwa", "fw"}, false}}) {
        ScopedEnv linkEnv("LORIC_LINK", link), socketEnv("BRENNOCK_SOCKET", socket);
        files = names;
        EXPECT_EQ(fw::KernelStackChosen(), chosen) << (link ? link : "-") << files.size();
    }
    EXPECT_TRUE(fw::NodeFiles().empty());
    {  // Forced without node files, the open fails.
        TempDirectory dir;
        ScopedEnv link("LORIC_LINK", "firewire");
        EXPECT_EQ(OpenLORIC(0), static_cast<uint32_t>(LORIC_ERR_OPEN_DRIVER));
        CloseLORIC();
    }
    files = {"fw10", "fw2", "fw1x", "fw", "fw0", "xfw3", "fw1.0"};
    EXPECT_EQ(fw::NodeFiles(), (std::vector<std::string>{"/dev/fw0", "/dev/fw2", "/dev/fw10"}));
    fw::SetKernelHooks(nullptr);
}

// What reaches the kernel for a transaction: the request only when its length is whole
// quadlets, at least one and at most the largest payload.
TEST(FirewireSeam, TransactionLengthsOutsideTheLimitsNeverReachTheKernel) {
    static std::vector<uint32_t> sent;
    fw::KernelHooks recording{};
    recording.ioctl = [](void*, int, unsigned long request, void* argument) {
        if (request == FW_CDEV_IOC_SEND_REQUEST)
            sent.push_back(static_cast<fw_cdev_send_request*>(argument)->length);
        errno = EIO;
        return -1;
    };
    fw::SetKernelHooks(&recording);
    std::vector<uint8_t> data(fw::kMaxPayload + 8);
    for (const uint32_t length : {4u, 8u, fw::kMaxPayload, fw::kMaxPayload + 4, 0u, 6u}) {
        const bool fits = length % 4 == 0 && length != 0 && length <= fw::kMaxPayload;
        sent.clear();
        EXPECT_EQ(fw::Transaction(3, false, 0xFFFFF0000400, 1, data.data(), length),
                  fw::Outcome::kFailed);
        EXPECT_EQ(platform::GetLastErrorCode(), fits ? 1117u : 87u) << length;
        EXPECT_EQ(sent, fits ? std::vector<uint32_t>{length} : std::vector<uint32_t>{}) << length;
    }
    fw::SetKernelHooks(nullptr);
}

TEST(FirewireErrors, ErrnoValuesBecomeWindowsErrors) {
    const std::pair<int, uint32_t> cases[] = {
        {EACCES, 5},       {EPERM, 5},   {ENOENT, 2},  {ENODEV, 1167}, {EBUSY, 170},
        {EAGAIN, 170},     {EINVAL, 87}, {EFAULT, 87}, {ENOMEM, 8},    {EIO, 1117},
        {ETIMEDOUT, 1460}, {EBADF, 6},   {ENOTTY, 31}};
    for (const auto& [error, windows] : cases) EXPECT_EQ(fw::ErrorOfErrno(error), windows) << error;
}

}  // namespace
}  // namespace loric::test
