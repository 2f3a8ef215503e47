// Placeholder until the export is built; delete this file when it is.
#include "loric.h"

extern "C" LORIC_EXPORT uint32_t LORIC_CALL UploadFile(uint32_t, const char*, uint32_t, uint32_t, FLASH_DEVICE*, uint32_t*, ProgressWindow, ProgressCallback) { return LORIC_ERR_INVALID_PARAMETER; }
