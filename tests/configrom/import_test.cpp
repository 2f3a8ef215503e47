// Import of configuration files: round trips, old layout, damaged and odd files.
#include <gtest/gtest.h>

#include "configrom/crom.h"
#include "configrom_test_util.h"

using namespace cromtest;

namespace {

constexpr uint32_t kTraceAll = TRACE_ERROR | TRACE_API | TRACE_API_VERBOSE;

// An image from ROM quadlets: q0 gets info_length 4, crc_length and the CRC over the rest.
std::vector<uint32_t> ImageFromRom(std::vector<uint32_t> rom, bool magic = true) {
    const uint32_t crcLength = static_cast<uint32_t>(rom.size() - 1);
    rom[0] = (4u << 24) | (crcLength << 16) | WordsCrc(rom, 1, crcLength);
    std::vector<uint32_t> image(26, 0);
    image[0] = magic ? 0xAFC924AD : 0x12345678;
    image[1] = 1;
    image[2] = 2;
    image[3] = 3;
    image[4] = 0x04000004;
    image[25] = static_cast<uint32_t>(rom.size() * 4);
    image.insert(image.end(), rom.begin(), rom.end());
    return image;
}

// A leaf of raw text quadlets (no trailing zero added).
void PutLeaf(std::vector<uint32_t>& rom, uint32_t at, const std::vector<uint32_t>& text, uint32_t length) {
    if (rom.size() < at + 3 + text.size()) rom.resize(at + 3 + text.size(), 0);
    rom[at] = length << 16;
    rom[at + 1] = 0;
    rom[at + 2] = 0;
    for (size_t i = 0; i < text.size(); ++i) rom[at + 3 + i] = text[i];
}

std::string Field(const char (&field)[60]) { return std::string(field, strnlen(field, 60)); }

struct Imported {
    uint32_t status;
    CONFIG_FILE_INFO info;
    std::string trace;
};

Imported Import(const ScratchDir& dir, const std::vector<uint8_t>& bytes, uint32_t flags = kTraceAll) {
    const fs::path file = dir / "image.bin";
    WriteBytes(file, bytes);
    Imported result;
    std::memset(&result.info, 0xCC, sizeof(result.info));
    TraceCapture trace(flags, dir / "import.log");
    result.status = ImportConfigurationFile(&result.info, file.string().c_str());
    result.trace = trace.Text();
    return result;
}

bool AllZero(const CONFIG_FILE_INFO& info) {
    const auto* p = reinterpret_cast<const uint8_t*>(&info);
    for (size_t i = 0; i < sizeof(info); ++i) {
        if (p[i] != 0) return false;
    }
    return true;
}

TEST(ImportConfigurationFile, RoundTripWithSecondUnit) {
    ScratchDir dir;
    CONFIG_FILE_INFO original = FullRecord(true);
    const std::string file = (dir / "rom.bin").string();
    ASSERT_EQ(GenerateConfigurationFile(&original, file.c_str()), 0u);
    Imported got = Import(dir, ReadBytes(file));
    ASSERT_EQ(got.status, 0u);

    CONFIG_FILE_INFO expected;
    std::memset(&expected, 0, sizeof(expected));
    expected.chip_id_hi = original.chip_id_hi;
    expected.chip_id_lo = original.chip_id_lo;
    expected.node_vendor_id = original.node_vendor_id & 0xFFFFFF;
    expected.module_vendor_id = original.module_vendor_id & 0xFFFFFF;
    expected.module_hw_version = original.module_hw_version & 0xFFFFFF;
    expected.unit_sw_version = original.unit_sw_version;
    expected.firmware_revision = 0;
    expected.command_set = original.command_set & 0xFFFFFF;
    expected.command_set_revision = original.command_set_revision;
    expected.reconnect_timeout = original.reconnect_timeout;
    expected.mgt_orb_timeout = original.mgt_orb_timeout;
    expected.orb_size = original.orb_size;
    expected.lun0_device_type = original.lun0_device_type & 0x1F;
    expected.lun1_device_type = original.lun1_device_type;
    expected.lun0_model_id = original.lun0_model_id;
    expected.lun1_model_id = original.lun1_model_id & 0xFFFFFF;
    expected.link_speed = original.link_speed & 7;
    SetText(expected.vendor_text, "LORIC Storage Works ");
    SetText(expected.hw_version_text, "HW 1.0  ");
    SetText(expected.lun0_model_text, "Bridge Disk Zero");
    SetText(expected.lun1_model_text, "Bridge Disk One (Mirror)");
    expected.config_word1 = original.config_word1;
    expected.config_word2 = original.config_word2;
    expected.config_word3 = original.config_word3;
    expected.config_flags = 0x01800017;
    EXPECT_EQ(std::memcmp(&expected, &got.info, sizeof(expected)), 0);
    EXPECT_EQ(Field(got.info.vendor_text), "LORIC Storage Works ");

    EXPECT_EQ(got.trace,
              "API_TRACE: Enter ImportConfigurationFile\n"
              "API_TRACEV: Enter ImportRomImageFile\n"
              "API_TRACEV: File length = 348\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: 4 unique strings\n"
              "API_TRACEV: Rom string 0 = LORIC Storage Works \n"
              "API_TRACEV: Rom string 1 = HW 1.0  \n"
              "API_TRACEV: Rom string 2 = Bridge Disk Zero\n"
              "API_TRACEV: Rom string 3 = Bridge Disk One (Mirror)\n"
              "API_TRACE: New ROM if x = 0x3C: x = 3c\n"
              "API_TRACE: > Import new ROM file\n"
              "API_TRACEV: Exit ImportRomImageFile\n"
              "API_TRACE: Exit ImportConfigurationFile (ret 0)\n\n");

    // Generating again from the imported record, with the firmware revision put back, gives
    // the same file.
    CONFIG_FILE_INFO again = got.info;
    again.firmware_revision = original.firmware_revision;
    const std::string second = (dir / "again.bin").string();
    ASSERT_EQ(GenerateConfigurationFile(&again, second.c_str()), 0u);
    EXPECT_EQ(ReadBytes(second), ReadBytes(file));
}

TEST(ImportConfigurationFile, WithoutSecondUnitThreeTexts) {
    ScratchDir dir;
    CONFIG_FILE_INFO original = FullRecord(false);
    const std::string file = (dir / "rom.bin").string();
    ASSERT_EQ(GenerateConfigurationFile(&original, file.c_str()), 0u);
    Imported got = Import(dir, ReadBytes(file));
    ASSERT_EQ(got.status, 0u);
    EXPECT_NE(got.trace.find("API_TRACEV: 3 unique strings\n"), std::string::npos);
    EXPECT_EQ(Field(got.info.lun0_model_text), "Bridge Disk Zero");
    EXPECT_EQ(Field(got.info.lun1_model_text), "");
    EXPECT_EQ(got.info.lun1_device_type, 0);
    EXPECT_EQ(got.info.lun1_model_id, 0u);
    EXPECT_EQ(got.info.config_flags, 0x01000017u);
}

TEST(ImportConfigurationFile, LongTextsFailAfterEarlierTexts) {
    for (size_t length : {57u, 60u}) {
        SCOPED_TRACE(length);
        ScratchDir dir;
        CONFIG_FILE_INFO original = FullRecord(true);
        SetText(original.hw_version_text, std::string(length, 'L'));
        const std::string file = (dir / "rom.bin").string();
        ASSERT_EQ(GenerateConfigurationFile(&original, file.c_str()), 0u);
        Imported got = Import(dir, ReadBytes(file), TRACE_ERROR);
        EXPECT_EQ(got.status, 19u);
        EXPECT_EQ(got.trace,
                  "LORIC ERROR: Unable to import configuration file\n"
                  "ERROR INFO: Unable to extract strings from ROM image!\n");
        EXPECT_EQ(Field(got.info.vendor_text), "LORIC Storage Works ");
        EXPECT_EQ(Field(got.info.hw_version_text), "");
        EXPECT_EQ(got.info.chip_id_lo, 0u);
    }
}

TEST(ImportConfigurationFile, FifteenTextQuadletsWithoutZeroAreCutTo59) {
    ScratchDir dir;
    std::vector<uint32_t> rom(28, 0);
    rom[15] = 0x3C000000;
    rom[8] = 0x81000000 | (28 - 8);
    rom[10] = 0x81000000 | (46 - 10);
    PutLeaf(rom, 28, TextQuadlets(std::string(60, 'A')), 17);  // 15 quadlets, no zero
    PutLeaf(rom, 46, TextQuadlets("next"), 4);
    rom.push_back(0);
    Imported got = Import(dir, LittleEndianBytes(ImageFromRom(rom)));
    ASSERT_EQ(got.status, 0u);
    EXPECT_EQ(std::string(got.info.vendor_text), std::string(59, 'A'));
    EXPECT_EQ(std::string(got.info.hw_version_text), "next");
}

TEST(ImportConfigurationFile, OldLayout) {
    ScratchDir dir;
    std::vector<uint32_t> rom(28, 0);
    rom[2] = 0x00FF5003;
    rom[3] = 0x0050C2EE;
    rom[4] = 0xCAFEF00D;
    rom[7] = 0x030050C2;
    rom[9] = 0x04000077;
    rom[14] = 0x13010483;
    rom[15] = 0x38ABCDEF;  // no firmware revision here
    rom[16] = 0x3A001E04;
    rom[17] = 0x14061234;
    rom[19] = 0x39FEDCBA;
    rom[20] = 0x3B000009;
    rom[21] = 0x3D000009;
    rom[24] = 0x81000000 | (28 - 24);
    PutLeaf(rom, 28, TextQuadlets("Old Model"), 5);
    rom.push_back(0);
    Imported got = Import(dir, LittleEndianBytes(ImageFromRom(rom, false)));
    ASSERT_EQ(got.status, 0u);
    const CONFIG_FILE_INFO& info = got.info;
    EXPECT_EQ(info.chip_id_hi, 0xEE);
    EXPECT_EQ(info.node_vendor_id, 0x0050C2u);
    EXPECT_EQ(info.chip_id_lo, 0xCAFEF00Du);
    EXPECT_EQ(info.module_vendor_id, 0x0050C2u);
    EXPECT_EQ(info.module_hw_version, 0x77u);
    EXPECT_EQ(info.link_speed, 3);
    EXPECT_EQ(info.unit_sw_version, 0x010483u);
    EXPECT_EQ(info.command_set, 0xFEDCBAu);
    EXPECT_EQ(info.mgt_orb_timeout, 0x1E);
    EXPECT_EQ(info.orb_size, 0x04);
    EXPECT_EQ(info.lun0_device_type, 0x06);
    EXPECT_EQ(info.lun0_model_id, 0x1234u);
    EXPECT_EQ(info.lun1_device_type, 0);
    EXPECT_EQ(info.lun1_model_id, 0u);
    EXPECT_EQ(info.command_set_revision, 0u);
    EXPECT_EQ(info.firmware_revision, 0u);
    EXPECT_EQ(info.reconnect_timeout, 0x3Du);
    EXPECT_EQ(Field(info.vendor_text), "Old Model   ");
    // No magic word: the default configuration words.
    EXPECT_EQ(info.config_word1, 375u);
    EXPECT_EQ(info.config_word2, 375u);
    EXPECT_EQ(info.config_word3, 0x00601504u);
    EXPECT_EQ(info.config_flags, 0x17u);
    EXPECT_NE(got.trace.find("API_TRACE: New ROM if x = 0x3C: x = 38\n"
                             "API_TRACE: > Import old ROM file\n"),
              std::string::npos);
}

TEST(ImportConfigurationFile, MissingMagicWordGivesDefaults) {
    ScratchDir dir;
    CONFIG_FILE_INFO original = FullRecord(true);
    const std::string file = (dir / "rom.bin").string();
    ASSERT_EQ(GenerateConfigurationFile(&original, file.c_str()), 0u);
    std::vector<uint8_t> bytes = ReadBytes(file);
    bytes[0] ^= 0x01;
    Imported got = Import(dir, bytes);
    ASSERT_EQ(got.status, 0u);
    EXPECT_EQ(got.info.config_word1, 375u);
    EXPECT_EQ(got.info.config_word2, 375u);
    EXPECT_EQ(got.info.config_word3, 0x00601504u);
    EXPECT_EQ(got.info.config_flags, 0x17u);
    EXPECT_EQ(got.info.unit_sw_version, original.unit_sw_version);
}

TEST(ImportConfigurationFile, CrcFailure) {
    ScratchDir dir;
    CONFIG_FILE_INFO original = FullRecord(true);
    const std::string file = (dir / "rom.bin").string();
    ASSERT_EQ(GenerateConfigurationFile(&original, file.c_str()), 0u);
    const std::vector<uint8_t> good = ReadBytes(file);

    // Every byte of ext_config may change without failing the import.
    for (size_t i = 4; i < 104; i += 13) {
        std::vector<uint8_t> bytes = good;
        bytes[i] ^= 0x40;
        EXPECT_EQ(Import(dir, bytes, 0).status, 0u) << i;
    }
    // Any byte covered by the CRC fails it.
    for (size_t i : {size_t(108), size_t(150), good.size() - 1}) {
        std::vector<uint8_t> bytes = good;
        bytes[i] ^= 0x01;
        const std::vector<uint32_t> w = LittleEndianWords(bytes);
        const uint32_t computed = WordsCrc(w, 27, 60);
        char line[128];
        std::snprintf(line, sizeof(line), "ERROR INFO: CRC failure! %.8X <> %.8X (len = 60)\n", computed,
                      w[26] & 0xFFFF);
        Imported got = Import(dir, bytes, TRACE_ERROR | TRACE_API);
        EXPECT_EQ(got.status, 19u);
        EXPECT_EQ(got.trace,
                  "API_TRACE: Enter ImportConfigurationFile\n"
                  "LORIC ERROR: Unable to import configuration file\n" +
                      std::string(line) + "API_TRACE: Exit ImportConfigurationFile (ret 19)\n\n");
        EXPECT_TRUE(AllZero(got.info));
    }
}

TEST(ImportConfigurationFile, FileLengthBounds) {
    ScratchDir dir;
    CONFIG_FILE_INFO original = FullRecord(true);
    const std::string file = (dir / "rom.bin").string();
    ASSERT_EQ(GenerateConfigurationFile(&original, file.c_str()), 0u);
    std::vector<uint8_t> bytes = ReadBytes(file);

    bytes.resize(1128, 0);
    EXPECT_EQ(Import(dir, bytes, 0).status, 0u);

    bytes.resize(1129, 0);
    Imported got = Import(dir, bytes, TRACE_ERROR);
    EXPECT_EQ(got.status, 24u);
    EXPECT_EQ(got.trace, "LORIC ERROR: File too large for selected flash (1129 bytes)\n");
    EXPECT_TRUE(AllZero(got.info));

    got = Import(dir, {}, TRACE_ERROR);
    EXPECT_EQ(got.status, 24u);
    EXPECT_EQ(got.trace, "LORIC ERROR: File too large for selected flash (0 bytes)\n");
}

TEST(ImportConfigurationFile, FileThatCannotBeOpened) {
    ScratchDir dir;
    const std::string file = (dir / "missing.bin").string();
    CONFIG_FILE_INFO info;
    std::memset(&info, 0xCC, sizeof(info));
    TraceCapture trace(kTraceAll, dir / "trace.log");
    EXPECT_EQ(ImportConfigurationFile(&info, file.c_str()), 6u);
    EXPECT_TRUE(AllZero(info));
    EXPECT_EQ(trace.Text(),
              "API_TRACE: Enter ImportConfigurationFile\n"
              "API_TRACEV: Enter ImportRomImageFile\n"
              "LORIC ERROR: Unable to create or open " + file + "\n"
              "API_TRACEV: Exit ImportRomImageFile\n"
              "API_TRACE: Exit ImportConfigurationFile (ret 6)\n\n");
}

TEST(ImportConfigurationFile, MissingArguments) {
    ScratchDir dir;
    CONFIG_FILE_INFO info;
    TraceCapture trace(kTraceAll, dir / "trace.log");
    EXPECT_EQ(ImportConfigurationFile(nullptr, "x"), 5u);
    EXPECT_EQ(ImportConfigurationFile(&info, nullptr), 5u);
    EXPECT_EQ(trace.Text(),
              "API_TRACE: Enter ImportConfigurationFile\n"
              "LORIC ERROR: An API function parameter was invalid\n"
              "API_TRACE: Enter ImportConfigurationFile\n"
              "LORIC ERROR: An API function parameter was invalid\n");
}

TEST(ImportConfigurationFile, DuplicateAndSurplusLeaves) {
    ScratchDir dir;
    std::vector<uint32_t> rom(28, 0);
    rom[15] = 0x3C000000;
    // q8 and q9 name the same leaf (q28); then four more distinct leaves, of which the last
    // has no field to go to.
    rom[8] = 0x81000000 | (28 - 8);
    rom[9] = 0x82000000 | (28 - 9);
    rom[10] = 0x81000000 | (32 - 10);
    rom[20] = 0x81000000 | (36 - 20);
    rom[24] = 0x81000000 | (40 - 24);
    rom[27] = 0x81000000 | (44 - 27);
    const char* texts[] = {"zero", "one!", "two!", "thre", "four"};
    for (int k = 0; k < 5; ++k) PutLeaf(rom, 28 + 4 * k, TextQuadlets(texts[k]), 3);
    Imported got = Import(dir, LittleEndianBytes(ImageFromRom(rom)), TRACE_API_VERBOSE);
    ASSERT_EQ(got.status, 0u);
    EXPECT_EQ(Field(got.info.vendor_text), "zero");
    EXPECT_EQ(Field(got.info.hw_version_text), "one!");
    EXPECT_EQ(Field(got.info.lun0_model_text), "two!");
    EXPECT_EQ(Field(got.info.lun1_model_text), "thre");
    EXPECT_EQ(got.trace,
              "API_TRACEV: Enter ImportRomImageFile\n"
              "API_TRACEV: File length = 296\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Duplicate offset\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: Offset found\n"
              "API_TRACEV: 4 unique strings\n"
              "API_TRACEV: Rom string 0 = zero\n"
              "API_TRACEV: Rom string 1 = one!\n"
              "API_TRACEV: Rom string 2 = two!\n"
              "API_TRACEV: Rom string 3 = thre\n"
              "API_TRACEV: Exit ImportRomImageFile\n");
}

struct BadImageCase {
    const char* name;
    void (*damage)(std::vector<uint32_t>& rom);
    size_t cutBytes;  // taken off the end of the file after the CRC is set
};

const BadImageCase kBadImages[] = {
    {"LeafPointerBeyondFile", [](std::vector<uint32_t>& rom) { rom[8] = 0x810000FF; }, 0},
    {"LeafTextBeyondFile", [](std::vector<uint32_t>& rom) { rom[28] = 15u << 16; }, 0},
    {"LeafLengthZero", [](std::vector<uint32_t>& rom) { rom[28] = 0; }, 0},
    {"LeafLengthOne", [](std::vector<uint32_t>& rom) { rom[28] = 1u << 16; }, 0},
    {"CrcRangeBeyondFile", [](std::vector<uint32_t>&) {}, 4},
};

class BadImage : public ::testing::TestWithParam<BadImageCase> {};

TEST_P(BadImage, FailsWith19) {
    ScratchDir dir;
    std::vector<uint32_t> rom(28, 0);
    rom[15] = 0x3C000000;
    rom[8] = 0x81000000 | (28 - 8);
    PutLeaf(rom, 28, TextQuadlets("text"), 3);
    rom.push_back(0);
    GetParam().damage(rom);
    std::vector<uint8_t> bytes = LittleEndianBytes(ImageFromRom(rom));
    bytes.resize(bytes.size() - GetParam().cutBytes);
    Imported got = Import(dir, bytes, TRACE_ERROR);
    EXPECT_EQ(got.status, 19u);
    EXPECT_EQ(got.trace.rfind("LORIC ERROR: Unable to import configuration file\nERROR INFO: ", 0), 0u) << got.trace;
}

INSTANTIATE_TEST_SUITE_P(Files, BadImage, ::testing::ValuesIn(kBadImages),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(ImportConfigurationFile, TruncatedRomTrace) {
    ScratchDir dir;
    Imported got = Import(dir, {0xAD, 0x24, 0xC9}, TRACE_ERROR);
    EXPECT_EQ(got.status, 19u);
    EXPECT_EQ(got.trace,
              "LORIC ERROR: Unable to import configuration file\n"
              "ERROR INFO: ROM beyond end of file! (len = 0, file length = 3)\n");
}

}  // namespace
