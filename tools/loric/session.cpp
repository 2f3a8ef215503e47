#include "session.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "errors.h"
#include "flash_read.h"
#include "sim_host.h"
#include "term.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <unistd.h>
#endif

namespace tool {
namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string ExecutableDir() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length == MAX_PATH) return {};
    return std::filesystem::path(path).parent_path().string();
#elif defined(__linux__)
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.parent_path().string();
#else
    return {};
#endif
}

constexpr const char* kShippedFlashData = "flash_devices.dat";

}  // namespace

uint32_t ParseTraceFlags(const std::string& text) {
    if (text.empty()) return 0;
    if (std::isdigit(static_cast<unsigned char>(text[0]))) {
        char* end = nullptr;
        unsigned long value = std::strtoul(text.c_str(), &end, 0);
        if (*end != '\0' || value > 0xFFFFFFFFul) {
            throw ToolError(kExitUsage, "--trace: \"" + text + "\" is not a number or a list of trace names");
        }
        return static_cast<uint32_t>(value);
    }
    static const struct {
        const char* name;
        uint32_t bits;
    } kNames[] = {{"error", TRACE_ERROR},        {"warning", TRACE_WARNING},
                  {"api", TRACE_API},            {"api-verbose", TRACE_API_VERBOSE},
                  {"internal", TRACE_INTERNAL},  {"verbose", TRACE_VERBOSE},
                  {"node0", TRACE_SELECT_NODE_0}, {"all", 0x3F}};
    uint32_t flags = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string name = Lower(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        bool known = false;
        for (const auto& entry : kNames) {
            if (name == entry.name) {
                flags |= entry.bits;
                known = true;
            }
        }
        if (!known) {
            throw ToolError(kExitUsage, "--trace: unknown trace class \"" + name + "\"",
                            "Use a number such as 0x3F, or names joined by commas: error, warning, api, "
                            "api-verbose, internal, verbose, node0, all.");
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return flags;
}

std::string DefaultFlashDataFile() {
    if (const char* fromEnvironment = std::getenv("LORIC_FLASH_DATA")) {
        if (*fromEnvironment) return fromEnvironment;
    }
    // Beside the program, or in share/loric of the tree it is installed in. The build puts a
    // copy where the program being built finds it the same way.
    std::vector<std::filesystem::path> candidates;
    std::string exeDir = ExecutableDir();
    if (!exeDir.empty()) {
        candidates.push_back(std::filesystem::path(exeDir) / kShippedFlashData);
        candidates.push_back(std::filesystem::path(exeDir) / ".." / "share" / "loric" / kShippedFlashData);
    } else {
        candidates.push_back(kShippedFlashData);
    }
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate.lexically_normal().string();
    }
    return candidates.back().string();
}

Session::Session(const TargetOptions& options) : options_(options) {
    uint32_t status;
    if (options.sim) {
        SimHost::Options simOptions;
        simOptions.stateDir = options.simState;
        simOptions.chip = options.simChip;
        simOptions.flashDataFile = DefaultFlashDataFile();
        simOptions.faults = options.faults;
        simOptions.ephemeral = options.simEphemeral;
        sim_ = SimHost::Start(simOptions);
        status = OpenLORIC(options.traceFlags);
    } else if (!options.comPort.empty()) {
        status = OpenComAPI(options.comPort.c_str(), options.traceFlags);
        if (status != 0) {
            // The library's text for this status speaks of the 1394 driver; say what was opened.
            std::string why = "the port does not open or the adapter does not answer";
#if !defined(_WIN32)
            std::error_code error;
            if (!std::filesystem::exists(options.comPort, error)) why = "there is no such port";
#endif
            throw ToolError(static_cast<int>(status),
                            "cannot open the serial adapter on " + options.comPort + ": " + why,
                            "Check the port name (on Linux /dev/ttyS0, /dev/ttyUSB0...; on Windows COM1, COM3...), "
                            "that no other program uses it, and that the adapter is powered and connected to the "
                            "device.");
        }
    } else {
        status = OpenLORIC(options.traceFlags);
    }
    if (status != 0) {
        throw ToolError(static_cast<int>(status),
                        "cannot open the 1394 driver: error " + std::to_string(status) + ": " + StatusText(status),
                        StatusHint(status));
    }
    open_ = true;
}

Session::~Session() {
    if (open_) CloseLORIC();
    sim_.reset();
}

std::string Session::simChipName() const { return sim_ ? sim_->chipName() : std::string(); }

ChipTable Session::LoadChips(const std::string& file) {
    ChipTable table;
    table.file = file;
    {
        std::ifstream probe(file, std::ios::binary);
        if (!probe) {
            throw ToolError(6, "cannot open the flash data file " + file,
                            "Give the file with --flash-data FILE, or set LORIC_FLASH_DATA.");
        }
    }
    table.devices.resize(LORIC_MAX_FLASH_DEVICES);
    uint32_t count = 0;
    uint32_t status = LoadFlashData(file.c_str(), table.devices.data(), &count);
    if (status != 0) {
        throw ToolError(static_cast<int>(status),
                        "cannot load the flash data file " + file + ": error " + std::to_string(status) +
                            ": " + StatusText(status) +
                            (count ? " (after " + std::to_string(count) + " good chips)" : std::string()),
                        StatusHint(status));
    }
    // Shrinking keeps the elements in place, so the records' configSector pointers stay good.
    table.devices.resize(count);
    return table;
}

const FLASH_DEVICE& FindChip(const ChipTable& table, const std::string& name) {
    std::string wanted = Lower(name);
    std::string group;
    auto slash = wanted.find('/');
    if (slash != std::string::npos) {
        group = wanted.substr(0, slash);
        wanted = wanted.substr(slash + 1);
    }
    const FLASH_DEVICE* found = nullptr;
    int matches = 0;
    for (const auto& device : table.devices) {
        if (Lower(device.deviceName) == wanted && (group.empty() || Lower(device.groupName) == group)) {
            if (!found) found = &device;
            ++matches;
        }
    }
    if (matches > 1 && group.empty()) {
        throw ToolError(5, "the chip name " + name + " appears in more than one group of " + table.file,
                        "Name it as GROUP/NAME; `loric chips` lists them.");
    }
    if (found) return *found;
    std::string similar;
    for (const auto& device : table.devices) {
        std::string candidate = Lower(device.deviceName);
        if (!wanted.empty() && (candidate.find(wanted) != std::string::npos ||
                                wanted.find(candidate.substr(0, std::min<size_t>(4, candidate.size()))) == 0)) {
            similar += std::string(similar.empty() ? "" : ", ") + device.deviceName;
        }
    }
    throw ToolError(5, "there is no flash chip named " + name + " in " + table.file,
                    (similar.empty() ? std::string() : "Similar names: " + similar + ". ") +
                        "`loric chips` lists the chips of the file.");
}

DeviceLocation FindDevice(bool blankOnly, std::optional<uint16_t> expected) {
    uint16_t node = 0;
    uint32_t blank = blankOnly ? 1 : 0;
    uint32_t status = FindNode(&node, &blank);
    if (status != 0) {
        // Say what is on the bus, so that the user sees why.
        uint32_t count = 0;
        NODE_INFO records[16] = {};
        std::string hint;
        if (!blankOnly && GetNodeInfo(&count, records, sizeof records) == 0 && count > 1) {
            hint = std::to_string(count) + " nodes answer on the bus; programming needs exactly one device. "
                   "Disconnect the others (`loric nodes` lists them).";
        } else {
            hint = StatusHint(status);
        }
        throw ToolError(static_cast<int>(status), "no device found: error " + std::to_string(status) + ": " +
                                                      StatusText(status), hint);
    }
    if (expected && *expected != node) {
        char text[96];
        std::snprintf(text, sizeof text, "there is no device at node 0x%04X; the device found is at node 0x%04X",
                      *expected, node);
        throw ToolError(11, text, "Leave out --node, or give the node that `loric nodes` shows.");
    }
    DeviceLocation location{node, blank != 0, DeviceState::Firmware};
    if (location.blank) {
        uint32_t value = 0;
        location.state = ReadQuadlet(node, kRegisterHigh, kFlashUploadCtrl, &value) == 0 && value == kUploaderReady
                             ? DeviceState::Loader
                             : DeviceState::FlashPort;
    }
    return location;
}

std::string StateText(DeviceState state) {
    switch (state) {
    case DeviceState::Firmware:
        return "running its firmware";
    case DeviceState::Loader:
        return "running its bootstrap loader";
    case DeviceState::FlashPort:
        return "blank (answers at its flash port)";
    }
    return {};
}

DeviceLocation FindRunningDevice(int attempts) {
    for (int attempt = 1;; ++attempt) {
        uint16_t node = 0;
        uint32_t blank = 0;
        if (FindNode(&node, &blank) == 0 && blank == 0) return {node, false};
        if (attempt >= attempts) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    throw ToolError(12, "the device did not come back with its firmware running after the reset",
                    "Power-cycle the device and check it with `loric nodes`.");
}

}  // namespace tool
