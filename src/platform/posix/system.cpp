// Linux stand-ins for the Windows last error, debugger output, formatting, log file,
// progress window and clock.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/format_rules.h"
#include "platform/platform.h"

namespace loric::platform {

namespace {

thread_local uint32_t t_lastError;

constexpr int kTitleLimit = 127;

}  // namespace

uint32_t GetLastErrorCode() { return t_lastError; }
void SetLastErrorCode(uint32_t code) { t_lastError = code; }

void NativeDebugOutput(const char* text) {
    if (std::getenv("LORIC_DEBUG_OUTPUT") == nullptr) return;
    std::fputs(text, stderr);
}

int FormatV(char* buffer, size_t size, const char* format, va_list args) {
    return FormatRulesV(buffer, size, format, args);
}

// The log is written in binary mode; line feeds become carriage return and line feed here,
// so that the file holds the bytes that Windows text mode stores.
LogFile* OpenLogFile(const char* fileName) {
    if (fileName == nullptr) return nullptr;
    return reinterpret_cast<LogFile*>(std::fopen(fileName, "wb"));
}

void WriteLogFile(LogFile* file, const char* text) {
    if (file == nullptr || text == nullptr) return;
    FILE* stream = reinterpret_cast<FILE*>(file);
    const char* start = text;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\n') continue;
        std::fwrite(start, 1, static_cast<size_t>(p - start), stream);
        std::fwrite("\r\n", 1, 2, stream);
        start = p + 1;
    }
    std::fputs(start, stream);
}

void FlushLogFile(LogFile* file) {
    if (file != nullptr) std::fflush(reinterpret_cast<FILE*>(file));
}

void CloseLogFile(LogFile* file) {
    if (file != nullptr) std::fclose(reinterpret_cast<FILE*>(file));
}

int GetWindowTitle(ProgressWindow window, char* text, int size) {
    if (text == nullptr || size <= 0) return 0;
    if (window == nullptr) {
        text[0] = '\0';
        return 0;
    }
    int limit = size - 1 < kTitleLimit ? size - 1 : kTitleLimit;
    int length = static_cast<int>(strnlen(window->title, static_cast<size_t>(limit)));
    std::memcpy(text, window->title, static_cast<size_t>(length));
    text[length] = '\0';
    return length;
}

void SetWindowTitle(ProgressWindow window, const char* text) {
    if (window == nullptr) return;
    if (text == nullptr) text = "";
    size_t length = strnlen(text, kTitleLimit);
    std::memmove(window->title, text, length);
    window->title[length] = '\0';
    if (window->titleChanged != nullptr) window->titleChanged(window);
}

uint32_t CallProgress(ProgressCallback callback, uint8_t percent) {
    return callback != nullptr ? callback(percent) : 0;
}

CalendarTime RealNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return CalendarTime{static_cast<int64_t>(now.tv_sec),
                        static_cast<uint32_t>(now.tv_nsec / 1000000)};
}

void RealSleepMilliseconds(uint32_t milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&request, &request) != 0 && errno == EINTR) {
    }
}

}  // namespace loric::platform
