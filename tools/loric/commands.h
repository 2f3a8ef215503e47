// The tool's commands, one function per command, and what they share: the global options and
// small helpers for numbers, files, the chip in use and the user's messages. main.cpp reads the
// command line into these structures and calls one function.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loric.h"
#include "progress.h"
#include "errors.h"
#include "session.h"

namespace tool {

struct Globals {
    TargetOptions target;
    std::string trace;
    std::string flashData;
    std::string chip;
    std::string node;
    std::string progress = "auto";
    bool quiet = false;
    bool yes = false;  // --yes: answers confirmation questions (scripts)
};

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

struct RestoreOptions {
    std::vector<std::string> files;  // firmware and configuration backups, in any order
    std::string loader;              // for a device that has become blank
    std::optional<uint32_t> eraseDelay;
    bool verify = false;
    bool force = false;
};

struct UploadOptions {
    std::string file;
    std::string backup;
    bool noBackup = false;
    bool noErase = false;
    bool verify = false;
    bool force = false;
};

// ---- Commands (cmd_device.cpp, cmd_program.cpp, cmd_flash.cpp, cmd_config.cpp) ---------------

int CmdNodes(const Globals& globals, bool blankOnly);
int CmdRead(const Globals& globals, const std::string& reg, int count);
int CmdWrite(const Globals& globals, const std::string& reg, const std::string& valueText);
int CmdChips(const Globals& globals, const std::string& name);

int CmdProgramLoader(const Globals& globals, const std::string& loader, std::optional<uint32_t> eraseDelay,
                     bool assumeBlank, bool force);
int CmdProgram(const Globals& globals, const ProgramOptions& options);
int CmdErase(const Globals& globals, const std::string& sectorText, const std::string& addressText, bool all,
             bool flashPort);
int CmdRestore(const Globals& globals, const RestoreOptions& options);

int CmdTimestamp(const Globals& globals);
int CmdDump(const Globals& globals, const std::string& addressText, const std::string& lengthText,
            const std::string& out);
int CmdVerify(const Globals& globals, const std::string& file, const std::string& addressText, bool firmware);

int CmdConfigGenerate(const Globals& globals, const std::string& description, const std::string& out);
int CmdConfigImport(const Globals& globals, const std::string& image, const std::string& out);
int CmdConfigShow(const Globals& globals, const std::string& file, bool json);
int CmdConfigDownload(const Globals& globals, const std::string& out);
int CmdConfigUpload(const Globals& globals, const UploadOptions& options);

// ---- Shared helpers (cmd_common.cpp) ------------------------------------------------------------

// A number as the user writes it: 0x1F000, 126976 or 124K (1024) or 1M; ToolError(kExitUsage)
// naming `what` otherwise.
uint64_t ParseNumber(const std::string& text, const std::string& what);
uint32_t ParseU32(const std::string& text, const std::string& what);
// --node, when given.
std::optional<uint16_t> NodeOption(const Globals& globals);

std::string Hex(uint32_t value, int digits = 8);
std::string NodeText(uint16_t node);

// ToolError(6) when the file cannot be used: missing, a folder, unreadable or empty.
void RequireFile(const std::string& path, const std::string& what);
uint64_t FileSize(const std::string& path); // 0 when unknown

ProgressStyle StyleOf(const Globals& globals);

// Prints a line for the user (suppressed by --quiet).
void Say(const Globals& globals, const std::string& line);

// A folder of its own for intermediate files, removed at the end of the command.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// The flash chip of the command: --chip, LORIC_CHIP, or the simulated device's own.
struct ChipChoice {
    ChipTable table;
    const FLASH_DEVICE* device = nullptr;
};
ChipChoice SelectChip(Session& session, const Globals& globals);

// Turns a description into a configuration image at `out`.
void GenerateImage(const nlohmann::json& description, const std::string& out);

// The configuration to program: a JSON description is generated into `temp`; an image is
// checked first, so that a damaged file never reaches the flash.
std::string ConfigImageFor(const std::string& path, const TempDir& temp, bool force);

// Saves the device's configuration before it is replaced. Returns the file, or "" when the
// device holds none.
std::string BackupConfiguration(const Globals& globals, uint16_t node, const FLASH_DEVICE& chip,
                                const std::string& requested, Progress& progress);

// The problems of a configuration image, one per line, at most four and a count of the rest.
std::string ProblemList(const std::vector<std::string>& problems);

// How a command names the device it found: "Device at node 0xFFC0 (running its firmware), flash 29F040B."
std::string DeviceLine(const DeviceLocation& device, const FLASH_DEVICE* chip);

// A device that answers only at its flash port cannot do a job that reads its flash: the
// ToolError (with `code`) that says so.
ToolError BlankDeviceError(const DeviceLocation& device, int code, const std::string& job);

// Reads `expected.size()` bytes back from `address` and compares; ToolError(kExitVerifyFailed)
// when they differ.
void VerifyRegion(const Globals& globals, uint16_t node, uint32_t address, const std::vector<uint8_t>& expected,
                  const std::string& what, Progress& progress);

}  // namespace tool
