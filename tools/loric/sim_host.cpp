#include "sim_host.h"

#include "errors.h"

#if !defined(LORIC_TOOL_HAVE_SIM)
namespace tool {

bool SimHost::Available() { return false; }

std::unique_ptr<SimHost> SimHost::Start(const Options&) {
    throw ToolError(
        LORIC_ERR_INVALID_PARAMETER, "this build of loric has no simulated device (--sim)",
        "Use the driver (the default) or --com PORT, or build loric on Linux with the simulator.");
}

}  // namespace tool
#endif
