#include "term.h"

#include <csignal>
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
namespace {

volatile std::sig_atomic_t g_interrupts = 0;

void OnInterrupt(int) {
    g_interrupts = g_interrupts + 1;
    static const char kNote[] =
        "\nloric: stopping at the next step (Ctrl-C again to quit at once)\n";
#if defined(_WIN32)
    _write(2, kNote, sizeof kNote - 1);
#else
    ssize_t ignored = write(2, kNote, sizeof kNote - 1);
    (void)ignored;
#endif
    // The next Ctrl-C ends the process the usual way.
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

bool IsTerminal(int fd) {
#if defined(_WIN32)
    return _isatty(fd) != 0;
#else
    return isatty(fd) != 0;
#endif
}

int TerminalWidth(int fd) {
#if defined(_WIN32)
    (void)fd;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
#else
    struct winsize size{};
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

void InstallInterruptHandler() { std::signal(SIGINT, OnInterrupt); }

bool Interrupted() { return g_interrupts != 0; }

std::string AbsolutePath(const std::string& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

}  // namespace tool
