// A bench of several boards on one bus: plugging and unplugging renumbers the nodes and leaves
// every board's flash alone; the driver and the adapter reach a board at its new node; the
// daemon does the same through its control socket.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "program/program_test_util.h"
#include "tqsim/bench.h"
#include "tqsim/bytes.h"

namespace {

namespace reg = tqsim::reg;
using loric::test::Bytes, loric::test::ExpectGolden, loric::test::GoldenPath, loric::test::kImages,
    loric::test::ReadAll, loric::test::ReadFileBytes;

// The driver's node list as text: "generation G: NODE EUI-64, ..." (G of each record).
std::string NodeListText(const tqsim::DriverReply& r) {
    const uint32_t count = tqsim::bytes::LoadLittleEndian32(r.out.data());
    std::string text = r.ok ? "" : "error " + std::to_string(r.error);
    for (uint32_t i = 0; i < count && 4 + 20 * (i + 1) <= r.out.size(); ++i) {
        const uint8_t* rec = r.out.data() + 4 + 20 * i;
        const unsigned node = ((rec[10] | (rec[11] << 8)) << 6) | rec[8];
        char line[64];
        std::snprintf(line, sizeof line, "%s%u: %04X %08X%08X", i ? ", " : "generation ",
                      tqsim::bytes::LoadLittleEndian32(rec), node,
                      tqsim::bytes::LoadLittleEndian32(rec + 16),
                      tqsim::bytes::LoadLittleEndian32(rec + 12));
        text += line;
    }
    return text + "\n";
}

class BenchTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* spec :
             {"state=running", "state=running,guid=00C0DE00000A0001", "state=loader"}) {
            tqsim::BoardSpec board;
            std::string error;
            ASSERT_TRUE(tqsim::ParseBoardSpec(spec, &board, &error)) << error;
            if (bench_.Add(board, &error) < 0) ADD_FAILURE() << error;
        }
        sim_.Unplug(0);  // the system's own blank device stays on the shelf
    }
    tqsim::System sim_;
    tqsim::Bench bench_{sim_, {}};
};

// bench_control.txt: the commands ("> ...") and the replies they give, in order. Unplugging and
// plugging leave every board's flash byte for byte.
TEST_F(BenchTest, ControlTranscript) {
    const Bytes before[] = {sim_.Flash(1), sim_.Flash(2), sim_.Flash(3)};
    std::istringstream in(ReadFileBytes(GoldenPath("sim/bench_control.txt")));
    std::string got;
    for (std::string line; std::getline(in, line);)
        if (line.rfind("> ", 0) == 0) got += line + "\n" + bench_.Execute(line.substr(2));
    ExpectGolden("sim/bench_control.txt", got);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(sim_.Flash(i + 1), before[i]) << "device " << i + 1;
    sim_.Reboot(1);  // unplugged: no power, no boot
    EXPECT_EQ(sim_.Mode(1), tqsim::DeviceMode::Off);
    EXPECT_EQ(sim_.DeviceNodeId(1), tqsim::Bus::kNoNode);
    EXPECT_FALSE(sim_.Unplug(1)) << "unplugged already";
}

TEST_F(BenchTest, DriverAndAdapterReachTheBoardAtItsNewNode) {
    // Before: host FFC0, 1 FFC1, 2 FFC2, 3 FFC3 (the loader). Unplugging 1 moves 3 to FFC2.
    ASSERT_EQ(sim_.DeviceNodeId(3), reg::NodeIdOf(3));
    sim_.Unplug(1);
    const uint16_t node = sim_.DeviceNodeId(3);
    ASSERT_EQ(node, reg::NodeIdOf(2));
    EXPECT_EQ(sim_.DeviceAt(node), 3);
    EXPECT_EQ(sim_.DeviceAt(reg::NodeIdOf(3)), -1);
    Bytes block(44, 0);
    tqsim::bytes::StoreLittleEndian16(&block[8], node);
    tqsim::bytes::StoreLittleEndian16(&block[12], reg::kOffsetHigh);
    tqsim::bytes::StoreLittleEndian32(&block[16], reg::kFlashUploadCtrl);
    tqsim::bytes::StoreLittleEndian32(&block[20], 4);
    auto r = sim_.DriverRequest(tqsim::ioctl::kAsyncRead, block, 44);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(tqsim::bytes::LoadBigEndian32(&r.out[36]), reg::kUploaderReady);
    tqsim::bytes::StoreLittleEndian16(&block[8], reg::NodeIdOf(3));
    EXPECT_EQ(sim_.DriverRequest(tqsim::ioctl::kAsyncRead, block, 44).error, reg::kErrSemTimeout);
    // The adapter, a node of its own, reaches it too.
    const Bytes read = {
        0x05, 0x10, 0,    0,   static_cast<uint8_t>(node), 0xFF, 0, 0, 0xFF, 0xFF, 0, 0,
        0x08, 0x00, 0x09, 0xF0};
    EXPECT_EQ(sim_.AdapterFrame(read), (Bytes{0x05, 0x08, 0, 0, 0x21, 0x6B, 0x4F, 0x41}));
}

TEST_F(BenchTest, RunningBoardsPresentTheirOwnIdentifier) {
    for (auto [device, high, low] :
         {std::tuple{1, 0x0ABCDE01u, 0x2345678Au}, {2, 0x00C0DE00u, 0x000A0001u}}) {
        const std::vector<uint32_t> rom = sim_.ConfigRom(device);
        ASSERT_EQ(rom.size(), 12u);
        EXPECT_EQ(std::tie(rom[3], rom[4]), std::tie(high, low)) << "device " << device;
        EXPECT_EQ(rom[0] & 0xFFFF, tqsim::image::Crc16(&rom[1], 11)) << "device " << device;
    }
}

TEST(BenchImages, TheExampleImagesAreTheFilesInTheTree) {
    EXPECT_EQ(tqsim::image::ExampleLoader(), ReadAll(kImages + "loader.bin"));
    EXPECT_EQ(tqsim::image::ExampleFirmware(), ReadAll(kImages + "firmware.bin"));
    EXPECT_EQ(tqsim::image::ExampleConfig(), ReadAll(kImages + "config.bin"));
}

// The daemon with two boards: plugged and unplugged through its control socket, its node
// list read through the driver socket.
TEST(BenchDaemon, PlugAndUnplugThroughTheControl) {
    const std::string daemon = std::string(LORIC_BINARY_DIR) + "/sim/tq6410-sim";
    if (access(daemon.c_str(), X_OK) != 0) GTEST_SKIP() << daemon << " is not built";
    char dir[] = "/tmp/tqsim-bench-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string control = std::string(dir) + "/control",
                      driver = std::string(dir) + "/driver";
    struct Daemon {  // stopped however the test ends; Stop gives its exit status
        pid_t pid;
        int Stop() {
            int status = -1;
            if (pid > 0 && kill(pid, SIGTERM) == 0) waitpid(pid, &status, 0);
            pid = 0;
            return status;
        }
        ~Daemon() { Stop(); }
    } sim{fork()};
    const pid_t pid = sim.pid;
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        execl(daemon.c_str(), daemon.c_str(), "--instant", "--socket", driver.c_str(), "--control",
              control.c_str(), "--device", "state=running", "--device",
              "state=running,guid=00C0DE00000A0001", nullptr);
        _exit(127);
    }
    std::string reply, got;
    for (int i = 0; i < 200 && !tqsim::SendControl(control, "bus-reset", &reply); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    tqsim::DriverClient client;
    ASSERT_TRUE(client.Connect(driver));
    for (const char* command : {"bus-reset", "unplug 0", "plug 0", "unplug 1", "unplug 1"}) {
        tqsim::DriverReply nodes;
        EXPECT_TRUE(tqsim::SendControl(control, command, &reply));
        ASSERT_TRUE(client.Request(tqsim::ioctl::kGetNodeList, {}, 4 + 20 * 4, &nodes));
        got += std::string("> ") + command + "\n" + reply + NodeListText(nodes);
    }
    // The client side of the same binary: 0 when every command said ok, 1 at an error, 2
    // when nobody listens.
    const std::string send = daemon + " --control " + control + " --send devices --send ";
    EXPECT_EQ(std::system((send + "'plug 1' >/dev/null").c_str()), 0);
    EXPECT_EQ(WEXITSTATUS(std::system((send + "'plug 1' >/dev/null").c_str())), 1);
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_EQ(WEXITSTATUS(std::system((send + "nodes >/dev/null 2>&1").c_str())), 2);
    ExpectGolden("sim/daemon_control.txt", got);
    rmdir(dir);
}

}  // namespace
