// Generates a configuration file with loric.dll from the fixed record, compares it byte for
// byte with the reference file (the first argument), and imports it back; a backslash in the
// output name makes its folder the data page's.
//   usage: wine_configrom.exe <reference file>
#include <cstring>

#include "configrom_record.h"
#include "loric.h"
#include "wine_check.h"

using wine_check::Expect;
using wine_check::ExpectStdcall;
using wine_check::Word;

namespace {
CONFIG_FILE_INFO g_record;
CONFIG_FILE_INFO g_imported;
}  // namespace

int main(int argc, char** argv) {
    HMODULE library = wine_check::LoadLibraryUnderTest();
    const void* generate = reinterpret_cast<const void*>(wine_check::Resolve(library, "GenerateConfigurationFile"));
    const void* import = reinterpret_cast<const void*>(wine_check::Resolve(library, "ImportConfigurationFile"));
    if (generate == nullptr || import == nullptr || !Expect(argc > 1, "no reference file given"))
        return wine_check::Finish();

    Expect(wine_check::WriteText("datapage.dat", wine_reference::kDataPage), "cannot write datapage.dat");
    g_record = wine_reference::Record();
    auto result = ExpectStdcall("GenerateConfigurationFile", generate, {Word(&g_record), Word("windows.bin")});
    Expect(result.value == LORIC_OK, "GenerateConfigurationFile returned %u", result.value);
    wine_check::ExpectSameFile("windows.bin", argv[1]);

    CreateDirectoryA("out", nullptr);
    Expect(wine_check::WriteText("out\\datapage.dat", "7\n0\n"), "cannot write out\\datapage.dat");
    result = ExpectStdcall("GenerateConfigurationFile", generate, {Word(&g_record), Word("out\\windows.bin")});
    std::vector<unsigned char> second;
    Expect(result.value == LORIC_OK && wine_check::ReadFileBytes("out\\windows.bin", second) && second.size() > 20 &&
               second[19] == 7,
           "out\\windows.bin not generated with the page type of out\\datapage.dat");

    std::memset(&g_imported, 0xCC, sizeof g_imported);
    result = ExpectStdcall("ImportConfigurationFile", import, {Word(&g_imported), Word("windows.bin")});
    Expect(result.value == LORIC_OK, "ImportConfigurationFile returned %u", result.value);
    const CONFIG_FILE_INFO expected = wine_reference::Imported();
    Expect(std::memcmp(&g_imported, &expected, sizeof expected) == 0, "the imported record differs");
    FreeLibrary(library);
    return wine_check::Finish();
}
