// The programming sequences, the sector erase and the file upload at the level of the requests
// the driver receives: the erase range, the order of steps, the waits, the window titles, the
// bytes uploaded and the statuses of the failure paths.

#include "api/context.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "program/upload.h"
#include "program_test_util.h"
#include "support/fake_clock.h"

namespace loric::test {
namespace {

constexpr uint16_t kNode = 0xFFC3;

// 8-bit chip as LoadFlashData fills a record: eight sectors of 16384 bytes below the
// configuration sector at 0x20000 (a pointer into the record itself), and four of 65536 above it.
void EightBitDevice(FLASH_DEVICE& device, uint32_t deviceId = 1) {
    device = FLASH_DEVICE{};
    device.attributes = 3u | (deviceId << FLASH_ATTR_ID_SHIFT);
    device.busWidth = 8;
    device.commandSetIndex = 1;
    device.byteProgramDelay = 20;
    for (uint32_t i = 0, address = 0; i < 12; ++i, address += device.sectors[i - 1].size)
        device.sectors[i] = {address, address + (i < 8 ? 16383u : 65535u), i < 8 ? 16384u : 65536u};
    device.sectorCount = 12;
    device.totalBits = 0x60000 * 8;
    device.configSector = &device.sectors[8];
    device.configByteAddress = device.firmwareSpace = 0x20000;
}

uint32_t QuadletSum(const Bytes& bytes) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) sum += LittleEndianAt(bytes, i);
    return sum;
}
// `length` pattern bytes with a parameter section "FWPARAMETERS_<count>" at `offset`.
Bytes WithSection(size_t length, size_t offset, const char* count,
                  std::vector<std::pair<size_t, uint32_t>> words = {}, size_t cutTo = SIZE_MAX) {
    Bytes image = Pattern(length, 7);
    const std::string section = std::string(kParameterMarker) + count;
    std::copy(section.begin(), section.end() + 1, image.begin() + offset);  // with its NUL
    for (const auto& [at, value] : words) image = WithParameter(image, at, value);
    image.resize(std::min(cutTo, length));
    return image;
}

std::vector<int> g_percents;
int g_cancelAt;
uint32_t LORIC_CDECL Progress(uint8_t percent) {
    g_percents.push_back(percent);
    return percent == g_cancelAt ? 1u : 0u;
}

struct UploadCase {
    const char* name;
    Bytes file;
    uint32_t address = 0;
    uint32_t flags = UPLOAD_METHOD_UPLOADER;
    std::optional<uint32_t> parameter = {};
    const char* title = nullptr;  // a progress window with this title; nullptr: none
    bool callback = false;
    uint32_t trace = TRACE_ERROR | TRACE_API;
    uint8_t width = 8;
    int32_t set = 1;
    std::optional<uint32_t> checksum = {};  // what the device reports; none: the file's sum
    int cancelAt = -1;                      // the percentage at which the callback cancels
    uint32_t failCode = 0, failAt = 1, error = 1117;  // the failAt-th request of failCode fails
    uint32_t deviceId = 0;
};

class SequenceTest : public ApiTest {
public:
    void SetUp() override {
        WriteFile("firmware.bin",
                  WithSection(40000, 0x100, "03",
                              {{0x110, 0xEEEEEEEE}, {0x114, 0xEEEEEEEE}, {0x118, 0xEEEEEEEE}}));
        WriteFile("config.bin", Pattern(600, 3));
        WriteFile("loader.bin", Pattern(5000, 5));
        WriteFile("empty.bin", {});
        driver_.SetReadValue(FLASH_ERASE_CTRL, ERASE_DONE);
        driver_.SetReadValue(FLASH_UPLOAD_CTRL, UPLOADER_READY);
    }
    void Open(uint32_t flags) {
        ASSERT_EQ(OpenLORIC(flags), 0u);
        debug_.Clear();
        driver_.ClearRequests();
    }
    // Answers the polls of FLASH_ERASE_CTRL with `values` in turn (the last one repeats), and
    // records the fake clock's time at every request.
    void PollAnswers(std::vector<uint32_t> values) {
        driver_.SetHandler(
            [this, values](const RecordedRequest& request) -> std::optional<ScriptedReply> {
                stamps_.push_back(clock_.NowMs());
                auto t = RequestRecorder::Decode(request);
                if (!t || t->write || t->offsetLow != FLASH_ERASE_CTRL) return std::nullopt;
                const size_t i = polls_++;
                return ScriptedReply::QuadletRead(
                    request, values[i < values.size() ? i : values.size() - 1]);
            });
    }

    FakeClock clock_;
    RequestRecorder driver_;
    std::vector<int64_t> stamps_;
    std::atomic<size_t> polls_{0};
};

// Which request a job case refuses.
using Fails = std::function<bool(const RecordedRequest&)>;
Fails WriteOf(uint32_t offset, uint32_t value) {
    return [=](const RecordedRequest& r) {
        auto t = RequestRecorder::Decode(r);
        return t && t->write && t->offsetLow == offset && t->value == value;
    };
}
Fails ResetOf(uint32_t kind) {
    return [=](const RecordedRequest& r) {
        return r.code == IOCTL_RESET && r.input == LittleEndianBytes({kind});
    };
}
Fails CodeOf(uint32_t code) {
    return [=](const RecordedRequest& r) { return r.code == code; };
}

struct JobCase {
    const char* name;
    bool loader;  // the loader job from node 5 (from 0xFFC1 when blank), else the firmware job
    const char* image;
    Fails fails = nullptr;
    uint32_t deviceId = 1;
    const char* config = "config.bin";
    uint32_t blank = 0;
    uint32_t method = 0;                                  // the loader job's erase delay
    std::function<void(FLASH_DEVICE&)> change = nullptr;  // what makes the record unusable
    bool closed = false;
};

std::vector<JobCase> JobCases() {
    return {
        {"firmware and configuration", false, "firmware.bin"},
        {"firmware fills its space exactly", false, "exact.bin"},
        {"firmware one byte too large", false, "over.bin"},
        {"firmware larger than the flash", false, "huge.bin"},
        {"firmware missing", false, "missing.bin"},
        {"configuration missing", false, "firmware.bin", nullptr, 1, "nothere.bin"},
        {"firmware empty", false, "empty.bin"},
        {"firmware of one byte", false, "one.bin"},
        {"internal flash", false, "firmware.bin", nullptr, FLASH_INTERNAL_DEVICE_ID},
        {"internal flash erase refused", false, "firmware.bin",
         WriteOf(FLASH_ERASE_CTRL, ERASE_ALL), FLASH_INTERNAL_DEVICE_ID},
        {"mode switch refused", false, "firmware.bin", WriteOf(CSR_MODE_CTRL, MODE_EDIT)},
        {"firmware sector erase refused", false, "firmware.bin", WriteOf(FLASH_ERASE_CTRL, 0x4000)},
        {"configuration sector erase refused", false, "firmware.bin",
         WriteOf(FLASH_ERASE_CTRL, 0x20000)},
        {"processor reset refused", false, "firmware.bin",
         WriteOf(FLASH_UPLOAD_CTRL, PROCESSOR_RESET)},
        {"loader missing", true, "missing.bin"},
        {"loader empty", true, "empty.bin"},
        {"loader fills the bottom sector, 3 s erase delay", true, "bottom.bin", nullptr, 1, "", 0,
         3},
        {"loader larger than the bottom sector", true, "above.bin"},
        {"blank device", true, "loader.bin", nullptr, 1, nullptr, 1, 30},
        {"not found after the force flash", true, "loader.bin",
         [](const RecordedRequest& r) {
             auto t = RequestRecorder::Decode(r);
             return t && t->nodeId != 0x0005 && t->offsetLow == FLASH_PORT_CTRL;
         }},
        {"flash port erase refused", true, "loader.bin", CodeOf(IOCTL_ERASE_SECTOR)},
        {"flash reset refused", true, "loader.bin", ResetOf(RESET_FLASH)},
        {"device reset refused", true, "loader.bin", ResetOf(RESET_DEVICE)},
        {"bus reset refused", true, "loader.bin", ResetOf(RESET_BUS)},
        {"no loader answers", true, "loader.bin", CodeOf(IOCTL_ASYNC_READ)},
        // Refused before any request.
        {"no configuration sector", false, "firmware.bin", nullptr, 1, "config.bin", 0, 0,
         [](FLASH_DEVICE& d) { d.configSector = nullptr; }},
        {"bus width 0", false, "firmware.bin", nullptr, 1, "config.bin", 0, 0,
         [](FLASH_DEVICE& d) { d.busWidth = 0; }},
        {"loader, command set 9", true, "loader.bin", nullptr, 1, "", 0, 0,
         [](FLASH_DEVICE& d) { d.commandSetIndex = 9; }},
        {"loader, erase delay above 30 s", true, "loader.bin", nullptr, 1, "", 0, 31},
        {"firmware, closed", false, "firmware.bin", nullptr, 1, "config.bin", 0, 0, nullptr, true},
        {"loader, closed", true, "loader.bin", nullptr, 1, "", 0, 0, nullptr, true},
    };
}

// A job's outcome for its size limits, unreadable images and refused steps: the status and its
// text, then every request, the trace and the titles, against program/job_outcomes/<case>.txt.
// The firmware job, given the node with high bits that are not used, runs on a copy of the
// record, whose configuration sector still points into the original's table: that sector is
// taken as given.
class JobOutcome : public SequenceTest, public ::testing::WithParamInterface<JobCase> {
protected:
    void SetUp() override {
        SequenceTest::SetUp();
        WriteFile("exact.bin", Pattern(131072, 9));  // the space below the configuration sector
        WriteFile("over.bin", Pattern(131073, 9));
        WriteFile("huge.bin", Pattern(400000, 9));  // above the whole flash
        WriteFile("bottom.bin", Pattern(16384, 2));
        WriteFile("one.bin", Pattern(1, 2));
        WriteFile("above.bin", Pattern(16385, 2));
    }
};

TEST_P(JobOutcome, RequestsTraceAndTitles) {
    const JobCase& c = GetParam();
    Open(TRACE_API | TRACE_API_VERBOSE | TRACE_ERROR);
    driver_.SetHandler([&c](const RecordedRequest& r) -> std::optional<ScriptedReply> {
        if (c.fails && c.fails(r)) return ScriptedReply::Failure(platform::kErrorIoDevice);
        return std::nullopt;
    });
    TitleLog titles;
    FLASH_DEVICE original, device;
    EightBitDevice(original, c.deviceId);
    device = original;
    if (c.change) c.change(device);
    if (c.closed) CloseLORIC();
    uint16_t node = c.blank ? 0xFFC1 : 0x0005;
    const uint32_t status = c.loader ? UploadFirmwareLoader(&node, &device, c.image, c.blank,
                                                            c.method, titles.Handle(), nullptr)
                                     : UploadFirmwareAndConfig(0x120000 | kNode, &device, c.image,
                                                               c.config, titles.Handle(), nullptr);
    char text[160] = {};
    GetErrorText(status, text);
    Transcript t;
    t.Add("==== %s: status %u \"%s\", node %04X, slept %llu ms\n", c.name, status, text, node,
          static_cast<unsigned long long>(clock_.SleptMs()));
    t.Text(RequestTranscript(driver_, debug_.Text(), &titles));
    t.Check("program/job_outcomes/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Jobs, JobOutcome, ::testing::ValuesIn(JobCases()), CaseName());

// An erase that never ends: the erase's address, its limit, and the millisecond of the clock's
// second it starts at.
struct EraseTimeout {
    const char* name;
    uint32_t address;
    int64_t limitMs;
    int64_t startMs;
};

class EraseTimeoutCase : public SequenceTest, public ::testing::WithParamInterface<EraseTimeout> {};

// 20 s a sector, 120 s the chip, whatever the millisecond it starts at: the trace, with the
// number of polls, and the status text against program/erase_timeouts/<case>.txt.
TEST_P(EraseTimeoutCase, WithinTheLastWholeSecondOfTheLimit) {
    const EraseTimeout& c = GetParam();
    Open(TRACE_API | TRACE_ERROR);
    clock_.SetStep(7);  // every poll's clock reading takes 7 ms
    clock_.Advance((1000 + c.startMs - clock_.NowMs() % 1000) % 1000);
    PollAnswers({0x2});
    FLASH_DEVICE device;
    EightBitDevice(device, 0);
    EXPECT_EQ(EraseFlashSector(0xFFC0, &device, c.address, 0), 23u);
    ASSERT_GE(stamps_.size(), 2u);
    EXPECT_GE(stamps_.back() - stamps_.front(), c.limitMs - 1000 - 7);
    EXPECT_LE(stamps_.back() - stamps_.front(), c.limitMs);
    char text[128];
    ASSERT_EQ(GetErrorText(23, text), 0u);
    Transcript t;
    t.Add("%s%s\n", WithoutAsyncLines(debug_.Text()).c_str(), text);
    t.Check("program/erase_timeouts/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(
    Limits, EraseTimeoutCase,
    ::testing::Values(EraseTimeout{"sector at 400 from ms 500", 0x400, 20000, 500},
                      EraseTimeout{"sector at 10000 from ms 515", 0x10000, 20000, 515},
                      EraseTimeout{"whole chip from ms 512", ERASE_ALL, 120000, 512}),
    CaseName());

struct EraseCase {
    const char* name;
    void (*script)(SequenceTest& f);
    uint32_t address;
    uint32_t method;
    uint32_t deviceId = 0;
    bool noRecord = false, closed = false;
};

using EraseOutcome = WithCases<SequenceTest, EraseCase>;

// The device method's back-to-back polls until done, its refused start write and failed poll,
// the second the internal flash is given instead of polls, and the flash port method, which is
// one link call at the target node.
std::vector<EraseCase> EraseCases() {
    return {
        {"polls until done",
         [](SequenceTest& f) {
             f.PollAnswers({0x00000000, 0xFFFFFFFE, 0x00000081});
         },
         0x10000, 0, 3},
        {"internal flash", [](SequenceTest& f) { f.PollAnswers({0}); }, ERASE_ALL, 0,
         FLASH_INTERNAL_DEVICE_ID},
        {"start write refused",
         [](SequenceTest& f) { f.driver_.FailNext(IOCTL_ASYNC_WRITE, platform::kErrorIoDevice); },
         0x8000, 0},
        {"poll fails after a good read",
         [](SequenceTest& f) {
             RecordedRequest read;
             read.input.resize(44);
             f.driver_.Queue(IOCTL_ASYNC_READ, ScriptedReply::QuadletRead(read, 0x40));
             f.driver_.FailNext(IOCTL_ASYNC_READ, platform::kErrorIoDevice);
         },
         0x8000, 0},
        // A success leaves the argument of an earlier failure (a poll of the erase control).
        {"flash port", [](SequenceTest&) { SetMessageArgument(FLASH_ERASE_CTRL); }, 0x10000, 1},
        {"flash port refused",
         [](SequenceTest& f) { f.driver_.FailNext(IOCTL_ERASE_SECTOR, platform::kErrorIoDevice); },
         ERASE_ALL, 1},
        {"no record", [](SequenceTest&) {}, 0x8000, 0, 0, true},
        {"closed", [](SequenceTest&) {}, 0x8000, 0, 0, false, true},
        {"closed, flash port", [](SequenceTest&) {}, 0x8000, 1, 0, false, true},
    };
}

// Each erase case's status, wait, requests and trace against program/erase_outcomes/<case>.txt.
TEST_P(EraseOutcome, StatusWaitRequestsAndTrace) {
    const EraseCase& c = GetParam();
    Open(TRACE_API | TRACE_INTERNAL | TRACE_ERROR);
    driver_.ClearScript();
    c.script(*this);
    FLASH_DEVICE device;
    EightBitDevice(device, c.deviceId);
    if (c.closed) CloseLORIC();
    const int64_t before = clock_.NowMs();
    const uint32_t status =
        EraseFlashSector(0xFFC2, c.method || c.noRecord ? nullptr : &device, c.address, c.method);
    Transcript t;
    t.Add("==== %s: status %u, message argument %u, %lld whole s\n", c.name, status,
          g_api.messageArgument.number, static_cast<long long>((clock_.NowMs() - before) / 1000));
    t.Text(RequestTranscript(driver_, debug_.Text(), nullptr));
    CloseLORIC();
    t.Check("program/erase_outcomes/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Erases, EraseOutcome, ::testing::ValuesIn(EraseCases()), CaseName());

// UploadFile's cases, each against program/upload_file/<case>.txt.
std::vector<UploadCase> UploadCases() {
    const Bytes big = Pattern(100000, 1), small = Pattern(3000, 1), some = Pattern(400, 1);
    return {
        {"100000 bytes by the uploader",
         big,
         0x4000,
         UPLOAD_METHOD_UPLOADER,
         {},
         "Uploading firmware...",
         true},
        {"1001 bytes by the flash port, 16-bit bus",
         Pattern(1001, 1),
         0x10000,
         UPLOAD_METHOD_FLASH_PORT,
         {},
         "Saved",
         true,
         TRACE_ERROR | TRACE_API,
         16},
        {"1024 bytes show the title",
         Pattern(1024, 1),
         0,
         UPLOAD_METHOD_UPLOADER,
         {},
         "Uploading firmware..."},
        {"mode: set 5, 16 bits", Pattern(64, 1), 0, 0, {}, nullptr, false, 0, 16, 5},
        {"mode: set 2, 32 bits", Pattern(64, 1), 0, 0, {}, nullptr, false, 0, 32, 2},
        {"mode: set 304, flash port", Pattern(64, 1), 0, 1, {}, nullptr, false, 0, 8, 0x304},
        {"mode: flags 104", Pattern(64, 1), 0, 0x104, {}, nullptr, false, 0, 16, 0},
        {"mode: flags 3, 32 bits", Pattern(64, 1), 0, 3, {}, nullptr, false, 0, 32, 6},
        {"full trace of a flash port upload",
         Pattern(8, 1),
         0x1000,
         UPLOAD_METHOD_FLASH_PORT,
         {},
         nullptr,
         false,
         TRACE_ERROR | TRACE_API | TRACE_API_VERBOSE | TRACE_INTERNAL},
        {"uploader trace, length rounded up",
         Pattern(4093, 1),
         0,
         UPLOAD_METHOD_UPLOADER,
         {},
         nullptr,
         false,
         TRACE_API | TRACE_INTERNAL},
        // The device sums what it received: the sum compared covers the parameter put in.
        {"parameter, marker at 100", WithSection(0x200, 0x100, "03"), 0, 0, 0xA1B2C3D4, nullptr,
         false, 0, 8, 1, QuadletSum(WithSection(0x200, 0x100, "03", {{0x110, 0xA1B2C3D4}}))},
        {"parameter, marker at 101", WithSection(0x200, 0x101, "03"), 0, 0, 0xA1B2C3D4, nullptr,
         false, 0, 8, 1, 0},
        {"parameter, marker at 104", WithSection(0x200, 0x104, "03"), 0, 0, 0xA1B2C3D4, nullptr,
         false, 0, 8, 1, 0},
        {"parameter section trace",
         WithSection(0x40, 8, "03", {{0x18, 0x11223344}, {0x1C, 0xDEADBEEF}, {0x20, 5}}), 0,
         UPLOAD_METHOD_FLASH_PORT, 7, nullptr, false, TRACE_ERROR | TRACE_INTERNAL},
        {"no parameter section", Pattern(0x40, 3), 0, UPLOAD_METHOD_FLASH_PORT, 7, nullptr, false,
         TRACE_ERROR | TRACE_INTERNAL},
        {"section with no room for its parameter", WithSection(0x200, 0x100, "00"), 0, 0, 1},
        {"section with an unreadable count", WithSection(0x200, 0, "zz"), 0, 0, 1},
        {"parameter at the image's end", WithSection(0x20, 0x10, "01"), 0, 0, 1},
        {"count beyond the image", WithSection(0x1E, 0x10, "", {}, 0x1D), 0, 0, 1},
        {"unusable section without a parameter", WithSection(0x200, 0x100, "00"), 0, 0},
        {"device checksum 0 is not compared",
         small,
         0,
         0,
         {},
         nullptr,
         false,
         TRACE_ERROR | TRACE_API,
         8,
         1,
         0},
        {"device checksum mismatch",
         small,
         0,
         0,
         {},
         nullptr,
         false,
         TRACE_ERROR | TRACE_API,
         8,
         1,
         QuadletSum(small) + 1},
        {"internal flash: no checksum read",
         small,
         0,
         0,
         {},
         nullptr,
         false,
         0,
         8,
         1,
         {},
         -1,
         0,
         1,
         0,
         FLASH_INTERNAL_DEVICE_ID},
        {"cancelled at 10%",
         Pattern(5000, 1),
         0,
         0,
         {},
         "Up",
         true,
         TRACE_ERROR | TRACE_API,
         8,
         1,
         {},
         10},
        {"cancel at 100% comes too late",
         Pattern(5000, 1),
         0,
         0,
         {},
         nullptr,
         true,
         0,
         8,
         1,
         {},
         100},
        {"the fourth step fails",
         some,
         0,
         0,
         {},
         nullptr,
         true,
         TRACE_ERROR | TRACE_API,
         8,
         1,
         {},
         -1,
         IOCTL_UPLOAD_UPLOADER,
         4},
        {"start address not written",
         some,
         0,
         0,
         {},
         nullptr,
         false,
         TRACE_ERROR | TRACE_API,
         8,
         1,
         {},
         -1,
         IOCTL_ASYNC_WRITE},
        {"checksum not read",
         some,
         0,
         0,
         {},
         nullptr,
         false,
         TRACE_ERROR,
         8,
         1,
         {},
         -1,
         IOCTL_ASYNC_READ},
        {"byte program delay refused",
         some,
         0,
         UPLOAD_METHOD_FLASH_PORT,
         {},
         nullptr,
         false,
         TRACE_ERROR,
         8,
         1,
         {},
         -1,
         IOCTL_SET_BYTE_PROGRAM_DELAY,
         1,
         31},
        {"bus width 0", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, 0},
        {"bus width 4", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, 4},
        {"bus width 24", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, 24},
        {"bus width 64", Pattern(100, 1), 0, 0, {}, nullptr, false, TRACE_ERROR, 64},
        {"missing file", Pattern(100, 1)},
        {"empty file", {}, 0x20},
    };
}

class UploadFileCase : public SequenceTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(UploadFileCase, RequestsTraceAndBytesUploaded) {
    const UploadCase& c = GetParam();
    Transcript t;
    FLASH_DEVICE device;
    EightBitDevice(device, c.deviceId);
    device.busWidth = c.width;
    device.commandSetIndex = c.set;
    driver_.ClearScript();
    driver_.SetReadValue(FLASH_UPLOAD_CHECKSUM, c.checksum.value_or(QuadletSum(c.file)));
    auto seen = std::make_shared<std::atomic<uint32_t>>(0);
    driver_.SetHandler([c, seen](const RecordedRequest& q) -> std::optional<ScriptedReply> {
        if (q.code == c.failCode && ++*seen == c.failAt) return ScriptedReply::Failure(c.error);
        return std::nullopt;
    });
    g_cancelAt = c.cancelAt;
    WriteFile("img.bin", c.file);
    ResetApiContext();
    ASSERT_EQ(OpenLORIC(c.trace), 0u);
    TitleLog window;
    if (c.title) std::snprintf(window.window.title, sizeof window.window.title, "%s", c.title);
    g_percents.clear();
    driver_.ClearRequests();
    debug_.Clear();
    uint32_t parameter = c.parameter.value_or(0);
    const uint32_t status =
        UploadFile(0xFFC0, std::string(c.name) == "missing file" ? "missing.bin" : "img.bin",
                   c.address, c.flags, &device, c.parameter ? &parameter : nullptr,
                   c.title ? window.Handle() : nullptr, c.callback ? &Progress : nullptr);
    char text[256] = {};
    GetErrorText(status, text);
    t.Add(status ? "== %s\nstatus %u\ntext: %s\n" : "== %s\nstatus %u\n", c.name, status, text);
    // The requests and the trace, the titles and percentages; where the bytes uploaded differ
    // from the file padded to whole quadlets.
    t.Text(RequestTranscript(driver_, debug_.Text(), c.title ? &window : nullptr));
    if (c.title) t.Add("final title: %s\n", window.window.title);
    if (!g_percents.empty()) t.Add("percents:");
    for (int p : g_percents) t.Add(" %d", p);
    if (!g_percents.empty()) t.Add("\n");
    Bytes uploaded, padded = ReadAll("img.bin");
    for (const RecordedRequest& r : driver_.Requests())
        uploaded.insert(uploaded.end(), r.uploadData.begin(), r.uploadData.end());
    padded.resize((padded.size() + 3) & ~size_t{3}, 0);
    if (!uploaded.empty()) t.Add("uploaded %zu bytes", uploaded.size());
    for (size_t i = 0; i < uploaded.size(); ++i)
        if (i >= padded.size() || uploaded[i] != padded[i]) t.Add(", %zX: %02X", i, uploaded[i]);
    if (!uploaded.empty()) t.Add("\n");
    CloseLORIC();
    t.Check("program/upload_file/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Uploads, UploadFileCase, ::testing::ValuesIn(UploadCases()), CaseName());

TEST_F(SequenceTest, UploadFileRefusesAClosedApiAndMissingArguments) {
    WriteFile("img.bin", Pattern(100, 1));

    FLASH_DEVICE eightBit;
    EightBitDevice(eightBit);
    EXPECT_EQ(UploadFile(0xFFC0, "img.bin", 0, 0, &eightBit, nullptr, nullptr, nullptr),
              3u);  // closed
    ASSERT_EQ(OpenLORIC(0), 0u);
    EXPECT_EQ(UploadFile(0xFFC0, nullptr, 0, 0, &eightBit, nullptr, nullptr, nullptr), 5u);
    EXPECT_EQ(UploadFile(0xFFC0, "img.bin", 0, 0, nullptr, nullptr, nullptr, nullptr), 5u);
}

// A length 32 bits cannot hold is unknown, not cut short (sparse files take no disk space).
TEST_F(SequenceTest, FileLengthsBeyondThirtyTwoBitsAreUnknown) {
    std::error_code error;
    std::filesystem::resize_file("empty.bin", 0x100000004ull, error);
    if (error) GTEST_SKIP() << error.message();
    EXPECT_EQ(GetFileLength("empty.bin"), kUnknownLength);
    std::filesystem::resize_file("empty.bin", 0xFFFFFFFEull, error);
    EXPECT_EQ(GetFileLength("empty.bin"), 0xFFFFFFFEu);
    EXPECT_EQ(GetFileLength("missing.bin"), 0u);
}

}  // namespace
}  // namespace loric::test
