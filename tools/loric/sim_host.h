// The simulated device embedded in the tool (--sim): a simulated bus, driver and device served
// on a private socket for the length of one command, its flash kept in a state folder so that
// one command after another sees the same device.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace tool {

class SimHost {
public:
    struct Options {
        std::string stateDir;             // created when missing; "" = the user's default
        std::string chip;                 // flash chip of a new simulated device ("" = default)
        std::string flashDataFile;        // where that chip is described
        std::vector<std::string> faults;  // fault injection, as the simulator spells it
        bool ephemeral = false;           // no state folder: a blank device that is not kept
    };

    // Starts the simulator and points the driver socket (BRENNOCK_SOCKET) at it. ToolError when
    // it cannot start, or when this build has no simulator.
    static std::unique_ptr<SimHost> Start(const Options& options);
    static bool Available();

    virtual ~SimHost() = default;
    // The name of the flash chip the simulated device carries.
    virtual std::string chipName() const = 0;
};

}  // namespace tool
