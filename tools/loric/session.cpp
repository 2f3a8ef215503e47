#include "session.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "chips.h"
#include "errors.h"
#include "sim_host.h"

namespace tool {

bool KernelStackChosen() {
#if defined(_WIN32)
    return false;
#else
    const char* link = std::getenv("LORIC_LINK");
    if (link != nullptr && std::strcmp(link, "firewire") == 0) return true;
    if (link != nullptr && std::strcmp(link, "socket") == 0) return false;
    const char* socket = std::getenv("BRENNOCK_SOCKET");
    if (socket != nullptr && socket[0] != '\0') return false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 2 && name.compare(0, 2, "fw") == 0 &&
            name.find_first_not_of("0123456789", 2) == std::string::npos)
            return true;
    }
    return false;
#endif
}

Session::Session(const TargetOptions& options) : options_(options) {
    if (!options.link.empty()) {
#if defined(_WIN32)
        throw ToolError(kExitUsage, "--link chooses between the links of the Linux build",
                        "On Windows the library reaches the bus through the driver or --com.");
#else
        ::setenv("LORIC_LINK", options.link.c_str(), 1);  // the library reads it when it opens
#endif
    }
    uint32_t status;
    if (options.sim) {
        SimHost::Options simOptions;
        simOptions.stateDir = options.simState;
        simOptions.chip = options.simChip;
        simOptions.flashDataFile = DefaultFlashDataFile();
        simOptions.faults = options.faults;
        simOptions.ephemeral = options.simEphemeral;
        sim_ = SimHost::Start(simOptions);
        status = OpenLORIC(options.traceFlags);
    } else if (!options.comPort.empty()) {
        status = OpenComAPI(options.comPort.c_str(), options.traceFlags);
        if (status != 0) {
            // The library's text for this status speaks of the 1394 driver; say what was opened.
            std::string why = "the port does not open or the adapter does not answer";
#if !defined(_WIN32)
            std::error_code error;
            if (!std::filesystem::exists(options.comPort, error)) why = "there is no such port";
#endif
            throw ToolError(static_cast<int>(status),
                            "cannot open the serial adapter on " + options.comPort + ": " + why,
                            "Check the port name (on Linux /dev/ttyS0, /dev/ttyUSB0...; on Windows "
                            "COM1, COM3...), "
                            "that no other program uses it, and that the adapter is powered and "
                            "connected to the "
                            "device.");
        }
    } else {
        status = OpenLORIC(options.traceFlags);
    }
    if (status != 0) {
        throw ToolError(static_cast<int>(status),
                        "cannot open the 1394 driver: error " + std::to_string(status) + ": " +
                            StatusText(status),
                        StatusHint(status));
    }
    open_ = true;
    SetLinkName(options.sim                ? std::string()
                : !options.comPort.empty() ? "the serial adapter on " + options.comPort
                : KernelStackChosen()      ? std::string("the kernel's 1394 stack")
                                           : std::string("the 1394 driver"));
}

Session::~Session() {
    if (open_) CloseLORIC();
    sim_.reset();
}

std::string Session::simChipName() const { return sim_ ? sim_->chipName() : std::string(); }

}  // namespace tool
