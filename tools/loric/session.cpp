#include "session.h"

#include <filesystem>

#include "chips.h"
#include "errors.h"
#include "sim_host.h"

namespace tool {

Session::Session(const TargetOptions& options) : options_(options) {
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
                            "Check the port name (on Linux /dev/ttyS0, /dev/ttyUSB0...; on Windows COM1, COM3...), "
                            "that no other program uses it, and that the adapter is powered and connected to the "
                            "device.");
        }
    } else {
        status = OpenLORIC(options.traceFlags);
    }
    if (status != 0) {
        throw ToolError(static_cast<int>(status),
                        "cannot open the 1394 driver: error " + std::to_string(status) + ": " + StatusText(status),
                        StatusHint(status));
    }
    open_ = true;
    SetLinkName(options.sim ? std::string()
                : options.comPort.empty() ? std::string("the 1394 driver")
                                          : "the serial adapter on " + options.comPort);
}

Session::~Session() {
    if (open_) CloseLORIC();
    sim_.reset();
}

std::string Session::simChipName() const { return sim_ ? sim_->chipName() : std::string(); }

}  // namespace tool
