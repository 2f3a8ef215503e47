// The two link operations of an upload: one block of data, and the flash port's delay per
// programmed byte.
#include "api/context.h"
#include "api/export_frame.h"
#include "link/device_link.h"
#include "platform/platform.h"
#include "program/upload.h"

namespace loric {

bool UploadBuffer(uint32_t flashAddress, const uint8_t* data, uint32_t byteCount,
                  uint32_t uploadMode) {
    Trace(TRACE_INTERNAL, "Enter UploadBuffer\n");
    if (!ApiOpen()) return false;

    const bool useFlashPort = UsesFlashPort(uploadMode);
    if (useFlashPort) {
        Trace(TRACE_INTERNAL, "Flash port upload method (SLOW)\n");
    } else {
        Trace(TRACE_INTERNAL, "Uploader upload method (FAST)\n");
        // The device takes whole quadlets only.
        byteCount = (byteCount + 3u) & ~3u;
    }

    UploadBlockRequest request{flashAddress, byteCount, data, uploadMode};
    bool ok = g_api.link->UploadBlock(useFlashPort, request);
    if (!ok) Trace(TRACE_ERROR, "UploadBuffer Error = %d\n", platform::GetLastErrorCode());

    Trace(TRACE_INTERNAL, "Exit UploadBuffer (ret %d)\n", ok ? 1 : 0);
    return ok;
}

bool SetByteProgramDelay(uint32_t delayMicroseconds) {
    Trace(TRACE_INTERNAL, "Enter SetByteProgramDelay\n");
    if (!ApiOpen()) return false;

    bool ok = g_api.link->SetByteProgramDelay(delayMicroseconds);
    if (!ok) {
        uint32_t error = platform::GetLastErrorCode();
        Trace(TRACE_ERROR, "SetByteProgramDelay Error = %d\n", error);
        SetMessageArgument(error);
    }

    Trace(TRACE_INTERNAL, "Exit SetByteProgramDelay (ret %d)\n", ok ? 1 : 0);
    return ok;
}

}  // namespace loric
