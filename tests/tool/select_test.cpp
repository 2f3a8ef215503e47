// One board among several on the simulator daemon's bus: `nodes` lists them all; `--device` (the
// EUI-64 or a unique prefix) or `--node` (a blank board) chooses one; a job programs exactly that
// one, through bus resets that renumber the nodes (a board plugged mid-run, the job's own
// restart), over the driver socket and over the serial adapter; every other board's flash is
// the same byte for byte afterwards. Jobs that cannot be aimed at one board are refused before
// anything changes. One transcript a case: tests/data/tool/select/<case>.txt.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "support/sim_daemon.h"
#include "tool_folder.h"

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;
using loric::test::kImages;
using tool_test::kDescription;
using tool_test::With;

const std::string kFirmware = kImages + "firmware.bin", kLoader = kImages + "loader.bin";

// The daemon with `boards` (its --device specs) and the runs of the tool against it, each with
// the flash of every board compared before and after.
struct Bench : loric::test::Scratch {
    bool serial;
    loric::test::SimDaemon daemon;
    loric::test::Transcript t;

    Bench(bool overSerial, const Args& args)
        : Scratch("select"), serial(overSerial), daemon(dir, args, "d.sock") {}
    // The control's reply, into the transcript.
    void Send(const std::string& command) {
        t.Text("== @" + command + "\n" + daemon.Control(command));
    }
    std::vector<std::string> Flashes() {
        std::vector<std::string> flashes;
        for (int i = 0;
             daemon.Control("save " + std::to_string(i) + " " + dir + "/f.bin") == "ok\n"; ++i)
            flashes.push_back(File("f.bin"));
        return flashes;
    }
    // A run of the tool; with `during`, a control command sent once its output shows `at`.
    void Run(const Args& args, const std::string& at = "", const std::string& during = "") {
        const std::vector<std::string> before = Flashes();
        std::string line = "BRENNOCK_SOCKET=d.sock " + std::string(LORIC_BINARY_DIR) +
                           "/tools/loric --chip 29F040B --progress plain" +
                           (serial ? " --com tty" : ""),
                    ran;
        for (const auto& arg : args) line += " '" + arg + "'", ran += " " + arg;
        t.Text("==" + ran + "\n");
        fs::remove(dir + "/job.out");
        const pid_t job = loric::test::Spawn(dir, "/bin/sh", {"-c", line + " 2>&1"}, "job");
        if (!at.empty()) AwaitShown("job", at), Send(during);
        const int code = loric::test::ExitCode(job);
        t.Text("exit " + std::to_string(code) + "\n" + File("job.out"));
        const std::vector<std::string> after = Flashes();
        for (size_t i = 0; i < after.size(); ++i)
            t.Add("board %zu %s\n", i,
                  i >= before.size()      ? "new"
                  : before[i] == after[i] ? "unchanged"
                                          : "changed");
    }
    void Check(const std::string& golden) {
        loric::test::ExpectGolden("tool/select/" + golden + ".txt",
                                  loric::test::MaskedRun(t.str(), dir));
    }
};

const Args kThreeBoards = {"--device", "state=running,guid=00C0DE0000000001",
                           "--device", "state=running,guid=00C0DE0000000002",
                           "--device", "state=blank",
                           "--device", "state=running,guid=00C0DF0000000003"};

// Over the driver socket, erases taking a second: the bus listed (text and JSON), a prefix two
// boards share refused; board 0 leaves and comes back (every node moves), then board 1 is
// programmed by its id while a fifth board is plugged in mid-run, and found again after its
// restart at its new node, keeping its id. Only its flash changed; its backups, put back by its id,
// leave it as it was at the start.
TEST(Select, ProgramsTheChosenBoardOverTheDriverSocket) {
    Bench bench(false, With(kThreeBoards, {"--erase-seconds", "1"}));
    const std::string start = bench.Flashes()[1];
    bench.Run({"nodes"});
    bench.Run({"--json", "nodes"});
    bench.Run({"--device", "00c0de", "timestamp"});
    bench.Send("unplug 0"), bench.Send("plug 0");
    bench.Run({"--device", "0x00C0DE00-00000002", "program", kFirmware, kDescription},
              "Erasing firmware flash", "add state=running,guid=00C0DE0000000005");
    Args restore = {"--device", "00C0DE0000000002", "restore"};
    for (const auto& file : fs::directory_iterator(bench.dir))
        if (file.path().filename().string().find("-backup-") != std::string::npos)
            restore.push_back(file.path().filename());
    std::sort(restore.begin() + 3, restore.end());
    bench.Run(restore);
    bench.t.Add("board 1 as at the start: %s\n", bench.Flashes()[1] == start ? "yes" : "no");
    bench.Send("devices");
    bench.Check("programs_the_chosen_board_over_the_driver_socket");
}

// Over the serial adapter, two boards: board 0 restarts onto the node the adapter had when the
// job opened the library; the job still reads back its own board, not the one at 0xFFC1.
TEST(Select, ProgramsTheChosenBoardOverTheSerialAdapter) {
    Bench bench(true, {"--instant", "--serial", "--device", "state=running,guid=00C0DE0000000001",
                       "--device", "state=running,guid=00C0DE0000000002"});
    bench.Run({"nodes"});
    bench.Run({"--device", "00C0DE0000000001", "program", kFirmware, kDescription, "--no-backup"});
    bench.Send("devices");
    bench.Check("programs_the_chosen_board_over_the_serial_adapter");
}

// What cannot be aimed at one board is refused with nothing changed: no choice, a choice that
// names nothing or is no id, both choices, the loader into a running board, a blank board that
// is not last, an upload without its erase. The blank board, plugged in again (so last), then
// gets its loader, firmware and configuration by --node.
TEST(Select, RefusesWhatCannotBeAimedThenProgramsTheBlankBoardByNode) {
    Bench bench(false, With(kThreeBoards, {"--instant"}));
    bench.Run({"timestamp"});
    bench.Run({"--device", "00C0DA", "timestamp"});
    bench.Run({"--device", "00C0DE0000000001FF", "timestamp"});
    bench.Run({"--device", "00C0DF", "--node", "0xFFC3", "timestamp"});
    bench.Run({"--device", "00C0DF", "program", kFirmware, kDescription, "--loader", kLoader});
    bench.Run({"--node", "0xFFC3", "program", kFirmware, kDescription, "--loader", kLoader});
    bench.Run({"--device", "00C0DF", "config", "upload", kDescription, "--no-erase"});
    bench.Send("unplug 2"), bench.Send("plug 2");
    bench.Run({"--node", "0xFFC4", "program", kFirmware, kDescription, "--loader", kLoader});
    bench.Send("devices");
    bench.Check("refuses_what_cannot_be_aimed_then_programs_the_blank_board_by_node");
}

}  // namespace
