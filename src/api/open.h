// The steps that open the API, shared by the exports that open it over each transport.
#pragma once

#include <cstdint>

namespace loric {

class DeviceLink;

// Builds a link from the opening export's argument, or throws when it cannot.
using LinkFactory = DeviceLink* (*)(const void* argument);

// Opens the API with the link that `makeLink` builds: status 1 when the API is already open
// or the link cannot be built (anything thrown is caught), else 0 with the link and the flags
// stored, the trace log opened for non-zero flags and node 0 selected under
// TRACE_SELECT_NODE_0. Traces "OpenLORIC (ret %d)" under TRACE_API whichever export opens.
uint32_t OpenApi(LinkFactory makeLink, const void* argument, uint32_t traceFlags);

}  // namespace loric
