#include "flash/flash_data.h"

namespace loric {

bool DeviceCommandSet(const FLASH_DEVICE& device, FLASH_COMMAND_SET& set) {
    uint32_t index = static_cast<uint32_t>(device.commandSetIndex) & 0xFF;
    if (index >= kBuiltInCommandSetCount) return false;
    set = FLASH_COMMAND_SET::BuiltIn(index, device.busWidth);
    return true;
}

}  // namespace loric
