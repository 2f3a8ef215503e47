// Status texts, message arguments and the error line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/context.h"
#include "support/api_fixture.h"

namespace loric::test {
namespace {

class ErrorTextTest : public ApiTest {};

struct TextCase {
    uint32_t code;
    const char* text;  // with message argument number 0x1234
};

const TextCase kTexts[] = {
    {0, "No error"},
    {1, "Unable to open 1394 device driver BRENNOCK.SYS"},
    {2, "Unable to close 1394 device driver BRENNOCK.SYS"},
    {3, "Access to the 1394 device driver was denied"},
    {4, "Internal driver error (GetLastError = 4660)"},
    {5, "An API function parameter was invalid"},
    {6, "Unable to create or open (null)"},
    {7, "A read / write error occurred while accessing (null)"},
    {8, "Unable to allocate 4660 byte memory block"},
    {9, "1394 Quadlet read of address offset 0x00001234 failed"},
    {10, "1394 Quadlet write of address offset 0x00001234 failed"},
    {11, "The TQ6410 device could not be detected"},
    {12, "The TQ6410 device could not be relocated after reset"},
    {13, "Unable to load flash data file"},
    {14, "Failed to switch device to upload mode"},
    {15, "Failed to switch device to flash port programming mode"},
    {16, "Unable to download firmware revision time stamp"},
    {17, "Unable to download configuration"},
    {18, "Error uploading file (null)"},
    {19, "Unable to import configuration file"},
    {20, "Unable to generate configuration file"},
    {21, "The operation was cancelled and could not be completed"},
    {22, "Flash sector erase failed (sector at 0x01234)"},
    {23, "Flash sector erase timed out (sector at 0x01234)"},
    {24, "File too large for selected flash (4660 bytes)"},
    {25, "Bootstrap firmware upload failed"},
    {26, "Firmware upload failed"},
    {27, "Configuration upload failed"},
    {28, "Flash reset failed"},
    {29, "Bus reset failed"},
    {30, "Device reset failed"},
    {31, "Processor reset failed"},
};

TEST_F(ErrorTextTest, EveryCodeWithANumberArgument) {
    SetMessageArgument(0x1234);
    for (const TextCase& c : kTexts) {
        char text[128];
        std::memset(text, '#', sizeof text);
        ASSERT_EQ(GetErrorText(c.code, text), 0u) << c.code;
        EXPECT_STREQ(text, c.text) << c.code;
        EXPECT_LT(std::strlen(text), 64u);
    }
    EXPECT_TRUE(debug_.Pieces().empty());
}

TEST_F(ErrorTextTest, FileNamePlaceholdersShowTheStoredCopy) {
    std::string name = "C:\\images\\firmware.bin";
    SetMessageText(name.c_str());
    name.assign(name.size(), 'x');  // the caller's buffer changes afterwards
    const std::pair<uint32_t, const char*> cases[] = {
        {6, "Unable to create or open C:\\images\\firmware.bin"},
        {7, "A read / write error occurred while accessing C:\\images\\firmware.bin"},
        {18, "Error uploading file C:\\images\\firmware.bin"},
        // A number placeholder never shows the text's address.
        {9, "1394 Quadlet read of address offset 0x00000000 failed"},
        {24, "File too large for selected flash (0 bytes)"},
    };
    for (const auto& [code, expected] : cases) {
        char text[256];
        ASSERT_EQ(GetErrorText(code, text), 0u);
        EXPECT_STREQ(text, expected);
    }
}

TEST_F(ErrorTextTest, LongFileNameIsCutToTheKeptLength) {
    std::string name(3000, 'n');
    EXPECT_EQ(ReportFileFailure(6, name.c_str()), 6u);
    std::string text(4000, '\0');
    ASSERT_EQ(GetErrorText(6, text.data()), 0u);
    EXPECT_EQ(std::string(text.c_str()), "Unable to create or open " + std::string(kMessageTextSize - 1, 'n'));
}

TEST_F(ErrorTextTest, NumbersFormattedWithPrintfRules) {
    struct Case {
        uint32_t code, argument;
        const char* text;
    } cases[] = {
        {4, 0, "Internal driver error (GetLastError = 0)"},
        {4, 0xFFFFFFFF, "Internal driver error (GetLastError = -1)"},
        {9, 0xF0090014, "1394 Quadlet read of address offset 0xF0090014 failed"},
        {10, 0xF0090008, "1394 Quadlet write of address offset 0xF0090008 failed"},
        {22, 0x10000, "Flash sector erase failed (sector at 0x10000)"},
        {22, 0x200, "Flash sector erase failed (sector at 0x00200)"},
        {23, 0x1F0000, "Flash sector erase timed out (sector at 0x1F0000)"},
    };
    for (const Case& c : cases) {
        SetMessageArgument(c.argument);
        char text[128];
        ASSERT_EQ(GetErrorText(c.code, text), 0u);
        EXPECT_STREQ(text, c.text);
    }
}

TEST_F(ErrorTextTest, BeforeAnyOpenTheArgumentIsZero) {
    char text[64];
    ASSERT_EQ(GetErrorText(4, text), 0u);
    EXPECT_STREQ(text, "Internal driver error (GetLastError = 0)");
    ASSERT_EQ(GetErrorText(6, text), 0u);
    EXPECT_STREQ(text, "Unable to create or open (null)");
}

TEST_F(ErrorTextTest, OutOfRangeCodeOrNullBufferReturnsFiveAndTouchesNothing) {
    g_api.traceFlags = TRACE_ERROR | TRACE_API;
    SetMessageArgument(42);
    char text[64];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(GetErrorText(32, text), 5u);
    EXPECT_EQ(GetErrorText(0xFFFFFFFF, text), 5u);
    EXPECT_EQ(text[0], '#');
    EXPECT_EQ(GetErrorText(0, nullptr), 5u);
    EXPECT_EQ(g_api.messageArgument.number, 42u);
    EXPECT_TRUE(debug_.Pieces().empty());
}

TEST_F(ErrorTextTest, FailureReportIsOnePieceUnderTraceError) {
    g_api.traceFlags = TRACE_ERROR;
    EXPECT_EQ(ReportFailure(10, 0xF0090008), 10u);
    EXPECT_EQ(ReportFileFailure(18, "loader.bin"), 18u);
    EXPECT_EQ(debug_.Pieces(), (std::vector<std::string>{
                                   "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090008 failed\n",
                                   "LORIC ERROR: Error uploading file loader.bin\n"}));
}

TEST_F(ErrorTextTest, FailureReportWithoutTraceErrorOnlyStoresTheArgument) {
    g_api.traceFlags = TRACE_API | TRACE_VERBOSE;
    EXPECT_EQ(ReportFailure(8, 1028), 8u);
    EXPECT_TRUE(debug_.Pieces().empty());
    char text[64];
    ASSERT_EQ(GetErrorText(8, text), 0u);
    EXPECT_STREQ(text, "Unable to allocate 1028 byte memory block");
}

TEST_F(ErrorTextTest, ErrorLineOfAVeryLongNameIsCutToThePieceBuffer) {
    g_api.traceFlags = TRACE_ERROR;
    std::string name(2000, 'f');
    ReportFileFailure(7, name.c_str());
    ASSERT_EQ(debug_.Pieces().size(), 1u);
    EXPECT_EQ(debug_.Pieces()[0].size(), 1023u);
    EXPECT_EQ(debug_.Pieces()[0].rfind("LORIC ERROR: A read / write error occurred while accessing fff", 0), 0u);
}

}  // namespace
}  // namespace loric::test
