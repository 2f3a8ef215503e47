// The Linux platform layer: formatting, debugger output, last error, window record.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/api_fixture.h"

namespace loric::test {
namespace {

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

int g_titleChanges;
void CountTitleChange(LORIC_PROGRESS_WINDOW*) { ++g_titleChanges; }

TEST(ProgressWindow, TitleIsBoundedAndChangesAreSignalled) {
    LORIC_PROGRESS_WINDOW window{};
    window.titleChanged = &CountTitleChange;
    g_titleChanges = 0;
    platform::SetWindowTitle(&window, std::string(200, 't').c_str());
    EXPECT_EQ(std::string(window.title), std::string(127, 't'));
    EXPECT_EQ(g_titleChanges, 1);
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
