// Node discovery: the link's node list, and locating the device whether it runs its
// firmware (listed by the link) or is blank (answering only at its flash port).
#include <algorithm>
#include <new>

#include "api/context.h"
#include "api/export_frame.h"
#include "api/target.h"
#include "link/device_link.h"
#include "link/registers.h"
#include "loric.h"
#include "platform/platform.h"

using namespace loric;

namespace {

// FindNode's list buffer: room for ten records.
constexpr uint32_t kListRecords = 10;

uint16_t NodeIdOf(const NODE_INFO& record) {
    return static_cast<uint16_t>((record.busNumber << 6) | record.nodeNumber);
}

}  // namespace

extern "C" LORIC_EXPORT uint32_t LORIC_CALL GetNodeInfo(uint32_t* nodeCount, NODE_INFO* records,
                                                        uint32_t bufferSize) {
    return RunExport({TRACE_API_VERBOSE, "GetNodeInfo"}, [&]() -> uint32_t {
        if (nodeCount == nullptr || records == nullptr)
            return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        // The driver link reports a failed request by throwing its status; nothing else may
        // leave the export.
        try {
            *nodeCount = g_api.link->GetNodeList(records, bufferSize);
        } catch (uint32_t code) {
            if (code == LORIC_ERR_NO_MEMORY)
                return ReportFailure(LORIC_ERR_NO_MEMORY, bufferSize + 4);
            return ReportFailure(LORIC_ERR_DRIVER_INTERNAL, platform::GetLastErrorCode());
        } catch (const std::bad_alloc&) {
            return ReportFailure(LORIC_ERR_NO_MEMORY, bufferSize + 4);
        } catch (...) {
            return ReportFailure(LORIC_ERR_DRIVER_INTERNAL, platform::GetLastErrorCode());
        }
        return LORIC_OK;
    });
}

namespace {

// FindNode's work. It needs no open API: while the API is closed the node list stays empty and
// no probe is answered, so the device is simply not found.
uint32_t LocateDevice(uint16_t* nodeId, uint32_t* blank) {
    if (nodeId == nullptr || blank == nullptr) return ReportFailure(LORIC_ERR_INVALID_PARAMETER);

    uint32_t count = 0;
    if (*blank == 0) {
        NODE_INFO list[kListRecords] = {};
        GetNodeInfo(&count, list, sizeof(list));  // on failure the count stays 0
        Trace(TRACE_API_VERBOSE, "Node list:\n");
        // A link that reports more nodes than the list holds has filled only the list; the
        // device is ambiguous in any case.
        const uint32_t listed = std::min(count, kListRecords);
        for (uint32_t i = 0; i < listed; ++i) {
            *nodeId = NodeIdOf(list[i]);
            Trace(TRACE_API_VERBOSE, "%d (%.4X)\t%.8X-%.8X\n", i, *nodeId, list[i].idHigh,
                  list[i].idLow);
        }
        Trace(TRACE_API_VERBOSE, "\n\n");
    }

    bool found = false;
    if (count == 1) {
        Trace(TRACE_API, "Non-Blank device detected\n");
        found = true;
    } else if (count == 0) {
        for (uint32_t probe = BLANK_PROBE_FIRST; probe <= BLANK_PROBE_LAST && !found; ++probe) {
            Trace(TRACE_API, "Looking for flash port on node %x\n", probe);
            if (WriteQuadlet(probe, REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, FLASH_PORT_CLEAR) ==
                LORIC_OK) {
                *nodeId = static_cast<uint16_t>(probe);
                Trace(TRACE_API, "Blank device detected\n");
                *blank = 1;
                found = true;
            }
        }
    }
    if (!found) return LORIC_ERR_DEVICE_NOT_FOUND;
    SetTargetNode(*nodeId);
    return LORIC_OK;
}

}  // namespace

extern "C" LORIC_EXPORT uint32_t LORIC_CALL FindNode(uint16_t* nodeId, uint32_t* blank) {
    const ExportFrame frame{TRACE_API, "FindNode", ExitLine::kBlankLine};
    TraceEnter(frame);
    const uint32_t status = LocateDevice(nodeId, blank);
    TraceExit(frame, status);
    return status;
}
