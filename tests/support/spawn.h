// A program the test starts and lets run beside it (the simulator daemon, the tool), its output
// in files of the test's folder.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace loric::test {

// Starts `program` with `args` in `dir`, standard input /dev/null, its output in `name`.out and
// `name`.err there, with the "NAME=VALUE" settings of `env` added to its environment.
inline pid_t Spawn(const std::string& dir, const std::string& program,
                   const std::vector<std::string>& args, const std::string& name,
                   const std::vector<std::string>& env = {}) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (chdir(dir.c_str()) != 0) _exit(127);
    for (const auto& pair : env) putenv(const_cast<char*>(pair.c_str()));
    const int in = open("/dev/null", O_RDONLY),
              out = open((name + ".out").c_str(), O_WRONLY | O_CREAT, 0644),
              err = open((name + ".err").c_str(), O_WRONLY | O_CREAT, 0644);
    dup2(in, 0), dup2(out, 1), dup2(err, 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

}  // namespace loric::test
