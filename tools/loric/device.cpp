#include "device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "device_facts.h"
#include "errors.h"
#include "session.h"
#include "text.h"

namespace tool {
namespace {

// What the device at `node` runs. Only upload mode answers FLASH_ERASE_CTRL; only the loader
// (also in upload mode) reads UPLOADER_READY from FLASH_UPLOAD_CTRL.
DeviceState ProbeState(uint16_t node, bool blank) {
    uint32_t value = 0;
    const bool loader = blank && ReadQuadlet(node, kRegisterHigh, kFlashUploadCtrl, &value) == 0 &&
                        value == kUploaderReady;
    if (blank && !loader) return DeviceState::FlashPort;
    const bool upload = ReadQuadlet(node, kRegisterHigh, kFlashEraseCtrl, &value) == 0;
    if (loader) return upload ? DeviceState::LoaderUpload : DeviceState::Loader;
    return upload ? DeviceState::Upload : DeviceState::Firmware;
}

std::string NodeList(const std::vector<uint16_t>& nodes) {
    std::string text;
    for (size_t i = 0; i < nodes.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == nodes.size() ? " and " : ", ") + NodeText(nodes[i]);
    }
    return text;
}

}  // namespace

DeviceLocation DescribeNode(uint16_t node, bool blank) {
    return {node, blank, ProbeState(node, blank)};
}

std::vector<uint16_t> BlankNodes() {
    std::vector<uint16_t> nodes;
    for (uint32_t probe = 0xFFC0; probe <= 0xFFC2; ++probe) {
        if (WriteQuadlet(probe, kRegisterHigh, kFlashPortCtrl, 0) == 0) {
            nodes.push_back(static_cast<uint16_t>(probe));
        }
    }
    return nodes;
}

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
        } else if (KernelStackChosen()) {
            // The kernel gives a node a file only once it has read its configuration ROM.
            hint =
                "Through the kernel's 1394 stack only a board that runs its firmware can be "
                "reached: a "
                "blank board, or one that runs its bootstrap loader, has no configuration ROM the "
                "kernel "
                "can read. Connect a serial adapter and use --com PORT for it.";
        } else {
            hint = StatusHint(status);
        }
        throw ToolError(
            static_cast<int>(status),
            "no device found: error " + std::to_string(status) + ": " + StatusText(status), hint);
    }
    if (blank != 0) {
        // FindNode takes the first blank device that answers: with several, a job could reach
        // another board than the one the user looked at.
        const std::vector<uint16_t> nodes = BlankNodes();
        if (expected && std::find(nodes.begin(), nodes.end(), *expected) != nodes.end()) {
            node = *expected;
        } else if (expected && nodes.size() > 1) {
            throw ToolError(LORIC_ERR_DEVICE_NOT_FOUND,
                            "there is no device at node " + NodeText(*expected) +
                                "; devices the driver does not list answer at nodes " +
                                NodeList(nodes),
                            "Give one of those with --node.");
        } else if (!expected && nodes.size() > 1) {
            throw ToolError(
                LORIC_ERR_DEVICE_NOT_FOUND,
                std::to_string(nodes.size()) +
                    " devices the driver does not list (blank, or running their bootstrap loader) "
                    "answer at nodes " +
                    NodeList(nodes) + ": a job needs to know which one",
                "Choose one with --node (`loric nodes --blank` lists them), or disconnect the "
                "others.");
        }
    }
    if (expected && *expected != node) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "there is no device at node 0x%04X; the device found is at node 0x%04X",
                      *expected, node);
        throw ToolError(LORIC_ERR_DEVICE_NOT_FOUND, text,
                        KernelStackChosen()
                            ? KernelStackHint()
                            : "Leave out --node, or give the node that `loric nodes` shows.");
    }
    return DescribeNode(node, blank != 0);
}

std::string KernelStackHint() {
    return "Through the kernel's 1394 stack only a board that runs its firmware can be reached: a "
           "blank board, or one that runs its bootstrap loader, needs a serial adapter (--com "
           "PORT). `loric nodes` names the nodes without a configuration ROM.";
}

std::string StateText(DeviceState state) {
    switch (state) {
    case DeviceState::Firmware: return "running its firmware";
    case DeviceState::Loader: return "running its bootstrap loader";
    case DeviceState::FlashPort: return "blank (answers at its flash port)";
    case DeviceState::Upload:
        return "in upload mode: its flash may have changed since its firmware started";
    case DeviceState::LoaderUpload:
        return "in upload mode under its bootstrap loader: its flash may have changed since it "
               "started";
    }
    return {};
}

bool InUploadMode(DeviceState state) {
    return state == DeviceState::Upload || state == DeviceState::LoaderUpload;
}

std::string ResetHint() {
    return "A reset is needed: `loric write FLASH_UPLOAD_CTRL 0x80000000` restarts the device's "
           "processor (or "
           "power-cycle it); `loric nodes` then shows what its flash holds.";
}

void TellUploadMode(const DeviceLocation& device) {
    if (!InUploadMode(device.state)) return;
    std::fflush(stdout);
    std::fprintf(
        stderr,
        "loric: note: the device at node %s is %s (a job switched it to upload mode and it has not "
        "restarted since)\n  What to try: %s\n",
        NodeText(device.node).c_str(), StateText(device.state).c_str(), ResetHint().c_str());
}

DeviceLocation FindRunningDevice(int attempts) {
    for (int attempt = 1;; ++attempt) {
        uint16_t node = 0;
        uint32_t blank = 0;
        if (FindNode(&node, &blank) == 0 && blank == 0) return {node, false};
        if (attempt >= attempts) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    // The driver or the adapter may be what went away.
    ToolError failure =
        LibraryFailure(LORIC_ERR_DEVICE_NOT_RELOCATED, "waiting for the device to restart");
    if (failure.code() == kExitConnectionLost) throw failure;
    throw ToolError(LORIC_ERR_DEVICE_NOT_RELOCATED,
                    "the device did not come back with its firmware running after the reset",
                    "Power-cycle the device and check it with `loric nodes`.");
}

std::string DeviceLine(const DeviceLocation& device, const FLASH_DEVICE* chip) {
    std::string state = device.state == DeviceState::FlashPort ? "at its flash port"
                        : InUploadMode(device.state)           ? "in upload mode"
                                                               : StateText(device.state);
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
