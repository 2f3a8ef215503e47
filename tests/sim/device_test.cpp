// The device's modes and registers, its upload and flash port protocols, and the chip's busy
// time seen through them, exercised through the bus and the driver without the library.
#include <gtest/gtest.h>

#include "sim_test_util.h"
#include "tqsim/system.h"

namespace {

using namespace simtest;
using tqsim::DeviceMode;
namespace io = tqsim::ioctl;

constexpr uint32_t kPort = 0xF0080000, kErase = 0xF0090000, kChecksum = 0xF0090004,
                   kUpload = 0xF0090008, kMode = 0xF0090010, kRead = 0xF0090014, kSet = 0xF009001C;
constexpr uint32_t kEdit = 0x45646974, kReady = 0x414F6B21;

class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(tqsim::SystemOptions o = {}) : sim_(o) {}
    uint32_t W(uint16_t node, uint32_t off, uint32_t v) {
        auto lock = sim_.Lock();
        return sim_.bus().Write(node, 0xFFFF, off, v);
    }
    uint32_t R(uint16_t node, uint32_t off, uint32_t* v) {
        auto lock = sim_.Lock();
        return sim_.bus().Read(node, 0xFFFF, off, v);
    }
    void InstallFirmware() {
        ASSERT_TRUE(sim_.InstallFirmware(Image("firmware.bin"), Image("config.bin")));
        sim_.Reboot();
        ASSERT_EQ(sim_.Mode(), DeviceMode::Firmware);
    }
    void EnterUploadMode(uint16_t node) {
        ASSERT_EQ(W(node, kMode, kEdit), 0u);
        for (uint32_t w : tqsim::reg::kCommandSets[1]) ASSERT_EQ(W(node, kSet, w), 0u);
    }
    tqsim::System sim_;
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
            const uint32_t e = write ? W(0xFFC0, offset, offset == kMode ? 0x12345678 : 0) : R(0xFFC0, offset, &v);
            got += e == 0 ? '.' : e == 1117 ? 'E' : '?';
        }
        return got;
    };
    // UPLOADER_READY reads its magic word while the loader runs, in upload mode too.
    auto ready = [&] {
        uint32_t v = 0;
        R(0xFFC0, kUpload, &v);
        return v;
    };
    EXPECT_EQ(run(), ".EEEEEEEEEE") << "blank";
    sim_.SetFlash(Image("loader.bin"));
    sim_.Reboot();
    ASSERT_EQ(sim_.Mode(), DeviceMode::Loader);
    EXPECT_EQ(run(), "..EE..EEEEE") << "loader";
    EnterUploadMode(0xFFC0);
    EXPECT_EQ(run(), "......EE..E") << "loader upload";
    EXPECT_EQ(ready(), kReady);
    InstallFirmware();
    EXPECT_EQ(run(), "..EE...EEEE") << "firmware";
    EXPECT_EQ(ready(), 0u);
    EnterUploadMode(0xFFC0);
    EXPECT_EQ(run(), ".......E..E") << "upload";
}

TEST_F(DeviceTest, UploadNeedsTheWholeCommandSetAndAStartAddress) {
    InstallFirmware();
    ASSERT_EQ(W(0xFFC0, kMode, kEdit), 0u);
    for (int i = 0; i < 15; ++i) ASSERT_EQ(W(0xFFC0, kSet, tqsim::reg::kCommandSets[1][i]), 0u);
    EXPECT_EQ(W(0xFFC0, kUpload, 0x10000), 1117u) << "15 words are not a command set";
    EXPECT_EQ(W(0xFFC0, kErase, 0x10000), 1117u);
    ASSERT_EQ(W(0xFFC0, kSet, tqsim::reg::kCommandSets[1][15]), 0u);
    EXPECT_EQ(W(0xFFC0, kChecksum, 0x12345678), 1117u) << "data before a start address";
    EXPECT_EQ(W(0xFFC0, kUpload, sim_.Chip().TotalWords()), 1117u) << "start beyond the chip";
    ASSERT_EQ(W(0xFFC0, kErase, 0x10000), 0u);
    uint32_t v = 0;
    ASSERT_EQ(R(0xFFC0, kErase, &v), 0u);
    EXPECT_EQ(v, 1u);
    ASSERT_EQ(W(0xFFC0, kUpload, 0x10000), 0u);
    ASSERT_EQ(W(0xFFC0, kChecksum, 0x04030201), 0u);
    ASSERT_EQ(W(0xFFC0, kChecksum, 0xFFFFFFFF), 0u);
    ASSERT_EQ(R(0xFFC0, kChecksum, &v), 0u);
    EXPECT_EQ(v, 0x04030200u) << "sum of the quadlets, wrapping";
    auto flash = sim_.Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x10000, flash.begin() + 0x10008),
              (std::vector<uint8_t>{1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFF}));
    // A block that would run past the end of the chip is refused whole.
    {
        auto lock = sim_.Lock();
        const uint8_t data[8] = {};
        EXPECT_EQ(sim_.device().UploadBlock(sim_.chip().Geometry().TotalWords() - 4, data, 8), 1117u);
        EXPECT_EQ(sim_.device().UploadBlock(sim_.chip().Geometry().TotalWords() - 8, data, 8), 0u);
    }
    // A new start address restarts the sum.
    ASSERT_EQ(W(0xFFC0, kUpload, 0x10010), 0u);
    ASSERT_EQ(R(0xFFC0, kChecksum, &v), 0u);
    EXPECT_EQ(v, 0u);
}

TEST_F(DeviceTest, FlashPortCyclesNeedAddressThenMatchingDataPhases) {
    // A byte program with set 1 through the port: pairs (555,AA) (2AA,55) (555,A0) (addr,data),
    // each as address, data and data end phases; a data end unlike its data completes no cycle.
    auto program = [&](uint32_t a, uint32_t d, uint32_t end) {
        const uint32_t cycles[4][3] = {{0x555, 0xAA, 0xAA}, {0x2AA, 0x55, 0x55}, {0x555, 0xA0, 0xA0}, {a, d, end}};
        for (auto& c : cycles) {
            EXPECT_EQ(W(0xFFC0, kPort, 0x64000000 | c[0]), 0u);
            EXPECT_EQ(W(0xFFC0, kPort, 0x34000000 | c[1]), 0u);
            EXPECT_EQ(W(0xFFC0, kPort, 0x24000000 | c[2]), 0u);
        }
    };
    program(0x123, 0x5A, 0x5A);
    program(0x124, 0x00, 0x01);
    EXPECT_EQ(sim_.Flash()[0x123], 0x5A);
    EXPECT_EQ(sim_.Flash()[0x124], 0xFF);
    {
        auto lock = sim_.Lock();
        EXPECT_EQ(sim_.device().PortProtocolErrors(), 1u);
    }
    // Words the port does not know, and addresses beyond 20 bits, are refused.
    EXPECT_EQ(W(0xFFC0, kPort, 0x64100000), 1117u);
    EXPECT_EQ(W(0xFFC0, kPort, 0x34010000), 1117u);
    EXPECT_EQ(W(0xFFC0, kPort, 0x12000000), 1117u);
}

// ---- Time ---------------------------------------------------------------------------------

class TimedDevice : public DeviceTest {
protected:
    static tqsim::SystemOptions Options(tqsim::ManualClock* clock) {
        tqsim::SystemOptions o;
        o.clock = clock;
        o.timings = {20, 5000000, 60000000};
        return o;
    }
    TimedDevice() : DeviceTest(Options(&clock_)) {}
    static tqsim::ManualClock clock_;
};
tqsim::ManualClock TimedDevice::clock_;

TEST_F(TimedDevice, EraseIsDoneOnlyWhenTheChipIsNoLongerBusy) {
    InstallFirmware();
    EnterUploadMode(0xFFC0);
    ASSERT_EQ(W(0xFFC0, kErase, 0x20000), 0u);
    for (uint64_t step : {0u, 4999999u, 1u}) {
        clock_.Advance(step);
        uint32_t v = 0;
        ASSERT_EQ(R(0xFFC0, kErase, &v), 0u);
        EXPECT_EQ(v, step == 1 ? 1u : 0u) << step;
    }
}

TEST_F(TimedDevice, FlashPortProgrammingNeedsAByteDelayAsLongAsTheChip) {
    // Set 1 for an 8-bit chip through the driver, programming 8 bytes with 5 us and with 20 us
    // per byte: the chip programs for 20 us and ignores the bus meanwhile.
    std::vector<uint8_t> set;
    for (uint32_t w : tqsim::reg::kCommandSets[1]) Put32(set, w);
    ASSERT_TRUE(sim_.DriverRequest(io::kSetCommandSet, set, 0).ok);
    auto upload = [&](uint32_t address, uint32_t delay) {
        ASSERT_TRUE(sim_.DriverRequest(io::kSetByteProgramDelay, U32({delay}), 0).ok);
        const auto req = U32({address, 8, 0, 0x01000009});
        ASSERT_TRUE(sim_.DriverRequest(io::kUploadFlashPort, req, 0, {1, 2, 3, 4, 5, 6, 7, 8}).ok);
        clock_.Advance(100);
    };
    upload(0x100, 5);
    upload(0x200, 20);
    auto flash = sim_.Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x100, flash.begin() + 0x108),
              (std::vector<uint8_t>{1, 0xFF, 0xFF, 0xFF, 5, 0xFF, 0xFF, 0xFF}))
        << "every fourth byte arrives after the chip finished the one before";
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x200, flash.begin() + 0x208),
              (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

}  // namespace
