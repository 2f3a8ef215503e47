// The API's foundation at the level of the exports: status texts, opening and closing, the trace
// log, application messages, the target node and quadlet access; the driver link's failures; the
// Linux platform layer (formatting, debugger output, last error, window record). Each scenario
// adds its statuses, the debugger output piece by piece, the trace log and the driver requests
// to a transcript compared with its golden file in tests/data/foundation/.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "api/context.h"
#include "link/registers.h"
#include "link/driver_link.h"
#include "platform/platform.h"
#include "support/api_fixture.h"
#include "support/golden.h"
#include "support/request_recorder.h"

namespace loric::test {
namespace {

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

class Api : public ApiTest {
protected:
    std::unique_ptr<RequestRecorder> driver_;
    Transcript t_;

    // Runs `body` from a fresh context, with a driver stand-in or none, and records what it left.
    void Scenario(const char* name, bool driver, const std::function<void()>& body) {
        ResetApiContext();
        std::filesystem::remove_all("debug.log");
        driver_ = driver ? std::make_unique<RequestRecorder>() : nullptr;
        debug_.Clear();
        t_.Add("== %s\n", name);
        body();
        t_.Add("pieces:");
        for (const std::string& piece : debug_.Pieces()) t_.Add(" [%s]", Escaped(piece).c_str());
        t_.Add("\nlog: %s\n", DebugLogExists() ? ("[" + Escaped(ReadDebugLog()) + "]").c_str() : "none");
        for (const RecordedRequest& r : driver_ ? driver_->Requests() : std::vector<RecordedRequest>()) {
            t_.Add("request %X out %u connection %d:", r.code, r.outLength, r.connection);
            for (uint8_t b : r.input) t_.Add(" %02X", b);
            t_.Add("\n");
        }
        ResetApiContext();  // closes the log before the stand-in goes
        driver_.reset();
    }
    void Status(const char* call, uint32_t status) { t_.Add("%s -> %u\n", call, status); }
    void ErrorText(uint32_t code) {
        char text[1200];
        std::memset(text, '#', sizeof text);
        EXPECT_EQ(GetErrorText(code, text), 0u);
        EXPECT_TRUE(g_api.messageArgument.isText || std::strlen(text) < 64) << code;  // hosts' buffers
        t_.Add("text %u: %s\n", code, text);
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
    for (uint32_t code : {LORIC_STATUS_COUNT, 0xFFFFFFFFu}) t_.Add("text %u -> %u\n", code, GetErrorText(code, text));
    t_.Add("null buffer -> %u\n", GetErrorText(0, nullptr));
    t_.Add("buffer %c, argument %u, pieces %zu\n", text[0], g_api.messageArgument.number, debug_.Pieces().size());
    // A long file name is kept cut to the stored length; its error line to the piece buffer.
    g_api.traceFlags = TRACE_ERROR;
    const std::string longName(3000, 'n');
    t_.Add("long name -> %u\n", ReportFileFailure(6, longName.c_str()));
    std::string buffer(4000, '\0');
    t_.Add("text 6 -> %u\n", GetErrorText(6, buffer.data()));
    t_.Add("text of %zu, piece of %zu\n", std::strlen(buffer.c_str()), debug_.Pieces().at(0).size());
    // Without TRACE_ERROR a failure only stores its argument.
    g_api.traceFlags = TRACE_API | TRACE_VERBOSE;
    t_.Add("failure -> %u", ReportFailure(8, 1028));
    t_.Add(", argument %u, pieces %zu\n", g_api.messageArgument.number, debug_.Pieces().size());
    t_.Check("foundation/status_texts.txt");
}

TEST_F(Api, OpenCloseLogAndTargetNode) {
    uint32_t value = 0;
    Scenario("no driver: nothing logged at the first open", false, [&] {
        Status("OpenLORIC(3F)", OpenLORIC(0x3F));
        Status("ReadQuadlet", ReadQuadlet(0, 0xFFFF, 0xF0090014, &value));
        Status("WriteQuadlet", WriteQuadlet(0, 0xFFFF, 0xF0090014, 1));
        Status("LogAppMessage", LogAppMessage("x"));
    });
    Scenario("open selects node 0", true, [&] { Status("OpenLORIC", OpenLORIC(TRACE_API | TRACE_SELECT_NODE_0)); });
    Scenario("refused node 0 still opens", true, [&] {
        driver_->FailNext(IOCTL_SET_TARGET_NODE, 170);
        Status("OpenLORIC", OpenLORIC(TRACE_API | TRACE_ERROR | TRACE_SELECT_NODE_0));
        ErrorText(4);
    });
    Scenario("select bit alone opens the log and writes nothing", true,
             [&] { Status("OpenLORIC", OpenLORIC(TRACE_SELECT_NODE_0)); });
    Scenario("second open fails, keeps the first link, flags and log", true, [&] {
        Status("OpenLORIC", OpenLORIC(TRACE_ERROR | TRACE_API));
        Status("OpenLORIC", OpenLORIC(TRACE_VERBOSE));
        Status("WriteQuadlet", WriteQuadlet(0xFFC0, 0xFFFF, 0xF0080000, 0));
    });
    Scenario("a failed reopen logs under the earlier flags", true, [&] {
        Status("OpenLORIC", OpenLORIC(TRACE_ERROR | TRACE_API));
        Status("CloseLORIC", CloseLORIC());
        driver_.reset();
        debug_.Clear();
        Status("OpenLORIC", OpenLORIC(0));
    });
    Scenario("close without open", false, [&] { Status("CloseLORIC", CloseLORIC()); });
    Scenario("close, then reopen with zero flags keeps the log, makes a new connection", true, [&] {
        Status("OpenLORIC", OpenLORIC(TRACE_API));
        Status("CloseLORIC", CloseLORIC());
        Status("ReadQuadlet", ReadQuadlet(0, 0xFFFF, 0, &value));
        Status("OpenLORIC", OpenLORIC(0));
        Status("WriteQuadlet", WriteQuadlet(0xFFC0, 0xFFFF, 0xF0080000, 0));
    });
    Scenario("reopen with flags starts the log afresh", true, [&] {
        Status("OpenLORIC", OpenLORIC(TRACE_API));
        Status("CloseLORIC", CloseLORIC());
        Status("OpenLORIC", OpenLORIC(TRACE_API));
    });
    Scenario("zero flags: no log, no trace", true, [&] {
        Status("OpenLORIC", OpenLORIC(0));
        driver_->FailAlways(IOCTL_ASYNC_READ, 31);
        Status("ReadQuadlet", ReadQuadlet(0, 0xFFFF, 0xF0090014, &value));
    });
    Scenario("high bit: a log for application messages only", true, [&] {
        Status("OpenLORIC(80)", OpenLORIC(0x80));
        Status("LogAppMessage", LogAppMessage("step %d done\n", 3));
        Status("LogAppMessage", LogAppMessage("no line feed"));
    });
    Scenario("application message without a log", true, [&] {
        Status("OpenLORIC", OpenLORIC(0));
        Status("LogAppMessage", LogAppMessage("%s=%x", "id", 0xABCu));
        Status("LogAppMessage(null)", LogAppMessage(nullptr));
    });
    Scenario("application message while closed is not formatted", false, [&] {
        g_api.traceFlags = TRACE_ERROR;
        g_api.messageArgument.number = 77;
        Status("LogAppMessage", LogAppMessage("%s", reinterpret_cast<const char*>(1)));  // would fault if read
        EXPECT_EQ(g_api.messageArgument.number, 0u);
    });
    Scenario("target node: the low 16 bits", true, [&] {
        Status("OpenLORIC", OpenLORIC(TRACE_API));
        Status("SetTargetNode", SetTargetNode(0x1234FFC2));
    });
    Scenario("target node while closed", false, [&] {
        g_api.traceFlags = TRACE_API | TRACE_ERROR;
        g_api.messageArgument.number = 5;
        Status("SetTargetNode", SetTargetNode(0x3C));
        EXPECT_EQ(g_api.messageArgument.number, 0u);
    });
    Scenario("success leaves the message argument of the last failure", true, [&] {
        Status("OpenLORIC", OpenLORIC(0));
        driver_->FailNext(IOCTL_ASYNC_READ, 1117);
        Status("ReadQuadlet", ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090014, &value));
        Status("ReadQuadlet", ReadQuadlet(0xFFC0, 0xFFFF, 0xF0090000, &value));
        Status("SetTargetNode", SetTargetNode(1));
        ErrorText(9);
    });
    Scenario("a log that cannot be opened leaves the debugger output", true, [&] {
        std::filesystem::create_directory("debug.log");
        Status("OpenLORIC", OpenLORIC(TRACE_API));
        std::filesystem::remove("debug.log");
    });
    t_.Check("foundation/open_close.txt");
}

TEST_F(Api, QuadletRequestsTracesAndFailures) {
    uint32_t value = 0;
    auto open = [&](uint32_t flags) {
        Status("OpenLORIC", OpenLORIC(flags & TRACE_VERBOSE ? TRACE_VERBOSE : 0));
        g_api.traceFlags = flags;
        driver_->ClearRequests();
        debug_.Clear();
    };
    Scenario("read: request block and byte order", true, [&] {
        open(0);
        driver_->SetReadValue(FLASH_UPLOAD_CTRL, UPLOADER_READY);
        Status("ReadQuadlet", ReadQuadlet(0x7777FFC2, 0x1234FFFF, FLASH_UPLOAD_CTRL, &value));
        t_.Add("value %08X\n", value);
    });
    Scenario("write: value most significant byte first, node's low 16 bits", true, [&] {
        open(0);
        Status("WriteQuadlet", WriteQuadlet(0xFFC0, 0xFFFF, CSR_MODE_CTRL, MODE_EDIT));
        Status("WriteQuadlet", WriteQuadlet(0x3FF0005, 0xFFFF, 0, 0x01020304));
    });
    Scenario("verbose and internal trace of a read, also in the log", true, [&] {
        open(TRACE_VERBOSE | TRACE_INTERNAL);
        driver_->SetReadValue(0xF0090014, 0x01020304);
        Status("ReadQuadlet", ReadQuadlet(0xFFC1, 0xFFFF, 0xF0090014, &value));
        t_.Add("value %08X\n", value);
    });
    Scenario("a failed write traces its data first", true, [&] {
        open(TRACE_VERBOSE | TRACE_INTERNAL | TRACE_ERROR);
        driver_->FailNext(IOCTL_ASYNC_WRITE, 0x79);
        Status("WriteQuadlet", WriteQuadlet(0xFFC1, 0xFFFF, 0xF0090014, 0x01020304));
    });
    Scenario("a failed read: detail, data, error line; the value stays", true, [&] {
        open(TRACE_VERBOSE | TRACE_INTERNAL | TRACE_ERROR);
        driver_->FailNext(IOCTL_ASYNC_READ, 1117);
        value = 0x5A5A5A5A;
        Status("ReadQuadlet", ReadQuadlet(0xFFC1, 0xFFFF, 0xF0090014, &value));
        t_.Add("value %08X\n", value);
        ErrorText(9);
    });
    Scenario("error trace alone", true, [&] {
        open(TRACE_ERROR);
        driver_->FailNext(IOCTL_ASYNC_READ, 31);
        Status("ReadQuadlet", ReadQuadlet(0, 0xFFFF, 0xF0090004, &value));
    });
    Scenario("closed, then a missing value pointer", true, [&] {
        g_api.traceFlags = TRACE_VERBOSE | TRACE_ERROR;
        Status("ReadQuadlet", ReadQuadlet(0, 0xFFFF, 0, nullptr));
        Status("WriteQuadlet", WriteQuadlet(0, 0xFFFF, 0, 0));
        open(TRACE_VERBOSE | TRACE_ERROR);
        Status("ReadQuadlet", ReadQuadlet(0, 0xFFFF, 0, nullptr));
    });
    Scenario("API trace alone shows no quadlet lines", true, [&] {
        open(TRACE_API | TRACE_API_VERBOSE | TRACE_WARNING);
        Status("ReadQuadlet", ReadQuadlet(0, 0xFFFF, 0, &value));
        Status("WriteQuadlet", WriteQuadlet(0, 0xFFFF, 0, 0));
    });
    t_.Check("foundation/quadlets.txt");
}

TEST(CommandSets, BuiltInSetsAndTheFlashPortWordsOfOneCycle) {
    Transcript t;
    for (uint32_t i = 0; i <= kBuiltInCommandSetCount; ++i) {
        for (uint32_t width : {16u, 8u}) {  // a 16-bit copy first: the table stays as it was
            const FLASH_COMMAND_SET set = FLASH_COMMAND_SET::BuiltIn(i, width);
            t.Add("set %u, %u bits: unlock %u reset %u program %u erase %u 16-bit %d:", i, width, set.UnlockCount(),
                  set.ResetCount(), set.ProgramCount(), set.EraseCount(), set.Is16Bit());
            for (uint32_t word : set.words) t.Add(" %08X", word);
            t.Add("\n");
        }
    }
    uint32_t words[3];
    FlashPortWords({0x123456, 0xABCDEF}, words);
    t.Add("20-bit address: %08X %08X %08X\n", words[0], words[1], words[2]);
    t.Check("foundation/command_sets.txt");
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
    for (const auto& [error, left] : {std::pair{1117u, 1117u}, {0xC0120345u, 0xC0120345u}, {0u, platform::kErrorGenFailure}}) {
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
    for (int i = 0; i < 2000 && driver_.OpenConnections() != 1; ++i) platform::RealSleepMilliseconds(1);
    EXPECT_EQ(driver_.OpenConnections(), 1);
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
    EXPECT_EQ(Format(64, "%x %X %#x %#X %#x", 0xabcu, 0xabcu, 0x1fu, 0x1fu, 0u), "abc ABC 0x1f 0X1F 0");
    EXPECT_EQ(Format(64, "%.8X|%.5X|%.4X", 0xF0090014u, 0x200u, 0u), "F0090014|00200|0000");
    EXPECT_EQ(Format(64, "[%5d][%-5d][%05d][%-05d]", 42, 42, -42, 7), "[   42][42   ][-0042][7    ]");
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
