// Sector erase through the flash port: the link drives the flash chip itself.
#pragma once

#include <cstdint>

#include "loric.h"

namespace loric {

// One link EraseSector call for `sectorAddress` (ERASE_ALL for the whole chip) at the
// target node. Returns 0, 3 or 4. `device` is not read.
uint32_t FlashPortEraseSector(const FLASH_DEVICE* device, uint32_t sectorAddress);

// The record's position in its flash data file; 0x57 marks the chip's internal flash.
inline uint32_t FlashDeviceId(const FLASH_DEVICE* device) {
    return (device->attributes & FLASH_ATTR_ID_MASK) >> FLASH_ATTR_ID_SHIFT;
}

inline bool IsInternalFlash(const FLASH_DEVICE* device) {
    return FlashDeviceId(device) == FLASH_INTERNAL_DEVICE_ID;
}

}  // namespace loric
