// Both programming jobs against the tq6410-sim daemon in its own process, over the driver
// socket as a host on the bench would use it: blank to running, running to reprogrammed, and
// the daemon restarted on the flash it saved.
#if __has_include("tqsim/system.h")

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loric.h"
#include "program_test_util.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/sim_daemon.h"
#include "tqsim/images.h"

namespace loric::test {
namespace {

std::vector<uint8_t> BuildFirmware(const char* time, uint32_t seed, uint32_t length) {
    tqsim::image::BuildOptions options;
    options.kind = tqsim::image::Kind::Firmware;
    options.length = length;
    options.time = time;
    options.seed = seed;
    return tqsim::image::Build(options);
}

TEST_F(ApiTest, DaemonBlankToRunningThenReprogrammedThenRestarted) {
    FakeClock clock;
    const std::string socket = directory_.Path() + "/daemon.sock";
    const std::string state = directory_.Path() + "/state";
    ScopedEnv env("BRENNOCK_SOCKET", socket.c_str());
    SimDaemon daemon({"--state", state}, socket);
    ASSERT_TRUE(daemon.Ready());

    const std::vector<uint8_t> config = ReadAll(kImages + "config.bin");
    const std::vector<uint8_t> second = BuildFirmware("02:00:00", 22, 40000);
    WriteFile("loader.bin", ReadAll(kImages + "loader.bin"));
    WriteFile("config.bin", config);
    WriteFile("first.bin", BuildFirmware("01:00:00", 21, 50000));
    WriteFile("second.bin", second);

    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    FLASH_DEVICE* device = nullptr;
    auto devices = LoadRecords(kImages + "simchips.dat", "29F040B", &device);  // the daemon's default chip
    ASSERT_NE(device, nullptr);

    // Blank: found by its flash port, given the loader, then the firmware and configuration.
    uint16_t node = 0;
    uint32_t blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    ASSERT_EQ(blank, 1u);
    ASSERT_EQ(UploadFirmwareLoader(&node, device, "loader.bin", blank, 0, nullptr, nullptr), 0u);
    ASSERT_EQ(UploadFirmwareAndConfig(node, device, "first.bin", "config.bin", nullptr, nullptr), 0u);

    // Running: listed, and showing the identifier of the configuration it was given.
    blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    EXPECT_EQ(blank, 0u);
    NODE_INFO list[4] = {};
    uint32_t count = 0;
    ASSERT_EQ(GetNodeInfo(&count, list, sizeof list), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(list[0].idHigh, 0x0ABCDE01u);
    EXPECT_EQ(list[0].idLow, 0x23456789u);

    // Reprogrammed from the running firmware: force flash, loader, new (shorter) firmware.
    ASSERT_EQ(UploadFirmwareLoader(&node, device, "loader.bin", 0, 1, nullptr, nullptr), 0u);
    ASSERT_EQ(UploadFirmwareAndConfig(node, device, "second.bin", "config.bin", nullptr, nullptr), 0u);
    ASSERT_EQ(CloseLORIC(), 0u);
    ASSERT_EQ(daemon.Stop(), 0);

    // The saved flash: the new firmware naming the configuration sector, the old firmware's
    // tail gone with its sector, the configuration in its sector.
    const std::vector<uint8_t> flash = ReadAll(state + "/flash.bin");
    ASSERT_EQ(flash.size(), 512u * 1024);
    EXPECT_EQ(Slice(flash, 0, second.size()),
              WithParameter(second, LittleEndian32(second, 20), device->configByteAddress));
    EXPECT_EQ(Slice(flash, 40000, 10000), std::vector<uint8_t>(10000, 0xFF));
    EXPECT_EQ(Slice(flash, device->configByteAddress, config.size()), config);

    // Started again on that state, the daemon boots the new firmware.
    SimDaemon again({"--state", state}, socket);
    ASSERT_TRUE(again.Ready());
    ASSERT_EQ(OpenLORIC(0), 0u);
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    EXPECT_EQ(blank, 0u);
    char timeText[32] = {}, dateText[32] = {};
    ASSERT_EQ(DownloadTimestamp(node, timeText, dateText), 0u);
    EXPECT_STREQ(timeText, "02:00:00");
    ASSERT_EQ(CloseLORIC(), 0u);
    EXPECT_EQ(again.Stop(), 0);
}

TEST_F(ApiTest, DaemonRefusesBadOptionsWithStatusTwo) {
    const std::string socket = directory_.Path() + "/daemon.sock";
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--chip", "NOSUCHCHIP"},
             {"--fault-register", "sideways:F0090000"},
             {"--image", directory_.Path() + "/missing.bin"},
             {"--flash-file", directory_.Path() + "/missing.dat"},
         }) {
        SimDaemon d(args, socket);
        EXPECT_EQ(d.Wait(), 2) << args[0];
    }
}

}  // namespace
}  // namespace loric::test

#endif
