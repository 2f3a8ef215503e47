// The little the tool needs from the console: is it a terminal, how wide, and Ctrl-C.
#pragma once

#include <string>

namespace tool {

bool IsTerminal(int fd);
int TerminalWidth(int fd); // 80 when unknown

// The first Ctrl-C asks the running job to stop at the next progress step; a second one ends
// the process at once.
void InstallInterruptHandler();
bool Interrupted();

// Absolute form of a path (for messages); the path itself when it cannot be resolved.
std::string AbsolutePath(const std::string& path);

}  // namespace tool
