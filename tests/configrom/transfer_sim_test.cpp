// Configuration transfer against the simulated device: upload, the ROM the device presents
// afterwards, download, the erased sector, the firmware's time stamp and the upload's failures.
#include <gtest/gtest.h>

#if __has_include("tqsim/system.h")

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/api_fixture.h"
#include "support/fake_clock.h"
#include "support/golden.h"
#include "tqsim/system.h"

namespace loric::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kConfigRomBase = 0xF0000400;

std::vector<std::string> g_titles;
int g_callbackCalls;
uint32_t CountProgress(uint8_t) {
    ++g_callbackCalls;
    return 0;
}
uint32_t CancelProgress(uint8_t) { return 1; }

class SimTransfer : public ApiTest {
protected:
    SimTransfer() : socketEnv_("BRENNOCK_SOCKET", (directory_.Path() + "/sim.sock").c_str()) {}

    void SetUp() override {
        tqsim::image::BuildOptions firmware;
        firmware.time = "09:15:42";
        firmware.date = "Dec 06 2026";
        firmwareImage_ = tqsim::image::Build(firmware);
        std::string error;
        ASSERT_TRUE(sim_.StartDriverServer(directory_.Path() + "/sim.sock", &error)) << error;
        // The host's record of the simulated chip, read from a flash data file as a host would.
        std::ofstream("flash.dat") << tqsim::BuiltInChipsAsFlashDataFile();
        uint32_t count = LORIC_MAX_FLASH_DEVICES;
        ASSERT_EQ(OpenLORIC(0), 0u);
        ASSERT_EQ(LoadFlashData("flash.dat", devices_.data(), &count), 0u);
        CloseLORIC();
        for (uint32_t i = 0; i < count; ++i)
            if (sim_.Chip().name == devices_[i].deviceName) device_ = &devices_[i];
        ASSERT_NE(device_, nullptr);
        ASSERT_EQ(device_->configSector->start,
                  sim_.Chip().SectorStart(static_cast<size_t>(sim_.Chip().ConfigSector())));
        // A configuration generated from a record, for the uploads.
        CONFIG_FILE_INFO info{};
        std::strcpy(info.vendor_text, "Sim Vendor");
        info.chip_id_lo = 0x12345678;
        info.config_flags = CONFIG_FLAG_SECOND_LUN;
        ASSERT_EQ(GenerateConfigurationFile(&info, "rom.bin"), 0u);
        const std::string text = ReadFileBytes("rom.bin");
        config_.assign(text.begin(), text.end());
        g_titles.clear();
        g_callbackCalls = 0;
    }

    // Installs the firmware with `config` in the configuration sector and boots it.
    void Install(const Bytes& config) {
        ASSERT_TRUE(sim_.InstallFirmware(firmwareImage_, config));
        sim_.ResetDevice();
        ASSERT_EQ(sim_.Mode(), tqsim::DeviceMode::Firmware) << sim_.BootNote();
    }
    // Locates the device as a host does; this also makes it the target of uploads.
    uint16_t Find() {
        uint16_t node = 0;
        uint32_t blank = 0;
        EXPECT_EQ(FindNode(&node, &blank), 0u);
        EXPECT_EQ(node, sim_.DeviceNodeId());
        return node;
    }
    void ExpectRomAndDownload(uint16_t node) {
        for (uint32_t i = 26; i < config_.size() / 4; ++i) {
            uint32_t value = 0;
            ASSERT_EQ(ReadQuadlet(node, 0xFFFF, kConfigRomBase + 4 * (i - 26), &value), 0u) << i;
            ASSERT_EQ(value, config_[4 * i] | config_[4 * i + 1] << 8 | config_[4 * i + 2] << 16 |
                                 uint32_t{config_[4 * i + 3]} << 24) << "q" << i - 26;
        }
        ASSERT_EQ(DownloadConfigurationFile(node, device_, "back.bin", nullptr), 0u);
        EXPECT_EQ(ReadFileBytes("back.bin"), ReadFileBytes("rom.bin"));
    }

    ScopedEnv socketEnv_;
    FakeClock clock_;
    tqsim::System sim_;
    Bytes firmwareImage_, config_;
    std::vector<FLASH_DEVICE> devices_ = std::vector<FLASH_DEVICE>(LORIC_MAX_FLASH_DEVICES);
    FLASH_DEVICE* device_ = nullptr;
};

TEST_F(SimTransfer, UploadThenTheDeviceShowsTheRomAndDownloadGivesTheFile) {
    Install(tqsim::image::BuildConfigImage(0x123456, 0x78, 0x9ABCDEF0));
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    const uint16_t node = Find();
    LORIC_PROGRESS_WINDOW window{};
    window.titleChanged = [](LORIC_PROGRESS_WINDOW* w) { g_titles.push_back(w->title); };
    debug_.Clear();
    ASSERT_EQ(UploadConfigurationFile(node, device_, "rom.bin", 1, &window, CountProgress), 0u);
    EXPECT_EQ(g_titles, (std::vector<std::string>{"Erasing configuration flash...", "Uploading configuration...",
                                                   "Reseting processor..."}));
    EXPECT_GT(g_callbackCalls, 0);
    Transcript t;
    t.Text(debug_.Text());
    const Bytes flash = sim_.Flash();
    EXPECT_EQ(Bytes(flash.begin() + device_->configByteAddress,
                    flash.begin() + device_->configByteAddress + config_.size()),
              config_);
    debug_.Clear();
    ExpectRomAndDownload(Find());  // the processor reset renumbers the device
    t.Text(debug_.Text());
    t.Check("configrom/sim_upload_download.txt");

    // Without erase, window or callback, over the configuration just written.
    ASSERT_EQ(UploadConfigurationFile(Find(), device_, "rom.bin", 0, nullptr, nullptr), 0u);
    ExpectRomAndDownload(Find());
}

TEST_F(SimTransfer, ErasedSectorAndTimeStamp) {
    Install(Bytes(4, 0xFF));
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    const uint16_t node = Find();
    debug_.Clear();
    EXPECT_EQ(DownloadConfigurationFile(node, device_, "blank.bin", nullptr), 17u);
    EXPECT_EQ(ReadFileBytes("blank.bin"), std::string(104, '\xFF'));
    char timeText[24], dateText[24];
    ASSERT_EQ(DownloadTimestamp(node, timeText, dateText), 0u);
    EXPECT_EQ(sim_.TimeStampText(), "09:15:42|Dec 06 2026");
    ExpectGolden("configrom/sim_blank_and_timestamp.txt", debug_.Text());
}

TEST_F(SimTransfer, UploadFailures) {
    Install(Bytes(4, 0xFF));
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    tqsim::RegisterFault resetFault;  // FLASH_UPLOAD_CTRL: the start address gets through, the reset not
    resetFault.offsetLow = 0xF0090008;
    resetFault.onRead = false;
    resetFault.succeedFirst = 1;
    struct Case {
        const char* name;
        std::function<void()> arrange;
        bool otherNode;
        const char* file;
        ProgressCallback callback;
        uint32_t status;
    } const cases[] = {
        {"nobody at the node", [] {}, true, "rom.bin", nullptr, 14},
        {"erase never done", [&] { sim_.SetEraseNeverDone(true); }, false, "rom.bin", nullptr, 22},
        {"cancelled", [] {}, false, "rom.bin", CancelProgress, 27},
        {"processor reset refused", [&] { sim_.AddRegisterFault(resetFault); }, false, "rom.bin", nullptr, 31},
        {"missing file", [] {}, false, "none.bin", nullptr, 27},
    };
    Transcript t;
    for (const Case& c : cases) {
        sim_.ClearFaults();
        sim_.SetEraseNeverDone(false);
        sim_.ResetDevice();
        const uint16_t node = Find();
        c.arrange();
        debug_.Clear();
        t.Add("== %s\n", c.name);
        EXPECT_EQ(UploadConfigurationFile(c.otherNode ? 0xFFC5 : node, device_, c.file, 1, nullptr, c.callback),
                  c.status);
        t.Text(debug_.Text());
        t.Add("device mode %d\n", static_cast<int>(sim_.Mode()));
    }
    t.Check("configrom/sim_upload_failures.txt");
}

TEST_F(SimTransfer, ArgumentsAndClosedApi) {
    EXPECT_EQ(UploadConfigurationFile(0xFFC0, device_, "rom.bin", 1, nullptr, nullptr), 3u);
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    debug_.Clear();
    EXPECT_EQ(UploadConfigurationFile(0xFFC0, nullptr, "rom.bin", 1, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadConfigurationFile(0xFFC0, device_, nullptr, 1, nullptr, nullptr), 5u);
    const std::string refused = "API_TRACE: Enter UploadConfigurationFile\n"
                                "LORIC ERROR: An API function parameter was invalid\n"
                                "API_TRACE: Exit UploadConfigurationFile (ret 5)\n\n";
    EXPECT_EQ(debug_.Text(), refused + refused);
}

}  // namespace
}  // namespace loric::test

#endif
