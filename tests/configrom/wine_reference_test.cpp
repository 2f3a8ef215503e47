// The Linux library's file of the fixed record that the Windows build must reproduce under
// Wine. With LORIC_WINE_REFERENCE set, the file is also copied there for that comparison.
#include <gtest/gtest.h>

#include <cstdlib>

#include "configrom_test_util.h"
#include "wine/configrom_record.h"

using namespace cromtest;

namespace {

TEST(WineReference, FixedRecordGeneratesAndImportsBack) {
    ScratchDir dir;
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    WriteText("datapage.dat", wine_reference::kDataPage);
    CONFIG_FILE_INFO record = wine_reference::Record();
    const uint32_t generated = GenerateConfigurationFile(&record, "linux.bin");
    CONFIG_FILE_INFO imported;
    const uint32_t importStatus = ImportConfigurationFile(&imported, "linux.bin");
    const std::vector<uint8_t> bytes = ReadBytes("linux.bin");
    fs::current_path(previous);

    ASSERT_EQ(generated, 0u);
    EXPECT_EQ(bytes.size(), wine_reference::kFileSize);
    EXPECT_EQ(bytes, LittleEndianBytes(ExpectedImage(record, wine_reference::kDataPageWords,
                                                     wine_reference::kDataPageType)));
    ASSERT_EQ(importStatus, 0u);
    const CONFIG_FILE_INFO expected = wine_reference::Imported();
    EXPECT_EQ(std::memcmp(&imported, &expected, sizeof(expected)), 0);

    if (const char* out = std::getenv("LORIC_WINE_REFERENCE")) WriteBytes(out, bytes);
}

}  // namespace
