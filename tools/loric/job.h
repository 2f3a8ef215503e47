// One command's work on a device. A command that talks to the device reads as: its inputs, then
//
//     Job job(globals);                        // open the library on the target
//     FLASH_DEVICE& chip = job.chip();          // the flash chip in use (when the job needs it)
//     const DeviceLocation& device = job.FindDevice();
//     ... checks, the change (job.progress() shows it), the read-back ...
//
// The job owns the device's lock (taken before anything reaches the device), the session, the chip
// record (its own copy, which the library may change), the device found and the progress display,
// and lets them go in that reverse order.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chips.h"
#include "device.h"
#include "device_lock.h"
#include "loric.h"
#include "progress.h"
#include "session.h"

namespace tool {

// The options before the command.
struct Globals {
    TargetOptions target;
    std::string trace;
    std::string flashData;
    std::string chip;
    std::string node;
    std::string device;  // --device: the board's EUI-64, or a unique prefix of it
    std::string progress = "auto";
    bool quiet = false;
    bool yes = false;  // --yes: answers confirmation questions (scripts)
    double waitLock =
        kDefaultLockWait;     // --wait-lock: seconds to wait for another job on the device
    std::string commandLine;  // this command, as the lock tells another one
    bool json = false;        // --json: one JSON document on standard output, nothing else there
    std::string report;       // --report: the job record (JSON Lines) to append this job to
    std::string log;          // --log: the trace log's file ("": debug.log)
};

// The progress display --progress and --quiet ask for.
ProgressStyle StyleOf(const Globals& globals);

// Prints a line for the user (suppressed by --quiet).
void Say(const Globals& globals, const std::string& line);

// The flash data file: --flash-data, or the shipped one.
std::string FlashDataFile(const Globals& globals);

class Job {
public:
    // Takes the device's lock (device_lock.h), then opens the library on the target of `globals`;
    // ToolError when another job holds the device or the library does not open.
    explicit Job(const Globals& globals);
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    const Globals& globals() const { return globals_; }
    Session& session() { return *session_; }
    // The embedded simulator is the target: its chip needs no time to erase.
    bool simulated() const { return !session_->simChipName().empty(); }

    // The flash chip on the board: --chip, LORIC_CHIP, or the simulated device's own, from the
    // flash data file (loaded on the first call). ToolError(LORIC_ERR_INVALID_PARAMETER) when
    // none is named or the name is not in the file.
    FLASH_DEVICE& chip();
    // Whether a chip is named at all, so that chip() would not ask for one.
    bool chipNamed() const;

    // Finds the device: the one on the bus, or the board --device (its EUI-64) or --node names
    // among several; remembered as device().
    const DeviceLocation& FindDevice();
    // Other devices share the bus with the job's board: the library cannot find it by itself
    // (AimTarget), and after a restart it is found again by its EUI-64.
    bool shared() const { return shared_; }
    // The library's operations that take no node (uploads, flash port erases, resets) act on its
    // target, which only FindNode (one device on the bus) or a flash port erase sets. Alone on
    // the bus FindDevice has set it; among others this erases `sector`, one the job erases
    // anyway, through the flash port of the job's board, which makes the board the
    // target, and waits until the sector reads erased. Call it once the backups are made.
    void AimTarget(const FLASH_SECTOR* sector);
    // The board restarts with the EUI-64 of the configuration image `path` (the one written).
    void ExpectIdOf(const std::string& path);
    // Among other boards a job whose library steps would look for the board by themselves (a
    // loader step that drops a running board to its flash port, or one given --blank or
    // --erase-delay, or one beside another board that runs its loader), or that cannot aim the
    // library at it (`what`, a sector it does not erase) is refused before anything is done:
    // ToolError(LORIC_ERR_DEVICE_NOT_FOUND) saying why and to unplug the others.
    void RefuseSharedLoader(bool assumeBlank, bool eraseDelay) const;
    void RefuseShared(const std::string& what, const std::string& why,
                      const std::string& hint = "") const;
    // After a loader step among other boards: the library opened anew over a serial adapter
    // (Reconnect), and when the library did not find the loader (`status`
    // LORIC_ERR_DEVICE_NOT_RELOCATED: it looks at nodes 0xFFC0 to 0xFFC2 only), the one board on
    // the bus that runs its loader, which RefuseSharedLoader made sure is this job's: `node`
    // and a `status` of 0.
    void AfterLoaderStep(uint32_t* status, uint16_t* node);
    const DeviceLocation& device() const { return device_; }
    // The device's node now; MovedTo records a new one (a loader that started, a restart).
    uint16_t node() const { return device_.node; }
    void MovedTo(uint16_t node) { device_.node = node; }
    // Waits for the device to run its firmware again after a restart, and records its node.
    const DeviceLocation& AwaitRestart();

    // "Device at node 0xFFC0 (running its firmware), flash 29F040B." (with the chip when chosen)
    void SayDevice();
    // A job that needs the device's read window: BlankDeviceError(code) at its flash port.
    void RefuseBlank(int code, const std::string& why) const;

    // The progress display (created on first use, in the style of the options; HideProgress
    // before that use shows nothing).
    Progress& progress();
    void HideProgress() { style_ = ProgressStyle::None; }

    // Ends the progress display, its open step going into the record (the next use makes a
    // new one).
    void EndProgress() { progress_.reset(); }
    // The watcher every progress display of this job gets (Progress::Watch).
    void WatchProgress(Progress::Watcher watcher) { watcher_ = std::move(watcher); }

    // A run of jobs on one open library (the station): begins a new record of the run for the
    // next job, with the target and chip of this one.
    void NextRecord(const std::string& command);

    void Say(const std::string& line) const { tool::Say(globals_, line); }

private:
    // Over a serial adapter among other boards, after a reset: the library closed and opened
    // again, so that the link learns the adapter's node anew.
    void Reconnect();

    const Globals& globals_;
    std::unique_ptr<DeviceLock> lock_;  // let go last, once the library is closed
    std::unique_ptr<Session> session_;
    ChipTable chips_;
    FLASH_DEVICE* chip_ = nullptr;
    DeviceLocation device_;
    uint16_t toldNode_ = 0;       // the node the lock last named
    std::optional<uint64_t> id_;  // the board's EUI-64, when known
    bool shared_ = false;
    std::vector<DeviceLocation> others_;  // the other devices on the bus
    ProgressStyle style_;
    std::unique_ptr<Progress> progress_;
    Progress::Watcher watcher_;
};

}  // namespace tool
