// Placeholder until the export is built; delete this file when it is.
#include "loric.h"

extern "C" LORIC_EXPORT uint32_t LORIC_CALL SwitchDeviceToUploadMode(uint32_t, FLASH_DEVICE*) { return LORIC_ERR_INVALID_PARAMETER; }
