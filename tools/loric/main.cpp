// loric: programs and services the flash of TQ6410 storage bridge devices from a terminal or a
// script, through the LORIC library. This file reads the command line; the commands themselves
// are in cmd_*.cpp.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>

#include "checks.h"
#include "commands.h"
#include "errors.h"
#include "interrupt.h"
#include "session.h"
#include "term.h"

namespace tool {
namespace {

const char* const kExitCodes =
    "Exit codes:\n"
    "  0       success\n"
    "  1-31    the library's status code (the message names it and its text); the tool uses\n"
    "          the same codes for the same failures it finds itself: 5 a wrong argument, a\n"
    "          value out of range, an unknown chip, or a destructive job without --yes and\n"
    "          without a terminal to ask on; 6 a file it cannot use (missing, a folder, empty,\n"
    "          or not the kind of image expected); 11 no device (or not at --node); 21\n"
    "          cancelled (Ctrl-C or a \"no\"; the message says what the device holds); 24 an\n"
    "          image too large for the chip\n"
    "  32      the read-back differs from the file (verify)\n"
    "  33      the JSON configuration description is not valid\n"
    "  64      the command line is wrong\n";

int Run(int argc, char** argv) {
    Globals globals;
    CLI::App app{"loric: programs the flash of TQ6410 storage bridge devices.\n"
                 "Targets: the 1394 driver (default), a serial adapter (--com PORT) or the simulated device (--sim)."};
    app.name("loric");
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("--version", "loric 1.0");

    app.add_option("--com", globals.target.comPort, "Use the serial adapter on PORT (/dev/ttyUSB0, COM3)")->type_name("PORT");
    auto* sim = app.add_flag("--sim", globals.target.sim, "Use the simulated device embedded in the tool");
    app.add_option("--state", globals.target.simState,
                   "Folder that keeps the simulated device between commands (default: the user's state folder)")
        ->type_name("DIR");
    app.add_option("--sim-fault", globals.target.faults, "Inject a fault into the simulated device (see the simulator's notes)")
        ->type_name("SPEC");
    app.add_option("--sim-chip", globals.target.simChip, "Flash chip of a newly created simulated device")->type_name("NAME");
    app.add_option("--flash-data", globals.flashData, "Flash data file (default: the shipped one)")->type_name("FILE");
    app.add_option("--chip", globals.chip, "Flash chip on the board, by name from the flash data file (`loric chips`)")
        ->type_name("NAME");
    app.add_option("--node", globals.node, "Node ID of the device (default: the device found on the bus)")->type_name("ID");
    app.add_option("--trace", globals.trace,
                   "Write a trace to debug.log in the current folder: a number, or error,warning,api,api-verbose,"
                   "internal,verbose,node0,all")
        ->type_name("CLASSES");
    app.add_option("--progress", globals.progress, "Progress display: auto, bar, plain or none")
        ->check(CLI::IsMember({"auto", "bar", "plain", "none"}));
    app.add_flag("-q,--quiet", globals.quiet, "Print only results and errors");
    app.add_flag("-y,--yes", globals.yes,
                 "Answer yes to the question before a job that wipes the loader or the whole flash (for scripts)");
    app.get_option("--com")->excludes(sim);

    std::function<int()> action;

    // nodes
    bool blankOnly = false;
    auto* nodes = app.add_subcommand("nodes", "List the nodes on the bus and find the device");
    nodes->add_flag("--blank", blankOnly, "Look only for a blank device at its flash port");
    nodes->callback([&] { action = [&] { return CmdNodes(globals, blankOnly); }; });

    // read / write
    std::string reg, value;
    int count = 1;
    auto* read = app.add_subcommand("read", "Read a register (a name such as FLASH_UPLOAD_CTRL, or an address)");
    read->add_option("register", reg, "Register name, offset (0xF0090008) or 48-bit address")->required();
    read->add_option("-n,--count", count, "Read this many quadlets")->check(CLI::Range(1, 4096));
    read->callback([&] { action = [&] { return CmdRead(globals, reg, count); }; });
    auto* write = app.add_subcommand("write", "Write a register");
    write->add_option("register", reg, "Register name, offset or 48-bit address")->required();
    write->add_option("value", value, "32-bit value")->required();
    write->callback([&] { action = [&] { return CmdWrite(globals, reg, value); }; });

    // chips
    std::string chipName;
    auto* chips = app.add_subcommand("chips", "List the flash chips of the flash data file, or one chip's sectors");
    chips->add_option("name", chipName, "Show this chip's sector table");
    chips->callback([&] { action = [&] { return CmdChips(globals, chipName); }; });

    // program-loader
    std::string loader;
    std::string eraseDelay;
    bool loaderForce = false;
    bool assumeBlank = false;
    auto* programLoader = app.add_subcommand("program-loader", "Program the bootstrap loader through the flash port");
    programLoader->add_option("loader", loader, "Loader image")->required();
    programLoader->add_option("--erase-delay", eraseDelay, "Seconds to wait after the erase (0 to 30; default: the chip family's erase time)");
    programLoader->add_flag("--blank", assumeBlank, "The flash is known to be erased: skip the erase before the loader");
    programLoader->add_flag("--force", loaderForce, "Program an image that does not look like a bootstrap loader");
    programLoader->callback([&] {
        action = [&] {
            return CmdProgramLoader(globals, loader, ParseEraseDelay(eraseDelay), assumeBlank, loaderForce);
        };
    });

    // program
    ProgramOptions program;
    auto* programCmd = app.add_subcommand("program", "Program firmware and configuration (and the loader of a blank device)");
    programCmd->add_option("firmware", program.firmware, "Firmware image")->required();
    programCmd->add_option("config", program.config, "Configuration: a JSON description or a configuration file")->required();
    programCmd->add_option("--loader", program.loader, "Program this bootstrap loader first (needed on a blank device)");
    std::string programEraseDelay;
    programCmd->add_option("--erase-delay", programEraseDelay, "Seconds to wait after the loader's erase (0 to 30; default: the chip family's erase time)");
    programCmd->add_flag("--verify", program.verify, "Read the firmware and configuration back and compare");
    programCmd->add_option("--backup", program.backup,
                           "Save the device's configuration here first (default: config-backup-<time>.bin); the "
                           "firmware backup goes beside it (firmware-backup-<time>.bin)");
    programCmd->add_flag("--no-backup", program.noBackup, "Do not save the device's configuration and firmware first");
    programCmd->add_flag("--force", program.force,
                         "Program images that do not look right (a configuration that does not decode, firmware or "
                         "loader without what the device needs); sizes are always checked");
    programCmd->callback([&] {
        action = [&] {
            program.eraseDelay = ParseEraseDelay(programEraseDelay);
            return CmdProgram(globals, program);
        };
    });

    // restore
    RestoreOptions restore;
    std::string restoreEraseDelay;
    auto* restoreCmd = app.add_subcommand("restore", "Put the firmware and configuration backups of `program` back");
    restoreCmd->add_option("backups", restore.files, "Firmware and/or configuration backup (told apart by content)")
        ->required()
        ->expected(1, 2);
    restoreCmd->add_option("--loader", restore.loader, "Program this bootstrap loader first (a device that shows as blank)");
    restoreCmd->add_option("--erase-delay", restoreEraseDelay, "Seconds to wait after the loader's erase (0 to 30; default: the chip family's erase time)");
    restoreCmd->add_flag("--verify", restore.verify, "Read the backups back and compare");
    restoreCmd->add_flag("--force", restore.force, "Put back a backup that does not look right");
    restoreCmd->callback([&] {
        action = [&] {
            restore.eraseDelay = ParseEraseDelay(restoreEraseDelay);
            return CmdRestore(globals, restore);
        };
    });

    // erase
    std::string sector, address;
    bool all = false, flashPort = false;
    auto* erase = app.add_subcommand("erase", "Erase one sector or the whole flash");
    erase->add_option("--sector", sector, "Sector number (`loric chips NAME` lists them)");
    erase->add_option("--address", address, "Sector by its start address, in words");
    erase->add_flag("--all", all, "Erase the whole flash (asks first; --yes for scripts)");
    erase->add_flag("--flash-port", flashPort, "Erase through the flash port instead of the running loader or firmware");
    erase->callback([&] { action = [&] { return CmdErase(globals, sector, address, all, flashPort); }; });

    // timestamp
    auto* timestamp = app.add_subcommand("timestamp", "Read the time stamp of the firmware the device runs");
    timestamp->callback([&] { action = [&] { return CmdTimestamp(globals); }; });

    // dump / verify
    std::string dumpAddress, dumpLength, dumpOut;
    auto* dump = app.add_subcommand("dump", "Read a range of the flash through the read window");
    dump->add_option("address", dumpAddress, "Byte address")->required();
    dump->add_option("length", dumpLength, "Bytes (124K is 126976)")->required();
    dump->add_option("-o,--output", dumpOut, "Write the bytes to FILE instead of a hex dump");
    dump->callback([&] { action = [&] { return CmdDump(globals, dumpAddress, dumpLength, dumpOut); }; });
    std::string verifyFile, verifyAddress;
    bool verifyFirmware = false;
    auto* verify = app.add_subcommand("verify", "Compare the flash with a file");
    verify->add_option("file", verifyFile, "The file")->required();
    verify->add_option("--address", verifyAddress, "Byte address of the file in the flash (default 0)");
    verify->add_flag("--firmware", verifyFirmware, "The file is a firmware image: expect the configuration address in its parameter");
    verify->callback([&] { action = [&] { return CmdVerify(globals, verifyFile, verifyAddress, verifyFirmware); }; });

    // config
    auto* config = app.add_subcommand("config", "Configuration: generate, import, show, upload, download");
    config->require_subcommand(1);
    std::string description, configOut, configFile;
    bool asJson = false;
    auto* generate = config->add_subcommand("generate", "Make a configuration file from a JSON description");
    generate->add_option("description", description, "JSON description")->required();
    generate->add_option("output", configOut, "Configuration file to write")->required();
    generate->callback([&] { action = [&] { return CmdConfigGenerate(globals, description, configOut); }; });
    auto* import = config->add_subcommand("import", "Turn a configuration file into a JSON description");
    import->add_option("file", configFile, "Configuration file")->required();
    import->add_option("output", configOut, "JSON file to write (default: standard output)");
    import->callback([&] { action = [&] { return CmdConfigImport(globals, configFile, configOut); }; });
    auto* show = config->add_subcommand("show", "Decode a configuration file, or the device's configuration, checking its CRCs");
    show->add_option("file", configFile, "Configuration file (default: read the device's)");
    show->add_flag("--json", asJson, "Print the JSON description instead");
    show->callback([&] { action = [&] { return CmdConfigShow(globals, configFile, asJson); }; });
    auto* download = config->add_subcommand("download", "Save the device's configuration to a file (.json: as a description)");
    download->add_option("output", configOut, "File to write")->required();
    download->callback([&] { action = [&] { return CmdConfigDownload(globals, configOut); }; });
    UploadOptions upload;
    auto* uploadCmd = config->add_subcommand("upload", "Program only the configuration (the old one is saved first)");
    uploadCmd->add_option("file", upload.file, "JSON description or configuration file")->required();
    uploadCmd->add_option("--backup", upload.backup, "Save the device's configuration here first (default: config-backup-<time>.bin)");
    uploadCmd->add_flag("--no-backup", upload.noBackup, "Do not save the device's configuration first");
    uploadCmd->add_flag("--no-erase", upload.noErase, "Do not erase the configuration sector first");
    uploadCmd->add_flag("--verify", upload.verify, "Read the configuration back and compare");
    uploadCmd->add_flag("--force", upload.force, "Program a configuration file even if it does not decode");
    uploadCmd->callback([&] { action = [&] { return CmdConfigUpload(globals, upload); }; });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "loric: %s\n  Run `loric --help` (or `loric COMMAND --help`) for the usage.\n", e.what());
        return kExitUsage;
    }
    if (!action) {
        std::fprintf(stderr, "loric: name a command; run `loric --help` for the list.\n");
        return kExitUsage;
    }

    int code = 0;
    try {
        globals.target.traceFlags = ParseTraceFlags(globals.trace);
        if (!globals.target.sim && (app.count("--state") || app.count("--sim-fault") || app.count("--sim-chip"))) {
            throw ToolError(kExitUsage, "--state, --sim-fault and --sim-chip go with --sim");
        }
        NodeOption(globals);  // one check of --node, before anything else
        InstallInterruptHandler();
        code = action();
    } catch (const ToolError& error) {
        std::fflush(stdout);
        std::fprintf(stderr, "loric: %s\n", error.what());
        if (!error.hint().empty()) std::fprintf(stderr, "  What to try: %s\n", error.hint().c_str());
        code = error.code();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "loric: %s\n", error.what());
        code = 1;
    }
    if (globals.target.traceFlags != 0) {
        std::fprintf(stderr, "loric: trace written to %s\n", AbsolutePath("debug.log").c_str());
    }
    return code;
}

}  // namespace
}  // namespace tool

int main(int argc, char** argv) { return tool::Run(argc, argv); }
