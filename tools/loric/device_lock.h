// One job per device at a time. Every command that reaches a device holds an exclusive lock on
// what leads to it for its whole run, so that a second command (another user's, a script's, a
// read in a second shell) never mixes its requests into a running job.
//
// What is locked is the way to the device that stays the same through the job: the serial port
// (the adapter and its bus), or the driver socket (the bus behind it). Not the node: finding the
// device already writes to FLASH_PORT_CTRL at every node a blank device may answer at, and a
// device moves node as its loader starts and as it restarts, so the lock is taken before the
// device is looked for and is kept while it moves. The node, once known, is added to what the
// lock tells a second command.
//
// Linux: an advisory lock (flock) on a file in /tmp/loric-lock, a folder every user may write
// to (not $XDG_RUNTIME_DIR, which is the user's own: two users of one bench must exclude each
// other); LORIC_LOCK_DIR names another folder. The file holds the holder's pid and command line
// and is removed when the lock is let go. The kernel lets the lock go when a process ends, however
// it ends. Windows: a named mutex in the Global\ namespace (one for the whole machine, across
// the sessions of several users and services; a mutex there needs no privilege), the holder in a
// file of the same name in the common application data folder.
#pragma once

#include <memory>
#include <string>

namespace tool {

struct TargetOptions;

// What a lock is taken on: `key` names the file or mutex, `shown` the device in messages ("" when
// the target has no lock: the simulated device embedded in the tool).
struct LockTarget {
    std::string key;
    std::string shown;
};

// The lock of the target of `options`: the serial port by its real path (COMn as the library
// names it), else the driver socket (BRENNOCK_SOCKET or its default).
LockTarget LockTargetOf(const TargetOptions& options);

class DeviceLock {
public:
    // Takes the lock, trying again until `waitSeconds` have passed. Held by another process
    // still: ToolError(kExitDeviceBusy) naming that process (pid and command line). `say` tells
    // the user once that the command waits, when it waits longer than a moment. A Ctrl-C while
    // waiting cancels (LORIC_ERR_CANCELLED).
    static std::unique_ptr<DeviceLock> Take(const LockTarget& target,
                                            const std::string& commandLine, double waitSeconds,
                                            void (*say)(const std::string& line));
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;

    // Adds a line to what a second command is told ("node 0xFFC0").
    void Tell(const std::string& line);

    struct Impl;

private:
    explicit DeviceLock(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// How long a second command waits for the lock when --wait-lock does not say.
constexpr double kDefaultLockWait = 2.0;

// The holder file's text for a process: "pid N\ncommand WORDS\n" (parsed back by HolderText).
std::string HolderRecord(long pid, const std::string& commandLine);
// A holder file's text in words for a message: "pid 4711 (`loric program fw.bin c.json`), node
// 0xFFC0"; "another process" when it holds nothing readable.
std::string HolderText(const std::string& record);

}  // namespace tool
