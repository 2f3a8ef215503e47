// The device's modes and the registers each answers, the driver requests it refuses, and the
// chip's busy time seen through them, exercised through the bus and the driver without the library.
#include <gtest/gtest.h>

#include "sim_test_util.h"
#include "support/golden.h"
#include "tqsim/system.h"

namespace {

using namespace simtest;
using tqsim::DeviceMode;
namespace io = tqsim::ioctl;

constexpr uint32_t kPort = 0xF0080000, kErase = 0xF0090000, kChecksum = 0xF0090004, kUpload = 0xF0090008,
                   kMode = 0xF0090010, kRead = 0xF0090014, kSet = 0xF009001C;
constexpr uint32_t kEdit = 0x45646974, kReady = 0x414F6B21;

class DeviceTest : public ::testing::Test {
protected:
    // A chip that programs for 20 us and erases a sector in 5 s, on a clock only the test moves.
    static tqsim::SystemOptions Options(tqsim::ManualClock* clock) {
        tqsim::SystemOptions o;
        o.clock = clock;
        o.timings = {20, 5000000, 60000000};
        return o;
    }
    uint32_t W(uint32_t off, uint32_t v) {
        auto lock = sim_.Lock();
        return sim_.bus().Write(0xFFC0, 0xFFFF, off, v);
    }
    uint32_t R(uint32_t off, uint32_t* v) {
        auto lock = sim_.Lock();
        return sim_.bus().Read(0xFFC0, 0xFFFF, off, v);
    }
    uint32_t V(uint32_t off) {
        uint32_t v = 0;
        EXPECT_EQ(R(off, &v), 0u) << std::hex << off;
        return v;
    }
    void InstallFirmware() {
        ASSERT_TRUE(sim_.InstallFirmware(Image("firmware.bin"), Image("config.bin")));
        sim_.Reboot();
        ASSERT_EQ(sim_.Mode(), DeviceMode::Firmware);
    }
    void EnterUploadMode() {
        ASSERT_EQ(W(kMode, kEdit), 0u);
        for (uint32_t w : tqsim::reg::kCommandSets[1]) ASSERT_EQ(W(kSet, w), 0u);
    }
    tqsim::ManualClock clock_;
    tqsim::System sim_{Options(&clock_)};
};

TEST_F(DeviceTest, ModesAnswerTheirOwnRegistersOnly) {
    // Which accesses each mode answers ('.') or refuses ('E', 1117); none changes the mode.
    // Writes: the port, read window, command set, upload, erase, mode; reads the rest.
    const std::pair<bool, uint32_t> accesses[] = {
        {true, kPort}, {false, kUpload}, {false, kChecksum}, {false, kErase}, {false, kRead}, {true, kRead},
        {false, 0xF0000400}, {true, kSet}, {true, kUpload}, {true, kErase}, {true, kMode},
    };
    auto run = [&] {
        std::string got;
        for (auto [write, offset] : accesses) {
            uint32_t v = 0;
            const uint32_t e = write ? W(offset, offset == kMode ? 0x12345678 : 0) : R(offset, &v);
            got += e == 0 ? '.' : e == 1117 ? 'E' : '?';
        }
        return got;
    };
    EXPECT_EQ(run(), ".EEEEEEEEEE") << "blank";
    sim_.SetFlash(Image("loader.bin"));
    sim_.Reboot();
    ASSERT_EQ(sim_.Mode(), DeviceMode::Loader);
    EXPECT_EQ(run(), "..EE..EEEEE") << "loader";
    EnterUploadMode();
    EXPECT_EQ(run(), "......EE..E") << "loader upload";
    EXPECT_EQ(V(kUpload), kReady) << "UPLOADER_READY while the loader runs, in upload mode too";
    InstallFirmware();
    EXPECT_EQ(run(), "..EE...EEEE") << "firmware";
    EXPECT_EQ(V(kUpload), 0u);
    EnterUploadMode();
    EXPECT_EQ(run(), ".......E..E") << "upload";
}

// driver_refusals.txt: "what|code|output length|input|reply" a line, bytes in hex; each reply is
// asked for again and the file compared whole.
TEST_F(DeviceTest, DriverRequestsThatFailAndWhy) {
    std::string got;
    for (const auto& c : Cases("driver_refusals.txt")) {
        auto r = sim_.DriverRequest(std::stoul(c.at(1), nullptr, 16), FromHex(c.at(3)), std::stoul(c.at(2)));
        got += c[0] + "|" + c[1] + "|" + c[2] + "|" + c[3] + "|" + (r.ok ? "ok" : "error " + std::to_string(r.error)) +
               ", " + std::to_string(r.bytesReturned) + " back" + (r.out.empty() ? "" : ": " + ToHex(r.out)) + "\n";
    }
    loric::test::ExpectGolden("sim/driver_refusals.txt", got);
    EXPECT_EQ(sim_.DriverTargetNode(), 0xFFC0) << "a refused request leaves the target alone";
    auto r = sim_.DriverRequest(io::kUploadUploader, U32({0, 4, 0, 0}), 0, {1, 2, 3, 4});
    EXPECT_EQ(std::tie(r.ok, r.error), std::make_tuple(false, 1117u)) << "the blank device has no uploader";
    EXPECT_EQ(sim_.Flash()[0], 0xFF);
}

TEST_F(DeviceTest, PortBytesLostWhileTheChipIsBusyAndEraseDoneOnlyOnceItIsIdle) {
    // Set 1 through the driver's flash port, 8 bytes with 5 us and with 20 us per byte: the
    // chip programs for 20 us and ignores the bus meanwhile.
    std::vector<uint8_t> set;
    for (uint32_t w : tqsim::reg::kCommandSets[1]) Put32(set, w);
    ASSERT_TRUE(sim_.DriverRequest(io::kSetCommandSet, set, 0).ok);
    for (uint32_t delay : {5u, 20u}) {
        ASSERT_TRUE(sim_.DriverRequest(io::kSetByteProgramDelay, U32({delay}), 0).ok);
        const auto req = U32({delay * 0x10, 8, 0, 0x01000009});
        ASSERT_TRUE(sim_.DriverRequest(io::kUploadFlashPort, req, 0, {1, 2, 3, 4, 5, 6, 7, 8}).ok);
        clock_.Advance(100);
    }
    auto flash = sim_.Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x50, flash.begin() + 0x58),
              (std::vector<uint8_t>{1, 0xFF, 0xFF, 0xFF, 5, 0xFF, 0xFF, 0xFF}))
        << "every fourth byte arrives after the chip finished the one before";
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x140, flash.begin() + 0x148),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    InstallFirmware();
    EnterUploadMode();
    ASSERT_EQ(W(kErase, 0x20000), 0u);
    for (uint64_t step : {0u, 4999999u, 1u}) {
        clock_.Advance(step);
        EXPECT_EQ(V(kErase), step == 1 ? 1u : 0u) << step;
    }
}

}  // namespace
