// Flash data files and the command set handed to the driver. Every file of the table is loaded
// into records filled with 0xA5 (to show the bits the loader leaves alone); the status, trace
// and each record read go to a transcript compared with tests/data/flash/load_flash_data.txt.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/driver_link.h"
#include "support/api_fixture.h"
#include "support/golden.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

const std::string kMagic = "FLASH_DATA_FILE_V3\n";
const std::string kNames = kMagic + "NameA\nNameB\n\n";
const std::string kWorked = kNames + "1,CHIP4M8\n1\n20\nB8\nX8\nK64\n\n";

// One record: header, command set, delay, flags, sector lines, closing empty line.
std::string Record(const std::string& header, const std::string& flags, const std::string& sectors) {
    return header + "\n1\n20\n" + flags + "\n" + sectors + "\n\n";
}
std::string Replaced(std::string text, const std::string& lineEnd) {
    std::string out;
    for (char c : text) out += c == '\n' ? lineEnd : std::string(1, c);
    return out;
}
std::string Records(int count, const std::string& tail = "") {
    std::string text = kNames;
    for (int i = 0; i < count; ++i) text += Record("0,D" + std::to_string(i), i % 2 ? "16" : "8", "X8\nK64");
    return text + tail;
}

class FlashData : public ApiTest {
protected:
    void SetUp() override { ASSERT_EQ(OpenLORIC(TRACE_ERROR | TRACE_WARNING | TRACE_API), 0u); }
    RequestRecorder recorder_;
    std::vector<FLASH_DEVICE> devices_ = std::vector<FLASH_DEVICE>(LORIC_MAX_FLASH_DEVICES);

    void Load(Transcript& t, const std::string& name, const std::string& text) {
        std::FILE* file = std::fopen("flash.dat", "wb");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
        std::memset(devices_.data(), 0xA5, devices_.size() * sizeof(FLASH_DEVICE));
        debug_.Clear();
        uint32_t count = 0xDEAD;
        const uint32_t status = LoadFlashData("flash.dat", devices_.data(), &count);
        t.Add("== %s\nstatus %u, %u records\n", name.c_str(), status, count);
        t.Text(debug_.Text());
        for (uint32_t i = 0; i < count && i < LORIC_MAX_FLASH_DEVICES; ++i) Dump(t, devices_[i]);
    }
    static void Dump(Transcript& t, const FLASH_DEVICE& d) {
        t.Add("%08X %d \"%.32s\" \"%.32s\" \"%.32s\" set %d delay %d width %u flags %02X bits %u config %d at %X "
              "space %u sectors",
              d.attributes, d.groupIndex, d.groupName, d.deviceName, d.sizeText, d.commandSetIndex,
              d.byteProgramDelay, d.busWidth, d.chipFlags, d.totalBits,
              d.configSector ? static_cast<int>(d.configSector - d.sectors) : -1, d.configByteAddress,
              d.firmwareSpace);
        uint32_t address = 0;
        for (uint32_t i = 0, run = 1; i < d.sectorCount && i < LORIC_MAX_SECTORS; ++i, ++run) {
            EXPECT_EQ(d.sectors[i].start, address) << d.deviceName << " sector " << i;
            EXPECT_EQ(d.sectors[i].end, address + d.sectors[i].size - 1) << d.deviceName << " sector " << i;
            address += d.sectors[i].size;
            if (i + 1 == d.sectorCount || d.sectors[i + 1].size != d.sectors[i].size) {
                t.Add(" %ux%X", run, d.sectors[i].size);
                run = 0;
            }
        }
        t.Add("\n");
    }
};

TEST_F(FlashData, FilesAndTheRecordsTheyGive) {
    const std::pair<std::string, std::string> cases[] = {
        {"worked example", kWorked},
        {"CR LF line ends", Replaced(kWorked, "\r\n")},
        {"CR line ends", Replaced(kWorked, "\r")},
        {"magic in lower case", "flash_data_file_v3\nNameA\n\n" + Record("1,CHIP", "8", "X8\nK64")},
        {"magic with a space after", "FLASH_DATA_FILE_V3 \nNameA\n\n" + Record("1,CHIP", "8", "X8\nK64")},
        {"magic with a space before", " FLASH_DATA_FILE_V3\nNameA\n\n" + Record("1,CHIP", "8", "X8\nK64")},
        {"magic of version 2", "FLASH_DATA_FILE_V2\nNameA\n\n" + Record("1,CHIP", "8", "X8\nK64")},
        {"magic cut short", "FLASH_DATA_FILE_V\nNameA\n\n" + Record("1,CHIP", "8", "X8\nK64")},
        {"empty file", ""},
        {"names only", kNames},
        {"end of file in the names", kMagic + "NameA"},
        {"magic only", kMagic},
        {"empty lines only", kNames + "\n\n\n"},
        {"32 names end the list", [] {
             std::string names = kMagic;
             for (int i = 0; i < 32; ++i) names += "G" + std::to_string(i) + "\n";
             return names + Record("31,LAST", "8", "X8\nK64");
         }()},
        {"geometries", kNames + Record("0,X8K16", "8", "X8\nK16") + Record("0,X4K64W16", "16", "X4\nK64") +
                           Record("0,BOOT16", "B16", "K8\nX2\nK4\nK16\nX7\nK32") +
                           Record("0,W32", "3", "x2\nk32\n65536") +
                           Record("0,KEEP", "8", "K32\nsize?\nX3\nK64") + Record("0,MAX", "8", "X512\n2048")},
        {"flags lines", kNames + Record("0,F", "8", "X8\nK64") + Record("0,F", "B8", "X8\nK64") +
                            Record("0,F", "T16", "X8\nK64") + Record("0,F", "B16", "X8\nK64") +
                            Record("0,F", "18", "X8\nK64") + Record("0,F", "BT32", "X8\nK64") +
                            Record("0,F", "83", "X8\nK64") + Record("0,F", "x16 bottom", "X8\nK64")},
        {"device id is the position", Records(90)},
        {"config sector at the bottom: K64 K128", Records(1) + Record("1,BAD", "8", "K64\nK128")},
        {"config sector at the bottom: K256 K64", Records(1) + Record("1,BAD", "8", "K256\nK64")},
        {"config sector at the bottom: K128", Records(1) + Record("1,BAD", "8", "K128")},
        {"512 sectors", kNames + Record("0,S", "8", "X511\n2048\n2048")},
        {"513 sectors", kNames + Record("0,S", "8", "X513\n2048")},
        {"512 and one more", kNames + Record("0,S", "8", "X512\n2048\n2048")},
        {"511 and two more", kNames + Record("0,S", "8", "X511\n2048\nX2\n2048")},
        {"zero count first", kNames + Record("0,S", "8", "X0\nK64\nK64")},
        {"zero count later", kNames + Record("0,S", "8", "X8\nK64\nX0\nK16")},
        {"no bus width", Records(1) + Record("0,NOWIDTH", "B", "X8\nK64")},
        {"negative repeat", Records(1) + Record("0,NEGREP", "8", "X-2\nK64")},
        {"no repeat", Records(1) + Record("0,NOREP", "8", "X\nK64")},
        {"negative size", Records(1) + Record("0,NEGSIZE", "8", "K64\nK-64")},
        {"negative words", Records(1) + Record("0,NEGWORDS", "8", "-5")},
        {"unreadable set", Records(1) + "0,NOSET\nset\n20\n8\nK64\n"},
        {"unreadable delay", Records(1) + "0,NODELAY\n1\n\n8\nK64\n"},
        {"unreadable header", Records(1) + "CHIP\n1\n20\n8\nK64\n"},
        {"header without a name", Records(1) + "5\n1\n20\n8\nK64\n"},
        {"zero sector size", kNames + Record("0,ZERO", "8", "X8\nK64\n0\nK64")},
        {"small bottom sector", kNames + Record("0,SMALL", "8", "1024\nX127\n1024")},
        {"2048 byte bottom sector", kNames + Record("0,SMALL", "8", "2048\nX63\n2048")},
        {"1024 words of 16 bits", kNames + Record("0,SMALL", "16", "1024\nX63\n1024")},
        {"half a megabit", kNames + Record("0,SMALL", "8", "X4\nK16")},
        {"both warnings", kNames + Record("0,SMALL", "8", "1024\nX4\nK16")},
        {"128 records", Records(128, "\n\n")},
        {"a 129th record is not read", Records(128, "\n0,D128\nbroken\n")},
        {"last record without empty line", kNames + "\n\n0,A\n1\n20\n8\nX8\nK64\n\n\n\n1,B\n1\n20\n16\nX4\nK64"},
        {"last record with empty lines", kNames + "0,A\n1\n20\n8\nX8\nK64\n\n\n\n1,B\n1\n20\n16\nX4\nK64\n\n\n"},
        {"long lines and names", kMagic + std::string(40, 'N') + "\n\n0," + std::string(70, 'D') + "\n3" +
                                     std::string(62, ' ') + "7\n20\n8\nX8\nK64\n"},
        {"group index outside the names", kNames + Record("2,C", "8", "X8\nK64") + Record("31,C", "8", "X8\nK64") +
                                              Record("32,C", "8", "X8\nK64") + Record("-1,C", "8", "X8\nK64") +
                                              Record("1000,C", "8", "X8\nK64")},
        {"shipped file", ReadFileBytes(std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat")},
    };
    Transcript t;
    for (const auto& [name, text] : cases) Load(t, name, text);
    g_api.traceFlags = TRACE_API;
    Load(t, "half a megabit without TRACE_WARNING", kNames + Record("0,SMALL", "8", "X4\nK16"));
    t.Replace("sizeof(FLASH_DEVICE) = " + std::to_string(sizeof(FLASH_DEVICE)), "sizeof(FLASH_DEVICE) = <size>");
    t.Check("flash/load_flash_data.txt");

    // Loading again over the records of the first load gives the same values.
    uint32_t count = 0;
    ASSERT_EQ(LoadFlashData("flash.dat", devices_.data(), &count), 0u);
    const FLASH_DEVICE first = devices_[0];
    ASSERT_EQ(LoadFlashData("flash.dat", devices_.data(), &count), 0u);
    EXPECT_EQ(std::memcmp(&first, &devices_[0], sizeof first), 0);
}

TEST_F(FlashData, ArgumentsMissingFileAndTheClosedApi) {
    uint32_t count = 7;
    EXPECT_EQ(LoadFlashData(nullptr, devices_.data(), &count), 5u);
    EXPECT_EQ(LoadFlashData("flash.dat", nullptr, &count), 5u);
    EXPECT_EQ(LoadFlashData("flash.dat", devices_.data(), nullptr), 5u);
    EXPECT_EQ(count, 7u);
    debug_.Clear();
    EXPECT_EQ(LoadFlashData("missing.dat", devices_.data(), &count), 6u);
    EXPECT_EQ(count, 0u);
    EXPECT_NE(debug_.Text().find("LORIC ERROR: Unable to create or open missing.dat\n"), std::string::npos);
    // A stream that never ends is refused once 16 MiB have been read.
    debug_.Clear();
    EXPECT_EQ(LoadFlashData("/dev/zero", devices_.data(), &count), 13u);
    EXPECT_NE(debug_.Text().find("ERROR INFO: Flash data file longer than 16777216 bytes\n"), std::string::npos);
    CloseLORIC();
    count = 7;
    EXPECT_EQ(LoadFlashData("flash.dat", devices_.data(), &count), 3u);
    EXPECT_EQ(count, 7u);
}

TEST_F(FlashData, SetFlashDeviceSendsTheBuiltInSetWithTheWidthBit) {
    recorder_.FailNext(IOCTL_SET_FLASH_COMMAND_SET, 31);
    const std::pair<int32_t, uint8_t> cases[] = {{2, 8}, {1, 16}, {1, 8}, {0x1206, 8}, {0, 16}, {7, 8}};
    Transcript t;
    for (const auto& [set, width] : cases) {
        FLASH_DEVICE device{};
        device.commandSetIndex = set;
        device.busWidth = width;
        debug_.Clear();
        recorder_.ClearRequests();
        t.Add("== set %X, %u bits: status %u\n", set, width, SetFlashDevice(&device));
        for (const RecordedRequest& r : recorder_.Requests()) {
            t.Add("request %X:", r.code);
            for (size_t i = 0; i < r.input.size(); i += 4) t.Add(" %08X", LittleEndianAt(r.input, i));
            t.Add("\n");
        }
        t.Text(debug_.Text());
    }
    t.Check("flash/set_flash_device.txt");
    EXPECT_EQ(SetFlashDevice(nullptr), 5u);
    CloseLORIC();
    FLASH_DEVICE device{};
    EXPECT_EQ(SetFlashDevice(&device), 3u);
}

}  // namespace
}  // namespace loric::test
