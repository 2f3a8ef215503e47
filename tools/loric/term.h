// The little the tool needs from the console: is it a terminal and how wide
// (Ctrl-C is in interrupt.h).
#pragma once

#include <string>

namespace tool {

bool IsTerminal(int fd);
int TerminalWidth(int fd); // 80 when unknown

// Absolute form of a path (for messages); the path itself when it cannot be resolved.
std::string AbsolutePath(const std::string& path);

}  // namespace tool
