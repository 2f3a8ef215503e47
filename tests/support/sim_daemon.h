// The simulator daemon beside a test, in a scratch folder: its boards outlive each run of the
// tool, and the test drives them (plug, unplug, save) through its control socket. Also the one
// masking of what changes from run to run in the tool's output.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/golden.h"
#include "support/spawn.h"

namespace loric::test {

inline const std::string kDaemon = std::string(LORIC_BINARY_DIR) + "/sim/tq6410-sim";
inline const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";

// Waits up to 60 s for `done`; a hang beyond that fails the test that waited.
inline bool Await(const std::function<bool()>& done) {
    for (int i = 0; i < 3000; ++i) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

inline std::string ScratchFolder(const std::string& name) {
    std::string pattern = "/tmp/loric-" + name + "-XXXXXX";
    return mkdtemp(pattern.data());
}

// A scratch folder, removed with what it holds at the end; its files by name (a name starting
// with '/' is taken as it is).
struct Scratch {
    const std::string dir;
    explicit Scratch(const std::string& name) : dir(ScratchFolder(name)) {}
    ~Scratch() { std::filesystem::remove_all(dir); }
    std::string In(const std::string& name) const {
        return name[0] == '/' ? name : dir + "/" + name;
    }
    std::string File(const std::string& name) const { return ReadFileBytes(In(name)); }
    void Put(const std::string& name, const std::string& bytes) const {
        std::ofstream(In(name)) << bytes;
    }
    // What the program started here as `name` (Spawn) has written: output, then error output.
    std::string Shown(const std::string& name) const {
        return File(name + ".out") + File(name + ".err");
    }
    bool AwaitShown(const std::string& name, const std::string& text) const {
        return Await([&] { return Shown(name).find(text) != std::string::npos; });
    }
};

// The exit code of a started program once it has ended (128 + N for signal N).
inline int ExitCode(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The tool's output with the folder `dir`, the example images (unless `images` is false), the
// trees, transfer rates and times, backup stamps and process ids masked.
inline std::string MaskedRun(std::string text, const std::string& dir, bool images = true) {
    for (auto [from, to] : {std::pair{dir, "DIR"}, std::pair{images ? kImages : dir, "IMAGES/"},
                            std::pair{std::string(LORIC_BINARY_DIR), "BUILD"},
                            std::pair{std::string(LORIC_SOURCE_DIR), "SRC"}})
        for (size_t at = 0; (at = text.find(from, at)) != std::string::npos;)
            text.replace(at, from.size(), to);
    for (auto [from, to] :
         {std::pair{", [0-9.]+ [KM]?i?B/s, about [0-9]+ s left\\)", ")"},
          std::pair{"[0-9.]+ [KM]?i?B/s, [0-9.]+ s\\)", "RATE)"},
          std::pair{"-backup-((?:[0-9A-F]{16}-)?)[0-9]{8}-[0-9]{6}", "-backup-$1STAMP"},
          std::pair{"pid [0-9]+", "pid PID"}})
        text = std::regex_replace(text, std::regex(from), to);
    return text;
}

// The daemon with a 29F040B (unless `args` name another chip), its driver socket `socket`, its
// control socket control.sock and, with --serial among `args`, its serial adapter's terminal
// tty, all in `dir`; ready once its control socket answers.
struct SimDaemon {
    std::string dir;
    pid_t pid = -1;

    SimDaemon(const std::string& folder, std::vector<std::string> args,
              const std::string& socket = "driver.sock")
        : dir(folder) {
        const bool serial = std::find(args.begin(), args.end(), "--serial") != args.end();
        args.insert(args.begin(), {"--chip", "29F040B", "--socket", dir + "/" + socket, "--control",
                                   dir + "/control.sock"});
        if (serial) args.insert(args.end(), {"--serial-link", dir + "/tty"});
        pid = Spawn(dir, kDaemon, args, "daemon");
        EXPECT_TRUE(Await([&] {
            return Control("devices").find("ok\n") != std::string::npos &&
                   (!serial || std::filesystem::exists(dir + "/tty"));
        }));
    }
    ~SimDaemon() { Stop(); }
    void Stop() {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        pid = -1;
    }
    // The reply to one control command.
    std::string Control(const std::string& command) const {
        std::system(("cd '" + dir + "' && '" + kDaemon + "' --control control.sock --send '" +
                     command + "' >.control 2>&1")
                        .c_str());
        return ReadFileBytes(dir + "/.control");
    }
};

}  // namespace loric::test
