// Configuration file generation: whole files byte for byte, data pages, traces, failures.
#include <gtest/gtest.h>

#include "configrom/crom.h"
#include "configrom_test_util.h"

using namespace cromtest;

namespace {

constexpr uint32_t kTraceAll = TRACE_ERROR | TRACE_API | TRACE_API_VERBOSE;

CONFIG_FILE_INFO EmptyTextRecord(bool secondUnit) {
    CONFIG_FILE_INFO info = FullRecord(secondUnit);
    SetText(info.vendor_text, "");
    SetText(info.hw_version_text, "");
    SetText(info.lun0_model_text, "");
    SetText(info.lun1_model_text, "");
    return info;
}

// Output paths are written with a backslash so that the data page is looked for in the
// scratch directory: on this platform "dir/sub\rom.bin" is the file "sub\rom.bin" in dir,
// and its data page is the file "sub\datapage.dat" beside it.
struct Output {
    ScratchDir dir;
    std::string file = (dir / "out\\rom.bin").string();
    fs::path dataPage = dir / "out\\datapage.dat";
    std::string dataPageName = (dir / "out\\datapage.dat").string();
};

TEST(GenerateConfigurationFile, FourEmptyTextsMake280Bytes) {
    for (bool second : {false, true}) {
        SCOPED_TRACE(second);
        Output out;
        CONFIG_FILE_INFO info = EmptyTextRecord(second);
        ASSERT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);
        const std::vector<uint8_t> bytes = ReadBytes(out.file);
        ASSERT_EQ(bytes.size(), 280u);
        EXPECT_EQ(bytes, LittleEndianBytes(ExpectedImage(info)));

        const std::vector<uint32_t> w = LittleEndianWords(bytes);
        EXPECT_EQ(w[25], 176u);              // config_rom_len
        EXPECT_EQ((w[26] >> 16) & 0xFF, 43u);  // crc_length
        EXPECT_EQ(w[26 + 8], 0x81000014u);
        EXPECT_EQ(w[26 + 10], 0x81000016u);
        EXPECT_EQ(w[26 + 24], 0x8100000Cu);
        EXPECT_EQ(w[26 + 27], second ? 0x8100000Du : 0u);
        EXPECT_EQ(w[26 + 25], second ? 0x14450001u : 0u);
        for (uint32_t leaf : {28u, 32u, 36u, 40u}) EXPECT_EQ(w[26 + leaf], 0x00030000u) << leaf;
        // Bytes on disk are least significant first: the magic word AFC924AD.
        EXPECT_EQ(bytes[0], 0xAD);
        EXPECT_EQ(bytes[3], 0xAF);
    }
}

TEST(GenerateConfigurationFile, FullRecordWithSecondUnit) {
    Output out;
    CONFIG_FILE_INFO info = FullRecord(true);
    ASSERT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);
    const std::vector<uint8_t> bytes = ReadBytes(out.file);
    ASSERT_EQ(bytes, LittleEndianBytes(ExpectedImage(info)));

    // Leaves of 5, 2, 4 and 6 text quadlets lie back to back from q28.
    const std::vector<uint32_t> w = LittleEndianWords(bytes);
    const uint32_t* q = &w[26];
    EXPECT_EQ(bytes.size(), 104u + 61 * 4);
    EXPECT_EQ(q[0] >> 16, 0x043Cu);
    EXPECT_EQ(q[8], 0x81000000u | (28 - 8));
    EXPECT_EQ(q[10], 0x81000000u | (37 - 10));
    EXPECT_EQ(q[24], 0x81000000u | (43 - 24));
    EXPECT_EQ(q[27], 0x81000000u | (51 - 27));
    EXPECT_EQ(q[37], 0x00050000u | (q[37] & 0xFFFF));
    EXPECT_EQ(q[51 + 3], 0x42726964u);  // "Brid"
    EXPECT_EQ(q[2], 0x00FF5002u);
    EXPECT_EQ(q[3], 0x00D04BA5u);
    EXPECT_EQ(q[22], 0x144E0000u);
    EXPECT_EQ(q[26], 0x17123456u);
    EXPECT_EQ(w[4], 0x01800017u);  // page type 1, the record's top byte dropped
}

TEST(GenerateConfigurationFile, TextsOf57To60CharactersFillFifteenQuadlets) {
    for (size_t length : {57u, 58u, 59u, 60u}) {
        SCOPED_TRACE(length);
        Output out;
        CONFIG_FILE_INFO info = FullRecord(true);
        // Fill the hardware text without a terminating zero when it is 60 long: the copy must
        // stop at the field and leave the neighbouring fields alone.
        std::string text(length, 'x');
        for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('A' + i % 26);
        SetText(info.hw_version_text, text);
        const CONFIG_FILE_INFO before = info;
        ASSERT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);
        EXPECT_EQ(std::memcmp(&before, &info, sizeof(info)), 0);

        const std::vector<uint32_t> w = LittleEndianWords(ReadBytes(out.file));
        const uint32_t leaf = 26 + 28 + 5 + 4;
        EXPECT_EQ(w[leaf] >> 16, 18u);
        EXPECT_EQ(w[leaf + 3 + 14] & 0xFF, length == 60 ? uint32_t('H') : 0x20u);
        EXPECT_EQ(w[leaf + 3 + 15], 0u);
        EXPECT_EQ(w, ExpectedImage(info));
    }
}

TEST(GenerateConfigurationFile, TraceWithoutDataPage) {
    Output out;
    TraceCapture trace(kTraceAll, out.dir / "trace.log");
    CONFIG_FILE_INFO info = EmptyTextRecord(false);
    ASSERT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);
    EXPECT_EQ(trace.Text(),
              "API_TRACE: Enter GenerateConfigurationFile\n"
              "API_TRACE: Look for " + out.dataPageName + "\n"
              "API_TRACE: Looking for additional data page...\n"
              "API_TRACE: No data page file found\n"
              "API_TRACE: pCROM->ext_config.config_rom_len: 000000B0\n"
              "API_TRACE: Exit GenerateConfigurationFile 00000000\n\n");
}

TEST(GenerateConfigurationFile, TextDataPageExample) {
    Output out;
    WriteText(out.dataPage, "2\n4\nABC\nMODEL\n1.0\nX\n");
    TraceCapture trace(kTraceAll, out.dir / "trace.log");
    CONFIG_FILE_INFO info = FullRecord(false);
    ASSERT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);

    const uint32_t page[12] = {0x41424320, 0x20202020, 0x4D4F4445, 0x4C202020, 0x20202020, 0x20202020,
                               0x312E3020, 0x58202020, 0, 0, 0, 0};
    EXPECT_EQ(LittleEndianWords(ReadBytes(out.file)), ExpectedImage(info, page, 2));
    EXPECT_EQ(trace.Text(),
              "API_TRACE: Enter GenerateConfigurationFile\n"
              "API_TRACE: Look for " + out.dataPageName + "\n"
              "API_TRACE: Looking for additional data page...\n"
              "API_TRACEV: Reading data page type 2, length 4 lines\n"
              "API_TRACEV: Data page line 0: ABC\n"
              "API_TRACEV: Data page line 1: MODEL\n"
              "API_TRACEV: Data page line 2: 1.0\n"
              "API_TRACEV: Data page line 3: X\n"
              "API_TRACEV: Adding Western Digital data page\n"
              "API_TRACE: Additional data page inserted into ROM header\n"
              "API_TRACE: pCROM->ext_config.config_rom_len: 000000F4\n"
              "API_TRACE: Exit GenerateConfigurationFile 00000000\n\n");
}

struct DataPageCase {
    const char* name;
    const char* file;
    uint32_t pageType;
    uint32_t page[12];
    const char* traceAfterLooking;  // the lines between "Looking for..." and the length line
};

const DataPageCase kDataPageCases[] = {
    {"CrLfAndLongLinesCutAtTheirFields", "  +2 pages\r\n3\r\nABCDEFGHIJKLMNOPQRS\r\n0123456789abcdefXYZ\r\nwxyz1\r\n",
     2, {0x41424344, 0x45464748, 0x30313233, 0x34353637, 0x38396162, 0x63646566, 0x7778797A, 0x20202020},
     "API_TRACEV: Reading data page type 2, length 3 lines\n"
     "API_TRACEV: Data page line 0: ABCDEFGHIJKLMNOP\n"
     "API_TRACEV: Data page line 1: 0123456789abcdef\n"
     "API_TRACEV: Data page line 2: wxyz1\n"
     "API_TRACEV: Adding Western Digital data page\n"
     "API_TRACE: Additional data page inserted into ROM header\n"},
    {"MissingTypeTwoLinesLeaveSpaces", "2\n1\nQ\n", 2,
     {0x51202020, 0x20202020, 0x20202020, 0x20202020, 0x20202020, 0x20202020, 0x20202020, 0x20202020},
     "API_TRACEV: Reading data page type 2, length 1 lines\n"
     "API_TRACEV: Data page line 0: Q\n"
     "API_TRACEV: Adding Western Digital data page\n"
     "API_TRACE: Additional data page inserted into ROM header\n"},
    {"UnknownTypeKeepsItsLowByte", "263\n1\nignored\n", 7, {},
     "API_TRACEV: Reading data page type 263, length 1 lines\n"
     "API_TRACEV: Data page line 0: ignored\n"
     "API_TRACEV: Unknown page type 263\n"
     "API_TRACE: Additional data page inserted into ROM header\n"},
    {"FewerLinesThanAnnounced", "2\n3\nA\nB\n", 1, {},
     "API_TRACEV: Reading data page type 2, length 3 lines\n"
     "API_TRACEV: Data page line 0: A\n"
     "API_TRACEV: Data page line 1: B\n"
     "API_TRACE: Error reading data page file\n"},
    {"MoreThan64Lines", "2\n65\n", 1, {},
     "API_TRACEV: Reading data page type 2, length 65 lines\n"
     "API_TRACE: Error reading data page file\n"},
    {"UnparsableType", "two\n1\nA\n", 1, {}, "API_TRACE: Error reading data page type\n"},
    {"MissingType", "", 1, {},
     "API_TRACE: Error reading data page type\n"
     "API_TRACE: Error reading data page file length\n"},
    {"CountBeyondIntRange", "2\n99999999999\n", 1, {}, "API_TRACE: Error reading data page file length\n"},
};

class DataPage : public ::testing::TestWithParam<DataPageCase> {};

TEST_P(DataPage, StoresPageAndTraces) {
    const DataPageCase& c = GetParam();
    Output out;
    WriteText(out.dataPage, c.file);
    CONFIG_FILE_INFO info = FullRecord(false);
    std::string text;
    {
        TraceCapture trace(kTraceAll, out.dir / "trace.log");
        ASSERT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);
        text = trace.Text();
    }
    EXPECT_EQ(LittleEndianWords(ReadBytes(out.file)), ExpectedImage(info, c.page, c.pageType));
    const std::string looking = "API_TRACE: Looking for additional data page...\n";
    const std::string length = "API_TRACE: pCROM->ext_config.config_rom_len:";
    const size_t from = text.find(looking);
    const size_t to = text.find(length);
    ASSERT_NE(from, std::string::npos);
    ASSERT_NE(to, std::string::npos);
    EXPECT_EQ(text.substr(from + looking.size(), to - from - looking.size()), c.traceAfterLooking);
}

INSTANTIATE_TEST_SUITE_P(Files, DataPage, ::testing::ValuesIn(kDataPageCases),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(GenerateConfigurationFile, SixtyFourDataLinesAreRead) {
    Output out;
    std::string file = "2\n64\n";
    for (int i = 0; i < 64; ++i) file += "L" + std::to_string(i) + "\n";
    WriteText(out.dataPage, file);
    CONFIG_FILE_INFO info = FullRecord(false);
    ASSERT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);
    const std::vector<uint32_t> w = LittleEndianWords(ReadBytes(out.file));
    EXPECT_EQ(w[4] >> 24, 2u);
    EXPECT_EQ(w[5], 0x4C302020u);   // "L0"
    EXPECT_EQ(w[12], 0x4C332020u);  // "L3"
}

TEST(GetFileDirectory, OnlyBackslashSeparates) {
    struct Case {
        std::string path;
        std::string directory;
    } cases[] = {
        {"C:\\out\\rom.bin", "C:\\out\\"},
        {"rom.bin", ""},
        {"dir/rom.bin", ""},
        {"a\\b/c\\", "a\\b/c\\"},
        {std::string(253, 'd') + "\\x", std::string(253, 'd') + "\\"},
        {std::string(254, 'd') + "\\x", ""},
    };
    for (const Case& c : cases) {
        char destination[loric::kFileDirectorySize];
        std::memset(destination, 'z', sizeof(destination));
        EXPECT_EQ(loric::GetFileDirectory(destination, c.path.c_str()), c.directory.size());
        EXPECT_EQ(std::string(destination), c.directory);
        for (size_t i = c.directory.size(); i < sizeof(destination); ++i) ASSERT_EQ(destination[i], 0) << i;
    }
}

TEST(GenerateConfigurationFile, PathWithoutBackslashLooksInCurrentDirectory) {
    ScratchDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    WriteText(dir / "datapage.dat", "9\n0\n");
    CONFIG_FILE_INFO info = FullRecord(false);
    const uint32_t status = GenerateConfigurationFile(&info, "rom.bin");
    const std::vector<uint32_t> w = LittleEndianWords(ReadBytes(dir / "rom.bin"));
    fs::current_path(previous);
    ASSERT_EQ(status, 0u);
    EXPECT_EQ(w[4] >> 24, 9u);
}

TEST(GenerateConfigurationFile, DirectoryTooLongForDataPageIsNotSearched) {
    ScratchDir dir;
    // A directory part this long plus "datapage.dat" and its zero does not fit 260 bytes. The
    // output goes to a file whose name is too long to be created, so nothing is written.
    const std::string file = std::string(250, 'd') + "\\rom.bin";
    TraceCapture trace(kTraceAll, dir / "trace.log");
    CONFIG_FILE_INFO info = FullRecord(false);
    EXPECT_EQ(GenerateConfigurationFile(&info, (dir.path().string() + "/" + file).c_str()), 6u);
    const std::string text = trace.Text();
    EXPECT_NE(text.find("API_TRACE: Output directory too long, no data page looked for\n"), std::string::npos);
    EXPECT_EQ(text.find("Look for"), std::string::npos);
}

TEST(GenerateConfigurationFile, FailuresAndTheirLines) {
    ScratchDir dir;
    CONFIG_FILE_INFO info = FullRecord(false);
    {
        TraceCapture trace(kTraceAll, dir / "trace.log");
        EXPECT_EQ(GenerateConfigurationFile(nullptr, "x"), 5u);
        EXPECT_EQ(GenerateConfigurationFile(&info, nullptr), 5u);
        EXPECT_EQ(trace.Text(),
                  "API_TRACE: Enter GenerateConfigurationFile\n"
                  "LORIC ERROR: An API function parameter was invalid\n"
                  "API_TRACE: Enter GenerateConfigurationFile\n"
                  "LORIC ERROR: An API function parameter was invalid\n");
    }
    {
        const std::string file = (dir / "missing" / "rom.bin").string();
        TraceCapture trace(TRACE_ERROR | TRACE_API, dir / "trace2.log");
        EXPECT_EQ(GenerateConfigurationFile(&info, file.c_str()), 6u);
        const std::string text = trace.Text();
        EXPECT_NE(text.find("LORIC ERROR: Unable to create or open " + file + "\n"
                            "API_TRACE: Exit GenerateConfigurationFile 00000006\n\n"),
                  std::string::npos);
        char message[1200];
        ASSERT_EQ(GetErrorText(6, message), 0u);
        EXPECT_EQ(std::string(message), "Unable to create or open " + file);
    }
}

TEST(GenerateConfigurationFile, ShortWriteIsReported) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    TraceCapture trace(TRACE_ERROR, fs::temp_directory_path() / "loric_crom_full.log");
    CONFIG_FILE_INFO info = FullRecord(false);
    EXPECT_EQ(GenerateConfigurationFile(&info, "/dev/full"), 7u);
    EXPECT_EQ(trace.Text(), "LORIC ERROR: A read / write error occurred while accessing /dev/full\n");
}

TEST(GenerateConfigurationFile, WorksWhileTheApiIsClosed) {
    ASSERT_EQ(loric::g_api.link, nullptr);
    Output out;
    CONFIG_FILE_INFO info = FullRecord(true);
    EXPECT_EQ(GenerateConfigurationFile(&info, out.file.c_str()), 0u);
}

}  // namespace
