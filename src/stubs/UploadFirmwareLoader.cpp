// Placeholder until the export is built; delete this file when it is.
#include "loric.h"

extern "C" LORIC_EXPORT uint32_t LORIC_CALL UploadFirmwareLoader(uint16_t*, FLASH_DEVICE*, const char*, uint32_t, uint32_t, ProgressWindow, ProgressCallback) { return LORIC_ERR_INVALID_PARAMETER; }
