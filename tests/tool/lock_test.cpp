// One job per device: two commands at once against the simulator daemon, over its driver socket
// and over its serial adapter. The first holds the device for its whole run; a second one
// (another program, a read in a second shell) is refused at once, naming the first, and changes
// nothing; one that may wait queues behind it. A real SIGTERM sent twice in a moment during an
// erase counts once: the job finishes. One transcript a case: tests/data/tool/two_jobs/<case>.txt.
#include <gtest/gtest.h>

#include <filesystem>

#include "device_lock.h"
#include "errors.h"
#include "support/sim_daemon.h"

namespace fs = std::filesystem;

namespace {

using loric::test::Await;
using loric::test::kImages;
using loric::test::Spawn;
using Args = std::vector<std::string>;

const std::string kFirmware = kImages + "firmware.bin", kConfig = kImages + "config.bin";

Args DaemonArgs(bool serial) {
    Args args{"--firmware", kFirmware, "--config", kConfig, "--erase-seconds", "2"};
    if (serial) args.push_back("--serial");
    return args;
}

// A daemon with a running device whose erases take two seconds (so that a job outlasts the
// commands started beside it), on a driver socket or a serial adapter, and the runs of the tool
// against it.
struct Bench : loric::test::Scratch {
    const bool serial;
    loric::test::SimDaemon daemon;
    const std::string target = serial ? fs::canonical(dir + "/tty").string() : "";
    loric::test::Transcript t;
    std::vector<std::string> env{"LORIC_LOCK_DIR=" + dir + "/locks",
                                 "BRENNOCK_SOCKET=" + dir + "/driver.sock", "LORIC_CHIP=29F040B"};

    explicit Bench(bool overSerial)
        : Scratch("lock-test"), serial(overSerial), daemon(dir, DaemonArgs(serial)) {}

    // The tool on the daemon's device, started: `name` is how the transcript calls it.
    pid_t Start(const std::string& name, Args args) {
        if (serial) args.insert(args.begin(), {"--com", target});
        args.insert(args.begin(), "--progress=plain");
        return Spawn(dir, std::string(LORIC_BINARY_DIR) + "/tools/loric", args, name, env);
    }
    // Its end: exit code, output, error output.
    void Finish(const std::string& name, pid_t pid) {
        const int code = loric::test::ExitCode(pid);  // before the output is read
        t.Text("== " + name + "\nexit " + std::to_string(code) + "\n" + Shown(name));
    }
    void Run(const std::string& name, const Args& args) { Finish(name, Start(name, args)); }
    // Until the job holding the device has found it (its lock names the node), or shows `text`.
    void AwaitHolder(const std::string& name, const std::string& text = "") {
        EXPECT_TRUE(Await([&] {
            std::error_code none;
            for (const auto& file : fs::directory_iterator(dir + "/locks", none))
                if (loric::test::ReadFileBytes(file.path()).find("node ") != std::string::npos)
                    return text.empty() || Shown(name).find(text) != std::string::npos;
            return false;
        }));
    }
    void Check(const std::string& golden) {
        if (serial) t.Replace(target, "PORT");
        loric::test::ExpectGolden("tool/two_jobs/" + golden + ".txt",
                                  loric::test::MaskedRun(t.str(), dir));
    }
};

// Over each link: `program` holds the device; a second `program` and a `dump` in a second shell
// are refused at once; a `timestamp` that may wait runs once the program ended; the flash then
// holds what the first wrote.
void TwoJobsAtOnce(bool serial, const std::string& golden) {
    Bench bench(serial);
    const pid_t first = bench.Start("program", {"program", kFirmware, kConfig, "--no-backup"});
    bench.AwaitHolder("program");
    bench.Run("second program", {"--wait-lock", "0", "program", kFirmware, kConfig, "--no-backup"});
    bench.Run("dump", {"--wait-lock", "0", "dump", "0", "16"});
    const pid_t queued = bench.Start("queued timestamp", {"--wait-lock", "60", "timestamp"});
    bench.Finish("program", first);
    bench.Finish("queued timestamp", queued);
    bench.Run("verify", {"verify", kFirmware, "--firmware"});
    bench.Check(golden);
}

TEST(TwoJobs, OverTheDriverSocket) { TwoJobsAtOnce(false, "over_the_driver_socket"); }
TEST(TwoJobs, OverTheSerialAdapter) { TwoJobsAtOnce(true, "over_the_serial_adapter"); }

// `timeout` and process managers signal the process and then its group: two SIGTERMs in a moment,
// during the erase, are one. The job programs the firmware and configuration, then stops (21).
TEST(TwoJobs, TwoTermsInAMomentDuringTheEraseAreOne) {
    Bench bench(false);
    const pid_t job = bench.Start("program", {"program", kFirmware, kConfig, "--no-backup"});
    bench.AwaitHolder("program", "Erasing firmware flash...");
    kill(job, SIGTERM), kill(job, SIGTERM);
    bench.Finish("program", job);
    bench.Run("verify", {"verify", kFirmware, "--firmware"});
    bench.Check("two_terms_in_a_moment_during_the_erase_are_one");
}

// The lock alone: a second taker in this process is refused with 34, naming the holder, while the
// first holds it; once it is let go the file is gone and the lock is free again.
TEST(DeviceLock, RefusesASecondTakerNamingTheFirstThenIsFreeAgain) {
    const loric::test::Scratch locks("lock-unit");
    const std::string& dir = locks.dir;
    setenv("LORIC_LOCK_DIR", dir.c_str(), 1);
    const tool::LockTarget target{"serial /dev/ttyS9", "serial port /dev/ttyS9"};
    {
        auto held = tool::DeviceLock::Take(target, "loric program a b", 0, nullptr);
        held->Tell("node 0xFFC0");
        try {
            tool::DeviceLock::Take(target, "loric dump 0 16", 0, nullptr);
            ADD_FAILURE() << "taken twice";
        } catch (const tool::ToolError& error) {
            EXPECT_EQ(error.code(), 34);
            EXPECT_EQ(std::string(error.what()),
                      "the serial port /dev/ttyS9 is in use by another job: pid " +
                          std::to_string(getpid()) +
                          " (`loric program a b`), node 0xFFC0; nothing was done, so as not to "
                          "disturb it");
        }
    }
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_NE(tool::DeviceLock::Take(target, "loric dump 0 16", 0, nullptr), nullptr);
    unsetenv("LORIC_LOCK_DIR");
}

}  // namespace
