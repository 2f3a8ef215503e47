// Download of the configuration and of the time stamp through the device's read window,
// against the driver stand-in: exact transactions, file bytes, traces and failure paths.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "support/api_fixture.h"
#include "configrom_test_util.h"
#include "support/request_recorder.h"

using cromtest::ExpectedImage;
using cromtest::FullRecord;
using cromtest::LittleEndianWords;
using cromtest::ReadBytes;
using loric::test::AsyncTransaction;
using loric::test::RecordedRequest;
using loric::test::RequestRecorder;
using loric::test::ScriptedReply;

namespace {

constexpr uint32_t kReadCtrl = 0xF0090014;
constexpr uint32_t kNode = 0xFFC1;
constexpr uint32_t kConfigByteAddress = 0x1E000;

// The device's read window over a flash image: a write sets the byte address (or selects
// the time stamp), each read returns the next quadlet, least significant byte first from
// the flash bytes. Reads and writes can be made to fail by number.
class ReadWindow {
public:
    explicit ReadWindow(RequestRecorder& driver) {
        driver.SetHandler([this](const RecordedRequest& request) { return Answer(request); });
    }
    void SetFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        flash_.assign(address + bytes.size() + 4096, 0xFF);
        std::copy(bytes.begin(), bytes.end(), flash_.begin() + address);
    }
    void SetTimestamp(const std::vector<uint8_t>& record) {
        std::lock_guard<std::mutex> lock(mutex_);
        stamp_ = record;
    }
    void FailRead(int number) { failRead_ = number; }
    void FailWrites() { failWrites_ = true; }

private:
    std::optional<ScriptedReply> Answer(const RecordedRequest& request) {
        const std::optional<AsyncTransaction> t = RequestRecorder::Decode(request);
        if (!t || t->offsetLow != kReadCtrl) return std::nullopt;
        std::lock_guard<std::mutex> lock(mutex_);
        if (t->write) {
            if (failWrites_) return ScriptedReply::Failure(1117);
            timestamp_ = t->value == 0xFFFFFFF0;
            pointer_ = timestamp_ ? 0 : t->value;
            return std::nullopt;
        }
        if (++reads_ == failRead_) return ScriptedReply::Failure(31);
        const std::vector<uint8_t>& source = timestamp_ ? stamp_ : flash_;
        uint32_t value = 0xFFFFFFFF;
        if (pointer_ + 4 <= source.size()) {
            value = source[pointer_] | source[pointer_ + 1] << 8 | source[pointer_ + 2] << 16 |
                    static_cast<uint32_t>(source[pointer_ + 3]) << 24;
        }
        pointer_ += 4;
        return ScriptedReply::QuadletRead(request, value);
    }

    std::mutex mutex_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> stamp_;
    uint32_t pointer_ = 0;
    bool timestamp_ = false;
    std::atomic<int> failRead_{0};
    std::atomic<bool> failWrites_{false};
    int reads_ = 0;
};

FLASH_DEVICE MakeDevice() {
    FLASH_DEVICE device;
    std::memset(&device, 0, sizeof(device));
    device.busWidth = 16;
    device.sectorCount = 1;
    device.sectors[0] = {0xF000, 0xFFFF, 0x1000};
    device.configSector = &device.sectors[0];
    device.configByteAddress = kConfigByteAddress;
    return device;
}

class Download : public loric::test::ApiTest {
protected:
    void Open(uint32_t flags) { ASSERT_EQ(OpenLORIC(flags), 0u); }
    std::string Out() const { return directory_.Path() + "/download.bin"; }

    RequestRecorder driver_;
    ReadWindow window_{driver_};
    FLASH_DEVICE device_ = MakeDevice();
};

std::vector<uint8_t> GeneratedImage() {
    CONFIG_FILE_INFO info = FullRecord(true);
    return cromtest::LittleEndianBytes(ExpectedImage(info));
}

TEST_F(Download, GivesBackTheFlashImage) {
    const std::vector<uint8_t> image = GeneratedImage();
    window_.SetFlash(kConfigByteAddress, image);
    Open(TRACE_ERROR | TRACE_API);
    LORIC_PROGRESS_WINDOW progress{};
    std::strcpy(progress.title, "Tool");
    debug_.Clear();

    ASSERT_EQ(DownloadConfigurationFile(0x1FFC1, &device_, Out().c_str(), &progress), 0u);
    EXPECT_EQ(ReadBytes(Out()), image);
    EXPECT_STREQ(progress.title, "Downloading configuration");
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter DownloadConfigurationFile\n"
              "API_TRACE: Read additional config from flash address 0000F000 (0001E000)\n"
              "API_TRACE: Exit DownloadConfigurationFile (ret 0)\n\n");

    const std::vector<AsyncTransaction> t = driver_.Transactions();
    ASSERT_EQ(t.size(), 1 + image.size() / 4);
    EXPECT_TRUE(t[0].write);
    EXPECT_EQ(t[0].value, kConfigByteAddress);
    for (const AsyncTransaction& x : t) {
        EXPECT_EQ(x.nodeId, kNode);  // only the low 16 bits of the node argument
        EXPECT_EQ(x.offsetHigh, 0xFFFF);
        EXPECT_EQ(x.offsetLow, kReadCtrl);
    }
    for (size_t i = 1; i < t.size(); ++i) EXPECT_FALSE(t[i].write) << i;
}

TEST_F(Download, RomLengthNotAMultipleOfFourEndsOnAWholeQuadlet) {
    std::vector<uint32_t> header(26, 0);
    header[0] = 0xAFC924AD;
    header[25] = 6;
    std::vector<uint8_t> image = cromtest::LittleEndianBytes(header);
    for (uint8_t b : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) image.push_back(b);
    window_.SetFlash(kConfigByteAddress, image);
    Open(0);
    ASSERT_EQ(DownloadConfigurationFile(kNode, &device_, Out().c_str(), nullptr), 0u);
    const std::vector<uint8_t> bytes = ReadBytes(Out());
    ASSERT_EQ(bytes.size(), 112u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), std::vector<uint8_t>(image.begin(), image.begin() + 112));
}

struct HeaderCase {
    const char* name;
    uint32_t magic;
    uint32_t romLength;
    const char* lines;
};

const HeaderCase kBadHeaders[] = {
    {"Blank", 0xFFFFFFFF, 0xFFFFFFFF,
     "ERROR INFO: Validity check failed!\n"
     "ERROR INFO: - Device probably blank, If not ensure correct flash selected\n"
     "ERROR INFO: - and config sector has been programmed correctly\n"},
    {"ZeroLength", 0xAFC924AD, 0, "ERROR INFO: Zero length config ROM\n"},
    {"LengthBeyondAnyRom", 0xAFC924AD, 1028, "ERROR INFO: Config ROM length 1028 out of range\n"},
};

class DownloadHeader : public Download, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(DownloadHeader, FailsWith17AfterTheHeader) {
    const HeaderCase& c = GetParam();
    std::vector<uint32_t> header(26, 0xFFFFFFFF);
    header[0] = c.magic;
    header[25] = c.romLength;
    window_.SetFlash(kConfigByteAddress, cromtest::LittleEndianBytes(header));
    Open(TRACE_ERROR | TRACE_API);
    debug_.Clear();
    EXPECT_EQ(DownloadConfigurationFile(kNode, &device_, Out().c_str(), nullptr), 17u);
    EXPECT_EQ(ReadBytes(Out()), cromtest::LittleEndianBytes(header));
    EXPECT_EQ(driver_.Transactions().size(), 27u);
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter DownloadConfigurationFile\n"
              "API_TRACE: Read additional config from flash address 0000F000 (0001E000)\n" +
                  std::string(c.lines) +
                  "LORIC ERROR: Unable to download configuration\n"
                  "API_TRACE: Exit DownloadConfigurationFile (ret 17)\n\n");
}

INSTANTIATE_TEST_SUITE_P(Headers, DownloadHeader, ::testing::ValuesIn(kBadHeaders),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(Download, ReadFailureInTheRom) {
    window_.SetFlash(kConfigByteAddress, GeneratedImage());
    window_.FailRead(26 + 3);
    Open(TRACE_ERROR);
    EXPECT_EQ(DownloadConfigurationFile(kNode, &device_, Out().c_str(), nullptr), 9u);
    EXPECT_EQ(ReadBytes(Out()).size(), 104u + 8);
    EXPECT_EQ(debug_.Text(),
              "ERROR INFO: AsyncRead Error = 0x1f\r\n"
              "LORIC ERROR: 1394 Quadlet read of address offset 0xF0090014 failed\n"
              "ERROR INFO: Read error from CONFIG_ROM + 08!\n"
              "LORIC ERROR: 1394 Quadlet read of address offset 0xF0090014 failed\n");
}

TEST_F(Download, WindowWriteFailure) {
    window_.FailWrites();
    Open(TRACE_ERROR);
    EXPECT_EQ(DownloadConfigurationFile(kNode, &device_, Out().c_str(), nullptr), 10u);
    EXPECT_EQ(debug_.Text(),
              "ERROR INFO: AsynWrite Error = 0x45d\r\n"
              "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090014 failed\n"
              "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090014 failed\n");
}

TEST_F(Download, ArgumentsFileAndClosedApi) {
    const std::string missing = directory_.Path() + "/none/x.bin";
    EXPECT_EQ(DownloadConfigurationFile(kNode, &device_, Out().c_str(), nullptr), 3u);
    Open(TRACE_ERROR | TRACE_API);
    debug_.Clear();
    EXPECT_EQ(DownloadConfigurationFile(kNode, nullptr, Out().c_str(), nullptr), 5u);
    EXPECT_EQ(DownloadConfigurationFile(kNode, &device_, nullptr, nullptr), 5u);
    FLASH_DEVICE noSector = MakeDevice();
    noSector.configSector = nullptr;
    EXPECT_EQ(DownloadConfigurationFile(kNode, &noSector, Out().c_str(), nullptr), 5u);
    debug_.Clear();
    EXPECT_EQ(DownloadConfigurationFile(kNode, &device_, missing.c_str(), nullptr), 6u);
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter DownloadConfigurationFile\n"
              "LORIC ERROR: Unable to create or open " + missing + "\n"
              "API_TRACE: Exit DownloadConfigurationFile (ret 6)\n\n");
    EXPECT_TRUE(driver_.Transactions().empty());
}

TEST_F(Download, ShortWriteToTheFile) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    window_.SetFlash(kConfigByteAddress, GeneratedImage());
    Open(TRACE_ERROR);
    EXPECT_EQ(DownloadConfigurationFile(kNode, &device_, "/dev/full", nullptr), 7u);
    EXPECT_EQ(debug_.Text(), "LORIC ERROR: A read / write error occurred while accessing /dev/full\n");
}

// ---- Time stamp -------------------------------------------------------------------------------

std::vector<uint8_t> Record(const std::string& text) {
    std::vector<uint8_t> record(text.begin(), text.end());
    record.resize(24, 0);
    return record;
}

class Timestamp : public Download {
protected:
    // Buffers with guard bytes after the 24 the record can fill.
    char time_[40];
    char date_[40];
    void SetUp() override {
        std::memset(time_, '#', sizeof(time_));
        std::memset(date_, '#', sizeof(date_));
    }
    void ExpectGuardsIntact() {
        for (size_t i = 24; i < sizeof(time_); ++i) {
            ASSERT_EQ(time_[i], '#') << i;
            ASSERT_EQ(date_[i], '#') << i;
        }
    }
};

TEST_F(Timestamp, TimeAndDate) {
    window_.SetTimestamp(Record(std::string("12:34:56\0Dec  6 2026", 20)));
    Open(TRACE_ERROR | TRACE_API);
    debug_.Clear();
    ASSERT_EQ(DownloadTimestamp(0x3FF02, time_, date_), 0u);
    EXPECT_STREQ(time_, "12:34:56");
    EXPECT_STREQ(date_, "Dec  6 2026");
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter DownloadTimestamp\n"
              "API_TRACE: Time: 12:34:56  Date: Dec  6 2026\n"
              "API_TRACE: Exit DownloadTimestamp (ret 0)\n\n");
    const std::vector<AsyncTransaction> t = driver_.Transactions();
    ASSERT_EQ(t.size(), 7u);
    EXPECT_TRUE(t[0].write);
    EXPECT_EQ(t[0].value, 0xFFFFFFF0u);
    EXPECT_EQ(t[0].nodeId, 0xFF02);
    for (size_t i = 1; i < 7; ++i) EXPECT_FALSE(t[i].write);
    ExpectGuardsIntact();
}

TEST_F(Timestamp, MissingTextsGive16) {
    struct Case {
        std::string record;
        const char* time;
        const char* date;
    } cases[] = {
        {std::string("\0Dec  6 2026", 12), "", "Dec  6 2026"},
        {std::string("12:34:56\0", 9), "12:34:56", ""},
        {std::string(24, 'A'), "AAAAAAAAAAAAAAAAAAAAAAA", ""},
        {std::string(23, 'B') + '\0', "BBBBBBBBBBBBBBBBBBBBBBB", ""},
    };
    Open(TRACE_ERROR);
    for (const Case& c : cases) {
        SetUp();
        debug_.Clear();
        window_.SetTimestamp(Record(c.record));
        EXPECT_EQ(DownloadTimestamp(kNode, time_, date_), 16u);
        EXPECT_STREQ(time_, c.time);
        EXPECT_STREQ(date_, c.date);
        EXPECT_EQ(debug_.Text(), "LORIC ERROR: Unable to download firmware revision time stamp\n");
        ExpectGuardsIntact();
    }
    // A date that runs to the end of the record without a zero is kept whole.
    SetUp();
    window_.SetTimestamp(Record(std::string("1\0", 2) + std::string(22, 'D')));
    EXPECT_EQ(DownloadTimestamp(kNode, time_, date_), 0u);
    EXPECT_EQ(std::string(date_), std::string(22, 'D'));
    ExpectGuardsIntact();
}

TEST_F(Timestamp, Failures) {
    EXPECT_EQ(DownloadTimestamp(kNode, time_, date_), 3u);
    Open(TRACE_ERROR);
    EXPECT_EQ(DownloadTimestamp(kNode, nullptr, date_), 5u);
    EXPECT_EQ(DownloadTimestamp(kNode, time_, nullptr), 5u);
    window_.SetTimestamp(Record(std::string("1\0002\0", 4)));
    window_.FailRead(4);
    debug_.Clear();
    EXPECT_EQ(DownloadTimestamp(kNode, time_, date_), 9u);
    EXPECT_EQ(debug_.Text(),
              "ERROR INFO: AsyncRead Error = 0x1f\r\n"
              "LORIC ERROR: 1394 Quadlet read of address offset 0xF0090014 failed\n"
              "LORIC ERROR: 1394 Quadlet read of address offset 0xF0090014 failed\n");
    window_.FailWrites();
    EXPECT_EQ(DownloadTimestamp(kNode, time_, date_), 10u);
}

}  // namespace
