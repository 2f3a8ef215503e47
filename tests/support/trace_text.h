// Helpers for comparing captured trace text.
#pragma once

#include <sstream>
#include <string>

namespace loric::test {

// The text without the lines of the asynchronous transactions (their own tests cover them),
// so that a test can compare the lines of the operation it is about.
inline std::string WithoutAsyncLines(const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (std::string line; std::getline(in, line);)
        if (line.find("AsyncRead") == std::string::npos && line.find("AsyncWrite") == std::string::npos &&
            line.find("AsynWrite") == std::string::npos)
            out += line + (in.eof() ? "" : "\n");
    return out;
}

}  // namespace loric::test
