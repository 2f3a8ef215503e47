// SetFlashDevice: hands the selected chip's flash command set to the driver.
#include "api/context.h"
#include "api/export_frame.h"
#include "flash/flash_data.h"
#include "link/device_link.h"
#include "platform/platform.h"

using namespace loric;

extern "C" LORIC_EXPORT uint32_t LORIC_CALL SetFlashDevice(FLASH_DEVICE* device) {
    return RunExport({TRACE_API, "SetFlashDevice"}, [&]() -> uint32_t {
        FLASH_COMMAND_SET set{};
        // A command set index whose low byte names no built-in set is refused as well.
        if (device == nullptr || !DeviceCommandSet(*device, set))
            return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        if (!g_api.link->SetFlashCommandSet(set))
            return ReportFailure(LORIC_ERR_DRIVER_INTERNAL, platform::GetLastErrorCode());
        return LORIC_OK;
    });
}
