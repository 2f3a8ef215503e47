// One board among several on the simulator daemon's bus: `nodes` lists them all; `--device` (the
// EUI-64 or a unique prefix) or `--node` (a blank board) chooses one; a job programs exactly that
// one, through bus resets that renumber the nodes (a board plugged mid-run, the job's own
// restart), over the driver socket and over the serial adapter; every other board's flash is
// the same byte for byte afterwards. Jobs that cannot be aimed at one board are refused before
// anything changes. One transcript a case: tests/data/tool/select/<case>.txt.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

#include "support/golden.h"

namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

const std::string kImages = std::string(LORIC_SOURCE_DIR) + "/sim/images/";
const std::string kFirmware = kImages + "firmware.bin", kLoader = kImages + "loader.bin";
const std::string kDescription = std::string(LORIC_SOURCE_DIR) + "/examples/config.json";
const std::string kDaemon = std::string(LORIC_BINARY_DIR) + "/sim/tq6410-sim";
const std::string kTool = std::string(LORIC_BINARY_DIR) + "/tools/loric";

// The daemon with `boards` (its --device specs) and the runs of the tool against it, each with
// the flash of every board compared before and after.
struct Bench {
    const std::string dir = [] {
        char pattern[] = "/tmp/loric-select-XXXXXX";
        return std::string(mkdtemp(pattern));
    }();
    bool serial;
    pid_t daemon = -1;
    loric::test::Transcript t;

    Bench(bool overSerial, Args args) : serial(overSerial) {
        args.insert(args.begin(), {kDaemon, "--chip", "29F040B", "--socket", dir + "/d.sock",
                                   "--control", dir + "/c.sock"});
        if (serial) args.insert(args.end(), {"--serial-link", dir + "/tty"});
        if ((daemon = fork()) == 0) {
            freopen("/dev/null", "w", stdout);
            std::vector<char*> argv;
            for (auto& arg : args) argv.push_back(arg.data());
            argv.push_back(nullptr);
            execv(kDaemon.c_str(), argv.data());
            _exit(127);
        }
        Await([&] {
            return Control("devices").find("ok\n") != std::string::npos &&
                   (!serial || fs::exists(dir + "/tty"));
        });
    }
    // Waits up to 30 s for `done`.
    static void Await(const std::function<bool()>& done) {
        for (int i = 0; i < 1500 && !done(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ~Bench() {
        kill(daemon, SIGKILL), waitpid(daemon, nullptr, 0);
        fs::remove_all(dir);
    }
    std::string File(const std::string& name) const {
        return loric::test::ReadFileBytes(dir + "/" + name);
    }
    std::string Shell(const std::string& command) {
        std::system(
            ("cd " + dir + " && " + command + " </dev/null >.out 2>&1; echo $? >.rc").c_str());
        return "exit " + File(".rc") + File(".out");
    }
    std::string Control(const std::string& command) {
        return File((Shell(kDaemon + " --control c.sock --send '" + command + "'"), ".out"));
    }
    // The control's reply, into the transcript.
    void Send(const std::string& command) { t.Text("== @" + command + "\n" + Control(command)); }
    std::vector<std::string> Flashes() {
        std::vector<std::string> flashes;
        for (int i = 0; Control("save " + std::to_string(i) + " " + dir + "/f.bin") == "ok\n"; ++i)
            flashes.push_back(File("f.bin"));
        return flashes;
    }
    std::string Command(Args args) const {
        std::string line = "BRENNOCK_SOCKET=d.sock " + kTool + " --chip 29F040B --progress plain";
        if (serial) line += " --com tty";
        for (const auto& arg : args) line += " '" + arg + "'";
        return line;
    }
    // A run of the tool; with `during`, a control command sent once its output shows `at`.
    void Run(const Args& args, const std::string& at = "", const std::string& during = "") {
        const std::vector<std::string> before = Flashes();
        std::string ran;
        for (const auto& arg : args) ran += " " + arg;
        t.Text("==" + ran + "\n");
        fs::remove(dir + "/.jobrc");
        std::system(
            ("cd " + dir + " && (" + Command(args) + " </dev/null >.job 2>&1; echo $? >.jobrc) &")
                .c_str());
        if (!at.empty()) Await([&] { return File(".job").find(at) != std::string::npos; });
        if (!at.empty()) Send(during);
        Await([&] { return File(".jobrc").find('\n') != std::string::npos; });
        t.Text("exit " + File(".jobrc") + File(".job"));
        const std::vector<std::string> after = Flashes();
        for (size_t i = 0; i < after.size(); ++i)
            t.Add("board %zu %s\n", i,
                  i >= before.size()      ? "new"
                  : before[i] == after[i] ? "unchanged"
                                          : "changed");
    }
    void Check(const std::string& golden) {
        t.Replace(dir, "DIR");
        t.Replace(kImages, "IMAGES/");
        t.Replace(LORIC_SOURCE_DIR, "SRC");
        std::string text =
            std::regex_replace(t.str(), std::regex("[0-9.]+ [KM]?i?B/s, [0-9.]+ s\\)"), "RATE)");
        text = std::regex_replace(text, std::regex(", [0-9.]+ [KM]?i?B/s, about [0-9]+ s left\\)"),
                                  ")");
        text = std::regex_replace(text, std::regex("-[0-9]{8}-[0-9]{6}\\.bin"), "-STAMP.bin");
        loric::test::ExpectGolden("tool/select/" + golden + ".txt", text);
    }
};

const Args kThreeBoards = {"--device", "state=running,guid=00C0DE0000000001",
                           "--device", "state=running,guid=00C0DE0000000002",
                           "--device", "state=blank",
                           "--device", "state=running,guid=00C0DF0000000003"};

Args With(Args args, const Args& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

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
