// loric: programs and services the flash of TQ6410 storage bridge devices from a terminal or a
// script, through the LORIC library.
#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

#include "config_json.h"
#include "erase_timing.h"
#include "errors.h"
#include "flash_read.h"
#include "loric.h"
#include "progress.h"
#include "rom_decode.h"
#include "session.h"
#include "sim_host.h"
#include "term.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace tool {
namespace {

constexpr uint32_t kEraseAll = 0xFFFFFFFF;

const char* const kExitCodes =
    "Exit codes:\n"
    "  0       success\n"
    "  1-31    the library's status code (the message names it and its text); the tool uses\n"
    "          the same codes for the same failures it finds itself: 5 a wrong argument or an\n"
    "          unknown chip, 6 a file it cannot open, 11 no device (or not at --node)\n"
    "  32      the read-back differs from the file (verify)\n"
    "  33      the JSON configuration description is not valid\n"
    "  64      the command line is wrong\n";

struct Globals {
    TargetOptions target;
    std::string trace;
    std::string flashData;
    std::string chip;
    std::string node;
    std::string progress = "auto";
    bool quiet = false;
};

// ---- Small helpers ---------------------------------------------------------------------------

uint64_t ParseNumber(const std::string& text, const std::string& what) {
    std::string digits = text;
    uint64_t scale = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) {
        scale = 1024;
        digits.pop_back();
    } else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) {
        scale = 1024 * 1024;
        digits.pop_back();
    }
    if (digits.empty()) throw ToolError(kExitUsage, what + ": \"" + text + "\" is not a number");
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || digits[0] == '-') {
        throw ToolError(kExitUsage, what + ": \"" + text + "\" is not a number",
                        "Write numbers as 0x1F000, 126976 or 124K.");
    }
    return value * scale;
}

uint32_t ParseU32(const std::string& text, const std::string& what) {
    uint64_t value = ParseNumber(text, what);
    if (value > 0xFFFFFFFFull) throw ToolError(kExitUsage, what + ": " + text + " is larger than 32 bits");
    return static_cast<uint32_t>(value);
}

std::optional<uint16_t> NodeOption(const Globals& globals) {
    if (globals.node.empty()) return std::nullopt;
    uint64_t node = ParseNumber(globals.node, "--node");
    if (node > 0xFFFF) throw ToolError(kExitUsage, "--node: a node ID has 16 bits, such as 0xFFC0");
    return static_cast<uint16_t>(node);
}

std::string Hex(uint32_t value, int digits = 8) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

void RequireFile(const std::string& path, const std::string& what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ToolError(6, "cannot open the " + what + " " + path, "Check the file name and that the file can be read.");
    in.seekg(0, std::ios::end);
    if (in.tellg() <= 0) throw ToolError(7, "the " + what + " " + path + " is empty", "Check the file.");
}

uint64_t FileSize(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

ProgressStyle StyleOf(const Globals& globals) {
    if (globals.quiet || globals.progress == "none") return ProgressStyle::None;
    if (globals.progress == "bar") return ProgressStyle::Bar;
    if (globals.progress == "plain") return ProgressStyle::Plain;
    return ProgressStyle::Auto;
}

// Prints a line for the user (suppressed by --quiet).
void Say(const Globals& globals, const std::string& line) {
    if (!globals.quiet) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// A folder of its own for intermediate files, removed at the end of the command.
class TempDir {
public:
    TempDir() {
        static int counter = 0;
        std::error_code error;
        auto base = std::filesystem::temp_directory_path(error);
        if (error) base = ".";
        path_ = base / ("loric-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_, error);
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

bool LooksLikeJson(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char c;
    while (in.get(c)) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        return c == '{';
    }
    return false;
}

// The flash chip of the command: --chip, LORIC_CHIP, or the simulated device's own.
struct ChipChoice {
    ChipTable table;
    const FLASH_DEVICE* device = nullptr;
};

ChipChoice SelectChip(Session& session, const Globals& globals) {
    ChipChoice choice;
    choice.table = session.LoadChips(globals.flashData.empty() ? DefaultFlashDataFile() : globals.flashData);
    std::string name = globals.chip;
    if (name.empty()) {
        if (const char* fromEnvironment = std::getenv("LORIC_CHIP")) name = fromEnvironment;
    }
    if (name.empty()) name = session.simChipName();
    if (name.empty()) {
        throw ToolError(5, "choose the flash chip on the board with --chip NAME",
                        "`loric chips` lists the chips of " + choice.table.file + "; LORIC_CHIP sets a default.");
    }
    choice.device = &FindChip(choice.table, name);
    return choice;
}

std::string NodeText(uint16_t node) { return Hex(node, 4); }

// ---- Configuration files ---------------------------------------------------------------------

// Turns a description into a configuration image at `out`.
void GenerateImage(const nlohmann::json& description, const std::string& out) {
    CONFIG_FILE_INFO info = ParseConfigDescription(description);
    for (const auto& note : DescriptionNotes(info)) std::fprintf(stderr, "loric: note: %s\n", note.c_str());
    Check(GenerateConfigurationFile(&info, out.c_str()), "generating the configuration file " + out);
}

// The configuration to program: a JSON description is generated into `temp`; an image is
// checked first, so that a damaged file never reaches the flash.
std::string ConfigImageFor(const std::string& path, const TempDir& temp, bool force) {
    RequireFile(path, "configuration file");
    if (LooksLikeJson(path)) {
        std::string image = temp.file("config.bin");
        GenerateImage(LoadDescriptionFile(path), image);
        return image;
    }
    RomReport report = DecodeConfigImage(ReadFileBytes(path));
    if (!report.valid && !force) {
        std::string problems;
        for (const auto& problem : report.problems) problems += "\n  " + problem;
        throw ToolError(19, path + " is not a valid configuration image:" + problems,
                        "`loric config show " + path + "` shows it decoded; --force programs it anyway.");
    }
    return path;
}

std::string DefaultBackupName() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char name[64];
    std::strftime(name, sizeof name, "config-backup-%Y%m%d-%H%M%S.bin", &local);
    return name;
}

// Saves the device's configuration before it is replaced. Returns the file, or "" when the
// device holds none.
std::string BackupConfiguration(const Globals& globals, uint16_t node, const FLASH_DEVICE& chip,
                                const std::string& requested, Progress& progress) {
    std::string path = requested.empty() ? DefaultBackupName() : requested;
    uint32_t status = DownloadConfigurationFile(node, const_cast<FLASH_DEVICE*>(&chip), path.c_str(), progress.window());
    progress.Finish();
    if (status == 17) {
        std::error_code error;
        std::filesystem::remove(path, error);
        Say(globals, "The device holds no configuration yet: nothing to back up.");
        return {};
    }
    if (status != 0) {
        std::string text = StatusText(status);
        throw ToolError(static_cast<int>(status),
                        "saving the device's configuration to " + path + " failed: error " +
                            std::to_string(status) + ": " + text,
                        StatusHint(status) + " To go on without a backup, add --no-backup.");
    }
    Say(globals, "Saved the device's configuration to " + path + " (put it back with `loric config upload " + path + "`).");
    return path;
}

void VerifyRegion(const Globals& globals, uint16_t node, uint32_t address, const std::vector<uint8_t>& expected,
                  const std::string& what, Progress& progress) {
    std::vector<uint8_t> actual =
        ReadFlash(node, address, static_cast<uint32_t>(expected.size()), &progress, "Reading back " + what + "...");
    Comparison comparison = Compare(expected, actual);
    if (!comparison.same) {
        throw ToolError(kExitVerifyFailed, "verification of the " + what + " failed: " + Describe(comparison, address),
                        "Program it again; if it keeps failing, check that --chip names the flash chip on the board.");
    }
    Say(globals, "Verified the " + what + ": " + std::to_string(expected.size()) + " bytes at " + Hex(address, 6) + " match.");
}

// ---- Commands ---------------------------------------------------------------------------------

int CmdNodes(const Globals& globals, bool blankOnly) {
    Session session(globals.target);
    if (!blankOnly) {
        NODE_INFO records[64] = {};
        uint32_t count = 0;
        Check(GetNodeInfo(&count, records, sizeof records), "reading the node list");
        if (count == 0) {
            Say(globals, "The driver lists no node (a blank device answers only at its flash port).");
        } else {
            std::printf("%-3s %-8s %-5s %-5s %s\n", "#", "node ID", "bus", "node", "identifier");
            for (uint32_t i = 0; i < count && i < 64; ++i) {
                const NODE_INFO& r = records[i];
                uint16_t id = static_cast<uint16_t>((r.busNumber << 6) | (r.nodeNumber & 0x3F));
                std::printf("%-3u %-8s %-5s %-5u %08X-%08X\n", i, NodeText(id).c_str(), Hex(r.busNumber, 3).c_str(),
                            r.nodeNumber, r.idHigh, r.idLow);
            }
        }
    }
    DeviceLocation device = FindDevice(blankOnly, std::nullopt);
    std::string state = "running its firmware";
    if (device.blank) {
        uint32_t value = 0;
        state = (ReadQuadlet(device.node, kRegisterHigh, kFlashUploadCtrl, &value) == 0 && value == kUploaderReady)
                    ? "running its bootstrap loader"
                    : "blank (answers at its flash port)";
    }
    std::printf("Device: node %s, %s\n", NodeText(device.node).c_str(), state.c_str());
    return 0;
}

struct RegisterName {
    const char* name;
    uint32_t offset;
};
constexpr RegisterName kRegisters[] = {
    {"FLASH_PORT_CTRL", 0xF0080000},       {"FLASH_ERASE_CTRL", 0xF0090000},
    {"FLASH_UPLOAD_CHECKSUM", 0xF0090004}, {"FLASH_UPLOAD_CTRL", 0xF0090008},
    {"CSR_MODE_CTRL", 0xF0090010},         {"FLASH_READ_CTRL", 0xF0090014},
    {"CSR_UPLOAD_COMMAND_SET_CTRL", 0xF009001C}, {"CONFIG_ROM", 0xF0000400},
};

bool SameName(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != b[i]) return false;
    }
    return i == a.size() && b[i] == '\0';
}

void ParseRegister(const std::string& text, uint32_t& high, uint32_t& low) {
    for (const auto& reg : kRegisters) {
        if (SameName(text, reg.name)) {
            high = 0xFFFF;
            low = reg.offset;
            return;
        }
    }
    uint64_t address = ParseNumber(text, "register");
    if (address > 0xFFFFFFFFFFFFull) throw ToolError(kExitUsage, "register: an address has 48 bits at most");
    if (address > 0xFFFFFFFFull) high = static_cast<uint32_t>(address >> 32);
    low = static_cast<uint32_t>(address);
}

uint16_t RegisterNode(const Globals& globals) {
    if (auto node = NodeOption(globals)) return *node;
    return FindDevice(false, std::nullopt).node;
}

int CmdRead(const Globals& globals, const std::string& reg, int count) {
    uint32_t high = 0xFFFF, low = 0;
    ParseRegister(reg, high, low);
    Session session(globals.target);
    uint16_t node = RegisterNode(globals);
    for (int i = 0; i < count; ++i) {
        uint32_t value = 0;
        uint32_t address = low + (reg == "FLASH_READ_CTRL" ? 0u : 4u * i);
        Check(ReadQuadlet(node, high, address, &value),
              "reading " + Hex(high, 4) + "_" + Hex(address).substr(2) + " of node " + NodeText(node));
        if (count == 1) {
            std::printf("%s\n", Hex(value).c_str());
        } else {
            std::printf("%04X_%08X  %s\n", high, address, Hex(value).c_str());
        }
    }
    return 0;
}

int CmdWrite(const Globals& globals, const std::string& reg, const std::string& valueText) {
    uint32_t high = 0xFFFF, low = 0;
    ParseRegister(reg, high, low);
    uint32_t value = ParseU32(valueText, "value");
    Session session(globals.target);
    uint16_t node = RegisterNode(globals);
    Check(WriteQuadlet(node, high, low, value),
          "writing " + Hex(high, 4) + "_" + Hex(low).substr(2) + " of node " + NodeText(node));
    Say(globals, "Wrote " + Hex(value) + " to " + Hex(high, 4) + "_" + Hex(low).substr(2) + " of node " + NodeText(node) + ".");
    return 0;
}

// Opens the library for a job that only reads files: the target if it opens, otherwise a
// simulated device of its own when this build has one.
std::unique_ptr<Session> FileSession(const Globals& globals) {
    try {
        return std::make_unique<Session>(globals.target);
    } catch (const ToolError&) {
        if (globals.target.sim || !globals.target.comPort.empty() || !SimHost::Available()) throw;
    }
    TargetOptions options = globals.target;
    options.sim = true;
    options.simEphemeral = true;
    return std::make_unique<Session>(options);
}

int CmdChips(const Globals& globals, const std::string& name) {
    auto session = FileSession(globals);
    ChipTable table = session->LoadChips(globals.flashData.empty() ? DefaultFlashDataFile() : globals.flashData);
    if (!name.empty()) {
        const FLASH_DEVICE& chip = FindChip(table, name);
        std::printf("%s (%s): %s, %u-bit bus, command set %d, %d us per byte through the flash port\n",
                    chip.deviceName, chip.groupName, chip.sizeText, chip.busWidth, chip.commandSetIndex & 0xFF,
                    chip.byteProgramDelay);
        std::printf("configuration sector at word 0x%06X (byte 0x%06X), %u bytes for firmware below it\n",
                    chip.configSector ? chip.configSector->start : 0, chip.configByteAddress, chip.firmwareSpace);
        std::printf("%-4s %-10s %-10s %-8s %s\n", "#", "start", "end", "words", "bytes");
        uint32_t bytesPerWord = chip.busWidth / 8 ? chip.busWidth / 8 : 1;
        for (uint32_t i = 0; i < chip.sectorCount && i < LORIC_MAX_SECTORS; ++i) {
            const FLASH_SECTOR& s = chip.sectors[i];
            std::printf("%-4u %-10s %-10s %-8u %u%s\n", i, Hex(s.start, 6).c_str(), Hex(s.end, 6).c_str(), s.size,
                        s.size * bytesPerWord, &s == chip.configSector ? "  configuration" : "");
        }
        return 0;
    }
    std::printf("%s: %zu chips\n", table.file.c_str(), table.devices.size());
    std::printf("%-16s %-24s %-22s %-4s %-8s %-10s %s\n", "name", "group", "size", "bus", "sectors", "config at",
                "firmware space");
    for (const auto& chip : table.devices) {
        std::printf("%-16s %-24s %-22s %-4u %-8u %-10s %u\n", chip.deviceName, chip.groupName, chip.sizeText,
                    chip.busWidth, chip.sectorCount, Hex(chip.configByteAddress, 6).c_str(), chip.firmwareSpace);
    }
    return 0;
}

int CmdProgramLoader(const Globals& globals, const std::string& loader, std::optional<uint32_t> eraseDelay,
                     bool assumeBlank) {
    RequireFile(loader, "loader image");
    if (eraseDelay && *eraseDelay > 30) throw ToolError(5, "--erase-delay: at most 30 seconds");
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Say(globals, "Device at node " + NodeText(device.node) + (device.blank ? " (at its flash port)" : "") + ", flash " +
                     chip.device->deviceName + ".");
    Progress progress(StyleOf(globals), stderr);
    progress.ExpectBytes("Uploading bootstrap loader...", FileSize(loader));
    uint16_t node = device.node;
    // A device that answers at its flash port is not necessarily erased (a cancelled or failed
    // job leaves data behind, and programming can only clear bits): the loader's sector is
    // erased first unless the user knows the flash is blank.
    uint32_t status = ProgramLoader({&node, const_cast<FLASH_DEVICE*>(chip.device), loader, assumeBlank, eraseDelay,
                                     !session.simChipName().empty(), progress.window(), Progress::callback(),
                                     [&](const std::string& line) { Say(globals, line); }});
    progress.Finish();
    Check(status, "programming the bootstrap loader");
    Say(globals, "Bootstrap loader programmed; it runs at node " + NodeText(node) + ".");
    return 0;
}

struct ProgramOptions {
    std::string firmware;
    std::string config;
    std::string loader;
    std::string backup;
    bool noBackup = false;
    bool verify = false;
    bool force = false;
    std::optional<uint32_t> eraseDelay;  // default: the chip family's erase time
};

int CmdProgram(const Globals& globals, const ProgramOptions& options) {
    RequireFile(options.firmware, "firmware image");
    if (!options.loader.empty()) RequireFile(options.loader, "loader image");
    TempDir temp;
    std::string configImage = ConfigImageFor(options.config, temp, options.force);

    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    uint64_t firmwareSize = FileSize(options.firmware);
    if (firmwareSize > chip.device->firmwareSpace) {
        throw ToolError(24, "the firmware image (" + std::to_string(firmwareSize) + " bytes) does not fit below the "
                            "configuration sector of " + chip.device->deviceName + " (" +
                            std::to_string(chip.device->firmwareSpace) + " bytes)",
                        "Check --chip and the firmware file.");
    }
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Say(globals, "Device at node " + NodeText(device.node) + (device.blank ? " (at its flash port)" : "") + ", flash " +
                     chip.device->deviceName + ".");
    Progress progress(StyleOf(globals), stderr);
    if (!device.blank && !options.noBackup) {
        BackupConfiguration(globals, device.node, *chip.device, options.backup, progress);
    }
    uint16_t node = device.node;
    if (device.blank || !options.loader.empty()) {
        if (options.loader.empty()) {
            throw ToolError(5, "the device is blank: it needs its bootstrap loader first",
                            "Add --loader FILE to program the loader before the firmware.");
        }
        progress.ExpectBytes("Uploading bootstrap loader...", FileSize(options.loader));
        uint32_t status = ProgramLoader({&node, flash, options.loader, false, options.eraseDelay,
                                         !session.simChipName().empty(), progress.window(), Progress::callback(),
                                         [&](const std::string& line) { Say(globals, line); }});
        progress.Finish();
        Check(status, "programming the bootstrap loader");
        Say(globals, "Bootstrap loader programmed; it runs at node " + NodeText(node) + ".");
    }
    progress.ExpectBytes("Uploading firmware...", firmwareSize);
    progress.ExpectBytes("Uploading configuration...", FileSize(configImage));
    uint32_t status = UploadFirmwareAndConfig(node, flash, options.firmware.c_str(), configImage.c_str(),
                                              progress.window(), Progress::callback());
    progress.Finish();
    Check(status, "programming the firmware and configuration");
    Say(globals, "Firmware and configuration programmed; the device restarts.");
    DeviceLocation running = FindRunningDevice(20);
    Say(globals, "Device runs its firmware at node " + NodeText(running.node) + ".");
    if (options.verify) {
        VerifyRegion(globals, running.node, 0,
                     ProgrammedFirmwareImage(ReadFileBytes(options.firmware), chip.device->configByteAddress), "firmware",
                     progress);
        VerifyRegion(globals, running.node, chip.device->configByteAddress, ReadFileBytes(configImage), "configuration",
                     progress);
    }
    return 0;
}

int CmdErase(const Globals& globals, const std::string& sectorText, const std::string& addressText, bool all,
             bool flashPort) {
    int chosen = (!sectorText.empty()) + (!addressText.empty()) + (all ? 1 : 0);
    if (chosen != 1) throw ToolError(kExitUsage, "erase: give exactly one of --sector N, --address A or --all");
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    uint32_t address = kEraseAll;
    std::string what = "the whole flash";
    if (!sectorText.empty()) {
        uint32_t index = ParseU32(sectorText, "--sector");
        if (index >= chip.device->sectorCount) {
            throw ToolError(5, std::string("--sector: ") + chip.device->deviceName + " has sectors 0 to " +
                                   std::to_string(chip.device->sectorCount - 1),
                            "`loric chips " + std::string(chip.device->deviceName) + "` lists them.");
        }
        address = chip.device->sectors[index].start;
        what = "sector " + std::to_string(index) + " (word " + Hex(address, 6) + ")";
    } else if (!addressText.empty()) {
        address = ParseU32(addressText, "--address");
        bool found = false;
        for (uint32_t i = 0; i < chip.device->sectorCount; ++i) {
            if (chip.device->sectors[i].start == address) {
                found = true;
                what = "sector " + std::to_string(i) + " (word " + Hex(address, 6) + ")";
            }
        }
        if (!found) {
            throw ToolError(5, "--address: " + Hex(address, 6) + " is not the start of a sector of " +
                                   chip.device->deviceName,
                            "Sector addresses count words; `loric chips " + std::string(chip.device->deviceName) +
                                "` lists them.");
        }
    }
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.blank && !flashPort) {
        flashPort = true;
        Say(globals, "The device is blank: erasing through its flash port.");
    }
    Progress progress(StyleOf(globals), stderr);
    if (flashPort) {
        Check(SetFlashDevice(flash), "selecting the flash chip");
    } else {
        progress.SetStep("Switching to upload mode...");
        Check(SwitchDeviceToUploadMode(device.node, flash), "switching the device to upload mode");
    }
    progress.SetStep("Erasing " + what + "...");
    uint32_t status = EraseFlashSector(device.node, flash, address, flashPort ? 1 : 0);
    progress.Finish();
    Check(status, "erasing " + what);
    Say(globals, "Erased " + what + "." +
                     (flashPort ? "" : " The device stays in upload mode until it is reset or power-cycled."));
    return 0;
}

int CmdTimestamp(const Globals& globals) {
    Session session(globals.target);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.blank) {
        throw ToolError(16, "the device is blank: it has no firmware time stamp", "Program firmware with `loric program`.");
    }
    char time[64] = {};
    char date[64] = {};
    Check(DownloadTimestamp(device.node, time, date), "reading the firmware time stamp");
    std::printf("Firmware time stamp: %s %s\n", time, date);
    return 0;
}

int CmdDump(const Globals& globals, const std::string& addressText, const std::string& lengthText,
            const std::string& out) {
    uint32_t address = ParseU32(addressText, "address");
    uint32_t length = ParseU32(lengthText, "length");
    Session session(globals.target);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (!globals.chip.empty() || session.simChipName().size()) {
        ChipChoice chip = SelectChip(session, globals);
        uint64_t size = chip.device->totalBits / 8;
        if (static_cast<uint64_t>(address) + length > size) {
            throw ToolError(5, "the range " + Hex(address, 6) + " + " + std::to_string(length) + " bytes runs past the end of " +
                                   chip.device->deviceName + " (" + std::to_string(size) + " bytes)");
        }
    }
    Progress progress(out.empty() ? ProgressStyle::None : StyleOf(globals), stderr);
    std::vector<uint8_t> bytes = ReadFlash(device.node, address, length, &progress);
    if (out.empty()) {
        std::fputs(HexDump(bytes, address).c_str(), stdout);
    } else {
        WriteFileBytes(out, bytes);
        Say(globals, "Wrote " + std::to_string(bytes.size()) + " bytes of flash from " + Hex(address, 6) + " to " + out + ".");
    }
    return 0;
}

int CmdVerify(const Globals& globals, const std::string& file, const std::string& addressText, bool firmware) {
    std::vector<uint8_t> expected = ReadFileBytes(file);
    if (expected.empty()) throw ToolError(7, "the file " + file + " is empty");
    uint32_t address = addressText.empty() ? 0 : ParseU32(addressText, "--address");
    Session session(globals.target);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (firmware) {
        ChipChoice chip = SelectChip(session, globals);
        expected = ProgrammedFirmwareImage(std::move(expected), chip.device->configByteAddress);
    }
    Progress progress(StyleOf(globals), stderr);
    VerifyRegion(globals, device.node, address, expected, "flash", progress);
    return 0;
}

// config ...

int CmdConfigGenerate(const Globals& globals, const std::string& description, const std::string& out) {
    GenerateImage(LoadDescriptionFile(description), out);
    Say(globals, "Wrote the configuration file " + out + " (" + std::to_string(FileSize(out)) + " bytes).");
    return 0;
}

nlohmann::ordered_json ImportToJson(const std::string& image) {
    CONFIG_FILE_INFO info;
    std::memset(&info, 0, sizeof info);
    Check(ImportConfigurationFile(&info, image.c_str()), "importing the configuration file " + image);
    // So that generate -> import -> generate gives the same file: the import leaves the
    // firmware revision out, though the unit directory holds it; texts come back padded with
    // spaces to whole quadlets; the top byte of the flags is the data page type, which comes
    // from datapage.dat rather than from the description.
    std::vector<uint8_t> bytes = ReadFileBytes(image);
    const size_t q15 = 104 + 15 * 4;
    if (bytes.size() >= q15 + 4 && bytes[q15 + 3] == 0x3C) {
        info.firmware_revision = bytes[q15] | (bytes[q15 + 1] << 8) | (bytes[q15 + 2] << 16);
    }
    for (char* text : {info.vendor_text, info.hw_version_text, info.lun0_model_text, info.lun1_model_text}) {
        size_t length = strnlen(text, 60);
        while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
    }
    info.config_flags &= 0x00FFFFFF;
    return DescribeConfig(info);
}

void WriteJson(const nlohmann::ordered_json& description, const std::string& out) {
    std::string text = description.dump(2) + "\n";
    if (out.empty() || out == "-") {
        std::fputs(text.c_str(), stdout);
        return;
    }
    WriteFileBytes(out, std::vector<uint8_t>(text.begin(), text.end()));
}

int CmdConfigImport(const Globals& globals, const std::string& image, const std::string& out) {
    RequireFile(image, "configuration file");
    WriteJson(ImportToJson(image), out);
    if (!out.empty() && out != "-") Say(globals, "Wrote the configuration description " + out + ".");
    return 0;
}

int ShowImage(const std::string& path, const std::string& title, bool json) {
    if (json) {
        WriteJson(ImportToJson(path), "");
        return 0;
    }
    RomReport report = DecodeConfigImage(ReadFileBytes(path));
    std::printf("%s\n%s", title.c_str(), report.text.c_str());
    return report.crcFailed ? 19 : (report.valid ? 0 : 19);
}

int CmdConfigShow(const Globals& globals, const std::string& file, bool json) {
    if (!file.empty()) {
        RequireFile(file, "configuration file");
        return ShowImage(file, "Configuration file " + file, json);
    }
    TempDir temp;
    std::string image = temp.file("device-config.bin");
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Check(DownloadConfigurationFile(device.node, const_cast<FLASH_DEVICE*>(chip.device), image.c_str(), nullptr),
          "reading the configuration of the device at node " + NodeText(device.node));
    return ShowImage(image, "Configuration of the device at node " + NodeText(device.node), json);
}

int CmdConfigDownload(const Globals& globals, const std::string& out) {
    TempDir temp;
    bool json = out.size() > 5 && out.compare(out.size() - 5, 5, ".json") == 0;
    std::string image = json ? temp.file("device-config.bin") : out;
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Progress progress(StyleOf(globals), stderr);
    uint32_t status = DownloadConfigurationFile(device.node, const_cast<FLASH_DEVICE*>(chip.device), image.c_str(),
                                                progress.window());
    progress.Finish();
    Check(status, "reading the configuration of the device at node " + NodeText(device.node));
    if (json) WriteJson(ImportToJson(image), out);
    Say(globals, "Saved the device's configuration to " + out + ".");
    return 0;
}

struct UploadOptions {
    std::string file;
    std::string backup;
    bool noBackup = false;
    bool noErase = false;
    bool verify = false;
    bool force = false;
};

int CmdConfigUpload(const Globals& globals, const UploadOptions& options) {
    TempDir temp;
    std::string image = ConfigImageFor(options.file, temp, options.force);
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.blank) {
        throw ToolError(14, "the device is blank: a configuration alone cannot be programmed",
                        "Program the loader, firmware and configuration with `loric program`.");
    }
    Progress progress(StyleOf(globals), stderr);
    if (!options.noBackup) BackupConfiguration(globals, device.node, *chip.device, options.backup, progress);
    progress.ExpectBytes("Uploading configuration...", FileSize(image));
    uint32_t status = UploadConfigurationFile(device.node, flash, image.c_str(), options.noErase ? 0 : 1,
                                              progress.window(), Progress::callback());
    progress.Finish();
    Check(status, "programming the configuration");
    Say(globals, "Configuration programmed; the device restarts.");
    DeviceLocation running = FindRunningDevice(20);
    if (options.verify) {
        VerifyRegion(globals, running.node, chip.device->configByteAddress, ReadFileBytes(image), "configuration",
                     progress);
    }
    return 0;
}

// ---- Command line -----------------------------------------------------------------------------

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
    std::optional<uint32_t> eraseDelay;
    bool assumeBlank = false;
    auto* programLoader = app.add_subcommand("program-loader", "Program the bootstrap loader through the flash port");
    programLoader->add_option("loader", loader, "Loader image")->required();
    programLoader->add_option("--erase-delay", eraseDelay, "Seconds to wait after the erase (0 to 30; default: the chip family's erase time)");
    programLoader->add_flag("--blank", assumeBlank, "The flash is known to be erased: skip the erase before the loader");
    programLoader->callback([&] { action = [&] { return CmdProgramLoader(globals, loader, eraseDelay, assumeBlank); }; });

    // program
    ProgramOptions program;
    auto* programCmd = app.add_subcommand("program", "Program firmware and configuration (and the loader of a blank device)");
    programCmd->add_option("firmware", program.firmware, "Firmware image")->required();
    programCmd->add_option("config", program.config, "Configuration: a JSON description or a configuration file")->required();
    programCmd->add_option("--loader", program.loader, "Program this bootstrap loader first (needed on a blank device)");
    programCmd->add_option("--erase-delay", program.eraseDelay, "Seconds to wait after the loader's erase (0 to 30; default: the chip family's erase time)");
    programCmd->add_flag("--verify", program.verify, "Read the firmware and configuration back and compare");
    programCmd->add_option("--backup", program.backup, "Save the device's configuration here first (default: config-backup-<time>.bin)");
    programCmd->add_flag("--no-backup", program.noBackup, "Do not save the device's configuration first");
    programCmd->add_flag("--force", program.force, "Program a configuration file even if it does not decode");
    programCmd->callback([&] { action = [&] { return CmdProgram(globals, program); }; });

    // erase
    std::string sector, address;
    bool all = false, flashPort = false;
    auto* erase = app.add_subcommand("erase", "Erase one sector or the whole flash");
    erase->add_option("--sector", sector, "Sector number (`loric chips NAME` lists them)");
    erase->add_option("--address", address, "Sector by its start address, in words");
    erase->add_flag("--all", all, "Erase the whole flash");
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
