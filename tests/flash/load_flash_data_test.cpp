#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flash/flash_data.h"
#include "flash_test_util.h"

namespace loric::test {
namespace {

const std::string kMagic = "FLASH_DATA_FILE_V3\n";
const std::string kNames = "NameA\nNameB\n\n";

// One record: header, command set, delay, flags, sector lines, closing empty line.
std::string Record(const std::string& header, const std::string& flags, const std::string& sectors,
                   int commandSet = 1, int delay = 20) {
    return header + "\n" + std::to_string(commandSet) + "\n" + std::to_string(delay) + "\n" + flags + "\n" +
           sectors + "\n\n";
}

const std::string kWorkedExample = kMagic + "NameA\nNameB\n\n1,CHIP4M8\n1\n20\nB8\nX8\nK64\n\n";

TEST_F(FlashDataTest, WorkedExampleFieldByField) {
    // Bits the loader leaves alone must survive; the others are set or cleared.
    devices_[0].attributes = 0xFFFFFFFF;
    devices_[0].chipFlags = 0xFC;
    ASSERT_EQ(Load(kWorkedExample), 0u);
    EXPECT_EQ(count_, 1u);

    const FLASH_DEVICE& d = devices_[0];
    EXPECT_EQ(d.attributes, 0xFF000033u);  // bits 0-1 = 3, width code 0, id 0, bits 24-31 and 4-5 kept
    EXPECT_EQ(d.groupIndex, 1);
    EXPECT_STREQ(d.groupName, "NameB");
    EXPECT_STREQ(d.deviceName, "CHIP4M8");
    EXPECT_STREQ(d.sizeText, "4Mbit (512K x 8)");
    EXPECT_EQ(d.commandSetIndex, 1);
    EXPECT_EQ(d.byteProgramDelay, 20);
    EXPECT_EQ(d.busWidth, 8);
    EXPECT_EQ(d.chipFlags, 0xFD);
    EXPECT_EQ(d.totalBits, 4194304u);
    ASSERT_EQ(d.sectorCount, 8u);
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(d.sectors[i].start, i * 0x10000u) << i;
        EXPECT_EQ(d.sectors[i].end, i * 0x10000u + 0xFFFF) << i;
        EXPECT_EQ(d.sectors[i].size, 0x10000u) << i;
    }
    EXPECT_EQ(d.configSector, &d.sectors[1]);
    EXPECT_EQ(d.configByteAddress, 0x10000u);
    EXPECT_EQ(d.firmwareSpace, 65536u);

    // No warning, and the trace is exactly the enter, size and exit pieces.
    const std::string size = "sizeof(FLASH_DEVICE) = " + std::to_string(sizeof(FLASH_DEVICE)) + " bytes\n";
    EXPECT_EQ(debug_.Pieces(), (std::vector<std::string>{"API_TRACE: ", "Enter LoadFlashData - ", "API_TRACE: ", size,
                                                         "API_TRACE: ", "Exit LoadFlashData (ret 0)\n\n"}));
}

TEST_F(FlashDataTest, CrLfAndLoneCrFilesReadLikeLfFiles) {
    std::string crlf, cr;
    for (char c : kWorkedExample) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        cr += c == '\n' ? '\r' : c;
    }
    for (const std::string& text : {crlf, cr}) {
        ASSERT_EQ(Load(text), 0u);
        EXPECT_EQ(count_, 1u);
        EXPECT_EQ(devices_[0].sectorCount, 8u);
        EXPECT_STREQ(devices_[0].groupName, "NameB");
    }
}

TEST_F(FlashDataTest, MagicLineMustMatchExactly) {
    for (const char* first : {"flash_data_file_v3", "FLASH_DATA_FILE_V3 ", " FLASH_DATA_FILE_V3",
                                    "FLASH_DATA_FILE_V2", "FLASH_DATA_FILE_V", ""}) {
        debug_.Clear();
        EXPECT_EQ(Load(std::string(first) + "\nNameA\n\n1,CHIP\n1\n20\n8\nX8\nK64\n"), 13u) << first;
        EXPECT_EQ(count_, 0u);
        EXPECT_TRUE(g_api.messageArgument.isText);
        EXPECT_STREQ(g_api.messageArgument.text, "flash.dat");
        EXPECT_EQ(Body(), "LORIC ERROR: Unable to load flash data file\n");
        EXPECT_NE(debug_.Text().find("API_TRACE: Exit LoadFlashData (ret 13)\n\n"), std::string::npos);
    }
    EXPECT_EQ(Load(""), 13u);  // an empty file has no magic line either
}

TEST_F(FlashDataTest, FilesWithoutRecords) {
    EXPECT_EQ(Load(kMagic + kNames), 0u);
    EXPECT_EQ(count_, 0u);
    EXPECT_EQ(Load(kMagic + "NameA"), 0u);  // end of file inside the name list
    EXPECT_EQ(count_, 0u);
    EXPECT_EQ(Load(kMagic), 0u);
    EXPECT_EQ(count_, 0u);
    EXPECT_EQ(Load(kMagic + kNames + "\n\n\n"), 0u);
    EXPECT_EQ(count_, 0u);
}

TEST_F(FlashDataTest, ThirtyTwoNamesEndTheListWithoutAnEmptyLine) {
    std::string names;
    for (int i = 0; i < 32; ++i) names += "G" + std::to_string(i) + "\n";
    ASSERT_EQ(Load(kMagic + names + Record("31,LAST", "8", "X8\nK64")), 0u);
    ASSERT_EQ(count_, 1u);
    EXPECT_STREQ(devices_[0].groupName, "G31");
}

struct Geometry {
    const char* name;
    const char* flags;
    const char* sectors;
    uint32_t sectorCount;
    uint32_t configIndex;
    uint32_t configByteAddress;
    uint32_t firmwareSpace;
    uint32_t totalBits;
    const char* sizeText;
};

TEST_F(FlashDataTest, DerivedValues) {
    const Geometry cases[] = {
        // Eight 16K-word sectors of 8 bits: the eighth ends exactly at 0x20000.
        {"X8K16", "8", "X8\nK16", 8, 7, 0x1C000, 7 * 16384, 1048576, "1Mbit (128K x 8)"},
        // 64K-word sectors on a 16-bit bus.
        {"X4K64W16", "16", "X4\nK64", 4, 1, 0x20000, 131072, 4194304, "4Mbit (256K x 16)"},
        // Bottom boot block, 16-bit: 8K, 4K, 4K, 16K, then 32K words.
        {"BOOT16", "B16", "K8\nX2\nK4\nK16\nX7\nK32", 11, 6, 0x30000, 196608, 4194304, "4Mbit (256K x 16)"},
        // A 32-bit bus, sizes in plain words, lower-case letters.
        {"W32", "3", "x2\nk32\n65536", 3, 2, 0x40000, 262144, 32 * 131072, "4Mbit (128K x 32)"},
        // A size line that does not parse keeps the previous size.
        {"KEEP", "8", "K32\nsize?\nX3\nK64", 5, 2, 0x10000, 65536, 8 * 262144, "2Mbit (256K x 8)"},
        // Exactly 512 sectors.
        {"MAX", "8", "X512\n2048", 512, 63, 63 * 2048, 63 * 2048, 8 * 1048576, "8Mbit (1024K x 8)"},
    };
    for (const Geometry& g : cases) {
        devices_[0] = FLASH_DEVICE{};
        ASSERT_EQ(Load(kMagic + kNames + Record(std::string("0,") + g.name, g.flags, g.sectors)), 0u) << g.name;
        const FLASH_DEVICE& d = devices_[0];
        EXPECT_EQ(d.sectorCount, g.sectorCount) << g.name;
        EXPECT_EQ(d.configSector, &d.sectors[g.configIndex]) << g.name;
        EXPECT_EQ(d.configByteAddress, g.configByteAddress) << g.name;
        EXPECT_EQ(d.firmwareSpace, g.firmwareSpace) << g.name;
        EXPECT_EQ(d.totalBits, g.totalBits) << g.name;
        EXPECT_STREQ(d.sizeText, g.sizeText) << g.name;
        uint32_t address = 0;
        for (uint32_t i = 0; i < d.sectorCount; ++i) {
            ASSERT_EQ(d.sectors[i].start, address) << g.name << " sector " << i;
            ASSERT_EQ(d.sectors[i].end, address + d.sectors[i].size - 1) << g.name << " sector " << i;
            address += d.sectors[i].size;
        }
        EXPECT_EQ(Body(), "") << g.name;  // none of them warns
    }
}

TEST_F(FlashDataTest, FlagsLine) {
    struct Case {
        const char* flags;
        uint8_t busWidth;
        uint32_t widthCode;
        uint8_t chipFlags;
    } cases[] = {{"8", 8, 0, 0}, {"B8", 8, 0, 1}, {"T16", 16, 1, 2}, {"B16", 16, 1, 1},
                 {"18", 16, 1, 0}, {"BT32", 32, 2, 3}, {"83", 32, 2, 0}, {"x16 bottom", 16, 1, 0}};
    for (const Case& c : cases) {
        devices_[0].attributes = 0xC0;  // a stale width code must not survive
        devices_[0].chipFlags = 3;
        ASSERT_EQ(Load(kMagic + kNames + Record("0,F", c.flags, "X8\nK64")), 0u) << c.flags;
        EXPECT_EQ(devices_[0].busWidth, c.busWidth) << c.flags;
        EXPECT_EQ(WidthCode(devices_[0]), c.widthCode) << c.flags;
        EXPECT_EQ(devices_[0].chipFlags, c.chipFlags) << c.flags;
    }
}

TEST_F(FlashDataTest, DeviceIdIsThePositionInTheFile) {
    std::string text = kMagic + kNames;
    for (int i = 0; i < 90; ++i) text += Record("0,D" + std::to_string(i), i % 2 ? "16" : "8", "X8\nK64");
    for (auto& d : devices_) d.attributes = 0xFFFFFFFF;
    ASSERT_EQ(Load(text), 0u);
    ASSERT_EQ(count_, 90u);
    EXPECT_EQ(devices_[1].attributes, 0xFF000173u);  // id 1, width code 1
    EXPECT_EQ(DeviceId(devices_[87]), 0x57u);
    EXPECT_TRUE(IsInternalFlash(devices_[87]));
    EXPECT_FALSE(IsInternalFlash(devices_[86]));
}

TEST_F(FlashDataTest, ConfigSectorAtTheBottomFails) {
    // The first record is fine and stays; the second's only sector within 0x20000 words is
    // its bottom one.
    for (const char* sectors : {"K64\nK128", "K256\nK64", "K128"}) {
        debug_.Clear();
        EXPECT_EQ(Load(kMagic + kNames + Record("0,GOOD", "8", "X8\nK64") + Record("1,BAD", "8", sectors)), 13u);
        EXPECT_EQ(count_, 1u) << sectors;
        EXPECT_STREQ(g_api.messageArgument.text, "flash.dat");
        EXPECT_EQ(Body(),
                  "ERROR INFO: Flash BAD \n"
                  "ERROR INFO: - Config sector == bottom sector\n"
                  "LORIC ERROR: Unable to load flash data file\n")
            << sectors;
    }
}

TEST_F(FlashDataTest, SectorTableBounds) {
    const std::string tooMany = "ERROR INFO: Too many sectors (max 512)\nLORIC ERROR: Unable to load flash data file\n";
    struct Case {
        const char* sectors;
        uint32_t status;
    } cases[] = {
        {"X512\n2048", 0},
        {"X511\n2048\n2048", 0},
        {"X513\n2048", 13},
        {"X512\n2048\n2048", 13},
        {"X511\n2048\nX2\n2048", 13},
        {"X0\nK64\nK64", 13},  // a zero count as the first group wraps below zero
    };
    for (const Case& c : cases) {
        debug_.Clear();
        EXPECT_EQ(Load(kMagic + kNames + Record("0,S", "8", c.sectors)), c.status) << c.sectors;
        EXPECT_EQ(Body(), c.status ? tooMany : "") << c.sectors;
        EXPECT_EQ(count_, c.status ? 0u : 1u);
    }
    // A later zero count adds nothing.
    ASSERT_EQ(Load(kMagic + kNames + Record("0,S", "8", "X8\nK64\nX0\nK16")), 0u);
    EXPECT_EQ(devices_[0].sectorCount, 8u);
}

TEST_F(FlashDataTest, MalformedRecordsAreRefused) {
    struct Case {
        std::string record;
        const char* reason;
    } cases[] = {
        {Record("0,NOWIDTH", "B", "X8\nK64"), "- No bus width in flags line\n"},
        {Record("0,NEGREP", "8", "X-2\nK64"), "- Bad sector repeat count\n"},
        {Record("0,NOREP", "8", "X\nK64"), "- Bad sector repeat count\n"},
        {Record("0,NEGSIZE", "8", "K64\nK-64"), "- Negative sector size\n"},
        {Record("0,NEGWORDS", "8", "-5"), "- Negative sector size\n"},
        {"0,NOSET\nset\n20\n8\nK64\n", "- Unreadable command set index\n"},
        {"0,NODELAY\n1\n\n8\nK64\n", "- Unreadable byte program delay\n"},
        {"CHIP\n1\n20\n8\nK64\n", "- Unreadable record header\n"},
    };
    for (const Case& c : cases) {
        debug_.Clear();
        EXPECT_EQ(Load(kMagic + kNames + Record("0,OK", "8", "X8\nK64") + c.record), 13u) << c.record;
        EXPECT_EQ(count_, 1u);
        std::string name = c.record.substr(2, c.record.find('\n') - 2);
        if (c.record[0] == 'C') name = "";
        EXPECT_EQ(Body(), "ERROR INFO: Flash " + name + " \nERROR INFO: " + c.reason +
                              "LORIC ERROR: Unable to load flash data file\n")
            << c.record;
    }
}

TEST_F(FlashDataTest, Warnings) {
    struct Case {
        const char* sectors;
        const char* flags;
        std::string warnings;
        const char* sizeText;
    } cases[] = {
        // 1024 words of 8 bits: 1 KB bottom sector. 1024 + 127 x 1024 words = 1 Mbit.
        {"1024\nX127\n1024", "8", "WARNING: SMALL Bottom flash sector too small for boot loader!\n", "1Mbit (128K x 8)"},
        {"2048\nX63\n2048", "8", "", "1Mbit (128K x 8)"},
        // 1024 words of 16 bits hold 2048 bytes: enough.
        {"1024\nX63\n1024", "16", "", "1Mbit (64K x 16)"},
        // 64K words of 8 bits.
        {"X4\nK16", "8", "WARNING: SMALL Has non integer number of MBits\n", "512Kbit (64K x 8)"},
        {"1024\nX4\nK16", "8",
         "WARNING: SMALL Bottom flash sector too small for boot loader!\n"
         "WARNING: SMALL Has non integer number of MBits\n",
         "520Kbit (65K x 8)"},
    };
    for (const Case& c : cases) {
        debug_.Clear();
        ASSERT_EQ(Load(kMagic + kNames + Record("0,SMALL", c.flags, c.sectors)), 0u) << c.sectors;
        EXPECT_EQ(count_, 1u);
        EXPECT_EQ(Body(), c.warnings) << c.sectors;
        EXPECT_STREQ(devices_[0].sizeText, c.sizeText) << c.sectors;
    }
    // Without TRACE_WARNING nothing is written.
    Open(TRACE_API);
    ASSERT_EQ(Load(kMagic + kNames + Record("0,SMALL", "8", "X4\nK16")), 0u);
    EXPECT_EQ(Body(), "");
}

TEST_F(FlashDataTest, OnlyTheFirst128RecordsAreRead) {
    std::string text = kMagic + kNames;
    for (int i = 0; i < 128; ++i) text += Record("0,D" + std::to_string(i), "8", "X8\nK64");
    // Exactly 128 records followed by empty lines: nothing was left out, no warning.
    ASSERT_EQ(Load(text + "\n\n"), 0u);
    EXPECT_EQ(count_, 128u);
    EXPECT_EQ(Body(), "");

    // A 129th record (even a broken one) is not read.
    debug_.Clear();
    ASSERT_EQ(Load(text + "\n0,D128\nbroken\n"), 0u);
    EXPECT_EQ(count_, 128u);
    EXPECT_STREQ(devices_[127].deviceName, "D127");
    EXPECT_EQ(Body(), "WARNING: Flash file contains too many devices,only first 128 flashes will be supported\n");
}

TEST_F(FlashDataTest, RecordsEndingAtEndOfFile) {
    // No empty line after the last sector line, no line end at all, empty lines between.
    for (const std::string& tail : {std::string("K64"), std::string("K64\n"), std::string("K64\n\n\n")}) {
        ASSERT_EQ(Load(kMagic + kNames + "\n\n0,A\n1\n20\n8\nX8\nK64\n\n\n\n1,B\n1\n20\n16\nX4\n" + tail), 0u);
        EXPECT_EQ(count_, 2u);
        EXPECT_EQ(devices_[1].sectorCount, 4u);
    }
}

TEST_F(FlashDataTest, LoadingTwiceGivesTheSameValues) {
    ASSERT_EQ(Load(kWorkedExample), 0u);
    const uint32_t space = devices_[0].firmwareSpace;
    ASSERT_EQ(Load(kWorkedExample), 0u);
    EXPECT_EQ(devices_[0].firmwareSpace, space);
    EXPECT_EQ(devices_[0].configSector, &devices_[0].sectors[1]);
}

TEST_F(FlashDataTest, LongLinesAndNames) {
    const std::string longName(40, 'N');     // name list entry, cut to 31
    const std::string deviceName(70, 'D');   // header line cut to 63 characters, name to 31
    // The tail of a long line is dropped, not read as the next line: "7" would otherwise
    // become the delay.
    const std::string longSetLine = "3" + std::string(62, ' ') + "7";
    ASSERT_EQ(Load(kMagic + longName + "\n\n" + "0," + deviceName + "\n" + longSetLine + "\n20\n8\nX8\nK64\n"), 0u);
    ASSERT_EQ(count_, 1u);
    EXPECT_EQ(std::string(devices_[0].groupName), std::string(31, 'N'));
    EXPECT_EQ(std::string(devices_[0].deviceName), std::string(31, 'D'));
    EXPECT_EQ(devices_[0].commandSetIndex, 3);
    EXPECT_EQ(devices_[0].byteProgramDelay, 20);
}

TEST_F(FlashDataTest, GroupIndexOutsideTheNamesGivesNoName) {
    for (int index : {2, 31, 32, -1, 1000}) {
        std::memset(devices_[0].groupName, 'x', sizeof devices_[0].groupName);
        ASSERT_EQ(Load(kMagic + kNames + Record(std::to_string(index) + ",CHIP", "8", "X8\nK64")), 0u);
        EXPECT_EQ(devices_[0].groupIndex, index);
        EXPECT_STREQ(devices_[0].groupName, "") << index;
    }
}

TEST_F(FlashDataTest, ArgumentAndFileFailures) {
    uint32_t count = 7;
    for (int which = 0; which < 3; ++which) {
        debug_.Clear();
        EXPECT_EQ(LoadFlashData(which == 0 ? nullptr : "flash.dat", which == 1 ? nullptr : devices_.data(),
                                which == 2 ? nullptr : &count),
                  5u);
        EXPECT_EQ(Body(), "LORIC ERROR: An API function parameter was invalid\n");
    }
    EXPECT_EQ(count, 7u);

    debug_.Clear();
    EXPECT_EQ(LoadFlashData("missing.dat", devices_.data(), &count), 6u);
    EXPECT_EQ(count, 0u);
    char text[128];
    ASSERT_EQ(GetErrorText(6, text), 0u);
    EXPECT_STREQ(text, "Unable to create or open missing.dat");
    EXPECT_EQ(Body(), "LORIC ERROR: Unable to create or open missing.dat\n");

    // A stream that never ends is refused once 16 MiB have been read.
    debug_.Clear();
    EXPECT_EQ(LoadFlashData("/dev/zero", devices_.data(), &count), 13u);
    EXPECT_EQ(Body(), "ERROR INFO: Flash data file longer than 16777216 bytes\n"
                      "LORIC ERROR: Unable to load flash data file\n");

    CloseLORIC();
    debug_.Clear();
    count = 7;
    EXPECT_EQ(LoadFlashData("flash.dat", devices_.data(), &count), 3u);
    EXPECT_EQ(count, 7u);
    EXPECT_EQ(g_api.messageArgument.number, 0u);
}

TEST_F(FlashDataTest, ShippedFileLoadsWithoutWarnings) {
    const std::string path = std::string(LORIC_SOURCE_DIR) + "/data/flash_devices.dat";
    ASSERT_EQ(LoadFlashData(path.c_str(), devices_.data(), &count_), 0u);
    EXPECT_EQ(Body(), "");
    ASSERT_EQ(count_, 25u);

    bool widths[33] = {};
    for (uint32_t i = 0; i < count_; ++i) {
        const FLASH_DEVICE& d = devices_[i];
        widths[d.busWidth] = true;
        EXPECT_LE(d.commandSetIndex, 6) << d.deviceName;
        EXPECT_EQ(d.totalBits % 0x100000, 0u) << d.deviceName;
        EXPECT_LE(d.totalBits / d.busWidth, 0x100000u) << d.deviceName;  // the flash port reaches 20 bits
    }
    EXPECT_TRUE(widths[8] && widths[16]);

    auto find = [&](const char* name) -> const FLASH_DEVICE& {
        for (uint32_t i = 0; i < count_; ++i)
            if (std::strcmp(devices_[i].deviceName, name) == 0) return devices_[i];
        ADD_FAILURE() << name;
        return devices_[0];
    };
    const FLASH_DEVICE& b16 = find("29LV400B-x16");
    EXPECT_EQ(b16.sectorCount, 11u);
    EXPECT_EQ(b16.configByteAddress, 0x30000u);
    EXPECT_STREQ(b16.sizeText, "4Mbit (256K x 16)");
    const FLASH_DEVICE& t8 = find("29LV800T-x8");
    EXPECT_EQ(t8.sectorCount, 19u);
    EXPECT_EQ(t8.sectors[18].size, 16384u);
    EXPECT_EQ(t8.configByteAddress, 0x10000u);
    EXPECT_EQ(find("39VF160").sectorCount, 512u);
    EXPECT_STREQ(find("39SF040").sizeText, "4Mbit (512K x 8)");
}

}  // namespace
}  // namespace loric::test
