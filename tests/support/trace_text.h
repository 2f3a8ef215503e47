// Helpers for comparing captured trace text.
#pragma once

#include <sstream>
#include <string>

namespace loric::test {

// The text without the lines of the asynchronous transactions (their own tests cover them),
// so that a test can compare the lines of the operation it is about.
inline std::string WithoutAsyncLines(const std::string& text) {
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        const std::string line = text.substr(start, end - start);
        if (line.find("AsyncRead") == std::string::npos && line.find("AsyncWrite") == std::string::npos &&
            line.find("AsynWrite") == std::string::npos)
            out += line;
        start = end;
    }
    return out;
}

}  // namespace loric::test
