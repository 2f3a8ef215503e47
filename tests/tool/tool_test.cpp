// The tool's JSON description of a configuration, read directly; then every job of the tool
// against its embedded simulated device, run as a user runs them (the built `loric`, stdin
// /dev/null): on success, on the failures a person meets (unknown chip, wrong node, blank
// device, a device failing mid-way), on bad input, which is refused before the device is
// touched, and on a Ctrl-C, which stops cleanly. Each step's exit code, output and error output,
// and after each job whether the flash changed (and its FNV-1a hash if so), go into one
// transcript, tests/data/tool/jobs_<group>.txt, compared whole; the scratch folder, transfer
// rates and backup stamps are masked. Steps starting with '@' act on the test's folder instead
// of running the tool.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <regex>
#include <set>

#include "config_json.h"
#include "errors.h"
#include "files.h"
#include "support/golden.h"

namespace fs = std::filesystem;

namespace {

// tool/descriptions.json: one description naming every field, one naming a single field, then
// bad ones and the longest text. Every field lands at its place in the record and comes back,
// numbers as 0x texts of the field's width; a bad member is refused by name, exit code 33.
TEST(ConfigDescription, FieldsLandInTheRecordAndComeBackBadMembersAreRefusedByName) {
    loric::test::Transcript t;
    for (const auto& input : nlohmann::json::parse(loric::test::ReadFileBytes(loric::test::GoldenPath("tool/descriptions.json")))) {
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

std::string NewFolder() {
    char pattern[] = "/tmp/loric-tool-XXXXXX";
    return mkdtemp(pattern);
}

std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs the tool in `cwd` with `env` added; a hung run is ended by the test's own time-out.
std::string RunTool(const std::vector<std::string>& args, const std::string& cwd,
                    const std::map<std::string, std::string>& env = {}) {
    std::string command = "cd " + Quoted(cwd) + " &&";
    for (const auto& [name, value] : env) command += " " + name + "=" + Quoted(value);
    command += " " + Quoted(std::string(LORIC_BINARY_DIR) + "/tools/loric");
    for (const auto& arg : args) command += " " + Quoted(arg);
    const int status = std::system((command + " </dev/null >" + cwd + "/.out 2>" + cwd + "/.err").c_str());
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const std::string out = loric::test::ReadFileBytes(cwd + "/.out") + loric::test::ReadFileBytes(cwd + "/.err");
    fs::remove(cwd + "/.out"), fs::remove(cwd + "/.err");
    return "exit " + std::to_string(code) + "\n" + out;
}

using Steps = std::vector<std::vector<std::string>>;
const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";
const std::string kF = kImages + "firmware.bin", kL = kImages + "loader.bin", kC = kImages + "config.bin";
const std::string kD = std::string(LORIC_SOURCE_DIR) + "/examples/config.json";
// A configuration file built by hand from the layout, with CRCs computed byte-wise: four texts, one unit.
const std::string kRom = loric::test::GoldenPath("tool/rom.bin");

const Steps kWithoutDevice = {
    // No device needed (no --sim; the driver socket points nowhere): usage errors exit with 64,
    // missing files are named with status 6 before any device is touched, a damaged description
    // is reported with its position and leaves no file.
    {"@tool"}, {"@tool", "--help"}, {"@tool", "frobnicate"}, {"@tool", "read"}, {"@tool", "--trace", "loud", "nodes"},
    {"@tool", "--progress", "fancy", "nodes"}, {"@tool", "--state", "state-folder", "nodes"},
    {"@tool", "--com", "/dev/null", "--sim", "nodes"}, {"@tool", "erase"}, {"@tool", "program", "fw.bin", kD},
    {"@tool", "program-loader", "ld.bin"}, {"@tool", "config", "upload", "c.json"},
    {"@tool", "config", "generate", "c.json", "c.bin"}, {"@tool", "config", "show", "c.bin"}, {"@tool", "nodes"},
    {"@write", "bad.json", "{\n  \"vendor_text\": \"x\",\n  oops\n}\n"},
    {"@tool", "config", "generate", "bad.json", "out.bin"}, {"@write", "typo.json", R"({"vendor_txt": "x"})"},
    {"@tool", "config", "generate", "typo.json", "out.bin"}, {"@files"},
    // The ROM decoder shows every block with its CRC checked and blames a damaged one: a bit
    // flipped in the root directory, the unit directory, the bus information block, a leaf and
    // the magic word; the file cut short.
    {"@tool", "config", "show", kRom}, {"@show-flipped", "132"}, {"@show-flipped", "164"}, {"@show-flipped", "116"},
    {"@show-flipped", "224"}, {"@show-flipped", "0"}, {"@show-cut", "100"},
};
const Steps kRunning = {
    {"@programmed"}, {"nodes"}, {"timestamp"}, {"read", "0xFFFFF0000404"}, {"read", "CONFIG_ROM", "-n", "2"},
    {"write", "FLASH_READ_CTRL", "0x10000"}, {"--node", "0xFFC5", "write", "flash_read_ctrl", "0"},
    {"write", "FLASH_READ_CTRL", "0x1FFFFFFFF"}, {"config", "show"}, {"dump", "0", "40000", "-o", "fw.bin"},
    {"@same", "fw.bin", kF},  // all but the parameter that holds the configuration's address
    {"verify", kF, "--firmware"}, {"verify", kF}, {"dump", "0x10001", "5"}, {"dump", "0x7FFF0", "0x20"},
    {"config", "download", "device.bin"}, {"config", "download", "device.json"},
    {"config", "generate", "device.json", "again.bin"}, {"@same", "again.bin", "device.bin"},
    {"config", "import", "device.bin"}, {"--node", "0xFFC5", "timestamp"},
    {"--node", "0xFFC5", "read", "FLASH_UPLOAD_CTRL"}, {"erase", "--sector", "1"}, {"dump", "0x10000", "8"},
    {"erase", "--sector", "8"}, {"erase", "--address", "0x10001"}, {"@programmed"},
    {"config", "upload", kD, "--backup", "old.bin"}, {"config", "upload", kD, "--no-backup"}, {"@files"},
};
const Steps kRefusedAndFailing = {
    // Bad input is refused before the device is touched: the flash stays unchanged each time.
    {"@programmed"}, {"@cut", kF, "cut.bin", "1000"}, {"@cut", kF, "odd.bin", "1001"}, {"@noise", "noise.bin"},
    {"@cut", kF, "empty.bin", "0"}, {"program", "cut.bin", kD}, {"program", "odd.bin", kD},
    {"program", "noise.bin", kD}, {"program", kL, kD}, {"program-loader", "noise.bin", "--yes"},
    {"program-loader", kF, "--yes"}, {"program-loader", kL}, {"program-loader", kL, "--erase-delay", "31"},
    {"program", kF, kD, "--erase-delay", "-1"}, {"program", kF, kD, "--loader", kL, "--erase-delay", "31"},
    {"program", "state", kD}, {"program", "empty.bin", kD}, {"program", kF, "noise.bin"},
    {"config", "import", "noise.bin"}, {"verify", kF, "--address", "0x7FFFFFFF"}, {"erase", "--all"},
    {"erase", "--sector", "0"},
    // A device failing mid-way: the checksum disagrees, the read window stops answering after
    // 100 quadlets, the device does not come back after its reset.
    {"--sim-fault", "checksum:1", "program", kF, kD, "--no-backup"},
    {"--sim-fault", "read:F0090014:100", "dump", "0", "4096"},
    {"--sim-fault", "vanish", "config", "upload", kD, "--no-backup"},
    // --force overrides a content check: the loader goes in as firmware, and then runs.
    {"@programmed"}, {"program", kL, kD, "--force", "--no-backup"}, {"nodes"},
};
const Steps kCtrlC = {
    // A Ctrl-C where nothing is written yet leaves the flash unchanged; once writing has begun
    // the tool finishes; a second one quits and prints the `loric restore` that puts back every
    // byte (the hash of the programmed device again); during the relocation the loader is left
    // running and a plain `program` then finishes.
    {"@programmed"}, {"@ctrl-c", "Downloading configuration", "config", "upload", kC, "--verify"},
    {"@ctrl-c", "Saving the device's firmware...@50", "program", kF, kC},
    {"@ctrl-c", "Uploading firmware...@20", "program", kF, kC}, {"verify", kC, "--address", "0x10000"},
    {"verify", kF, "--firmware"}, {"@programmed"}, {"@ctrl-c", "Uploading configuration...@0", "config", "upload", kC},
    {"verify", kC, "--address", "0x10000"}, {"@programmed"},
    {"@ctrl-c", "Uploading firmware...@20,Uploading firmware...@40", "program", kF, kC}, {"nodes"},
    {"@restore", "--loader", kL}, {"@programmed"},
    {"@ctrl-c", "Relocating device...", "program", kF, kC, "--loader", kL}, {"nodes"}, {"program", kF, kC},
    {"verify", kF, "--firmware"},
};
const Steps kBlankProgramAndChange = {
    // A blank device: unknown chip, the loader missing, the loader alone.
    {"@blank"}, {"--chip", "29F04", "program", kF, kD, "--loader", kL}, {"--flash-data", "none.dat", "chips"},
    {"chips"}, {"chips", "29f040b"}, {"program", kF, kD}, {"config", "upload", kD}, {"--trace", "api,error", "nodes"},
    {"@has", "debug.log", "API_TRACE: Enter FindNode\r\n", "VERBOSE: "}, {"program-loader", kL}, {"nodes", "--blank"},
    {"read", "FLASH_UPLOAD_CTRL", "--node", "0xFFC0"},
    // A blank device programmed, one field of its description changed, only the configuration
    // reprogrammed with the old one saved first. Progress as plain lines, in order.
    {"@blank"}, {"@cut", kD, "device.json", "100000"}, {"nodes"},
    {"program", kF, "device.json", "--loader", kL, "--verify"}, {"config", "generate", "device.json", "first.bin"},
    {"@set", "device.json", "vendor_text", "Renamed Storage Works"}, {"config", "upload", "device.json", "--verify"},
    {"@same", "first.bin", "@backup"}, {"config", "show", "--json"},
};

class SimJobs : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir_); }
    static void TearDownTestSuite() {
        if (!programmed_.empty()) fs::remove_all(programmed_);
        programmed_.clear();
    }
    std::string In(const std::string& name) const { return name[0] == '/' ? name : dir_ + "/" + name; }
    std::string File(const std::string& name) const { return loric::test::ReadFileBytes(In(name)); }
    void Write(const std::string& name, const std::string& bytes) { std::ofstream(In(name), std::ios::binary) << bytes; }
    // A device running the example firmware with the example description's configuration:
    // programmed from blank once per test program, copied for each use.
    void StartProgrammed() {
        if (programmed_.empty()) {
            programmed_ = NewFolder();
            const std::string result = RunTool({"--sim", "--state", programmed_ + "/state", "--progress", "none",
                                                "program", kF, kD, "--loader", kL}, programmed_);
            EXPECT_EQ(result.substr(0, 7), "exit 0\n") << result;
        }
        fs::remove_all(In("state"));
        fs::copy(programmed_ + "/state", In("state"), fs::copy_options::recursive);
    }
    static std::string Hash(const std::string& bytes) {
        uint64_t hash = 14695981039346656037u;
        for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211u;
        return std::to_string(hash);
    }
    // Runs one step; returns what it adds to the transcript.
    std::string Run(const std::vector<std::string>& step) {
        const std::string& what = step[0];
        if (what == "@blank") return fs::remove_all(In("state")), "";
        if (what == "@programmed") {
            StartProgrammed();
            return "flash " + Hash(File("state/flash.bin")) + "\n";
        }
        if (what == "@write") return Write(step[1], step[2]), "";
        if (what == "@cut") return Write(step[2], File(step[1]).substr(0, std::stoul(step[3]))), "";
        if (what == "@show-flipped" || what == "@show-cut") {  // a damaged copy of the ROM file
            std::string rom = File(kRom);
            const size_t at = std::stoul(step[1]);
            what == "@show-cut" ? rom.resize(at) : void(rom.at(at) ^= 1);
            Write("rom.bin", rom);
            return RunTool({"config", "show", "rom.bin"}, dir_);
        }
        if (what == "@noise") {
            std::string noise(40000, 0);
            std::mt19937 random(7);
            for (auto& byte : noise) byte = static_cast<char>(random());
            return Write(step[1], noise), "";
        }
        if (what == "@set") {
            auto description = nlohmann::json::parse(File(step[1]));
            description[step[2]] = step[3];
            return Write(step[1], description.dump(2)), "";
        }
        if (what == "@same") {
            const std::string a = File(step[1]), b = File(step[2] == "@backup" ? backup_ : step[2]);
            size_t differing = a.size() == b.size() ? 0 : std::string::npos;
            for (size_t i = 0; differing != std::string::npos && i < a.size(); ++i) differing += a[i] != b[i];
            return "bytes differing: " + std::to_string(differing) + " of " + std::to_string(a.size()) + "\n";
        }
        if (what == "@files") {
            std::set<std::string> names;
            for (const auto& entry : fs::directory_iterator(dir_)) names.insert(entry.path().filename().string() + "\n");
            return std::accumulate(names.begin(), names.end(), std::string());
        }
        if (what == "@has") {
            const std::string text = File(step[1]);
            std::string found;
            for (size_t i = 2; i < step.size(); ++i) found += (text.find(step[i]) != std::string::npos ? "has: " : "lacks: ") + step[i] + "\n";
            return found;
        }
        if (what == "@tool") return RunTool({step.begin() + 1, step.end()}, dir_, {{"BRENNOCK_SOCKET", In("no-driver.sock")}});
        const std::string before = File("state/flash.bin");
        std::vector<std::string> args = {"--sim", "--state", dir_ + "/state", "--progress", "plain"};
        std::map<std::string, std::string> env;
        if (what == "@ctrl-c") env["LORIC_TOOL_INTERRUPT_AT"] = step[1];
        if (what == "@restore") args.insert(args.end(), restore_.begin(), restore_.end());
        const size_t skip = what == "@ctrl-c" ? 2 : what == "@restore" ? 1 : 0;
        args.insert(args.end(), step.begin() + skip, step.end());
        const std::string result = RunTool(args, dir_, env);
        std::smatch saved;
        if (std::regex_search(result, saved, std::regex("config-backup-[0-9]{8}-[0-9]{6}\\.bin"))) backup_ = saved[0];
        if (std::regex_search(result, saved, std::regex("`loric (restore) ([^ ]+) ([^`]+)`"))) restore_ = {saved[1], saved[2], saved[3]};
        const std::string after = File("state/flash.bin");
        return result + "flash " + (after == before ? "unchanged" : Hash(after)) + "\n";
    }
    // Runs the steps in a fresh folder and compares the transcript with tests/data/tool/<golden>.txt.
    void Check(const Steps& steps, const std::string& golden) {
        loric::test::Transcript t;
        for (const auto& step : steps) {
            std::string line;
            for (const auto& word : step) line += " " + word;
            t.Add("==%s\n", line.c_str());
            t.Text(Run(step));
        }
        t.Replace(dir_, "DIR");
        t.Replace(kImages, "IMAGES/");
        t.Replace(LORIC_BINARY_DIR, "BUILD");
        t.Replace(LORIC_SOURCE_DIR, "SRC");
        // The rate and time left come and go with the machine's speed.
        std::string text = std::regex_replace(t.str(), std::regex(", [0-9.]+ [KM]?i?B/s, about [0-9]+ s left\\)"), ")");
        text = std::regex_replace(text, std::regex("[0-9.]+ [KM]?i?B/s, [0-9.]+ s\\)"), "RATE)");
        text = std::regex_replace(text, std::regex("-backup-[0-9]{8}-[0-9]{6}"), "-backup-STAMP");
        loric::test::ExpectGolden("tool/" + golden + ".txt", text);
    }
    static inline std::string programmed_;
    const std::string dir_ = NewFolder();
    std::string backup_;
    std::vector<std::string> restore_;
};

TEST_F(SimJobs, WithoutDevice) { Check(kWithoutDevice, "jobs_without_device"); }
TEST_F(SimJobs, Running) { Check(kRunning, "jobs_running"); }
TEST_F(SimJobs, RefusedAndFailing) { Check(kRefusedAndFailing, "jobs_refused_and_failing"); }
TEST_F(SimJobs, CtrlC) { Check(kCtrlC, "jobs_ctrl_c"); }
TEST_F(SimJobs, BlankProgramAndChange) { Check(kBlankProgramAndChange, "jobs_blank_program_and_change"); }

}  // namespace
