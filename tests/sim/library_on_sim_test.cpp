// The library's quadlet access against the simulator instead of the request recorder, and the
// tq6410-sim daemon opened with OpenLORIC, keeping its flash across a restart.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "support/api_fixture.h"
#include "support/sim_daemon.h"
#include "loric.h"
#include "sim_test_util.h"
#include "tqsim/system.h"

extern char** environ;

namespace {

using loric::test::ApiTest;
using loric::test::ScopedEnv;
using loric::test::SimDaemon;
using tqsim::DeviceMode;

std::string ImagePath(const char* name) { return std::string(LORIC_SOURCE_DIR) + "/sim/images/" + name; }

std::vector<uint8_t> Image(const char* name) {
    std::ifstream in(ImagePath(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class QuadletOnSim : public ApiTest {
protected:
    void SetUp() override {
        path_ = directory_.Path() + "/sim.sock";
        ASSERT_TRUE(sim_.StartDriverServer(path_));
        env_ = std::make_unique<ScopedEnv>("BRENNOCK_SOCKET", path_.c_str());
        ASSERT_EQ(OpenLORIC(0), 0u);
    }
    void TearDown() override { CloseLORIC(); }
    tqsim::System sim_;
    std::string path_;
    std::unique_ptr<ScopedEnv> env_;
};

TEST_F(QuadletOnSim, ByteOrderBetweenHostAndBus) {
    sim_.SetFlash(Image("loader.bin"));
    sim_.Reboot();
    uint32_t v = 0;
    // The loader's register carries the bytes 41 4F 6B 21 on the bus.
    ASSERT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090008, &v), 0u);
    EXPECT_EQ(v, 0x414F6B21u);
    // MODE_EDIT as a host number reaches the device as the command word.
    ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090010, 0x45646974), 0u);
    EXPECT_EQ(sim_.Mode(), DeviceMode::Upload);
    // The read window returns flash bytes 54 51 36 34 ("TQ64") as the little-endian value.
    ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090014, 0), 0u);
    ASSERT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090014, &v), 0u);
    EXPECT_EQ(v, 0x34365154u);
}

TEST_F(QuadletOnSim, FailuresGiveTheirStatusAndOffset) {
    uint32_t v = 0xCAFEF00D;
    EXPECT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090014, &v), 9u) << "a blank device has no read window";
    EXPECT_EQ(v, 0xCAFEF00Du);
    char text[256] = {};
    GetErrorText(9, text);
    EXPECT_NE(std::strstr(text, "0xF0090014"), nullptr) << text;
    EXPECT_EQ(WriteQuadlet(0xFFC5, 0xFFFF, 0xF0080000, 0), 10u) << "no node 5 on the bus";
    EXPECT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0080000, 0), 0u) << "the blank device's flash port";
}

// ---- The daemon -------------------------------------------------------------------------------


TEST_F(ApiTest, DaemonRefusesBadOptionsWithStatusTwo) {
    const std::string socket = directory_.Path() + "/daemon.sock";
    const std::vector<std::vector<std::string>> bad = {
        {"--chip", "NOSUCHCHIP"},
        {"--fault-register", "sideways:F0090000"},
        {"--image", directory_.Path() + "/missing.bin"},
        {"--flash-file", directory_.Path() + "/missing.dat"},
    };
    for (const auto& args : bad) {
        SimDaemon d(args, socket);
        EXPECT_EQ(d.Wait(), 2) << args[0];
    }
}

TEST_F(ApiTest, DaemonKeepsItsFlashAcrossARestart) {
    const std::string socket = directory_.Path() + "/daemon.sock";
    const std::string state = directory_.Path() + "/state";
    ScopedEnv env("BRENNOCK_SOCKET", socket.c_str());
    const uint32_t data[4] = {0x03020100, 0x07060504, 0xDEADBEEF, 0x00000000};
    {
        SimDaemon d({"--state", state, "--firmware", ImagePath("firmware.bin"), "--config", ImagePath("config.bin")},
                 socket);
        ASSERT_TRUE(d.Ready());
        ASSERT_EQ(OpenLORIC(0), 0u);
        // Upload mode with set 1, erase the sector at 0x30000, write four quadlets there.
        ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090010, 0x45646974), 0u);
        for (uint32_t w : tqsim::reg::kCommandSets[1]) ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF009001C, w), 0u);
        ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090000, 0x30000), 0u);
        uint32_t done = 0;
        ASSERT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090000, &done), 0u);
        EXPECT_EQ(done, 1u);
        ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090008, 0x30000), 0u);
        for (uint32_t q : data) ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090004, q), 0u);
        ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090008, 0x80000000), 0u);
        ASSERT_EQ(CloseLORIC(), 0u);
        EXPECT_EQ(d.Stop(), 0);
    }
    std::ifstream saved(state + "/flash.bin", std::ios::binary);
    std::vector<uint8_t> flash((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
    ASSERT_EQ(flash.size(), 512u * 1024);
    EXPECT_EQ(0, std::memcmp(flash.data() + 0x30000, data, sizeof data));
    {
        SimDaemon d({"--state", state}, socket);
        ASSERT_TRUE(d.Ready());
        // Booted from the saved flash: firmware running at the first node, listed.
        tqsim::DriverClient c;
        ASSERT_TRUE(c.Connect(socket));
        tqsim::DriverReply list;
        ASSERT_TRUE(c.Request(tqsim::ioctl::kGetNodeList, {}, 24, &list));
        EXPECT_EQ(simtest::Get32(list.out, 0), 1u);
        EXPECT_EQ(list.out[4 + 8], 0);
        ASSERT_EQ(OpenLORIC(0), 0u);
        ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, 0xF0090014, 0x30000), 0u);
        for (uint32_t q : data) {
            uint32_t v = 0;
            ASSERT_EQ(ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090014, &v), 0u);
            EXPECT_EQ(v, q);
        }
        ASSERT_EQ(CloseLORIC(), 0u);
        EXPECT_EQ(d.Stop(), 0);
    }
}

}  // namespace
