// UploadFile against the driver stand-in. Every case of the table adds its status, the requests
// in order, the upload modes, window titles, callback percentages, what the uploaded bytes
// differ from the file in, and the trace to tests/data/upload/upload_file.txt.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "api/context.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "program/program_test_util.h"
#include "program/upload.h"
#include "support/api_fixture.h"

namespace loric::test {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t QuadletSum(const Bytes& bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) sum += LittleEndianAt(bytes, i);
    return sum;
}
// `length` pattern bytes with a parameter section "FWPARAMETERS_<count>" at `offset`.
Bytes WithSection(size_t length, size_t offset, const char* count, std::vector<std::pair<size_t, uint32_t>> words = {}) {
    Bytes image = Pattern(length, 7);
    const std::string section = std::string(kParameterMarker) + count;
    std::copy(section.begin(), section.end() + 1, image.begin() + offset);  // with its NUL
    for (const auto& [at, value] : words) image = WithParameter(image, at, value);
    return image;
}

std::vector<int> g_percents;
int g_cancelAt;
uint32_t LORIC_CDECL Progress(uint8_t percent) {
    g_percents.push_back(percent);
    return percent == g_cancelAt ? 1u : 0u;
}

struct Case {
    const char* name;
    Bytes file;
    uint32_t address = 0;
    uint32_t flags = UPLOAD_METHOD_UPLOADER;
    std::optional<uint32_t> parameter = {};
    const char* title = nullptr;  // a progress window with this title; nullptr: none
    bool callback = false;
    uint32_t trace = TRACE_ERROR | TRACE_API;
    std::function<void(FLASH_DEVICE&, RequestRecorder&)> arrange = {};
};

class Upload : public ApiTest {
protected:
    RequestRecorder recorder_;

    void Run(Transcript& t, const Case& c) {
        FLASH_DEVICE device;
        MakeDevice(device, 8, {0x10000}, 0, 0);
        recorder_.ClearScript();
        recorder_.SetReadValue(FLASH_UPLOAD_CHECKSUM, QuadletSum(c.file));
        if (c.arrange) c.arrange(device, recorder_);
        WriteFile("img.bin", c.file);
        ResetApiContext();
        ASSERT_EQ(OpenLORIC(c.trace), 0u);
        TitleLog window;
        if (c.title) std::snprintf(window.window.title, sizeof window.window.title, "%s", c.title);
        g_percents.clear();
        recorder_.ClearRequests();
        debug_.Clear();
        uint32_t parameter = c.parameter.value_or(0);
        const uint32_t status = UploadFile(0xFFC0, std::string(c.name) == "missing file" ? "missing.bin" : "img.bin",
                                           c.address, c.flags, &device, c.parameter ? &parameter : nullptr,
                                           c.title ? window.Handle() : nullptr, c.callback ? &Progress : nullptr);
        t.Add("== %s\nstatus %u\n", c.name, status);
        if (status != 0) {
            char text[256];
            GetErrorText(status, text);
            t.Add("text: %s\n", text);
        }
        // The requests and the trace, the titles and percentages; where the bytes uploaded differ
        // from the file padded to whole quadlets.
        t.Text(RequestTranscript(recorder_, debug_.Text(), c.title ? &window : nullptr));
        if (c.title) t.Add("final title: %s\n", window.window.title);
        if (!g_percents.empty()) t.Add("percents:");
        for (int p : g_percents) t.Add(" %d", p);
        if (!g_percents.empty()) t.Add("\n");
        Bytes uploaded, padded = ReadAll("img.bin");
        for (const RecordedRequest& r : recorder_.Requests())
            uploaded.insert(uploaded.end(), r.uploadData.begin(), r.uploadData.end());
        padded.resize((padded.size() + 3) & ~size_t{3}, 0);
        if (!uploaded.empty()) t.Add("uploaded %zu bytes", uploaded.size());
        for (size_t i = 0; i < uploaded.size(); ++i)
            if (i >= padded.size() || uploaded[i] != padded[i]) t.Add(", %zX: %02X", i, uploaded[i]);
        if (!uploaded.empty()) t.Add("\n");
        CloseLORIC();
    }
};

TEST_F(Upload, Cases) {
    const Bytes big = Pattern(100000, 1);
    auto checksum = [](uint32_t value) {
        return [value](FLASH_DEVICE&, RequestRecorder& r) { r.SetReadValue(FLASH_UPLOAD_CHECKSUM, value); };
    };
    auto device = [](uint8_t width, int32_t set) {
        return [width, set](FLASH_DEVICE& d, RequestRecorder&) {
            d.busWidth = width;
            d.commandSetIndex = set;
        };
    };
    const Bytes small = Pattern(3000, 1);
    Case cases[] = {
        {"100000 bytes by the uploader", big, 0x4000, UPLOAD_METHOD_UPLOADER, {}, "Uploading firmware...", true},
        {"1001 bytes by the flash port, 16-bit bus", Pattern(1001, 1), 0x10000, UPLOAD_METHOD_FLASH_PORT, {}, "Saved",
         true, TRACE_ERROR | TRACE_API, device(16, 1)},
        {"1024 bytes show the title", Pattern(1024, 1), 0, UPLOAD_METHOD_UPLOADER, {}, "Uploading firmware..."},
        {"mode: set 5, 16 bits", Pattern(64, 1), 0, 0, {}, nullptr, false, 0, device(16, 5)},
        {"mode: set 2, 32 bits", Pattern(64, 1), 0, 0, {}, nullptr, false, 0, device(32, 2)},
        {"mode: set 304, flash port", Pattern(64, 1), 0, 1, {}, nullptr, false, 0, device(8, 0x304)},
        {"mode: flags 104", Pattern(64, 1), 0, 0x104, {}, nullptr, false, 0, device(16, 0)},
        {"mode: flags 3, 32 bits", Pattern(64, 1), 0, 3, {}, nullptr, false, 0, device(32, 6)},
        {"full trace of a flash port upload", Pattern(8, 1), 0x1000, UPLOAD_METHOD_FLASH_PORT, {}, nullptr, false,
         TRACE_ERROR | TRACE_API | TRACE_API_VERBOSE | TRACE_INTERNAL},
        {"uploader trace, length rounded up", Pattern(4093, 1), 0, UPLOAD_METHOD_UPLOADER, {}, nullptr, false,
         TRACE_API | TRACE_INTERNAL},
        // The device sums what it received: the sum compared covers the parameter put in.
        {"parameter, marker at 100", WithSection(0x200, 0x100, "03"), 0, 0, 0xA1B2C3D4, nullptr, false, 0,
         checksum(QuadletSum(WithSection(0x200, 0x100, "03", {{0x110, 0xA1B2C3D4}})))},
        {"parameter, marker at 101", WithSection(0x200, 0x101, "03"), 0, 0, 0xA1B2C3D4, nullptr, false, 0, checksum(0)},
        {"parameter, marker at 104", WithSection(0x200, 0x104, "03"), 0, 0, 0xA1B2C3D4, nullptr, false, 0, checksum(0)},
        {"parameter section trace", WithSection(0x40, 8, "03", {{0x18, 0x11223344}, {0x1C, 0xDEADBEEF}, {0x20, 5}}), 0,
         UPLOAD_METHOD_FLASH_PORT, 7, nullptr, false, TRACE_ERROR | TRACE_INTERNAL},
        {"no parameter section", Pattern(0x40, 3), 0, UPLOAD_METHOD_FLASH_PORT, 7, nullptr, false,
         TRACE_ERROR | TRACE_INTERNAL},
        {"section with no room for its parameter", WithSection(0x200, 0x100, "00"), 0, 0, 1},
        {"section with an unreadable count", WithSection(0x200, 0, "zz"), 0, 0, 1},
        {"parameter at the image's end", WithSection(0x20, 0x10, "01"), 0, 0, 1},
        {"count beyond the image", [] {
             Bytes image = WithSection(0x1E, 0x10, "");
             image.pop_back();
             return image;
         }(), 0, 0, 1},
        {"unusable section without a parameter", WithSection(0x200, 0x100, "00"), 0, 0},
        {"device checksum 0 is not compared", small, 0, 0, {}, nullptr, false, TRACE_ERROR | TRACE_API, checksum(0)},
        {"device checksum mismatch", small, 0, 0, {}, nullptr, false, TRACE_ERROR | TRACE_API,
         checksum(QuadletSum(small) + 1)},
        {"internal flash: no checksum read", small, 0, 0, {}, nullptr, false, 0,
         [](FLASH_DEVICE& d, RequestRecorder&) { d.attributes = 3 | (FLASH_INTERNAL_DEVICE_ID << FLASH_ATTR_ID_SHIFT); }},
        {"cancelled at 10%", Pattern(5000, 1), 0, 0, {}, "Up", true, TRACE_ERROR | TRACE_API,
         [](FLASH_DEVICE&, RequestRecorder&) { g_cancelAt = 10; }},
        {"cancel at 100% comes too late", Pattern(5000, 1), 0, 0, {}, nullptr, true, 0,
         [](FLASH_DEVICE&, RequestRecorder&) { g_cancelAt = 100; }},
        {"the fourth step fails", Pattern(400, 1), 0, 0, {}, nullptr, true, TRACE_ERROR | TRACE_API,
         [](FLASH_DEVICE&, RequestRecorder& r) {
             auto uploads = std::make_shared<std::atomic<int>>(0);
             r.SetHandler([uploads](const RecordedRequest& q) -> std::optional<ScriptedReply> {
                 if (q.code == IOCTL_UPLOAD_UPLOADER && ++*uploads == 4) return ScriptedReply::Failure(1117);
                 return std::nullopt;
             });
         }},
        {"start address not written", Pattern(400, 1), 0, 0, {}, nullptr, false, TRACE_ERROR | TRACE_API,
         [](FLASH_DEVICE&, RequestRecorder& r) { r.FailNext(IOCTL_ASYNC_WRITE, 1117); }},
        {"checksum not read", Pattern(400, 1), 0, 0, {}, nullptr, false, TRACE_ERROR,
         [](FLASH_DEVICE&, RequestRecorder& r) { r.FailNext(IOCTL_ASYNC_READ, 1117); }},
        {"byte program delay refused", Pattern(400, 1), 0, UPLOAD_METHOD_FLASH_PORT, {}, nullptr, false, TRACE_ERROR,
         [](FLASH_DEVICE&, RequestRecorder& r) { r.FailNext(IOCTL_SET_BYTE_PROGRAM_DELAY, 31); }},
        {"bus width 0", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, device(0, 1)},
        {"bus width 4", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, device(4, 1)},
        {"bus width 24", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, device(24, 1)},
        {"bus width 64", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, device(64, 1)},
        {"missing file", Pattern(100, 1)},
        {"empty file", {}, 0x20},
    };
    Transcript t;
    for (const Case& c : cases) {
        g_cancelAt = -1;
        Run(t, c);
    }
    t.Check("upload/upload_file.txt");

    FLASH_DEVICE device8{};
    device8.busWidth = 8;
    EXPECT_EQ(UploadFile(0xFFC0, "img.bin", 0, 0, &device8, nullptr, nullptr, nullptr), 3u);  // closed
    ASSERT_EQ(OpenLORIC(0), 0u);
    EXPECT_EQ(UploadFile(0xFFC0, nullptr, 0, 0, &device8, nullptr, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFile(0xFFC0, "img.bin", 0, 0, nullptr, nullptr, nullptr, nullptr), 5u);
}

TEST(FileLength, KeepsThePositionAndLengthsBeyondThirtyTwoBitsAreUnknown) {
    FILE* file = std::tmpfile();
    std::fwrite("0123456789", 1, 10, file);
    std::fseek(file, 3, SEEK_SET);
    EXPECT_EQ(GetStreamLength(file), 10u);
    EXPECT_EQ(std::ftell(file), 3);
    std::fclose(file);
    EXPECT_EQ(GetStreamLength(nullptr), kUnknownLength);
    EXPECT_EQ(GetFileLength(nullptr), 0u);
    const std::string name = ::testing::TempDir() + "/loric_huge_test.bin";
    std::fclose(std::fopen(name.c_str(), "wb"));
    std::error_code error;
    std::filesystem::resize_file(name, 0x100000004ull, error);  // sparse: no disk space used
    if (!error) {
        EXPECT_EQ(GetFileLength(name.c_str()), kUnknownLength);
        std::filesystem::resize_file(name, 0xFFFFFFFEull, error);
        EXPECT_EQ(GetFileLength(name.c_str()), 0xFFFFFFFEu);
    }
    std::remove(name.c_str());
    EXPECT_EQ(GetFileLength(name.c_str()), 0u);
}

}  // namespace
}  // namespace loric::test
