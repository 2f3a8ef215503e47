// The programming sequences, the sector erase and the file upload at the level of the requests
// the driver receives: the erase range, the order of steps, the waits, the window titles, the
// bytes uploaded and the statuses of the failure paths.

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

// Whether `r` is the request a job case's "fails=" names (program/job_cases.txt).
bool Refused(const std::string& fails, const RecordedRequest& r) {
    std::istringstream words(fails);
    std::string kind, first, second;
    words >> kind >> first >> second;
    const auto t = RequestRecorder::Decode(r);
    if (kind == "write")
        return t && t->write && t->offsetLow == CaseNumber(first) && t->value == CaseNumber(second);
    if (kind == "elsewhere") return t && t->nodeId != 0x0005 && t->offsetLow == CaseNumber(first);
    if (kind == "reset")
        return r.code == IOCTL_RESET && r.input == LittleEndianBytes({CaseNumber(first)});
    return kind == "code" && r.code == CaseNumber(first);
}

using JobOutcome = WithCases<SequenceTest, CaseRow>;

// A job's outcome for its size limits, unreadable images and refused steps: the status and its
// text, then every request, the trace and the titles, against program/job_outcomes/<case>.txt.
// The firmware job, given the node with high bits that are not used, runs on a copy of the
// record, whose configuration sector still points into the original's table: that sector is
// taken as given.
TEST_P(JobOutcome, RequestsTraceAndTitles) {
    const CaseRow& c = GetParam();
    WriteFile("exact.bin", Pattern(131072, 9));  // the space below the configuration sector
    WriteFile("over.bin", Pattern(131073, 9));
    WriteFile("huge.bin", Pattern(400000, 9));  // above the whole flash
    WriteFile("bottom.bin", Pattern(16384, 2));
    WriteFile("one.bin", Pattern(1, 2));
    WriteFile("above.bin", Pattern(16385, 2));
    const std::string fails = c.Get("fails"), record = c.Get("record"), image = c.Get("image"),
                      config = c.Get("config", "config.bin");
    const uint32_t blank = CaseNumber(c.Get("blank"));
    Open(TRACE_API | TRACE_API_VERBOSE | TRACE_ERROR);
    driver_.SetHandler([fails](const RecordedRequest& r) -> std::optional<ScriptedReply> {
        if (Refused(fails, r)) return ScriptedReply::Failure(platform::kErrorIoDevice);
        return std::nullopt;
    });
    TitleLog titles;
    FLASH_DEVICE original, device;
    EightBitDevice(original, CaseNumber(c.Get("device", "1")));
    device = original;
    if (record == "no configuration sector") device.configSector = nullptr;
    if (record == "bus width 0") device.busWidth = 0;
    if (record == "command set 9") device.commandSetIndex = 9;
    if (c.Has("closed")) CloseLORIC();
    uint16_t node = blank ? 0xFFC1 : 0x0005;
    const uint32_t status =
        c.Has("loader") ? UploadFirmwareLoader(&node, &device, image.c_str(), blank,
                                               CaseNumber(c.Get("delay")), titles.Handle(), nullptr)
                        : UploadFirmwareAndConfig(0x120000 | kNode, &device, image.c_str(),
                                                  config.c_str(), titles.Handle(), nullptr);
    char text[160] = {};
    GetErrorText(status, text);
    Transcript t;
    t.Add("==== %s: status %u \"%s\", node %04X, slept %llu ms\n", c.name.c_str(), status, text,
          node, static_cast<unsigned long long>(clock_.SleptMs()));
    t.Text(RequestTranscript(driver_, debug_.Text(), &titles));
    t.Check("program/job_outcomes/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Jobs, JobOutcome, ::testing::ValuesIn(CaseRows("program/job_cases.txt")),
                         CaseName());

using EraseTimeoutCase = WithCases<SequenceTest, CaseRow>;

// 20 s a sector, 120 s the chip, whatever the millisecond it starts at: the trace, with the
// number of polls, and the status text against program/erase_timeouts/<case>.txt.
TEST_P(EraseTimeoutCase, WithinTheLastWholeSecondOfTheLimit) {
    const CaseRow& c = GetParam();
    const int64_t limitMs = CaseNumber(c.Get("limit"));
    Open(TRACE_API | TRACE_ERROR);
    clock_.SetStep(7);  // every poll's clock reading takes 7 ms
    clock_.Advance((1000 + CaseNumber(c.Get("start")) - clock_.NowMs() % 1000) % 1000);
    PollAnswers({0x2});
    FLASH_DEVICE device;
    EightBitDevice(device, 0);
    EXPECT_EQ(EraseFlashSector(0xFFC0, &device, CaseNumber(c.Get("address")), 0), 23u);
    ASSERT_GE(stamps_.size(), 2u);
    EXPECT_GE(stamps_.back() - stamps_.front(), limitMs - 1000 - 7);
    EXPECT_LE(stamps_.back() - stamps_.front(), limitMs);
    char text[128];
    ASSERT_EQ(GetErrorText(23, text), 0u);
    Transcript t;
    t.Add("%s%s\n", WithoutAsyncLines(debug_.Text()).c_str(), text);
    t.Check("program/erase_timeouts/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Limits, EraseTimeoutCase,
                         ::testing::ValuesIn(CaseRows("program/erase_timeout_cases.txt")),
                         CaseName());

using EraseOutcome = WithCases<SequenceTest, CaseRow>;

// Each erase case's status, wait, requests and trace against program/erase_outcomes/<case>.txt.
TEST_P(EraseOutcome, StatusWaitRequestsAndTrace) {
    const CaseRow& c = GetParam();
    const uint32_t method = CaseNumber(c.Get("method"));
    Open(TRACE_API | TRACE_INTERNAL | TRACE_ERROR);
    driver_.ClearScript();
    if (c.Has("polls")) PollAnswers(CaseNumbers(c.Get("polls")));
    RecordedRequest read;
    read.input.resize(44);
    if (c.Has("read"))
        driver_.Queue(IOCTL_ASYNC_READ,
                      ScriptedReply::QuadletRead(read, CaseNumber(c.Get("read"))));
    if (c.Has("fail")) driver_.FailNext(CaseNumber(c.Get("fail")), platform::kErrorIoDevice);
    if (c.Has("argument")) SetMessageArgument(CaseNumber(c.Get("argument")));
    FLASH_DEVICE device;
    EightBitDevice(device, CaseNumber(c.Get("device")));
    if (c.Has("closed")) CloseLORIC();
    const int64_t before = clock_.NowMs();
    const uint32_t status =
        EraseFlashSector(0xFFC2, method || c.Has("norecord") ? nullptr : &device,
                         CaseNumber(c.Get("address")), method);
    Transcript t;
    t.Add("==== %s: status %u, message argument %u, %lld whole s\n", c.name.c_str(), status,
          g_api.messageArgument.number, static_cast<long long>((clock_.NowMs() - before) / 1000));
    t.Text(RequestTranscript(driver_, debug_.Text(), nullptr));
    CloseLORIC();
    t.Check("program/erase_outcomes/" + CaseSlug(c.name) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Erases, EraseOutcome,
                         ::testing::ValuesIn(CaseRows("program/erase_cases.txt")), CaseName());

// UploadFile's cases, each against program/upload_file/<case>.txt; the table is
// program/upload_cases.txt.
using UploadFileCase = WithCases<SequenceTest, CaseRow>;

// The file of an upload case.
Bytes UploadImage(const CaseRow& c) {
    const std::string section = c.Get("section");
    Bytes file = Pattern(CaseNumber(c.Get("file")), CaseNumber(c.Get("seed", "1")));
    if (!section.empty()) {
        std::vector<std::pair<size_t, uint32_t>> words;
        std::istringstream list(c.Get("words"));
        for (std::string w; std::getline(list, w, ',');)
            words.emplace_back(CaseNumber(w.substr(0, w.find(':'))),
                               CaseNumber(w.substr(w.find(':') + 1)));
        file = WithSection(file.size(), CaseNumber(section.substr(0, section.find(':'))),
                           section.substr(section.find(':') + 1).c_str(), words,
                           c.Has("cut") ? CaseNumber(c.Get("cut")) : SIZE_MAX);
    }
    return file;
}

TEST_P(UploadFileCase, RequestsTraceAndBytesUploaded) {
    const CaseRow& c = GetParam();
    const Bytes file = UploadImage(c);
    const std::string checksum = c.Get("checksum", "sum"), title = c.Get("title");
    Transcript t;
    FLASH_DEVICE device;
    EightBitDevice(device, CaseNumber(c.Get("device")));
    device.busWidth = static_cast<uint8_t>(CaseNumber(c.Get("width", "8")));
    device.commandSetIndex = static_cast<int32_t>(CaseNumber(c.Get("set", "1")));
    driver_.ClearScript();
    driver_.SetReadValue(FLASH_UPLOAD_CHECKSUM,
                         checksum.rfind("sum", 0) == 0
                             ? QuadletSum(file) + CaseNumber(checksum.substr(3))
                             : CaseNumber(checksum));
    auto seen = std::make_shared<std::atomic<uint32_t>>(0);
    const uint32_t failCode = CaseNumber(c.Get("fail")), failAt = CaseNumber(c.Get("failAt", "1")),
                   error = CaseNumber(c.Get("error", "1117"));
    driver_.SetHandler([=](const RecordedRequest& q) -> std::optional<ScriptedReply> {
        if (q.code == failCode && ++*seen == failAt) return ScriptedReply::Failure(error);
        return std::nullopt;
    });
    g_cancelAt = c.Has("cancel") ? static_cast<int>(CaseNumber(c.Get("cancel"))) : -1;
    WriteFile("img.bin", file);
    TitleLog window;
    if (c.Has("title"))
        std::snprintf(window.window.title, sizeof window.window.title, "%s", title.c_str());
    g_percents.clear();
    Open(CaseNumber(c.Get("trace", "TRACE_ERROR+TRACE_API")));
    uint32_t parameter = CaseNumber(c.Get("parameter"));
    const uint32_t status = UploadFile(
        0xFFC0, c.name == "missing file" ? "missing.bin" : "img.bin", CaseNumber(c.Get("address")),
        CaseNumber(c.Get("method")), &device, c.Has("parameter") ? &parameter : nullptr,
        c.Has("title") ? window.Handle() : nullptr, c.Has("callback") ? &Progress : nullptr);
    char text[256] = {};
    GetErrorText(status, text);
    t.Add(status ? "== %s\nstatus %u\ntext: %s\n" : "== %s\nstatus %u\n", c.name.c_str(), status,
          text);
    // The requests and the trace, the titles and percentages; where the bytes uploaded differ
    // from the file padded to whole quadlets.
    t.Text(RequestTranscript(driver_, debug_.Text(), c.Has("title") ? &window : nullptr));
    if (c.Has("title")) t.Add("final title: %s\n", window.window.title);
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

INSTANTIATE_TEST_SUITE_P(Uploads, UploadFileCase,
                         ::testing::ValuesIn(CaseRows("program/upload_cases.txt")), CaseName());

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
