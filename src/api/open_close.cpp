// Opening and closing the API over the kernel driver, and choosing the target node.
#include <new>

#include "api/context.h"
#include "api/export_frame.h"
#include "api/open.h"
#include "link/driver_link.h"
#include "link/firewire_link.h"
#include "platform/platform.h"

namespace loric {

namespace {

constexpr const char* kDriverDevicePath = "\\\\.\\BRENNOCK";

DeviceLink* MakeDriverLink(const void* devicePath) {
#if defined(__linux__)
    if (DeviceLink* link = MakeFirewireLinkIfChosen()) return link;
#endif
    return new DriverLink(static_cast<const char*>(devicePath));
}

}  // namespace

uint32_t SetTargetNode(uint32_t nodeId) {
    const uint16_t node = static_cast<uint16_t>(nodeId & 0xFFFF);
    Trace(TRACE_API, "Enter SetTargetNode %.4X\n", static_cast<unsigned>(node));
    return RunEnteredExport({TRACE_API, "SetTargetNode"}, [&]() -> uint32_t {
        if (!g_api.link->SetTargetNode(node))
            return ReportFailure(LORIC_ERR_DRIVER_INTERNAL, platform::GetLastErrorCode());
        return LORIC_OK;
    });
}

uint32_t OpenApi(LinkFactory makeLink, const void* argument, uint32_t traceFlags) {
    uint32_t status = LORIC_OK;
    if (g_api.link != nullptr) {
        // Already open: the first link, its flags and the log stay as they are.
        status = ReportFailure(LORIC_ERR_OPEN_DRIVER);
    } else {
        DeviceLink* link = nullptr;
        try {
            link = makeLink(argument);
        } catch (...) {
            link = nullptr;
        }
        if (link == nullptr) {
            status = ReportFailure(LORIC_ERR_OPEN_DRIVER);
        } else {
            g_api.link = link;
            g_api.traceFlags = traceFlags;
            if (traceFlags != 0) {
                OpenTraceLog("debug.log");
                if ((traceFlags & TRACE_SELECT_NODE_0) != 0) SetTargetNode(0);
            }
        }
    }
    if (TraceOn(TRACE_API)) {
        TraceLine(TracePrefix(TRACE_API));
        TraceLine("OpenLORIC (ret %d)\n", static_cast<int>(status));
    }
    return status;
}

}  // namespace loric

extern "C" LORIC_EXPORT uint32_t LORIC_CALL OpenLORIC(uint32_t traceFlags) {
    return loric::OpenApi(&loric::MakeDriverLink, loric::kDriverDevicePath, traceFlags);
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL CloseLORIC(void) {
    using namespace loric;
    if (g_api.link != nullptr) {
        delete g_api.link;
        g_api.link = nullptr;
    }
    if (TraceOn(TRACE_API)) {
        TraceLine(TracePrefix(TRACE_API));
        TraceLine("CloseLORIC\n");
    }
    return LORIC_OK;
}
