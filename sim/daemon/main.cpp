// tq6410-sim: the simulated bench as a daemon. Serves the driver socket and, on request, the
// serial adapter's pseudo-terminal; keeps the flash across runs with --state.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "tqsim/bench.h"
#include "tqsim/system.h"

namespace {

std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) { g_stop = true; }

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// "read:F0090000:3:1117", "write:F0090008:0:170", "both:..." -> a register fault.
bool ParseRegisterFault(const std::string& text, tqsim::RegisterFault* f) {
    unsigned long offset = 0, after = 0, error = tqsim::reg::kErrIoDevice;
    char kind[8] = {};
    int n = std::sscanf(text.c_str(), "%7[a-z]:%lx:%lu:%lu", kind, &offset, &after, &error);
    if (n < 2) return false;
    std::string k = kind;
    if (k != "read" && k != "write" && k != "both") return false;
    f->onRead = k != "write";
    f->onWrite = k != "read";
    f->offsetLow = static_cast<uint32_t>(offset);
    f->succeedFirst = static_cast<uint32_t>(after);
    f->errorCode = static_cast<uint32_t>(error);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "tq6410-sim - simulated 1394 driver, bus, TQ6410 device, flash chip and serial adapter"};
    const char* env = std::getenv("BRENNOCK_SOCKET");
    std::string socketPath = env && *env ? env : "/tmp/brennock.sock";
    std::string chipName = tqsim::BuiltInChips()[0].name, flashFile, stateDir, imageFile,
                loaderFile, firmwareFile, configFile, logFile, serialLink;
    bool serial = false, paced = false, instant = false, datasheet = false, listChips = false,
         rotate = false;
    bool noSocket = false;
    int logLevel = 1;
    uint32_t checksumXor = 0;
    bool noChecksum = false, eraseNeverDone = false, eraseNeverFinishes = false, vanish = false;
    double eraseSeconds = -1;
    std::vector<std::string> registerFaults;
    bool secondDevice = false;
    tqsim::AdapterFaults adapterFaults;
    std::vector<std::string> deviceSpecs, sends;
    std::string controlPath;

    app.add_option("--socket", socketPath,
                   "driver socket path (default: $BRENNOCK_SOCKET or /tmp/brennock.sock)");
    app.add_flag("--no-socket", noSocket, "do not serve the driver socket (serial adapter only)");
    app.add_flag("--serial", serial,
                 "serve the serial adapter on a pseudo-terminal and print its path");
    app.add_option("--serial-link", serialLink,
                   "also make a symlink to the terminal here (implies --serial)");
    app.add_flag("--paced", paced, "deliver adapter replies at 115200 baud 8N1");
    app.add_option("--chip", chipName, "flash chip: a built-in name, or a record of --flash-file");
    app.add_option("--flash-file", flashFile,
                   "flash data file (FLASH_DATA_FILE_V3) to take --chip from");
    app.add_flag("--list-chips", listChips, "list the built-in chips and exit");
    app.add_option("--state", stateDir, "directory that keeps the flash contents across runs");
    app.add_option("--image", imageFile, "start with this raw flash image (from byte 0)");
    app.add_option("--loader", loaderFile, "start with this loader image at flash address 0");
    app.add_option("--firmware", firmwareFile,
                   "start with this firmware installed (with --config)");
    app.add_option("--config", configFile, "configuration image for --firmware");
    app.add_option("--log", logFile, "transaction log file ('-' for standard error)");
    app.add_option("--log-level", logLevel,
                   "1: requests and device events, 2: every bus transaction");
    app.add_flag("--instant", instant, "simulated waits pass at once instead of in real time");
    std::string timings = "instant";
    app.add_option("--timings", timings,
                   "flash program and erase times of the chip's family: typical, max (datasheet "
                   "worst case) or instant (default)")
        ->check(CLI::IsMember({"instant", "typical", "max"}));
    app.add_flag("--datasheet-timings", datasheet, "the same as --timings typical");
    app.add_option("--erase-seconds", eraseSeconds,
                   "sector and chip erase take this long (overrides --timings)");
    app.add_flag("--rotate", rotate, "renumber the nodes on every bus reset");
    app.add_option(
        "--fault-register", registerFaults,
        "KIND:OFFSET[:AFTER[:ERROR]] fail reads/writes/both of register OFFSET (hex, offset "
        "high FFFF) after AFTER successes with Windows error ERROR (default 1117)");
    app.add_option("--fault-checksum", checksumXor, "XOR this value into the device checksum");
    app.add_flag("--fault-no-checksum", noChecksum, "device reports checksum 0");
    app.add_flag("--fault-erase-never-done", eraseNeverDone,
                 "FLASH_ERASE_CTRL never reports ERASE_DONE");
    app.add_flag("--fault-erase-hangs", eraseNeverFinishes,
                 "the flash chip never finishes an erase");
    app.add_flag("--fault-vanish", vanish,
                 "after a reset the device does not come back on the bus");
    app.add_flag("--fault-second-device", secondDevice,
                 "a second device with the same flash on the bus");
    app.add_option("--adapter-resend", adapterFaults.resendReplies,
                   "answer the next N frames with 00 (send again)");
    app.add_option("--adapter-refuse", adapterFaults.refuseReplies,
                   "answer the next N frames with AA");
    app.add_option("--adapter-silent", adapterFaults.silentReplies,
                   "leave the next N frames unanswered");
    app.add_option("--adapter-oversize", adapterFaults.oversizeReplies,
                   "give the next N replies a length byte of 200");
    app.add_flag("--adapter-split", adapterFaults.splitReplies, "send every reply in pieces");
    app.add_option("--adapter-only", adapterFaults.onlyCommand,
                   "the adapter faults hit only this command code");
    app.add_option(
        "--device", deviceSpecs,
        "SPEC: a board on the bus, once per board (state=blank|loader|running, chip=NAME, "
        "guid=EUI64, image=FILE, plugged=yes|no, checksum=HEX, comma-separated)");
    app.add_option("--control", controlPath,
                   "serve the control socket (plug, unplug, add, ...) here");
    app.add_option(
        "--send", sends,
        "COMMAND: send it to the running daemon's --control socket, print the reply, exit");
    CLI11_PARSE(app, argc, argv);

    if (listChips) {
        for (const auto& c : tqsim::BuiltInChips())
            std::printf("%-14s %2u-bit  set %u  %4u sectors  %7u bytes\n", c.name.c_str(),
                        c.busWidth, c.commandSet, static_cast<unsigned>(c.sectorWords.size()),
                        c.TotalBytes());
        return 0;
    }

    if (!sends.empty()) {
        if (controlPath.empty()) {
            std::fprintf(stderr, "tq6410-sim: --send needs --control PATH\n");
            return 2;
        }
        for (const auto& command : sends) {
            std::string reply;
            const bool reached = tqsim::SendControl(controlPath, command, &reply);
            std::fputs(reply.c_str(), stdout);
            if (!reached) return 2;
            if (!tqsim::ControlReplyOk(reply)) return 1;
        }
        return 0;
    }

    tqsim::SystemOptions options;
    if (!flashFile.empty()) {
        std::string error;
        if (!tqsim::LoadChipFromFlashDataFile(flashFile, chipName, &options.chip, &error)) {
            std::fprintf(stderr, "tq6410-sim: %s\n", error.c_str());
            return 2;
        }
    } else if (const tqsim::ChipGeometry* c = tqsim::FindBuiltInChip(chipName)) {
        options.chip = *c;
    } else {
        std::fprintf(stderr, "tq6410-sim: no built-in chip named %s (see --list-chips)\n",
                     chipName.c_str());
        return 2;
    }
    tqsim::TimingProfile profile = tqsim::TimingProfile::Instant;
    tqsim::ParseTimingProfile(timings, &profile);
    if (datasheet) profile = tqsim::TimingProfile::Typical;
    options.timings = tqsim::FamilyTimings(options.chip, profile);
    if (eraseSeconds >= 0) {
        options.timings.sectorEraseUs = static_cast<uint64_t>(eraseSeconds * 1e6);
        options.timings.chipEraseUs = options.timings.sectorEraseUs;
    }
    options.time = instant ? tqsim::TimeMode::Instant : tqsim::TimeMode::Real;

    // The images boards start with (--device, the control's add), and the boards.
    tqsim::BenchImages images;
    images.flashDataFile = flashFile;
    if (!deviceSpecs.empty() || !controlPath.empty()) {
        for (auto [path, bytes] :
             {std::pair{&loaderFile, &images.loader}, std::pair{&firmwareFile, &images.firmware},
              std::pair{&configFile, &images.config}}) {
            if (!path->empty() && !ReadFile(*path, bytes)) {
                std::fprintf(stderr, "tq6410-sim: cannot read %s\n", path->c_str());
                return 2;
            }
        }
    }
    std::vector<tqsim::BoardSpec> boards(deviceSpecs.size());
    for (size_t i = 0; i < boards.size(); ++i) {
        std::string error;
        if (!tqsim::ParseBoardSpec(deviceSpecs[i], &boards[i], &error) ||
            (i == 0 && !images.ChipOf(boards[0], options.chip, &options.chip, &error))) {
            std::fprintf(stderr, "tq6410-sim: --device %s: %s\n", deviceSpecs[i].c_str(),
                         error.c_str());
            return 2;
        }
    }
    if (!boards.empty()) {
        if (!imageFile.empty()) {
            std::fprintf(stderr,
                         "tq6410-sim: --image is for one device; give image=FILE to a --device\n");
            return 2;
        }
        options.identity = images.IdentityOf(boards[0], 0);
    }
    tqsim::System sim(options);
    tqsim::Bench bench(sim, images);

    std::FILE* logOut = nullptr;
    std::mutex logMu;
    if (!logFile.empty()) {
        logOut = logFile == "-" ? stderr : std::fopen(logFile.c_str(), "a");
        if (!logOut) {
            std::fprintf(stderr, "tq6410-sim: cannot open log %s\n", logFile.c_str());
            return 2;
        }
        sim.SetLog(
            [&](const std::string& line) {
                std::lock_guard<std::mutex> lock(logMu);
                std::fprintf(logOut, "%s\n", line.c_str());
                std::fflush(logOut);
            },
            logLevel);
    }

    // Several boards: each as its spec says, then what a state folder kept for it.
    for (size_t i = 0; i < boards.size(); ++i) {
        std::string error;
        if (i == 0 ? !bench.SetUp(0, boards[0], &error) : bench.Add(boards[i], &error) < 0) {
            std::fprintf(stderr, "tq6410-sim: --device %s: %s\n", deviceSpecs[i].c_str(),
                         error.c_str());
            return 2;
        }
    }
    // Starting contents: saved state first, else the images given, else blank.
    bool loaded = false;
    if (!stateDir.empty()) {
        std::string error;
        loaded = sim.LoadState(stateDir, &error);
        if (!loaded && error.find("holds") != std::string::npos) {
            std::fprintf(stderr, "tq6410-sim: %s\n", error.c_str());
            return 2;
        }
    }
    if (!loaded && boards.empty()) {
        std::vector<uint8_t> bytes;
        if (!imageFile.empty()) {
            if (!ReadFile(imageFile, &bytes)) {
                std::fprintf(stderr, "tq6410-sim: cannot read %s\n", imageFile.c_str());
                return 2;
            }
            sim.SetFlash(bytes);
        }
        if (!loaderFile.empty()) {
            if (!ReadFile(loaderFile, &bytes)) {
                std::fprintf(stderr, "tq6410-sim: cannot read %s\n", loaderFile.c_str());
                return 2;
            }
            sim.SetFlash(bytes);
        }
        if (!firmwareFile.empty()) {
            std::vector<uint8_t> config;
            if (!ReadFile(firmwareFile, &bytes) ||
                (!configFile.empty() && !ReadFile(configFile, &config)) ||
                !sim.InstallFirmware(bytes, config)) {
                std::fprintf(stderr, "tq6410-sim: cannot install %s\n", firmwareFile.c_str());
                return 2;
            }
        }
        sim.Reboot();
    }

    for (const auto& text : registerFaults) {
        tqsim::RegisterFault f;
        if (!ParseRegisterFault(text, &f)) {
            std::fprintf(stderr, "tq6410-sim: bad --fault-register %s\n", text.c_str());
            return 2;
        }
        sim.AddRegisterFault(f);
    }
    if (checksumXor) sim.SetChecksumError(checksumXor);
    sim.SetNoChecksum(noChecksum);
    sim.SetEraseNeverDone(eraseNeverDone);
    sim.SetEraseNeverFinishes(eraseNeverFinishes);
    sim.SetVanishOnReset(vanish);
    sim.SetRotateOnBusReset(rotate);
    sim.SetAdapterFaults(adapterFaults);
    if (secondDevice) sim.AddDevice(sim.Flash());

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!noSocket) {
        std::string error;
        if (!sim.StartDriverServer(socketPath, &error)) {
            std::fprintf(stderr, "tq6410-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("driver socket: %s\n", socketPath.c_str());
    }
    if (serial || !serialLink.empty()) {
        tqsim::AdapterOptions ao;
        ao.paced = paced;
        ao.linkPath = serialLink;
        std::string error;
        std::string pty = sim.StartSerialAdapter(ao, &error);
        if (pty.empty()) {
            std::fprintf(stderr, "tq6410-sim: serial adapter: %s\n", error.c_str());
            return 1;
        }
        std::printf("serial adapter: %s\n", pty.c_str());
        if (!serialLink.empty()) std::printf("serial link: %s\n", serialLink.c_str());
    }
    // Last, so that a script that reaches the control finds the other servers up.
    tqsim::LineServer control([&bench](const std::string& line) { return bench.Execute(line); });
    if (!controlPath.empty()) {
        std::string error;
        if (!control.Start(controlPath, &error)) {
            std::fprintf(stderr, "tq6410-sim: %s\n", error.c_str());
            return 1;
        }
        std::printf("control socket: %s\n", controlPath.c_str());
    }
    for (size_t i = 1; i < boards.size(); ++i)
        std::printf("device %s\n", bench.DeviceLine(i).c_str());
    const auto chip = sim.Chip();
    std::printf("chip: %s (%u-bit, command set %u, %u bytes); device: %s at %04X\n",
                chip.name.c_str(), chip.busWidth, chip.commandSet, chip.TotalBytes(),
                tqsim::ModeName(sim.Mode()), sim.DeviceNodeId());
    std::printf("timings: %s, family %s: program %llu us, sector erase %.3f s, chip erase %.3f s\n",
                eraseSeconds >= 0 ? "erase override" : timings.c_str(),
                tqsim::ChipFamily(chip).c_str(),
                static_cast<unsigned long long>(options.timings.programUs),
                options.timings.sectorEraseUs / 1e6, options.timings.chipEraseUs / 1e6);
    std::fflush(stdout);

    // Save the flash now and then while it changes, and at the end.
    auto allFlash = [&sim] {
        std::vector<std::vector<uint8_t>> all;
        for (size_t i = 0; i < sim.DeviceCount(); ++i) all.push_back(sim.Flash(i));
        return all;
    };
    auto saved = allFlash();
    auto lastCheck = std::chrono::steady_clock::now();
    while (!g_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!stateDir.empty() &&
            std::chrono::steady_clock::now() - lastCheck > std::chrono::seconds(2)) {
            lastCheck = std::chrono::steady_clock::now();
            auto now = allFlash();
            if (now != saved && sim.SaveState(stateDir)) saved = std::move(now);
        }
    }
    control.Stop();
    sim.StopSerialAdapter();
    sim.StopDriverServer();
    int rc = 0;
    if (!stateDir.empty()) {
        std::string error;
        if (!sim.SaveState(stateDir, &error)) {
            std::fprintf(stderr, "tq6410-sim: %s\n", error.c_str());
            rc = 1;
        }
    }
    // What a job run against this daemon could not have been faster than: the chip's own
    // busy time and, with the adapter, the line time of its traffic.
    char total[64];
    std::snprintf(total, sizeof total, "chip busy total: %.3f s", sim.ChipBusyTotalUs() / 1e6);
    std::printf("%s\n", total);
    if (serial || !serialLink.empty())
        std::printf("serial line total: %.3f s\n", sim.SerialLineUs() / 1e6);
    if (logOut) {
        std::lock_guard<std::mutex> lock(logMu);
        std::fprintf(logOut, "%s\n", total);
    }
    std::printf("tq6410-sim: stopped\n");
    if (logOut && logOut != stderr) std::fclose(logOut);
    return rc;
}
