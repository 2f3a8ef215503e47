// The kernel's 1394 stack on Linux (firewire-core): one character device per node, /dev/fwN,
// spoken to with the firewire-cdev ioctls. Only firewire.cpp knows the kernel's structures;
// the link above sees node files, bus state and transaction outcomes in the library's terms.
//
// Every system call goes through KernelHooks, so that a test can put an in-process fake of
// firewire-core behind them. Linux only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loric::platform::firewire {

// Where the node files are and what they are called.
inline constexpr const char* kDeviceDirectory = "/dev";
inline constexpr const char* kNodeFilePrefix = "fw";

// The config ROM holds at most 1 KiB (256 quadlets) from 0xFFFFF0000400.
inline constexpr uint32_t kRomQuadlets = 256;
// The largest block a transaction carries here.
inline constexpr uint32_t kMaxPayload = 2048;

// Windows error numbers this link reports beyond those of platform.h.
inline constexpr uint32_t kErrorSemTimeout = 121;  // no node acknowledged the request

// The kernel's response codes (IEEE 1394 rcodes and firewire-core's own, 0x10 up).
inline constexpr uint32_t kRcodeComplete = 0x00;
inline constexpr uint32_t kRcodeConflictError = 0x04;
inline constexpr uint32_t kRcodeDataError = 0x05;
inline constexpr uint32_t kRcodeTypeError = 0x06;
inline constexpr uint32_t kRcodeAddressError = 0x07;
inline constexpr uint32_t kRcodeSendError = 0x10;
inline constexpr uint32_t kRcodeCancelled = 0x11;
inline constexpr uint32_t kRcodeBusy = 0x12;
inline constexpr uint32_t kRcodeGeneration = 0x13;
inline constexpr uint32_t kRcodeNoAck = 0x14;

// The system calls made for the node files. Tests replace them; null members fall back to the
// system's own. Plain data: no code runs at load. `open`, `close`, `ioctl` and `read` behave
// as their system calls (-1 with errno set on failure); `list` stores the names found in
// kDeviceDirectory and returns false, with errno set, when it cannot read it.
struct KernelHooks {
    int (*open)(void* context, const char* path);
    int (*close)(void* context, int fd);
    int (*ioctl)(void* context, int fd, unsigned long request, void* argument);
    long (*read)(void* context, int fd, void* buffer, size_t size);
    bool (*list)(void* context, std::vector<std::string>* names);
    void* context;
};
void SetKernelHooks(const KernelHooks* hooks);  // null restores the system calls

// The node files present now ("/dev/fw0", ...), by number.
std::vector<std::string> NodeFiles();

// Whether OpenLORIC goes through the kernel's stack: LORIC_LINK=firewire or =socket decides;
// otherwise yes when a node file exists and BRENNOCK_SOCKET is not set.
bool KernelStackChosen();

// What GET_INFO reports of a node file: the bus as of the last reset and the node's config
// ROM (host byte order, as many quadlets as the kernel read).
struct NodeInfo {
    uint32_t generation = 0;
    uint16_t nodeId = 0;
    uint16_t localNodeId = 0;
    uint16_t rootNodeId = 0;
    std::vector<uint32_t> rom;
};

// The outcome of a call on a node file. On kFailed the last error is set (Windows numbering).
enum class Outcome {
    kDone,
    kStaleGeneration,  // the generation given is over: refresh it and try again
    kNodeGone,         // the node left the bus; its file is dead (ENODEV)
    kFailed,
};

// Opens a node file for reading and writing: its descriptor, or -1 with the last error set
// (5 when the file is not open to this user).
int OpenNode(const char* path);
void CloseNode(int fd);
// Declares the ABI version and reads the node's state and config ROM (also after a reset).
Outcome GetNodeInfo(int fd, NodeInfo* info);
// One transaction to the file's node in `generation`: a quadlet (length 4) or block read or
// write of `length` bytes at `offset` (48 bits). `data` is in bus byte order; a read stores
// what the response carries. Waits for the response, passing over other events.
Outcome Transaction(int fd, bool write, uint64_t offset, uint32_t generation, uint8_t* data,
                    uint32_t length);
// Starts a bus reset (long, arbitrated) from any node file.
Outcome InitiateBusReset(int fd);

// The Windows error numbers for an errno value and for a response code other than complete.
uint32_t ErrorOfErrno(int error);
uint32_t ErrorOfRcode(uint32_t rcode);

}  // namespace loric::platform::firewire
