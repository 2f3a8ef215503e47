// Internal operations of the device modes: handing the device its flash command set, and
// finding the device again once its bootstrap loader runs.
#pragma once

#include <cstdint>

#include "loric.h"

namespace loric {

// Writes the sixteen words of the device's flash command set to CSR_UPLOAD_COMMAND_SET_CTRL
// of `node`, word 0 first, stopping at the first failed write. True when all were written.
bool UploadFlashCommandSet(uint32_t node, const FLASH_DEVICE* device);

// Resets the bus and scans the blank-device node IDs for a node whose FLASH_UPLOAD_CTRL reads
// UPLOADER_READY, up to three times. When found, stores its ID, makes it the target node and
// returns true.
bool FindUploaderNode(uint16_t* nodeId);

}  // namespace loric
