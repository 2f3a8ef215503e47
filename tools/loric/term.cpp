#include "term.h"

#include <cstdlib>
#include <filesystem>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace tool {

#if defined(_WIN32)
namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

HANDLE ConsoleOf(int fd) {
    const intptr_t os = _get_osfhandle(fd);
    if (os == -1 || os == -2 || os == 0) return nullptr;
    HANDLE handle = reinterpret_cast<HANDLE>(os);
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) ? handle : nullptr;
}

// The output console whose mode this program changed, and the mode to put back.
HANDLE g_changedConsole = nullptr;
DWORD g_savedMode = 0;

void RestoreConsoleMode() {
    if (g_changedConsole != nullptr) SetConsoleMode(g_changedConsole, g_savedMode);
    g_changedConsole = nullptr;
}

// True when escape sequences written to this console draw.
bool EnableVirtualTerminal(HANDLE console) {
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
    // Only output handles take the flag; an input handle refuses it and stays as it was.
    if (!SetConsoleMode(console,
                        mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING | ENABLE_PROCESSED_OUTPUT))
        return false;
    DWORD now = 0;
    if (!GetConsoleMode(console, &now) || (now & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0) {
        SetConsoleMode(console, mode);
        return false;
    }
    if (g_changedConsole == nullptr) {
        g_changedConsole = console;
        g_savedMode = mode;
        std::atexit(RestoreConsoleMode);
    }
    return true;
}

bool IsOutputConsole(HANDLE console) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    return GetConsoleScreenBufferInfo(console, &info) != 0;
}

}  // namespace
#endif

bool IsTerminal(int fd) {
#if defined(_WIN32)
    HANDLE console = ConsoleOf(fd);
    if (console == nullptr) return false;
    if (IsOutputConsole(console)) EnableVirtualTerminal(console);
    return true;
#else
    return isatty(fd) != 0;
#endif
}

int TerminalWidth(int fd) {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE console = ConsoleOf(fd);
    if (console == nullptr) console = GetStdHandle(STD_ERROR_HANDLE);
    if (console != nullptr && GetConsoleScreenBufferInfo(console, &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
#else
    struct winsize size {};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
#endif
    if (const char* columns = std::getenv("COLUMNS")) {
        int value = std::atoi(columns);
        if (value > 0) return value;
    }
    return 80;
}

void RewriteLine(std::FILE* out, const std::string& text) {
#if defined(_WIN32)
    HANDLE console = ConsoleOf(fileno(out));
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console != nullptr)
        std::fflush(out);  // the cursor is where the text written so far left it
    if (console != nullptr && GetConsoleScreenBufferInfo(console, &info)) {
        COORD start = {0, info.dwCursorPosition.Y};
        DWORD written = 0;
        FillConsoleOutputCharacterA(console, ' ', static_cast<DWORD>(info.dwSize.X), start,
                                    &written);
        FillConsoleOutputAttribute(console, info.wAttributes, static_cast<DWORD>(info.dwSize.X),
                                   start, &written);
        SetConsoleCursorPosition(console, start);
        std::fputs(text.c_str(), out);
        return;
    }
#endif
    std::fprintf(out, "\r\033[K%s", text.c_str());
}

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace tool
