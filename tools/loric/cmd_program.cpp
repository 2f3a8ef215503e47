// Commands that write the flash: program-loader, program, erase.
#include <cstdio>

#include "commands.h"
#include "errors.h"
#include "flash_read.h"

namespace tool {
namespace {

constexpr uint32_t kEraseAll = 0xFFFFFFFF;

}  // namespace

int CmdProgramLoader(const Globals& globals, const std::string& loader, uint32_t eraseDelay, bool assumeBlank) {
    RequireFile(loader, "loader image");
    if (eraseDelay > 30) throw ToolError(5, "--erase-delay: at most 30 seconds");
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Say(globals, "Device at node " + NodeText(device.node) + (device.blank ? " (at its flash port)" : "") + ", flash " +
                     chip.device->deviceName + ".");
    Progress progress(StyleOf(globals), stderr);
    progress.ExpectBytes("Uploading bootstrap loader...", FileSize(loader));
    uint16_t node = device.node;
    // A device that answers at its flash port is not necessarily erased (a cancelled or failed
    // job leaves data behind, and programming can only clear bits): the loader's sector is
    // erased first unless the user knows the flash is blank.
    uint32_t status = UploadFirmwareLoader(&node, const_cast<FLASH_DEVICE*>(chip.device), loader.c_str(),
                                           assumeBlank ? 1 : 0, eraseDelay, progress.window(), Progress::callback());
    progress.Finish();
    Check(status, "programming the bootstrap loader");
    Say(globals, "Bootstrap loader programmed; it runs at node " + NodeText(node) + ".");
    return 0;
}

int CmdProgram(const Globals& globals, const ProgramOptions& options) {
    RequireFile(options.firmware, "firmware image");
    if (!options.loader.empty()) RequireFile(options.loader, "loader image");
    TempDir temp;
    std::string configImage = ConfigImageFor(options.config, temp, options.force);

    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    uint64_t firmwareSize = FileSize(options.firmware);
    if (firmwareSize > chip.device->firmwareSpace) {
        throw ToolError(24, "the firmware image (" + std::to_string(firmwareSize) + " bytes) does not fit below the "
                            "configuration sector of " + chip.device->deviceName + " (" +
                            std::to_string(chip.device->firmwareSpace) + " bytes)",
                        "Check --chip and the firmware file.");
    }
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Say(globals, "Device at node " + NodeText(device.node) + (device.blank ? " (at its flash port)" : "") + ", flash " +
                     chip.device->deviceName + ".");
    Progress progress(StyleOf(globals), stderr);
    if (!device.blank && !options.noBackup) {
        BackupConfiguration(globals, device.node, *chip.device, options.backup, progress);
    }
    uint16_t node = device.node;
    if (device.blank || !options.loader.empty()) {
        if (options.loader.empty()) {
            throw ToolError(5, "the device is blank: it needs its bootstrap loader first",
                            "Add --loader FILE to program the loader before the firmware.");
        }
        progress.ExpectBytes("Uploading bootstrap loader...", FileSize(options.loader));
        uint32_t status = UploadFirmwareLoader(&node, flash, options.loader.c_str(), 0,
                                               options.eraseDelay, progress.window(), Progress::callback());
        progress.Finish();
        Check(status, "programming the bootstrap loader");
        Say(globals, "Bootstrap loader programmed; it runs at node " + NodeText(node) + ".");
    }
    progress.ExpectBytes("Uploading firmware...", firmwareSize);
    progress.ExpectBytes("Uploading configuration...", FileSize(configImage));
    uint32_t status = UploadFirmwareAndConfig(node, flash, options.firmware.c_str(), configImage.c_str(),
                                              progress.window(), Progress::callback());
    progress.Finish();
    Check(status, "programming the firmware and configuration");
    Say(globals, "Firmware and configuration programmed; the device restarts.");
    DeviceLocation running = FindRunningDevice(20);
    Say(globals, "Device runs its firmware at node " + NodeText(running.node) + ".");
    if (options.verify) {
        VerifyRegion(globals, running.node, 0,
                     ProgrammedFirmwareImage(ReadFileBytes(options.firmware), chip.device->configByteAddress), "firmware",
                     progress);
        VerifyRegion(globals, running.node, chip.device->configByteAddress, ReadFileBytes(configImage), "configuration",
                     progress);
    }
    return 0;
}

int CmdErase(const Globals& globals, const std::string& sectorText, const std::string& addressText, bool all,
             bool flashPort) {
    int chosen = (!sectorText.empty()) + (!addressText.empty()) + (all ? 1 : 0);
    if (chosen != 1) throw ToolError(kExitUsage, "erase: give exactly one of --sector N, --address A or --all");
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    uint32_t address = kEraseAll;
    std::string what = "the whole flash";
    if (!sectorText.empty()) {
        uint32_t index = ParseU32(sectorText, "--sector");
        if (index >= chip.device->sectorCount) {
            throw ToolError(5, std::string("--sector: ") + chip.device->deviceName + " has sectors 0 to " +
                                   std::to_string(chip.device->sectorCount - 1),
                            "`loric chips " + std::string(chip.device->deviceName) + "` lists them.");
        }
        address = chip.device->sectors[index].start;
        what = "sector " + std::to_string(index) + " (word " + Hex(address, 6) + ")";
    } else if (!addressText.empty()) {
        address = ParseU32(addressText, "--address");
        bool found = false;
        for (uint32_t i = 0; i < chip.device->sectorCount; ++i) {
            if (chip.device->sectors[i].start == address) {
                found = true;
                what = "sector " + std::to_string(i) + " (word " + Hex(address, 6) + ")";
            }
        }
        if (!found) {
            throw ToolError(5, "--address: " + Hex(address, 6) + " is not the start of a sector of " +
                                   chip.device->deviceName,
                            "Sector addresses count words; `loric chips " + std::string(chip.device->deviceName) +
                                "` lists them.");
        }
    }
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    if (device.blank && !flashPort) {
        flashPort = true;
        Say(globals, "The device is blank: erasing through its flash port.");
    }
    Progress progress(StyleOf(globals), stderr);
    if (flashPort) {
        Check(SetFlashDevice(flash), "selecting the flash chip");
    } else {
        progress.SetStep("Switching to upload mode...");
        Check(SwitchDeviceToUploadMode(device.node, flash), "switching the device to upload mode");
    }
    progress.SetStep("Erasing " + what + "...");
    uint32_t status = EraseFlashSector(device.node, flash, address, flashPort ? 1 : 0);
    progress.Finish();
    Check(status, "erasing " + what);
    Say(globals, "Erased " + what + "." +
                     (flashPort ? "" : " The device stays in upload mode until it is reset or power-cycled."));
    return 0;
}

}  // namespace tool
