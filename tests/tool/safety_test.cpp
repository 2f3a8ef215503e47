// A device is never left worse off: bad input is refused before the device is touched, and a
// Ctrl-C stops cleanly. Each case runs the tool as a user does against its simulated device and
// then looks at what the flash holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <tuple>

#include "run_tool.h"

namespace fs = std::filesystem;
using namespace tooltest;

namespace {

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

using Safety = SimTool;

TEST_F(Safety, BadInputIsRefusedBeforeTheDeviceIsTouched) {
    const std::string firmware = loric::test::ReadFileBytes(kFirmware);
    std::string noise(40000, 0);
    std::mt19937 random(7);
    for (auto& byte : noise) byte = static_cast<char>(random());
    Write(In("cut.bin"), firmware.substr(0, 1000));
    Write(In("odd.bin"), firmware.substr(0, 1001));
    Write(In("noise.bin"), noise);
    Write(In("empty.bin"), "");
    fs::create_directory(In("folder"));
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"program", In("cut.bin"), kDescription}, 6, "cut short: its boot header says 40000 bytes, the file holds 1000"},
        {{"program", In("odd.bin"), kDescription}, 6, "the file holds 1001"},
        {{"program", In("noise.bin"), kDescription}, 6, "does not start with the boot header"},
        {{"program", In("noise.bin"), kDescription}, 6, "has no \"FWPARAMETERS_\" section"},
        {{"program", kLoader, kDescription}, 6, "it is a bootstrap loader image, not firmware"},
        {{"program-loader", In("noise.bin"), "--yes"}, 6, "is not a bootstrap loader image the device can use"},
        {{"program-loader", kFirmware, "--yes"}, 6, "it is a firmware image, not a bootstrap loader"},
        {{"program-loader", kLoader}, 5, "confirm it with --yes (there is no terminal to ask on)"},
        {{"program-loader", kLoader, "--erase-delay", "31"}, 5, "--erase-delay: give 0 to 30 seconds"},
        {{"program", kFirmware, kDescription, "--erase-delay", "-1"}, 5, "--erase-delay: give 0 to 30 seconds"},
        {{"program", kFirmware, kDescription, "--loader", kLoader, "--erase-delay", "31"}, 5, "give 0 to 30"},
        {{"program", In("folder"), kDescription}, 6, "the firmware image " + In("folder") + " is a folder"},
        {{"program", In("empty.bin"), kDescription}, 6, "the firmware image " + In("empty.bin") + " is empty"},
        {{"program", kFirmware, In("noise.bin")}, 19, "is not a valid configuration image"},
        {{"config", "import", In("noise.bin")}, 19, "is not a valid configuration image"},
        {{"verify", kFirmware, "--address", "0x7FFFFFFF"}, 5, "runs past the end of 29F040B (524288 bytes)"},
        {{"erase", "--all"}, 5, "erase --all wipes the whole flash"},
        {{"erase", "--sector", "0"}, 5, "confirm it with --yes"},
    };
    StartProgrammed();
    const std::string before = Flash();
    for (const auto& [args, code, says] : cases) {
        auto result = Loric(args);
        SCOPED_TRACE(args[0] + " " + args[1] + "\n" + result.err);
        EXPECT_EQ(result.exitCode, code);
        EXPECT_TRUE(Has(result.err, says));
        EXPECT_TRUE(Flash() == before) << "the flash changed";
    }
    // --force overrides a content check: the loader goes in as firmware, and then runs.
    EXPECT_TRUE(Has(Loric({"program", kLoader, kDescription, "--force", "--no-backup"}).err,
                    "warning: programming " + kLoader + " anyway (--force)"));
    EXPECT_TRUE(Has(Loric({"nodes"}).out, "running its bootstrap loader"));
}

// What a Ctrl-C leaves: "same" the flash as before; "done" the job completed; "restore" after
// the printed `loric restore` command the flash as before; "two-step" the loader runs and a
// plain `program` then finishes.
TEST_F(Safety, CtrlCStopsCleanly) {
    struct Case {
        std::vector<std::string> args;
        std::string at, says, leaves;
    } cases[] = {
        {{"config", "upload", kConfig, "--verify"}, "Downloading configuration", "cancelled; nothing on the device", "same"},
        {{"program", kFirmware, kConfig}, "Saving the device's firmware...@50", "cancelled; nothing", "same"},
        {{"program", kFirmware, kConfig}, "Uploading firmware...@20", "tool finishes programming the firmware", "done"},
        {{"config", "upload", kConfig}, "Uploading configuration...@0", "finishes programming the configuration", "done"},
        {{"program", kFirmware, kConfig}, "Uploading firmware...@20,Uploading firmware...@40",
         "quit at once: the firmware is erased or only partly written", "restore"},
        {{"program", kFirmware, kConfig, "--loader", kLoader}, "Relocating device...", "runs its bootstrap loader",
         "two-step"},
    };
    for (const auto& c : cases) {
        StartProgrammed();
        const std::string before = Flash();
        auto result = Loric(c.args, {{"LORIC_TOOL_INTERRUPT_AT", c.at}});
        SCOPED_TRACE(c.at + "\n" + result.out + result.err);
        EXPECT_EQ(result.exitCode, 21);
        EXPECT_TRUE(Has(result.err, c.says));
        EXPECT_TRUE(c.leaves != "same" || Flash() == before);
        if (c.leaves == "restore") {
            std::smatch command;
            ASSERT_TRUE(std::regex_search(result.err, command, std::regex("`loric restore ([^ ]+) ([^`]+)`")));
            EXPECT_TRUE(Has(Loric({"nodes"}).out, "blank")) << "no firmware starts";
            EXPECT_EQ(Loric({"restore", command[1], command[2], "--loader", kLoader}).exitCode, 0);
            EXPECT_TRUE(Flash() == before) << "the restore puts back every byte";
        }
        if (c.leaves == "two-step") {
            EXPECT_TRUE(Has(Loric({"nodes"}).out, "running its bootstrap loader"));
            EXPECT_EQ(Loric({"program", kFirmware, kConfig}).exitCode, 0);
        }
        EXPECT_TRUE(c.leaves != "done" || Loric({"verify", kConfig, "--address", "0x10000"}).exitCode == 0);
        EXPECT_TRUE(c.leaves == "same" || c.leaves == "restore" || Loric({"verify", kFirmware, "--firmware"}).exitCode == 0);
    }
}

}  // namespace
