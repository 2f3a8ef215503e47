// Golden data: expected files, images and transcripts kept under tests/data/ and compared
// whole. With LORIC_UPDATE_GOLDEN=1 in the environment a comparison rewrites its file instead
// (and fails, so that an update is never mistaken for a pass); review the diff before committing.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/bytes.h"

namespace loric::test {

inline std::string GoldenPath(const std::string& name) {
    return std::string(LORIC_SOURCE_DIR) + "/tests/data/" + name;
}

inline std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void ExpectGolden(const std::string& name, const std::string& actual) {
    const std::string path = GoldenPath(name);
    const char* update = std::getenv("LORIC_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << actual;
        ADD_FAILURE() << "rewrote " << path;
        return;
    }
    const std::string expected = ReadFileBytes(path);
    EXPECT_FALSE(expected.empty())
        << path << " is missing or empty (LORIC_UPDATE_GOLDEN=1 writes it)";
    EXPECT_EQ(expected, actual) << "differs from " << path;
}

inline void ExpectGolden(const std::string& name, const std::vector<uint8_t>& actual) {
    ExpectGolden(name, std::string(actual.begin(), actual.end()));
}

// A case's name as a test name and a file name: its letters in lower case and its digits, each
// run of other characters one '_'. A table's goldens are <folder>/<CaseSlug(name)>.txt, in
// the table's order.
inline std::string CaseSlug(const std::string& name) {
    std::string slug;
    for (char c : name) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            slug += c;
        else if (c >= 'A' && c <= 'Z')
            slug += static_cast<char>(c - 'A' + 'a');
        else if (!slug.empty() && slug.back() != '_')
            slug += '_';
    }
    while (!slug.empty() && slug.back() == '_') slug.pop_back();
    return slug;
}

// Names a parameterised test after its case's `name`.
struct CaseName {
    template <class T>
    std::string operator()(const ::testing::TestParamInfo<T>& info) const {
        return CaseSlug(info.param.name);
    }
};

// A parameterised suite of `Fixture` over `Case`s.
template <class Fixture, class Case>
struct WithCases : Fixture, ::testing::WithParamInterface<Case> {};

// The cases of two tables, in order.
template <class Case>
std::vector<Case> Concat(std::vector<Case> first, const std::vector<Case>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// A text that a test builds up line by line and compares with a golden file.
class Transcript {
public:
    void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char line[4096];
        va_list args;
        va_start(args, format);
        std::vsnprintf(line, sizeof line, format, args);
        va_end(args);
        text_ += line;
    }
    void Text(const std::string& text) { text_ += text; }
    // Bytes as little-endian quadlets, eight a line, each line led by its word index.
    void Words(const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); i += 4) {
            if (i % 32 == 0) Add("%s%04zu:", i ? "\n" : "", i / 4);
            uint8_t word[4] = {};  // a last part word is padded with zeros
            std::copy(bytes.begin() + i, bytes.begin() + std::min(i + 4, bytes.size()), word);
            Add(" %08X", bytes::LoadLittleEndian32(word));
        }
        Add("\n");
    }
    // Replaces every `from` in what is there so far (a scratch path, say) by `to`.
    void Replace(const std::string& from, const std::string& to) {
        for (size_t at = 0; !from.empty() && (at = text_.find(from, at)) != std::string::npos;
             at += to.size())
            text_.replace(at, from.size(), to);
    }
    const std::string& str() const { return text_; }
    void Check(const std::string& golden) { ExpectGolden(golden, text_); }

private:
    std::string text_;
};

// A case of a table in this file's unnamed namespace prints as its name, in failure messages
// and in the test names ctest lists (raw bytes there would hold addresses).
namespace {
template <class Case>
requires requires(const Case& c) { c.name; }
std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }
}  // namespace

}  // namespace loric::test
