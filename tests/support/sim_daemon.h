// The tq6410-sim daemon in its own process, for tests that use the simulator as a host on the
// bench would: started with instant time on a private driver socket, stopped with SIGTERM (the
// daemon then saves its flash and exits).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tqsim/driver.h"

extern char** environ;

namespace loric::test {

class SimDaemon {
public:
    SimDaemon(const std::vector<std::string>& args, const std::string& socket) : socket_(socket) {
        std::vector<std::string> all = {std::string(LORIC_BINARY_DIR) + "/sim/tq6410-sim", "--instant",
                                        "--socket", socket};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        ::unlink(socket.c_str());
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~SimDaemon() {
        if (pid_ > 0) Stop();
    }
    SimDaemon(const SimDaemon&) = delete;
    SimDaemon& operator=(const SimDaemon&) = delete;
    // Waits until the socket accepts a connection.
    bool Ready() {
        for (int i = 0; i < 500 && pid_ > 0; ++i) {
            tqsim::DriverClient c;
            if (c.Connect(socket_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    // Waits for the daemon to end by itself, or after SIGTERM; its exit status (-1 when it did
    // not exit normally).
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Stop() {
        ::kill(pid_, SIGTERM);
        return Wait();
    }

private:
    pid_t pid_ = -1;
    std::string socket_;
};

}  // namespace loric::test
