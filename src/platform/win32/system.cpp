// The Windows platform layer: thin wrappers of kernel32 and user32.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace loric::platform {

uint32_t GetLastErrorCode() { return GetLastError(); }
void SetLastErrorCode(uint32_t code) { SetLastError(code); }

void NativeDebugOutput(const char* text) { OutputDebugStringA(text); }

int FormatV(char* buffer, size_t size, const char* format, va_list args) {
    if (buffer == nullptr || size == 0) return 0;
    if (format == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    // wvsprintfA writes at most 1024 bytes; format into room of that size, then cut.
    char text[1025];
    int length = wvsprintfA(text, format, args);
    if (length < 0) length = 0;
    if (length > 1024) length = 1024;
    text[length] = '\0';
    size_t stored = static_cast<size_t>(length) < size - 1 ? static_cast<size_t>(length) : size - 1;
    std::memcpy(buffer, text, stored);
    buffer[stored] = '\0';
    return static_cast<int>(stored);
}

// Text mode: the runtime stores each line feed as carriage return and line feed.
LogFile* OpenLogFile(const char* fileName) {
    if (fileName == nullptr) return nullptr;
    return reinterpret_cast<LogFile*>(std::fopen(fileName, "w"));
}

void WriteLogFile(LogFile* file, const char* text) {
    if (file != nullptr && text != nullptr) std::fprintf(reinterpret_cast<FILE*>(file), "%s", text);
}

void FlushLogFile(LogFile* file) {
    if (file != nullptr) std::fflush(reinterpret_cast<FILE*>(file));
}

void CloseLogFile(LogFile* file) {
    if (file != nullptr) std::fclose(reinterpret_cast<FILE*>(file));
}

Handle OpenDevice(const char* path) {
    HANDLE handle =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    return handle == INVALID_HANDLE_VALUE ? kInvalidHandle : static_cast<Handle>(handle);
}

bool DeviceControl(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint32_t* bytesReturned, const void* /*uploadData*/,
                   uint32_t /*uploadLength*/) {
    // Upload data are read by the driver through the address inside the request.
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(static_cast<HANDLE>(device), code, const_cast<void*>(in), inLength,
                              out, outLength, &returned, nullptr);
    if (bytesReturned != nullptr) *bytesReturned = returned;
    return ok != FALSE;
}

void CloseDevice(Handle device) {
    if (device != kInvalidHandle) CloseHandle(static_cast<HANDLE>(device));
}

uint32_t UploadDataField(const void* data) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
}

int GetWindowTitle(ProgressWindow window, char* text, int size) {
    if (text == nullptr || size <= 0) return 0;
    text[0] = '\0';
    return GetWindowTextA(reinterpret_cast<HWND>(window), text, size);
}

void SetWindowTitle(ProgressWindow window, const char* text) {
    SetWindowTextA(reinterpret_cast<HWND>(window), text);
}

// Hosts declare the callback either caller-cleans or callee-cleans. The stack pointer is
// kept in a callee-saved register across the call and restored afterwards, so both work.
uint32_t CallProgress(ProgressCallback callback, uint8_t percent) {
    if (callback == nullptr) return 0;
    uint32_t result;
    uint32_t argument = percent;
    __asm__ __volatile__(
        "movl %%esp, %%esi\n\t"
        "pushl %[argument]\n\t"
        "call *%[callback]\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result)
        : [callback] "r"(callback), [argument] "r"(argument)
        : "esi", "ecx", "edx", "memory", "cc");
    return result;
}

CalendarTime RealNow() {
    FILETIME fileTime;
    GetSystemTimeAsFileTime(&fileTime);
    ULARGE_INTEGER ticks;
    ticks.LowPart = fileTime.dwLowDateTime;
    ticks.HighPart = fileTime.dwHighDateTime;
    // 100-nanosecond ticks since 1601 to milliseconds since 1970.
    const uint64_t ms = ticks.QuadPart / 10000ULL - 11644473600000ULL;
    return CalendarTime{static_cast<int64_t>(ms / 1000), static_cast<uint32_t>(ms % 1000)};
}

void RealSleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace loric::platform
