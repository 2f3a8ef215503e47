// The serial link frame by frame, and the API opened over it, against an adapter whose answers
// each test scripts.

#include <sys/stat.h>

#include <cstring>

#include "api/context.h"
#include "bus/async.h"
#include "link/registers.h"
#include "link/serial_link.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/golden.h"
#include "support/scripted_adapter.h"

namespace loric::test {
namespace {

QuadletRequest MakeRequest(uint16_t node, uint32_t offsetLow, uint32_t busOrderValue = 0) {
    // Raw mode, with the generation, to node:FFFF.offsetLow, 4 bytes.
    QuadletRequest r{{1, 1, node, 0, 0xFFFF, 0, offsetLow, 4, 0, 0, 0}, {}, {}};
    std::memcpy(r.data, &busOrderValue, 4);
    return r;
}

class SerialLinkTest : public ApiTest {
public:
    FakeClock clock;
    ScriptedAdapter adapter;
};

TEST_F(SerialLinkTest, PortThatCannotBeOpenedOrSetUpOrFailsTheEchoThrows) {
    struct Case {
        const char* name;  // null: the scripted adapter, answering the echo with `reply`
        Bytes reply;
        const char* what;
    } cases[] = {
        {"", {}, "couldn't create file"},
        {"/nonexistent/port", {}, "couldn't create file"},
        {"/dev/null", {}, "couldn't get comm params"},                         // not a terminal
        {nullptr, {0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x06}, "test failed"},  // last byte differs
        {nullptr, {0x02, 0x06, 0x01, 0x02, 0x03, 0x04}, "test failed"},        // one byte short
        {nullptr, {0x03, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05}, "test failed"},  // other reply code
        {nullptr, {0xAA, 0x02}, "test failed"},                                // refused
    };
    for (const Case& c : cases) {
        if (!c.name) adapter.Queue(c.reply);
        try {
            SerialLink link(c.name ? c.name : adapter.Path().c_str());
            ADD_FAILURE() << (c.name ? c.name : "echo") << " " << c.reply.size();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.what) << (c.name ? c.name : "echo") << " " << c.reply.size();
        }
    }
    // A failed local node query remaps no target node.
    for (const Bytes& reply : {Bytes{0xAA, 0x02}, Bytes{0x07, 0x02}, Bytes{0x06, 0x04, 0xFF, 0xC2},
                               Bytes{0x07, 0x03, 0xFF}}) {
        adapter.Queue(Bytes{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05});
        adapter.Queue(reply);
        SerialLink link(adapter.Path().c_str());
        EXPECT_FALSE(link.HasLocalNode());
        for (uint16_t node : {0x0000, 0xFFC0, 0xFFC2, 0xFFFF}) {
            link.SetTargetNode(node);
            EXPECT_EQ(link.TargetNode(), node);
        }
    }
}

TEST(SerialPortNames, ComNamesAreTheMachinesSerialPortsNotFiles) {
    // A file named like the port in the current directory must not be what is opened.
    TempDirectory dir;
    for (const char* name : {"COM2", "com2", "\\\\.\\COM2"}) {
        { std::ofstream(name) << "not a port"; }
        platform::Handle port = platform::OpenSerialPort(name);
        if (port != platform::kInvalidHandle) {
            struct stat st {};
            ASSERT_EQ(::fstat(static_cast<int>(reinterpret_cast<intptr_t>(port)), &st), 0);
            EXPECT_TRUE(S_ISCHR(st.st_mode)) << name;  // /dev/ttyS1
            platform::CloseSerialPort(port);
        }
    }
}

class SerialLinkCommands;
struct LinkCase {
    const char* name;
    void (*run)(SerialLinkCommands& f, SerialLink& l);
};

// A command case on a fresh link: what it did, its frames and how long it took, written down.
class SerialLinkCommands : public SerialLinkTest, public ::testing::WithParamInterface<LinkCase> {
public:
    Transcript out;

    void Read(SerialLink& l, uint32_t high, uint32_t low) {
        uint32_t value = 0x12345678;
        const bool ok = l.ReadQuadletCommand(high, low, &value);
        out.Add("read %s %08X error %u\n", ok ? "ok" : "failed", value,
                ok ? 0 : platform::GetLastErrorCode());
    }
    void Result(const char* what, bool ok) {
        out.Add("%s %s error %u\n", what, ok ? "ok" : "failed",
                ok ? 0 : platform::GetLastErrorCode());
    }
    void Timed(SerialLink& l) {
        const int64_t before = clock.NowMs();
        Read(l, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL);
        out.Add("after %lld ms\n", static_cast<long long>(clock.NowMs() - before));
    }
    void Nodes(SerialLink& l, Bytes reply, uint32_t bufferRecords) {
        adapter.Queue(reply);
        NODE_INFO records[5];
        std::memset(records, 0x77, sizeof records);
        out.Add("%u records:", l.GetNodeList(records, bufferRecords * sizeof(NODE_INFO)));
        for (const NODE_INFO& r : records)
            out.Add(" %08X.%08X.%04X.%04X.%08X.%08X", r.reserved[0], r.reserved[1], r.busNumber,
                    r.nodeNumber, r.idHigh, r.idLow);
        out.Add("\n");
    }
};

// Two entries: nodes FFC0 and FFC2 with their 64-bit IDs; byte 2 the count the reply claims.
const Bytes kTwoNodes = {0x03, 0x1C, 0x02, 0x00, 0xC0, 0xFF, 0xEE, 0xEE, 0x33, 0x22,
                         0x11, 0x00, 0x77, 0x66, 0x55, 0x44, 0xC2, 0xFF, 0xEE, 0xEE,
                         0xBB, 0xAA, 0x99, 0x88, 0xFF, 0xEE, 0xDD, 0xCC};
constexpr uint8_t kData[] = {0x11, 0x22, 0x33, 0x44, 5, 6, 7, 8, 9, 10, 11};

// Every command's frames, results, errors and waits: quadlets, resends and refusals, the target
// node, node lists, resets, command sets, erases, uploads over the flash port and to the
// uploader, asynchronous requests, time-outs (3 to 4 s after the request, whatever the
// millisecond it started at) and a hang-up (at once).
std::vector<LinkCase> LinkCases() {
    return {
        {"read at node 3FF:05, offset high of 16 bits",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetTargetNode(0x3FF << 6 | 5);
             f.adapter.Queue(Bytes{0x05, 0x08, 0x00, 0x00, 0x21, 0x6B, 0x4F, 0x41});
             f.Read(l, 0x1FFFF, FLASH_UPLOAD_CTRL);
         }},
        {"two resend requests",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetTargetNode(0xFFC0);
             for (const Bytes& r : {Bytes{0x00, 0x02}, Bytes{0x00, 0x02},
                                    Bytes{0x05, 0x08, 0, 0, 0x0D, 0xF0, 0xFE, 0xCA}})
                 f.adapter.Queue(r);
             f.Read(l, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL);
         }},
        {"read and write replies that fail",
         [](SerialLinkCommands& f, SerialLink& l) {
             for (const Bytes& r :
                  {Bytes{0xAA, 0x02}, Bytes{0x05, 0x02}, Bytes{0x04, 0x08, 0, 0, 1, 2, 3, 4},
                   Bytes{0x05, 0x06, 0, 0, 1, 2}})
                 f.adapter.Queue(r), f.Read(l, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL);
             for (const Bytes& r : {Bytes{0xAA, 0x02}, Bytes{0x04, 0x02}}) {
                 f.adapter.Queue(r);
                 f.Result("write", l.WriteQuadletCommand(REGISTER_OFFSET_HIGH, CSR_MODE_CTRL, 1));
             }
         }},
        {"reply in pieces",
         [](SerialLinkCommands& f, SerialLink& l) {
             ScriptedAdapter::Reply pieces;
             for (uint8_t b : {0x05, 0x08, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01})
                 pieces.push_back({{b}, 15});
             f.adapter.Queue(pieces);
             f.Read(l, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL);
         }},
        {"local node addressed as FFC1",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetTargetNode(0xFFC0);
             f.out.Add("target %04X\n", l.TargetNode());
             l.SetTargetNode(0xFFC2);
             f.out.Add("target %04X\n", l.TargetNode());
             f.Result("write", l.WriteQuadletCommand(REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, 0));
         }},
        {"node lists",
         [](SerialLinkCommands& f, SerialLink& l) {
             f.Nodes(l, kTwoNodes, 4);
             Bytes claimsNine = kTwoNodes;
             claimsNine[2] = 9;
             f.Nodes(l, claimsNine, 4);  // claims more than it carries
             f.Nodes(l, kTwoNodes, 1);
             f.Nodes(l, kTwoNodes, 0);
             f.Nodes(l, {0xAA, 0x02}, 4);
             f.Nodes(l, {0x03, 0x02}, 4);
             f.Nodes(l, {0x03, 0x03, 0x05}, 4);  // length below the first entry
         }},
        {"resets",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 8));
             f.Result("kind 3", l.Reset(3));
             f.adapter.Queue(Bytes{0xAA, 0x02});
             f.Result("device (refused, not waited for)", l.Reset(RESET_DEVICE));
             f.Result("flash", l.Reset(RESET_FLASH));
             f.Result("bus", l.Reset(RESET_BUS));
             f.adapter.Queue(Bytes{0xAA, 0x02});
             f.Result("bus refused", l.Reset(RESET_BUS));
         }},
        {"command sets with bits 9 to 15 refused",
         [](SerialLinkCommands& f, SerialLink& l) {
             f.Result("set 1 of 16 bits", l.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 16)));
             FLASH_COMMAND_SET custom = FLASH_COMMAND_SET::BuiltIn(1, 8);
             custom.words[0] = 0x64108010;  // bit 15
             f.Result("bit 15", l.SetFlashCommandSet(custom));
             f.Result("set 6", l.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(6, 8)));
             f.Result("upload with set 6 kept (sends nothing)",
                      l.UploadBlock(true, {0, 2, kData, 0}));
         }},
    };
}

// Erases, uploads, asynchronous requests, time-outs and a hang-up.
std::vector<LinkCase> TransferCases() {
    return {
        {"sector, chip and 20-bit sector erase; a flash port sequence stops at the first failed "
         "write",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetTargetNode(0xFFC0);
             l.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 8));
             for (uint32_t a : {0x8000u, ERASE_ALL, 0x123456u}) f.Result("erase", l.EraseSector(a));
             f.adapter.Queue(Bytes{0x04, 0x04, 0, 0});
             f.adapter.Queue(Bytes{0xAA, 0x02});
             f.Result("erase", l.EraseSector(0x8000));
             const CommandPair none[1] = {};
             f.Result("empty sequence", l.FlashPortSequence(none, 0, 0x80001234));
         }},
        {"flash port uploads: 16-bit words 2.5 ms each, bytes with unlock and reset, 3 bytes on a "
         "16-bit bus",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 16));
             l.SetByteProgramDelay(2500);
             f.Result("16-bit words", l.UploadBlock(true, {0x100, 4, kData, 0}));
             l.SetByteProgramDelay(0);
             l.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(0, 8));
             f.Result("bytes with unlock and reset", l.UploadBlock(true, {0xFFFFF, 2, kData, 0}));
             l.SetFlashCommandSet(FLASH_COMMAND_SET::BuiltIn(1, 16));
             f.Result("3 bytes on a 16-bit bus", l.UploadBlock(true, {0x200, 3, kData, 0}));
         }},
        {"uploader upload of whole quadlets",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetTargetNode(0xFFC0);
             f.Result("11 bytes", l.UploadBlock(false, {0x1000, 11, kData, 0}));
             f.Result("3 bytes", l.UploadBlock(false, {0x1000, 3, kData, 0}));
             f.adapter.Queue(Bytes{0x04, 0x04, 0, 0});
             f.adapter.Queue(Bytes{0xAA, 0x02});
             f.Result("second quadlet refused", l.UploadBlock(false, {0x1000, 11, kData, 0}));
         }},
        {"asynchronous read and write keep the target node",
         [](SerialLinkCommands& f, SerialLink& l) {
             l.SetTargetNode(0xFFC0);
             f.adapter.SetRegister(FLASH_UPLOAD_CTRL, UPLOADER_READY);
             QuadletRequest r = MakeRequest(0xFFC2, FLASH_UPLOAD_CTRL);
             f.Result("read", l.AsyncRead(reinterpret_cast<uint8_t*>(&r), sizeof r));
             f.out.Add("data %02X %02X %02X %02X, target %04X\n", r.data[0], r.data[1], r.data[2],
                       r.data[3], l.TargetNode());
             f.adapter.Queue(Bytes{0xAA, 0x02});
             f.Result("read refused", l.AsyncRead(reinterpret_cast<uint8_t*>(&r), sizeof r));
             f.Result("read without room for a quadlet",
                      l.AsyncRead(reinterpret_cast<uint8_t*>(&r), 39));
             l.SetTargetNode(0x0001);
             r = MakeRequest(0xFFC0, CSR_MODE_CTRL, 0x74696445);
             f.Result("write", l.AsyncWrite(reinterpret_cast<uint8_t*>(&r), sizeof r));
             f.out.Add("target %04X\n", l.TargetNode());
         }},
        {"time-outs: silence from ms 0 and ms 999, a reply longer than the buffer, a port that "
         "takes nothing",
         [](SerialLinkCommands& f, SerialLink& l) {
             f.clock.SetStep(200);  // each poll moves the replaced clock on
             f.adapter.Queue(ScriptedAdapter::Reply{});
             const uint8_t frame[2] = {0x06, 0x02};
             f.Result("bare transaction", l.Transact(frame));  // tells a time-out apart
             for (int startMs : {0, 999}) {
                 f.clock.Advance((1000 - f.clock.NowMs() % 1000 + startMs) % 1000);
                 f.adapter.Queue(ScriptedAdapter::Reply{});
                 f.Timed(l);
             }
             Bytes overlong{0x05, 0xC8, 0, 0};
             overlong.resize(200, 0x5A);
             f.adapter.Queue(overlong);
             // Only the link's own waits move the clock here: how the reply's bytes happen to
             // arrive (in one read or several) must not change the time it takes.
             f.clock.SetStep(0);
             f.Timed(l);
             f.clock.SetStep(200);
             f.adapter.StopLine(true);
             f.Timed(l);
             f.adapter.StopLine(false);  // the next transaction goes through whole
             f.Result("write",
                      l.WriteQuadletCommand(REGISTER_OFFSET_HIGH, CSR_MODE_CTRL, MODE_EDIT));
             f.clock.SetStep(0);
         }},
        {"hung up",
         [](SerialLinkCommands& f, SerialLink& l) {
             f.clock.SetStep(0);  // the clock stands still: the failure comes at once
             f.adapter.HangUp();
             f.Timed(l);
         }},
    };
}

// Each command case on a fresh link against link/serial_link_frames/<case>.txt.
TEST_P(SerialLinkCommands, FramesAndReplies) {
    SerialLink link(adapter.Path().c_str());
    adapter.ClearFrames();
    out.Add("==== %s\n", GetParam().name);
    const int64_t before = clock.NowMs();
    const uint64_t slept = clock.SleptMs();
    GetParam().run(*this, link);
    out.Add("-- slept %llu ms, %lld whole s\n",
            static_cast<unsigned long long>(clock.SleptMs() - slept),
            static_cast<long long>((clock.NowMs() - before) / 1000));
    for (const Bytes& frame : adapter.Frames()) {
        for (size_t i = 0; i < frame.size(); ++i)
            out.Add(i + 1 < frame.size() ? "%02X " : "%02X\n", frame[i]);
    }
    out.Check("link/serial_link_frames/" + CaseSlug(GetParam().name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Commands, SerialLinkCommands,
                         ::testing::ValuesIn(Concat(LinkCases(), TransferCases())), CaseName());

size_t OpenDescriptors() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                             std::filesystem::directory_iterator{}));
}

// A port or adapter that fails leaves the API closed, its port closed again and nothing logged.
// An open tests the adapter, asks for the local node and may select node 0 (the rest of the open
// is the driver open's); the close closes the port.
TEST_F(SerialLinkTest, OpenComApiFailedOpensThenOneThatHoldsUntilTheClose) {
    const size_t descriptors = OpenDescriptors();
    clock.SetStep(200);
    adapter.Queue(ScriptedAdapter::Reply{});                         // the echo goes unanswered
    adapter.Queue(Bytes{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x00});  // the echo comes back wrong
    for (const char* port : {"/nonexistent/ttyX", static_cast<const char*>(nullptr), "",
                             adapter.Path().c_str(), adapter.Path().c_str()})
        EXPECT_EQ(OpenComAPI(port, 0x3F), 1u) << (port ? port : "null");
    EXPECT_EQ(g_api.traceFlags, 0u);
    EXPECT_FALSE(DebugLogExists());
    EXPECT_TRUE(debug_.Pieces().empty());
    EXPECT_EQ(OpenDescriptors(), descriptors);

    adapter.ClearFrames();
    ASSERT_EQ(OpenComAPI(adapter.Path().c_str(), TRACE_SELECT_NODE_0), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 2);  // the port and the trace log
    EXPECT_EQ(adapter.Frames(),
              (std::vector<Bytes>{{0x02, 0x07, 0x01, 0x02, 0x03, 0x04, 0x05}, {0x07, 0x02}}));
    EXPECT_EQ(static_cast<SerialLink*>(g_api.link)->TargetNode(), 0);
    EXPECT_EQ(SetTargetNode(0xFFC2), 0u);
    EXPECT_EQ(static_cast<SerialLink*>(g_api.link)->TargetNode(),
              0xFFC1);  // the adapter's own node
    EXPECT_EQ(CloseLORIC(), 0u);
    EXPECT_EQ(OpenDescriptors(), descriptors + 1);  // the log stays open for a later open
}

}  // namespace
}  // namespace loric::test
