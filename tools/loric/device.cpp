#include "device.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "device_facts.h"
#include "errors.h"
#include "text.h"

namespace tool {

DeviceLocation FindDevice(bool blankOnly, std::optional<uint16_t> expected) {
    uint16_t node = 0;
    uint32_t blank = blankOnly ? 1 : 0;
    uint32_t status = FindNode(&node, &blank);
    if (status != 0) {
        // Say what is on the bus, so that the user sees why.
        uint32_t count = 0;
        NODE_INFO records[16] = {};
        std::string hint;
        if (!blankOnly && GetNodeInfo(&count, records, sizeof records) == 0 && count > 1) {
            hint = std::to_string(count) +
                   " nodes answer on the bus; programming needs exactly one device. "
                   "Disconnect the others (`loric nodes` lists them).";
        } else {
            hint = StatusHint(status);
        }
        throw ToolError(
            static_cast<int>(status),
            "no device found: error " + std::to_string(status) + ": " + StatusText(status), hint);
    }
    if (expected && *expected != node) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "there is no device at node 0x%04X; the device found is at node 0x%04X",
                      *expected, node);
        throw ToolError(LORIC_ERR_DEVICE_NOT_FOUND, text,
                        "Leave out --node, or give the node that `loric nodes` shows.");
    }
    DeviceLocation location{node, blank != 0, DeviceState::Firmware};
    if (location.blank) {
        uint32_t value = 0;
        location.state = ReadQuadlet(node, kRegisterHigh, kFlashUploadCtrl, &value) == 0 &&
                                 value == kUploaderReady
                             ? DeviceState::Loader
                             : DeviceState::FlashPort;
    }
    return location;
}

std::string StateText(DeviceState state) {
    switch (state) {
    case DeviceState::Firmware: return "running its firmware";
    case DeviceState::Loader: return "running its bootstrap loader";
    case DeviceState::FlashPort: return "blank (answers at its flash port)";
    }
    return {};
}

DeviceLocation FindRunningDevice(int attempts) {
    for (int attempt = 1;; ++attempt) {
        uint16_t node = 0;
        uint32_t blank = 0;
        if (FindNode(&node, &blank) == 0 && blank == 0) return {node, false};
        if (attempt >= attempts) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    throw ToolError(LORIC_ERR_DEVICE_NOT_RELOCATED,
                    "the device did not come back with its firmware running after the reset",
                    "Power-cycle the device and check it with `loric nodes`.");
}

std::string DeviceLine(const DeviceLocation& device, const FLASH_DEVICE* chip) {
    std::string state =
        device.state == DeviceState::FlashPort ? "at its flash port" : StateText(device.state);
    return "Device at node " + NodeText(device.node) + " (" + state + ")" +
           (chip ? std::string(", flash ") + chip->deviceName : std::string()) + ".";
}

ToolError BlankDeviceError(const DeviceLocation& device, int code, const std::string& job) {
    return ToolError(code,
                     "the device at node " + NodeText(device.node) +
                         " is blank: it answers only at its flash port, so " + job,
                     "Program it first: `loric program FIRMWARE CONFIG --loader LOADER`.");
}

}  // namespace tool
