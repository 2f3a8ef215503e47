#include "chips.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>

#include "errors.h"
#include "text.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__linux__)
#include <unistd.h>
#endif

namespace tool {
namespace {

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

size_t FindChipIndex(const ChipTable& table, const std::string& name);

// The lines of a text file as the library reads them: ended by LF, CR or CR LF, at most 63
// characters each. Empty when the file is larger than the library reads (it refuses it).
std::vector<std::string> FileLines(const std::string& file) {
    constexpr size_t kMostBytes = 16u << 20, kLineChars = 63;
    std::ifstream in(file, std::ios::binary);
    std::string text(kMostBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    std::vector<std::string> lines;
    if (text.size() > kMostBytes) return lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n' || c == '\r') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines.push_back(line);
            line.clear();
        } else if (line.size() < kLineChars) {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

bool Matches(const std::string& line, const char* pattern) {
    return std::regex_match(line, std::regex(pattern));
}

// The records' fields the library reads loosely (a number followed by anything, a flags line
// that merely contains a digit): each is checked whole, so that a mistyped record is refused
// here, by its line, instead of failing at the device. The magic line, the group names and the
// rest stay the library's to judge.
void CheckRecords(const std::string& file) {
    const std::vector<std::string> lines = FileLines(file);
    size_t next = 0;
    auto at_end = [&] { return next >= lines.size(); };
    auto take = [&]() -> std::string { return at_end() ? std::string() : lines[next++]; };
    if (take() != "FLASH_DATA_FILE_V3") return;
    for (int names = 0; names < 32 && !take().empty(); ++names) {
    }
    for (;;) {
        while (!at_end() && lines[next].empty()) ++next;
        if (at_end()) return;
        const std::string header = take();
        const std::string name =
            header.substr(header.find(',') == std::string::npos ? 0 : header.find(',') + 1);
        auto refuse = [&](const std::string& what) {
            throw ToolError(LORIC_ERR_FLASH_DATA_FILE,
                            "the flash data file " + file + ", line " + std::to_string(next) +
                                " (chip " + name + "): " + what,
                            "Correct the record, or give another file with --flash-data FILE.");
        };
        const std::string commandSet = take();
        if (!Matches(commandSet, "[0-6]"))
            refuse("command set " + commandSet + " is not one of 0 to 6");
        take();  // the byte program delay
        const std::string flags = take();
        if (!Matches(flags, "[BT]?(8|16)")) {
            refuse("bus width " + flags +
                   " is not 8 or 16 (with B or T before it for a bottom or top boot block)");
        }
        for (std::string line = take(); !line.empty(); line = take()) {
            if (line[0] == 'X' || line[0] == 'x') {
                if (!Matches(line, "[Xx][0-9]+"))
                    refuse("repeat line " + line + " is not X and a count");
                line = take();
            }
            if (!Matches(line, "[Kk]?[0-9]+")) {
                refuse("sector size " + line +
                       " is neither K and a number of 1024 words nor a number of words");
            }
        }
    }
}

}  // namespace

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
        candidates.push_back(std::filesystem::path(exeDir) / ".." / "share" / "loric" /
                             kShippedFlashData);
    } else {
        candidates.push_back(kShippedFlashData);
    }
    for (const auto& candidate : candidates) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error))
            return candidate.lexically_normal().string();
    }
    return candidates.back().string();
}

ChipTable LoadChipTable(const std::string& file) {
    ChipTable table;
    table.file = file;
    {
        std::ifstream probe(file, std::ios::binary);
        if (!probe) {
            throw ToolError(LORIC_ERR_FILE_OPEN, "cannot open the flash data file " + file,
                            "Give the file with --flash-data FILE, or set LORIC_FLASH_DATA.");
        }
    }
    CheckRecords(file);
    table.devices.resize(LORIC_MAX_FLASH_DEVICES);
    uint32_t count = 0;
    uint32_t status = LoadFlashData(file.c_str(), table.devices.data(), &count);
    if (status != 0) {
        throw ToolError(
            static_cast<int>(status),
            "cannot load the flash data file " + file + ": error " + std::to_string(status) + ": " +
                StatusText(status) +
                (count ? " (after " + std::to_string(count) + " good chips)" : std::string()),
            StatusHint(status));
    }
    // Shrinking keeps the elements in place, so the records' configSector pointers stay good.
    table.devices.resize(count);
    return table;
}

namespace {

size_t FindChipIndex(const ChipTable& table, const std::string& name) {
    std::string wanted = Lower(name);
    std::string group;
    auto slash = wanted.find('/');
    if (slash != std::string::npos) {
        group = wanted.substr(0, slash);
        wanted = wanted.substr(slash + 1);
    }
    size_t found = table.devices.size();
    int matches = 0;
    for (size_t i = 0; i < table.devices.size(); ++i) {
        const FLASH_DEVICE& device = table.devices[i];
        if (Lower(device.deviceName) == wanted &&
            (group.empty() || Lower(device.groupName) == group)) {
            if (matches == 0) found = i;
            ++matches;
        }
    }
    if (matches > 1 && group.empty()) {
        throw ToolError(
            LORIC_ERR_INVALID_PARAMETER,
            "the chip name " + name + " appears in more than one group of " + table.file,
            "Name it as GROUP/NAME; `loric chips` lists them.");
    }
    if (matches > 0) return found;
    std::string similar;
    for (const auto& device : table.devices) {
        std::string candidate = Lower(device.deviceName);
        if (!wanted.empty() &&
            (candidate.find(wanted) != std::string::npos ||
             wanted.find(candidate.substr(0, std::min<size_t>(4, candidate.size()))) == 0)) {
            similar += std::string(similar.empty() ? "" : ", ") + device.deviceName;
        }
    }
    throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                    "there is no flash chip named " + name + " in " + table.file,
                    (similar.empty() ? std::string() : "Similar names: " + similar + ". ") +
                        "`loric chips` lists the chips of the file.");
}

}  // namespace

const FLASH_DEVICE& FindChip(const ChipTable& table, const std::string& name) {
    return table.devices[FindChipIndex(table, name)];
}

FLASH_DEVICE& FindChip(ChipTable& table, const std::string& name) {
    return table.devices[FindChipIndex(table, name)];
}

}  // namespace tool
