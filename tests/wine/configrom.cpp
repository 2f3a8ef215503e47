// Generates a configuration file with loric.dll from the fixed record, compares it byte for
// byte with the file the Linux library made from the same record (the first argument, when
// given), and imports it back.
//   usage: wine_configrom.exe [reference file]
#include <cstdio>
#include <cstring>
#include <vector>

#include "configrom_record.h"
#include "loric.h"
#include "wine_check.h"

using wine_check::Expect;
using wine_check::ExpectStdcall;
using wine_check::Word;

namespace {

bool ReadFile(const char* name, std::vector<unsigned char>& bytes) {
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return false;
    unsigned char buffer[4096];
    size_t got;
    bytes.clear();
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return true;
}

bool WriteFile(const char* name, const char* text) {
    FILE* file = std::fopen(name, "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(text, 1, std::strlen(text), file) == std::strlen(text);
    return std::fclose(file) == 0 && ok;
}

uint32_t Word32(const std::vector<unsigned char>& bytes, size_t index) {
    const size_t at = index * 4;
    if (at + 4 > bytes.size()) return 0;
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

CONFIG_FILE_INFO g_record;
CONFIG_FILE_INFO g_imported;

}  // namespace

int main(int argc, char** argv) {
    HMODULE library = wine_check::LoadLibraryUnderTest();
    const void* generate = reinterpret_cast<const void*>(wine_check::Resolve(library, "GenerateConfigurationFile"));
    const void* import = reinterpret_cast<const void*>(wine_check::Resolve(library, "ImportConfigurationFile"));
    if (generate == nullptr || import == nullptr) return wine_check::Finish();

    // The data page beside the output file (the current folder: the name has no backslash).
    Expect(WriteFile("datapage.dat", wine_reference::kDataPage), "cannot write datapage.dat");
    g_record = wine_reference::Record();
    auto result = ExpectStdcall("GenerateConfigurationFile", generate, {Word(&g_record), Word("windows.bin")});
    Expect(result.value == LORIC_OK, "GenerateConfigurationFile returned %u", result.value);

    std::vector<unsigned char> generated;
    Expect(ReadFile("windows.bin", generated), "windows.bin was not written");
    Expect(generated.size() == wine_reference::kFileSize, "windows.bin is %u bytes, expected %u",
           static_cast<unsigned>(generated.size()), wine_reference::kFileSize);
    Expect(Word32(generated, 4) >> 24 == wine_reference::kDataPageType, "data page type %u in the file",
           Word32(generated, 4) >> 24);
    for (size_t i = 0; i < 12; ++i) {
        Expect(Word32(generated, 5 + i) == wine_reference::kDataPageWords[i], "data page word %u is %08X",
               static_cast<unsigned>(5 + i), Word32(generated, 5 + i));
    }

    if (argc > 1) {
        std::vector<unsigned char> reference;
        if (Expect(ReadFile(argv[1], reference), "the Linux library's file %s cannot be read", argv[1])) {
            size_t first = 0;
            while (first < generated.size() && first < reference.size() && generated[first] == reference[first]) ++first;
            Expect(generated.size() == reference.size() && first == generated.size(),
                   "windows.bin (%u bytes) and %s (%u bytes) differ from byte %u on",
                   static_cast<unsigned>(generated.size()), argv[1], static_cast<unsigned>(reference.size()),
                   static_cast<unsigned>(first));
        }
    } else {
        wine_check::Skip("no file from the Linux library to compare with");
    }

    // A backslash separates the output folder: its own data page, of another type, is used.
    CreateDirectoryA("out", nullptr);
    Expect(WriteFile("out\\datapage.dat", "7\n0\n"), "cannot write out\\datapage.dat");
    result = ExpectStdcall("GenerateConfigurationFile", generate, {Word(&g_record), Word("out\\windows.bin")});
    std::vector<unsigned char> second;
    Expect(result.value == LORIC_OK && ReadFile("out\\windows.bin", second), "out\\windows.bin not generated");
    Expect(Word32(second, 4) == 0x07800017, "out\\windows.bin word 4 is %08X, expected 07800017", Word32(second, 4));

    std::memset(&g_imported, 0xCC, sizeof g_imported);
    result = ExpectStdcall("ImportConfigurationFile", import, {Word(&g_imported), Word("windows.bin")});
    Expect(result.value == LORIC_OK, "ImportConfigurationFile returned %u", result.value);
    const CONFIG_FILE_INFO expected = wine_reference::Imported();
    const unsigned char* got = reinterpret_cast<const unsigned char*>(&g_imported);
    const unsigned char* want = reinterpret_cast<const unsigned char*>(&expected);
    size_t differ = 0;
    while (differ < sizeof expected && got[differ] == want[differ]) ++differ;
    Expect(differ == sizeof expected, "imported record byte %u is %02X, expected %02X", static_cast<unsigned>(differ),
           differ < sizeof expected ? got[differ] : 0, differ < sizeof expected ? want[differ] : 0);

    FreeLibrary(library);
    return wine_check::Finish();
}
