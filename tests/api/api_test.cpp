// The API's foundation at the level of the exports: status texts, opening and closing, the trace
// log, application messages, the target node and quadlet access; the driver link's failures; the
// Linux platform layer (formatting, debugger output, last error, window record). Each scenario
// adds its statuses, the debugger output piece by piece, the trace log and the driver requests
// to a transcript compared with its own golden file under tests/data/api/.

#include <cstring>
#include <memory>
#include <utility>

#include "api/context.h"
#include "api/export_frame.h"
#include "link/driver_link.h"
#include "link/registers.h"
#include "platform/platform.h"
#include "support/api_fixture.h"
#include "support/golden.h"
#include "support/request_recorder.h"
#include "support/sim_daemon.h"

namespace loric::test {
namespace {

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

// A scenario of the exports, run from a fresh context with a driver stand-in or none.
class Api;
struct ScenarioCase {
    const char* name;
    bool driver;
    void (*body)(Api& f);
};

class Api : public ApiTest {
public:
    using ApiTest::debug_;
    std::unique_ptr<RequestRecorder> driver_;
    Transcript t_;
    uint32_t value = 0;

    void Status(const char* call, uint32_t status) { t_.Add("%s -> %u\n", call, status); }
    void ErrorText(uint32_t code) {
        char text[1200];
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(GetErrorText(code, text), 0u);
        EXPECT_TRUE(g_api.messageArgument.isText || std::strlen(text) < 64)
            << code;  // hosts' buffers
        t_.Add("text %u: %s\n", code, text);
    }
    // Opens (verbose if `flags` asks for it), then traces with `flags`, the open's lines and
    // requests forgotten.
    void Open(uint32_t flags) {
        Status("OpenLORIC", OpenLORIC(flags & TRACE_VERBOSE ? TRACE_VERBOSE : 0));
        g_api.traceFlags = flags;
        driver_->ClearRequests();
        debug_.Clear();
    }
    void Read(uint32_t node, uint32_t offsetLow) {
        Status("ReadQuadlet", ReadQuadlet(node, REGISTER_OFFSET_HIGH, offsetLow, &value));
    }
    void Write(uint32_t node, uint32_t offsetLow, uint32_t v) {
        Status("WriteQuadlet", WriteQuadlet(node, REGISTER_OFFSET_HIGH, offsetLow, v));
    }
    // Runs the scenario and compares what it left with <folder>/<scenario>.txt.
    void Run(const char* folder, const ScenarioCase& c) {
        ResetApiContext();
        std::filesystem::remove_all("debug.log");
        driver_ = c.driver ? std::make_unique<RequestRecorder>() : nullptr;
        debug_.Clear();
        t_.Add("== %s\n", c.name);
        c.body(*this);
        t_.Add("pieces:");
        for (const std::string& piece : debug_.Pieces()) t_.Add(" [%s]", Escaped(piece).c_str());
        t_.Add("\nlog: %s\n",
               DebugLogExists() ? ("[" + Escaped(ReadDebugLog()) + "]").c_str() : "none");
        for (const RecordedRequest& r :
             driver_ ? driver_->Requests() : std::vector<RecordedRequest>()) {
            t_.Add("request %X out %u connection %d:", r.code, r.outLength, r.connection);
            for (uint8_t b : r.input) t_.Add(" %02X", b);
            t_.Add("\n");
        }
        ResetApiContext();  // closes the log before the stand-in goes
        driver_.reset();
        t_.Check(std::string(folder) + "/" + CaseSlug(c.name) + ".txt");
    }
};

TEST_F(Api, StatusTexts) {
    ErrorText(4);  // before any failure the argument is zero
    ErrorText(6);
    for (uint32_t argument : {0x1234u, 0xFFFFFFFFu, 0x200u, 0x1F0000u}) {
        SetMessageArgument(argument);
        for (uint32_t code = 0; code < LORIC_STATUS_COUNT; ++code) ErrorText(code);
    }
    std::string copy = "C:\\images\\firmware.bin";
    SetMessageText(copy.c_str());
    copy.assign(copy.size(), 'x');  // the caller's buffer changes afterwards: the stored copy shows
    for (uint32_t code : {6u, 7u, 9u, 18u, 24u}) ErrorText(code);
    // Codes out of range: status 5, the buffer and the stored argument untouched, nothing traced.
    char text[64];
    std::memset(text, '#', sizeof text);
    SetMessageArgument(42);
    for (uint32_t code : {LORIC_STATUS_COUNT, 0xFFFFFFFFu})
        t_.Add("text %u -> %u\n", code, GetErrorText(code, text));
    t_.Add("null buffer -> %u\n", GetErrorText(0, nullptr));
    t_.Add("buffer %c, argument %u, pieces %zu\n", text[0], g_api.messageArgument.number,
           debug_.Pieces().size());
    // A long file name is kept cut to the stored length; its error line to the piece buffer.
    g_api.traceFlags = TRACE_ERROR;
    const std::string longName(3000, 'n');
    t_.Add("long name -> %u\n", ReportFailure(6, longName.c_str()));
    std::string buffer(4000, '\0');
    t_.Add("text 6 -> %u\n", GetErrorText(6, buffer.data()));
    t_.Add("text of %zu, piece of %zu\n", std::strlen(buffer.c_str()),
           debug_.Pieces().at(0).size());
    // Without TRACE_ERROR a failure only stores its argument.
    g_api.traceFlags = TRACE_API | TRACE_VERBOSE;
    t_.Add("failure -> %u", ReportFailure(8, 1028));
    t_.Add(", argument %u, pieces %zu\n", g_api.messageArgument.number, debug_.Pieces().size());
    t_.Check("api/status_texts.txt");
}

std::vector<ScenarioCase> OpenCloseCases() {
    return {
        {"no driver: nothing logged at the first open", false,
         [](Api& f) {
             f.Status("OpenLORIC(3F)", OpenLORIC(0x3F));
             f.Read(0, FLASH_READ_CTRL);
             f.Write(0, FLASH_READ_CTRL, 1);
             f.Status("LogAppMessage", LogAppMessage("x"));
         }},
        {"open selects node 0", true,
         [](Api& f) { f.Status("OpenLORIC", OpenLORIC(TRACE_API | TRACE_SELECT_NODE_0)); }},
        {"refused node 0 still opens", true,
         [](Api& f) {
             f.driver_->FailNext(IOCTL_SET_TARGET_NODE, 170);
             f.Status("OpenLORIC", OpenLORIC(TRACE_API | TRACE_ERROR | TRACE_SELECT_NODE_0));
             f.ErrorText(4);
         }},
        {"select bit alone opens the log and writes nothing", true,
         [](Api& f) { f.Status("OpenLORIC", OpenLORIC(TRACE_SELECT_NODE_0)); }},
        {"second open fails, keeps the first link, flags and log", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(TRACE_ERROR | TRACE_API));
             f.Status("OpenLORIC", OpenLORIC(TRACE_VERBOSE));
             f.Write(0xFFC0, FLASH_PORT_CTRL, 0);
         }},
        {"a failed reopen logs under the earlier flags", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(TRACE_ERROR | TRACE_API));
             f.Status("CloseLORIC", CloseLORIC());
             f.driver_.reset();
             f.debug_.Clear();
             f.Status("OpenLORIC", OpenLORIC(0));
         }},
        {"close without open", false, [](Api& f) { f.Status("CloseLORIC", CloseLORIC()); }},
        {"close, then reopen with zero flags keeps the log, makes a new connection", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(TRACE_API));
             f.Status("CloseLORIC", CloseLORIC());
             f.Read(0, 0);
             f.Status("OpenLORIC", OpenLORIC(0));
             f.Write(0xFFC0, FLASH_PORT_CTRL, 0);
         }},
        {"reopen with flags starts the log afresh", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(TRACE_API));
             f.Status("CloseLORIC", CloseLORIC());
             f.Status("OpenLORIC", OpenLORIC(TRACE_API));
         }},
    };
}

// The trace flags, application messages and the target node.
std::vector<ScenarioCase> MessageCases() {
    return {
        {"zero flags: no log, no trace", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(0));
             f.driver_->FailAlways(IOCTL_ASYNC_READ, 31);
             f.Read(0, FLASH_READ_CTRL);
         }},
        {"high bit: a log for application messages only", true,
         [](Api& f) {
             f.Status("OpenLORIC(80)", OpenLORIC(0x80));
             f.Status("LogAppMessage", LogAppMessage("step %d done\n", 3));
             f.Status("LogAppMessage", LogAppMessage("no line feed"));
         }},
        {"application message without a log", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(0));
             f.Status("LogAppMessage", LogAppMessage("%s=%x", "id", 0xABCu));
             f.Status("LogAppMessage(null)", LogAppMessage(nullptr));
         }},
        {"application message while closed is not formatted", false,
         [](Api& f) {
             g_api.traceFlags = TRACE_ERROR;
             g_api.messageArgument.number = 77;
             // The argument would fault if read.
             f.Status("LogAppMessage", LogAppMessage("%s", reinterpret_cast<const char*>(1)));
             EXPECT_EQ(g_api.messageArgument.number, 0u);
         }},
        {"target node: the low 16 bits", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(TRACE_API));
             f.Status("SetTargetNode", SetTargetNode(0x1234FFC2));
         }},
        {"target node while closed", false,
         [](Api& f) {
             g_api.traceFlags = TRACE_API | TRACE_ERROR;
             g_api.messageArgument.number = 5;
             f.Status("SetTargetNode", SetTargetNode(0x3C));
             EXPECT_EQ(g_api.messageArgument.number, 0u);
         }},
        {"success leaves the message argument of the last failure", true,
         [](Api& f) {
             f.Status("OpenLORIC", OpenLORIC(0));
             f.driver_->FailNext(IOCTL_ASYNC_READ, 1117);
             f.Read(0xFFC0, FLASH_READ_CTRL);
             f.Read(0xFFC0, FLASH_ERASE_CTRL);
             f.Status("SetTargetNode", SetTargetNode(1));
             f.ErrorText(9);
         }},
        {"a log that cannot be opened leaves the debugger output", true,
         [](Api& f) {
             std::filesystem::create_directory("debug.log");
             f.Status("OpenLORIC", OpenLORIC(TRACE_API));
             std::filesystem::remove("debug.log");
         }},
    };
}
class OpenClose : public WithCases<Api, ScenarioCase> {};
TEST_P(OpenClose, StatusesTraceAndLog) { Run("api/open_close", GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scenarios, OpenClose,
                         ::testing::ValuesIn(Concat(OpenCloseCases(), MessageCases())), CaseName());

// Quadlet reads and writes: request blocks, byte order, traces and failures.
std::vector<ScenarioCase> QuadletCases() {
    return {
        {"read: request block and byte order", true,
         [](Api& f) {
             f.Open(0);
             f.driver_->SetReadValue(FLASH_UPLOAD_CTRL, UPLOADER_READY);
             f.Status("ReadQuadlet",
                      ReadQuadlet(0x7777FFC2, 0x1234FFFF, FLASH_UPLOAD_CTRL, &f.value));
             f.t_.Add("value %08X\n", f.value);
         }},
        {"write: value most significant byte first, node's low 16 bits", true,
         [](Api& f) {
             f.Open(0);
             f.Write(0xFFC0, CSR_MODE_CTRL, MODE_EDIT);
             f.Write(0x3FF0005, 0, 0x01020304);
         }},
        {"verbose and internal trace of a read, also in the log", true,
         [](Api& f) {
             f.Open(TRACE_VERBOSE | TRACE_INTERNAL);
             f.driver_->SetReadValue(FLASH_READ_CTRL, 0x01020304);
             f.Read(0xFFC1, FLASH_READ_CTRL);
             f.t_.Add("value %08X\n", f.value);
         }},
        {"a failed write traces its data first", true,
         [](Api& f) {
             f.Open(TRACE_VERBOSE | TRACE_INTERNAL | TRACE_ERROR);
             f.driver_->FailNext(IOCTL_ASYNC_WRITE, 0x79);
             f.Write(0xFFC1, FLASH_READ_CTRL, 0x01020304);
         }},
        {"a failed read: detail, data, error line; the value stays", true,
         [](Api& f) {
             f.Open(TRACE_VERBOSE | TRACE_INTERNAL | TRACE_ERROR);
             f.driver_->FailNext(IOCTL_ASYNC_READ, 1117);
             f.value = 0x5A5A5A5A;
             f.Read(0xFFC1, FLASH_READ_CTRL);
             f.t_.Add("value %08X\n", f.value);
             f.ErrorText(9);
         }},
        {"error trace alone", true,
         [](Api& f) {
             f.Open(TRACE_ERROR);
             f.driver_->FailNext(IOCTL_ASYNC_READ, 31);
             f.Read(0, FLASH_UPLOAD_CHECKSUM);
         }},
        {"closed, then a missing value pointer", true,
         [](Api& f) {
             g_api.traceFlags = TRACE_VERBOSE | TRACE_ERROR;
             f.Status("ReadQuadlet", ReadQuadlet(0, REGISTER_OFFSET_HIGH, 0, nullptr));
             f.Write(0, 0, 0);
             f.Open(TRACE_VERBOSE | TRACE_ERROR);
             f.Status("ReadQuadlet", ReadQuadlet(0, REGISTER_OFFSET_HIGH, 0, nullptr));
         }},
        {"API trace alone shows no quadlet lines", true,
         [](Api& f) {
             f.Open(TRACE_API | TRACE_API_VERBOSE | TRACE_WARNING);
             f.Read(0, 0);
             f.Write(0, 0, 0);
         }},
    };
}
class Quadlets : public WithCases<Api, ScenarioCase> {};
TEST_P(Quadlets, RequestsTraceAndLog) { Run("api/quadlets", GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scenarios, Quadlets, ::testing::ValuesIn(QuadletCases()), CaseName());

TEST(CommandSets, BuiltInSetsAndTheFlashPortWordsOfOneCycle) {
    Transcript t;
    for (uint32_t i = 0; i <= kBuiltInCommandSetCount; ++i) {
        for (uint32_t width : {16u, 8u}) {  // a 16-bit copy first: the table stays as it was
            const FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(i, width);
            t.Add("set %u, %u bits: unlock %u reset %u program %u erase %u 16-bit %d:", i, width,
                  set.UnlockCount(), set.ResetCount(), set.ProgramCount(), set.EraseCount(),
                  set.Is16Bit());
            for (uint32_t word : set.words) t.Add(" %08X", word);
            t.Add("\n");
        }
    }
    uint32_t words[3];
    FlashPortWords({0x123456, 0xABCDEF}, words);
    t.Add("20-bit address: %08X %08X %08X\n", words[0], words[1], words[2]);
    t.Check("api/command_sets.txt");
}

// How the driver link reports the driver's failures.
class DriverLinkTest : public ApiTest {
protected:
    RequestRecorder driver_;
    DriverLink link_{"\\\\.\\BRENNOCK"};
};

TEST_F(DriverLinkTest, UploadBlockWithoutDataIsRefusedBeforeSending) {
    UploadBlockRequest request{0, 16, nullptr, 0};
    EXPECT_FALSE(link_.UploadBlock(false, request));
    EXPECT_EQ(platform::GetLastErrorCode(), platform::kErrorInvalidParameter);
    EXPECT_TRUE(driver_.Requests().empty());
    EXPECT_TRUE(link_.Reset(RESET_FLASH));  // the connection is still in step
}

// The driver's code is left as it is, every byte of it; a failure naming no code (0) still
// leaves a non-zero one; a broken connection is "device not connected" from then on.
TEST_F(DriverLinkTest, FailedRequestsLeaveTheDriversCode) {
    for (const auto& [error, left] :
         {std::pair{1117u, 1117u}, {0xC0120345u, 0xC0120345u}, {0u, platform::kErrorGenFailure}}) {
        driver_.FailNext(IOCTL_RESET, error);
        platform::SetLastErrorCode(0);
        EXPECT_FALSE(link_.Reset(RESET_DEVICE));
        EXPECT_EQ(platform::GetLastErrorCode(), left);
    }
    EXPECT_TRUE(link_.Reset(RESET_DEVICE));
    driver_.Queue(IOCTL_ERASE_SECTOR, ScriptedReply::Disconnect());
    EXPECT_FALSE(link_.EraseSector(0));
    EXPECT_EQ(platform::GetLastErrorCode(), 1167u);
    EXPECT_FALSE(link_.SetTargetNode(0));
    EXPECT_EQ(platform::GetLastErrorCode(), 1167u);
}

TEST_F(DriverLinkTest, DestructionClosesTheConnection) {
    ASSERT_TRUE(link_.Reset(RESET_FLASH));
    {
        DriverLink other("\\\\.\\BRENNOCK");
        ASSERT_TRUE(other.Reset(RESET_FLASH));
        EXPECT_EQ(driver_.OpenConnections(), 2);
    }
    // The stand-in notices the close on its own thread.
    EXPECT_TRUE(Await([&] { return driver_.OpenConnections() == 1; }));
}

std::string Format(size_t size, const char* format, ...) {
    std::string buffer(size + 8, '#');
    va_list args;
    va_start(args, format);
    int length = platform::FormatV(buffer.data(), size, format, args);
    va_end(args);
    std::string text(buffer.c_str());
    EXPECT_EQ(static_cast<size_t>(length), text.size());
    EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
    return text;
}

TEST(FormatV, Conversions) {
    EXPECT_EQ(Format(64, "%d %i %u", -5, 17, 0xFFFFFFFFu), "-5 17 4294967295");
    EXPECT_EQ(Format(64, "%x %X %#x %#X %#x", 0xabcu, 0xabcu, 0x1fu, 0x1fu, 0u),
              "abc ABC 0x1f 0X1F 0");
    EXPECT_EQ(Format(64, "%.8X|%.5X|%.4X", 0xF0090014u, 0x200u, 0u), "F0090014|00200|0000");
    EXPECT_EQ(Format(64, "[%5d][%-5d][%05d][%-05d]", 42, 42, -42, 7),
              "[   42][42   ][-0042][7    ]");
    EXPECT_EQ(Format(64, "[%08x][%#06x]", 0xbeefu, 0xbeu), "[0000beef][0x00be]");
    EXPECT_EQ(Format(64, "%c%c%%%s", 'o', 'k', "!"), "ok%!");
    EXPECT_EQ(Format(64, "[%10s][%-6s][%.2s]", "ab", "ab", "abcdef"), "[        ab][ab    ][ab]");
    EXPECT_EQ(Format(64, "%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(Format(64, "%hd %hu %hx", 0x18000, 0x12345, 0xFFFFFu), "-32768 9029 ffff");
    EXPECT_EQ(Format(64, "%ld %lu %lx", -3L, 3000000000UL, 0xCAFEUL), "-3 3000000000 cafe");
    EXPECT_EQ(Format(64, "%d", static_cast<int>(0x80000000u)), "-2147483648");
    EXPECT_EQ(Format(64, "no placeholders\r\n"), "no placeholders\r\n");
    EXPECT_EQ(Format(64, "trailing %"), "trailing ");
}

TEST(FormatV, CutsToTheBuffer) {
    EXPECT_EQ(Format(8, "%s", "0123456789"), "0123456");
    EXPECT_EQ(Format(6, "ab%dcd", 12345), "ab123");
    EXPECT_EQ(Format(1, "%d", 5), "");
    std::string longText(3000, 'z');
    EXPECT_EQ(Format(1024, "<%s>", longText.c_str()), "<" + std::string(1022, 'z'));
    EXPECT_EQ(Format(16, nullptr), "");
}

TEST(DebugOutput, StandardErrorOnlyWhenAsked) {
    for (const char* setting : {static_cast<const char*>(nullptr), "1"}) {
        ScopedEnv env("LORIC_DEBUG_OUTPUT", setting);
        testing::internal::CaptureStderr();
        platform::DebugOutput("API_TRACE: ");
        platform::DebugOutput("shown\n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), setting ? "API_TRACE: shown\n" : "");
    }
}

TEST(LastError, IsPerThread) {
    platform::SetLastErrorCode(1117);
    uint32_t other = 99;
    std::thread([&] { other = platform::GetLastErrorCode(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(platform::GetLastErrorCode(), 1117u);
}

// (The title changes' signal shows in the programming jobs' title lists.)
TEST(ProgressWindow, TitleIsBounded) {
    LORIC_PROGRESS_WINDOW window{};
    platform::SetWindowTitle(&window, std::string(200, 't').c_str());
    EXPECT_EQ(std::string(window.title), std::string(127, 't'));
    char text[8];
    EXPECT_EQ(platform::GetWindowTitle(&window, text, sizeof text), 7);
    EXPECT_STREQ(text, "ttttttt");
    char full[200];
    std::memset(window.title, 'x', sizeof window.title);  // a host forgot the terminator
    EXPECT_EQ(platform::GetWindowTitle(&window, full, sizeof full), 127);
    EXPECT_EQ(std::string(full), std::string(127, 'x'));
}

}  // namespace
}  // namespace loric::test
