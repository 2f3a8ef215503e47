// `loric station`: a production run. One board after another: wait for it, program what it needs
// (the loader when it is blank, then the firmware and configuration, as `program` does),
// read it back, show PASS or FAIL, wait until it leaves the bus, take the next. Each board is one
// line of the job record. The first Ctrl-C ends the run once the board on the station is done.
#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "checks.h"
#include "commands.h"
#include "device.h"
#include "interrupt.h"
#include "read_window.h"
#include "record.h"
#include "station_screen.h"
#include "term.h"

namespace tool {
namespace {

namespace fs = std::filesystem;

// How often the station looks at the bus while it waits for a board to come or go.
constexpr std::chrono::milliseconds kPoll{50};

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

ToolError StationFileError(const std::string& path, const std::string& what) {
    return ToolError(LORIC_ERR_INVALID_PARAMETER, "the station file " + path + " " + what,
                     "README's \"Production runs\" names every member of a station file.");
}

// A station file's members over `options`, paths taken from the station file's folder; the
// command line's own values win. Its job record: `report`.
void ReadStationFile(StationOptions& options, std::string& chip, std::string& report) {
    const std::string& path = options.file;
    const std::vector<uint8_t> bytes = ReadInputFile(path, "station file");
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(bytes.begin(), bytes.end());
    } catch (const nlohmann::json::exception& error) {
        throw StationFileError(path, std::string("is not valid JSON: ") + error.what());
    }
    if (!doc.is_object()) throw StationFileError(path, "is not a JSON object");
    const fs::path folder = fs::path(path).parent_path();
    auto text = [&](const std::string& key, const nlohmann::json& value) {
        if (!value.is_string() || value.get<std::string>().empty())
            throw StationFileError(
                path, "gives \"" + key + "\" as " + value.dump() + ": it takes a non-empty text");
        return value.get<std::string>();
    };
    auto file = [&](const std::string& key, const nlohmann::json& value, std::string& into) {
        const std::string name = text(key, value);
        if (into.empty()) into = (folder / name).lexically_normal().string();
    };
    for (const auto& [key, value] : doc.items()) {
        if (key.rfind('_', 0) == 0) continue;  // a note
        if (key == "loader")
            file(key, value, options.loader);
        else if (key == "firmware")
            file(key, value, options.firmware);
        else if (key == "config")
            file(key, value, options.config);
        else if (key == "report")
            file(key, value, report);
        else if (key == "guid_counter")
            file(key, value, options.identity.counter);
        else if (key == "guid_list")
            file(key, value, options.identity.list);
        else if (key == "guid") {
            if (options.identity.guid.empty()) options.identity.guid = text(key, value);
        } else if (key == "chip") {
            if (chip.empty()) chip = text(key, value);
        } else if (key == "count") {
            if (!value.is_number_unsigned() || value.get<uint64_t>() < 1 ||
                value.get<uint64_t>() > 1000000)
                throw StationFileError(path, "gives \"count\" as " + value.dump() +
                                                 ": it takes a whole number from 1 to 1000000");
            if (options.count < 0) options.count = value.get<int>();
        } else if (key == "skip_unchanged" || key == "backup") {
            if (!value.is_boolean())
                throw StationFileError(
                    path, "gives \"" + key + "\" as " + value.dump() + ": it takes true or false");
            if (key == "skip_unchanged")
                options.skipUnchanged |= value.get<bool>();
            else
                options.noBackup |= !value.get<bool>();
        } else {
            throw StationFileError(path, "has a member \"" + key + "\" that no station file has");
        }
    }
}

// The device on the bus now, if any. A link that no longer answers ends the run.
std::optional<DeviceLocation> BoardOnBus() {
    uint16_t node = 0;
    uint32_t blank = 0;
    const uint32_t status = FindNode(&node, &blank);
    if (status == 0) return DescribeNode(node, blank != 0);
    uint32_t count = 0;
    NODE_INFO records[16] = {};
    const uint32_t listed = GetNodeInfo(&count, records, sizeof records);
    if (listed != 0) throw LibraryFailure(listed, "looking at the bus for a board");
    if (status != LORIC_ERR_DEVICE_NOT_FOUND)
        throw LibraryFailure(status, "looking at the bus for a board");
    return std::nullopt;
}

// The EUI-64 of the running device at `node`, from the driver's node list ("" for none).
std::string BoardId(uint16_t node) {
    uint32_t count = 0;
    NODE_INFO records[16] = {};
    if (GetNodeInfo(&count, records, sizeof records) != 0) return {};
    for (uint32_t i = 0; i < count && i < 16; ++i) {
        const uint16_t id =
            static_cast<uint16_t>((records[i].busNumber << 6) | (records[i].nodeNumber & 0x3F));
        if (id == node)
            return Eui64Text((static_cast<uint64_t>(records[i].idHigh) << 32) | records[i].idLow);
    }
    return {};
}

// Whether a running board already holds the firmware and a configuration that is the one to
// program but for the board's own id (read back and compared). The loader needs no look of its
// own: the firmware, once programmed, starts the board from sector 0 in its place.
bool Unchanged(Job& job, const ProgramInputs& inputs) {
    if (job.FindDevice().state != DeviceState::Firmware) return false;
    const FLASH_DEVICE& chip = job.chip();
    const std::vector<uint8_t> firmware =
        ProgrammedFirmwareImage(inputs.firmware, chip.configByteAddress);
    const std::vector<uint8_t> flash =
        ReadFlash(job.node(), 0, static_cast<uint32_t>(firmware.size()), &job.progress(),
                  "Comparing the firmware...");
    if (flash != firmware) return false;
    const std::vector<uint8_t> config = ReadFileBytes(inputs.configImage);
    const std::vector<uint8_t> held =
        ReadFlash(job.node(), chip.configByteAddress, static_cast<uint32_t>(config.size()),
                  &job.progress(), "Comparing the configuration...");
    if (held == config) return true;
    TempDir temp;
    WriteFileBytes(temp.file("held.bin"), held);
    nlohmann::ordered_json want, have;
    try {
        want = DescribeConfigImage(inputs.configImage);
        have = DescribeConfigImage(temp.file("held.bin"));
    } catch (const ToolError&) {
        return false;  // what the board holds does not decode: it is programmed
    }
    for (const char* id : {"node_vendor_id", "chip_id_hi", "chip_id_lo"}) {
        want.erase(id);
        have.erase(id);
    }
    return want == have;
}

// One board, found on the bus: its outcome, its record appended to the job record.
BoardOutcome RunBoard(Job& job, int board, const StationOptions& options,
                      const ProgramInputs& blankInputs, const ProgramInputs& inputs,
                      const std::string& report) {
    BoardOutcome outcome;
    outcome.board = board;
    const Clock::time_point start = Clock::now();
    job.NextRecord("station");
    int& code = outcome.code;
    std::string message;
    try {
        const DeviceState state = job.FindDevice().state;
        if (state == DeviceState::Firmware) Record().SetIdentityBefore(BoardId(job.node()));
        if (options.skipUnchanged && Unchanged(job, inputs)) {
            outcome.unchanged = true;
            Record().SetVerify("passed");
            job.Say("The board already holds this firmware and configuration: left as it is.");
        } else {
            ProgramOptions program;
            program.firmware = options.firmware;
            program.config = options.config;
            program.noBackup = options.noBackup;
            program.identity = options.identity;
            const bool blank = state == DeviceState::FlashPort;
            if (blank) program.loader = options.loader;
            // Its id is taken from the source once the board is found; a board that fails
            // leaves it recorded as spent.
            BoardIdentity identity(options.identity);
            ProgramDevice(job, program, blank ? blankInputs : inputs, identity);
        }
        outcome.passed = true;
    } catch (const ToolError& error) {
        code = error.code();
        message = error.what();
        outcome.hint = error.hint();
    } catch (const std::exception& error) {
        code = kExitUnexpected;  // still the board's failure, with its line in the record
        message = error.what();
    }
    job.EndProgress();
    nlohmann::json& doc = Record().doc();
    // A board left as it was keeps the id it came with. A failed one holds no id to speak of
    // (its configuration sector may be erased): it shows the id spent on it, if any.
    if (outcome.unchanged) Record().SetIdentityAfter(doc.value("eui64_before", ""));
    // The id the board got, or the one spent on it, or the one it came with.
    outcome.id = doc.value("eui64_after", "");
    if (outcome.id.empty()) outcome.id = doc.value("eui64_spent", "");
    if (outcome.id.empty()) outcome.id = doc.value("eui64_before", "");
    if (!outcome.passed) {
        outcome.message = message;
        outcome.step = "checking the board";  // before the first step of its own
        if (doc.contains("steps") && !doc["steps"].empty())
            outcome.step = doc["steps"].back().value("name", outcome.step);
    }
    outcome.seconds = SecondsSince(start);
    nlohmann::json& result = Record().result();
    if (!result.is_object()) result = nlohmann::json::object();
    result["board"] = board;
    result["outcome"] = !outcome.passed ? "fail" : outcome.unchanged ? "unchanged" : "pass";
    result["cycle_seconds"] =
        static_cast<double>(static_cast<long long>(outcome.seconds * 1000)) / 1000;
    if (!outcome.passed) result["failed_step"] = outcome.step;
    Record().End(code, message, outcome.hint);
    AppendReport(report, Record());
    return outcome;
}

// Waits while `present` is not what the bus shows; false when the run is asked to stop.
bool AwaitBoard(bool present, std::optional<DeviceLocation>* found = nullptr) {
    for (;;) {
        std::optional<DeviceLocation> device = BoardOnBus();
        if (device.has_value() == present) {
            if (found) *found = device;
            return true;
        }
        if (StopRequested()) return false;
        std::this_thread::sleep_for(kPoll);
    }
}

}  // namespace

int CmdStation(const Globals& globals, const StationOptions& given) {
    StationOptions options = given;
    Globals station = globals;
    std::string report = globals.report;
    if (!options.file.empty()) ReadStationFile(options, station.chip, report);
    if (report.empty()) {
        report = (options.file.empty() ? fs::path("station.jsonl")
                                       : fs::path(options.file).parent_path() / "station.jsonl")
                     .string();
    }
    if (!options.identity.guid.empty() && options.count != 1) {
        // Two boards with one id are one disk to the host.
        throw ToolError(kExitUsage,
                        "station: --guid would give every board of the run the same EUI-64",
                        "Give each board its own with --guid-counter FILE or --guid-list FILE "
                        "(or --count 1 for a single board).");
    }
    if (globals.target.sim) {
        throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                        "a station needs boards that come and go on a bus; the simulated device "
                        "embedded in the tool (--sim) is one board that never leaves",
                        "Run the simulator daemon with its boards (`tq6410-sim --device ... "
                        "--control SOCKET`) and point BRENNOCK_SOCKET at its driver socket.");
    }
    for (const auto& [name, value] :
         {std::pair<const char*, const std::string&>{"the loader", options.loader},
          {"the firmware", options.firmware},
          {"the configuration", options.config}}) {
        if (value.empty()) {
            throw ToolError(kExitUsage, std::string("station: name ") + name,
                            "Give --loader, --firmware and --config, or a station file that "
                            "names them.");
        }
    }
    ProgramOptions running;
    running.firmware = options.firmware;
    running.config = options.config;
    ProgramOptions blank = running;
    blank.loader = options.loader;
    const ProgramInputs blankInputs(blank);
    const ProgramInputs inputs(running);

    const bool full =
        !globals.json && !globals.quiet && IsTerminal(1) &&
        (StyleOf(globals) == ProgressStyle::Auto || StyleOf(globals) == ProgressStyle::Bar);
    station.report = report;  // so that a blank board's job sees the ids given before it
    if (full) {
        station.quiet = true;  // the screen shows the job; its lines go to the record only
        station.progress = "none";
    }
    StationScreen screen(globals.json ? stderr : stdout, full,
                         "loric station" + (options.file.empty() ? "" : "  " + options.file) +
                             "  (job record " + report + ")");
    { const BoardIdentity check(options.identity); }  // a source that cannot be used: refused now
    Job job(station);
    job.WatchProgress([&](const std::string& step, int percent) { screen.Step(step, percent); });
    blankInputs.Check(job, blank);
    DeferFirstInterrupt();

    nlohmann::json boards = nlohmann::json::array();
    const std::string started = Record().doc().value("start", "");
    auto summary = [&] {
        screen.Summary();
        Record().Begin("station");
        Record().doc()["start"] = started;
        Record().result() = {{"passed", screen.passed()},
                             {"failed", screen.failed()},
                             {"report", report},
                             {"boards", boards}};
    };
    try {
        for (int board = 1; options.count < 0 || board <= options.count; ++board) {
            screen.Waiting(board);
            std::optional<DeviceLocation> device;
            if (!AwaitBoard(true, &device)) break;
            screen.Found(board, DeviceLine(*device, &job.chip()));
            const BoardOutcome outcome = RunBoard(job, board, options, blankInputs, inputs, report);
            screen.Done(outcome);
            boards.push_back(Record().result());
            boards.back()["eui64"] = outcome.id;
            if (!outcome.passed) boards.back()["message"] = outcome.message;
            // A run cannot go on without its link, nor after the board's job was cancelled.
            if (outcome.code == kExitConnectionLost || outcome.code == LORIC_ERR_CANCELLED)
                throw ToolError(outcome.code, outcome.message, outcome.hint);
            if (StopRequested() || board == options.count) break;
            screen.AwaitRemoval(outcome);
            if (!AwaitBoard(false)) break;
        }
    } catch (const ToolError&) {
        summary();
        throw;
    }
    summary();
    return screen.failed() > 0 ? kExitSomeFailed : kExitOk;
}

}  // namespace tool
