// The tool's JSON description of a configuration (no device needed); its command line and ROM
// decoder are in sim_jobs_test.cpp. Long outputs are golden files in tests/data/tool/.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "config_json.h"
#include "errors.h"
#include "flash_read.h"
#include "support/golden.h"

using loric::test::GoldenPath;
using loric::test::Transcript;

namespace {

// tool/descriptions.json: one description naming every field, one naming a single field, then
// bad ones and the longest text. Every field lands at its place in the record and comes back,
// numbers as 0x texts of the field's width; a bad member is refused by name, exit code 33.
TEST(ConfigDescription, FieldsLandInTheRecordAndComeBackBadMembersAreRefusedByName) {
    Transcript t;
    for (const auto& input : nlohmann::json::parse(loric::test::ReadFileBytes(GoldenPath("tool/descriptions.json")))) {
        t.Add("== %s\n", input.dump().c_str());
        try {
            const CONFIG_FILE_INFO info = tool::ParseConfigDescription(input);
            t.Words(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&info), reinterpret_cast<const uint8_t*>(&info + 1)));
            const nlohmann::json back = tool::DescribeConfig(info);
            t.Add("%s\n", back.dump(1).c_str());
            const CONFIG_FILE_INFO again = tool::ParseConfigDescription(back);
            EXPECT_EQ(std::memcmp(&again, &info, sizeof info), 0) << back.dump();
        } catch (const tool::ToolError& error) {
            t.Add("refused, exit %d: %s\n", error.code(), error.what());
        }
    }
    t.Check("tool/description.txt");
}

// A stream without end is refused, not read until memory runs out.
TEST(ConfigDescription, AStreamWithoutEndIsRefused) {
    EXPECT_THROW(tool::LoadDescriptionFile("/dev/zero"), tool::ToolError);
    EXPECT_THROW(tool::ReadFileBytes("/dev/zero"), tool::ToolError);
}

}  // namespace
