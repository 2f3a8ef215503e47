// Configuration files: generation from records and data pages, import of good, old and damaged
// files. Each table case adds its status, trace and the file or record it gave to a transcript
// that is compared whole with its golden file in tests/data/configrom/.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "api/context.h"
#include "configrom/crom.h"
#include "support/api_fixture.h"
#include "support/golden.h"
#include "wine/configrom_record.h"

namespace loric::test {
namespace {

constexpr uint32_t kTraceAll = TRACE_ERROR | TRACE_API | TRACE_API_VERBOSE;
using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& path) {
    const std::string text = ReadFileBytes(path);
    return Bytes(text.begin(), text.end());
}
void WriteBytes(const std::string& path, const std::string& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}
// The bytes of hexadecimal text, white space between them ignored.
std::string Hex(const std::string& text) {
    std::string bytes, digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)) && (digits += c).size() == 2) {
            bytes += static_cast<char>(std::stoi(digits, nullptr, 16));
            digits.clear();
        }
    return bytes;
}

// A generation case. The record is full_record.hex (its numeric fields have bits above the ones
// the file keeps), with the second unit flag if asked, and with the hardware version text
// `hwLength` letters long (0: all four texts empty).
struct GenerateCase {
    const char* name;
    const char* page = nullptr;  // the data page's text; nullptr: none
    bool secondUnit = false;
    int hwLength = -1;
    std::string output = "out\\rom.bin";  // the data page is "out\\datapage.dat" in the current folder
    const char* pageFile = "out\\datapage.dat";
};

class ConfigFiles : public ApiTest {
protected:
    void Import(Transcript& t, const char* name, const std::string& bytes) {
        WriteBytes("image.bin", bytes);
        CONFIG_FILE_INFO info;
        std::memset(&info, 0xCC, sizeof info);
        debug_.Clear();
        g_api.traceFlags = kTraceAll;
        t.Add("== %s\nstatus %u\n", name, ImportConfigurationFile(&info, "image.bin"));
        t.Text(debug_.Text());
        for (const char* text : {info.vendor_text, info.hw_version_text, info.lun0_model_text, info.lun1_model_text})
            t.Add("text \"%.60s\"\n", text);
        t.Words(Bytes(reinterpret_cast<const uint8_t*>(&info), reinterpret_cast<const uint8_t*>(&info + 1)));
    }
};

TEST_F(ConfigFiles, GenerateFromRecordsAndDataPages) {
    std::string sixtyFour = "2\n64\n";
    for (int i = 0; i < 64; ++i) sixtyFour += "L" + std::to_string(i) + "\n";
    CONFIG_FILE_INFO full;
    const std::string stored = Hex(ReadFileBytes(GoldenPath("configrom/full_record.hex")));
    ASSERT_EQ(stored.size(), sizeof full);
    std::memcpy(&full, stored.data(), sizeof full);
    const GenerateCase cases[] = {
        {"four empty texts", nullptr, false, 0},
        {"four empty texts, second unit", nullptr, true, 0},
        {"full record"},
        {"full record, second unit", nullptr, true},
        {"57 characters", nullptr, true, 57},
        {"58 characters", nullptr, true, 58},
        {"59 characters", nullptr, true, 59},
        {"60 characters, no zero", nullptr, true, 60},
        {"text page", "2\n4\nABC\nMODEL\n1.0\nX\n"},
        {"CR LF, long lines cut to their fields",
         "  +2 pages\r\n3\r\nABCDEFGHIJKLMNOPQRS\r\n0123456789abcdefXYZ\r\nwxyz1\r\n"},
        {"missing lines leave spaces", "2\n1\nQ\n"},
        {"unknown type keeps its low byte", "263\n1\nignored\n"},
        {"fewer lines than announced", "2\n3\nA\nB\n"},
        {"64 lines", sixtyFour.c_str()},
        {"65 lines", "2\n65\n"},
        {"unparsable type", "two\n1\nA\n"},
        {"empty page file", ""},
        {"count beyond int range", "2\n99999999999\n"},
        {"no backslash: page in the current folder", "9\n0\n", false, -1, "rom.bin", "datapage.dat"},
        {"missing folder", nullptr, false, -1, "missing/rom.bin"},
        {"folder too long for a page", nullptr, false, -1, std::string(250, 'd') + "\\rom.bin"},
        {"short write", nullptr, false, -1, "/dev/full"},
    };
    Transcript t;
    for (const GenerateCase& c : cases) {
        std::remove("out\\datapage.dat");
        std::remove("datapage.dat");
        if (c.page != nullptr) WriteBytes(c.pageFile, c.page);
        const bool device = c.output[0] == '/';  // never removed or read back, such as /dev/full
        if (!device) std::remove(c.output.c_str());
        CONFIG_FILE_INFO record = full, info;
        if (c.secondUnit) record.config_flags |= CONFIG_FLAG_SECOND_LUN;
        std::string hw;
        for (int i = 0; i < c.hwLength; ++i) hw += static_cast<char>('A' + i % 26);
        if (c.hwLength >= 0) wine_reference::SetField(record.hw_version_text, hw.c_str());
        if (c.hwLength == 0)
            for (char* text : {record.vendor_text, record.lun0_model_text, record.lun1_model_text}) std::memset(text, 0, 60);
        info = record;
        debug_.Clear();
        g_api.traceFlags = kTraceAll;
        const uint32_t status = GenerateConfigurationFile(&info, c.output.c_str());
        EXPECT_EQ(std::memcmp(&record, &info, sizeof info), 0) << c.name << ": the record was changed";
        t.Add("== %s\nstatus %u\n", c.name, status);
        t.Text(debug_.Text());
        if (!device) t.Words(ReadBytes(c.output));
        if (status != 0) {
            char text[1200];
            ASSERT_EQ(GetErrorText(status, text), 0u);
            t.Add("error text: %s\n", text);
        }
    }
    t.Check("configrom/generate.txt");
    EXPECT_EQ(GenerateConfigurationFile(nullptr, "x"), 5u);
    EXPECT_EQ(GenerateConfigurationFile(nullptr, nullptr), 5u);
}

// The file of the fixed record that the Windows build must give byte for byte.
TEST_F(ConfigFiles, FixedRecordFileIsTheOneTheWindowsBuildMustGive) {
    WriteBytes("datapage.dat", wine_reference::kDataPage);
    CONFIG_FILE_INFO record = wine_reference::Record();
    ASSERT_EQ(GenerateConfigurationFile(&record, "fixed.bin"), 0u);
    ExpectGolden("configrom/fixed_record.bin", ReadBytes("fixed.bin"));
    CONFIG_FILE_INFO imported;
    ASSERT_EQ(ImportConfigurationFile(&imported, "fixed.bin"), 0u);
    const CONFIG_FILE_INFO expected = wine_reference::Imported();
    EXPECT_EQ(std::memcmp(&imported, &expected, sizeof expected), 0);
}

// The files of import_cases.txt, a line "name|hex bytes" each: files generated from full records
// with and without a second unit, with bytes changed in the header, the CRC covered part and the
// length, and hand-made ROMs (old layout without magic word, duplicate and surplus leaves,
// leaves without a zero or reaching beyond the file).
TEST_F(ConfigFiles, ImportGoodOldAndDamagedFiles) {
    std::istringstream lines(ReadFileBytes(GoldenPath("configrom/import_cases.txt")));
    Transcript t;
    for (std::string line; std::getline(lines, line);) {
        const size_t bar = line.find('|');
        Import(t, line.substr(0, bar).c_str(), Hex(line.substr(bar + 1)));
    }
    t.Check("configrom/import.txt");

    CONFIG_FILE_INFO info;
    debug_.Clear();
    EXPECT_EQ(ImportConfigurationFile(&info, "missing.bin"), 6u);
    EXPECT_EQ(debug_.Text(),
              "API_TRACE: Enter ImportConfigurationFile\nAPI_TRACEV: Enter ImportRomImageFile\n"
              "LORIC ERROR: Unable to create or open missing.bin\nAPI_TRACEV: Exit ImportRomImageFile\n"
              "API_TRACE: Exit ImportConfigurationFile (ret 6)\n\n");
    EXPECT_EQ(ImportConfigurationFile(nullptr, "gen.bin"), 5u);
    EXPECT_EQ(ImportConfigurationFile(&info, nullptr), 5u);
}

TEST(GetFileDirectory, OnlyABackslashSeparatesAndLongFoldersGiveNone) {
    const std::pair<std::string, std::string> cases[] = {
        {"C:\\out\\rom.bin", "C:\\out\\"}, {"rom.bin", ""}, {"dir/rom.bin", ""}, {"a\\b/c\\", "a\\b/c\\"},
        {std::string(253, 'd') + "\\x", std::string(253, 'd') + "\\"}, {std::string(254, 'd') + "\\x", ""},
    };
    for (const auto& [path, directory] : cases) {
        char destination[kFileDirectorySize];
        std::memset(destination, 'z', sizeof destination);
        EXPECT_EQ(GetFileDirectory(destination, path.c_str()), directory.size());
        EXPECT_EQ(std::string(destination), directory);
        for (size_t i = directory.size(); i < sizeof destination; ++i) ASSERT_EQ(destination[i], 0) << i;
    }
}

TEST_F(ConfigFiles, AddRomStringRefusalsLeaveTheRomUnchanged) {
    g_api.traceFlags = TRACE_ERROR;
    CROM crom;
    InitConfigRom(&crom, 1);
    ASSERT_EQ(AddRomString(&crom, "one"), 1u);
    CROM before = crom;
    EXPECT_EQ(AddRomString(&crom, std::string(61, 'x').c_str()), 0u);
    EXPECT_EQ(std::memcmp(&before, &crom, sizeof crom), 0);
    for (const char* text : {"two", "three", "four"}) ASSERT_EQ(AddRomString(&crom, text), 1u);
    before = crom;
    EXPECT_EQ(AddRomString(&crom, "five"), 0u);
    EXPECT_EQ(std::memcmp(&before, &crom, sizeof crom), 0);
    EXPECT_EQ(PlacedRomStrings(), 4u);
    EXPECT_EQ(debug_.Text(),
              "ERROR INFO: Trying to add string longer than 60 chars to config ROM!\n"
              "ERROR INFO: Trying to add more than 4 strings to config ROM!\n");
    EXPECT_EQ(AddRomString(&crom, nullptr), 0u);
    EXPECT_EQ(PlacedRomStrings(), 0u);
    EXPECT_EQ(AddRomString(nullptr, "x"), 0u);
}

}  // namespace
}  // namespace loric::test
