// Configuration transfer against the simulated device: upload, the ROM the device presents
// afterwards, download, the erased sector and the firmware's time stamp.
#include <gtest/gtest.h>

#if __has_include("tqsim/system.h")

#include <fstream>
#include <string>
#include <vector>

#include "configrom_test_util.h"
#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "tqsim/system.h"

using cromtest::FullRecord;
using cromtest::LittleEndianWords;
using cromtest::ReadBytes;

namespace {

constexpr uint32_t kConfigRomBase = 0xF0000400;
// An erased configuration sector: its first bytes as the firmware finds them.
const std::vector<uint8_t> kErased(4, 0xFF);

std::vector<std::string> g_titles;
void RecordTitle(LORIC_PROGRESS_WINDOW* window) { g_titles.push_back(window->title); }

int g_callbackCalls;
uint32_t CountProgress(uint8_t) {
    ++g_callbackCalls;
    return 0;
}
uint32_t CancelProgress(uint8_t) { return 1; }

class SimTransfer : public loric::test::ApiTest {
protected:
    SimTransfer() : socketEnv_("BRENNOCK_SOCKET", (directory_.Path() + "/sim.sock").c_str()) {}

    void SetUp() override {
        tqsim::image::BuildOptions firmware;
        firmware.time = "09:15:42";
        firmware.date = "Dec 06 2026";
        firmwareImage_ = tqsim::image::Build(firmware);
        std::string error;
        ASSERT_TRUE(sim_.StartDriverServer(directory_.Path() + "/sim.sock", &error)) << error;
        LoadDevice();
        g_titles.clear();
        g_callbackCalls = 0;
    }

    // Installs the firmware with `config` in the configuration sector and boots it.
    void Install(const std::vector<uint8_t>& config) {
        ASSERT_TRUE(sim_.InstallFirmware(firmwareImage_, config));
        sim_.ResetDevice();
        ASSERT_EQ(sim_.Mode(), tqsim::DeviceMode::Firmware) << sim_.BootNote();
    }

    // The host's record of the simulated chip, read from a flash data file as a host would.
    void LoadDevice() {
        const std::string file = directory_.Path() + "/flash.dat";
        std::ofstream(file) << tqsim::BuiltInChipsAsFlashDataFile();
        static FLASH_DEVICE devices[LORIC_MAX_FLASH_DEVICES];
        uint32_t count = LORIC_MAX_FLASH_DEVICES;
        ASSERT_EQ(OpenLORIC(0), 0u);
        ASSERT_EQ(LoadFlashData(file.c_str(), devices, &count), 0u);
        CloseLORIC();
        const std::string name = sim_.Chip().name;
        for (uint32_t i = 0; i < count; ++i) {
            if (name == devices[i].deviceName) device_ = &devices[i];
        }
        ASSERT_NE(device_, nullptr) << name;
        ASSERT_NE(device_->configSector, nullptr);
        const int sector = sim_.Chip().ConfigSector();
        ASSERT_EQ(device_->configSector->start, sim_.Chip().SectorStart(static_cast<size_t>(sector)));
    }

    // Locates the device as a host does; this also makes it the link's target node, which
    // uploads go to. Its node ID changes with every reset.
    uint16_t Find() {
        uint16_t node = 0;
        uint32_t blank = 0;  // 0 asks for the node list first
        EXPECT_EQ(FindNode(&node, &blank), 0u);
        EXPECT_EQ(blank, 0u);
        EXPECT_EQ(node, sim_.DeviceNodeId());
        return node;
    }

    std::vector<uint8_t> Generate(const CONFIG_FILE_INFO& record, const std::string& name) {
        CONFIG_FILE_INFO info = record;
        const std::string file = directory_.Path() + "/" + name;
        EXPECT_EQ(GenerateConfigurationFile(&info, file.c_str()), 0u);
        return ReadBytes(file);
    }

    std::string Path(const std::string& name) const { return directory_.Path() + "/" + name; }

    loric::test::ScopedEnv socketEnv_;
    loric::test::FakeClock clock_;
    tqsim::System sim_;
    std::vector<uint8_t> firmwareImage_;
    FLASH_DEVICE* device_ = nullptr;
};

TEST_F(SimTransfer, DeviceShowsTheGeneratedRomAndDownloadGivesTheFile) {
    const std::vector<uint8_t> config = Generate(FullRecord(true), "rom.bin");
    Install(config);
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    const uint16_t node = Find();
    const std::vector<uint32_t> words = LittleEndianWords(config);
    for (uint32_t i = 26; i < words.size(); ++i) {
        uint32_t value = 0;
        ASSERT_EQ(ReadQuadlet(node, 0xFFFF, kConfigRomBase + 4 * (i - 26), &value), 0u) << i;
        ASSERT_EQ(value, words[i]) << "q" << i - 26;
    }
    ASSERT_EQ(DownloadConfigurationFile(node, device_, Path("back.bin").c_str(), nullptr), 0u);
    EXPECT_EQ(ReadBytes(Path("back.bin")), config);
    EXPECT_EQ(debug_.Text(), "");
}

TEST_F(SimTransfer, UploadThenDownloadGivesTheSameBytesAndTheDeviceShowsTheRom) {
    Install(tqsim::image::BuildConfigImage(0x123456, 0x78, 0x9ABCDEF0));
    const std::vector<uint8_t> config = Generate(FullRecord(true), "rom.bin");
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    const uint16_t node = Find();

    LORIC_PROGRESS_WINDOW window{};
    window.titleChanged = RecordTitle;
    debug_.Clear();
    ASSERT_EQ(UploadConfigurationFile(node, device_, Path("rom.bin").c_str(), 1, &window, CountProgress), 0u);
    const std::vector<std::string> titles = {"Erasing configuration flash...", "Uploading configuration...",
                                             "Reseting processor..."};
    EXPECT_EQ(g_titles, titles);
    EXPECT_GT(g_callbackCalls, 0);
    const std::string trace = debug_.Text();
    EXPECT_EQ(trace.rfind("API_TRACE: Enter UploadConfigurationFile\n", 0), 0u) << trace;
    EXPECT_TRUE(trace.ends_with("API_TRACE: Exit UploadConfigurationFile (ret 0)\n\n")) << trace;

    // The flash holds the file, and after the processor reset the device presents its ROM.
    const std::vector<uint8_t> flash = sim_.Flash();
    ASSERT_EQ(std::vector<uint8_t>(flash.begin() + device_->configByteAddress,
                                   flash.begin() + device_->configByteAddress + config.size()),
              config);
    ASSERT_EQ(sim_.Mode(), tqsim::DeviceMode::Firmware);
    const uint16_t after = Find();
    const std::vector<uint32_t> words = LittleEndianWords(config);
    const std::vector<uint32_t> rom(words.begin() + 26, words.end());
    for (uint32_t i = 0; i < rom.size(); ++i) {
        uint32_t value = 0;
        ASSERT_EQ(ReadQuadlet(after, 0xFFFF, kConfigRomBase + 4 * i, &value), 0u) << i;
        ASSERT_EQ(value, rom[i]) << "q" << i;
    }

    debug_.Clear();
    ASSERT_EQ(DownloadConfigurationFile(after, device_, Path("back.bin").c_str(), nullptr), 0u);
    EXPECT_EQ(ReadBytes(Path("back.bin")), config);
    char message[128];
    std::snprintf(message, sizeof(message), "API_TRACE: Read additional config from flash address %.8X (%.8X)\n",
                  device_->configSector->start, device_->configByteAddress);
    EXPECT_EQ(debug_.Text(), "API_TRACE: Enter DownloadConfigurationFile\n" + std::string(message) +
                                 "API_TRACE: Exit DownloadConfigurationFile (ret 0)\n\n");

    // And the downloaded file imports to the record it was made from.
    CONFIG_FILE_INFO imported;
    ASSERT_EQ(ImportConfigurationFile(&imported, Path("back.bin").c_str()), 0u);
    EXPECT_EQ(imported.chip_id_lo, FullRecord(true).chip_id_lo);
}

TEST_F(SimTransfer, UploadWithoutEraseOrWindow) {
    Install(kErased);
    Generate(FullRecord(false), "rom.bin");
    ASSERT_EQ(OpenLORIC(0), 0u);
    const uint16_t node = Find();
    ASSERT_EQ(UploadConfigurationFile(node, device_, Path("rom.bin").c_str(), 0, nullptr, CountProgress), 0u);
    EXPECT_GT(g_callbackCalls, 0);
    const uint16_t after = Find();
    ASSERT_EQ(DownloadConfigurationFile(after, device_, Path("back.bin").c_str(), nullptr), 0u);
    EXPECT_EQ(ReadBytes(Path("back.bin")), ReadBytes(Path("rom.bin")));
}

TEST_F(SimTransfer, ErasedSectorFailsWith17After104Bytes) {
    Install(kErased);
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    const uint16_t node = Find();
    debug_.Clear();
    EXPECT_EQ(DownloadConfigurationFile(node, device_, Path("blank.bin").c_str(), nullptr), 17u);
    EXPECT_EQ(ReadBytes(Path("blank.bin")), std::vector<uint8_t>(104, 0xFF));
    EXPECT_EQ(debug_.Text(),
              "ERROR INFO: Validity check failed!\n"
              "ERROR INFO: - Device probably blank, If not ensure correct flash selected\n"
              "ERROR INFO: - and config sector has been programmed correctly\n"
              "LORIC ERROR: Unable to download configuration\n");
}

TEST_F(SimTransfer, TimestampOfTheRunningFirmware) {
    Install(kErased);
    ASSERT_EQ(OpenLORIC(TRACE_API), 0u);
    const uint16_t node = Find();
    char timeText[24];
    char dateText[24];
    debug_.Clear();
    ASSERT_EQ(DownloadTimestamp(node, timeText, dateText), 0u);
    EXPECT_STREQ(timeText, "09:15:42");
    EXPECT_STREQ(dateText, "Dec 06 2026");
    EXPECT_EQ(sim_.TimeStampText(), "09:15:42|Dec 06 2026");
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter DownloadTimestamp\n"
              "API_TRACE: Time: 09:15:42  Date: Dec 06 2026\n"
              "API_TRACE: Exit DownloadTimestamp (ret 0)\n\n");
}

TEST_F(SimTransfer, UploadFailures) {
    Install(kErased);
    Generate(FullRecord(false), "rom.bin");
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    const uint16_t node = Find();
    const std::string file = Path("rom.bin");

    // Nobody at that node: no upload mode.
    debug_.Clear();
    EXPECT_EQ(UploadConfigurationFile(0xFFC5, device_, file.c_str(), 1, nullptr, nullptr), 14u);
    EXPECT_TRUE(debug_.Text().ends_with("LORIC ERROR: Failed to switch device to upload mode\n")) << debug_.Text();

    // An erase that never reports done: 22 with the sector address, after the time-out.
    sim_.SetEraseNeverDone(true);
    debug_.Clear();
    EXPECT_EQ(UploadConfigurationFile(node, device_, file.c_str(), 1, nullptr, nullptr), 22u);
    char expected[80];
    std::snprintf(expected, sizeof(expected), "LORIC ERROR: Flash sector erase failed (sector at 0x%.5X)\n",
                  device_->configSector->start);
    EXPECT_TRUE(debug_.Text().ends_with(expected)) << debug_.Text();
    sim_.SetEraseNeverDone(false);

    // Cancelled by the callback: 27, and no processor reset.
    sim_.ResetDevice();
    const uint16_t again = Find();
    debug_.Clear();
    EXPECT_EQ(UploadConfigurationFile(again, device_, file.c_str(), 1, nullptr, CancelProgress), 27u);
    EXPECT_TRUE(debug_.Text().ends_with("LORIC ERROR: Configuration upload failed\n")) << debug_.Text();
    EXPECT_EQ(sim_.Mode(), tqsim::DeviceMode::Upload);

    // The processor reset write after a good upload fails: 31.
    sim_.ResetDevice();
    tqsim::RegisterFault fault;
    fault.offsetLow = 0xF0090008;  // FLASH_UPLOAD_CTRL: the upload's start address gets through
    fault.onRead = false;
    fault.succeedFirst = 1;
    sim_.AddRegisterFault(fault);
    debug_.Clear();
    EXPECT_EQ(UploadConfigurationFile(Find(), device_, file.c_str(), 1, nullptr, nullptr), 31u);
    EXPECT_TRUE(debug_.Text().ends_with("LORIC ERROR: Processor reset failed\n")) << debug_.Text();
    sim_.ClearFaults();

    // A missing file is an upload failure too.
    sim_.ResetDevice();
    const uint16_t third = Find();
    EXPECT_EQ(UploadConfigurationFile(third, device_, Path("none.bin").c_str(), 0, nullptr, nullptr), 27u);
}

TEST_F(SimTransfer, ArgumentsAndClosedApi) {
    EXPECT_EQ(UploadConfigurationFile(0xFFC0, device_, "x", 1, nullptr, nullptr), 3u);
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    debug_.Clear();
    EXPECT_EQ(UploadConfigurationFile(0xFFC0, nullptr, "x", 1, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadConfigurationFile(0xFFC0, device_, nullptr, 1, nullptr, nullptr), 5u);
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter UploadConfigurationFile\n"
              "LORIC ERROR: An API function parameter was invalid\n"
              "API_TRACE: Exit UploadConfigurationFile (ret 5)\n\n"
              "API_TRACE: Enter UploadConfigurationFile\n"
              "LORIC ERROR: An API function parameter was invalid\n"
              "API_TRACE: Exit UploadConfigurationFile (ret 5)\n\n");
}

}  // namespace

#endif
