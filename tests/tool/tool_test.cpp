// The tool's JSON description of a configuration, read directly; then every job of the tool
// against its embedded simulated device, run as a user runs them (the built `loric`, stdin
// /dev/null): on success, on the failures a person meets (unknown chip, wrong node, blank
// device, a device failing mid-way), on bad input, which is refused before the device is
// touched, and on a Ctrl-C, which stops cleanly. One case a test, one transcript a case:
// tests/data/tool/<suite>/<case>.txt, compared whole.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <set>

#include "backup.h"
#include "config_json.h"
#include "errors.h"
#include "files.h"
#include "support/sim_daemon.h"
#include "tool_folder.h"
#include "tqsim/registers.h"

namespace fs = std::filesystem;

namespace {

using tool_test::Quoted;

// tool/descriptions.json: one description naming every field, one naming a single field, then
// bad ones and the longest text. Every field lands at its place in the record and comes back,
// numbers as 0x texts of the field's width; a bad member is refused by name, exit code 33.
TEST(ConfigDescription, FieldsLandInTheRecordAndComeBackBadMembersAreRefusedByName) {
    loric::test::Transcript t;
    for (const auto& input : nlohmann::json::parse(
             loric::test::ReadFileBytes(loric::test::GoldenPath("tool/descriptions.json")))) {
        t.Add("== %s\n", input.dump().c_str());
        try {
            const CONFIG_FILE_INFO info = tool::ParseConfigDescription(input);
            t.Words(std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(&info),
                                         reinterpret_cast<const uint8_t*>(&info + 1)));
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

// A backup never replaces a file: a stamped name taken (for this second and the next two) gets
// "-2"; an existing name is refused with exit code 6 and left as it was; a written backup
// leaves no temporary file beside it.
TEST(Backups, NeverReplaceAFileNorLeaveATemporaryOne) {
    const loric::test::Scratch scratch("backup");
    const std::filesystem::path dir = scratch.dir;
    for (int later = 0; later < 3; ++later) {
        const std::time_t when = std::time(nullptr) + later;
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", std::localtime(&when));
        std::ofstream(dir / ("config-backup-" + std::string(stamp) + ".bin")) << "taken";
    }
    EXPECT_TRUE(std::regex_match(tool::BackupName("config", (dir / "x.bin").string()),
                                 std::regex(".*/config-backup-[0-9]{8}-[0-9]{6}-2\\.bin")));
    std::ofstream(dir / "old.bin") << "old";
    try {
        tool::WriteBackupFile((dir / "old.bin").string(), {1, 2, 3});
        ADD_FAILURE() << "an existing backup was replaced";
    } catch (const tool::ToolError& error) {
        EXPECT_EQ(error.code(), 6);
    }
    tool::WriteBackupFile((dir / "new.bin").string(), {1, 2, 3});
    EXPECT_EQ(loric::test::ReadFileBytes((dir / "old.bin").string()), "old");
    EXPECT_EQ(loric::test::ReadFileBytes((dir / "new.bin").string()), std::string("\1\2\3"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 5);
}

using Args = std::vector<std::string>;
using Env = std::map<std::string, std::string>;

// The inputs: the example images and description, and a configuration ROM file kept as a golden.
using tool_test::kDescription, tool_test::kImages;
const std::string kFirmware = kImages + "firmware.bin", kLoader = kImages + "loader.bin";
const std::string kConfig = kImages + "config.bin";
// config.bin's own EUI-64: given to a board that has another, the flash then matches the file.
const std::string kConfigId = "0x0ABCDE0123456789";
const std::string kRom = loric::test::GoldenPath("tool/rom.bin");

std::string Joined(const Args& words, bool quoted = false) {
    std::string line;
    for (const auto& word : words) line += " " + (quoted ? Quoted(word) : word);
    return line;
}

// The shell command that runs the tool with `env` added.
std::string Command(const Args& args, const Env& env = {}) {
    std::string command;
    for (const auto& [name, value] : env) command += name + "=" + Quoted(value) + " ";
    return command + Quoted(tool_test::kTool) + Joined(args, true);
}

// Runs `command` in `cwd`: "exit N", then its output and error output. A hung run is ended by
// the test's own time-out.
std::string RunTool(const std::string& cwd, const std::string& command) {
    const tool_test::Outcome run = tool_test::Run(cwd, command);
    return "exit " + std::to_string(run.code) + "\n" + run.out + run.err;
}

std::string FlashHash(const std::string& bytes) {  // FNV-1a
    uint64_t hash = 14695981039346656037u;
    for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211u;
    return std::to_string(hash);
}

// One case's scratch folder, with the simulated device's state in it, and its transcript. Each
// step adds "== " and what it is: a run of the tool its arguments, then its exit code, output
// and error output and whether the flash changed (its hash if so); a step the test takes itself
// is marked '@', followed by what it found.
struct Job : loric::test::Scratch {
    Job() : Scratch("tool") {}
    loric::test::Transcript t;
    std::string backup;  // the configuration backup that the last run saved
    Args restore;        // and the `loric restore` it printed

    std::unique_ptr<loric::test::SimDaemon> daemon;  // the case's simulator daemon, if any

    void Note(const std::string& step) { t.Text("== " + step + "\n"); }
    // The driver socket where no driver answers, and the simulator daemon's.
    Env NoDriver() const { return {{"BRENNOCK_SOCKET", In("no-driver.sock")}}; }
    std::string OnDaemon(const Args& args) const {
        return Command(tool_test::With({"--chip", "29F040B", "--progress", "plain"}, args),
                       {{"BRENNOCK_SOCKET", In("driver.sock")}});
    }
    void OnDevice(const std::string& shown, Args args, const Env& env = {}) {
        Note(shown);
        const std::string before = File("state/flash.bin");
        args.insert(args.begin(), {"--sim", "--state", dir + "/state", "--progress", "plain"});
        const std::string result = RunTool(dir, Command(args, env));
        std::smatch saved;
        if (std::regex_search(result, saved,
                              std::regex("config-backup-([0-9A-F]{16}-)?[0-9]{8}-[0-9]{6}\\.bin")))
            backup = saved[0];
        if (std::regex_search(result, saved, std::regex("`loric (restore) ([^ ]+) ([^`]+)`")))
            restore = {saved[1], saved[2], saved[3]};
        const std::string after = File("state/flash.bin");
        t.Text(result + "flash " + (after == before ? "unchanged" : FlashHash(after)) + "\n");
    }
    // The transcript, masked (the scratch folder, the source and build trees, transfer rates and
    // times, backup stamps), against the golden file.
    void Check(const std::string& golden) {
        loric::test::ExpectGolden(golden, loric::test::MaskedRun(t.str(), dir));
    }
};

using Step = std::function<void(Job&)>;

// The device: blank as the simulator first makes it; a device state made once per test program
// by running the tool on such a device, copied for each case, with the hash of its flash.
const Step Blank = [](Job& j) { j.Note("@blank"); };
Step Saved(const std::string& shown, const Args& args) {
    return [=](Job& j) {
        static std::map<std::string, Job> saved;
        if (!fs::exists(saved[shown].In("state"))) saved[shown].OnDevice("", args);
        EXPECT_EQ(saved[shown].t.str().substr(0, 11), "== \nexit 0\n") << saved[shown].t.str();
        fs::copy(saved[shown].In("state"), j.In("state"), fs::copy_options::recursive);
        j.Note(shown), j.t.Text("flash " + FlashHash(j.File("state/flash.bin")) + "\n");
    };
}
// Blank, after one run of the tool (a device that answers as it does once it was started before).
const Step BlankSaved = Saved("@blank-saved", {"chips"});
// Running the example firmware with the example description's configuration.
const Step Programmed =
    Saved("@programmed", {"program", kFirmware, kDescription, "--loader", kLoader});

// Runs of the tool: on the simulated device; with Ctrl-C pressed at the progress titles `at`;
// the `loric restore` that the last run printed; with no device (the driver socket points
// nowhere).
template <class... W>
Step Tool(const W&... words) {
    return [args = Args{words...}](Job& j) { j.OnDevice(Joined(args).substr(1), args); };
}
template <class... W>
Step CtrlC(const std::string& at, const W&... words) {
    return [at, args = Args{words...}](Job& j) {
        j.OnDevice("@ctrl-c " + at + Joined(args), args, {{"LORIC_TOOL_INTERRUPT_AT", at}});
    };
}
template <class... W>
Step Restore(const W&... words) {
    return [more = Args{words...}](Job& j) {
        Args args = j.restore;
        args.insert(args.end(), more.begin(), more.end());
        j.OnDevice("@restore" + Joined(more), args);
    };
}
template <class... W>
Step Offline(const W&... words) {
    return [args = Args{words...}](Job& j) {
        j.Note("@tool" + Joined(args));
        j.t.Text(RunTool(j.dir, Command(args, j.NoDriver())));
    };
}
// `loric chips` of a flash data file of one record, the 29F040B's with its command set, flags
// line and sector size line as given.
Step ChipRecord(const std::string& set, const std::string& flags, const std::string& size) {
    return [=](Job& j) {
        j.Put("chip.dat", "FLASH_DATA_FILE_V3\n8-bit uniform sectors\n\n0,29F040B\n" + set +
                              "\n20\n" + flags + "\nX8\n" + size + "\n");
        j.Note("@chip-record " + set + " " + flags + " " + size);
        j.t.Text(RunTool(j.dir, Command({"--flash-data", "chip.dat", "chips"}, j.NoDriver())));
    };
}

// The simulator daemon (29F040B) with `args`, its driver socket (and with --serial its
// adapter's terminal, tty) in the scratch folder; runs of
// the tool through it; and a run during which the daemon is killed once the tool's error output
// shows `at` (only the tool's messages are kept: how far it got before varies).
template <class... W>
Step Daemon(const W&... words) {
    return [args = Args{words...}](Job& j) {
        j.Note("@daemon" + Joined(args));
        j.daemon = std::make_unique<loric::test::SimDaemon>(j.dir, args);
    };
}
// The daemon's own view of its boards: "INDEX STATE NODE EUI-64 CHIP" each.
const Step Boards = [](Job& j) { j.Note("@boards"), j.t.Text(j.daemon->Control("devices")); };
template <class... W>
Step OnDaemon(const W&... words) {
    return [args = Args{words...}](Job& j) {
        j.Note("@on-daemon" + Joined(args)), j.t.Text(RunTool(j.dir, j.OnDaemon(args)));
    };
}
template <class... W>
Step KillDaemonAt(const std::string& at, const W&... words) {
    return [at, args = Args{words...}](Job& j) {
        j.Note("@kill-daemon-at " + at + Joined(args));
        const pid_t tool = loric::test::Spawn(j.dir, "/bin/sh", {"-c", j.OnDaemon(args)}, "killed");
        EXPECT_TRUE(j.AwaitShown("killed", at));
        j.daemon->Stop();
        std::string kept = "exit " + std::to_string(loric::test::ExitCode(tool)) + "\n";
        std::istringstream err(j.File("killed.err"));
        for (std::string line; std::getline(err, line);)
            if (line.rfind("loric:", 0) == 0 || line.rfind("  What to try", 0) == 0)
                kept += line + "\n";
        j.t.Text(kept);
    };
}

// A run whose output goes into a pipe that is closed after 10 bytes (a terminal that went away).
template <class... W>
Step Piped(const W&... words) {
    return [args = Args{words...}](Job& j) {
        std::system(("cd " + Quoted(j.dir) + " && (" +
                     Command(tool_test::With({"--sim", "--state", "state"}, args)) +
                     " 2>.err </dev/null; echo $? >.code) | head -c 10 >/dev/null")
                        .c_str());
        j.Note("@piped" + Joined(args));
        j.t.Text("exit " + j.File(".code") + j.File(".err"));
    };
}
// `config show` of the ROM file with the bit 0 of byte `at` flipped, or cut to `at` bytes.
Step ShowRom(const std::string& damage, size_t at) {
    return [=](Job& j) {
        std::string rom = j.File(kRom);
        damage == "cut" ? rom.resize(at) : void(rom.at(at) ^= 1);
        j.Put("rom.bin", rom);
        j.Note("@show-" + damage + " " + std::to_string(at));
        j.t.Text(RunTool(j.dir, Command({"config", "show", "rom.bin"})));
    };
}

// Files in the scratch folder: written, cut from another, 40000 random bytes, a description with
// one field set.
Step Write(const std::string& name, const std::string& bytes) {
    return [=](Job& j) { j.Note("@write " + name + " " + bytes), j.Put(name, bytes); };
}
Step Cut(const std::string& from, const std::string& to, size_t size) {
    return [=](Job& j) {
        j.Note("@cut " + from + " " + to + " " + std::to_string(size));
        j.Put(to, j.File(from).substr(0, size));
    };
}
// `bytes` written over a copy of `from` at offset `at` (`to` may be `from`: the device's flash
// "state/flash.bin" damaged in place).
Step Poke(const std::string& from, const std::string& to, size_t at, const std::string& bytes) {
    return [=](Job& j) {
        std::string copy = j.File(from);
        copy.replace(at, bytes.size(), bytes);
        j.Note("@poke " + from + " " + to + " " + std::to_string(at)), j.Put(to, copy);
    };
}
Step Noise(const std::string& name) {
    return [=](Job& j) {
        std::string noise(40000, 0);
        std::mt19937 random(7);
        for (auto& byte : noise) byte = static_cast<char>(random());
        j.Note("@noise " + name), j.Put(name, noise);
    };
}
Step Set(const std::string& name, const std::string& field, const std::string& value) {
    return [=](Job& j) {
        auto description = nlohmann::json::parse(j.File(name));
        description[field] = value;
        j.Note("@set " + name + " " + field + " " + value), j.Put(name, description.dump(2));
    };
}

// Checks: how many bytes two files differ in (`b` "@backup": the configuration backup the last
// run saved), the names in the scratch folder, whether a file holds each text.
Step Same(const std::string& a, const std::string& b) {
    return [=](Job& j) {
        const std::string one = j.File(a), other = j.File(b == "@backup" ? j.backup : b);
        const size_t differing =
            one.size() != other.size()
                ? std::string::npos
                : std::inner_product(one.begin(), one.end(), other.begin(), size_t{0},
                                     std::plus<>(), std::not_equal_to<>());
        j.Note("@same " + a + " " + b);
        j.t.Add("bytes differing: %s of %zu\n", std::to_string(differing).c_str(), one.size());
    };
}
const Step Files = [](Job& j) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(j.dir)) names.insert(entry.path().filename());
    j.Note("@files");
    for (const auto& name : names) j.t.Text(name + "\n");
};
Step Has(const std::string& name, const Args& texts) {
    return [=](Job& j) {
        const std::string held = j.File(name);
        j.Note("@has " + name + Joined(texts));
        for (const auto& text : texts)
            j.t.Text((held.find(text) == std::string::npos ? "lacks: " : "has: ") + text + "\n");
    };
}

// One case a test, its transcript in tests/data/tool/<suite>/<case>.txt (names in snake case).
struct Case {
    const char* name;
    std::vector<Step> steps;
};
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
// The cases of a suite, each starting on `device`.
template <size_t n>
::testing::internal::ParamGenerator<Case> StartingOn(const Step& device, const Case (&cases)[n]) {
    std::vector<Case> started(cases, cases + n);
    for (auto& c : started) c.steps.insert(c.steps.begin(), device);
    return ::testing::ValuesIn(started);
}
std::string CaseName(const ::testing::TestParamInfo<Case>& info) { return info.param.name; }
std::string SnakeCase(const std::string& name) {
    std::string snake;
    for (char c : name) {
        if (std::isupper(static_cast<unsigned char>(c)) && !snake.empty()) snake += '_';
        snake += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return snake;
}

class ToolJob : public ::testing::TestWithParam<Case> {};

TEST_P(ToolJob, Run) {
    Job job;
    for (const auto& step : GetParam().steps) step(job);
    const std::string suite = ::testing::UnitTest::GetInstance()->current_test_suite()->name();
    job.Check("tool/" + SnakeCase(suite.substr(0, suite.find('/'))) + "/" +
              SnakeCase(GetParam().name) + ".txt");
}

// No device needed (no --sim; the driver socket points nowhere): usage errors exit with 64,
// missing files are named with status 6 before any device is touched, a damaged description is
// reported with its position and leaves no file. The configuration decoder shows every block
// with its CRC checked and blames a damaged one.
const Case kWithoutDevice[] = {
    {"NoSubcommand", {Offline()}},
    {"Help", {Offline("--help")}},
    {"UnknownSubcommand", {Offline("frobnicate")}},
    {"ReadWithoutRegister", {Offline("read")}},
    {"UnknownTraceClass", {Offline("--trace", "loud", "nodes")}},
    {"UnknownProgressStyle", {Offline("--progress", "fancy", "nodes")}},
    {"StateWithoutSim", {Offline("--state", "state-folder", "nodes")}},
    {"SerialAndSim", {Offline("--com", "/dev/null", "--sim", "nodes")}},
    {"EraseWithoutRange", {Offline("erase")}},
    {"MissingFirmware", {Offline("program", "fw.bin", kDescription)}},
    {"MissingLoader", {Offline("program-loader", "ld.bin")}},
    {"MissingConfigToUpload", {Offline("config", "upload", "c.json")}},
    {"MissingDescription", {Offline("config", "generate", "c.json", "c.bin")}},
    {"MissingConfigToShow", {Offline("config", "show", "c.bin")}},
    {"NoDriver", {Offline("nodes")}},
    {"DamagedDescriptionsLeaveNoFile",
     {Write("bad.json", "{\n  \"vendor_text\": \"x\",\n  oops\n}\n"),
      Offline("config", "generate", "bad.json", "out.bin"),
      Write("typo.json", R"({"vendor_txt": "x"})"),
      Offline("config", "generate", "typo.json", "out.bin"), Files}},
    {"RomShown", {Offline("config", "show", kRom)}},
    {"RomRootDirectoryDamaged", {ShowRom("flipped", 132)}},
    {"RomUnitDirectoryDamaged", {ShowRom("flipped", 164)}},
    {"RomBusInformationBlockDamaged", {ShowRom("flipped", 116)}},
    {"RomLeafDamaged", {ShowRom("flipped", 224)}},
    {"RomMagicDamaged", {ShowRom("flipped", 0)}},
    {"RomCutShort", {ShowRom("cut", 100)}},
    {"UnknownConfigCommand", {Offline("config", "frobnicate")}},
    {"ConfigWithoutCommand", {Offline("config")}},
    {"DescriptionWithARepeatedMember",
     {Write("twice.json", "{\"vendor_text\": \"a\",\n \"vendor_text\": \"b\"}\n"),
      Offline("config", "generate", "twice.json", "out.bin"), Files}},
    // Each field the library reads loosely, refused by the tool with the record's line.
    {"ChipRecordSizeUnit", {ChipRecord("1", "8", "K6x4")}},
    {"ChipRecordBusWidth", {ChipRecord("1", "12", "K64")}},
    {"ChipRecordCommandSetTooLarge", {ChipRecord("9", "8", "K64")}},
    {"ChipRecordCommandSetNegative", {ChipRecord("-1", "8", "K64")}},
    {"ChipRecordRepeatCount", {ChipRecord("1", "B8", "K64\nX2x\nK8")}},
};
INSTANTIATE_TEST_SUITE_P(WithoutDevice, ToolJob, ::testing::ValuesIn(kWithoutDevice), CaseName);

// The cases of this suite and the next two start on the programmed device. Here: what it
// reports, its registers (by name, and one by its address), its flash and configuration read
// back, a sector erased, its configuration changed with and without a backup.
const Case kRunning[] = {
    {"Nodes", {Tool("nodes")}},
    {"Timestamp", {Tool("timestamp")}},
    {"ReadByAddress", {Tool("read", "0xFFFFF0000404")}},
    {"ReadConfigRom", {Tool("read", "CONFIG_ROM", "-n", "2")}},
    {"WriteRegister", {Tool("write", "FLASH_READ_CTRL", "0x10000")}},
    {"WriteAbsentNode", {Tool("--node", "0xFFC5", "write", "flash_read_ctrl", "0")}},
    {"WriteMoreThan32Bits", {Tool("write", "FLASH_READ_CTRL", "0x1FFFFFFFF")}},
    {"ConfigShow", {Tool("config", "show")}},
    // All but the parameter that holds the configuration's address.
    {"DumpFirmware", {Tool("dump", "0", "40000", "-o", "fw.bin"), Same("fw.bin", kFirmware)}},
    {"VerifyFirmware", {Tool("verify", kFirmware, "--firmware")}},
    {"VerifyFirmwareAsPlainBytes", {Tool("verify", kFirmware)}},
    {"DumpOddRange", {Tool("dump", "0x10001", "5")}},
    {"DumpPastTheEnd", {Tool("dump", "0x7FFF0", "0x20")}},
    {"ConfigDownloadedAndRegenerated",
     {Tool("config", "download", "device.bin"), Tool("config", "download", "device.json"),
      Tool("config", "generate", "device.json", "again.bin"), Same("again.bin", "device.bin"),
      Tool("config", "import", "device.bin")}},
    {"TimestampAbsentNode", {Tool("--node", "0xFFC5", "timestamp")}},
    {"ReadAbsentNode", {Tool("--node", "0xFFC5", "read", "FLASH_UPLOAD_CTRL")}},
    {"EraseSector", {Tool("erase", "--sector", "1"), Tool("dump", "0x10000", "8")}},
    {"EraseSectorPastTheEnd", {Tool("erase", "--sector", "8")}},
    {"EraseInsideASector", {Tool("erase", "--address", "0x10001")}},
    {"QuietUploadNamesItsBackup", {Tool("-q", "config", "upload", kDescription)}},
    {"ConfigUploadWithAndWithoutBackup",
     {Tool("config", "upload", kDescription, "--backup", "old.bin"),
      Tool("config", "upload", kDescription, "--no-backup"), Files}},
};
INSTANTIATE_TEST_SUITE_P(Running, ToolJob, StartingOn(Programmed, kRunning), CaseName);

// Bad input is refused before the device is touched: the flash stays unchanged each time. A
// device failing mid-way: the checksum disagrees, the read window stops answering after 100
// quadlets, the device does not come back after its reset. --force overrides a content check:
// the loader goes in as firmware, and then runs. A --chip that the running firmware contradicts
// (another bus width, another command set) is refused before any change, --force or not; a
// backup that cannot be written, would replace a file or fails its check stops the job before
// the erase; --no-erase over a configuration is refused; a write that does not land (a chip
// record whose commands the chip ignores) fails its read-back. restore sets the firmware's
// configuration address for the chip.
std::string ReadFault(uint32_t offset, int after) {
    char fault[32];
    std::snprintf(fault, sizeof fault, "read:%08X:%d", offset, after);
    return fault;
}
const Case kRefusedAndFailing[] = {
    {"FirmwareCutShort",
     {Cut(kFirmware, "cut.bin", 1000), Tool("program", "cut.bin", kDescription)}},
    {"FirmwareOfOddSize",
     {Cut(kFirmware, "odd.bin", 1001), Tool("program", "odd.bin", kDescription)}},
    {"NoiseAsFirmware", {Noise("noise.bin"), Tool("program", "noise.bin", kDescription)}},
    {"LoaderAsFirmware", {Tool("program", kLoader, kDescription)}},
    {"NoiseAsLoader", {Noise("noise.bin"), Tool("program-loader", "noise.bin", "--yes")}},
    {"FirmwareAsLoader", {Tool("program-loader", kFirmware, "--yes")}},
    {"LoaderUnconfirmed", {Tool("program-loader", kLoader)}},
    {"LoaderEraseDelayTooLong", {Tool("program-loader", kLoader, "--erase-delay", "31")}},
    {"EraseDelayNegative", {Tool("program", kFirmware, kDescription, "--erase-delay", "-1")}},
    {"EraseDelayTooLong",
     {Tool("program", kFirmware, kDescription, "--loader", kLoader, "--erase-delay", "31")}},
    {"FolderAsFirmware", {Tool("program", "state", kDescription)}},
    {"EmptyFirmware", {Cut(kFirmware, "empty.bin", 0), Tool("program", "empty.bin", kDescription)}},
    {"NoiseAsDescription", {Noise("noise.bin"), Tool("program", kFirmware, "noise.bin")}},
    {"NoiseImported", {Noise("noise.bin"), Tool("config", "import", "noise.bin")}},
    {"VerifyPastTheEnd", {Tool("verify", kFirmware, "--address", "0x7FFFFFFF")}},
    {"EraseAllUnconfirmed", {Tool("erase", "--all")}},
    {"EraseFirstSectorUnconfirmed", {Tool("erase", "--sector", "0")}},
    {"ChecksumDisagrees",
     {Tool("--sim-fault", "checksum:1", "program", kFirmware, kDescription, "--no-backup")}},
    {"ReadWindowStops",
     {Tool("--sim-fault", ReadFault(tqsim::reg::kFlashReadCtrl, 100), "dump", "0", "4096")}},
    {"DeviceVanishes",
     {Tool("--sim-fault", "vanish", "config", "upload", kDescription, "--no-backup")}},
    {"LoaderForcedAsFirmware",
     {Tool("program", kLoader, kDescription, "--force", "--no-backup"), Tool("nodes")}},
    {"WrongChipOfOtherWidth",
     {Tool("--chip", "29LV800B-x16", "program", kFirmware, kDescription), Files}},
    {"WrongChipOfOtherCommands",
     {Tool("--chip", "39SF020A", "program", kFirmware, kDescription, "--force"), Files}},
    {"WrongChipForConfiguration",
     {Tool("--chip", "29LV800B-x16", "config", "upload", kConfig, "--no-backup")}},
    {"WrongChipForRestore",
     {Tool("program", kFirmware, kConfig), Restore("--chip", "39SF020A"), Files}},
    {"WrongChipForLoader", {Tool("--chip", "39SF020A", "program-loader", kLoader, "--yes")}},
    {"BackupFolderMissing",
     {Tool("program", kFirmware, kConfig, "--backup", "none/old.bin"), Files}},
    {"BackupBehindAFile",
     {Write("file", "x"), Tool("config", "upload", kConfig, "--backup", "file/old.bin"), Files}},
    {"BackupNameTwice",
     {Tool("config", "upload", kConfig, "--backup", "old.bin"),
      Tool("config", "upload", kConfig, "--backup", "old.bin"), Files}},
    // Its marker spoilt, the boot sum kept (+1 and -1 in one byte lane): the device still starts.
    {"FirmwareBackupDamaged",
     {Poke("state/flash.bin", "state/flash.bin", 0x43, "T"),
      Poke("state/flash.bin", "state/flash.bin", 0x103, "\x44"),
      Tool("program", kFirmware, kConfig, "--backup", "old.bin"), Files}},
    {"ConfigurationBackupDamaged",
     {Poke("state/flash.bin", "state/flash.bin", 0x10000 + 200, "\x55"),
      Tool("program", kFirmware, kConfig, "--backup", "old.bin"), Files}},
    // A firmware whose configuration address was never set says nothing against the chip; the
    // configuration itself then shows where it lies.
    {"UnsetConfigurationAddressNotVerified",
     {Poke("state/flash.bin", "state/flash.bin", 0x48, "\xFF\xFF\xFF\xFF"),
      Tool("program", kFirmware, kConfig, "--no-backup", "--no-verify")}},
    {"WrongChipWhereTheFirmwareDoesNotSay",
     {Poke("state/flash.bin", "state/flash.bin", 0x48, "\xFF\xFF\xFF\xFF"),
      Tool("--chip", "29LV800B-x16", "config", "upload", kConfig)}},
    {"NoEraseOverAConfiguration", {Tool("config", "upload", kConfig, "--no-erase", "--no-backup")}},
    {"WriteThatDidNotLand",
     {Write("set2.dat",
            "FLASH_DATA_FILE_V3\n8-bit uniform sectors\n8-bit bottom boot block\n8-bit top boot "
            "block\n16-bit uniform sectors\n16-bit bottom boot block\n16-bit top boot block\n\n"
            "0,29F040B\n2\n20\n8\nX8\nK64\n"),
      Cut(kDescription, "new.json", 100000), Set("new.json", "vendor_text", "Renamed"),
      Tool("--flash-data", "set2.dat", "config", "upload", "new.json", "--no-backup")}},
    {"RestoreSetsTheConfigurationAddress",
     {Poke(kFirmware, "old.bin", 0x48, std::string("\0\0\3\0", 4)), Tool("restore", "old.bin"),
      Tool("verify", kFirmware, "--firmware")}},
};
INSTANTIATE_TEST_SUITE_P(RefusedAndFailing, ToolJob, StartingOn(Programmed, kRefusedAndFailing),
                         CaseName);

// A Ctrl-C where nothing is written yet leaves the flash unchanged; once writing has begun the
// tool finishes; a second one quits and prints the `loric restore` that puts back every byte
// (the hash of the programmed device again); during the relocation the loader is left running
// and a plain `program` then finishes.
const Case kCtrlC[] = {
    {"WhileDownloadingConfiguration",
     {CtrlC("Downloading configuration", "config", "upload", kConfig, "--verify")}},
    {"WhileSavingFirmware",
     {CtrlC("Saving the device's firmware...@50", "program", kFirmware, kConfig)}},
    {"WhileUploadingFirmware",
     {CtrlC("Uploading firmware...@20", "program", kFirmware, kConfig, "--guid", kConfigId),
      Tool("verify", kConfig, "--address", "0x10000"), Tool("verify", kFirmware, "--firmware")}},
    {"WhileUploadingConfiguration",
     {CtrlC("Uploading configuration...@0", "config", "upload", kConfig, "--guid", kConfigId),
      Tool("verify", kConfig, "--address", "0x10000")}},
    {"TwiceThenRestored",
     {CtrlC("Uploading firmware...@20,Uploading firmware...@40", "program", kFirmware, kConfig),
      Tool("nodes"), Restore("--loader", kLoader)}},
    {"WhileRelocating",
     {CtrlC("Relocating device...", "program", kFirmware, kConfig, "--loader", kLoader),
      Tool("nodes"), Tool("program", kFirmware, kConfig), Tool("verify", kFirmware, "--firmware")}},
};
INSTANTIATE_TEST_SUITE_P(CtrlC, ToolJob, StartingOn(Programmed, kCtrlC), CaseName);

// SIGTERM and SIGHUP are taken as a Ctrl-C: before the first erase they cancel, once writing
// has begun the step runs on and the device starts again. Two signals within a moment (a process
// manager signals the process, then its group) are one; two a second apart quit at once. What
// the signal did goes into the trace log. Output into a closed pipe does not end the tool.
const Case kSignals[] = {
    {"TermWhileSavingFirmware",
     {CtrlC("TERM:Saving the device's firmware...@50", "program", kFirmware, kConfig)}},
    {"TermWhileUploadingFirmware",
     {CtrlC("TERM:Uploading firmware...@20", "program", kFirmware, kConfig),
      Tool("verify", kFirmware, "--firmware")}},
    {"HupWhileErasingConfiguration",
     {CtrlC("HUP:Erasing configuration flash...", "config", "upload", kConfig, "--guid", kConfigId),
      Tool("verify", kConfig, "--address", "0x10000")}},
    {"TermAndIntAtOnceAreOne",
     {CtrlC("TERM+INT:Uploading firmware...@20", "program", kFirmware, kConfig),
      Tool("verify", kFirmware, "--firmware")}},
    {"TwoTermsASecondApartQuit",
     {CtrlC("TERM:Uploading firmware...@20,TERM:Uploading firmware...@40", "program", kFirmware,
            kConfig),
      Tool("nodes")}},
    {"OutputToAClosedPipe", {Piped("dump", "0", "65536")}},
    {"TermWrittenToTheTraceLog",
     {CtrlC("TERM:Uploading configuration...@50", "--trace", "error", "config", "upload", kConfig),
      Has("debug.log", {"APPLOG: loric: SIGTERM came while the flash was being changed: the tool "
                        "let programming the configuration run to its end, then stopped"})}},
};
INSTANTIATE_TEST_SUITE_P(Signals, ToolJob, StartingOn(Programmed, kSignals), CaseName);

// A blank device: unknown chip, the loader missing, the loader alone. Then a blank device
// programmed, one field of its description changed, only the configuration reprogrammed with
// the old one saved first. Progress as plain lines, in order.
const Case kBlankDevice[] = {
    {"UnknownChip",
     {Blank, Tool("--chip", "29F04", "program", kFirmware, kDescription, "--loader", kLoader)}},
    {"NoFlashData", {BlankSaved, Tool("--flash-data", "none.dat", "chips")}},
    {"Chips", {BlankSaved, Tool("chips")}},
    {"OneChip", {BlankSaved, Tool("chips", "29f040b")}},
    {"ProgramWithoutLoader", {BlankSaved, Tool("program", kFirmware, kDescription)}},
    {"ConfigurationAlone", {BlankSaved, Tool("config", "upload", kDescription)}},
    {"TraceToDebugLog",
     {BlankSaved, Tool("--trace", "api,error", "nodes"),
      Has("debug.log", {"API_TRACE: Enter FindNode\r\n", "VERBOSE: "})}},
    {"LoaderAlone",
     {BlankSaved, Tool("program-loader", kLoader), Tool("nodes", "--blank"),
      Tool("read", "FLASH_UPLOAD_CTRL", "--node", "0xFFC0")}},
    {"SecondBlankDevice",
     {BlankSaved, Tool("--sim-fault", "second-device", "nodes"),
      Tool("--sim-fault", "second-device", "program", kFirmware, kDescription, "--loader",
           kLoader)}},
    {"ProgrammedThenOneFieldChanged",
     {Blank, Cut(kDescription, "device.json", 100000), Tool("nodes"),
      Tool("program", kFirmware, "device.json", "--loader", kLoader, "--verify"),
      Tool("config", "generate", "device.json", "first.bin"),
      Set("device.json", "vendor_text", "Renamed Storage Works"),
      Tool("config", "upload", "device.json", "--verify"), Same("first.bin", "@backup"),
      Tool("config", "show", "--json")}},
};
INSTANTIATE_TEST_SUITE_P(BlankDevice, ToolJob, ::testing::ValuesIn(kBlankDevice), CaseName);

// Through the simulator daemon, whose boards outlive a run of the tool: a device left in upload
// mode by an erase is told from one that runs its firmware until it is reset; two blank boards
// are listed, refused without --node, and one picked with it; the adapter's words; the
// daemon killed during an erase is a lost connection, not a failed erase, over either link.
const Case kOnDaemon[] = {
    {"UploadModeAfterErase",
     {Daemon("--instant", "--device", "state=running"), OnDaemon("erase", "--all", "--yes"), Boards,
      OnDaemon("nodes"), OnDaemon("timestamp"), OnDaemon("dump", "0", "8"),
      OnDaemon("write", "FLASH_UPLOAD_CTRL", "0x80000000"), OnDaemon("nodes")}},
    {"TwoBlankDevices",
     {Daemon("--instant", "--device", "state=blank", "--device", "state=blank"), OnDaemon("nodes"),
      OnDaemon("program", kFirmware, kDescription, "--loader", kLoader),
      OnDaemon("--node", "0xFFC1", "program-loader", kLoader, "--yes"), Boards,
      OnDaemon("--node", "0xFFC2", "program-loader", kLoader, "--yes"), Boards, OnDaemon("nodes")}},
    {"AdapterListsNoNode",
     {Daemon("--instant", "--serial", "--device", "state=blank"),
      OnDaemon("--com", "tty", "nodes")}},
    {"ConnectionLostMidErase",
     {Daemon("--erase-seconds", "5", "--device", "state=running"),
      KillDaemonAt("Erasing sector", "erase", "--sector", "1")}},
    {"AdapterLostMidErase",
     {Daemon("--erase-seconds", "5", "--serial", "--device", "state=running"),
      KillDaemonAt("Erasing sector", "--com", "tty", "erase", "--sector", "1")}},
};
INSTANTIATE_TEST_SUITE_P(OnDaemon, ToolJob, ::testing::ValuesIn(kOnDaemon), CaseName);

}  // namespace
