// The open library for one command: which target it talks to, the flash chip in use and the
// device's node.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loric.h"

namespace tool {

class SimHost;

struct TargetOptions {
    std::string comPort;             // --com
    bool sim = false;                // --sim
    std::string simState;            // --state
    bool simEphemeral = false;       // a throwaway simulated device (jobs that only read files)
    std::vector<std::string> faults; // --sim-fault
    std::string simChip;             // chip the simulated device carries when it is created
    uint32_t traceFlags = 0;         // --trace
};

// Parses a --trace value: a number (0x3F), or names joined by commas: error, warning, api,
// api-verbose, internal, verbose, node0, all.
uint32_t ParseTraceFlags(const std::string& text);

// The flash chips of a flash data file.
// Move-only: each record's configSector points into its own array.
struct ChipTable {
    std::string file;
    std::vector<FLASH_DEVICE> devices;

    ChipTable() = default;
    ChipTable(ChipTable&&) = default;
    ChipTable& operator=(ChipTable&&) = default;
    ChipTable(const ChipTable&) = delete;
    ChipTable& operator=(const ChipTable&) = delete;
};

// Where the shipped flash data file is: beside the tool when installed, in the source tree
// when run from a build folder.
std::string DefaultFlashDataFile();

class Session {
public:
    // Opens the library on the chosen target; ToolError on failure.
    explicit Session(const TargetOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const TargetOptions& options() const { return options_; }
    // Name of the simulated device's chip, when the target is the simulator.
    std::string simChipName() const;

    // Loads a flash data file (the library must be open).
    ChipTable LoadChips(const std::string& file);

private:
    TargetOptions options_;
    std::unique_ptr<SimHost> sim_;
    bool open_ = false;
};

// Finds a chip by name ("NAME" or "GROUP/NAME", case-insensitive); ToolError(5) naming the
// file and the closest names when there is none.
const FLASH_DEVICE& FindChip(const ChipTable& table, const std::string& name);

// What the device runs: its firmware (listed by the driver), its bootstrap loader (not listed;
// answers FLASH_UPLOAD_CTRL with UPLOADER_READY), or nothing (answers only at its flash port).
enum class DeviceState { Firmware, Loader, FlashPort };

struct DeviceLocation {
    uint16_t node = 0;
    bool blank = false;  // not listed: found at its flash port (loader or nothing running)
    DeviceState state = DeviceState::Firmware;
};

// "running its firmware", "running its bootstrap loader", "blank (answers at its flash port)"
std::string StateText(DeviceState state);

// FindNode, with a message that says what is on the bus when it fails. With `expected`, a
// device at another node is an error too.
DeviceLocation FindDevice(bool blankOnly, std::optional<uint16_t> expected);

// Waits up to `attempts` tries for a device that runs its firmware (after a processor reset).
DeviceLocation FindRunningDevice(int attempts);

}  // namespace tool
