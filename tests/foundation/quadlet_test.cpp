// Quadlet access: request blocks, byte order, the verbose trace and failure reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/context.h"
#include "bus/async.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "support/api_fixture.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

using Bytes = std::vector<uint8_t>;

class QuadletTest : public ApiTest {
protected:
    void Open(uint32_t flags) {
        ASSERT_EQ(OpenLORIC(0), 0u);
        g_api.traceFlags = flags;
        driver_.ClearRequests();
    }
    RequestRecorder driver_;
};

// The header lines of a quadlet request at node 0xFFC1, offset 0xFFFF:F0090014.
std::string HeaderLines(const char* countName) {
    return std::string("VERBOSE: bRawMode = 1\r\n") +
           "VERBOSE: DestinationAddress.IA_Destination_ID.NA_Bus_Number = 0x3ff\r\n"
           "VERBOSE: DestinationAddress.IA_Destination_ID.NA_Node_Number = 0x1\r\n"
           "VERBOSE: DestinationAddress.IA_Destination_Offset.Off_High = 0xffff\r\n"
           "VERBOSE: DestinationAddress.IA_Destination_Offset.Off_Low = 0xf0090014\r\n"
           "VERBOSE: " + countName + " = 0x4\r\n"
           "VERBOSE: nBlockSize = 0x0\r\n"
           "VERBOSE: fulFlags = 0x0\r\n"
           "VERBOSE: ulGeneration = 0x0\r\n";
}

TEST_F(QuadletTest, ReadRequestBlockAndByteOrder) {
    Open(0);
    driver_.SetReadValue(FLASH_UPLOAD_CTRL, UPLOADER_READY);
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(0x7777FFC2, 0x1234FFFF, FLASH_UPLOAD_CTRL, &value), 0u);
    EXPECT_EQ(value, UPLOADER_READY);
    auto requests = driver_.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, 0x222008u);
    EXPECT_EQ(requests[0].outLength, 44u);
    Bytes expected = LittleEndianBytes({1, 1, 0xFFC2, 0xFFFF, 0xF0090008, 4, 0, 0, 0, 0, 0});
    EXPECT_EQ(requests[0].input, expected);
}

TEST_F(QuadletTest, WritePutsTheValueMostSignificantByteFirst) {
    Open(0);
    ASSERT_EQ(WriteQuadlet(0xFFC0, 0xFFFF, CSR_MODE_CTRL, MODE_EDIT), 0u);
    ASSERT_EQ(WriteQuadlet(0x3FF0005, 0xFFFF, 0, 0x01020304), 0u);
    auto requests = driver_.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, 0x22200Cu);
    EXPECT_EQ(requests[0].outLength, 44u);
    Bytes header = LittleEndianBytes({1, 1, 0xFFC0, 0xFFFF, 0xF0090010, 4, 0, 0, 0});
    Bytes expected = header;
    expected.insert(expected.end(), {0x45, 0x64, 0x69, 0x74, 0, 0, 0, 0});
    EXPECT_EQ(requests[0].input, expected);
    EXPECT_EQ(Bytes(requests[1].input.begin() + 36, requests[1].input.begin() + 40), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(requests[1].input[8], 0x05);  // only the low 16 bits of the node
    EXPECT_EQ(requests[1].input[9], 0x00);
}

TEST(SwapQuadlet, ReversesTheBytes) {
    uint32_t value = 0x01020304;
    SwapQuadlet(value);
    EXPECT_EQ(value, 0x04030201u);
    SwapQuadlet(value);
    EXPECT_EQ(value, 0x01020304u);
}

TEST_F(QuadletTest, VerboseAndInternalTraceOfASuccessfulRead) {
    Open(TRACE_VERBOSE | TRACE_INTERNAL);
    driver_.SetReadValue(0xF0090014, 0x01020304);
    uint32_t value = 0;
    ASSERT_EQ(ReadQuadlet(0xFFC1, 0xFFFF, 0xF0090014, &value), 0u);
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_EQ(debug_.Text(), "VERBOSE: Enter ReadQuadlet\n"
                             "INTERNAL: Enter AsyncRead\n" +
                                 HeaderLines("nNumberOfBytesToRead") +
                                 "VERBOSE: Quadlet[0x0] = 0x4030201\r\n"
                                 "INTERNAL: Exit AsyncRead (ret 0)\n"
                                 "VERBOSE: Exit ReadQuadlet (ret 0)\n");
    // Every line is two pieces: prefix, then text.
    ASSERT_EQ(debug_.Pieces().size(), 2u * 14);
    for (size_t i = 0; i < debug_.Pieces().size(); i += 2)
        EXPECT_TRUE(debug_.Pieces()[i] == "VERBOSE: " || debug_.Pieces()[i] == "INTERNAL: ") << i;
}

TEST_F(QuadletTest, WriteTracesTheDataBeforeSending) {
    Open(TRACE_VERBOSE | TRACE_INTERNAL | TRACE_ERROR);
    driver_.FailNext(IOCTL_ASYNC_WRITE, 0x79);
    EXPECT_EQ(WriteQuadlet(0xFFC1, 0xFFFF, 0xF0090014, 0x01020304), 10u);
    EXPECT_EQ(debug_.Text(), "VERBOSE: Enter WriteQuadlet\n"
                             "INTERNAL: Enter AsyncWrite\n" +
                                 HeaderLines("nNumberOfBytesToWrite") +
                                 "VERBOSE: Quadlet[0x0] = 0x4030201\r\n"
                                 "ERROR INFO: AsynWrite Error = 0x79\r\n"
                                 "INTERNAL: Exit AsyncWrite (ret 121)\n"
                                 "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090014 failed\n"
                                 "VERBOSE: Exit WriteQuadlet (ret 10)\n");
}

TEST_F(QuadletTest, FailedReadTracesDetailThenDataThenErrorLine) {
    Open(TRACE_VERBOSE | TRACE_INTERNAL | TRACE_ERROR);
    driver_.FailNext(IOCTL_ASYNC_READ, 1117);
    uint32_t value = 0x5A5A5A5A;
    EXPECT_EQ(ReadQuadlet(0xFFC1, 0xFFFF, 0xF0090014, &value), 9u);
    EXPECT_EQ(value, 0x5A5A5A5Au);
    EXPECT_EQ(debug_.Text(), "VERBOSE: Enter ReadQuadlet\n"
                             "INTERNAL: Enter AsyncRead\n" +
                                 HeaderLines("nNumberOfBytesToRead") +
                                 "ERROR INFO: AsyncRead Error = 0x45d\r\n"
                                 "VERBOSE: Quadlet[0x0] = 0x0\r\n"
                                 "INTERNAL: Exit AsyncRead (ret 1117)\n"
                                 "LORIC ERROR: 1394 Quadlet read of address offset 0xF0090014 failed\n"
                                 "VERBOSE: Exit ReadQuadlet (ret 9)\n");
    EXPECT_EQ(ReadDebugLog(), "");  // the log was not opened (flags 0 at open)
    char text[64];
    ASSERT_EQ(GetErrorText(9, text), 0u);
    EXPECT_STREQ(text, "1394 Quadlet read of address offset 0xF0090014 failed");
}

TEST_F(QuadletTest, ErrorOnlyTraceOfAFailedRead) {
    Open(TRACE_ERROR);
    driver_.FailNext(IOCTL_ASYNC_READ, 31);
    uint32_t value;
    EXPECT_EQ(ReadQuadlet(0, 0xFFFF, 0xF0090004, &value), 9u);
    EXPECT_EQ(debug_.Pieces(), (std::vector<std::string>{
                                   "ERROR INFO: ", "AsyncRead Error = 0x1f\r\n",
                                   "LORIC ERROR: 1394 Quadlet read of address offset 0xF0090004 failed\n"}));
}

TEST_F(QuadletTest, ClosedAndBadArgumentOrder) {
    g_api.traceFlags = TRACE_VERBOSE | TRACE_ERROR;
    EXPECT_EQ(ReadQuadlet(0, 0xFFFF, 0, nullptr), 3u);
    EXPECT_EQ(debug_.Text(), "VERBOSE: Enter ReadQuadlet\n"
                             "LORIC ERROR: Access to the 1394 device driver was denied\n"
                             "VERBOSE: Exit ReadQuadlet (ret 3)\n");
    debug_.Clear();
    EXPECT_EQ(WriteQuadlet(0, 0xFFFF, 0, 0), 3u);
    EXPECT_EQ(debug_.Text(), "VERBOSE: Enter WriteQuadlet\n"
                             "LORIC ERROR: Access to the 1394 device driver was denied\n"
                             "VERBOSE: Exit WriteQuadlet (ret 3)\n");
    ASSERT_EQ(OpenLORIC(0), 0u);
    g_api.traceFlags = TRACE_VERBOSE | TRACE_ERROR;
    debug_.Clear();
    EXPECT_EQ(ReadQuadlet(0, 0xFFFF, 0, nullptr), 5u);
    EXPECT_EQ(debug_.Text(), "VERBOSE: Enter ReadQuadlet\n"
                             "LORIC ERROR: An API function parameter was invalid\n"
                             "VERBOSE: Exit ReadQuadlet (ret 5)\n");
    EXPECT_TRUE(driver_.Requests().empty());
}

TEST_F(QuadletTest, ApiTraceAloneShowsNoQuadletLines) {
    Open(TRACE_API | TRACE_API_VERBOSE | TRACE_WARNING);
    uint32_t value;
    ASSERT_EQ(ReadQuadlet(0, 0xFFFF, 0, &value), 0u);
    ASSERT_EQ(WriteQuadlet(0, 0xFFFF, 0, 0), 0u);
    EXPECT_TRUE(debug_.Pieces().empty());
}

TEST_F(QuadletTest, LogFileGetsTheSameBytesWithCarriageReturns) {
    ASSERT_EQ(OpenLORIC(TRACE_VERBOSE), 0u);
    ASSERT_EQ(WriteQuadlet(0xFFC1, 0xFFFF, 0xF0090014, 0x01020304), 0u);
    std::string expected = "VERBOSE: Enter WriteQuadlet\n" + HeaderLines("nNumberOfBytesToWrite") +
                           "VERBOSE: Quadlet[0x0] = 0x4030201\r\n"
                           "VERBOSE: Exit WriteQuadlet (ret 0)\n";
    std::string crlf;
    for (char c : expected) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    EXPECT_EQ(ReadDebugLog(), crlf);  // "\r\n" in a piece is stored as "\r\r\n"
}

}  // namespace
}  // namespace loric::test
