// The open library for one command, on the target the user chose: the 1394 driver, a serial
// adapter, or the simulated device embedded in the tool.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loric.h"

namespace tool {

class SimHost;

struct TargetOptions {
    std::string comPort;              // --com
    bool sim = false;                 // --sim
    std::string simState;             // --state
    bool simEphemeral = false;        // a throwaway simulated device (jobs that only read files)
    std::vector<std::string> faults;  // --sim-fault
    std::string simChip;              // chip the simulated device carries when it is created
    uint32_t traceFlags = 0;          // --trace
    std::string link;                 // --link firewire|socket (Linux: how the driver is reached)
};

// Whether the library reaches the bus through Linux's own 1394 stack (the /dev/fwN files)
// rather than the driver socket, by the rule the library itself applies when it opens the
// driver: LORIC_LINK=firewire or =socket decides; otherwise the kernel's stack when it lists
// node files and BRENNOCK_SOCKET is not set. Always false on Windows.
bool KernelStackChosen();

class Session {
public:
    // Opens the library on the chosen target; ToolError on failure.
    explicit Session(const TargetOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const TargetOptions& options() const { return options_; }
    // Name of the simulated device's chip, when the target is the simulator.
    std::string simChipName() const;

private:
    TargetOptions options_;
    std::unique_ptr<SimHost> sim_;
    bool open_ = false;
};

}  // namespace tool
