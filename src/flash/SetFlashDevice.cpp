// SetFlashDevice: hands the selected chip's flash command set to the driver.
#include "api/context.h"
#include "flash/flash_data.h"
#include "link/device_link.h"
#include "platform/platform.h"

using namespace loric;

extern "C" LORIC_EXPORT uint32_t LORIC_CALL SetFlashDevice(FLASH_DEVICE* device) {
    TraceEnter(TRACE_API, "SetFlashDevice");

    uint32_t status = LORIC_OK;
    FLASH_COMMAND_SET set{};
    if (g_api.link == nullptr) {
        status = ReportFailure(LORIC_ERR_ACCESS_DENIED, 0);
    } else if (device == nullptr || !DeviceCommandSet(*device, set)) {
        // A command set index whose low byte names no built-in set is refused as well.
        status = ReportFailure(LORIC_ERR_INVALID_PARAMETER, 0);
    } else if (!g_api.link->SetFlashCommandSet(set)) {
        status = ReportFailure(LORIC_ERR_DRIVER_INTERNAL, platform::GetLastErrorCode());
    }

    TraceExit(TRACE_API, "SetFlashDevice", status);
    return status;
}
