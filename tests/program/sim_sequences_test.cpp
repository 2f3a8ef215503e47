// The programming jobs' failures against the simulated bench, through the exports only: each
// stops at its step with the flash and the device as that step left them.
#if __has_include("tqsim/system.h")

#include "link/registers.h"
#include "program_test_util.h"
#include "support/fake_clock.h"
#include "tqsim/images.h"

namespace loric::test {
namespace {

using tqsim::DeviceMode;

// The flash of `size` bytes as a job leaves it: the firmware naming the configuration sector,
// the configuration in that sector, erased bytes elsewhere.
std::vector<uint8_t> Programmed(const std::vector<uint8_t>& firmware,
                                const std::vector<uint8_t>& config, uint32_t configByte,
                                size_t size) {
    std::vector<uint8_t> flash = WithParameter(firmware, LittleEndianAt(firmware, 20), configByte);
    flash.resize(size, 0xFF);
    std::copy(config.begin(), config.end(), flash.begin() + configByte);
    return flash;
}

class SimBench : public SimTest {
protected:
    void SetUp() override {
        loader_ = ReadAll(loaderFile_);
        config_ = ReadAll(configFile_);
        firmware_ = ReadAll(firmwareFile_);
        ASSERT_FALSE(loader_.empty());
    }
    const std::string loaderFile_ = kImages + "loader.bin", configFile_ = kImages + "config.bin",
                      firmwareFile_ = kImages + "firmware.bin";
    std::vector<uint8_t> loader_, config_, firmware_;
};

enum class Start {
    Blank,
    Running,
    Loader
};  // Loader: running its loader, an old configuration stored
enum class Left { Unchanged, LoaderWritten, FirstSectorErased, ProgrammedFlash };

// A failure made at one step of a job, the status it gives, and the flash and mode it leaves.
struct FailureCase {
    const char* name;
    Start start;
    std::function<void(tqsim::System&)> inject;
    uint32_t status;
    Left left;
    DeviceMode mode;
};

std::vector<FailureCase> FailureCases() {
    auto fault = [](uint32_t offset, uint32_t succeedFirst) {
        return [=](tqsim::System& sim) { FailWrites(sim, offset, succeedFirst); };
    };
    auto vanish = [](tqsim::System& sim) { sim.SetVanishOnReset(true); };
    return {
        {"device gone after the force flash", Start::Running, vanish, 12, Left::Unchanged,
         DeviceMode::FlashPort},
        {"loader gone after the resets", Start::Blank, vanish, 12, Left::LoaderWritten,
         DeviceMode::Loader},
        // The port writes of the force flash switch and of the blank probe go through.
        {"flash port erase refused", Start::Running, fault(FLASH_PORT_CTRL, 2), 22, Left::Unchanged,
         DeviceMode::FlashPort},
        {"firmware erase refused", Start::Loader, fault(FLASH_ERASE_CTRL, 0), 22, Left::Unchanged,
         DeviceMode::Upload},
        {"erase never done", Start::Loader, [](tqsim::System& sim) { sim.SetEraseNeverDone(true); },
         22, Left::FirstSectorErased, DeviceMode::Upload},
        {"processor reset refused", Start::Loader, fault(FLASH_UPLOAD_CTRL, 2), 31,
         Left::ProgrammedFlash, DeviceMode::Upload},
    };
}

class JobFailure : public SimBench, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(JobFailure, LeavesTheFlashAsItsStepLeftIt) {
    const FailureCase& c = GetParam();
    FakeClock clock;
    Bench("29F040B");
    const uint32_t configByte = device_->configByteAddress;
    ASSERT_TRUE(c.start != Start::Running || sim_->InstallFirmware(firmware_, config_));
    if (c.start == Start::Loader) {
        sim_->SetFlash(loader_);
        sim_->WriteFlash(configByte, Pattern(64, 99));  // an old configuration
    }
    sim_->Reboot();
    const std::vector<uint8_t> before = sim_->Flash();
    c.inject(*sim_);
    uint16_t node = sim_->DeviceNodeId();
    if (c.start == Start::Loader)
        EXPECT_EQ(UploadFirmwareAndConfig(node, device_, firmwareFile_.c_str(), configFile_.c_str(),
                                          nullptr, nullptr),
                  c.status);
    else
        EXPECT_EQ(UploadFirmwareLoader(&node, device_, loaderFile_.c_str(), c.start == Start::Blank,
                                       0, nullptr, nullptr),
                  c.status);
    std::vector<uint8_t> expected = before;
    if (c.left == Left::LoaderWritten) std::copy(loader_.begin(), loader_.end(), expected.begin());
    if (c.left == Left::FirstSectorErased)
        std::fill(expected.begin(), expected.begin() + configByte, 0xFF);
    if (c.left == Left::ProgrammedFlash)
        expected = Programmed(firmware_, config_, configByte, before.size());
    EXPECT_TRUE(sim_->Flash() == expected);
    sim_->SetVanishOnReset(false);
    EXPECT_EQ(sim_->Mode(), c.mode) << sim_->BootNote();
}

INSTANTIATE_TEST_SUITE_P(Steps, JobFailure, ::testing::ValuesIn(FailureCases()), CaseName());

// Blank to running on a chip that takes its datasheet's typical times, with the library on the
// real clock: the waits and polls that sleep must still cover the chip's busy time (a write
// that comes while the chip erases is lost). One run per link, on the smallest chip.
class RealTimeBlankToRunning : public SimBench, public ::testing::WithParamInterface<bool> {};

TEST_P(RealTimeBlankToRunning, FlashHoldsExactlyFirmwareAndConfiguration) {
    Bench("29F010", true, GetParam());
    uint16_t node = Find();
    // Not told blank, so the sector is erased through the flash port and 2 s allowed for it
    // (the typical erase is 1 s; a loaded machine must not make the loader race the erase).
    ASSERT_EQ(UploadFirmwareLoader(&node, device_, loaderFile_.c_str(), 0, 2, nullptr, nullptr),
              0u);
    ASSERT_EQ(UploadFirmwareAndConfig(node, device_, firmwareFile_.c_str(), configFile_.c_str(),
                                      nullptr, nullptr),
              0u);
    EXPECT_EQ(sim_->Mode(), DeviceMode::Firmware) << sim_->BootNote();
    EXPECT_TRUE(sim_->Flash() ==
                Programmed(firmware_, config_, device_->configByteAddress, sim_->Flash().size()));
}

INSTANTIATE_TEST_SUITE_P(Links, RealTimeBlankToRunning, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Serial" : "Driver"; });

}  // namespace
}  // namespace loric::test

#endif
