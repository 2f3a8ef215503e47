// Download of the configuration and of the time stamp through the device's read window, against
// a driver stand-in that serves any flash bytes and fails chosen requests: the headers, records
// and failures a simulated device does not give. The good paths run on the simulator.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "support/api_fixture.h"
#include "support/golden.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

constexpr uint32_t kReadCtrl = 0xF0090014;
constexpr uint32_t kConfigByteAddress = 0x1E000;
using Bytes = std::vector<uint8_t>;

// A write sets the byte address (0xFFFFFFF0: the time stamp record), each read returns the
// next quadlet, least significant byte first. The n-th read, or every write, can fail.
class ReadWindow {
public:
    explicit ReadWindow(RequestRecorder& driver) {
        driver.SetHandler([this](const RecordedRequest& request) { return Answer(request); });
    }
    void Set(const Bytes& flash, const Bytes& stamp) {
        std::lock_guard<std::mutex> lock(mutex_);
        flash_.assign(kConfigByteAddress, 0xFF);
        flash_.insert(flash_.end(), flash.begin(), flash.end());
        stamp_ = stamp;
        reads_ = 0;
    }
    std::atomic<int> failRead{0};
    std::atomic<bool> failWrites{false};

private:
    std::optional<ScriptedReply> Answer(const RecordedRequest& request) {
        const std::optional<AsyncTransaction> t = RequestRecorder::Decode(request);
        if (!t || t->offsetLow != kReadCtrl) return std::nullopt;
        std::lock_guard<std::mutex> lock(mutex_);
        if (t->write) {
            if (failWrites) return ScriptedReply::Failure(1117);
            stamp = t->value == 0xFFFFFFF0;
            pointer_ = stamp ? 0 : t->value;
            return std::nullopt;
        }
        if (++reads_ == failRead) return ScriptedReply::Failure(31);
        const Bytes& source = stamp ? stamp_ : flash_;
        uint32_t value = 0xFFFFFFFF;
        if (pointer_ + 4 <= source.size())
            value = source[pointer_] | source[pointer_ + 1] << 8 | source[pointer_ + 2] << 16 |
                    uint32_t{source[pointer_ + 3]} << 24;
        pointer_ += 4;
        return ScriptedReply::QuadletRead(request, value);
    }
    std::mutex mutex_;
    Bytes flash_, stamp_;
    uint32_t pointer_ = 0;
    bool stamp = false;
    int reads_ = 0;
};

Bytes Header(uint32_t magic, uint32_t romLength, size_t romBytes) {
    Bytes bytes(104 + romBytes, 0xFF);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(magic >> (8 * i));
        bytes[100 + i] = static_cast<uint8_t>(romLength >> (8 * i));
    }
    for (size_t i = 104; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}
Bytes Stamp(const std::string& text) {
    Bytes record(text.begin(), text.end());
    record.resize(24, 0);
    return record;
}

class Download : public ApiTest {
protected:
    RequestRecorder driver_;
    ReadWindow window_{driver_};
    FLASH_DEVICE device_{};
    void SetUp() override {
        device_.busWidth = 16;
        device_.sectorCount = 1;
        device_.sectors[0] = {0xF000, 0xFFFF, 0x1000};
        device_.configSector = &device_.sectors[0];
        device_.configByteAddress = kConfigByteAddress;
        ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_API), 0u);
    }
    void Begin(Transcript& t, const char* name) {
        t.Add("== %s\n", name);
        debug_.Clear();
        driver_.ClearRequests();
    }
    void End(Transcript& t, uint32_t status) {
        t.Add("status %u, %zu transactions\n", status, driver_.Transactions().size());
        t.Text(debug_.Text());
    }
};

TEST_F(Download, HeadersAndFailuresOfTheConfiguration) {
    struct Case {
        const char* name;
        Bytes flash;
        int failRead;
        bool failWrites;
    } const cases[] = {
        {"ROM length not a multiple of four", Header(0xAFC924AD, 6, 10), 0, false},
        {"blank", Header(0xFFFFFFFF, 0xFFFFFFFF, 0), 0, false},
        {"zero length", Header(0xAFC924AD, 0, 0), 0, false},
        {"length beyond any ROM", Header(0xAFC924AD, 1028, 0), 0, false},
        {"read failure in the ROM", Header(0xAFC924AD, 64, 64), 26 + 3, false},
        {"window write failure", Header(0xAFC924AD, 64, 64), 0, true},
    };
    Transcript t;
    for (const Case& c : cases) {
        window_.Set(c.flash, {});
        window_.failRead = c.failRead;
        window_.failWrites = c.failWrites;
        Begin(t, c.name);
        std::remove("download.bin");
        End(t, DownloadConfigurationFile(0x1FFC1, &device_, "download.bin", nullptr));
        const std::string file = ReadFileBytes("download.bin");
        t.Words(Bytes(file.begin(), file.end()));
    }
    t.Check("configrom/download.txt");
    // Every transaction goes to the low 16 bits of the node argument, at the read window.
    for (const AsyncTransaction& x : driver_.Transactions()) {
        EXPECT_EQ(x.nodeId, 0xFFC1);
        EXPECT_EQ(x.offsetHigh, 0xFFFF);
        EXPECT_EQ(x.offsetLow, kReadCtrl);
    }
}

TEST_F(Download, ConfigurationArgumentsFilesAndTheClosedApi) {
    FLASH_DEVICE noSector = device_;
    noSector.configSector = nullptr;
    EXPECT_EQ(DownloadConfigurationFile(0xFFC1, nullptr, "x.bin", nullptr), 5u);
    EXPECT_EQ(DownloadConfigurationFile(0xFFC1, &device_, nullptr, nullptr), 5u);
    EXPECT_EQ(DownloadConfigurationFile(0xFFC1, &noSector, "x.bin", nullptr), 5u);
    EXPECT_EQ(DownloadConfigurationFile(0xFFC1, &device_, "none/x.bin", nullptr), 6u);
    EXPECT_TRUE(driver_.Transactions().empty());
    window_.Set(Header(0xAFC924AD, 64, 64), {});
    debug_.Clear();
    EXPECT_EQ(DownloadConfigurationFile(0xFFC1, &device_, "/dev/full", nullptr), 7u);
    EXPECT_NE(debug_.Text().find("LORIC ERROR: A read / write error occurred while accessing /dev/full\n"),
              std::string::npos);
    CloseLORIC();
    EXPECT_EQ(DownloadConfigurationFile(0xFFC1, &device_, "x.bin", nullptr), 3u);
}

TEST_F(Download, TimeStampRecords) {
    const std::pair<const char*, std::string> cases[] = {
        {"time and date", std::string("12:34:56\0Dec  6 2026", 20)},
        {"no time", std::string("\0Dec  6 2026", 12)},
        {"no date", std::string("12:34:56\0", 9)},
        {"24 characters without a zero", std::string(24, 'A')},
        {"23 characters", std::string(23, 'B')},
        {"date to the end of the record", std::string("1\0", 2) + std::string(22, 'D')},
        {"read failure", std::string("1\0002\0", 4)},
    };
    Transcript t;
    for (const auto& [name, record] : cases) {
        window_.Set({}, Stamp(record));
        window_.failRead = std::string(name) == "read failure" ? 4 : 0;
        char time[40], date[40];
        std::memset(time, '#', sizeof time);
        std::memset(date, '#', sizeof date);
        Begin(t, name);
        End(t, DownloadTimestamp(0x3FF02, time, date));
        t.Add("time \"%.39s\" date \"%.39s\"\n", time, date);  // the '#' after 24 bytes must remain
        EXPECT_EQ(std::string(time + 24, 16), std::string(16, '#'));
        EXPECT_EQ(std::string(date + 24, 16), std::string(16, '#'));
    }
    t.Check("configrom/timestamp.txt");
    char time[24], date[24];
    EXPECT_EQ(DownloadTimestamp(0xFFC1, nullptr, date), 5u);
    EXPECT_EQ(DownloadTimestamp(0xFFC1, time, nullptr), 5u);
    window_.failWrites = true;
    EXPECT_EQ(DownloadTimestamp(0xFFC1, time, date), 10u);
    CloseLORIC();
    EXPECT_EQ(DownloadTimestamp(0xFFC1, time, date), 3u);
}

}  // namespace
}  // namespace loric::test
