// The flash chips of a flash data file, and finding one by name.
#pragma once

#include <string>
#include <vector>

#include "loric.h"

namespace tool {

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

// Where the shipped flash data file is: LORIC_FLASH_DATA, beside the tool when installed, in
// the source tree when run from a build folder.
std::string DefaultFlashDataFile();

// Loads a flash data file (the library must be open); ToolError naming the file on failure.
ChipTable LoadChipTable(const std::string& file);

// Finds a chip by name ("NAME" or "GROUP/NAME", case-insensitive);
// ToolError(LORIC_ERR_INVALID_PARAMETER) naming the file and the closest names when there is
// none, or when the name is in several groups.
const FLASH_DEVICE& FindChip(const ChipTable& table, const std::string& name);
FLASH_DEVICE& FindChip(ChipTable& table, const std::string& name);

}  // namespace tool
