// The tool's command line, its JSON description of a configuration and its ROM decoder, run as
// a user runs them (no device needed).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "config_json.h"
#include "errors.h"
#include "flash_read.h"
#include "rom_decode.h"
#include "run_tool.h"

namespace fs = std::filesystem;
inline tooltest::Result RunTool(const std::vector<std::string>& args, const tooltest::RunOptions& options = {}) { return tooltest::Run(args, options); }

namespace {

std::string Example() { return std::string(LORIC_SOURCE_DIR) + "/examples/config.json"; }

class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/loric-tool-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempFolder() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }


TEST(ToolCommandLine, UsageErrorsExitWith64AndPointToHelp) {
    struct Case {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{}, "--help"},
        {{"frobnicate"}, "--help"},
        {{"read"}, "register"},
        {{"--trace", "loud", "nodes"}, "unknown trace class \"loud\""},
        {{"--progress", "fancy", "nodes"}, "--help"},
        {{"--state", "/tmp/x", "nodes"}, "go with --sim"},
        {{"--com", "/dev/null", "--sim", "nodes"}, "--help"},
        {{"erase"}, "exactly one of --sector N, --address A or --all"},
    };
    for (const auto& c : cases) {
        auto result = RunTool(c.args);
        SCOPED_TRACE(result.err);
        EXPECT_EQ(result.exitCode, 64);
        EXPECT_NE(result.err.find(c.says), std::string::npos);
    }
}

TEST(ToolCommandLine, HelpDocumentsTheExitCodes) {
    auto result = RunTool({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find("Exit codes:"), std::string::npos);
    EXPECT_NE(result.out.find("1-31    the library's status code"), std::string::npos);
    for (const char* command : {"nodes", "read", "write", "chips", "program-loader", "program", "erase", "timestamp",
                                "dump", "verify", "config"}) {
        EXPECT_NE(result.out.find(std::string("  ") + command + " "), std::string::npos) << command;
    }
}

TEST(ToolCommandLine, MissingFilesAreNamedWithStatus6BeforeAnyDeviceIsTouched) {
    TempFolder dir;
    // The driver socket points nowhere: had the tool opened the target first, the error would be 1.
    tooltest::RunOptions options;
    options.env["BRENNOCK_SOCKET"] = dir / "no-driver.sock";
    struct Case {
        std::vector<std::string> args;
        std::string names;
    } cases[] = {
        {{"program", dir / "fw.bin", Example()}, "firmware image " + dir / "fw.bin"},
        {{"program-loader", dir / "ld.bin"}, "loader image " + dir / "ld.bin"},
        {{"config", "upload", dir / "c.json"}, "configuration file " + dir / "c.json"},
        {{"config", "generate", dir / "c.json", dir / "c.bin"}, "description " + dir / "c.json"},
        {{"config", "show", dir / "c.bin"}, dir / "c.bin"},
    };
    for (const auto& c : cases) {
        auto result = RunTool(c.args, options);
        SCOPED_TRACE(result.err);
        EXPECT_EQ(result.exitCode, 6);
        EXPECT_NE(result.err.find(c.names), std::string::npos);
        EXPECT_NE(result.err.find("What to try:"), std::string::npos);
    }
}

TEST(ToolCommandLine, NoDriverGivesStatus1WithItsTextAndWhatToTry) {
    TempFolder dir;
    tooltest::RunOptions options;
    options.env["BRENNOCK_SOCKET"] = dir / "no-driver.sock";
    auto result = RunTool({"nodes"}, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("error 1: Unable to open 1394 device driver BRENNOCK.SYS"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("--sim"), std::string::npos);
}

// ---- The JSON description ------------------------------------------------------------------

TEST(ConfigDescription, EveryFieldLandsAtItsPlaceInTheRecord) {
    nlohmann::json description = {
        {"chip_id_hi", "0xA1"},          {"chip_id_lo", "0xB2C3D4E5"},       {"node_vendor_id", "0x123456"},
        {"module_vendor_id", 0x654321},  {"module_hw_version", "0x00ABCD"},  {"unit_sw_version", "0x010483"},
        {"firmware_revision", "77"},     {"command_set", "0x0104D8"},        {"command_set_revision", "0x1"},
        {"reconnect_timeout", "0x3"},    {"mgt_orb_timeout", "0x14"},        {"orb_size", "0x08"},
        {"lun0_device_type", "0x0E"},    {"lun1_device_type", "0x1F"},       {"lun0_model_id", "0x000011"},
        {"lun1_model_id", "0x000022"},   {"link_speed", "0x2"},              {"vendor_text", "Vendor"},
        {"hw_version_text", "HW"},       {"lun0_model_text", "Disk"},        {"lun1_model_text", "Tape"},
        {"config_word1", "0x11111111"},  {"config_word2", "0x22222222"},     {"config_word3", "0x33333333"},
        {"config_flags", "0x00800017"},
    };
    CONFIG_FILE_INFO info = tool::ParseConfigDescription(description);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    auto u32 = [&](size_t offset) { return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | uint32_t(bytes[offset + 3]) << 24; };
    EXPECT_EQ(bytes[0], 0xA1);
    EXPECT_EQ(u32(4), 0xB2C3D4E5u);
    EXPECT_EQ(u32(8), 0x123456u);
    EXPECT_EQ(u32(12), 0x654321u);
    EXPECT_EQ(u32(24), 77u);
    EXPECT_EQ(u32(36), 3u);
    EXPECT_EQ(bytes[40], 0x14);
    EXPECT_EQ(bytes[41], 0x08);
    EXPECT_EQ(bytes[42], 0x0E);
    EXPECT_EQ(bytes[43], 0x1F);
    EXPECT_EQ(u32(48), 0x22u);
    EXPECT_EQ(bytes[52], 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 53), "Vendor");
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 233), "Tape");
    EXPECT_EQ(u32(300), 0x11111111u);
    EXPECT_EQ(u32(312), 0x00800017u);
    for (size_t reserved : {1, 2, 3, 293, 299, 316, 399}) EXPECT_EQ(bytes[reserved], 0) << reserved;

    // And back: numbers as 0x strings of the field's width, texts as they are.
    auto back = tool::DescribeConfig(info);
    EXPECT_EQ(back["chip_id_hi"], "0xA1");
    EXPECT_EQ(back["node_vendor_id"], "0x123456");
    EXPECT_EQ(back["chip_id_lo"], "0xB2C3D4E5");
    EXPECT_EQ(back["lun1_model_text"], "Tape");
    EXPECT_EQ(back["second_lun"], true);
    EXPECT_EQ(tool::ParseConfigDescription(back).config_flags, info.config_flags);
}

TEST(ConfigDescription, LeftOutFieldsTakeTheDefaultsOfANewConfiguration) {
    CONFIG_FILE_INFO info = tool::ParseConfigDescription(nlohmann::json::object({{"second_lun", true}}));
    EXPECT_EQ(info.config_word1, 375u);
    EXPECT_EQ(info.config_word2, 375u);
    EXPECT_EQ(info.config_word3, 0x00601504u);
    EXPECT_EQ(info.config_flags, 0x00800017u);
    EXPECT_EQ(info.node_vendor_id, 0u);
}

TEST(ConfigDescription, BadMembersAreRefusedByName) {
    struct Case {
        nlohmann::json description;
        std::string says;
    } cases[] = {
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
    for (const auto& c : cases) {
        try {
            tool::ParseConfigDescription(c.description);
            ADD_FAILURE() << "accepted " << c.description.dump();
        } catch (const tool::ToolError& error) {
            EXPECT_EQ(error.code(), tool::kExitBadDescription);
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
        }
    }
    // A text of 56 characters is the longest accepted.
    EXPECT_NO_THROW(tool::ParseConfigDescription({{"vendor_text", std::string(56, 'x')}}));
}

TEST(ConfigDescription, TheToolReportsADamagedDescriptionWithItsPosition) {
    TempFolder dir;
    WriteText(dir / "bad.json", "{\n  \"vendor_text\": \"x\",\n  oops\n}\n");
    auto result = RunTool({"config", "generate", dir / "bad.json", dir / "out.bin"});
    EXPECT_EQ(result.exitCode, 33);
    EXPECT_NE(result.err.find("bad.json is not valid JSON"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("line 3, column 3"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(dir / "out.bin"));

    WriteText(dir / "typo.json", R"({"vendor_txt": "x"})");
    result = RunTool({"config", "generate", dir / "typo.json", dir / "out.bin"});
    EXPECT_EQ(result.exitCode, 33);
    EXPECT_NE(result.err.find("unknown field \"vendor_txt\""), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("The fields are: chip_id_hi,"), std::string::npos) << result.err;
    // A stream without end is refused, not read until memory runs out.
    EXPECT_THROW(tool::LoadDescriptionFile("/dev/zero"), tool::ToolError);
    EXPECT_THROW(tool::ReadFileBytes("/dev/zero"), tool::ToolError);
}

// ---- The ROM decoder --------------------------------------------------------------------------

TEST(RomDecoder, CrcIsTheIeee1212OneOverQuadletsMostSignificantByteFirst) {
    // The check value of this CRC over the bytes "123456789" padded to quadlets is known from
    // the CCITT polynomial with initial value 0: 0x31C3 for the nine bytes; over whole quadlets
    // the three pad bytes take part too, so compare with an independent byte-wise computation.
    auto byteWise = [](const std::vector<uint8_t>& bytes) {
        uint16_t crc = 0;
        for (uint8_t byte : bytes) {
            crc ^= static_cast<uint16_t>(byte << 8);
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        }
        return crc;
    };
    std::vector<uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(byteWise(digits), 0x31C3);
    uint32_t words[] = {0x31323334, 0x35363738, 0x39000000};
    digits.insert(digits.end(), {0, 0, 0});
    EXPECT_EQ(tool::RomCrc(words, 3), byteWise(digits));
    EXPECT_EQ(tool::RomCrc(words, 0), 0);
}

// An image built here from the layout, with CRCs computed byte-wise: four texts, one unit.
std::vector<uint8_t> HandBuiltImage() {
    auto crcOf = [](const std::vector<uint32_t>& rom, size_t first, size_t count) {
        uint16_t crc = 0;
        for (size_t i = first; i < first + count; ++i) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                crc ^= static_cast<uint16_t>(((rom[i] >> shift) & 0xFF) << 8);
                for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
            }
        }
        return crc;
    };
    std::vector<uint32_t> rom(44, 0);
    rom[1] = 0x31333934;
    rom[2] = 0x00FF5002;
    rom[3] = 0x00C0DE00;
    rom[4] = 0x00010203;
    uint32_t root[] = {0x0C0083C0, 0x0300C0DE, 0x81000014, 0x04000102, 0x81000016, 0xD1000001};
    for (int i = 0; i < 6; ++i) rom[6 + i] = root[i];
    rom[5] = (6u << 16) | crcOf(rom, 6, 6);
    uint32_t unit[] = {0x1200609E, 0x13010483, 0x3C000100, 0x5400C000, 0x3A001408, 0x3800609E, 0x390104D8,
                       0x3B000000, 0x3D000002, 0x14400000, 0x17000001, 0x8100000C, 0, 0, 0};
    for (int i = 0; i < 15; ++i) rom[13 + i] = unit[i];
    rom[12] = (15u << 16) | crcOf(rom, 13, 15);
    for (size_t leaf : {28, 32, 36, 40}) rom[leaf] = (3u << 16) | crcOf(rom, leaf + 1, 3);
    rom[0] = (4u << 24) | (43u << 16) | crcOf(rom, 1, 43);
    std::vector<uint32_t> words = {0xAFC924AD, 375, 375, 0x00601504, 0x01000017};
    words.resize(25, 0);
    words.push_back(176);
    words.insert(words.end(), rom.begin(), rom.end());
    std::vector<uint8_t> bytes;
    for (uint32_t word : words) {
        for (int b = 0; b < 4; ++b) bytes.push_back(static_cast<uint8_t>(word >> (8 * b)));
    }
    return bytes;
}

TEST(RomDecoder, ShowsEveryBlockOfAGoodImageWithItsCrcChecked) {
    TempFolder dir;
    auto image = HandBuiltImage();
    ASSERT_EQ(image.size(), 280u);
    std::ofstream(dir / "good.bin", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    auto result = RunTool({"config", "show", dir / "good.bin"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    for (const char* line : {"magic            AFC924AD  ok", "config_flags     01000017  (data page type 1: none, second logical unit no)",
                             "config_rom_len   176 bytes", "Bus information block, info_length 4, crc_length 43, CRC",
                             "q2   00FF5002  bus options, link_speed 2", "Root directory at q5, 6 entries, CRC",
                             "Unit directory at q12, 15 entries, CRC", "LUN 0, device type 0x00, ordered",
                             "mgt_orb_timeout 0x14, orb_size 0x08", "Leaf at q40, 3 quadlets (no entry points to it), CRC", "All 7 CRCs ok."}) {
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
    }
}

TEST(RomDecoder, ADamagedBlockIsMarkedAndTheExitCodeIs19) {
    TempFolder dir;
    struct Case {
        size_t byte;      // offset in the file
        std::string says; // the block blamed
    } cases[] = {
        {104 + 4 * 7, "CRC of the block at q5"},   // a root directory entry
        {104 + 4 * 15, "CRC of the block at q12"}, // the firmware revision in the unit directory
        {104 + 4 * 3, "CRC of the block at q0"},   // the vendor ID in the bus information block
        {104 + 4 * 30, "CRC of the block at q28"}, // inside a leaf (and the bus information block)
    };
    for (const auto& c : cases) {
        auto image = HandBuiltImage();
        image[c.byte] ^= 0x01;
        std::ofstream(dir / "bad.bin", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        auto result = RunTool({"config", "show", dir / "bad.bin"});
        EXPECT_EQ(result.exitCode, 19);
        EXPECT_NE(result.out.find("PROBLEM: " + c.says), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("BAD (computed"), std::string::npos);
    }
    // A missing magic word is a problem too; a short file is refused outright.
    auto image = HandBuiltImage();
    image[0] = 0;
    std::ofstream(dir / "nomagic.bin", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    auto result = RunTool({"config", "show", dir / "nomagic.bin"});
    EXPECT_EQ(result.exitCode, 19);
    EXPECT_NE(result.out.find("MISSING (should be AFC924AD)"), std::string::npos);
    image.resize(100);
    std::ofstream(dir / "short.bin", std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    result = RunTool({"config", "show", dir / "short.bin"});
    EXPECT_EQ(result.exitCode, 19);
    EXPECT_NE(result.out.find("100 bytes is too short"), std::string::npos);
}

}  // namespace
