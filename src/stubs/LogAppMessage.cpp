// Placeholder until the export is built; delete this file when it is.
#include "loric.h"

extern "C" LORIC_EXPORT uint32_t LORIC_CDECL LogAppMessage(const char*, ...) { return LORIC_ERR_INVALID_PARAMETER; }
