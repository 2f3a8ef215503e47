// Commands that write the flash: program-loader, program, erase, restore. Everything they are
// given is checked before the first erase; once erasing has begun a Ctrl-C lets the step run on
// until the device starts again (interrupt.h).
#include <cstdio>

#include "backup.h"
#include "checks.h"
#include "commands.h"
#include "erase_timing.h"
#include "errors.h"
#include "flash_read.h"
#include "interrupt.h"

namespace tool {
namespace {

constexpr uint32_t kEraseAll = 0xFFFFFFFF;

uint64_t SectorBytes(const FLASH_DEVICE& chip, uint32_t index) {
    return static_cast<uint64_t>(chip.sectors[index].size) * (chip.busWidth / 8 ? chip.busWidth / 8 : 1);
}

// A library failure once the flash is being changed: its text, what to try, and how to get
// the device back.
void CheckStep(uint32_t status, const std::string& action, const std::string& recovery) {
    if (status == 0) return;
    throw ToolError(static_cast<int>(status),
                    action + " failed: error " + std::to_string(status) + ": " + StatusText(status),
                    StatusHint(status) + (recovery.empty() ? "" : " " + recovery));
}

// Programs the bootstrap loader through the flash port; returns the node where it runs.
uint16_t LoaderStep(const Globals& globals, const Session& session, uint16_t node, FLASH_DEVICE* flash,
                    const std::string& loader, std::optional<uint32_t> eraseDelay, bool assumeBlank,
                    Progress& progress, const std::string& recovery) {
    progress.ExpectBytes("Uploading bootstrap loader...", FileSize(loader));
    uint32_t status;
    {
        FlashChange change(FlashJob::Loader, recovery);
        // A device that answers at its flash port is not necessarily erased (a cancelled or
        // failed job leaves data behind, and programming can only clear bits): the loader's
        // sector is erased first unless the user knows the flash is blank.
        status = ProgramLoader({&node, flash, loader, assumeBlank, eraseDelay, !session.simChipName().empty(),
                                progress.window(), Progress::callback(),
                                [&](const std::string& line) { Say(globals, line); }});
        progress.Finish();
    }
    CheckStep(status, "programming the bootstrap loader", recovery);
    Say(globals, "Bootstrap loader programmed; it runs at node " + NodeText(node) + ".");
    return node;
}

// After a step that a Ctrl-C let finish: stop here, saying what the device runs now.
void StopIfInterrupted(const std::string& done, const std::string& hint) {
    if (Interrupted()) throw ToolError(21, "cancelled once " + done, hint);
}

std::string RecoveryText(const std::string& firmwareBackup, const std::string& configBackup) {
    std::string restore = RestoreCommand(firmwareBackup, configBackup);
    if (restore.empty()) return "Program the device again: `loric program FIRMWARE CONFIG --loader LOADER`.";
    return "Put the old firmware and configuration back with " + restore +
           " (add --loader LOADER when the device shows as blank).";
}

}  // namespace

int CmdProgramLoader(const Globals& globals, const std::string& loader, std::optional<uint32_t> eraseDelay, bool assumeBlank,
                     bool force) {
    std::vector<uint8_t> image = ReadInputFile(loader, "loader image");
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    CheckImage(image, ImageKind::Loader, *chip.device, loader, force);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Say(globals, DeviceLine(device, chip.device));
    if (device.state == DeviceState::Firmware && !assumeBlank) {
        const bool whole = image.size() > SectorBytes(*chip.device, 0);
        Confirm(std::string("program-loader erases ") + (whole ? "the whole flash" : "sector 0") +
                    " of a device that runs its firmware: the firmware no longer starts until `loric program` "
                    "programs it again",
                globals.yes);
    }
    CheckCancelled();
    Progress progress(StyleOf(globals), stderr);
    uint16_t node = LoaderStep(globals, session, device.node, const_cast<FLASH_DEVICE*>(chip.device), loader, eraseDelay,
                               assumeBlank, progress, "");
    StopIfInterrupted("the bootstrap loader was programmed (it could not be left half-written): the device runs "
                      "its bootstrap loader at node " + NodeText(node),
                      "`loric program FIRMWARE CONFIG` programs the firmware and configuration through it.");
    return 0;
}

int CmdProgram(const Globals& globals, const ProgramOptions& options) {
    std::vector<uint8_t> firmware = ReadInputFile(options.firmware, "firmware image");
    std::vector<uint8_t> loader;
    if (!options.loader.empty()) loader = ReadInputFile(options.loader, "loader image");
    TempDir temp;
    std::string configImage = ConfigImageFor(options.config, temp, options.force);

    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    CheckImage(firmware, ImageKind::Firmware, *chip.device, options.firmware, options.force);
    if (!loader.empty()) CheckImage(loader, ImageKind::Loader, *chip.device, options.loader, options.force);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Say(globals, DeviceLine(device, chip.device));
    if (device.state == DeviceState::FlashPort && loader.empty()) {
        throw ToolError(5, "the device is blank: it needs its bootstrap loader first",
                        "Add --loader FILE to program the loader before the firmware.");
    }

    // What the erases destroy is saved first: the configuration, and the sectors the firmware
    // step erases (sector 0 holds the start of the firmware, so the loader's erase is covered).
    Progress progress(StyleOf(globals), stderr);
    std::string configBackup, firmwareBackup;
    if (device.state == DeviceState::Firmware && !options.noBackup) {
        configBackup = BackupConfiguration(globals, device.node, *chip.device, options.backup, progress);
        CheckCancelled();
        uint64_t region = 0;
        uint32_t sectors = FirmwareSectors(*chip.device, firmware.size(), &region);
        firmwareBackup = BackupName("firmware", configBackup.empty() ? options.backup : configBackup);
        if (BackupFirmware(device.node, *chip.device, sectors, firmwareBackup, progress)) {
            Say(globals, "Saved the device's firmware (sectors 0 to " + std::to_string(sectors - 1) + ", " +
                             std::to_string(region) + " bytes) to " + firmwareBackup + ".");
        } else {
            firmwareBackup.clear();
            Say(globals, "The firmware sectors are erased: nothing to back up.");
        }
        if (!firmwareBackup.empty() || !configBackup.empty()) {
            Say(globals, "To put the device back as it was: " + RestoreCommand(firmwareBackup, configBackup) + ".");
        }
    }
    CheckCancelled();
    const std::string recovery = RecoveryText(firmwareBackup, configBackup);

    uint16_t node = device.node;
    if (!loader.empty()) {
        node = LoaderStep(globals, session, node, flash, options.loader, options.eraseDelay, false, progress, recovery);
        StopIfInterrupted("the bootstrap loader was programmed: the device runs its bootstrap loader at node " +
                              NodeText(node),
                          "`loric program FIRMWARE CONFIG` (without --loader) programs the rest." +
                              (firmwareBackup.empty() ? std::string() : " " + recovery));
    } else if (device.state == DeviceState::Loader) {
        Say(globals, "The device runs its bootstrap loader: programming the firmware and configuration through it.");
    }
    progress.ExpectBytes("Uploading firmware...", firmware.size());
    progress.ExpectBytes("Uploading configuration...", FileSize(configImage));
    uint32_t status;
    {
        FlashChange change(FlashJob::FirmwareAndConfig, recovery);
        status = UploadFirmwareAndConfig(node, flash, options.firmware.c_str(), configImage.c_str(), progress.window(),
                                         Progress::callback());
        progress.Finish();
    }
    CheckStep(status, "programming the firmware and configuration", recovery);
    Say(globals, "Firmware and configuration programmed; the device restarts.");
    DeviceLocation running = FindRunningDevice(20);
    Say(globals, "Device runs its firmware at node " + NodeText(running.node) + ".");
    StopIfInterrupted("the firmware and configuration were programmed (they could not be left half-written); "
                      "nothing was read back",
                      "The device runs the new firmware. `loric verify FIRMWARE --firmware` reads it back." +
                          (firmwareBackup.empty() ? std::string() : " " + recovery));
    if (options.verify) {
        VerifyRegion(globals, running.node, 0, ProgrammedFirmwareImage(firmware, chip.device->configByteAddress),
                     "firmware", progress);
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
    int64_t index = -1;
    if (!sectorText.empty()) {
        index = ParseU32(sectorText, "--sector");
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
                index = i;
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
    if (index < 0) {
        Confirm("erase --all wipes the whole flash: the bootstrap loader, the firmware and the configuration; the "
                "device then answers only at its flash port until it is programmed again",
                globals.yes);
    } else if (index == 0) {
        Confirm("erasing sector 0 wipes the start of the firmware (or the bootstrap loader): the device no longer "
                "starts until it is programmed again",
                globals.yes);
    }
    CheckCancelled();
    if (device.state == DeviceState::FlashPort && !flashPort) {
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
    uint32_t status;
    {
        FlashChange change(FlashJob::Erase, "Erase it again.");
        progress.SetStep("Erasing " + what + "...");
        status = EraseFlashSector(device.node, flash, address, flashPort ? 1 : 0);
        progress.Finish();
    }
    Check(status, "erasing " + what);
    Say(globals, "Erased " + what + "." +
                     (flashPort ? "" : " The device stays in upload mode until it is reset or power-cycled."));
    StopIfInterrupted("the erase was done", "");
    return 0;
}

int CmdRestore(const Globals& globals, const RestoreOptions& options) {
    Backups backups = SortBackups(options.files);
    std::vector<uint8_t> loader;
    if (!options.loader.empty()) loader = ReadInputFile(options.loader, "loader image");
    TempDir temp;
    if (!backups.config.empty()) ConfigImageFor(backups.config, temp, options.force);
    Session session(globals.target);
    ChipChoice chip = SelectChip(session, globals);
    FLASH_DEVICE* flash = const_cast<FLASH_DEVICE*>(chip.device);
    std::vector<uint8_t> firmware;
    if (!backups.firmware.empty()) {
        firmware = ReadInputFile(backups.firmware, "firmware backup");
        CheckImage(firmware, ImageKind::Firmware, *chip.device, backups.firmware, options.force);
    }
    if (!loader.empty()) CheckImage(loader, ImageKind::Loader, *chip.device, options.loader, options.force);
    DeviceLocation device = FindDevice(false, NodeOption(globals));
    Say(globals, DeviceLine(device, chip.device));
    if (device.state == DeviceState::FlashPort && loader.empty()) {
        throw ToolError(5, "the device is blank: it needs its bootstrap loader before the backup can go back",
                        "Add --loader FILE to program the loader first.");
    }
    CheckCancelled();
    const std::string recovery = "Run the same `loric restore` again.";
    Progress progress(StyleOf(globals), stderr);
    uint16_t node = device.node;
    if (!loader.empty()) {
        node = LoaderStep(globals, session, node, flash, options.loader, options.eraseDelay, false, progress, recovery);
    }
    RestoreBackups(node, flash, backups, progress);
    Say(globals, std::string("Put back the ") +
                     (firmware.empty() ? "configuration" : backups.config.empty() ? "firmware" : "firmware and configuration") +
                     "; the device restarts.");
    DeviceLocation running = FindRunningDevice(20);
    StopIfInterrupted("the backup was put back; nothing was read back", "");
    if (options.verify) {
        if (!firmware.empty()) VerifyRegion(globals, running.node, 0, firmware, "firmware", progress);
        if (!backups.config.empty()) {
            VerifyRegion(globals, running.node, chip.device->configByteAddress, ReadFileBytes(backups.config),
                         "configuration", progress);
        }
    }
    return 0;
}

}  // namespace tool
