// `loric station` against the simulator daemon: boards waiting on the shelf are plugged in and
// taken out again by the test through the daemon's control socket, as an operator would, one
// after the other. What each board got is read from the job record and the counter file; one
// transcript a case: tests/data/tool/station/<case>.txt.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <utility>

#include "support/sim_daemon.h"

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

using Args = std::vector<std::string>;
using loric::test::Await;
using loric::test::kImages;
using loric::test::Spawn;

const std::string kTool = std::string(LORIC_BINARY_DIR) + "/tools/loric";
const std::string kDescription = std::string(LORIC_SOURCE_DIR) + "/examples/config.json";

// The --device specs of boards on the daemon's shelf, unplugged.
Args Shelf(const Args& boards) {
    Args args;
    for (const auto& board : boards) args.insert(args.end(), {"--device", board + ",plugged=no"});
    return args;
}

// A bench of boards on the daemon's shelf and a station run on it.
struct Bench : loric::test::Scratch {
    loric::test::SimDaemon daemon;
    pid_t station = -1;

    explicit Bench(const Args& boards) : Scratch("station"), daemon(dir, Shelf(boards)) {}
    ~Bench() {
        if (station > 0) kill(station, SIGKILL), waitpid(station, nullptr, 0);
    }
    std::string Control(const std::string& command) const { return daemon.Control(command); }
    void Start(const Args& args, const Args& env = {}) {
        Args all{"BRENNOCK_SOCKET=" + dir + "/driver.sock", "LORIC_LOCK_DIR=" + dir + "/locks"};
        all.insert(all.end(), env.begin(), env.end());
        station = Spawn(dir, kTool, args, "station", all);
    }
    void AwaitShown(const std::string& text) const { Scratch::AwaitShown("station", text); }
    // Board `index` of the shelf is the station's `number`th: plugged in once the station waits
    // for it, taken out once it shows PASS or FAIL.
    void Serve(int index, int number) {
        const std::string n = "Board " + std::to_string(number) + ": ";
        AwaitShown(n + "waiting");
        Control("plug " + std::to_string(index));
        Await([&] {
            const std::string out = Shown("station");
            return out.find(n + "PASS") != std::string::npos ||
                   out.find(n + "FAIL") != std::string::npos;
        });
        Control("unplug " + std::to_string(index));
    }
    int Finish() { return loric::test::ExitCode(std::exchange(station, -1)); }
    // The station's exit code and its own lines (unless its output is the --json document; the
    // job's lines are program's), then each line of
    // the job record as far as it tells what happened to the board, then `more`; times masked.
    std::string Transcript(int code, const std::string& report = "station.jsonl",
                           const std::string& more = "", bool output = true) const {
        std::string text = "exit " + std::to_string(code) + "\n";
        std::istringstream out(output ? File("station.out") : "");
        for (std::string line; std::getline(out, line);)
            if (line.rfind("Board ", 0) == 0 || line.rfind("Station", 0) == 0) text += line + "\n";
        std::istringstream err(File("station.err"));
        for (std::string line; std::getline(err, line);)
            if (line.rfind("loric:", 0) == 0) text += line + "\n";
        text += "== " + report + "\n";
        std::istringstream lines(File(report));
        for (std::string line; std::getline(lines, line);) {
            const json r = json::parse(line);
            json kept = {
                {"result", r["result"]}, {"exit_code", r["exit_code"]}, {"state", r["state"]}};
            kept["result"].erase("cycle_seconds");
            for (const char* key :
                 {"eui64_before", "eui64_after", "eui64_spent", "verify", "error"})
                if (r.contains(key)) kept[key] = r[key];
            for (const auto& image : r.value("images", json::array()))
                kept["images"].push_back(image["role"]);
            text += kept.dump() + "\n";
        }
        text += more;
        text = std::regex_replace(text, std::regex("[0-9]+\\.[0-9] s\\b"), "T s");
        text = std::regex_replace(text, std::regex("\"time\": \"[^\"]+\""), "\"time\": TIME");
        return loric::test::MaskedRun(text, dir, false);
    }
};

// Ten boards, one blank and nine running, through a station file with a counter file: each gets
// the next id, the fifth fails its upload checksum (FAIL at its step, its id recorded as spent in
// the counter file and the record); nine PASS, one FAIL, exit 37.
TEST(Station, TenBoardsNinePassOneFailsItsIdSpent) {
    Args boards{"state=blank"};
    for (int i = 1; i < 10; ++i) {
        char spec[64];
        std::snprintf(spec, sizeof spec, "state=running,guid=00C0DE00000000%02X%s", i,
                      i == 4 ? ",checksum=1" : "");
        boards.push_back(spec);
    }
    Bench bench(boards);
    bench.Put("ids.json", R"({"next": "0x0000000100", "last": "0x00000001FF"})");
    bench.Put("line3.json", json{{"loader", kImages + "loader.bin"},
                                 {"firmware", kImages + "firmware.bin"},
                                 {"config", kDescription},
                                 {"chip", "29F040B"},
                                 {"guid_counter", "ids.json"},
                                 {"backup", false},
                                 {"_note", "line 3"}}
                                .dump());
    bench.Start({"--progress", "none", "station", "line3.json"});
    for (int i = 0; i < 10; ++i) bench.Serve(i, i + 1);
    bench.AwaitShown("Board 11: waiting");  // without a count, until a Ctrl-C
    kill(bench.station, SIGINT);
    const int code = bench.Finish();
    loric::test::ExpectGolden(
        "tool/station/ten_boards.txt",
        bench.Transcript(code, "station.jsonl", "== ids.json\n" + bench.File("ids.json")));
}

// --count 2 with --skip-unchanged, over a station file's own values: a running board that already
// holds the firmware and configuration but for its own id is left byte for byte as it was
// ("unchanged", its id kept); a board running its loader is programmed; the run ends after the
// second without waiting for it to leave, and --json prints the one document of the run.
TEST(Station, CountAndSkipUnchangedLeaveAMatchingBoardAsItWas) {
    Bench bench({"state=running,guid=00C0DE0000000042", "state=loader"});
    bench.Control("save 0 before.bin");
    bench.Start({"--progress", "none", "--chip", "29F040B", "--json", "station", "--loader",
                 kImages + "loader.bin", "--firmware", kImages + "firmware.bin", "--config",
                 kImages + "config.bin", "--count", "2", "--skip-unchanged", "--report",
                 "runs.jsonl", "--no-backup"});
    bench.Serve(0, 1);
    bench.Serve(1, 2);
    const int code = bench.Finish();
    bench.Control("save 0 after.bin");
    EXPECT_EQ(bench.File("before.bin"), bench.File("after.bin"));
    json document = json::parse(bench.File("station.out"));
    for (auto& board : document["result"]["boards"]) board.erase("cycle_seconds");
    loric::test::ExpectGolden(
        "tool/station/count_skip_unchanged.txt",
        bench.Transcript(code, "runs.jsonl", "== document\n" + document["result"].dump() + "\n",
                         false));
}

// The first Ctrl-C, in the middle of a board's upload, lets that board finish (PASS) and ends the
// run there: exit 0, a record line for the one board.
TEST(Station, CtrlCEndsTheRunOnceTheBoardIsDone) {
    Bench bench({"state=running"});
    bench.Start(
        {"--progress", "none", "--chip", "29F040B", "station", "--loader", kImages + "loader.bin",
         "--firmware", kImages + "firmware.bin", "--config", kDescription, "--no-backup"},
        {"LORIC_TOOL_INTERRUPT_AT=Uploading firmware@50"});
    bench.Serve(0, 1);
    const int code = bench.Finish();
    loric::test::ExpectGolden("tool/station/ctrl_c.txt", bench.Transcript(code));
}

// A station file that is not one is refused, naming what is wrong, before any device is looked
// for (the driver socket leads nowhere): bad JSON, a member no station file has, values of the
// wrong kind, no images at all, and one fixed id for every board of the run.
TEST(Station, AMalformedStationFileIsRefused) {
    Bench bench({});
    std::string text;
    for (const char* file : {R"({"firmware": "f.bin",})", R"({"firmwre": "f.bin"})",
                             R"({"count": "ten"})", R"({"count": 0})", R"({"backup": "no"})",
                             R"({"loader": ""})", R"(["loader"])", R"({"_only": "a note"})",
                             R"({"loader": "l", "firmware": "f", "config": "c", "guid": "0x1"})"}) {
        bench.Put("bad.json", file);
        bench.Start({"station", "bad.json"}, {"BRENNOCK_SOCKET=" + bench.dir + "/nowhere.sock"});
        const int code = bench.Finish();
        text += "== " + std::string(file) + "\nexit " + std::to_string(code) + "\n" +
                bench.Shown("station");
        fs::remove(bench.dir + "/station.out"), fs::remove(bench.dir + "/station.err");
    }
    EXPECT_FALSE(fs::exists(bench.dir + "/station.jsonl"));
    loric::test::ExpectGolden("tool/station/malformed.txt",
                              loric::test::MaskedRun(text, bench.dir));
}

}  // namespace
