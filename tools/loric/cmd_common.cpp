// What the commands share: numbers, files, the chip in use, the user's messages, and the steps
// that several jobs take (the configuration to program, its backup, the read-back).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "backup.h"
#include "commands.h"
#include "config_json.h"
#include "checks.h"
#include "errors.h"
#include "flash_read.h"
#include "rom_decode.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace tool {
namespace {

bool LooksLikeJson(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char c;
    while (in.get(c)) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        return c == '{';
    }
    return false;
}

}  // namespace

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
    if (node > 0xFFFF) throw ToolError(5, "--node: a node ID has 16 bits, such as 0xFFC0");
    return static_cast<uint16_t>(node);
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

void RequireFile(const std::string& path, const std::string& what) { ReadInputFile(path, what); }

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

TempDir::TempDir() {
    static int counter = 0;
    std::error_code error;
    auto base = std::filesystem::temp_directory_path(error);
    if (error) base = ".";
    path_ = base / ("loric-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_, error);
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

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
        throw ToolError(19, path + " is not a valid configuration image:" + ProblemList(report.problems),
                        "`loric config show " + path + "` shows it decoded; --force programs it anyway.");
    }
    return path;
}

// Saves the device's configuration before it is replaced. Returns the file, or "" when the
// device holds none.
std::string BackupConfiguration(const Globals& globals, uint16_t node, const FLASH_DEVICE& chip,
                                const std::string& requested, Progress& progress) {
    std::string path = requested.empty() ? BackupName("config", "") : requested;
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

std::string DeviceLine(const DeviceLocation& device, const FLASH_DEVICE* chip) {
    std::string state = device.state == DeviceState::FlashPort ? "at its flash port" : StateText(device.state);
    return "Device at node " + NodeText(device.node) + " (" + state + ")" +
           (chip ? std::string(", flash ") + chip->deviceName : std::string()) + ".";
}

ToolError BlankDeviceError(const DeviceLocation& device, int code, const std::string& job) {
    return ToolError(code,
                     "the device at node " + NodeText(device.node) + " is blank: it answers only at its flash port, so " +
                         job,
                     "Program it first: `loric program FIRMWARE CONFIG --loader LOADER`.");
}

std::string ProblemList(const std::vector<std::string>& problems) {
    constexpr size_t kShown = 4;
    std::string text;
    for (size_t i = 0; i < problems.size() && i < kShown; ++i) text += "\n  " + problems[i];
    if (problems.size() > kShown) text += "\n  and " + std::to_string(problems.size() - kShown) + " more";
    return text;
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

}  // namespace tool
