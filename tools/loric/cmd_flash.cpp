// Commands that read the flash back: timestamp, dump, verify.
#include <cstdio>
#include <cstdlib>

#include "checks.h"
#include "commands.h"
#include "errors.h"
#include "flash_read.h"

namespace tool {
namespace {

// A range of the flash lies inside the chip, when the chip is known (--chip, LORIC_CHIP, or the
// simulated device's own); without one the read window gives 0xFF past the end.
void CheckRangeIfChipKnown(Session& session, const Globals& globals, uint64_t address, uint64_t length) {
    const char* fromEnvironment = std::getenv("LORIC_CHIP");
    if (globals.chip.empty() && !(fromEnvironment && *fromEnvironment) && session.simChipName().empty()) return;
    ChipChoice chip = SelectChip(session, globals);
    CheckFlashRange(address, length, *chip.device);
}

}  // namespace

int CmdTimestamp(const Globals& globals) {
    Session session(globals.target);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.state == DeviceState::FlashPort) throw BlankDeviceError(device, 16, "it has no time stamp");
    // The time stamp is that of the image that started: the firmware's, or the loader's.
    const bool loader = device.state == DeviceState::Loader;
    char time[64] = {};
    char date[64] = {};
    Check(DownloadTimestamp(device.node, time, date),
          loader ? "reading the bootstrap loader's time stamp" : "reading the firmware time stamp");
    std::printf("%s time stamp: %s %s\n", loader ? "Bootstrap loader (the device runs no firmware)" : "Firmware", time,
                date);
    return 0;
}

int CmdDump(const Globals& globals, const std::string& addressText, const std::string& lengthText,
            const std::string& out) {
    uint32_t address = ParseU32(addressText, "address");
    uint32_t length = ParseU32(lengthText, "length");
    Session session(globals.target);
    CheckRangeIfChipKnown(session, globals, address, length);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.state == DeviceState::FlashPort) throw BlankDeviceError(device, 10, "it has no read window to dump");
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
    std::vector<uint8_t> expected = ReadInputFile(file, "file");
    uint32_t address = addressText.empty() ? 0 : ParseU32(addressText, "--address");
    Session session(globals.target);
    CheckRangeIfChipKnown(session, globals, address, expected.size());
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.state == DeviceState::FlashPort) throw BlankDeviceError(device, 10, "it has no read window to verify");
    if (firmware) {
        ChipChoice chip = SelectChip(session, globals);
        expected = ProgrammedFirmwareImage(std::move(expected), chip.device->configByteAddress);
    }
    Progress progress(StyleOf(globals), stderr);
    VerifyRegion(globals, device.node, address, expected, "flash", progress);
    return 0;
}

}  // namespace tool
