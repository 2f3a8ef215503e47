// The device's modes and the registers each answers, the driver requests it refuses and the
// serial adapter's replies, exercised without the library.
#include <cstdio>
#include <functional>

#include "program/program_test_util.h"

namespace {

using loric::test::Bytes, loric::test::FromHex, loric::test::kImages, loric::test::ReadAll;
using tqsim::DeviceMode;
namespace io = tqsim::ioctl;

std::string ToHex(const Bytes& v) {
    std::string text;
    char three[4];
    for (uint8_t b : v) text += (std::snprintf(three, sizeof three, " %02X", b), three);
    return text.empty() ? text : text.substr(1);
}

// Makes each line of tests/data/sim/<name> again: its fields (split at '|') but the last, then
// what `result` gives for them; the file is compared whole.
void Remake(const std::string& name,
            const std::function<std::string(const std::vector<std::string>&)>& result) {
    std::istringstream in(loric::test::ReadFileBytes(loric::test::GoldenPath("sim/" + name)));
    std::string got;
    for (std::string line; std::getline(in, line);) {
        std::istringstream parts(line);
        std::vector<std::string> fields;
        for (std::string field; std::getline(parts, field, '|');) fields.push_back(field);
        got += line.substr(0, line.rfind('|') + 1) + result(fields) + "\n";
    }
    loric::test::ExpectGolden("sim/" + name, got);
}

namespace reg = tqsim::reg;
constexpr uint32_t kPort = reg::kFlashPortCtrl, kErase = reg::kFlashEraseCtrl,
                   kChecksum = reg::kFlashUploadChecksum, kUpload = reg::kFlashUploadCtrl,
                   kMode = reg::kCsrModeCtrl, kRead = reg::kFlashReadCtrl,
                   kSet = reg::kCsrUploadCommandSetCtrl, kRom = reg::kConfigRomBase;
constexpr uint32_t kEdit = reg::kModeEdit, kReady = reg::kUploaderReady;

class DeviceTest : public ::testing::Test {
protected:
    uint32_t W(uint32_t off, uint32_t v) {
        auto lock = sim_.Lock();
        return sim_.bus().Write(reg::NodeIdOf(0), reg::kOffsetHigh, off, v);
    }
    uint32_t R(uint32_t off, uint32_t* v) {
        auto lock = sim_.Lock();
        return sim_.bus().Read(reg::NodeIdOf(0), reg::kOffsetHigh, off, v);
    }
    uint32_t V(uint32_t off) {
        uint32_t v = 0;
        EXPECT_EQ(R(off, &v), 0u) << std::hex << off;
        return v;
    }
    void InstallFirmware() {
        ASSERT_TRUE(sim_.InstallFirmware(ReadAll(kImages + "firmware.bin"),
                                         ReadAll(kImages + "config.bin")));
        sim_.Reboot();
        ASSERT_EQ(sim_.Mode(), DeviceMode::Firmware);
    }
    void EnterUploadMode() {
        ASSERT_EQ(W(kMode, kEdit), 0u);
        for (uint32_t w : tqsim::reg::kCommandSets[1]) ASSERT_EQ(W(kSet, w), 0u);
    }
    tqsim::System sim_;
};

TEST_F(DeviceTest, ModesAnswerTheirOwnRegistersOnly) {
    // Which accesses each mode answers ('.') or refuses ('E', 1117); none changes the mode.
    // Writes: the port, read window, command set, upload, erase, mode; reads the rest.
    const std::pair<bool, uint32_t> accesses[] = {
        {true, kPort},   {false, kUpload}, {false, kChecksum}, {false, kErase},
        {false, kRead},  {true, kRead},    {false, kRom},      {true, kSet},
        {true, kUpload}, {true, kErase},   {true, kMode},
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
    sim_.SetFlash(ReadAll(kImages + "loader.bin"));
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

// driver_refusals.txt: "what|code|output length|input|reply" a line, bytes in hex.
TEST_F(DeviceTest, DriverRequestsThatFailAndWhy) {
    Remake("driver_refusals.txt", [&](const std::vector<std::string>& c) {
        auto r = sim_.DriverRequest(std::stoul(c.at(1), nullptr, 16), FromHex(c.at(3)),
                                    std::stoul(c.at(2)));
        return (r.ok ? "ok" : "error " + std::to_string(r.error)) + ", " +
               std::to_string(r.bytesReturned) + " back" +
               (r.out.empty() ? "" : ": " + ToHex(r.out));
    });
    EXPECT_EQ(sim_.DriverTargetNode(), 0xFFC0) << "a refused request leaves the target alone";
    auto r = sim_.DriverRequest(io::kUploadUploader,
                                FromHex("00 00 00 00 04 00 00 00 00 00 00 00 00 00 00 00"), 0,
                                {1, 2, 3, 4});
    EXPECT_EQ(std::tie(r.ok, r.error), std::make_tuple(false, 1117u))
        << "the blank device has no uploader";
    EXPECT_EQ(sim_.Flash()[0], 0xFF);
}

// adapter_frames.txt: "what|frame|reply" a line, bytes in hex.
TEST_F(DeviceTest, AdapterRepliesByteForByte) {
    InstallFirmware();
    Remake("adapter_frames.txt", [&](const std::vector<std::string>& c) {
        return ToHex(sim_.AdapterFrame(FromHex(c.at(1))));
    });
}

}  // namespace
