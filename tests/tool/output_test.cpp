// Output for scripts: every command's --json document against the embedded simulated device
// (tests/data/tool/output/<command>.json, times masked), the error documents, the job record
// that --report appends (whole lines, also when tools append at once or one is killed) and the
// trace that --log keeps.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "loric.h"
#include "record.h"
#include "tool_folder.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using tool_test::Folder;
using tool_test::kDescription;
using tool_test::kImages;
using tool_test::Outcome;
using tool_test::With;
using Args = std::vector<std::string>;

// What changes from run to run: the folder, the build and source trees, step durations, backup
// stamps and the digests of files the run itself wrote into the folder.
json Masked(const json& value, const std::string& dir) {
    if (value.is_string()) return loric::test::MaskedRun(value, dir, false);
    json out = value;
    for (auto it = out.begin(); value.is_structured() && it != out.end(); ++it)
        *it = value.is_object() && it.key() == "seconds" ? json("SECONDS") : Masked(*it, dir);
    return out;
}

void ExpectDocument(const std::string& name, const json& document, const Folder& folder) {
    SCOPED_TRACE(name);
    loric::test::ExpectGolden("tool/output/" + name + ".json",
                              Masked(document, folder.dir).dump(2) + "\n");
}

// Every command, one after another on one simulated device, as a script would run them: each
// prints one document, with the command's results and what the run knows of the device.
TEST(JsonOutput, EveryCommandPrintsItsDocument) {
    Folder f;
    const std::string firmware = kImages + "firmware.bin", loader = kImages + "loader.bin";
    ExpectDocument("program", f.Document({"program", firmware, kDescription, "--loader", loader}),
                   f);
    ExpectDocument("nodes", f.Document({"nodes"}), f);
    ExpectDocument("read", f.Document({"read", "CONFIG_ROM", "-n", "2"}), f);
    ExpectDocument("write", f.Document({"write", "FLASH_READ_CTRL", "0x10000"}), f);
    ExpectDocument("chips", f.Document({"chips"}, false), f);
    ExpectDocument("chips_one", f.Document({"chips", "29F040B"}, false), f);
    ExpectDocument("timestamp", f.Document({"timestamp"}), f);
    ExpectDocument("dump", f.Document({"dump", "0x10000", "20"}), f);
    ExpectDocument("dump_to_file", f.Document({"dump", "0", "40000", "-o", "fw.bin"}), f);
    ExpectDocument("verify", f.Document({"verify", "fw.bin"}), f);
    ExpectDocument("config_generate", f.Document({"config", "generate", kDescription, "c.bin"}), f);
    ExpectDocument("config_import", f.Document({"config", "import", "c.bin"}), f);
    ExpectDocument("config_show", f.Document({"config", "show"}), f);
    ExpectDocument("config_show_file", f.Document({"config", "show", "c.bin", "--json"}), f);
    ExpectDocument("config_download", f.Document({"config", "download", "d.bin"}), f);
    ExpectDocument("config_upload",
                   f.Document({"config", "upload", "c.bin", "--backup", "before.bin"}), f);
    ExpectDocument("restore", f.Document({"restore", "fw.bin", "before.bin", "--no-verify"}), f);
    ExpectDocument("erase", f.Document({"erase", "--sector", "1"}), f);
    ExpectDocument("program_loader",
                   f.Document({"program-loader", loader, "--yes", "--erase-delay", "0"}), f);
}

// A failure gives its code, message and hint, and the results it had: verify says where the
// flash first differs.
TEST(JsonOutput, AFailedReadBackSaysWhereTheFlashDiffers) {
    Folder f;
    ASSERT_EQ(f.Tool({"program", kImages + "firmware.bin", kDescription, "--loader",
                      kImages + "loader.bin"})
                  .code,
              0);
    ExpectDocument("verify_differs",
                   f.Document({"verify", kImages + "loader.bin", "--address", "0x9000"}), f);
}

TEST(JsonOutput, ABlankDeviceRefusesWithAnErrorDocument) {
    Folder f;
    ExpectDocument("timestamp_blank", f.Document({"timestamp"}), f);
}

// A wrong command line still answers with a document when --json came before the command.
TEST(JsonOutput, AWrongCommandLineGivesAnErrorDocument) {
    Folder f;
    ExpectDocument("usage_missing_argument", f.Document({"read"}), f);
    ExpectDocument("usage_unknown_command", f.Document({"bogus"}), f);
}

// Without --json a command's own --json keeps its meaning: the description, on standard output.
TEST(JsonOutput, ConfigShowsOwnFlagStillPrintsTheDescription) {
    Folder f;
    ASSERT_EQ(f.Tool({"config", "generate", kDescription, "c.bin"}).code, 0);
    const Outcome run = f.Tool({"config", "show", "c.bin", "--json"}, false);
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, f.Tool({"config", "import", "c.bin"}, false).out);
    EXPECT_FALSE(json::parse(run.out).contains("command"));
}

// The job record: a line per job on a device, with its times, versions, host, link, device,
// images and outcome; a job that only reads files adds none.
TEST(JobRecord, ALinePerJobOnADeviceWithWhatItDid) {
    Folder f;
    ASSERT_EQ(f.Tool({"--report", "r.jsonl", "program", kImages + "firmware.bin", kDescription,
                      "--loader", kImages + "loader.bin", "--no-verify"})
                  .code,
              0);
    ASSERT_EQ(f.Tool({"--report", "r.jsonl", "config", "generate", kDescription, "c.bin"}).code, 0);
    ASSERT_EQ(f.Tool({"--report", "r.jsonl", "dump", "0", "4", "-o", "x.bin"}).code, 0);
    ASSERT_EQ(f.Tool({"--report", "r.jsonl", "timestamp", "--node", "0xFFC5"}).code, 11);
    ASSERT_EQ(f.Tool({"--report", "r.jsonl", "program", "missing.bin", kDescription}).code, 6);
    std::vector<json> lines = f.Lines("r.jsonl");
    ASSERT_EQ(lines.size(), 4u);
    // A job that changes the flash is recorded even when it fails before reaching the device.
    EXPECT_EQ(lines[3].at("command"), "program");
    EXPECT_EQ(lines[3].at("exit_code"), 6);
    EXPECT_FALSE(lines[3].contains("link"));
    lines.pop_back();
    std::regex time("20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3}Z");
    for (const json& line : lines) {
        EXPECT_TRUE(std::regex_match(line.at("start").get<std::string>(), time)) << line;
        EXPECT_LE(line.at("start"), line.at("end")) << line;
        EXPECT_EQ(line.at("tool_version"), "1.0");
        EXPECT_EQ(line.at("library_version"), "1.0.0");
        EXPECT_FALSE(line.at("host").get<std::string>().empty());
        EXPECT_EQ(line.at("link"), "sim");
        EXPECT_EQ(line.at("port"), f.dir + "/state");
    }
    EXPECT_EQ(lines[0].at("command"), "program");
    EXPECT_EQ(lines[0].at("exit_code"), 0);
    EXPECT_EQ(lines[0].at("verify"), "skipped");
    EXPECT_EQ(lines[1].at("command"), "dump");
    EXPECT_EQ(lines[1].at("result").at("sha256"), tool::FileSha256(f.dir + "/x.bin"));
    EXPECT_EQ(lines[2].at("command"), "timestamp");
    EXPECT_EQ(lines[2].at("exit_code"), 11);
    EXPECT_FALSE(lines[2].at("error").at("message").get<std::string>().empty());
}

// Tools appending to one job record at once (each on its own device) interleave by whole lines,
// lines longer than a pipe's atomic write among them; one killed mid-job leaves no part of one.
TEST(JobRecord, ToolsAppendingAtOnceOrKilledLeaveWholeLines) {
    Folder f;
    constexpr int kTools = 6, kRounds = 3;
    ASSERT_EQ(f.Tool({"program", kImages + "firmware.bin", kDescription, "--loader",
                      kImages + "loader.bin", "--no-verify"})
                  .code,
              0);
    for (int i = 0; i < kTools; ++i)
        fs::copy(f.dir + "/state", f.dir + "/s" + std::to_string(i), fs::copy_options::recursive);
    fs::rename(f.dir + "/state", f.dir + "/k");
    std::string script;
    for (int i = 0; i < kTools; ++i) {
        const Args sim = {"--sim", "--state", "s" + std::to_string(i), "--report", "r.jsonl"};
        script += "(for r in 1 2 3; do " + f.Command(With(sim, {"chips", "--json"}), false) +
                  " >/dev/null 2>&1; " +
                  f.Command(With(sim, {"read", "CONFIG_ROM", "-n", "256"}), false) +
                  " >/dev/null 2>&1; done) & ";
    }
    // And one program that is killed while it erases and uploads.
    script +=
        f.Command({"--sim", "--state", "k", "--report", "r.jsonl", "program",
                   kImages + "firmware.bin", kDescription, "--loader", kImages + "loader.bin"},
                  false) +
        " >/dev/null 2>&1 & k=$!; sleep 1; kill -KILL $k; wait";
    ASSERT_EQ(tool_test::Run(f.dir, script).code, 0);
    const std::vector<json> lines = f.Lines("r.jsonl");
    EXPECT_EQ(lines.size(), size_t{kTools * kRounds});
    for (const json& line : lines) {
        EXPECT_EQ(line.value("command", ""), "read") << line;
        EXPECT_EQ(line.value("result", json::object()).value("quadlets", json::array()).size(),
                  256u)
            << line;
    }
}

// --log FILE: each command's trace under its header line; a run whose library never opened
// adds its header alone, not the trace an earlier run left in debug.log.
TEST(TraceLog, EachCommandsTraceUnderItsHeader) {
    Folder f;
    ASSERT_EQ(f.Tool({"--log", "t.log", "nodes"}).code, 0);
    ASSERT_EQ(f.Tool({"--log", "t.log", "--trace", "all", "chips"}).code, 0);
    ASSERT_EQ(f.Tool({"--log", "t.log", "timestamp"}, false).code, LORIC_ERR_OPEN_DRIVER);
    std::string log = f.File("t.log");
    log = std::regex_replace(log, std::regex("20[0-9-]{8}T[0-9:.]{12}Z"), "TIME");
    for (size_t at; (at = log.find(f.dir)) != std::string::npos;)
        log.replace(at, f.dir.size(), "DIR");
    loric::test::ExpectGolden("tool/output/trace_log.txt", log);
}

}  // namespace
