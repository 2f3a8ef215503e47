// The programming sequences end to end against the simulated bench, through the exports only:
// a blank device becomes a running one, a running one is reprogrammed by the force flash path,
// and each failure stops at its step with the flash and the device as that step left them.
#if __has_include("tqsim/system.h")

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/registers.h"
#include "loric.h"
#include "program_test_util.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "tqsim/images.h"
#include "tqsim/system.h"

namespace loric::test {
namespace {

using tqsim::DeviceMode;

const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";
const std::string kChipFile = kImages + "simchips.dat";

std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t at, size_t length) {
    if (at + length > bytes.size()) return {};
    return {bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + length)};
}

// A firmware image as the simulated boot code accepts it, written to `name`.
std::vector<uint8_t> WriteFirmware(const std::string& name, uint32_t length, const char* time, uint32_t seed) {
    tqsim::image::BuildOptions options;
    options.kind = tqsim::image::Kind::Firmware;
    options.length = length;
    options.time = time;
    options.seed = seed;
    std::vector<uint8_t> image = tqsim::image::Build(options);
    WriteFile(name, image);
    return image;
}

// The image with parameter 1 (whose offset its header names) set to `value`.
std::vector<uint8_t> WithParameter1(std::vector<uint8_t> image, uint32_t value) {
    const uint32_t at = LittleEndian32(image, 20);
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return image;
}

// Stands between the library and the simulated driver: forwards every request, except the
// resets of one kind, which it refuses. Records the codes it saw.
class ResetRefuser {
public:
    explicit ResetRefuser(tqsim::System& sim)
        : server_([this, &sim](uint32_t code, const std::vector<uint8_t>& in, uint32_t outLength,
                               const std::vector<uint8_t>& data) {
              {
                  std::lock_guard<std::mutex> lock(mutex_);
                  codes_.push_back(code);
              }
              if (code == tqsim::ioctl::kReset && in.size() == 4 && refuseKind_ >= 0 &&
                  in[0] == static_cast<uint8_t>(refuseKind_)) {
                  tqsim::DriverReply reply;
                  reply.error = platform::kErrorGenFailure;
                  reply.out.assign(outLength, 0);
                  return reply;
              }
              return sim.DriverRequest(code, in, outLength, data);
          }) {}
    bool Start(const std::string& path) { return server_.Start(path); }
    void Refuse(int kind) { refuseKind_ = kind; }
    std::vector<uint32_t> Codes() {
        std::lock_guard<std::mutex> lock(mutex_);
        return codes_;
    }

private:
    std::atomic<int> refuseKind_{-1};
    std::mutex mutex_;
    std::vector<uint32_t> codes_;
    tqsim::DriverServer server_;
};

class SimSequenceTest : public ApiTest {
protected:
    void SetUp() override { Build("29F040B"); }
    void TearDown() override {
        CloseLORIC();
        refuser_.reset();
        if (sim_) sim_->StopDriverServer();
    }

    // A bench with the named chip, the library open over its driver (or over a refusing
    // interposer) and the chip's record loaded from the flash data file.
    void Build(const char* chip, bool interpose = false) {
        CloseLORIC();
        refuser_.reset();
        env_.reset();  // restores the variable before a new value is set
        if (sim_) sim_->StopDriverServer();
        tqsim::SystemOptions options;
        std::string error;
        ASSERT_TRUE(tqsim::LoadChipFromFlashDataFile(kChipFile, chip, &options.chip, &error)) << error;
        sim_ = std::make_unique<tqsim::System>(options);
        const std::string socket = directory_.Path() + "/brennock.sock";
        if (interpose) {
            refuser_ = std::make_unique<ResetRefuser>(*sim_);
            ASSERT_TRUE(refuser_->Start(socket));
        } else {
            ASSERT_TRUE(sim_->StartDriverServer(socket, &error)) << error;
        }
        env_ = std::make_unique<ScopedEnv>("BRENNOCK_SOCKET", socket.c_str());
        ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
        devices_.assign(LORIC_MAX_FLASH_DEVICES, FLASH_DEVICE{});
        uint32_t count = 0;
        ASSERT_EQ(LoadFlashData(kChipFile.c_str(), devices_.data(), &count), 0u);
        device_ = nullptr;
        for (uint32_t i = 0; i < count; ++i)
            if (std::string(devices_[i].deviceName) == chip) device_ = &devices_[i];
        ASSERT_NE(device_, nullptr);
        loader_ = ReadAll(kImages + "loader.bin");
        config_ = ReadAll(kImages + "config.bin");
        ASSERT_FALSE(loader_.empty());
        WriteFile("loader.bin", loader_);
        WriteFile("config.bin", config_);
        firmware_ = WriteFirmware("firmware.bin", 40000, "10:15:30", 11);
    }

    // The device running `firmware` with the example configuration, as a finished job leaves it.
    void InstallRunningFirmware(const std::vector<uint8_t>& firmware) {
        ASSERT_TRUE(sim_->InstallFirmware(firmware, config_));
        sim_->Reboot();
        ASSERT_EQ(sim_->Mode(), DeviceMode::Firmware) << sim_->BootNote();
    }

    uint32_t ConfigByteAddress() const { return device_->configByteAddress; }

    // Flash as a finished firmware job leaves it: `firmware` from 0 with parameter 1 naming the
    // configuration sector, the configuration image at that sector.
    void ExpectProgrammed(const std::vector<uint8_t>& firmware) {
        const std::vector<uint8_t> flash = sim_->Flash();
        EXPECT_EQ(Slice(flash, 0, firmware.size()), WithParameter1(firmware, ConfigByteAddress()));
        EXPECT_EQ(Slice(flash, ConfigByteAddress(), config_.size()), config_);
        EXPECT_EQ(LittleEndian32(flash, LittleEndian32(firmware, 20)), ConfigByteAddress());
    }

    FakeClock clock_{1700000000, 1};
    std::unique_ptr<tqsim::System> sim_;
    std::unique_ptr<ResetRefuser> refuser_;
    std::unique_ptr<ScopedEnv> env_;
    std::vector<FLASH_DEVICE> devices_;
    FLASH_DEVICE* device_ = nullptr;
    std::vector<uint8_t> loader_, config_, firmware_;
};

// ---- The two jobs ---------------------------------------------------------------------------

class SimBlankToRunning : public SimSequenceTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override { Build(GetParam()); }
};

TEST_P(SimBlankToRunning, LoaderThenFirmwareAndConfiguration) {
    ASSERT_EQ(sim_->Mode(), DeviceMode::FlashPort);
    uint16_t node = 0;
    uint32_t blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    EXPECT_EQ(blank, 1u);
    EXPECT_EQ(node, sim_->DeviceNodeId());

    ASSERT_EQ(UploadFirmwareLoader(&node, device_, "loader.bin", blank, 0, nullptr, nullptr), 0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Loader) << sim_->BootNote();
    EXPECT_EQ(node, sim_->DeviceNodeId());
    EXPECT_EQ(Slice(sim_->Flash(), 0, loader_.size()), loader_);

    ASSERT_EQ(UploadFirmwareAndConfig(node, device_, "firmware.bin", "config.bin", nullptr, nullptr), 0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Firmware) << sim_->BootNote();
    ExpectProgrammed(firmware_);
    // The new firmware is listed and found as a running device.
    uint16_t running = 0;
    uint32_t runningBlank = 0;
    EXPECT_EQ(FindNode(&running, &runningBlank), 0u);
    EXPECT_EQ(runningBlank, 0u);
    EXPECT_EQ(running, sim_->DeviceNodeId());
    EXPECT_EQ(sim_->TimeStampText(), "10:15:30|Jan 01 2026");
}

INSTANTIATE_TEST_SUITE_P(Chips, SimBlankToRunning, ::testing::Values("29F040B", "29LV800B-x16"));

TEST_F(SimSequenceTest, RunningFirmwareIsReprogrammedThroughForceFlash) {
    InstallRunningFirmware(WriteFirmware("old.bin", 50000, "01:02:03", 5));
    uint16_t node = 0;
    uint32_t blank = 0;
    ASSERT_EQ(FindNode(&node, &blank), 0u);
    ASSERT_EQ(blank, 0u);

    ASSERT_EQ(UploadFirmwareLoader(&node, device_, "loader.bin", blank, 2, nullptr, nullptr), 0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Loader) << sim_->BootNote();
    EXPECT_EQ(node, sim_->DeviceNodeId());
    ASSERT_EQ(UploadFirmwareAndConfig(node, device_, "firmware.bin", "config.bin", nullptr, nullptr), 0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Firmware) << sim_->BootNote();
    ExpectProgrammed(firmware_);
    // The old firmware's tail, beyond the new one, went with its sector.
    EXPECT_EQ(Slice(sim_->Flash(), 40000, 10000), std::vector<uint8_t>(10000, 0xFF));
    EXPECT_EQ(sim_->TimeStampText(), "10:15:30|Jan 01 2026");
}

// ---- Failures -------------------------------------------------------------------------------

TEST_F(SimSequenceTest, DeviceNotFoundAfterForceFlashLeavesTheFlashAlone) {
    InstallRunningFirmware(firmware_);
    const std::vector<uint8_t> before = sim_->Flash();
    uint16_t node = sim_->DeviceNodeId();
    sim_->SetVanishOnReset(true);
    EXPECT_EQ(UploadFirmwareLoader(&node, device_, "loader.bin", 0, 0, nullptr, nullptr), 12u);
    EXPECT_EQ(sim_->Flash(), before);
    EXPECT_EQ(sim_->DeviceNodeId(), tqsim::Bus::kNoNode);
}

TEST_F(SimSequenceTest, LoaderNotFoundAfterTheResets) {
    uint16_t node = sim_->DeviceNodeId();
    sim_->SetVanishOnReset(true);  // the device reset takes it off the bus for good
    EXPECT_EQ(UploadFirmwareLoader(&node, device_, "loader.bin", 1, 0, nullptr, nullptr), 12u);
    EXPECT_EQ(Slice(sim_->Flash(), 0, loader_.size()), loader_);  // the steps before it were done
    sim_->SetVanishOnReset(false);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Loader);
}

TEST_F(SimSequenceTest, FlashPortEraseRefusedStopsBeforeTheUpload) {
    InstallRunningFirmware(firmware_);
    const std::vector<uint8_t> before = sim_->Flash();
    // The port writes of the force flash switch and of the blank probe go through; the first
    // cycle of the erase is refused.
    tqsim::RegisterFault fault;
    fault.offsetLow = FLASH_PORT_CTRL;
    fault.onRead = false;
    fault.succeedFirst = 2;
    sim_->AddRegisterFault(fault);
    uint16_t node = sim_->DeviceNodeId();
    EXPECT_EQ(UploadFirmwareLoader(&node, device_, "loader.bin", 0, 0, nullptr, nullptr), 22u);
    char text[128];
    ASSERT_EQ(GetErrorText(22, text), 0u);
    EXPECT_STREQ(text, "Flash sector erase failed (sector at 0x00000)");
    EXPECT_EQ(sim_->Flash(), before);
    EXPECT_EQ(sim_->Mode(), DeviceMode::FlashPort);
}

TEST_F(SimSequenceTest, RefusedResetsStopTheLoaderSequence) {
    struct Case {
        int kind;
        uint32_t status;
        DeviceMode mode;  // the device after the refusal
    };
    const Case cases[] = {{RESET_FLASH, 28, DeviceMode::FlashPort},
                          {RESET_DEVICE, 30, DeviceMode::FlashPort},
                          {RESET_BUS, 29, DeviceMode::Loader}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        Build("29F040B", /*interpose=*/true);
        refuser_->Refuse(c.kind);
        uint16_t node = sim_->DeviceNodeId();
        EXPECT_EQ(UploadFirmwareLoader(&node, device_, "loader.bin", 1, 0, nullptr, nullptr), c.status);
        EXPECT_EQ(Slice(sim_->Flash(), 0, loader_.size()), loader_);
        EXPECT_EQ(sim_->Mode(), c.mode) << sim_->BootNote();
        // Nothing after the refused reset reached the driver.
        EXPECT_EQ(refuser_->Codes().back(), tqsim::ioctl::kReset);
    }
}

class SimFirmwareFailure : public SimSequenceTest {
protected:
    // A device running its loader at `node_`, with the old configuration in its sector.
    void SetUp() override {
        SimSequenceTest::SetUp();
        oldConfig_ = Pattern(64, 99);
        sim_->SetFlash(loader_);
        sim_->WriteFlash(ConfigByteAddress(), oldConfig_);
        sim_->Reboot();
        ASSERT_EQ(sim_->Mode(), DeviceMode::Loader);
        node_ = sim_->DeviceNodeId();
        before_ = sim_->Flash();
    }
    std::vector<uint8_t> oldConfig_;
    std::vector<uint8_t> before_;
    uint16_t node_ = 0;
};

TEST_F(SimFirmwareFailure, FirmwareTooLargeErasesNothing) {
    WriteFirmware("huge.bin", device_->firmwareSpace + 4, "00:00:00", 3);
    EXPECT_EQ(UploadFirmwareAndConfig(node_, device_, "huge.bin", "config.bin", nullptr, nullptr), 24u);
    EXPECT_EQ(sim_->Flash(), before_);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Upload);  // the mode switch came first
}

TEST_F(SimFirmwareFailure, MissingConfigurationLeavesTheDeviceAlone) {
    EXPECT_EQ(UploadFirmwareAndConfig(node_, device_, "firmware.bin", "absent.bin", nullptr, nullptr), 6u);
    EXPECT_EQ(sim_->Flash(), before_);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Loader);
    uint16_t node = node_;
    EXPECT_EQ(UploadFirmwareLoader(&node, device_, "absent.bin", 0, 0, nullptr, nullptr), 6u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Loader);
}

TEST_F(SimFirmwareFailure, EraseRefusedOrNeverDone) {
    // Refused start write: the first firmware sector.
    tqsim::RegisterFault fault;
    fault.offsetLow = FLASH_ERASE_CTRL;
    fault.onRead = false;
    sim_->AddRegisterFault(fault);
    EXPECT_EQ(UploadFirmwareAndConfig(node_, device_, "firmware.bin", "config.bin", nullptr, nullptr), 22u);
    EXPECT_EQ(sim_->Flash(), before_);

    // ERASE_DONE never shows: the sector is given up after its time-out; the configuration
    // sector is not reached and nothing is uploaded.
    sim_->ClearFaults();
    sim_->SetEraseNeverDone(true);
    clock_.SetStep(5);
    EXPECT_EQ(UploadFirmwareAndConfig(node_, device_, "firmware.bin", "config.bin", nullptr, nullptr), 22u);
    const std::vector<uint8_t> flash = sim_->Flash();
    EXPECT_EQ(Slice(flash, ConfigByteAddress(), oldConfig_.size()), oldConfig_);
    EXPECT_EQ(Slice(flash, 0, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));  // the erase itself ran
    // The export on its own reports the time-out.
    EXPECT_EQ(EraseFlashSector(node_, device_, device_->configSector->start, 0), 23u);
    char text[128];
    ASSERT_EQ(GetErrorText(23, text), 0u);
    EXPECT_STREQ(text, "Flash sector erase timed out (sector at 0x10000)");
}

TEST_F(SimFirmwareFailure, ProcessorResetRefusedAfterBothUploads) {
    tqsim::RegisterFault fault;
    fault.offsetLow = FLASH_UPLOAD_CTRL;
    fault.onRead = false;
    fault.succeedFirst = 2;  // the two start addresses
    sim_->AddRegisterFault(fault);
    EXPECT_EQ(UploadFirmwareAndConfig(node_, device_, "firmware.bin", "config.bin", nullptr, nullptr), 31u);
    ExpectProgrammed(firmware_);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Upload);  // not reset
}

}  // namespace
}  // namespace loric::test

#endif
