// Commands that read the flash back: timestamp, dump, verify.
#include <cstdio>

#include "commands.h"
#include "errors.h"
#include "flash_read.h"

namespace tool {

int CmdTimestamp(const Globals& globals) {
    Session session(globals.target);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.blank) {
        throw ToolError(16, "the device is blank: it has no firmware time stamp", "Program firmware with `loric program`.");
    }
    char time[64] = {};
    char date[64] = {};
    Check(DownloadTimestamp(device.node, time, date), "reading the firmware time stamp");
    std::printf("Firmware time stamp: %s %s\n", time, date);
    return 0;
}

int CmdDump(const Globals& globals, const std::string& addressText, const std::string& lengthText,
            const std::string& out) {
    uint32_t address = ParseU32(addressText, "address");
    uint32_t length = ParseU32(lengthText, "length");
    Session session(globals.target);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (!globals.chip.empty() || session.simChipName().size()) {
        ChipChoice chip = SelectChip(session, globals);
        uint64_t size = chip.device->totalBits / 8;
        if (static_cast<uint64_t>(address) + length > size) {
            throw ToolError(5, "the range " + Hex(address, 6) + " + " + std::to_string(length) + " bytes runs past the end of " +
                                   chip.device->deviceName + " (" + std::to_string(size) + " bytes)");
        }
    }
    Progress progress(out.empty() ? ProgressStyle::None : StyleOf(globals), stderr);
    std::vector<uint8_t> bytes = ReadFlash(device.node, address, length, &progress);
    if (out.empty()) {
        std::fputs(HexDump(bytes, address).c_str(), stdout);
    } else {
        WriteFileBytes(out, bytes);
        Say(globals, "Wrote " + std::to_string(bytes.size()) + " bytes of flash from " + Hex(address, 6) + " to " + out + ".");
    }
    return 0;
}

int CmdVerify(const Globals& globals, const std::string& file, const std::string& addressText, bool firmware) {
    std::vector<uint8_t> expected = ReadFileBytes(file);
    if (expected.empty()) throw ToolError(7, "the file " + file + " is empty");
    uint32_t address = addressText.empty() ? 0 : ParseU32(addressText, "--address");
    Session session(globals.target);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (firmware) {
        ChipChoice chip = SelectChip(session, globals);
        expected = ProgrammedFirmwareImage(std::move(expected), chip.device->configByteAddress);
    }
    Progress progress(StyleOf(globals), stderr);
    VerifyRegion(globals, device.node, address, expected, "flash", progress);
    return 0;
}

}  // namespace tool
