// Record layouts shared with hosts must not drift, nor the layering of the library's folders.
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "loric.h"

TEST(Layout, RecordSizes) {
    EXPECT_EQ(sizeof(NODE_INFO), 20u);
    EXPECT_EQ(sizeof(FLASH_SECTOR), 12u);
    EXPECT_EQ(sizeof(CONFIG_FILE_INFO), 400u);
    EXPECT_EQ(offsetof(FLASH_DEVICE, configSector), sizeof(void*) == 4 ? 6268u : 6272u);
}

// A file of src/ includes headers of its own folder and of the layers below it only, in the
// order CMakeLists.txt gives: api's headers are the frame near the bottom, its sources on top.
TEST(Layout, IncludesRunDownward) {
    const std::map<std::string, int> rank = {{"platform", 0}, {"api", 1}, {"link", 2},
                                             {"flash", 3},    {"bus", 4}, {"program", 5},
                                             {"configrom", 6}};
    namespace fs = std::filesystem;
    const fs::path src = fs::path(LORIC_SOURCE_DIR) / "src";
    int includes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        if (!entry.is_regular_file()) continue;
        const std::string folder = fs::relative(entry.path(), src).begin()->string();
        ASSERT_TRUE(rank.count(folder))
            << entry.path() << ": give its folder a place in the layers";
        const int own = folder == "api" && entry.path().extension() == ".cpp" ? 7 : rank.at(folder);
        std::ifstream in(entry.path());
        std::string line;
        for (int number = 1; std::getline(in, line); ++number) {
            const size_t slash = line.find('/'), end = line.find('"', 10);
            if (line.rfind("#include \"", 0) != 0 || slash > end) continue;
            const std::string target = line.substr(10, slash - 10);
            ++includes;
            EXPECT_TRUE(rank.count(target) && rank.at(target) <= own)
                << entry.path() << ":" << number << ": " << line;
        }
    }
    EXPECT_GT(includes, 50);
}
