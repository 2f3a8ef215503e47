// loric: programs and services the flash of TQ6410 storage bridge devices from a terminal or a
// script, through the LORIC library. This file reads the command line: the global options, and
// the commands from the table below; the commands themselves are in cmd_*.cpp.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <memory>

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <unistd.h>
#endif

#include "arguments.h"
#include "commands.h"
#include "errors.h"
#include "interrupt.h"
#include "record.h"
#include "term.h"
#include "trace_log.h"

namespace tool {
namespace {

const char* const kExitCodes =
    "Exit codes:\n"
    "  0       success\n"
    "  1-31    the library's status code (the message names it and its text); the tool uses\n"
    "          the same codes for the same failures it finds itself: 5 a wrong argument, a\n"
    "          value out of range, an unknown chip, or a destructive job without --yes and\n"
    "          without a terminal to ask on; 6 a file it cannot use (missing, a folder, empty,\n"
    "          or not the kind of image expected) or cannot create; 7 a file it cannot read or\n"
    "          write in full (a full disk); 11 no device (or not at --node, none or several\n"
    "          with the --device id, several devices without a choice, or a job that cannot\n"
    "          be aimed at one of them); 13 a flash data file with a bad record; 21\n"
    "          cancelled (Ctrl-C, SIGTERM, SIGHUP or a \"no\"; the message says what the\n"
    "          device holds); 24 an image too large for the chip\n"
    "  32      the read-back differs from the file (verify, or a job's own read-back)\n"
    "  33      the JSON configuration description is not valid\n"
    "  34      the device is in use by another job (the message names it); nothing was done\n"
    "  35      a backup taken before an erase failed its check; nothing was erased\n"
    "  36      the connection to the 1394 driver or the serial adapter was lost\n"
    "  37      station: one or more boards failed (the job record has a line for each)\n"
    "  64      the command line is wrong\n";

// The command the command line chose, bound to its options.
using Action = std::function<int(const Globals&)>;

void DeclareGlobals(CLI::App& app, Globals& g) {
    app.add_option("--com", g.target.comPort, "Use the serial adapter on PORT (/dev/ttyUSB0, COM3)")
        ->type_name("PORT");
    auto* sim =
        app.add_flag("--sim", g.target.sim, "Use the simulated device embedded in the tool");
    app.add_option(
           "--link", g.target.link,
           "Linux: reach the bus through the kernel's 1394 stack (firewire) or the driver socket "
           "(socket); default: the kernel's stack when it lists nodes and BRENNOCK_SOCKET is unset")
        ->check(CLI::IsMember({"firewire", "socket"}))
        ->type_name("KIND");
    app.add_option("--state", g.target.simState,
                   "Folder that keeps the simulated device between commands (default: the user's "
                   "state folder)")
        ->type_name("DIR");
    app.add_option("--sim-fault", g.target.faults,
                   "Inject a fault into the simulated device (see the simulator's notes)")
        ->type_name("SPEC");
    app.add_option("--sim-chip", g.target.simChip, "Flash chip of a newly created simulated device")
        ->type_name("NAME");
    app.add_option("--flash-data", g.flashData, "Flash data file (default: the shipped one)")
        ->type_name("FILE");
    app.add_option("--chip", g.chip,
                   "Flash chip on the board, by name from the flash data file (`loric chips`)")
        ->type_name("NAME");
    app.add_option("--node", g.node, "Node ID of the device (default: the device found on the bus)")
        ->type_name("ID");
    app.add_option("--device", g.device,
                   "The board that runs its firmware, by its EUI-64 or the first digits of it, "
                   "among several on the bus (`loric nodes` lists them)")
        ->type_name("EUI64");
    app.add_option("--trace", g.trace,
                   "Write a trace to debug.log in the current folder: a number, or "
                   "error,warning,api,api-verbose,"
                   "internal,verbose,node0,all")
        ->type_name("CLASSES");
    app.add_option("--progress", g.progress, "Progress display: auto, bar, plain or none")
        ->check(CLI::IsMember({"auto", "bar", "plain", "none"}));
    app.add_flag("-q,--quiet", g.quiet, "Print only results and errors");
    app.add_flag("-y,--yes", g.yes,
                 "Answer yes to the question before a job that wipes the loader or the whole flash "
                 "(for scripts)");
    app.add_option(
           "--wait-lock", g.waitLock,
           "Wait up to SECONDS for another job on the same device to end (default 2), then refuse")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.0, 86400.0));
    app.add_flag("--json", g.json,
                 "Print one JSON document on standard output (the command's results, or its "
                 "error); lines for people go to standard error");
    app.add_option("--report", g.report,
                   "Append a record of each job on a device to FILE, one JSON line per job")
        ->type_name("FILE");
    app.add_option("--log", g.log,
                   "Append the trace of this command to FILE under a header line (the time, the "
                   "command, the device); tracing defaults to error,warning,api. The library's "
                   "debug.log is left as it writes it")
        ->type_name("FILE");
    app.get_option("--com")->excludes(sim);
}

// ---- Each command's arguments and options, in the order --help lists them -------------------

void DeclareNodes(CLI::App& c, NodesOptions& o) {
    c.add_flag("--blank", o.blankOnly, "Look only for a blank device at its flash port");
}

void DeclareRead(CLI::App& c, ReadOptions& o) {
    c.add_option("register", o.reg, "Register name, offset (0xF0090008) or 48-bit address")
        ->required();
    c.add_option("-n,--count", o.count, "Read this many quadlets")->check(CLI::Range(1, 4096));
}

void DeclareWrite(CLI::App& c, WriteOptions& o) {
    c.add_option("register", o.reg, "Register name, offset or 48-bit address")->required();
    c.add_option("value", o.value, "32-bit value")->required();
}

void DeclareChips(CLI::App& c, ChipsOptions& o) {
    c.add_option("name", o.name, "Show this chip's sector table");
}

// Reading back is the default; --verify stays accepted for scripts written before.
void DeclareVerifyFlags(CLI::App& c, bool& noVerify, bool& verify, const char* what) {
    c.add_flag("--no-verify", noVerify, std::string("Do not read ") + what + " back (faster)");
    c.add_flag("--verify", verify, "Read back and compare (the default; kept for old scripts)");
}

// The id the board gets instead of keeping its own (one of the three).
void DeclareIdentity(CLI::App& c, IdentityOptions& o) {
    c.add_option("--guid", o.guid,
                 "Give the board this EUI-64 (16 hex digits), or this chip_id_hi and chip_id_lo "
                 "(10 hex digits, the vendor from the configuration)")
        ->type_name("ID");
    c.add_option("--guid-counter", o.counter,
                 "Give the board the next id of this counter file (JSON: next, last, step), "
                 "taken under a lock")
        ->type_name("FILE");
    c.add_option("--guid-list", o.list,
                 "Give the board the next unused id of this list file (one a line), marked used")
        ->type_name("FILE");
}

void DeclareProgramLoader(CLI::App& c, LoaderOptions& o) {
    c.add_option("loader", o.loader, "Loader image")->required();
    c.add_option(
        "--erase-delay", o.eraseDelay,
        "Seconds to wait after the erase (0 to 30; default: the chip family's erase time)");
    c.add_flag("--blank", o.assumeBlank,
               "The flash is known to be erased: skip the erase before the loader");
    DeclareVerifyFlags(c, o.noVerify, o.verify, "the loader");
    c.add_flag("--force", o.force, "Program an image that does not look like a bootstrap loader");
}

void DeclareProgram(CLI::App& c, ProgramOptions& o) {
    c.add_option("firmware", o.firmware, "Firmware image")->required();
    c.add_option("config", o.config, "Configuration: a JSON description or a configuration file")
        ->required();
    c.add_option("--loader", o.loader,
                 "Program this bootstrap loader first (needed on a blank device)");
    c.add_option("--erase-delay", o.eraseDelay,
                 "Seconds to wait after the loader's erase (0 to 30; default: the chip family's "
                 "erase time)");
    DeclareVerifyFlags(c, o.noVerify, o.verify, "the firmware and configuration");
    c.add_option("--backup", o.backup,
                 "Save the device's configuration here first, a new file (default: "
                 "config-backup-<time>.bin); "
                 "the firmware backup goes beside it (firmware-backup-<time>.bin)");
    c.add_flag("--no-backup", o.noBackup,
               "Do not save the device's configuration and firmware first");
    c.add_flag(
        "--force", o.force,
        "Program images that do not look right (a configuration that does not decode, firmware or "
        "loader without what the device needs); sizes are always checked");
    DeclareIdentity(c, o.identity);
}

void DeclareRestore(CLI::App& c, RestoreOptions& o) {
    c.add_option("backups", o.files, "Firmware and/or configuration backup (told apart by content)")
        ->required()
        ->expected(1, 2);
    c.add_option("--loader", o.loader,
                 "Program this bootstrap loader first (a device that shows as blank)");
    c.add_option("--erase-delay", o.eraseDelay,
                 "Seconds to wait after the loader's erase (0 to 30; default: the chip family's "
                 "erase time)");
    DeclareVerifyFlags(c, o.noVerify, o.verify, "what was put back");
    c.add_flag("--force", o.force, "Put back a backup that does not look right");
    DeclareIdentity(c, o.identity);
}

void DeclareErase(CLI::App& c, EraseOptions& o) {
    c.add_option("--sector", o.sector, "Sector number (`loric chips NAME` lists them)");
    c.add_option("--address", o.address, "Sector by its start address, in words");
    c.add_flag("--all", o.all, "Erase the whole flash (asks first; --yes for scripts)");
    c.add_flag("--flash-port", o.flashPort,
               "Erase through the flash port instead of the running loader or firmware");
}

void DeclareTimestamp(CLI::App&, TimestampOptions&) {}

void DeclareDump(CLI::App& c, DumpOptions& o) {
    c.add_option("address", o.address, "Byte address")->required();
    c.add_option("length", o.length, "Bytes (124K is 126976)")->required();
    c.add_option("-o,--output", o.out, "Write the bytes to FILE instead of a hex dump");
}

void DeclareVerify(CLI::App& c, VerifyOptions& o) {
    c.add_option("file", o.file, "The file")->required();
    c.add_option("--address", o.address, "Byte address of the file in the flash (default 0)");
    c.add_flag("--firmware", o.firmware,
               "The file is a firmware image: expect the configuration address in its parameter");
}

void DeclareGenerate(CLI::App& c, GenerateOptions& o) {
    c.add_option("description", o.description, "JSON description")->required();
    c.add_option("output", o.out, "Configuration file to write")->required();
}

void DeclareImport(CLI::App& c, ImportOptions& o) {
    c.add_option("file", o.file, "Configuration file")->required();
    c.add_option("output", o.out, "JSON file to write (default: standard output)");
}

void DeclareShow(CLI::App& c, ShowOptions& o) {
    c.add_option("file", o.file, "Configuration file (default: read the device's)");
    c.add_flag("--json", o.json, "Print the JSON description instead");
}

void DeclareDownload(CLI::App& c, DownloadOptions& o) {
    c.add_option("output", o.out, "File to write")->required();
}

void DeclareUpload(CLI::App& c, UploadOptions& o) {
    c.add_option("file", o.file, "JSON description or configuration file")->required();
    c.add_option("--backup", o.backup,
                 "Save the device's configuration here first, a new file (default: "
                 "config-backup-<time>.bin)");
    c.add_flag("--no-backup", o.noBackup, "Do not save the device's configuration first");
    c.add_flag("--no-erase", o.noErase,
               "Do not erase the configuration sector first (it must be blank)");
    DeclareVerifyFlags(c, o.noVerify, o.verify, "the configuration");
    c.add_flag("--force", o.force, "Program a configuration file even if it does not decode");
    DeclareIdentity(c, o.identity);
}

void DeclareStation(CLI::App& c, StationOptions& o) {
    c.add_option("station", o.file,
                 "Station file (JSON): the images, chip, id source, job record and options");
    c.add_option("--loader", o.loader, "Bootstrap loader for a blank board");
    c.add_option("--firmware", o.firmware, "Firmware image");
    c.add_option("--config", o.config, "Configuration: a JSON description or a configuration file");
    DeclareIdentity(c, o.identity);
    c.add_option("--count", o.count, "Stop after N boards")->check(CLI::Range(1, 1000000));
    c.add_flag("--skip-unchanged", o.skipUnchanged,
               "Leave a board that already holds this firmware and configuration (its id aside)");
    c.add_flag("--no-backup", o.noBackup,
               "Do not save a running board's configuration and firmware first");
}

// Adds a command's options to its subcommand; when the command line chooses it, `chosen` runs
// the command with them.
template <typename Options, void (*Declare)(CLI::App&, Options&),
          int (*Command)(const Globals&, const Options&)>
void Bind(CLI::App& command, Action& chosen) {
    auto options = std::make_shared<Options>();
    Declare(command, *options);
    command.callback([&chosen, options] {
        chosen = [options](const Globals& g) { return Command(g, *options); };
    });
}

// A group of commands (config): it needs one of them.
void Group(CLI::App& group, Action&) { group.require_subcommand(1); }

struct CommandEntry {
    const char* group;  // the parent command, or nullptr
    const char* name;
    const char* about;
    void (*bind)(CLI::App& command, Action& chosen);
};

const CommandEntry kCommands[] = {
    {nullptr, "nodes", "List the nodes on the bus and find the device",
     &Bind<NodesOptions, DeclareNodes, CmdNodes>},
    {nullptr, "read", "Read a register (a name such as FLASH_UPLOAD_CTRL, or an address)",
     &Bind<ReadOptions, DeclareRead, CmdRead>},
    {nullptr, "write", "Write a register", &Bind<WriteOptions, DeclareWrite, CmdWrite>},
    {nullptr, "chips", "List the flash chips of the flash data file, or one chip's sectors",
     &Bind<ChipsOptions, DeclareChips, CmdChips>},
    {nullptr, "program-loader", "Program the bootstrap loader through the flash port",
     &Bind<LoaderOptions, DeclareProgramLoader, CmdProgramLoader>},
    {nullptr, "program", "Program firmware and configuration (and the loader of a blank device)",
     &Bind<ProgramOptions, DeclareProgram, CmdProgram>},
    {nullptr, "restore", "Put the firmware and configuration backups of `program` back",
     &Bind<RestoreOptions, DeclareRestore, CmdRestore>},
    {nullptr, "erase", "Erase one sector or the whole flash",
     &Bind<EraseOptions, DeclareErase, CmdErase>},
    {nullptr, "timestamp", "Read the time stamp of the firmware the device runs",
     &Bind<TimestampOptions, DeclareTimestamp, CmdTimestamp>},
    {nullptr, "dump", "Read a range of the flash through the read window",
     &Bind<DumpOptions, DeclareDump, CmdDump>},
    {nullptr, "verify", "Compare the flash with a file",
     &Bind<VerifyOptions, DeclareVerify, CmdVerify>},
    {nullptr, "config", "Configuration: generate, import, show, upload, download", &Group},
    {"config", "generate", "Make a configuration file from a JSON description",
     &Bind<GenerateOptions, DeclareGenerate, CmdConfigGenerate>},
    {"config", "import", "Turn a configuration file into a JSON description",
     &Bind<ImportOptions, DeclareImport, CmdConfigImport>},
    {"config", "show",
     "Decode a configuration file, or the device's configuration, checking its CRCs",
     &Bind<ShowOptions, DeclareShow, CmdConfigShow>},
    {"config", "download", "Save the device's configuration to a file (.json: as a description)",
     &Bind<DownloadOptions, DeclareDownload, CmdConfigDownload>},
    {"config", "upload", "Program only the configuration (the old one is saved first)",
     &Bind<UploadOptions, DeclareUpload, CmdConfigUpload>},
    {nullptr, "station", "A production run: program one board after another, PASS or FAIL each",
     &Bind<StationOptions, DeclareStation, CmdStation>},
};

// The word given where a command was expected, when it names none, with the group it was
// looked for in ("bogus", or "config bogus"); "" when the command line has no such word.
std::string UnknownCommand(CLI::App& app) {
    std::string prefix;
    for (CLI::App* level = &app;;) {
        auto parsed = level->get_subcommands();
        if (parsed.empty()) {
            // Words a group does not know fall through to the top.
            auto rest = level->remaining();
            if (rest.empty()) rest = app.remaining();
            if (rest.empty() || rest.front().empty() || rest.front()[0] == '-') return {};
            if (level->get_subcommands([](CLI::App*) { return true; }).empty()) return {};
            return prefix + rest.front();
        }
        level = parsed.front();
        prefix += level->get_name() + " ";
    }
}

// Under --json, standard output carries the document alone: while the command runs, whatever
// it prints there goes to standard error instead.
class StdoutToStderr {
public:
    explicit StdoutToStderr(bool active) {
        if (!active) return;
        std::fflush(stdout);
        saved_ = dup(1);
        if (saved_ >= 0) dup2(2, 1);
    }
    ~StdoutToStderr() {
        if (saved_ < 0) return;
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    StdoutToStderr(const StdoutToStderr&) = delete;
    StdoutToStderr& operator=(const StdoutToStderr&) = delete;

private:
    int saved_ = -1;
};

// The commands of the command line that work on a device and so go into the job record: every
// one that opened the library on a target, and the jobs that change the flash even when they
// fail before that.
bool Reported(const std::string& command) {
    if (Record().doc().contains("link")) return true;
    for (const char* job : {"program-loader", "program", "restore", "erase", "config upload"}) {
        if (command == job) return true;
    }
    return false;
}

// The --json document: the record's command, exit code and results or error, and the rest of
// what it holds about the device and the job.
// A failure keeps the results the command had (verify: where the flash first differs).
nlohmann::ordered_json JsonDocument() {
    const nlohmann::json& doc = Record().doc();
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    auto copy = [&](const char* key) {
        if (doc.contains(key)) out[key] = nlohmann::ordered_json::parse(doc[key].dump());
    };
    out["command"] = doc.value("command", "");
    out["exit_code"] = doc.value("exit_code", 0);
    if (doc.contains("error")) {
        copy("error");
        if (doc.contains("result") && !doc["result"].is_null()) copy("result");
    } else if (doc.contains("result") && !doc["result"].is_null()) {
        copy("result");
    } else {
        out["result"] = nlohmann::ordered_json::object();
    }
    for (const char* key :
         {"link", "port", "node", "state", "eui64_before", "eui64_after", "eui64_spent", "chip",
          "images", "backups", "steps", "readback", "verify"}) {
        copy(key);
    }
    return out;
}

void PrintJson(const nlohmann::ordered_json& document) {
    std::printf("%s\n", document.dump(2).c_str());
    std::fflush(stdout);
}

// Runs the chosen command; a failure becomes its message on stderr and its exit code. The
// run's record is begun and ended here, and printed (--json) and kept (--report, --log) here.
int RunCommand(const CLI::App& app, Globals& globals, const Action& chosen,
               const std::string& command) {
    Record().Begin(command);
    Record().SetOrigin(ToolVersion(), LibraryVersion(), HostName());
    int code = kExitOk;
    std::string message, hint;
    TraceLog traceLog(globals.log);
    {
        StdoutToStderr redirect(globals.json);
        try {
            if (!globals.log.empty() && globals.trace.empty()) globals.trace = kLogTraceDefault;
            globals.target.traceFlags = ParseTraceFlags(globals.trace);
            if (!globals.target.sim &&
                (app.count("--state") || app.count("--sim-fault") || app.count("--sim-chip"))) {
                throw ToolError(kExitUsage, "--state, --sim-fault and --sim-chip go with --sim");
            }
            ParseNode(globals.node);  // one check of --node, before anything else
            InstallInterruptHandler();
            SetTraceOpen(globals.target.traceFlags != 0);
            code = chosen(globals);
        } catch (const ToolError& error) {
            std::fflush(stdout);
            std::fprintf(stderr, "loric: %s\n", error.what());
            if (!error.hint().empty())
                std::fprintf(stderr, "  What to try: %s\n", error.hint().c_str());
            code = error.code();
            message = error.what();
            hint = error.hint();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "loric: %s\n", error.what());
            code = kExitUnexpected;
            message = error.what();
        }
        if (code != kExitOk && message.empty()) {
            // A command that ends with a code of its own (config show of a damaged file).
            message = StatusText(static_cast<uint32_t>(code));
        }
        if (!globals.log.empty()) {
            Record().SetLog(globals.log);
            std::string failure = traceLog.Append(globals.commandLine);
            if (!failure.empty()) std::fprintf(stderr, "loric: %s\n", failure.c_str());
        } else if (globals.target.traceFlags != 0) {
            std::fprintf(stderr, "loric: trace written to %s\n", AbsolutePath("debug.log").c_str());
        }
    }
    Record().End(code, message, hint);
    if (!globals.report.empty() && Reported(command)) {
        try {
            AppendReport(globals.report, Record());
        } catch (const ToolError& error) {
            std::fprintf(stderr, "loric: %s\n", error.what());
            if (code == kExitOk) {
                code = error.code();
                Record().End(code, error.what());
            }
        }
    }
    if (globals.json) PrintJson(JsonDocument());
    return code;
}

// The command the command line chose, with its group: "config upload".
std::string CommandName(CLI::App& app) {
    std::string name;
    for (CLI::App* level = &app; !level->get_subcommands().empty();) {
        level = level->get_subcommands().front();
        name += (name.empty() ? "" : " ") + level->get_name();
    }
    return name;
}

// Whether --json was asked before the command line turned out wrong: among the words before
// the command (a command's own --json, config show's, is not it).
bool JsonAsked(int argc, char** argv, CLI::App& app) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--json") return true;
        if (word == "--") return false;
        if (!word.empty() && word[0] != '-') {
            // A global option's value, or the command: the first word a subcommand knows ends it.
            for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
                if (command->get_name() == word) return false;
            }
        }
    }
    return false;
}

// The error document of a command line that is wrong, under --json.
int UsageError(bool json, const std::string& command, const std::string& message,
               const std::string& hint) {
    if (json) {
        PrintJson({{"command", command},
                   {"exit_code", kExitUsage},
                   {"error", {{"message", message}, {"hint", hint}}}});
    }
    return kExitUsage;
}

int Run(int argc, char** argv) {
    Globals globals;
    CLI::App app{
        "loric: programs the flash of TQ6410 storage bridge devices.\n"
        "Targets: the 1394 driver (default), a serial adapter (--com PORT) or the simulated device "
        "(--sim)."};
    app.name("loric");
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", std::string("loric ") + ToolVersion());
    DeclareGlobals(app, globals);
    globals.commandLine = "loric";
    for (int i = 1; i < argc; ++i) globals.commandLine += std::string(" ") + argv[i];

    Action chosen;
    for (const auto& entry : kCommands) {
        CLI::App* parent = entry.group ? app.get_subcommand(entry.group) : &app;
        entry.bind(*parent->add_subcommand(entry.name, entry.about), chosen);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const bool json = JsonAsked(argc, argv, app);
        const std::string unknown = UnknownCommand(app);
        if (!unknown.empty()) {
            std::fprintf(
                stderr,
                "loric: there is no command \"%s\"\n  Run `loric --help` for the commands.\n",
                unknown.c_str());
            return UsageError(json, "", "there is no command \"" + unknown + "\"",
                              "Run `loric --help` for the commands.");
        }
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
            // No command at all, or a group without one of its commands: name the choices.
            CLI::App* level = &app;
            std::string prefix;
            while (!level->get_subcommands().empty()) {
                level = level->get_subcommands().front();
                prefix += level->get_name() + " ";
            }
            std::string names;
            for (const CLI::App* command : level->get_subcommands([](CLI::App*) { return true; })) {
                names += (names.empty() ? "" : ", ") + command->get_name();
            }
            if (!names.empty()) {
                std::fprintf(
                    stderr,
                    "loric: name a %scommand: %s\n  Run `loric %s--help` for what each does.\n",
                    prefix.c_str(), names.c_str(), prefix.c_str());
                return UsageError(json, CommandName(app), "name a " + prefix + "command: " + names,
                                  "Run `loric " + prefix + "--help` for what each does.");
            }
        }
        std::fprintf(stderr,
                     "loric: %s\n  Run `loric --help` (or `loric COMMAND --help`) for the usage.\n",
                     e.what());
        return UsageError(json, CommandName(app), e.what(),
                          "Run `loric --help` (or `loric COMMAND --help`) for the usage.");
    }
    if (!chosen) {
        std::fprintf(stderr, "loric: name a command; run `loric --help` for the list.\n");
        return UsageError(globals.json, "", "name a command", "Run `loric --help` for the list.");
    }
    return RunCommand(app, globals, chosen, CommandName(app));
}

}  // namespace
}  // namespace tool

int main(int argc, char** argv) { return tool::Run(argc, argv); }
