#include "job.h"

#include <cstdio>
#include <cstdlib>

#include <chrono>
#include <thread>

#include "../../src/platform/bytes.h"
#include "arguments.h"
#include "device_facts.h"
#include "errors.h"
#include "files.h"
#include "interrupt.h"
#include "loader_job.h"
#include "record.h"
#include "select.h"
#include "text.h"

namespace tool {
namespace {

// The chip named by --chip, LORIC_CHIP or the simulated device ("" when none).
std::string ChipName(const Globals& globals, const Session& session) {
    std::string name = globals.chip;
    if (name.empty()) {
        if (const char* fromEnvironment = std::getenv("LORIC_CHIP")) name = fromEnvironment;
    }
    if (name.empty()) name = session.simChipName();
    return name;
}

// What leads to the device, as the job record names it.
void RecordLink(const TargetOptions& target) {
    if (target.sim) {
        Record().SetLink("sim", target.simState);
    } else if (!target.comPort.empty()) {
        Record().SetLink("serial", target.comPort);
    } else if (KernelStackChosen()) {
        Record().SetLink("firewire", "");
    } else {
        const char* socket = std::getenv("BRENNOCK_SOCKET");
        Record().SetLink("driver", socket ? socket : "");
    }
}

}  // namespace

ProgressStyle StyleOf(const Globals& globals) {
    if (globals.quiet || globals.progress == "none") return ProgressStyle::None;
    if (globals.progress == "bar") return ProgressStyle::Bar;
    if (globals.progress == "plain") return ProgressStyle::Plain;
    return ProgressStyle::Auto;
}

void Say(const Globals& globals, const std::string& line) {
    // Under --json standard output carries the document alone: lines for people go to stderr.
    std::FILE* out = globals.json ? stderr : stdout;
    if (!globals.quiet) std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

std::string FlashDataFile(const Globals& globals) {
    return globals.flashData.empty() ? DefaultFlashDataFile() : globals.flashData;
}

Job::Job(const Globals& globals)
    : globals_(globals),
      lock_(DeviceLock::Take(
          LockTargetOf(globals.target), globals.commandLine, globals.waitLock,
          [](const std::string& line) { std::fprintf(stderr, "loric: %s\n", line.c_str()); })),
      session_(std::make_unique<Session>(globals.target)),
      style_(StyleOf(globals)) {
    RecordLink(globals.target);
}

Job::~Job() {
    // While the library is still open: what a signal did, into its trace log.
    const std::string outcome = InterruptOutcome();
    if (session_ && globals_.target.traceFlags != 0 && !outcome.empty()) {
        LogAppMessage("%s\n", ("loric: " + outcome).c_str());
    }
}

FLASH_DEVICE& Job::chip() {
    if (chip_ != nullptr) return *chip_;
    chips_ = LoadChipTable(FlashDataFile(globals_));
    const std::string name = ChipName(globals_, *session_);
    if (name.empty()) {
        throw ToolError(
            LORIC_ERR_INVALID_PARAMETER, "choose the flash chip on the board with --chip NAME",
            "`loric chips` lists the chips of " + chips_.file + "; LORIC_CHIP sets a default.");
    }
    chip_ = &FindChip(chips_, name);
    Record().SetChip(chip_->deviceName);
    return *chip_;
}

bool Job::chipNamed() const { return !ChipName(globals_, *session_).empty(); }

const DeviceLocation& Job::FindDevice() {
    const std::optional<uint16_t> node = ParseNode(globals_.node);
    if (node && !globals_.device.empty())
        throw ToolError(kExitUsage, "give --device or --node, not both");
    if (!node && globals_.device.empty()) {
        device_ = tool::FindDevice(false, std::nullopt);
    } else {
        const std::vector<BusDevice> devices = ScanBus(false);
        const BusDevice& chosen =
            node ? ChooseByNode(devices, *node) : ChooseById(devices, globals_.device);
        id_ = chosen.eui64;
        shared_ = devices.size() > 1;
        for (const BusDevice& other : devices)
            if (&other != &chosen) others_.push_back(other.location);
        // Alone on the bus, FindNode finds it and aims the library at it, as without a choice.
        device_ = shared_ ? chosen.location : tool::FindDevice(false, chosen.location.node);
        if (id_) Record().SetIdentityBefore(Eui64Text(*id_));
    }
    Record().SetDevice(device_.node, StateName(device_.state));
    TellUploadMode(device_);
    // Told once a node: a run of jobs (the station) finds its boards at the same few nodes.
    if (lock_ && device_.node != toldNode_) lock_->Tell("node " + NodeText(device_.node));
    toldNode_ = device_.node;
    return device_;
}

const DeviceLocation& Job::AwaitRestart() {
    if (!shared_) {
        device_ = FindRunningDevice(20);
        return device_;
    }
    // Among other boards only the id tells which one is this job's: its node changed when it
    // left the bus and came back.
    Reconnect();
    if (!id_) {
        throw ToolError(LORIC_ERR_DEVICE_NOT_RELOCATED,
                        "the board restarted, but with no EUI-64 known for it the tool cannot "
                        "tell it from the other boards on the bus",
                        "`loric nodes` lists the boards; check it there.");
    }
    const std::optional<uint16_t> node = WaitForId(*id_, 20);
    if (!node) {
        throw ToolError(LORIC_ERR_DEVICE_NOT_RELOCATED,
                        "the board " + Eui64Text(*id_) +
                            " did not come back with its firmware running after the reset",
                        "Power-cycle it and check it with `loric nodes`.");
    }
    device_ = {*node, false, DeviceState::Firmware};
    return device_;
}

void Job::Reconnect() {
    // The serial link keeps the node the adapter had when the library was opened, and sends
    // what is meant for that node to 0xFFC1: once a restart renumbered the nodes, that node may
    // be another board's. A new session asks the adapter for its node again.
    if (!shared_ || globals_.target.comPort.empty()) return;
    session_.reset();
    session_ = std::make_unique<Session>(globals_.target);
}

void Job::AfterLoaderStep(uint32_t* status, uint16_t* node) {
    if (!shared_) return;
    Reconnect();
    if (*status != LORIC_ERR_DEVICE_NOT_RELOCATED) return;
    // The library looks for the loader at nodes 0xFFC0 to 0xFFC2 only; the board joined last.
    std::vector<DeviceLocation> loaders;
    for (const BusDevice& device : ScanBus(false))
        if (device.location.state == DeviceState::Loader) loaders.push_back(device.location);
    if (loaders.size() != 1) return;
    *node = loaders[0].node;
    *status = LORIC_OK;
}

void Job::ExpectIdOf(const std::string& path) {
    const std::vector<uint8_t> image = ReadFileBytes(path);
    const uint32_t at = kConfigHeaderBytes + 12;
    if (image.size() < at + 8) return;
    id_ = (uint64_t{loric::bytes::LoadLittleEndian32(&image[at])} << 32) |
          loric::bytes::LoadLittleEndian32(&image[at + 4]);
}

void Job::RefuseShared(const std::string& what, const std::string& why,
                       const std::string& hint) const {
    if (!shared_) return;
    throw ToolError(
        LORIC_ERR_DEVICE_NOT_FOUND, what + " is not done among several devices on the bus: " + why,
        hint.empty() ? "Unplug the other boards for this job (`loric nodes` lists them)." : hint);
}

void Job::RefuseSharedLoader(bool assumeBlank, bool eraseDelay) const {
    if (device_.state == DeviceState::Firmware || device_.state == DeviceState::Upload) {
        RefuseShared("programming the bootstrap loader into a board that runs its firmware",
                     "the board drops to its flash port, and the library then takes the first "
                     "device that answers there, which may be another board");
    }
    if (assumeBlank || eraseDelay) {
        RefuseShared(
            std::string("a loader step with ") + (assumeBlank ? "--blank" : "--erase-delay"),
            "it leaves finding the board to the library, which takes the first device "
            "at a flash port",
            "Leave it out, or unplug the other boards for this job.");
    }
    for (const DeviceLocation& other : others_) {
        // The loader step restarts the board, which then joins the bus last: every device after
        // it moves down a node, and the library's last write to the board's node reaches the
        // one that took it.
        if (other.node > device_.node) {
            RefuseShared("a loader step on a board that is not the last on the bus",
                         "its restart gives its node to the device at " + NodeText(other.node) +
                             ", which the library's next write would reach",
                         "Unplug this board and plug it back in (it then joins the bus last), or "
                         "unplug the other boards.");
        }
        if (other.state == DeviceState::Loader || other.state == DeviceState::LoaderUpload) {
            RefuseShared("a loader step beside another board that runs its bootstrap loader",
                         "after the restart the library takes the first loader it finds, and the "
                         "one at " +
                             NodeText(other.node) + " may come first");
        }
    }
}

void Job::AimTarget(const FLASH_SECTOR* sector) {
    if (!shared_) return;
    if (sector == nullptr) {
        RefuseShared("a job on a chip record without a configuration sector",
                     "the board is aimed at by erasing that sector");
    }
    const uint32_t sectorAddress = sector->start;
    // A board plugged or unplugged since the board was found may have given it another node,
    // and what was read from the old one (the backups) may come from another board.
    if (id_) {
        const std::optional<uint16_t> now = FindById(*id_);
        if (now != device_.node) {
            throw ToolError(LORIC_ERR_DEVICE_NOT_FOUND,
                            "the board " + Eui64Text(*id_) +
                                (now ? " moved to node " + NodeText(*now) : " left the bus") +
                                " while the job prepared (a board was plugged or unplugged): "
                                "nothing was changed",
                            "Run the job again.");
        }
    }
    FLASH_DEVICE& flash = chip();
    Check(SetFlashDevice(&flash), "selecting the flash chip");
    Check(EraseFlashSector(device_.node, &flash, sectorAddress, 1),
          "erasing the sector at word " + Hex(sectorAddress, 6) + " through the flash port");
    if (FlashDeviceId(flash) == FLASH_INTERNAL_DEVICE_ID) return;  // the device erases it later
    // The flash port cannot be read: the sector is read through the device's read window until
    // it reads erased, for at most the longest erase of the chip's family.
    const uint32_t byteAddress = sectorAddress * BytesPerWord(flash);
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(FamilyTimingOf(flash).sectorEraseMs[1]);
    for (;;) {
        uint32_t value = 0;
        if (WriteQuadlet(device_.node, kRegisterHigh, kFlashReadCtrl, byteAddress) == 0 &&
            ReadQuadlet(device_.node, kRegisterHigh, kFlashReadCtrl, &value) == 0 &&
            value == 0xFFFFFFFFu)
            return;
        if (std::chrono::steady_clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw ToolError(LORIC_ERR_ERASE_TIMEOUT, "the sector at word " + Hex(sectorAddress, 6) +
                                                 " of the board at node " + NodeText(device_.node) +
                                                 " did not read erased after its erase");
}

void Job::SayDevice() { Say(DeviceLine(device_, chip_)); }

void Job::RefuseBlank(int code, const std::string& why) const {
    if (device_.state == DeviceState::FlashPort) throw BlankDeviceError(device_, code, why);
}

void Job::NextRecord(const std::string& command) {
    Record().Begin(command);
    Record().SetOrigin(ToolVersion(), LibraryVersion(), HostName());
    RecordLink(globals_.target);
    if (chip_ != nullptr) Record().SetChip(chip_->deviceName);
}

Progress& Job::progress() {
    if (!progress_) {
        progress_ = std::make_unique<Progress>(style_, stderr);
        if (watcher_) progress_->Watch(watcher_);
    }
    return *progress_;
}

}  // namespace tool
