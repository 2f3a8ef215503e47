#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program/upload.h"
#include "upload_test_util.h"

namespace loric::test {
namespace {

std::vector<int> Percents(bool withFinal = true) {
    std::vector<int> p;
    for (int i = 0; i < 50; ++i) p.push_back(2 * i);
    if (withFinal) p.push_back(100);
    return p;
}

TEST_F(UploadTest, HundredThousandBytesByTheUploader) {
    const std::vector<uint8_t> file = PatternBytes(100000);
    WriteImage("img.bin", file);
    recorder_.SetReadValue(FLASH_UPLOAD_CHECKSUM, QuadletSum(file));
    SetTitle("Uploading firmware...");

    ASSERT_EQ(Upload("img.bin", 0x4000, UPLOAD_METHOD_UPLOADER, nullptr, true, true), 0u);

    // The start address first, then 50 blocks of 2000 bytes, then the device's checksum.
    std::vector<std::string> expected{"WF0090008=00004000"};
    for (uint32_t i = 0; i < 50; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "U%X+2000", 0x4000 + i * 2000);
        expected.push_back(text);
    }
    expected.push_back("RF0090004");
    EXPECT_EQ(Sequence(), expected);
    for (const SentBlock& b : Blocks()) {
        EXPECT_EQ(b.uploadMode, 0x01000008u);  // set 1 in bits 24-31, 8-bit bus in bits 3-4
        EXPECT_EQ(b.dataField, 0u);
    }
    EXPECT_EQ(UploadedBytes(), file);
    EXPECT_EQ(ProgressLog::percents, Percents());

    ASSERT_EQ(titles_.size(), 51u);
    EXPECT_EQ(titles_[0], "Uploading firmware... 0%");
    EXPECT_EQ(titles_[21], "Uploading firmware... 42%");
    EXPECT_EQ(titles_[49], "Uploading firmware... 98%");
    EXPECT_EQ(titles_[50], "Uploading firmware... 100%");
    EXPECT_STREQ(window_.title, "Uploading firmware... 100%");
}

TEST_F(UploadTest, ShortFileThroughTheFlashPortOnASixteenBitBus) {
    device_.busWidth = 16;
    const std::vector<uint8_t> file = PatternBytes(1001);
    WriteImage("img.bin", file);
    SetTitle("Saved");

    ASSERT_EQ(Upload("img.bin", 0x10000, UPLOAD_METHOD_FLASH_PORT, nullptr, true, true), 0u);

    // 1004 bytes in steps of 24: 41 full steps, one of 20, then 8 empty ones, each at the
    // next word address (12 words per step). No start address write, no checksum read.
    std::vector<std::string> expected{"D20"};
    for (uint32_t i = 0; i < 50; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "P%X+%u", 0x10000 + i * 12, i < 41 ? 24u : i == 41 ? 20u : 0u);
        expected.push_back(text);
    }
    EXPECT_EQ(Sequence(), expected);
    for (const SentBlock& b : Blocks()) EXPECT_EQ(b.uploadMode, 0x01000011u);

    std::vector<uint8_t> image = file;
    image.resize(1004, 0);  // pad bytes are zero
    EXPECT_EQ(UploadedBytes(), image);

    // Below 1024 bytes the title stays as it was; the callback is still asked.
    EXPECT_TRUE(titles_.empty());
    EXPECT_STREQ(window_.title, "Saved");
    EXPECT_EQ(ProgressLog::percents, Percents());
}

TEST_F(UploadTest, ThousandTwentyFourBytesShowTheTitle) {
    WriteImage("img.bin", PatternBytes(1024));
    SetTitle("Uploading firmware...");
    ASSERT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER, nullptr, true, false), 0u);

    std::vector<uint32_t> counts;
    for (const SentBlock& b : Blocks()) counts.push_back(b.byteCount);
    std::vector<uint32_t> expected(42, 24);
    expected.push_back(16);
    expected.resize(50, 0);
    EXPECT_EQ(counts, expected);

    std::vector<std::string> titles;
    for (int p : Percents()) titles.push_back("Uploading firmware... " + std::to_string(p) + "%");
    EXPECT_EQ(titles_, titles);
}

TEST_F(UploadTest, UploadModeWord) {
    struct Case {
        uint8_t busWidth;
        int32_t commandSet;
        uint32_t flags;
        uint32_t mode;
        bool flashPort;
    } cases[] = {
        {8, 1, 0, 0x01000008, false},      {16, 5, 0, 0x05000010, false},
        {32, 2, 0, 0x02000000, false},     {8, 0x304, 1, 0x04000009, true},
        {16, 0, 0x104, 0x00000114, false}, {32, 6, 3, 0x06000003, true},
    };
    WriteImage("img.bin", PatternBytes(64));
    for (const Case& c : cases) {
        device_.busWidth = c.busWidth;
        device_.commandSetIndex = c.commandSet;
        recorder_.ClearRequests();
        ASSERT_EQ(Upload("img.bin", 0, c.flags), 0u);
        std::vector<SentBlock> blocks = Blocks();
        ASSERT_EQ(blocks.size(), 50u);
        EXPECT_EQ(blocks[0].uploadMode, c.mode) << int(c.busWidth) << " " << c.flags;
        EXPECT_EQ(blocks[0].flashPort, c.flashPort);
    }
}

TEST_F(UploadTest, FullTraceOfAFlashPortUpload) {
    Open(TRACE_ERROR | TRACE_API | TRACE_API_VERBOSE | TRACE_INTERNAL);
    WriteImage("img.bin", PatternBytes(8));
    ASSERT_EQ(Upload("img.bin", 0x1000, UPLOAD_METHOD_FLASH_PORT), 0u);

    std::string expected =
        "API_TRACE: Enter UploadFile to address 00001000\n"
        "API_TRACE: Upload file length 8 (8)\n"
        "API_TRACE: Setting byte prog delay to 20 uS\n"
        "INTERNAL: Enter SetByteProgramDelay\n"
        "INTERNAL: Exit SetByteProgramDelay (ret 1)\n";
    uint32_t remaining = 8;
    for (int i = 0; i < 50; ++i) {
        uint32_t length = remaining < 4 ? remaining : 4;
        expected += "API_TRACEV: Uploading segment " + std::to_string(i) + " - " + std::to_string(length) +
                    " bytes (of " + std::to_string(remaining) + " remaining)...\n";
        expected += "INTERNAL: Enter UploadBuffer\nINTERNAL: Flash port upload method (SLOW)\n"
                    "INTERNAL: Exit UploadBuffer (ret 1)\n";
        remaining -= length;
    }
    expected += "API_TRACE: Exit UploadFile (ret 0)\n\n";
    EXPECT_EQ(debug_.Text(), expected);
    // Every line is two pieces: prefix, then text.
    EXPECT_EQ(debug_.Pieces()[0], "API_TRACE: ");
    EXPECT_EQ(debug_.Pieces()[1], "Enter UploadFile to address 00001000\n");
}

TEST_F(UploadTest, UploaderMethodTraceAndOddLengthRounding) {
    Open(TRACE_API | TRACE_INTERNAL);
    WriteImage("img.bin", PatternBytes(4093));
    ASSERT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER), 0u);
    const std::string text = debug_.Text();
    EXPECT_NE(text.find("API_TRACE: Upload file length 4096 (1000)\n"), std::string::npos);
    EXPECT_NE(text.find("INTERNAL: Enter UploadBuffer\nINTERNAL: Uploader upload method (FAST)\n"
                        "INTERNAL: Exit UploadBuffer (ret 1)\n"),
              std::string::npos);
    EXPECT_EQ(text.find("SLOW"), std::string::npos);
    EXPECT_EQ(UploadedBytes().size(), 4096u);
}

std::string LengthLine(size_t fileLength) {
    char line[64];
    const unsigned rounded = static_cast<unsigned>((fileLength + 3) & ~size_t{3});
    std::snprintf(line, sizeof line, "API_TRACE: Upload file length %u (%X)\n", rounded, rounded);
    return line;
}

// An image of `length` pattern bytes with a parameter section at `offset`.
std::vector<uint8_t> ImageWithSection(size_t length, size_t offset, const char* countText) {
    std::vector<uint8_t> image = PatternBytes(length, 7);
    std::string section = std::string(kParameterMarker) + countText;
    std::copy(section.begin(), section.end(), image.begin() + offset);
    image[offset + section.size()] = 0;
    return image;
}

void StoreLe(std::vector<uint8_t>& image, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) image[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST_F(UploadTest, ParameterLandsAtTheNextQuadletSixteenBytesOn) {
    const struct {
        size_t marker;
        size_t parameter;
    } cases[] = {{0x100, 0x110}, {0x101, 0x114}, {0x102, 0x114}, {0x103, 0x114}, {0x104, 0x114}};
    for (const auto& c : cases) {
        const std::vector<uint8_t> file = ImageWithSection(0x200, c.marker, "03");
        WriteImage("fw.bin", file);
        std::vector<uint8_t> expected = file;
        StoreLe(expected, c.parameter, 0xA1B2C3D4);
        // The device sums what it received: the sum must cover the patched value.
        recorder_.SetReadValue(FLASH_UPLOAD_CHECKSUM, QuadletSum(expected));
        recorder_.ClearRequests();
        uint32_t parameter = 0xA1B2C3D4;
        ASSERT_EQ(Upload("fw.bin", 0, UPLOAD_METHOD_UPLOADER, &parameter), 0u) << c.marker;
        EXPECT_EQ(UploadedBytes(), expected) << c.marker;  // only parameter 1 changes
        EXPECT_EQ(ParameterOffset(static_cast<uint32_t>(c.marker)), c.parameter);
    }
}

TEST_F(UploadTest, ParameterSectionTrace) {
    Open(TRACE_ERROR | TRACE_INTERNAL);
    std::vector<uint8_t> file = ImageWithSection(0x40, 0x08, "03");
    StoreLe(file, 0x18, 0x11223344);
    StoreLe(file, 0x1C, 0xDEADBEEF);
    StoreLe(file, 0x20, 0x00000005);
    WriteImage("fw.bin", file);
    uint32_t parameter = 0x7;
    ASSERT_EQ(Upload("fw.bin", 0, UPLOAD_METHOD_FLASH_PORT, &parameter), 0u);
    const std::string text = debug_.Text();
    EXPECT_EQ(text.substr(0, text.find("INTERNAL: Enter SetByteProgramDelay")),
              "INTERNAL: Enter PokeParameters\n"
              "INTERNAL: 3 Quadlet parameter section found in file\n"
              "INTERNAL: File Param 1 = 0x11223344\n"
              "INTERNAL: File Param 2 = 0xdeadbeef\n"
              "INTERNAL: File Param 3 = 0x00000005\n"
              "INTERNAL: Exit PokeParameters (ret 1)\n");

    // Without a section the image goes up unchanged.
    debug_.Clear();
    recorder_.ClearRequests();
    const std::vector<uint8_t> plain = PatternBytes(0x40, 3);
    WriteImage("plain.bin", plain);
    ASSERT_EQ(Upload("plain.bin", 0, UPLOAD_METHOD_FLASH_PORT, &parameter), 0u);
    EXPECT_EQ(UploadedBytes(), plain);
    EXPECT_EQ(debug_.Text().substr(0, debug_.Text().find("INTERNAL: Enter SetByteProgramDelay")),
              "INTERNAL: Enter PokeParameters\n"
              "ERROR INFO: No parameter section found in file!\n"
              "INTERNAL: Exit PokeParameters (ret 1)\n");
}

TEST_F(UploadTest, UnusableParameterSectionsSendNothing) {
    struct Case {
        std::vector<uint8_t> image;
        std::string detail;
    } cases[] = {
        {ImageWithSection(0x200, 0x100, "00"), "ERROR INFO: Attempting to poke too many parameters (1 > 0)\n"},
        {ImageWithSection(0x200, 0x100, "zz"), ""},
        // Parameter 1 would start at the image's end.
        {ImageWithSection(0x20, 0x10, "01"), ""},
        // The count itself would lie beyond the image.
        {ImageWithSection(0x1E, 0x10, ""), ""},
    };
    for (Case& c : cases) {
        if (c.image.size() == 0x1E) c.image.resize(0x1D);
        WriteImage("fw.bin", c.image);
        debug_.Clear();
        recorder_.ClearRequests();
        uint32_t parameter = 1;
        EXPECT_EQ(Upload("fw.bin", 0, UPLOAD_METHOD_UPLOADER, &parameter), 18u);
        EXPECT_TRUE(recorder_.Requests().empty());
        EXPECT_EQ(debug_.Text(), "API_TRACE: Enter UploadFile to address 00000000\n" +
                                     LengthLine(c.image.size()) + c.detail +
                                     "ERROR INFO: Poke Parameters failed!\n"
                                     "LORIC ERROR: Error uploading file fw.bin\n"
                                     "API_TRACE: Exit UploadFile (ret 18)\n\n");
    }
    // Without a parameter the same image goes up as it is.
    recorder_.ClearRequests();
    ASSERT_EQ(Upload("fw.bin", 0, UPLOAD_METHOD_UPLOADER), 0u);
    EXPECT_EQ(Blocks().size(), 50u);
}

TEST_F(UploadTest, DeviceChecksum) {
    const std::vector<uint8_t> file = PatternBytes(3000);
    const uint32_t sum = QuadletSum(file);
    WriteImage("img.bin", file);
    struct Case {
        uint32_t deviceValue;
        uint32_t status;
    } cases[] = {{0, 0}, {sum, 0}, {sum + 1, 18}};
    for (const Case& c : cases) {
        recorder_.SetReadValue(FLASH_UPLOAD_CHECKSUM, c.deviceValue);
        debug_.Clear();
        EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER), c.status);
        if (c.status != 0) {
            char line[256];
            std::snprintf(line, sizeof line,
                          "LORIC ERROR: Error uploading file img.bin\n"
                          "ERROR INFO: Device checksum mismatch! Ret = %.8X Calc = %.8X\n"
                          "API_TRACE: Exit UploadFile (ret 18)\n\n",
                          sum + 1, sum);
            const std::string text = debug_.Text();
            ASSERT_GE(text.size(), std::strlen(line));
            EXPECT_EQ(text.substr(text.size() - std::strlen(line)), line);
        }
    }

    // The internal flash keeps no checksum: nothing is read.
    device_.attributes = 3 | (FLASH_INTERNAL_DEVICE_ID << FLASH_ATTR_ID_SHIFT);
    recorder_.ClearRequests();
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER), 0u);
    EXPECT_EQ(Sequence().back(), "UB7C+60");  // the last step, 49 x 60 bytes on
    EXPECT_EQ(Sequence().front(), "WF0090008=00000000");
}

TEST_F(UploadTest, CancelAtTenPercent) {
    WriteImage("img.bin", PatternBytes(5000));
    SetTitle("Up");
    ProgressLog::cancelAt = 10;
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER, nullptr, true, true), 21u);
    EXPECT_EQ(Blocks().size(), 6u);
    EXPECT_EQ(ProgressLog::percents, (std::vector<int>{0, 2, 4, 6, 8, 10}));
    EXPECT_STREQ(window_.title, "Up 10%");  // the last percentage stays
    EXPECT_EQ(Sequence().back(), "U1F4+100");  // no checksum read
    EXPECT_EQ(g_api.messageArgument.number, 0u);
    const std::string text = debug_.Text();
    EXPECT_NE(text.find("LORIC ERROR: The operation was cancelled and could not be completed\n"
                        "API_TRACE: Exit UploadFile (ret 21)\n\n"),
              std::string::npos);

    // The final 100 is reported but its answer is ignored.
    ProgressLog::Reset();
    ProgressLog::cancelAt = 100;
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER, nullptr, true, true), 0u);
    EXPECT_EQ(ProgressLog::percents.back(), 100);
}

TEST_F(UploadTest, LinkFailures) {
    WriteImage("img.bin", PatternBytes(400));
    char text[128];

    // A step fails: the error line, then the step it was.
    std::atomic<int> uploads{0};
    recorder_.SetHandler([&](const RecordedRequest& r) -> std::optional<ScriptedReply> {
        if (r.code == IOCTL_UPLOAD_UPLOADER && ++uploads == 4) return ScriptedReply::Failure(1117);
        return std::nullopt;
    });
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER, nullptr, false, true), 18u);
    EXPECT_EQ(Blocks().size(), 4u);
    EXPECT_EQ(ProgressLog::percents, (std::vector<int>{0, 2, 4}));
    std::string trace = debug_.Text();
    EXPECT_NE(trace.find("ERROR INFO: UploadBuffer Error = 1117\n"
                         "LORIC ERROR: Error uploading file img.bin\n"
                         "ERROR INFO: UploadBuffer error! (segment 3)\n"
                         "API_TRACE: Exit UploadFile (ret 18)\n\n"),
              std::string::npos)
        << trace;
    ASSERT_EQ(GetErrorText(18, text), 0u);
    EXPECT_STREQ(text, "Error uploading file img.bin");
    recorder_.SetHandler(nullptr);

    // The start address cannot be written: nothing is uploaded.
    recorder_.ClearRequests();
    debug_.Clear();
    recorder_.FailNext(IOCTL_ASYNC_WRITE, 1117);
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER), 10u);
    EXPECT_TRUE(Blocks().empty());
    trace = debug_.Text();
    const std::string tail = "LORIC ERROR: 1394 Quadlet write of address offset 0xF0090008 failed\n"
                             "ERROR INFO: 1394 Write error to FLASH_UPLOAD_CTRL!\n"
                             "API_TRACE: Exit UploadFile (ret 10)\n\n";
    ASSERT_GE(trace.size(), tail.size());
    EXPECT_EQ(trace.substr(trace.size() - tail.size()), tail);
    ASSERT_EQ(GetErrorText(10, text), 0u);
    EXPECT_STREQ(text, "1394 Quadlet write of address offset 0xF0090008 failed");

    // The checksum cannot be read.
    recorder_.FailNext(IOCTL_ASYNC_READ, 1117);
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER), 9u);
    ASSERT_EQ(GetErrorText(9, text), 0u);
    EXPECT_STREQ(text, "1394 Quadlet read of address offset 0xF0090004 failed");

    // The byte program delay is refused: logged, and the upload goes on.
    debug_.Clear();
    recorder_.ClearRequests();
    recorder_.FailNext(IOCTL_SET_BYTE_PROGRAM_DELAY, 31);
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_FLASH_PORT), 0u);
    EXPECT_EQ(Blocks().size(), 50u);
    EXPECT_NE(debug_.Text().find("ERROR INFO: SetByteProgramDelay Error = 31\n"), std::string::npos);
    EXPECT_EQ(g_api.messageArgument.number, 31u);
}

TEST_F(UploadTest, RefusedBeforeAnythingIsSent) {
    WriteImage("img.bin", PatternBytes(100));
    WriteImage("empty.bin", {});
    char text[128];
    for (uint8_t width : {0, 4, 24, 64}) {
        device_.busWidth = width;
        EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER), 5u) << int(width);
    }
    device_.busWidth = 8;
    EXPECT_EQ(UploadFile(kNode, nullptr, 0, 0, &device_, nullptr, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFile(kNode, "img.bin", 0, 0, nullptr, nullptr, nullptr, nullptr), 5u);

    EXPECT_EQ(Upload("missing.bin", 0, UPLOAD_METHOD_UPLOADER), 6u);
    ASSERT_EQ(GetErrorText(6, text), 0u);
    EXPECT_STREQ(text, "Unable to create or open missing.bin");

    debug_.Clear();
    EXPECT_EQ(Upload("empty.bin", 0x20, UPLOAD_METHOD_UPLOADER), 7u);
    EXPECT_EQ(debug_.Text(), "API_TRACE: Enter UploadFile to address 00000020\n"
                             "API_TRACE: Upload file length 0 (0)\n"
                             "LORIC ERROR: A read / write error occurred while accessing empty.bin\n"
                             "API_TRACE: Exit UploadFile (ret 7)\n\n");
    EXPECT_TRUE(recorder_.Requests().empty());

    CloseLORIC();
    debug_.Clear();
    EXPECT_EQ(Upload("img.bin", 0, UPLOAD_METHOD_UPLOADER), 3u);
    EXPECT_EQ(g_api.messageArgument.number, 0u);
}

}  // namespace
}  // namespace loric::test
