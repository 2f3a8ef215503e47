// The programming jobs' failures against the simulated bench, through the exports only: each
// stops at its step with the flash and the device as that step left them.
#if __has_include("tqsim/system.h")

#include "program_test_util.h"
#include "support/fake_clock.h"

namespace loric::test {
namespace {

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
    void SetUp() override { ASSERT_FALSE(loader_.empty()); }
    const std::string loaderFile_ = kImages + "loader.bin", configFile_ = kImages + "config.bin",
                      firmwareFile_ = kImages + "firmware.bin";
    const Bytes loader_ = ReadAll(loaderFile_), config_ = ReadAll(configFile_),
                firmware_ = ReadAll(firmwareFile_);
};

using JobFailure = WithCases<SimBench, CaseRow>;

// Each case of program/sim_failure_cases.txt.
TEST_P(JobFailure, LeavesTheFlashAsItsStepLeftIt) {
    const CaseRow& c = GetParam();
    const std::string start = c.Get("start"), left = c.Get("left");
    FakeClock clock;
    Bench("29F040B");
    const uint32_t configByte = device_->configByteAddress;
    ASSERT_TRUE(start != "running" || sim_->InstallFirmware(firmware_, config_));
    if (start == "loader") {
        sim_->SetFlash(loader_);
        sim_->WriteFlash(configByte, Pattern(64, 99));  // an old configuration
    }
    sim_->Reboot();
    const std::vector<uint8_t> before = sim_->Flash();
    InjectFault(*sim_, c.Get("fault"));
    uint16_t node = sim_->DeviceNodeId();
    EXPECT_EQ(start == "loader" ? UploadFirmwareAndConfig(node, device_, firmwareFile_.c_str(),
                                                          configFile_.c_str(), nullptr, nullptr)
                                : UploadFirmwareLoader(&node, device_, loaderFile_.c_str(),
                                                       start == "blank", 0, nullptr, nullptr),
              CaseNumber(c.Get("status")));
    std::vector<uint8_t> expected = before;
    if (left == "loader written") std::copy(loader_.begin(), loader_.end(), expected.begin());
    if (left == "first sector erased")
        std::fill(expected.begin(), expected.begin() + configByte, 0xFF);
    if (left == "programmed") expected = Programmed(firmware_, config_, configByte, before.size());
    EXPECT_TRUE(sim_->Flash() == expected);
    sim_->SetVanishOnReset(false);
    EXPECT_EQ(tqsim::ModeName(sim_->Mode()), c.Get("mode")) << sim_->BootNote();
}

INSTANTIATE_TEST_SUITE_P(Steps, JobFailure,
                         ::testing::ValuesIn(CaseRows("program/sim_failure_cases.txt")),
                         CaseName());

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
    EXPECT_EQ(sim_->Mode(), tqsim::DeviceMode::Firmware) << sim_->BootNote();
    EXPECT_TRUE(sim_->Flash() ==
                Programmed(firmware_, config_, device_->configByteAddress, sim_->Flash().size()));
}

INSTANTIATE_TEST_SUITE_P(Links, RealTimeBlankToRunning, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Serial" : "Driver"; });

}  // namespace
}  // namespace loric::test

#endif
