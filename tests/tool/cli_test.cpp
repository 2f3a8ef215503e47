// The tool's JSON description of a configuration and its ROM decoder (no device needed); its
// command line is in sim_jobs_test.cpp. Long outputs are golden files in tests/data/tool/.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "config_json.h"
#include "errors.h"
#include "flash_read.h"
#include "run_tool.h"

using loric::test::GoldenPath;
using loric::test::Transcript;
using tooltest::Has;
using tooltest::RunTool;

namespace {


// Every field at its place in the record, and back: numbers as 0x texts of the field's width.
TEST(ConfigDescription, FieldsLandInTheRecordAndComeBack) {
    Transcript t;
    const nlohmann::json inputs[] = {nlohmann::json::parse(loric::test::ReadFileBytes(GoldenPath("tool/description.json"))),
                                     {{"second_lun", true}}};
    for (const auto& input : inputs) {
        const CONFIG_FILE_INFO info = tool::ParseConfigDescription(input);
        t.Add("== %s\n", input.dump().c_str());
        t.Words(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&info), reinterpret_cast<const uint8_t*>(&info + 1)));
        const nlohmann::json back = tool::DescribeConfig(info);
        t.Add("%s\n", back.dump(1).c_str());
        const CONFIG_FILE_INFO again = tool::ParseConfigDescription(back);
        EXPECT_EQ(std::memcmp(&again, &info, sizeof info), 0) << back.dump();
    }
    t.Check("tool/description.txt");
}

TEST(ConfigDescription, BadMembersAreRefusedByName) {
    const std::pair<nlohmann::json, std::string> cases[] = {
        {{{"vendor_txt", "x"}}, "unknown field \"vendor_txt\""},
        {{{"node_vendor_id", "0x1000000"}}, "\"node_vendor_id\" is out of range: largest value is 0xFFFFFF"},
        {{{"link_speed", "0x8"}}, "\"link_speed\" is out of range"},
        {{{"orb_size", "0x100"}}, "\"orb_size\" is out of range"},
        {{{"chip_id_lo", "0x1G"}}, "\"chip_id_lo\" is not a number"},
        {{{"chip_id_lo", "0x"}}, "\"chip_id_lo\" is not a number"},
        {{{"chip_id_lo", -1}}, "must not be negative"},
        {{{"chip_id_lo", true}}, "must be a number"},
        {{{"vendor_text", 5}}, "must be a text"},
        {{{"vendor_text", std::string(57, 'x')}}, "is 57 characters long; at most 56"},
        {{{"vendor_text", "tab\there"}}, "printable ASCII"},
        {{{"second_lun", true}, {"config_flags", "0x17"}}, "disagrees with bit 23"},
        {nlohmann::json::array(), "expected a JSON object"},
    };
    for (const auto& [description, says] : cases) {
        try {
            tool::ParseConfigDescription(description);
            ADD_FAILURE() << "accepted " << description.dump();
        } catch (const tool::ToolError& error) {
            EXPECT_EQ(error.code(), tool::kExitBadDescription);
            EXPECT_TRUE(Has(error.what(), says)) << error.what();
        }
    }
    EXPECT_NO_THROW(tool::ParseConfigDescription({{"vendor_text", std::string(56, 'x')}}));  // the longest
}

// A stream without end is refused, not read until memory runs out.
TEST(ConfigDescription, AStreamWithoutEndIsRefused) {
    EXPECT_THROW(tool::LoadDescriptionFile("/dev/zero"), tool::ToolError);
    EXPECT_THROW(tool::ReadFileBytes("/dev/zero"), tool::ToolError);
}

// tool/rom.bin: a configuration file built by hand from the layout, with CRCs computed
// byte-wise: four texts, one unit. Shown whole, then with one bit of a block flipped (the block
// is blamed), without its magic word, and cut short.
using RomDecoder = tooltest::SimTool;  // for its scratch folder

TEST_F(RomDecoder, ShowsEveryBlockWithItsCrcCheckedAndBlamesADamagedOne) {
    const std::string good = loric::test::ReadFileBytes(GoldenPath("tool/rom.bin"));
    ASSERT_EQ(good.size(), 280u);
    Transcript t;
    const std::pair<const char*, std::function<void(std::string&)>> cases[] = {
        {"good", [](std::string&) {}},
        {"root directory entry", [](std::string& b) { b[104 + 4 * 7] ^= 1; }},
        {"unit directory firmware revision", [](std::string& b) { b[104 + 4 * 15] ^= 1; }},
        {"bus information block vendor", [](std::string& b) { b[104 + 4 * 3] ^= 1; }},
        {"leaf", [](std::string& b) { b[104 + 4 * 30] ^= 1; }},
        {"no magic", [](std::string& b) { b[0] = 0; }},
        {"short", [](std::string& b) { b.resize(100); }},
    };
    for (const auto& [name, damage] : cases) {
        std::string image = good;
        damage(image);
        std::ofstream(In("rom.bin"), std::ios::binary) << image;
        auto result = RunTool({"config", "show", In("rom.bin")});
        t.Add("== %s: exit %d\n", name, result.exitCode);
        t.Text(result.out + result.err);
    }
    t.Replace(dir_, "DIR");
    t.Check("tool/rom_show.txt");
}

}  // namespace
