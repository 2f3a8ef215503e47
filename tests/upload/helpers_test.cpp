#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "program/upload.h"

namespace loric::test {
namespace {

TEST(FindMarker, FirstWholeOccurrenceInsideTheBuffer) {
    const std::string text = "..FWPARAMETERS_..FWPARAMETERS_";
    const auto* buffer = reinterpret_cast<const uint8_t*>(text.data());
    struct Case {
        const char* marker;
        size_t length;
        long position;  // -1: none
    } cases[] = {
        {"FWPARAMETERS_", text.size(), 2},
        {"FWPARAMETERS_", 15, 2},        // ends exactly at the buffer's end
        {"FWPARAMETERS_", 14, -1},       // would run past it
        {"S_..F", text.size(), 13},
        {"", text.size(), -1},
        {"F", 0, -1},
        {"..", text.size(), 0},
        {"MISSING", text.size(), -1},
    };
    for (const Case& c : cases) {
        const uint8_t* found = FindMarker(buffer, c.marker, c.length);
        EXPECT_EQ(found == nullptr ? -1L : static_cast<long>(found - buffer), c.position) << c.marker << " " << c.length;
    }
    EXPECT_EQ(FindMarker(nullptr, "F", 4), nullptr);
}

TEST(FileLength, StreamLengthKeepsThePosition) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite("0123456789", 1, 10, file);
    std::fseek(file, 3, SEEK_SET);
    EXPECT_EQ(GetStreamLength(file), 10u);
    EXPECT_EQ(std::ftell(file), 3);
    EXPECT_EQ(std::fgetc(file), '3');
    std::fclose(file);
    EXPECT_EQ(GetStreamLength(nullptr), kUnknownLength);
}

TEST(FileLength, FileLengthOpensAndCloses) {
    const std::string name = ::testing::TempDir() + "/loric_length_test.bin";
    FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite("\r\n\r\n\0x", 1, 6, file);  // binary: line ends are not folded
    std::fclose(file);
    EXPECT_EQ(GetFileLength(name.c_str()), 6u);
    std::remove(name.c_str());
    EXPECT_EQ(GetFileLength(name.c_str()), 0u);
    EXPECT_EQ(GetFileLength(nullptr), 0u);
}

TEST(FileLength, LengthsBeyondThirtyTwoBitsAreUnknown) {
    // A sparse file: no disk space is used.
    const std::string name = ::testing::TempDir() + "/loric_huge_test.bin";
    std::FILE* file = std::fopen(name.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    std::error_code error;
    std::filesystem::resize_file(name, 0x100000004ull, error);
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    EXPECT_EQ(GetFileLength(name.c_str()), kUnknownLength);
    std::filesystem::resize_file(name, 0xFFFFFFFEull, error);
    EXPECT_EQ(GetFileLength(name.c_str()), 0xFFFFFFFEu);
    std::remove(name.c_str());
}

}  // namespace
}  // namespace loric::test
