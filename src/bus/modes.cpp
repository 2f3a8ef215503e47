// Device modes and resets: upload mode (MODE_EDIT and the flash command set), force flash
// mode (MODE_FORCE), link resets, and finding the bootstrap loader after a reset.
#include "bus/modes.h"

#include "api/context.h"
#include "api/export_frame.h"
#include "api/target.h"
#include "flash/flash_data.h"
#include "link/device_link.h"
#include "link/registers.h"
#include "link/timing.h"
#include "loric.h"
#include "platform/platform.h"

using namespace loric;

namespace {

// The status of a reset the link refused, by kind.
uint32_t ResetFailureStatus(uint32_t kind) {
    switch (kind) {
    case RESET_FLASH: return LORIC_ERR_FLASH_RESET;
    case RESET_DEVICE: return LORIC_ERR_DEVICE_RESET;
    case RESET_BUS: return LORIC_ERR_BUS_RESET;
    default: return LORIC_ERR_INVALID_PARAMETER;
    }
}

// The bus resets around each scan for the loader: two, then a second's settling time.
void ResetBusAndSettle() {
    IssueReset(RESET_BUS);
    IssueReset(RESET_BUS);
    WaitSeconds(1);
}

}  // namespace

namespace loric {

bool UploadFlashCommandSet(uint32_t node, const FLASH_DEVICE* device) {
    const ExportFrame frame{TRACE_INTERNAL, "UploadFlashCommandSet"};
    TraceEnter(frame);
    FLASH_COMMAND_SET set{};
    DeviceCommandSet(*device, set);  // callers have checked that the record names a built-in set
    bool result = true;
    for (uint32_t word : set.words) {
        if (WriteQuadlet(node, REGISTER_OFFSET_HIGH, CSR_UPLOAD_COMMAND_SET_CTRL, word) !=
            LORIC_OK) {
            Trace(TRACE_ERROR, "1394 Write error to CSR_UPLOAD_COMMAND_SET_CTRL!\n");
            result = false;
            break;
        }
    }
    TraceExit(frame, result ? 1 : 0);
    return result;
}

bool FindUploaderNode(uint16_t* nodeId) {
    const ExportFrame frame{TRACE_INTERNAL, "FindUploaderNode", ExitLine::kBlankLine};
    TraceEnter(frame);
    ResetBusAndSettle();
    bool found = false;
    for (int scan = 0; scan < 3 && !found; ++scan) {
        for (uint32_t probe = BLANK_PROBE_FIRST; probe <= BLANK_PROBE_LAST; ++probe) {
            Trace(TRACE_INTERNAL, "FindUploaderNode @ %x\n", probe);
            uint32_t value = 0;
            if (ReadQuadlet(probe, REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CTRL, &value) != LORIC_OK)
                continue;
            Trace(TRACE_INTERNAL, " - Read = %.8X\n", value);
            if (value == UPLOADER_READY) {
                *nodeId = static_cast<uint16_t>(probe);
                SetTargetNode(probe);
                found = true;
                break;
            }
        }
        if (!found) {
            Trace(TRACE_INTERNAL, "Couldn't locate, retrying\n");
            ResetBusAndSettle();
        }
    }
    TraceExit(frame, found ? 1 : 0);
    return found;
}

}  // namespace loric

extern "C" LORIC_EXPORT uint32_t LORIC_CALL IssueReset(uint32_t kind) {
    return RunExport({TRACE_API, "IssueReset"}, [&]() -> uint32_t {
        if (!g_api.link->Reset(kind)) {
            const uint32_t error = platform::GetLastErrorCode();
            return ReportFailure(ResetFailureStatus(kind), error);
        }
        return LORIC_OK;
    });
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL SwitchDeviceToUploadMode(uint32_t node,
                                                                     FLASH_DEVICE* device) {
    const uint32_t nodeId = node & 0xFFFF;
    return RunExport(
        {TRACE_API, "SwitchDeviceToUploadMode", ExitLine::kBlankLine}, [&]() -> uint32_t {
            // A record naming no built-in command set has nothing valid to hand the device.
            if (FLASH_COMMAND_SET set{}; device == nullptr || !DeviceCommandSet(*device, set))
                return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
            if (WriteQuadlet(nodeId, REGISTER_OFFSET_HIGH, CSR_MODE_CTRL, MODE_EDIT) != LORIC_OK)
                return ReportFailure(LORIC_ERR_QUADLET_WRITE, CSR_MODE_CTRL);
            WaitSeconds(1);
            if (!UploadFlashCommandSet(nodeId, device)) return ReportFailure(LORIC_ERR_UPLOAD_MODE);
            return LORIC_OK;
        });
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL SwitchDeviceToForceFlashMode(uint32_t node) {
    const uint32_t nodeId = node & 0xFFFF;
    return RunExport(
        {TRACE_API, "SwitchDeviceToForceFlashMode", ExitLine::kBlankLine}, [&]() -> uint32_t {
            if (WriteQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, FLASH_PORT_CLEAR) !=
                LORIC_OK) {
                Trace(TRACE_WARNING, "Clearing flash port prior to force flash failed!\n");
                return ReportFailure(LORIC_ERR_FLASH_PORT_MODE);
            }
            if (WriteQuadlet(nodeId, REGISTER_OFFSET_HIGH, CSR_MODE_CTRL, MODE_FORCE) == LORIC_OK) {
                // A refused MODE_FORCE still counts as success: the caller looks for the device at
                // its flash port next and finds out there.
                Trace(TRACE_API, "Force flash CSR written successfully\n");
                WaitSeconds(1);
            }
            return LORIC_OK;
        });
}
