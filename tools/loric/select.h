// The boards on the bus and the one a job works on. A board that runs its firmware is named by
// its EUI-64, which stays; its node changes at every bus reset (a board plugged or unplugged, a
// board's own restart), so a job finds its board again by id after each. A board without an id
// (blank, or running its bootstrap loader) is named by its node.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device.h"

namespace tool {

// One device on the bus as `loric nodes` shows it.
struct BusDevice {
    DeviceLocation location;
    std::optional<uint64_t> eui64;  // a board the link lists (running its firmware)
    std::string stamp;              // "time date" of the image it runs, "" when not read
};

// "running", "loader", "upload" or "blank": how `nodes` and the job record name a state.
const char* StateName(DeviceState state);

// Every device on the bus: the nodes the link lists (with their ids), then the nodes it does
// not list that answer at their flash port (blank boards, boards running their bootstrap
// loader). With `stamps`, the time stamp of each image that runs (what `timestamp` reads).
// ToolError when the node list cannot be read.
std::vector<BusDevice> ScanBus(bool stamps);

// The board `wanted` names among `devices`: its EUI-64 in hex ("0x" and the separators '-' and
// ':' allowed), or a prefix of it that only one board has. ToolError(LORIC_ERR_DEVICE_NOT_FOUND)
// naming the boards when none or several match; kExitUsage when `wanted` is not hex.
const BusDevice& ChooseById(const std::vector<BusDevice>& devices, const std::string& wanted);

// The device at `node` among `devices`; ToolError(LORIC_ERR_DEVICE_NOT_FOUND) naming them when
// there is none.
const BusDevice& ChooseByNode(const std::vector<BusDevice>& devices, uint16_t node);

// The node of the board the link lists with id `eui64`, if it is on the bus now; ToolError
// (LORIC_ERR_DEVICE_NOT_FOUND) when two boards have it.
std::optional<uint16_t> FindById(uint64_t eui64);

// Waits up to `attempts` tries, a quarter of a second apart, for the board with id `eui64` to
// be listed (its firmware running); nothing when it does not come.
std::optional<uint16_t> WaitForId(uint64_t eui64, int attempts);

}  // namespace tool
