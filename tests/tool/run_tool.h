// Runs the built `loric` binary as a user would (stdin /dev/null), capturing its output and
// exit code. A hung run is ended by the test's own time-out.
#pragma once

#include <sys/wait.h>

#include <filesystem>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/golden.h"

namespace tooltest {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string cwd;                         // "" = the test's own
    std::map<std::string, std::string> env;  // added to (or replacing in) the environment
};

inline std::string NewFolder() {
    char pattern[] = "/tmp/loric-tool-XXXXXX";
    return mkdtemp(pattern);
}

inline std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline Result RunTool(const std::vector<std::string>& args, const RunOptions& options = {}) {
    const std::string scratch = NewFolder();
    std::string command = options.cwd.empty() ? "" : "cd " + Quoted(options.cwd) + " &&";
    for (const auto& [name, value] : options.env) command += " " + name + "=" + Quoted(value);
    command += " " + Quoted(std::string(LORIC_BINARY_DIR) + "/tools/loric");
    for (const auto& arg : args) command += " " + Quoted(arg);
    const int status = std::system((command + " </dev/null >" + scratch + "/out 2>" + scratch + "/err").c_str());
    Result result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = loric::test::ReadFileBytes(scratch + "/out");
    result.err = loric::test::ReadFileBytes(scratch + "/err");
    std::filesystem::remove_all(scratch);
    return result;
}

const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";
const std::string kLoader = kImages + "loader.bin", kFirmware = kImages + "firmware.bin", kConfig = kImages + "config.bin";
const std::string kDescription = std::string(LORIC_SOURCE_DIR) + "/examples/config.json";

inline bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Each test in a fresh folder, with the state of the tool's embedded simulated device in it.
class SimTool : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove_all(dir_); }
    static void TearDownTestSuite() {
        if (!programmed_.empty()) std::filesystem::remove_all(programmed_);
        programmed_.clear();
    }
    Result Loric(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), {"--sim", "--state", dir_ + "/state", "--progress", "plain"});
        return RunTool(args, {dir_, env});
    }
    std::string In(const std::string& name) const { return dir_ + "/" + name; }
    std::string Flash() const { return loric::test::ReadFileBytes(In("state/flash.bin")); }
    // A device running the example firmware with the example description's configuration:
    // programmed from blank once per test program, copied for each use.
    void StartProgrammed() {
        if (programmed_.empty()) {
            programmed_ = NewFolder();
            auto result = RunTool({"--sim", "--state", programmed_ + "/state", "--progress", "none", "program", kFirmware,
                                   kDescription, "--loader", kLoader},
                                  {programmed_, {}});
            ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
        }
        std::filesystem::remove_all(In("state"));
        std::filesystem::copy(programmed_ + "/state", In("state"), std::filesystem::copy_options::recursive);
    }
    static inline std::string programmed_;
    const std::string dir_ = NewFolder();
};

}  // namespace tooltest
