#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flash/flash_data.h"

namespace loric::test {
namespace {

// Every line ReadFileLine gives for `bytes` with a buffer of `size`, until end of file.
std::vector<std::string> Lines(const std::string& bytes, uint32_t size) {
    FILE* file = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    std::vector<std::string> lines;
    std::vector<char> buffer(size + 1, '#');
    for (int guard = 0; guard < 100; ++guard) {
        bool atEnd = std::feof(file) != 0;
        uint32_t length = ReadFileLine(file, buffer.data(), size);
        EXPECT_EQ(length, std::string(buffer.data()).size());
        EXPECT_EQ(buffer[size], '#') << "wrote past the buffer";
        if (atEnd) {
            EXPECT_EQ(length, 0u);
            break;
        }
        lines.emplace_back(buffer.data());
    }
    std::fclose(file);
    return lines;
}

TEST(ReadFileLine, LineEnds) {
    using V = std::vector<std::string>;
    struct Case {
        std::string bytes;
        V lines;
    } cases[] = {
        {"a\nb\n", {"a", "b", ""}},
        {"a\r\nb\r\n", {"a", "b", ""}},
        {"a\rb", {"a", "b"}},
        {"a\r\rb", {"a", "", "b"}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"a\r\n\r\n", {"a", "", ""}},
        {"", {""}},
        {"last", {"last"}},
        {"a\r", {"a"}},
    };
    for (const Case& c : cases) EXPECT_EQ(Lines(c.bytes, 64), c.lines) << c.bytes;
}

TEST(ReadFileLine, LongLinesAreCutAndTheirRestDropped) {
    const std::string long70(70, 'x');
    EXPECT_EQ(Lines(long70 + "\nnext\n", 64), (std::vector<std::string>{std::string(63, 'x'), "next", ""}));
    EXPECT_EQ(Lines(std::string(63, 'y') + "\n", 64), (std::vector<std::string>{std::string(63, 'y'), ""}));
    EXPECT_EQ(Lines("abc\nd\n", 1), (std::vector<std::string>{"", "", ""}));
    EXPECT_EQ(Lines("abcdef\r\ngh", 4), (std::vector<std::string>{"abc", "gh"}));
}

}  // namespace
}  // namespace loric::test
