// The device on the bus: finding it, what it runs, and how the tool names it in messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "errors.h"
#include "loric.h"

namespace tool {

// What the device runs: its firmware (listed by the driver), its bootstrap loader (not listed;
// answers FLASH_UPLOAD_CTRL with UPLOADER_READY), or nothing (answers only at its flash port).
// Upload and LoaderUpload: the firmware or the loader switched to upload mode (its erase and
// checksum registers answer) and has not restarted since, so its flash may no longer hold what
// it started from (an erase, a job stopped half-way): it needs a reset before it is trusted.
enum class DeviceState { Firmware, Loader, FlashPort, Upload, LoaderUpload };

struct DeviceLocation {
    uint16_t node = 0;
    bool blank = false;  // not listed: found at its flash port (loader or nothing running)
    DeviceState state = DeviceState::Firmware;
};

// "running its firmware", "running its bootstrap loader", "blank (answers at its flash port)",
// "in upload mode ...".
std::string StateText(DeviceState state);

// Whether the device was switched to upload mode and not restarted since.
bool InUploadMode(DeviceState state);

// Why a node without a configuration ROM cannot be reached through the kernel's 1394 stack,
// and what can reach it.
std::string KernelStackHint();

// What to do about a device in upload mode: reset it.
std::string ResetHint();

// What the device at `node` runs (`blank`: found at its flash port), read from its registers.
DeviceLocation DescribeNode(uint16_t node, bool blank);

// Tells the user on standard error when the device is in upload mode (nothing otherwise).
void TellUploadMode(const DeviceLocation& device);

// The blank device IDs that answer at their flash port (0xFFC0 to 0xFFC2), in order.
std::vector<uint16_t> BlankNodes();

// FindNode, with a message that says what is on the bus when it fails. With `expected`, a
// device at another node is an error too (LORIC_ERR_DEVICE_NOT_FOUND). Several blank devices
// are refused unless `expected` names one of them.
DeviceLocation FindDevice(bool blankOnly, std::optional<uint16_t> expected);

// Waits up to `attempts` tries for a device that runs its firmware (after a processor reset);
// ToolError(LORIC_ERR_DEVICE_NOT_RELOCATED) when it does not come.
DeviceLocation FindRunningDevice(int attempts);

// How a command names the device it found: "Device at node 0xFFC0 (running its firmware), flash
// 29F040B."
std::string DeviceLine(const DeviceLocation& device, const FLASH_DEVICE* chip);

// A device that answers only at its flash port cannot do a job that reads its flash: the
// ToolError (with `code`) that says so.
ToolError BlankDeviceError(const DeviceLocation& device, int code, const std::string& job);

}  // namespace tool
