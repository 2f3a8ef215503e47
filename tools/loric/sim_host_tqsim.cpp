// The embedded simulated device, built on the simulator library.
#if defined(LORIC_TOOL_HAVE_SIM)
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "errors.h"
#include "interrupt.h"
#include "sim_host.h"
#include "tqsim/system.h"

namespace tool {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultSimChip = "29F040B";

std::string DefaultStateDir() {
    if (const char* dir = std::getenv("LORIC_SIM_STATE"); dir && *dir) return dir;
    if (const char* dir = std::getenv("XDG_STATE_HOME"); dir && *dir)
        return std::string(dir) + "/loric/sim";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::string(home) + "/.local/state/loric/sim";
    return ".loric-sim";
}

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

[[noreturn]] void BadFault(const std::string& spec) {
    throw ToolError(
        kExitUsage, "--sim-fault: cannot read \"" + spec + "\"",
        "Faults: read:OFFSET[:AFTER[:ERROR]], write:..., both:... (a register at offset high "
        "FFFF fails after AFTER successes with a Windows error), checksum:XOR, no-checksum, "
        "erase-never-done, erase-hangs, vanish, second-device, rotate.");
}

void ApplyFault(tqsim::System& sim, const std::string& spec) {
    unsigned long offset = 0, after = 0, error = 1117, mask = 0;
    char kind[8] = {};
    if (spec == "no-checksum") {
        sim.SetNoChecksum(true);
    } else if (spec == "erase-never-done") {
        sim.SetEraseNeverDone(true);
    } else if (spec == "erase-hangs") {
        sim.SetEraseNeverFinishes(true);
    } else if (spec == "vanish") {
        sim.SetVanishOnReset(true);
    } else if (spec == "rotate") {
        sim.SetRotateOnBusReset(true);
    } else if (spec == "second-device") {
        sim.AddDevice(sim.Flash());
    } else if (std::sscanf(spec.c_str(), "checksum:%lx", &mask) == 1) {
        sim.SetChecksumError(static_cast<uint32_t>(mask));
    } else if (std::sscanf(spec.c_str(), "%7[a-z]:%lx:%lu:%lu", kind, &offset, &after, &error) >=
               2) {
        std::string k = kind;
        if (k != "read" && k != "write" && k != "both") BadFault(spec);
        tqsim::RegisterFault fault;
        fault.onRead = k != "write";
        fault.onWrite = k != "read";
        fault.offsetLow = static_cast<uint32_t>(offset);
        fault.succeedFirst = static_cast<uint32_t>(after);
        fault.errorCode = static_cast<uint32_t>(error);
        sim.AddRegisterFault(fault);
    } else {
        BadFault(spec);
    }
}

class TqsimHost;
TqsimHost* g_host = nullptr;  // the one running, for a quit at once

class TqsimHost : public SimHost {
public:
    explicit TqsimHost(const Options& options) : stateDir_(options.stateDir) {
        std::string chipName = options.chip;
        // A state folder remembers the chip its device carries.
        std::string saved;
        if (!stateDir_.empty()) {
            std::ifstream chipFile(stateDir_ + "/chip.txt");
            chipFile >> saved;
        }
        if (!saved.empty()) {
            if (!chipName.empty() && !SameNoCase(chipName, saved)) {
                throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                                "the simulated device in " + stateDir_ + " carries a " + saved +
                                    ", not a " + chipName,
                                "Use another --state folder for a device with another chip, or "
                                "leave out --sim-chip.");
            }
            chipName = saved;
        }
        if (chipName.empty()) chipName = kDefaultSimChip;

        tqsim::SystemOptions systemOptions;
        if (const tqsim::ChipGeometry* builtIn = tqsim::FindBuiltInChip(chipName)) {
            systemOptions.chip = *builtIn;
        } else {
            std::string error;
            if (!tqsim::LoadChipFromFlashDataFile(options.flashDataFile, chipName,
                                                  &systemOptions.chip, &error)) {
                throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                                "the simulator cannot make a " + chipName + ": " + error,
                                "`loric chips` lists the chips; --sim-chip NAME picks one.");
            }
        }
        systemOptions.time = tqsim::TimeMode::Instant;
        sim_ = std::make_unique<tqsim::System>(systemOptions);
        chipName_ = systemOptions.chip.name;

        bool loaded = false;
        if (!stateDir_.empty()) {
            std::error_code ignored;
            fs::create_directories(stateDir_, ignored);
            std::string error;
            loaded = sim_->LoadState(stateDir_, &error);
            if (!loaded && error.find("holds") != std::string::npos) {
                throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                                "the simulator state in " + stateDir_ + " does not fit: " + error,
                                "Remove the folder to start with a blank device.");
            }
        }
        if (!loaded) sim_->PowerCycle();
        for (const auto& fault : options.faults) ApplyFault(*sim_, fault);

        char pattern[] = "/tmp/loric-sim-XXXXXX";
        if (!mkdtemp(pattern))
            throw ToolError(LORIC_ERR_OPEN_DRIVER,
                            "cannot make a folder for the simulator's socket");
        socketDir_ = pattern;
        std::string socket = socketDir_ + "/brennock.sock";
        std::string error;
        if (!sim_->StartDriverServer(socket, &error)) {
            throw ToolError(LORIC_ERR_OPEN_DRIVER, "the simulated driver does not start: " + error);
        }
        setenv("BRENNOCK_SOCKET", socket.c_str(), 1);
        g_host = this;
        SetQuitHook(&TqsimHost::OnQuit);
    }

    ~TqsimHost() override {
        SetQuitHook(nullptr);
        g_host = nullptr;
        sim_->StopDriverServer();
        if (!stateDir_.empty()) {
            std::string error;
            if (!sim_->SaveState(stateDir_, &error)) {
                std::fprintf(stderr, "loric: the simulated device's flash was not saved: %s\n",
                             error.c_str());
            }
        }
        std::error_code ignored;
        fs::remove_all(socketDir_, ignored);
    }

    std::string chipName() const override { return chipName_; }

    // A second Ctrl-C ends the tool at once: the simulated device keeps what its flash holds
    // then, as a real one would.
    static void OnQuit() {
        if (g_host && !g_host->stateDir_.empty())
            g_host->sim_->SaveState(g_host->stateDir_, nullptr);
    }

private:
    std::string stateDir_;
    std::string socketDir_;
    std::string chipName_;
    std::unique_ptr<tqsim::System> sim_;
};

}  // namespace

bool SimHost::Available() { return true; }

std::unique_ptr<SimHost> SimHost::Start(const Options& options) {
    Options resolved = options;
    if (resolved.stateDir.empty() && !resolved.ephemeral) resolved.stateDir = DefaultStateDir();
    if (resolved.ephemeral) resolved.stateDir.clear();
    return std::make_unique<TqsimHost>(resolved);
}

}  // namespace tool
#endif
