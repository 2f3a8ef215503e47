#include "errors.h"

#include <cstdio>

#include "device_facts.h"
#include "loric.h"

namespace tool {

std::string StatusText(uint32_t status) {
    // Room for the longest template with a file name of the library's longest kept name.
    char text[2048] = {};
    if (GetErrorText(status, text) != 0 || text[0] == '\0') {
        return "unknown status";
    }
    return text;
}

std::string StatusHint(uint32_t status) {
    switch (status) {
    case LORIC_ERR_OPEN_DRIVER:
#if defined(_WIN32)
        return "The 1394 driver BRENNOCK is not installed or not started (\\\\.\\BRENNOCK cannot "
               "be "
               "opened): install it, or start it with `sc start BRENNOCK` as an administrator, and "
               "check that the device is connected. Use --com PORT for a serial adapter.";
#else
        return "Check that the 1394 driver is running and the device is connected. On Linux the "
               "driver is reached through the socket in BRENNOCK_SOCKET (default "
               "/tmp/brennock.sock), or through the kernel's 1394 stack (--link firewire). Use "
               "--com PORT for a serial adapter, or --sim for the simulated device.";
#endif
    case LORIC_ERR_ACCESS_DENIED:
        return "The library was not open; this is a fault of the tool, please report it.";
    case LORIC_ERR_DRIVER_INTERNAL:
        return "The driver or adapter refused a request. Check the cable and the device's power, "
               "then run again with --trace all and read debug.log.";
    case LORIC_ERR_INVALID_PARAMETER:
        return "An argument was out of range. See `loric help` for the command's arguments.";
    case LORIC_ERR_FILE_OPEN:
    case LORIC_ERR_FILE_IO:
        return "Check the file name, that the file exists and can be read, or that its folder "
               "can be written.";
    case LORIC_ERR_NO_MEMORY:
        return "The computer ran out of memory: close other programs and try again.";
    case LORIC_ERR_QUADLET_READ:
    case LORIC_ERR_QUADLET_WRITE:
        return "The node did not answer at that address. Check the node ID (`loric nodes`), the "
               "cable and the device's power.";
    case LORIC_ERR_DEVICE_NOT_FOUND:
        return "No single device was found. Check that exactly one device is connected and "
               "powered (`loric nodes` lists the bus); a blank device is found with `loric "
               "nodes --blank`.";
    case LORIC_ERR_DEVICE_NOT_RELOCATED:
        return "The device did not come back after its reset. Power-cycle it and run the command "
               "again; if it stays blank, program the loader again (`loric program-loader`).";
    case LORIC_ERR_FLASH_DATA_FILE:
        return "The flash data file is not valid. Check the file given with --flash-data.";
    case LORIC_ERR_UPLOAD_MODE:
        return "The device did not enter upload mode. Check that it runs its loader or firmware "
               "(`loric nodes`) and that --chip names the flash chip on the board.";
    case LORIC_ERR_FLASH_PORT_MODE:
        return "The device did not switch to flash port programming. Power-cycle it and try "
               "again.";
    case LORIC_ERR_TIMESTAMP:
        return "The firmware gave no time stamp. Is firmware programmed (`loric program`)?";
    case LORIC_ERR_CONFIG_DOWNLOAD:
        return "The configuration sector holds no configuration: the device is blank, or --chip "
               "does not name the flash chip on the board.";
    case LORIC_ERR_FILE_UPLOAD:
        return "The file did not reach the flash intact. Check --chip and the cable, then program "
               "again.";
    case LORIC_ERR_CONFIG_IMPORT:
        return "The file is not a valid configuration image (bad CRC or texts). `loric config "
               "show FILE` shows which part is wrong.";
    case LORIC_ERR_CANCELLED:
        return "The operation was cancelled; the flash may be partly programmed. Run the command "
               "again; if the device now shows as blank (`loric nodes`), add --loader LOADER to "
               "`loric program`.";
    case LORIC_ERR_ERASE_FAILED:
    case LORIC_ERR_ERASE_TIMEOUT:
        return "The flash did not erase. Check that --chip names the flash chip on the board, "
               "power-cycle the device and try again.";
    case LORIC_ERR_FILE_TOO_LARGE:
        return "The image does not fit the selected flash. Check --chip and the file.";
    case LORIC_ERR_BOOTSTRAP_UPLOAD:
    case LORIC_ERR_FIRMWARE_UPLOAD:
        return "Programming failed; run the command again. If it keeps failing, power-cycle the "
               "device.";
    case LORIC_ERR_CONFIG_UPLOAD:
        return "The configuration was not programmed (failed or cancelled); the configuration "
               "sector may be empty now. Run `loric config upload` again.";
    case LORIC_ERR_FLASH_RESET:
    case LORIC_ERR_BUS_RESET:
    case LORIC_ERR_DEVICE_RESET:
    case LORIC_ERR_PROCESSOR_RESET:
        return "The reset was refused. Power-cycle the device and run the command again.";
    default: return {};
    }
}

namespace {

std::string& LinkName() {
    static std::string name;
    return name;
}

// Statuses of a call that went over the link: the driver or the adapter may be gone.
bool CrossedTheLink(uint32_t status) {
    switch (status) {
    case LORIC_ERR_DRIVER_INTERNAL:
    case LORIC_ERR_QUADLET_READ:
    case LORIC_ERR_QUADLET_WRITE:
    case LORIC_ERR_DEVICE_NOT_FOUND:
    case LORIC_ERR_DEVICE_NOT_RELOCATED:
    case LORIC_ERR_UPLOAD_MODE:
    case LORIC_ERR_FLASH_PORT_MODE:
    case LORIC_ERR_TIMESTAMP:
    case LORIC_ERR_CONFIG_DOWNLOAD:
    case LORIC_ERR_FILE_UPLOAD:
    case LORIC_ERR_ERASE_FAILED:
    case LORIC_ERR_ERASE_TIMEOUT:
    case LORIC_ERR_BOOTSTRAP_UPLOAD:
    case LORIC_ERR_FIRMWARE_UPLOAD:
    case LORIC_ERR_CONFIG_UPLOAD:
    case LORIC_ERR_FLASH_RESET:
    case LORIC_ERR_BUS_RESET:
    case LORIC_ERR_DEVICE_RESET:
    case LORIC_ERR_PROCESSOR_RESET: return true;
    default: return false;
    }
}

enum class Lost { Nothing, Link, Everything };

// What is left after a failed call. The driver answers a node list request whenever it is
// there at all (the serial adapter's list comes back empty instead); a device answers either
// in the list or at its flash port, so when neither answers, the device, its cable or the
// adapter is gone.
Lost WhatWasLost() {
    NODE_INFO records[16] = {};
    uint32_t count = 0;
    if (GetNodeInfo(&count, records, sizeof records) != 0) return Lost::Link;
    if (count != 0) return Lost::Nothing;
    for (uint32_t node = 0xFFC0; node <= 0xFFC2; ++node) {
        if (WriteQuadlet(node, kRegisterHigh, kFlashPortCtrl, 0) == 0) return Lost::Nothing;
    }
    return Lost::Everything;
}

}  // namespace

void SetLinkName(const std::string& name) { LinkName() = name; }

ToolError LibraryFailure(uint32_t status, const std::string& action, const std::string& more) {
    // The text first: the probe below is a call of its own.
    const std::string text = "error " + std::to_string(status) + ": " + StatusText(status);
    const Lost lost = !LinkName().empty() && CrossedTheLink(status) ? WhatWasLost() : Lost::Nothing;
    const bool serial = LinkName().rfind("the serial", 0) == 0;
    const std::string then =
        "then see what the device holds with `loric nodes`." + (more.empty() ? "" : " " + more);
    if (lost == Lost::Link) {
        return ToolError(
            kExitConnectionLost,
            action + " failed: the connection to " + LinkName() + " was lost (" + text + ")",
            "Check that " + LinkName() + " answers again (" +
                (serial ? "the adapter plugged in and powered" : "the driver running") + "), " +
                then);
    }
    if (lost == Lost::Everything && status != LORIC_ERR_DEVICE_NOT_RELOCATED) {
        return ToolError(kExitConnectionLost,
                         action + " failed: nothing answers through " + LinkName() +
                             " any more: the connection to the device was lost (" + text + ")",
                         std::string("Check the device's cable and power") +
                             (serial ? " and that the adapter is plugged in and powered" : "") +
                             ", " + then);
    }
    const std::string hint = StatusHint(status);
    return ToolError(static_cast<int>(status), action + " failed: " + text,
                     hint.empty()   ? more
                     : more.empty() ? hint
                                    : hint + " " + more);
}

void Check(uint32_t status, const std::string& action) {
    if (status != 0) throw LibraryFailure(status, action);
}

ToolError StatusError(uint32_t status, const std::string& action, const std::string& hint) {
    return ToolError(static_cast<int>(status),
                     action + ": error " + std::to_string(status) + ": " + StatusText(status),
                     hint.empty() ? StatusHint(status) : hint);
}

}  // namespace tool
