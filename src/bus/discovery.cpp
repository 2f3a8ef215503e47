// Node discovery: the link's node list, and locating the device whether it runs its
// firmware (listed by the link) or is blank (answering only at its flash port).
#include <algorithm>
#include <new>

#include "api/context.h"
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
    TraceEnter(TRACE_API_VERBOSE, "GetNodeInfo");
    uint32_t status = LORIC_OK;
    if (g_api.link == nullptr) {
        status = ReportFailure(LORIC_ERR_ACCESS_DENIED);
    } else if (nodeCount == nullptr || records == nullptr) {
        status = ReportFailure(LORIC_ERR_INVALID_PARAMETER);
    } else {
        // The driver link reports a failed request by throwing its status; nothing else may
        // leave the export.
        try {
            *nodeCount = g_api.link->GetNodeList(records, bufferSize);
        } catch (uint32_t code) {
            if (code == LORIC_ERR_NO_MEMORY)
                status = ReportFailure(LORIC_ERR_NO_MEMORY, bufferSize + 4);
            else
                status = ReportFailure(LORIC_ERR_DRIVER_INTERNAL, platform::GetLastErrorCode());
        } catch (const std::bad_alloc&) {
            status = ReportFailure(LORIC_ERR_NO_MEMORY, bufferSize + 4);
        } catch (...) {
            status = ReportFailure(LORIC_ERR_DRIVER_INTERNAL, platform::GetLastErrorCode());
        }
    }
    TraceExit(TRACE_API_VERBOSE, "GetNodeInfo", status);
    return status;
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL FindNode(uint16_t* nodeId, uint32_t* blank) {
    uint32_t result = LORIC_ERR_DEVICE_NOT_FOUND;
    TraceEnter(TRACE_API, "FindNode");
    if (nodeId == nullptr || blank == nullptr) {
        result = ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        Trace(TRACE_API, "Exit FindNode (ret %d)\n\n", result);
        return result;
    }

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
            Trace(TRACE_API_VERBOSE, "%d (%.4X)\t%.8X-%.8X\n", i, *nodeId, list[i].idHigh, list[i].idLow);
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
            if (WriteQuadlet(probe, REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, FLASH_PORT_CLEAR) == LORIC_OK) {
                *nodeId = static_cast<uint16_t>(probe);
                Trace(TRACE_API, "Blank device detected\n");
                *blank = 1;
                found = true;
            }
        }
    }
    if (found) {
        SetTargetNode(*nodeId);
        result = LORIC_OK;
    }
    Trace(TRACE_API, "Exit FindNode (ret %d)\n\n", result);
    return result;
}
