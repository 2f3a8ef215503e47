// Every job of the tool against its embedded simulated device, run as a user runs them: on
// success and on the failures a person meets (unknown chip, wrong node, blank device, a device
// failing mid-way). Each step's exit code, output and error output go into one transcript,
// tests/data/tool/sim_jobs.txt, compared whole; the scratch folder, transfer rates and backup
// stamps are masked. Steps starting with '@' act on the test's folder instead of running the tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numeric>
#include <regex>
#include <set>

#include "run_tool.h"

namespace fs = std::filesystem;
using namespace tooltest;

namespace {

using Steps = std::vector<std::vector<std::string>>;
const std::string kF = kFirmware, kD = kDescription, kL = kLoader;

const Steps kWithoutDevice = {
    // No device needed (no --sim; the driver socket points nowhere): usage errors exit with 64,
    // missing files are named with status 6 before any device is touched, a damaged description
    // is reported with its position and leaves no file.
    {"@tool"}, {"@tool", "--help"}, {"@tool", "frobnicate"}, {"@tool", "read"}, {"@tool", "--trace", "loud", "nodes"},
    {"@tool", "--progress", "fancy", "nodes"}, {"@tool", "--state", "/tmp/x", "nodes"},
    {"@tool", "--com", "/dev/null", "--sim", "nodes"}, {"@tool", "erase"}, {"@tool", "program", "fw.bin", kD},
    {"@tool", "program-loader", "ld.bin"}, {"@tool", "config", "upload", "c.json"},
    {"@tool", "config", "generate", "c.json", "c.bin"}, {"@tool", "config", "show", "c.bin"}, {"@tool", "nodes"},
    {"@write", "bad.json", "{\n  \"vendor_text\": \"x\",\n  oops\n}\n"},
    {"@tool", "config", "generate", "bad.json", "out.bin"}, {"@write", "typo.json", R"({"vendor_txt": "x"})"},
    {"@tool", "config", "generate", "typo.json", "out.bin"}, {"@files"},
};
const Steps kProgramAndChange = {
    // A blank device programmed, one field of its description changed, only the configuration
    // reprogrammed with the old one saved first. Progress as plain lines, in order.
    {"@copy", kD, "device.json"}, {"nodes"}, {"program", kF, "device.json", "--loader", kL, "--verify"},
    {"config", "generate", "device.json", "first.bin"},
    {"@set", "device.json", "vendor_text", "Renamed Storage Works"}, {"config", "upload", "device.json", "--verify"},
    {"@same", "first.bin", "@backup"}, {"config", "show", "--json"},
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
const Steps kFailing = {
    // A device failing mid-way: the checksum disagrees, the read window stops answering after
    // 100 quadlets, the device does not come back after its reset.
    {"--sim-fault", "checksum:1", "program", kF, kD, "--no-backup"},
    {"--sim-fault", "read:F0090014:100", "dump", "0", "4096"},
    {"--sim-fault", "vanish", "config", "upload", kD, "--no-backup"},
};
const Steps kBlank = {
    // A blank device: unknown chip, the loader missing, the loader alone.
    {"@blank"}, {"--chip", "29F04", "program", kF, kD, "--loader", kL}, {"--flash-data", "none.dat", "chips"},
    {"chips"}, {"chips", "29f040b"}, {"program", kF, kD}, {"config", "upload", kD}, {"--trace", "api,error", "nodes"},
    {"@has", "debug.log", "API_TRACE: Enter FindNode\r\n", "VERBOSE: "}, {"program-loader", kL}, {"nodes", "--blank"},
    {"read", "FLASH_UPLOAD_CTRL", "--node", "0xFFC0"},
};

class SimJobs : public SimTool {
protected:
    std::string File(const std::string& name) { return loric::test::ReadFileBytes(name[0] == '/' ? name : In(name)); }
    // Runs one step; returns what it adds to the transcript.
    std::string Run(const std::vector<std::string>& step) {
        const std::string& what = step[0];
        if (what == "@blank") return fs::remove_all(In("state")), "";
        if (what == "@programmed") return StartProgrammed(), "";
        if (what == "@copy") return fs::copy_file(step[1], In(step[2])), "";
        if (what == "@write") return std::ofstream(In(step[1])) << step[2], "";
        if (what == "@set") {
            auto description = nlohmann::json::parse(File(step[1]));
            description[step[2]] = step[3];
            std::ofstream(In(step[1]), std::ios::trunc) << description.dump(2);
            return "";
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
            for (size_t i = 2; i < step.size(); ++i) found += (Has(text, step[i]) ? "has: " : "lacks: ") + step[i] + "\n";
            return found;
        }
        auto result = what != "@tool" ? Loric(step)
                                      : RunTool({step.begin() + 1, step.end()},
                                                {dir_, {{"BRENNOCK_SOCKET", In("no-driver.sock")}}});
        std::smatch saved;
        if (std::regex_search(result.out, saved, std::regex("config-backup-[0-9]{8}-[0-9]{6}\\.bin"))) backup_ = saved[0];
        return "exit " + std::to_string(result.exitCode) + "\n" + result.out + result.err;
    }
    // Runs the steps in a fresh folder (the running device's steps on a copy of one programmed
    // device) and compares the transcript with tests/data/tool/<golden>.txt.
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
        text = std::regex_replace(text, std::regex("config-backup-[0-9]{8}-[0-9]{6}"), "config-backup-STAMP");
        loric::test::ExpectGolden("tool/" + golden + ".txt", text);
    }
    std::string backup_;
};

TEST_F(SimJobs, WithoutDevice) { Check(kWithoutDevice, "jobs_without_device"); }
TEST_F(SimJobs, ProgramAndChange) { Check(kProgramAndChange, "jobs_program_and_change"); }
TEST_F(SimJobs, Running) { StartProgrammed(); Check(kRunning, "jobs_running"); }
TEST_F(SimJobs, Failing) { StartProgrammed(); Check(kFailing, "jobs_failing"); }
TEST_F(SimJobs, Blank) { Check(kBlank, "jobs_blank"); }

}  // namespace
