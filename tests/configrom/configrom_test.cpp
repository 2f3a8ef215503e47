// Configuration files: generation, import, and their transfer to and from the simulated device
// (with time stamp records), each case against its own golden file under tests/data/configrom/.

#include "program/program_test_util.h"
#include "support/fake_clock.h"
#include "wine/configrom_record.h"

namespace loric::test {
namespace {

constexpr uint32_t kTraceAll = TRACE_ERROR | TRACE_API | TRACE_API_VERBOSE;

using ConfigFiles = ApiTest;

class GenerateFile : public ConfigFiles, public ::testing::WithParamInterface<CaseRow> {};

// The cases of generate_cases.txt, a line "name|second unit|hw|output|page file|page text" each
// ("\\n", "\\r" in the text; "-": no page), each against configrom/generate/<case>.txt. The
// record is full_record.hex (its numeric fields have bits above the ones the file keeps), with
// the second unit flag if asked, and with the hardware version text `hw` unless that is "-"
// (empty: all four texts empty).
TEST_P(GenerateFile, FileAndTrace) {
    CONFIG_FILE_INFO full;
    const Bytes stored = FromHex(ReadFileBytes(GoldenPath("configrom/full_record.hex")));
    ASSERT_EQ(stored.size(), sizeof full);
    std::memcpy(&full, stored.data(), sizeof full);
    const std::string& name = GetParam().name;
    std::vector<std::string> f = GetParam().fields;
    f.insert(f.begin(), name);
    f.resize(6);  // an empty page text ends the line
    const std::string& output = f[3];
    if (f[5] != "-") std::ofstream(f[4], std::ios::binary) << Unescaped(f[5]);
    const bool device = output[0] == '/';  // never read back, such as /dev/full
    CONFIG_FILE_INFO record = full, info;
    if (f[1] == "1") record.config_flags |= CONFIG_FLAG_SECOND_LUN;
    if (f[2] != "-") wine_reference::SetField(record.hw_version_text, f[2].c_str());
    if (f[2].empty())
        for (char* text : {record.vendor_text, record.lun0_model_text, record.lun1_model_text})
            std::memset(text, 0, 60);
    info = record;
    g_api.traceFlags = kTraceAll;
    const uint32_t status = GenerateConfigurationFile(&info, output.c_str());
    EXPECT_EQ(std::memcmp(&record, &info, sizeof info), 0) << name << ": the record was changed";
    Transcript t;
    t.Add("== %s\nstatus %u\n", name.c_str(), status);
    t.Text(debug_.Text());
    if (!device) t.Words(ReadAll(output));
    if (status != 0) {
        char text[1200];
        ASSERT_EQ(GetErrorText(status, text), 0u);
        t.Add("error text: %s\n", text);
    }
    t.Check("configrom/generate/" + CaseSlug(name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Records, GenerateFile,
                         ::testing::ValuesIn(CaseRows("configrom/generate_cases.txt")), CaseName());

TEST_F(ConfigFiles, GenerateRefusesMissingArguments) {
    EXPECT_EQ(GenerateConfigurationFile(nullptr, "x"), 5u);
    EXPECT_EQ(GenerateConfigurationFile(nullptr, nullptr), 5u);
}

// The file of the fixed record that the Windows build must give byte for byte.
TEST_F(ConfigFiles, FixedRecordFileIsTheOneTheWindowsBuildMustGive) {
    std::ofstream("datapage.dat", std::ios::binary) << wine_reference::kDataPage;
    CONFIG_FILE_INFO record = wine_reference::Record();
    ASSERT_EQ(GenerateConfigurationFile(&record, "fixed.bin"), 0u);
    ExpectGolden("configrom/fixed_record.bin", ReadAll("fixed.bin"));
    CONFIG_FILE_INFO imported;
    ASSERT_EQ(ImportConfigurationFile(&imported, "fixed.bin"), 0u);
    const CONFIG_FILE_INFO expected = wine_reference::Imported();
    EXPECT_EQ(std::memcmp(&imported, &expected, sizeof expected), 0);
}

class ImportFile : public ConfigFiles, public ::testing::WithParamInterface<CaseRow> {};

// The files of import_cases.txt, a line "name|hex bytes" each ("-": no file): good, old layout
// and damaged; each against configrom/import/<case>.txt.
TEST_P(ImportFile, RecordItGives) {
    const CaseRow& c = GetParam();
    if (c.fields.at(0) != "-") WriteFile("image.bin", FromHex(c.fields[0]));
    CONFIG_FILE_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    g_api.traceFlags = kTraceAll;
    Transcript t;
    t.Add("== %s\nstatus %u\n", c.name.c_str(), ImportConfigurationFile(&info, "image.bin"));
    t.Text(debug_.Text());
    for (const char* text :
         {info.vendor_text, info.hw_version_text, info.lun0_model_text, info.lun1_model_text})
        t.Add("text \"%.60s\"\n", text);
    t.Words(Bytes(reinterpret_cast<const uint8_t*>(&info),
                  reinterpret_cast<const uint8_t*>(&info + 1)));
    t.Check("configrom/import/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Files, ImportFile,
                         ::testing::ValuesIn(CaseRows("configrom/import_cases.txt")), CaseName());

TEST_F(ConfigFiles, ImportRefusesMissingArguments) {
    CONFIG_FILE_INFO info;
    EXPECT_EQ(ImportConfigurationFile(nullptr, "gen.bin"), 5u);
    EXPECT_EQ(ImportConfigurationFile(&info, nullptr), 5u);
}

TEST(GetFileDirectory, OnlyABackslashSeparatesAndLongFoldersGiveNone) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\out\\rom.bin", "C:\\out\\"},
        {"rom.bin", ""},
        {"dir/rom.bin", ""},
        {"a\\b/c\\", "a\\b/c\\"},
        {std::string(253, 'd') + "\\x", std::string(253, 'd') + "\\"},
        {std::string(254, 'd') + "\\x", ""},
    };
    for (const auto& [path, directory] : cases) {
        char destination[kFileDirectorySize];
        std::memset(destination, 'z', sizeof destination);
        EXPECT_EQ(GetFileDirectory(destination, path.c_str()), directory.size());
        EXPECT_EQ(std::string(destination), directory);
        for (size_t i = directory.size(); i < sizeof destination; ++i)
            ASSERT_EQ(destination[i], 0) << i;
    }
}

TEST_F(ConfigFiles, AddRomStringRefusalsLeaveTheRomUnchanged) {
    g_api.traceFlags = TRACE_ERROR;
    CROM crom;
    InitConfigRom(&crom, 1);
    const std::string texts[] = {"one", std::string(61, 'x'), "two", "three", "four", "five"};
    for (const std::string& text : texts) {
        const CROM before = crom;
        const bool refused = text.size() > 60 || text == "five";
        EXPECT_EQ(AddRomString(&crom, text.c_str()), refused ? 0u : 1u) << text;
        EXPECT_TRUE(!refused || std::memcmp(&before, &crom, sizeof crom) == 0) << text;
    }
    EXPECT_EQ(PlacedRomStrings(), 4u);
    EXPECT_EQ(debug_.Text(),
              "ERROR INFO: Trying to add string longer than 60 chars to config ROM!\n"
              "ERROR INFO: Trying to add more than 4 strings to config ROM!\n");
    EXPECT_EQ(AddRomString(&crom, nullptr), 0u);
    EXPECT_EQ(PlacedRomStrings(), 0u);
    EXPECT_EQ(AddRomString(nullptr, "x"), 0u);
}

#if __has_include("tqsim/system.h")

// A configuration header: magic word, ROM length in word 25, then `romBytes` counting bytes.
Bytes Header(uint32_t magic, uint32_t romLength, size_t romBytes) {
    Bytes bytes(104 + romBytes, 0xFF);
    for (size_t i = 104; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    return WithParameter(WithParameter(bytes, 0, magic), 100, romLength);
}

uint32_t CancelProgress(uint8_t) { return 1; }

class SimTransfer : public SimTest {
public:
    void SetUp() override {
        Bench("29F040B");
        CloseLORIC();
        sim_->SetLog(
            [this](const std::string& line) { requests_ += line.rfind("ioctl ", 0) == 0; });
        config_ = ReadAll(GoldenPath("configrom/fixed_record.bin"));  // the configuration to upload
        WriteFile("rom.bin", config_);
    }

    // Installs a firmware with the time stamp record `stamp` and `config` in the configuration
    // sector, and boots it.
    void Install(const Bytes& config,
                 std::string stamp = std::string("09:15:42\0Dec 06 2026", 20)) {
        Bytes firmware = tqsim::image::Build({});
        stamp.resize(tqsim::image::kStampSize, '\0');
        std::copy(stamp.begin(), stamp.end(), firmware.begin() + tqsim::image::kHeaderSize);
        const uint32_t sum =
            tqsim::image::BootSum(firmware.data(), static_cast<uint32_t>(firmware.size()),
                                  firmware[20] | firmware[21] << 8, firmware[24]);
        bytes::StoreLittleEndian32(&firmware[12], sum);
        ASSERT_TRUE(sim_->InstallFirmware(firmware, config));
        sim_->ResetDevice();
        ASSERT_EQ(sim_->Mode(), tqsim::DeviceMode::Firmware) << sim_->BootNote();
    }
    void ExpectRomAndDownload(uint16_t node) {
        const std::vector<uint32_t> rom = sim_->ConfigRom();  // what the device presents on the bus
        for (size_t i = 26; i < config_.size() / 4; ++i)
            ASSERT_EQ(rom.at(i - 26), LittleEndianAt(config_, 4 * i)) << i;
        ASSERT_EQ(DownloadConfigurationFile(node, device_, "back.bin", nullptr), 0u);
        EXPECT_EQ(ReadFileBytes("back.bin"), ReadFileBytes("rom.bin"));
    }

    FakeClock clock_;
    Bytes config_;
    std::atomic<int> requests_{0};
};

TEST_F(SimTransfer, UploadThenTheDeviceShowsTheRomAndDownloadGivesTheFile) {
    Install(tqsim::image::BuildConfigImage(0x123456, 0x78, 0x9ABCDEF0));
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    const uint16_t node = Find();
    debug_.Clear();
    ASSERT_EQ(UploadConfigurationFile(node, device_, "rom.bin", 1, nullptr, nullptr), 0u);
    const Bytes flash = sim_->Flash();
    EXPECT_EQ(Bytes(flash.begin() + device_->configByteAddress,
                    flash.begin() + device_->configByteAddress + config_.size()),
              config_);
    ExpectRomAndDownload(Find());  // the processor reset renumbers the device
    ExpectGolden("configrom/sim_upload_download.txt", debug_.Text());

    // Without erase, over the configuration just written.
    ASSERT_EQ(UploadConfigurationFile(Find(), device_, "rom.bin", 0, nullptr, nullptr), 0u);
    ExpectRomAndDownload(Find());
}

// Configurations read back and time stamp records, good, blank, damaged and with the read
// window failing: configrom/download_cases.txt.
std::string DownloadName(const CaseRow& c) {
    return (c.Has("config") ? "configuration_" : "time_stamp_") + CaseSlug(c.name);
}

class Download : public SimTransfer, public ::testing::WithParamInterface<CaseRow> {};

// Each download against configrom/download/<configuration or time_stamp>_<case>.txt.
TEST_P(Download, StatusTraceAndWhatWasRead) {
    const CaseRow& c = GetParam();
    const bool stamp = !c.Has("config");
    const std::vector<uint32_t> header = CaseNumbers(c.Get("config"));
    Install(stamp ? Bytes(4, 0xFF) : Header(header.at(0), header.at(1), header.at(2)),
            stamp ? Unescaped(c.Get("stamp")) : "1");
    ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    const uint16_t node = Find();  // the high bits of the node argument are not used
    // The read window's n-th read from now fails, or every write to it.
    const uint32_t failRead = CaseNumber(c.Get("failRead"));
    const bool failWrites = c.Has("failWrites");
    if (failRead || failWrites)
        sim_->AddRegisterFault({.offsetLow = FLASH_READ_CTRL,
                                .onRead = !failWrites,
                                .onWrite = failWrites,
                                .succeedFirst = failWrites ? 0 : failRead - 1,
                                .failTimes = failWrites ? 0u : 1u});
    char time[40], date[40];
    std::memset(time, '#', sizeof time);
    std::memset(date, '#', sizeof date);
    debug_.Clear();
    requests_ = 0;
    const uint32_t status =
        stamp ? DownloadTimestamp(0x30000 | node, time, date)
              : DownloadConfigurationFile(0x10000 | node, device_, "download.bin", nullptr);
    Transcript t;
    t.Add("== %s\nstatus %u, %d requests\n", c.name.c_str(), status, requests_.load());
    t.Text(debug_.Text());
    if (stamp) t.Add("time \"%.39s\" date \"%.39s\"\n", time, date);
    if (!stamp) t.Words(ReadAll("download.bin"));
    // The '#' after the record's 24 bytes must remain.
    EXPECT_EQ(std::string(time + 24, 16) + std::string(date + 24, 16), std::string(32, '#'));
    CloseLORIC();
    t.Check("configrom/download/" + DownloadName(c) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Cases, Download,
                         ::testing::ValuesIn(CaseRows("configrom/download_cases.txt")),
                         [](const auto& info) { return DownloadName(info.param); });

using UploadFailure = WithCases<SimTransfer, CaseRow>;

// Each failed upload's status, trace and the device's mode after it, against
// configrom/sim_upload_failures/<case>.txt.
TEST_P(UploadFailure, StatusTraceAndDeviceMode) {
    const CaseRow& c = GetParam();
    Install(Bytes(4, 0xFF));
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    sim_->ResetDevice();
    const uint16_t node = Find();
    InjectFault(*sim_, c.Get("fault"));
    debug_.Clear();
    Transcript t;
    t.Add("== %s\nstatus %u\n", c.name.c_str(),
          UploadConfigurationFile(c.Has("node") ? CaseNumber(c.Get("node")) : node, device_,
                                  c.Get("file", "rom.bin").c_str(), 1, nullptr,
                                  c.Has("cancel") ? CancelProgress : nullptr));
    t.Text(debug_.Text());
    t.Add("device mode %d\n", static_cast<int>(sim_->Mode()));
    t.Check("configrom/sim_upload_failures/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Cases, UploadFailure,
                         ::testing::ValuesIn(CaseRows("configrom/sim_upload_failure_cases.txt")),
                         CaseName());

TEST_F(SimTransfer, ArgumentsFilesAndTheClosedApi) {
    char time[24], date[24];
    EXPECT_EQ(UploadConfigurationFile(0xFFC0, device_, "rom.bin", 1, nullptr, nullptr), 3u);
    EXPECT_EQ(DownloadConfigurationFile(0xFFC1, device_, "x.bin", nullptr), 3u);
    EXPECT_EQ(DownloadTimestamp(0xFFC1, time, date), 3u);
    Install(config_);
    ASSERT_EQ(OpenLORIC(TRACE_ERROR), 0u);
    const uint16_t node = Find();
    FLASH_DEVICE noSector = *device_;
    noSector.configSector = nullptr;
    requests_ = 0;
    EXPECT_EQ(UploadConfigurationFile(node, &noSector, "rom.bin", 1, nullptr, nullptr), 5u);
    EXPECT_EQ(DownloadConfigurationFile(node, device_, nullptr, nullptr), 5u);
    EXPECT_EQ(DownloadConfigurationFile(node, &noSector, "x.bin", nullptr), 5u);
    EXPECT_EQ(DownloadConfigurationFile(node, device_, "none/x.bin", nullptr), 6u);
    EXPECT_EQ(DownloadTimestamp(node, time, nullptr), 5u);
    EXPECT_EQ(requests_, 0);
    debug_.Clear();
    EXPECT_EQ(DownloadConfigurationFile(node, device_, "/dev/full", nullptr), 7u);
    EXPECT_EQ(debug_.Text(),
              "LORIC ERROR: A read / write error occurred while accessing /dev/full\n");
}

#endif

}  // namespace
}  // namespace loric::test
