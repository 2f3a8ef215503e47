// A scratch folder for runs of the built tool against its embedded simulated device, standard
// output and error output kept apart; shared by the tool's tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/golden.h"
#include "support/sim_daemon.h"

namespace tool_test {

namespace fs = std::filesystem;
using nlohmann::json;

inline const std::string kTool = std::string(LORIC_BINARY_DIR) + "/tools/loric";
using loric::test::kImages;
inline const std::string kDescription = std::string(LORIC_SOURCE_DIR) + "/examples/config.json";

inline std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

struct Outcome {
    int code;
    std::string out, err;
};

// Runs the shell `command` in `dir`, standard input /dev/null. A hung run is ended by the test's
// own time-out.
inline Outcome Run(const std::string& dir, const std::string& command) {
    const int status = std::system(
        ("cd " + Quoted(dir) + " && (" + command + ") </dev/null >.out 2>.err").c_str());
    Outcome run{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                loric::test::ReadFileBytes(dir + "/.out"),
                loric::test::ReadFileBytes(dir + "/.err")};
    fs::remove(dir + "/.out"), fs::remove(dir + "/.err");
    return run;
}

inline std::vector<std::string> With(std::vector<std::string> args,
                                     const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A scratch folder; runs of the tool in it, standard output and error output kept apart.
struct Folder : loric::test::Scratch {
    Folder() : Scratch("tool") {}

    // The shell command that runs the tool on the folder's simulated device (run in the folder).
    // Without the simulator the driver socket points nowhere.
    std::string Command(const std::vector<std::string>& args, bool sim = true) const {
        std::string command = "BRENNOCK_SOCKET=" + Quoted(dir + "/no-driver.sock") +
                              " LORIC_LINK=socket " + Quoted(kTool);
        if (sim) command += " --sim --state " + Quoted(dir + "/state");
        for (const auto& arg : args) command += " " + Quoted(arg);
        return command + " </dev/null";
    }
    Outcome Tool(const std::vector<std::string>& args, bool sim = true) const {
        return Run(dir, Command(args, sim));
    }
    // A run under --json: its standard output is one JSON document and nothing else.
    json Document(const std::vector<std::string>& args, bool sim = true) const {
        std::vector<std::string> all = {"--json"};
        all.insert(all.end(), args.begin(), args.end());
        const Outcome run = Tool(all, sim);
        try {
            json document = json::parse(run.out);
            EXPECT_EQ(document.at("exit_code"), run.code) << run.out;
            return document;
        } catch (const std::exception& error) {
            ADD_FAILURE() << "not one JSON document: " << error.what() << "\n" << run.out;
            return json::object();
        }
    }
    std::vector<json> Lines(const std::string& name) const {
        std::vector<json> lines;
        std::istringstream text(File(name));
        for (std::string line; std::getline(text, line);) {
            try {
                lines.push_back(json::parse(line));
            } catch (const std::exception&) {
                ADD_FAILURE() << "a broken line in the job record: " << line;
            }
        }
        return lines;
    }
};

}  // namespace tool_test
