// Sector erase through the flash port: the link drives the flash chip itself.
#pragma once

#include <cstdint>

#include "loric.h"

namespace loric {

// One link EraseSector call for `sectorAddress` (ERASE_ALL for the whole chip) at the
// target node. Returns 0, 3 or 4. `device` is not read.
uint32_t FlashPortEraseSector(const FLASH_DEVICE* device, uint32_t sectorAddress);

}  // namespace loric
