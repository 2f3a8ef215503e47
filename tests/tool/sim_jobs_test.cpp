// Every job of the tool against its embedded simulated device, run as a user runs them: the
// output, the files left on disk and the exit code, on success and on the failures a person
// meets (missing file, unknown chip, wrong node, cancelled upload, a device failing mid-way).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <tuple>

#include "run_tool.h"

namespace fs = std::filesystem;
using namespace tooltest;

namespace {

std::string ReadText(const std::string& path) { return loric::test::ReadFileBytes(path); }

class SimJobs : public SimTool {
protected:
    // The description of the configuration on the device, as JSON.
    nlohmann::json DeviceConfig() {
        auto result = Loric({"config", "show", "--json"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return nlohmann::json::parse(result.out, nullptr, false);
    }
};

// The promise to a user: program a blank device, change one field of its configuration in
// the JSON, reprogram only the configuration, with the old one saved on disk. Three commands.
TEST_F(SimJobs, ProgramABlankDeviceThenChangeOneFieldAndReprogramOnlyTheConfiguration) {
    fs::copy_file(kDescription, In("device.json"));

    // 1. The blank device gets loader, firmware and configuration, read back and verified.
    auto program = Loric({"program", kFirmware, "device.json", "--loader", kLoader, "--verify"});
    ASSERT_EQ(program.exitCode, 0) << program.out << program.err;
    EXPECT_TRUE(Has(program.out, "(at its flash port)")) << program.out;
    EXPECT_FALSE(Has(program.out, "Saved the device's")) << "a blank device has nothing to back up";
    EXPECT_TRUE(Has(program.out, "Verified the firmware: 40000 bytes at 0x000000 match."));
    EXPECT_TRUE(Has(program.out, "Verified the configuration:"));
    auto first = RunTool({"config", "generate", "device.json", "first.bin"}, {dir_, {}});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    std::string firstImage = ReadText(In("first.bin"));

    // 2. One field changes in the description.
    auto description = nlohmann::json::parse(ReadText(In("device.json")));
    description["vendor_text"] = "Renamed Storage Works";
    std::ofstream(In("device.json"), std::ios::trunc) << description.dump(2);

    // 3. Only the configuration is reprogrammed; the old one is saved first.
    auto upload = Loric({"config", "upload", "device.json", "--verify"});
    ASSERT_EQ(upload.exitCode, 0) << upload.out << upload.err;
    std::smatch saved;
    std::regex savedLine("Saved the device's configuration to (config-backup-[0-9]{8}-[0-9]{6}\\.bin)");
    ASSERT_TRUE(std::regex_search(upload.out, saved, savedLine)) << upload.out;
    EXPECT_EQ(ReadText(In(saved[1].str())), firstImage) << "the backup is the configuration programmed before";
    EXPECT_TRUE(Has(upload.out, "Verified the configuration:"));
    EXPECT_FALSE(Has(upload.err, "Uploading firmware")) << "only the configuration is programmed";

    auto now = DeviceConfig();
    EXPECT_EQ(now["vendor_text"], "Renamed Storage Works");
    auto expected = description;
    expected.erase("_about");
    for (auto& [key, value] : expected.items()) EXPECT_EQ(now[key], value) << key;
}

TEST_F(SimJobs, ProgressShowsEveryStepInOrderAsPlainLinesWhenNotATerminal) {
    auto result = Loric({"program", kFirmware, kDescription, "--loader", kLoader});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const char* steps[] = {"Preparing to upload...", "Uploading bootstrap loader...", "Initialising bootstrap loader...",
                           "Relocating device...", "Erasing firmware flash...", "Erasing configuration flash...",
                           "Uploading firmware...", "Uploading configuration...", "Reseting device processor..."};
    size_t at = 0;
    for (const char* step : steps) {
        size_t found = result.err.find(std::string(step) + "\n", at);
        ASSERT_NE(found, std::string::npos) << step << " after offset " << at << "\n" << result.err;
        at = found;
    }
    // Ten-percent lines with bytes and, at the end, the rate.
    EXPECT_TRUE(Has(result.err, "Uploading firmware... 0% (0 of 40000 bytes"));
    EXPECT_TRUE(Has(result.err, "Uploading firmware... 50% (20000 of 40000 bytes"));
    EXPECT_TRUE(std::regex_search(result.err, std::regex("Uploading firmware\\.\\.\\. 100% \\(40000 of 40000 bytes, [0-9.]+ [KM]?i?B/s, [0-9.]+ s\\)")))
        << result.err;
    EXPECT_FALSE(Has(result.err, "\r")) << "no bar drawing when not on a terminal";
}

TEST_F(SimJobs, NodesListsTheBusAndTellsTheDeviceState) {
    auto blank = Loric({"nodes"});
    EXPECT_EQ(blank.exitCode, 0) << blank.err;
    EXPECT_TRUE(std::regex_search(blank.out, std::regex("Device: node 0xFFC[0-2], blank \\(answers at its flash port\\)")))
        << blank.out;

    auto loader = Loric({"program-loader", kLoader});
    ASSERT_EQ(loader.exitCode, 0) << loader.err;
    EXPECT_TRUE(std::regex_search(loader.out, std::regex("Bootstrap loader programmed; it runs at node 0xFFC[0-2]\\.")));
    auto withLoader = Loric({"nodes", "--blank"});
    EXPECT_EQ(withLoader.exitCode, 0) << withLoader.err;
    EXPECT_TRUE(Has(withLoader.out, "running its bootstrap loader")) << withLoader.out << withLoader.err;
    auto ready = Loric({"read", "FLASH_UPLOAD_CTRL", "--node", withLoader.out.substr(withLoader.out.find("0xFFC"), 6)});
    EXPECT_EQ(ready.exitCode, 0) << ready.err;
    EXPECT_EQ(ready.out, "0x414F6B21\n");
}

// Jobs on a running device, each group from a copy of one device programmed once.
TEST_F(SimJobs, RunningDeviceAnswersItsJobs) {
    StartProgrammed();
    auto nodes = Loric({"nodes"});
    EXPECT_EQ(nodes.exitCode, 0) << nodes.err;
    EXPECT_TRUE(std::regex_search(nodes.out, std::regex("0   0xFFC[0-9A-F] +0x3FF +[0-9]+ +[0-9A-F]{8}-[0-9A-F]{8}\n")))
        << nodes.out;
    EXPECT_TRUE(Has(nodes.out, "running its firmware"));

    auto stamp = Loric({"timestamp"});
    EXPECT_EQ(stamp.exitCode, 0) << stamp.err;
    EXPECT_TRUE(std::regex_search(stamp.out, std::regex("^Firmware time stamp: \\S+ .+\n$"))) << stamp.out;

    // The configuration ROM the device presents on the bus begins with its bus information block.
    auto rom = Loric({"read", "0xFFFFF0000404"});
    EXPECT_EQ(rom.exitCode, 0) << rom.err;
    EXPECT_EQ(rom.out, "0x31333934\n");
    auto two = Loric({"read", "CONFIG_ROM", "-n", "2"});
    EXPECT_EQ(two.exitCode, 0) << two.err;
    EXPECT_TRUE(std::regex_search(two.out, std::regex("^FFFF_F0000400  0x04[0-9A-F]{6}\nFFFF_F0000404  0x31333934\n$")))
        << two.out;

    // A register write says what it wrote where.
    auto window = Loric({"write", "FLASH_READ_CTRL", "0x10000"});
    EXPECT_EQ(window.exitCode, 0) << window.err;
    EXPECT_TRUE(std::regex_search(window.out, std::regex("^Wrote 0x00010000 to 0xFFFF_F0090014 of node 0xFFC[0-4]\\.\n$")))
        << window.out;
    auto nobody = Loric({"--node", "0xFFC5", "write", "flash_read_ctrl", "0"});
    EXPECT_EQ(nobody.exitCode, 10);
    EXPECT_TRUE(Has(nobody.err, "writing 0xFFFF_F0090014 of node 0xFFC5 failed: error 10: 1394 Quadlet write of address offset 0xF0090014 failed"))
        << nobody.err;
    EXPECT_EQ(Loric({"write", "FLASH_READ_CTRL", "0x1FFFFFFFF"}).exitCode, 64) << "a value has 32 bits";

    auto shown = Loric({"config", "show"});
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_TRUE(Has(shown.out, "leaf at q28 \"Example Storage Works   \"")) << "padded to whole quadlets" << shown.out;
    EXPECT_TRUE(std::regex_search(shown.out, std::regex("All [0-9]+ CRCs ok\\.")));

    // Dump and verify read the flash back through the read window.
    auto dump = Loric({"dump", "0", "40000", "-o", "fw.bin"});
    ASSERT_EQ(dump.exitCode, 0) << dump.err;
    auto firmware = ReadText(kFirmware);
    auto flash = ReadText(In("fw.bin"));
    ASSERT_EQ(flash.size(), firmware.size());
    // Everything but parameter 1 of the firmware's parameter section, which now holds the
    // configuration sector's byte address.
    size_t differing = 0;
    for (size_t i = 0; i < flash.size(); ++i) differing += flash[i] != firmware[i];
    EXPECT_LE(differing, 4u);

    EXPECT_EQ(Loric({"verify", kFirmware, "--firmware"}).exitCode, 0);
    auto raw = Loric({"verify", kFirmware});
    EXPECT_EQ(raw.exitCode, 32) << "without --firmware the patched parameter differs";
    EXPECT_TRUE(std::regex_search(raw.err, std::regex("verification of the flash failed: flash at 0x000000 differs: [1-4] bytes differ")))
        << raw.err;

    // An unaligned range of a hex dump: address column, bytes and characters.
    auto hex = Loric({"dump", "0x10001", "5"});
    EXPECT_EQ(hex.exitCode, 0) << hex.err;
    EXPECT_TRUE(std::regex_search(hex.out, std::regex("^010001  [0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2} [0-9A-F]{2} {35}.{5}\n$")))
        << hex.out;
    EXPECT_TRUE(Has(hex.out, "010001  24 C9 AF 77 01")) << "the magic word AFC924AD, least significant byte first, then 0x177";

    auto past = Loric({"dump", "0x7FFF0", "0x20"});
    EXPECT_EQ(past.exitCode, 5);
    EXPECT_TRUE(Has(past.err, "runs past the end of 29F040B (524288 bytes)")) << past.err;

    // A configuration downloaded, imported and generated again gives the same bytes.
    auto download = Loric({"config", "download", "device.bin"});
    ASSERT_EQ(download.exitCode, 0) << download.err;
    auto json = Loric({"config", "download", "device.json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    auto again = RunTool({"config", "generate", "device.json", "again.bin"}, {dir_, {}});
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(ReadText(In("again.bin")), ReadText(In("device.bin")));
    auto imported = RunTool({"config", "import", "device.bin"}, {dir_, {}});
    EXPECT_EQ(imported.exitCode, 0);
    EXPECT_EQ(nlohmann::json::parse(imported.out), nlohmann::json::parse(ReadText(In("device.json"))));
    EXPECT_EQ(nlohmann::json::parse(imported.out)["firmware_revision"], "0x000100");

    // A wrong node is named with the node that was found.
    auto wrong = Loric({"--node", "0xFFC5", "timestamp"});
    EXPECT_EQ(wrong.exitCode, 11);
    EXPECT_TRUE(std::regex_search(wrong.err, std::regex("there is no device at node 0xFFC5; the device found is at node 0xFFC[0-4]")))
        << wrong.err;
    auto read = Loric({"--node", "0xFFC5", "read", "FLASH_UPLOAD_CTRL"});
    EXPECT_EQ(read.exitCode, 9);
    EXPECT_TRUE(Has(read.err, "error 9: 1394 Quadlet read of address offset 0xF0090008 failed")) << read.err;

    // Erasing the configuration sector leaves no configuration.
    StartProgrammed();
    auto erase = Loric({"erase", "--sector", "1"});
    ASSERT_EQ(erase.exitCode, 0) << erase.err;
    EXPECT_TRUE(Has(erase.out, "Erased sector 1 (word 0x010000).")) << erase.out;
    auto erased = Loric({"dump", "0x10000", "8"});
    EXPECT_TRUE(Has(erased.out, "010000  FF FF FF FF FF FF FF FF")) << erased.out << erased.err;

    auto bad = Loric({"erase", "--sector", "8"});
    EXPECT_EQ(bad.exitCode, 5);
    EXPECT_TRUE(Has(bad.err, "29F040B has sectors 0 to 7")) << bad.err;
    auto notStart = Loric({"erase", "--address", "0x10001"});
    EXPECT_EQ(notStart.exitCode, 5);
    EXPECT_TRUE(Has(notStart.err, "0x010001 is not the start of a sector")) << notStart.err;

    // The backup is declined or named by the user.
    StartProgrammed();
    auto named = Loric({"config", "upload", kDescription, "--backup", "old.bin"});
    ASSERT_EQ(named.exitCode, 0) << named.err;
    EXPECT_TRUE(Has(named.out, "Saved the device's configuration to old.bin"));
    EXPECT_GT(fs::file_size(In("old.bin")), 104u);
    auto declined = Loric({"config", "upload", kDescription, "--no-backup"});
    ASSERT_EQ(declined.exitCode, 0) << declined.err;
    EXPECT_FALSE(Has(declined.out, "Saved"));
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_EQ(entry.path().filename().string().rfind("config-backup-", 0), std::string::npos);
    }

    // A device failing mid-way gives the status of the failure.
    StartProgrammed();
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        // The device's checksum disagrees with the image.
        {{"--sim-fault", "checksum:1", "program", kFirmware, kDescription, "--no-backup"}, 18,
         "error 18: Error uploading file " + kFirmware},
        // The read window stops answering after 100 quadlets.
        {{"--sim-fault", "read:F0090014:100", "dump", "0", "4096"}, 9,
         "error 9: 1394 Quadlet read of address offset 0xF0090014 failed"},
        // The device does not come back after its reset.
        {{"--sim-fault", "vanish", "config", "upload", kDescription, "--no-backup"}, 12, "did not come back"},
    };
    for (const auto& [args, code, says] : cases) {
        auto result = Loric(args);
        EXPECT_EQ(result.exitCode, code) << result.err;
        EXPECT_TRUE(Has(result.err, says) && Has(result.err, "What to try: ")) << result.err;
    }
}

// ---- What goes wrong -----------------------------------------------------------------------

TEST_F(SimJobs, UnknownChipIsRefusedWithTheNamesToChooseFrom) {
    auto result = Loric({"--chip", "29F04", "program", kFirmware, kDescription, "--loader", kLoader});
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_TRUE(Has(result.err, "there is no flash chip named 29F04 in ")) << result.err;
    EXPECT_TRUE(std::regex_search(result.err, std::regex("Similar names: [^.]*29F040B"))) << result.err;
    EXPECT_TRUE(Has(result.err, "`loric chips`"));
    auto missingData = Loric({"--flash-data", "none.dat", "chips"});
    EXPECT_EQ(missingData.exitCode, 6);
    EXPECT_TRUE(Has(missingData.err, "cannot open the flash data file none.dat")) << missingData.err;
}

TEST_F(SimJobs, ChipsListsTheFlashDataFileAndOneChipsSectors) {
    auto list = Loric({"chips"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_TRUE(std::regex_search(list.out, std::regex("flash_devices\\.dat: [0-9]+ chips\n")));
    EXPECT_TRUE(std::regex_search(list.out, std::regex("\n29F040B +8-bit uniform sectors +4Mbit \\(512K x 8\\) +8 +8 +0x010000 +65536\n")))
        << list.out;
    auto one = Loric({"chips", "29f040b"});
    EXPECT_EQ(one.exitCode, 0) << one.err;
    EXPECT_TRUE(Has(one.out, "configuration sector at word 0x010000 (byte 0x010000), 65536 bytes for firmware below it"))
        << one.out;
    EXPECT_TRUE(std::regex_search(one.out, std::regex("\n1 +0x010000 +0x01FFFF +65536 +65536  configuration\n"))) << one.out;
    EXPECT_TRUE(std::regex_search(one.out, std::regex("\n7 +0x070000 +0x07FFFF +65536 +65536\n$"))) << one.out;
}

TEST_F(SimJobs, BlankDeviceNeedsTheLoaderAndSaysSo) {
    auto result = Loric({"program", kFirmware, kDescription});
    EXPECT_EQ(result.exitCode, 5);
    EXPECT_TRUE(Has(result.err, "the device is blank: it needs its bootstrap loader first")) << result.err;
    EXPECT_TRUE(Has(result.err, "--loader FILE"));
    auto upload = Loric({"config", "upload", kDescription});
    EXPECT_EQ(upload.exitCode, 14);
    EXPECT_TRUE(Has(upload.err, "the device is blank")) << upload.err;
}

TEST_F(SimJobs, TraceGoesToDebugLogInTheCurrentFolderAndTheToolSaysWhere) {
    auto result = Loric({"--trace", "api,error", "nodes"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_TRUE(Has(result.err, "loric: trace written to " + dir_ + "/debug.log")) << result.err;
    std::string log = ReadText(In("debug.log"));
    EXPECT_TRUE(Has(log, "API_TRACE: Enter FindNode\r\n")) << log;
    EXPECT_FALSE(Has(log, "VERBOSE: ")) << "only the classes asked for";
}

}  // namespace
