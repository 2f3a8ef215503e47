// Placeholder until the export is built; delete this file when it is.
#include "loric.h"

extern "C" LORIC_EXPORT uint32_t LORIC_CALL UploadFirmwareAndConfig(uint32_t, FLASH_DEVICE*, const char*, const char*, ProgressWindow, ProgressCallback) { return LORIC_ERR_INVALID_PARAMETER; }
