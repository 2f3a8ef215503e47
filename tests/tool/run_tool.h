// Runs the built `loric` binary as a user would, capturing its output and exit code.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tooltest {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

struct RunOptions {
    std::string cwd;                         // "" = the test's own
    std::map<std::string, std::string> env;  // added to (or replacing in) the environment
    int timeoutSeconds = 120;
};

std::string ToolPath();
Result Run(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace tooltest
