// README's description of --json, held against the documents the tool prints (the goldens of
// output_test.cpp): every field a document carries is one README names, for its command.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "support/golden.h"

namespace {

using loric::test::ReadFileBytes;

// README's "Output for scripts": the paragraph before the table (the document's own fields),
// and the table's row for each command.
struct Description {
    std::string document;
    std::map<std::string, std::string> rows;
};

Description ReadDescription() {
    const std::string readme = ReadFileBytes(std::string(LORIC_SOURCE_DIR) + "/README.md");
    const size_t start = readme.find("**Output for scripts.**");
    const size_t table = readme.find("| Command | `result` |", start);
    Description d{readme.substr(start, table - start), {}};
    std::istringstream lines(readme.substr(table));
    for (std::string line; std::getline(lines, line) && line.rfind("|", 0) == 0;) {
        const size_t open = line.find('`'), close = line.find('`', open + 1);
        if (open != std::string::npos && close != std::string::npos)
            d.rows[line.substr(open + 1, close - open - 1)] = line.substr(close);
    }
    return d;
}

TEST(ReadmeJson, EveryFieldOfEveryDocumentIsDescribed) {
    const Description d = ReadDescription();
    ASSERT_FALSE(d.rows.empty());
    const auto folder = std::filesystem::path(LORIC_SOURCE_DIR) / "tests/data/tool/output";
    int documents = 0;
    for (const auto& file : std::filesystem::directory_iterator(folder)) {
        if (file.path().extension() != ".json") continue;
        SCOPED_TRACE(file.path().filename().string());
        const auto doc = nlohmann::json::parse(ReadFileBytes(file.path()));
        ++documents;
        for (const auto& [key, value] : doc.items())
            EXPECT_NE(d.document.find("`" + key + "`"), std::string::npos) << key;
        if (!doc.contains("result") || doc["result"].empty()) continue;
        const std::string command = doc["command"].get<std::string>();
        ASSERT_TRUE(d.rows.count(command)) << "README has no row for " << command;
        for (const auto& [key, value] : doc["result"].items())
            EXPECT_NE(d.rows.at(command).find("`" + key + "`"), std::string::npos)
                << command << ": " << key;
    }
    EXPECT_GE(documents, 20);
}

}  // namespace
