#include "job.h"

#include <cstdio>
#include <cstdlib>

#include "arguments.h"
#include "errors.h"
#include "interrupt.h"
#include "record.h"
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

const char* StateName(DeviceState state) {
    switch (state) {
    case DeviceState::Firmware: return "running";
    case DeviceState::Loader: return "loader";
    case DeviceState::FlashPort: return "blank";
    case DeviceState::Upload:
    case DeviceState::LoaderUpload: return "upload";
    }
    return "";
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
    device_ = tool::FindDevice(false, ParseNode(globals_.node));
    Record().SetDevice(device_.node, StateName(device_.state));
    TellUploadMode(device_);
    // Told once a node: a run of jobs (the station) finds its boards at the same few nodes.
    if (lock_ && device_.node != toldNode_) lock_->Tell("node " + NodeText(device_.node));
    toldNode_ = device_.node;
    return device_;
}

const DeviceLocation& Job::AwaitRestart() {
    device_ = FindRunningDevice(20);
    return device_;
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
