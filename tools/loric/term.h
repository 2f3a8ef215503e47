// The little the tool needs from the console: is it a terminal, how wide, and redrawing the
// line the cursor is on (Ctrl-C is in interrupt.h).
#pragma once

#include <cstdio>
#include <string>

namespace tool {

// A terminal the user types on or reads from. On Windows only a console is one (its handle
// answers GetConsoleMode): NUL, files and pipes are not, although the C runtime counts NUL as
// a character device. Asking about a console output also turns on its virtual terminal
// processing where the console offers it (the mode it had is put back at exit), so the
// "\r\033[K" of a redrawn line draws instead of printing.
bool IsTerminal(int fd);
int TerminalWidth(int fd);  // 80 when unknown

// Replaces the line the cursor is on with `text`, the cursor left at its end: "\r\033[K" and
// the text on a terminal; on a Windows console the same done with the console functions
// (the row blanked, the cursor to its column 0, then the text), which every console draws,
// whether it interprets escape sequences or not (Wine's passes some of them on as text).
void RewriteLine(std::FILE* out, const std::string& text);

// Absolute form of a path (for messages); the path itself when it cannot be resolved.
std::string AbsolutePath(const std::string& path);

}  // namespace tool
