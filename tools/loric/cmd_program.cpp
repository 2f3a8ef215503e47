// Commands that write the flash: program-loader, program, erase, restore. Everything they are
// given is checked before the first erase; once erasing has begun a Ctrl-C lets the step run on
// until the device starts again (interrupt.h).
#include <cstdio>

#include "arguments.h"
#include "backup.h"
#include "checks.h"
#include "chip_check.h"
#include "commands.h"
#include "confirm.h"
#include "device_facts.h"
#include "errors.h"
#include "interrupt.h"
#include "loader_job.h"
#include "record.h"

namespace tool {
namespace {

// A library failure once the flash is being changed: its text, what to try, and how to get
// the device back.
void CheckStep(uint32_t status, const std::string& action, const std::string& recovery) {
    if (status != 0) throw LibraryFailure(status, action, recovery);
}

// Programs the bootstrap loader through the flash port; the job's node is then the loader's.
void LoaderStep(Job& job, const std::string& loader, std::optional<uint32_t> eraseDelay,
                bool assumeBlank, const std::string& recovery) {
    Progress& progress = job.progress();
    progress.ExpectBytes(Stage::UploadLoader, FileSize(loader));
    uint16_t node = job.node();
    uint32_t status;
    {
        FlashChange change(FlashJob::Loader, recovery);
        // A device that answers at its flash port is not necessarily erased (a cancelled or
        // failed job leaves data behind, and programming can only clear bits): the loader's
        // sector is erased first unless the user knows the flash is blank.
        status = ProgramLoader({&node, &job.chip(), loader, assumeBlank, eraseDelay,
                                job.simulated(), progress.window(), Progress::callback(),
                                [&](const std::string& line) { job.Say(line); }, job.shared()});
        progress.Finish();
    }
    job.AfterLoaderStep(&status, &node);
    job.MovedTo(node);
    CheckStep(status, "programming the bootstrap loader", recovery);
    job.Say("Bootstrap loader programmed; it runs at node " + NodeText(node) + ".");
}

// What the erases of `program` destroy is saved first: the configuration, and the sectors the
// firmware step erases for a firmware of `firmwareBytes`, or as many as the running firmware
// fills when it is longer (sector 0 holds the start of the firmware, so the loader's erase is
// covered). A backup that would hold nothing is left out ("").
void SaveBeforeProgramming(Job& job, uint64_t firmwareBytes, const std::string& requested,
                           const std::string& putBackOptions, std::string* configBackup,
                           std::string* firmwareBackup) {
    const FLASH_DEVICE& chip = job.chip();
    *configBackup = BackupConfiguration(job, requested, putBackOptions);
    CheckCancelled();
    uint64_t region = 0;
    uint32_t sectors = FirmwareSectors(chip, firmwareBytes, &region);
    *firmwareBackup = BackupName("firmware", configBackup->empty() ? requested : *configBackup);
    if (BackupFirmware(job.node(), region, *firmwareBackup, job.progress())) {
        SayAlways("Saved the device's firmware (sectors 0 to " + std::to_string(sectors - 1) +
                  ", " + std::to_string(region) + " bytes) to " + *firmwareBackup + ".");
    } else {
        firmwareBackup->clear();
        job.Say("The firmware sectors are erased: nothing to back up.");
    }
    if (!firmwareBackup->empty() || !configBackup->empty()) {
        SayAlways("To put the device back as it was: " +
                  RestoreCommand(*firmwareBackup, *configBackup, putBackOptions) + ".");
    }
}

// After a step that a Ctrl-C let finish: stop here, saying what the device runs now.
void StopIfInterrupted(const std::string& done, const std::string& hint) {
    if (Interrupted()) throw ToolError(LORIC_ERR_CANCELLED, "cancelled once " + done, hint);
}

std::string RecoveryText(const std::string& firmwareBackup, const std::string& configBackup,
                         const std::string& putBackOptions) {
    std::string restore = RestoreCommand(firmwareBackup, configBackup, putBackOptions);
    if (restore.empty())
        return "Program the device again: `loric program FIRMWARE CONFIG --loader LOADER`.";
    return "Put the old firmware and configuration back with " + restore +
           " (add --loader LOADER when the device shows as blank).";
}

}  // namespace

int CmdProgramLoader(const Globals& globals, const LoaderOptions& options) {
    const std::optional<uint32_t> eraseDelay = ParseEraseDelay(options.eraseDelay);
    std::vector<uint8_t> image = ReadInputFile(options.loader, "loader image");
    Job job(globals);
    FLASH_DEVICE& chip = job.chip();
    CheckImage(image, ImageKind::Loader, chip, options.loader, options.force);
    const DeviceLocation& device = job.FindDevice();
    job.SayDevice();
    job.RefuseSharedLoader(options.assumeBlank, eraseDelay.has_value());
    if (device.state == DeviceState::Firmware) CheckChipAgainstDevice(job);
    if ((device.state == DeviceState::Firmware || device.state == DeviceState::Upload) &&
        !options.assumeBlank) {
        const bool whole = image.size() > SectorBytes(chip, 0);
        Confirm(std::string("program-loader erases ") + (whole ? "the whole flash" : "sector 0") +
                    " of a device that runs its firmware: the firmware no longer starts until "
                    "`loric program` "
                    "programs it again",
                globals.yes);
    }
    CheckCancelled();
    Record().AddImage("loader", options.loader);
    LoaderStep(job, options.loader, eraseDelay, options.assumeBlank, "");
    StopIfInterrupted(
        "the bootstrap loader was programmed (it could not be left half-written): the device runs "
        "its bootstrap loader at node " +
            NodeText(job.node()),
        "`loric program FIRMWARE CONFIG` programs the firmware and configuration through it.");
    if (!options.noVerify)
        VerifyRegion(job, 0, image, "bootstrap loader",
                     "Run the same `loric program-loader` again.");
    if (options.noVerify) Record().SetVerify("skipped");
    Record().result() = {{"node", NodeText(job.node())}, {"loader", options.loader}};
    return kExitOk;
}

ProgramInputs::ProgramInputs(const ProgramOptions& options)
    : firmware(ReadInputFile(options.firmware, "firmware image")),
      loader(options.loader.empty() ? std::vector<uint8_t>()
                                    : ReadInputFile(options.loader, "loader image")),
      configImage(ConfigImageFor(options.config, temp_, options.force)) {}

void ProgramInputs::Check(Job& job, const ProgramOptions& options) const {
    FLASH_DEVICE& chip = job.chip();
    CheckImage(firmware, ImageKind::Firmware, chip, options.firmware, options.force);
    if (!loader.empty()) CheckImage(loader, ImageKind::Loader, chip, options.loader, options.force);
}

int CmdProgram(const Globals& globals, const ProgramOptions& options) {
    ParseEraseDelay(options.eraseDelay);
    const ProgramInputs inputs(options);
    if (!options.noBackup) RefuseExistingBackup(options.backup);
    BoardIdentity identity(options.identity);
    Job job(globals);
    inputs.Check(job, options);
    return ProgramDevice(job, options, inputs, identity);
}

int ProgramDevice(Job& job, const ProgramOptions& options, const ProgramInputs& inputs,
                  BoardIdentity& identity) {
    const std::optional<uint32_t> eraseDelay = ParseEraseDelay(options.eraseDelay);
    const std::vector<uint8_t>& firmware = inputs.firmware;
    const std::vector<uint8_t>& loader = inputs.loader;
    TempDir temp;
    std::string configImage = inputs.configImage;
    FLASH_DEVICE& chip = job.chip();
    const DeviceState state = job.FindDevice().state;
    job.SayDevice();
    if (state == DeviceState::FlashPort && loader.empty()) {
        throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                        "the device is blank: it needs its bootstrap loader first",
                        "Add --loader FILE to program the loader before the firmware.");
    }
    if (!loader.empty()) job.RefuseSharedLoader(false, eraseDelay.has_value());

    uint64_t backupBytes = firmware.size();
    if (state == DeviceState::Firmware) {
        const RunningFirmware running = CheckChipAgainstDevice(job);
        if (running.found && running.length > backupBytes) backupBytes = running.length;
    }
    configImage = identity.Settle(job, configImage, temp);

    Progress& progress = job.progress();
    std::string configBackup, firmwareBackup;
    if (state == DeviceState::Firmware && !options.noBackup) {
        SaveBeforeProgramming(job, backupBytes, options.backup, identity.PutBackOptions(),
                              &configBackup, &firmwareBackup);
    }
    CheckCancelled();
    const std::string recovery =
        RecoveryText(firmwareBackup, configBackup, identity.PutBackOptions());

    if (!loader.empty()) {
        Record().AddImage("loader", options.loader);
        LoaderStep(job, options.loader, eraseDelay, false, recovery);
        StopIfInterrupted(
            "the bootstrap loader was programmed: the device runs its bootstrap loader at node " +
                NodeText(job.node()),
            "`loric program FIRMWARE CONFIG` (without --loader) programs the rest." +
                (firmwareBackup.empty() ? std::string() : " " + recovery));
    } else if (state == DeviceState::Loader) {
        job.Say(
            "The device runs its bootstrap loader: programming the firmware and configuration "
            "through it.");
    }
    progress.ExpectBytes(Stage::UploadFirmware, firmware.size());
    progress.ExpectBytes(Stage::UploadConfig, FileSize(configImage));
    Record().AddImage("firmware", options.firmware);
    Record().AddImage("configuration", options.config, configImage);
    uint32_t status;
    {
        FlashChange change(FlashJob::FirmwareAndConfig, recovery);
        job.AimTarget(chip.configSector);
        status =
            UploadFirmwareAndConfig(job.node(), &chip, options.firmware.c_str(),
                                    configImage.c_str(), progress.window(), Progress::callback());
        progress.Finish();
    }
    CheckStep(status, "programming the firmware and configuration", recovery);
    job.Say("Firmware and configuration written; the device restarts.");
    job.ExpectIdOf(configImage);
    job.AwaitRestart();
    job.Say("Device runs its firmware at node " + NodeText(job.node()) + ".");
    StopIfInterrupted(
        "the firmware and configuration were written (they could not be left half-written); "
        "nothing was read back",
        "The device runs the new firmware. `loric verify FIRMWARE --firmware` reads it back." +
            (firmwareBackup.empty() ? std::string() : " " + recovery));
    Record().result() = {
        {"node", NodeText(job.node())}, {"firmware", options.firmware}, {"config", options.config}};
    if (options.noVerify) {
        Record().SetVerify("skipped");
        identity.Done();
        job.Say("Firmware and configuration programmed (not read back: --no-verify).");
        return kExitOk;
    }
    VerifyRegion(job, 0, ProgrammedFirmwareImage(firmware, chip.configByteAddress), "firmware",
                 recovery);
    VerifyRegion(job, chip.configByteAddress, ReadFileBytes(configImage), "configuration",
                 recovery);
    identity.Done();
    job.Say("Firmware and configuration programmed.");
    return kExitOk;
}

int CmdErase(const Globals& globals, const EraseOptions& options) {
    int chosen = (!options.sector.empty()) + (!options.address.empty()) + (options.all ? 1 : 0);
    if (chosen != 1)
        throw ToolError(kExitUsage, "erase: give exactly one of --sector N, --address A or --all");
    Job job(globals);
    FLASH_DEVICE& chip = job.chip();
    uint32_t address = kEraseAll;
    std::string what = "the whole flash";
    int64_t index = -1;
    if (!options.sector.empty()) {
        index = ParseU32(options.sector, "--sector");
        if (index >= chip.sectorCount) {
            throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                            std::string("--sector: ") + chip.deviceName + " has sectors 0 to " +
                                std::to_string(chip.sectorCount - 1),
                            "`loric chips " + std::string(chip.deviceName) + "` lists them.");
        }
        address = chip.sectors[index].start;
        what = "sector " + std::to_string(index) + " (word " + Hex(address, 6) + ")";
    } else if (!options.address.empty()) {
        address = ParseU32(options.address, "--address");
        bool found = false;
        for (uint32_t i = 0; i < chip.sectorCount; ++i) {
            if (chip.sectors[i].start == address) {
                found = true;
                index = i;
                what = "sector " + std::to_string(i) + " (word " + Hex(address, 6) + ")";
            }
        }
        if (!found) {
            throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                            "--address: " + Hex(address, 6) + " is not the start of a sector of " +
                                chip.deviceName,
                            "Sector addresses count words; `loric chips " +
                                std::string(chip.deviceName) + "` lists them.");
        }
    }
    const DeviceLocation& device = job.FindDevice();
    if (index < 0) {
        Confirm(
            "erase --all wipes the whole flash: the bootstrap loader, the firmware and the "
            "configuration; the "
            "device then answers only at its flash port until it is programmed again",
            globals.yes);
    } else if (index == 0) {
        Confirm(
            "erasing sector 0 wipes the start of the firmware (or the bootstrap loader): the "
            "device no longer "
            "starts until it is programmed again",
            globals.yes);
    }
    CheckCancelled();
    bool flashPort = options.flashPort;
    if (device.state == DeviceState::FlashPort && !flashPort) {
        flashPort = true;
        job.Say("The device is blank: erasing through its flash port.");
    }
    Progress& progress = job.progress();
    if (flashPort) {
        Check(SetFlashDevice(&chip), "selecting the flash chip");
    } else {
        progress.SetStep(Stage::SwitchToUpload);
        Check(SwitchDeviceToUploadMode(device.node, &chip), "switching the device to upload mode");
    }
    uint32_t status;
    {
        FlashChange change(FlashJob::Erase, "Erase it again.");
        progress.SetStep(Stage::EraseSector, "Erasing " + what + "...");
        status = EraseFlashSector(device.node, &chip, address, flashPort ? 1 : 0);
        progress.Finish();
    }
    Check(status, "erasing " + what);
    Record().result() = {{"erased", what}, {"flash_port", flashPort}};
    if (index >= 0) Record().result()["sector"] = index;
    if (index >= 0) Record().result()["address"] = Hex(address, 6);
    job.Say(
        "Erased " + what + "." +
        (flashPort ? "" : " The device stays in upload mode until it is reset or power-cycled."));
    StopIfInterrupted("the erase was done", "");
    return kExitOk;
}

int CmdRestore(const Globals& globals, const RestoreOptions& options) {
    const std::optional<uint32_t> eraseDelay = ParseEraseDelay(options.eraseDelay);
    Backups backups = SortBackups(options.files);
    std::vector<uint8_t> configBytes;
    if (!backups.config.empty())
        configBytes = ReadInputFile(backups.config, "configuration backup");
    std::vector<uint8_t> loader;
    if (!options.loader.empty()) loader = ReadInputFile(options.loader, "loader image");
    TempDir temp;
    if (!backups.config.empty()) ConfigImageFor(backups.config, temp, options.force);
    BoardIdentity identity(options.identity);
    if (identity.given() && backups.config.empty()) {
        throw ToolError(kExitUsage,
                        "restore: --guid, --guid-counter and --guid-list need a configuration "
                        "backup to carry the id");
    }
    Job job(globals);
    FLASH_DEVICE& chip = job.chip();
    std::vector<uint8_t> firmware;
    if (!backups.firmware.empty()) {
        firmware = ReadInputFile(backups.firmware, "firmware backup");
        CheckImage(firmware, ImageKind::Firmware, chip, backups.firmware, options.force);
    }
    if (!loader.empty()) CheckImage(loader, ImageKind::Loader, chip, options.loader, options.force);
    const DeviceLocation& device = job.FindDevice();
    job.SayDevice();
    if (device.state == DeviceState::FlashPort && loader.empty()) {
        throw ToolError(
            LORIC_ERR_INVALID_PARAMETER,
            "the device is blank: it needs its bootstrap loader before the backup can go back",
            "Add --loader FILE to program the loader first.");
    }
    if (!loader.empty()) job.RefuseSharedLoader(false, eraseDelay.has_value());
    if (device.state == DeviceState::Firmware) CheckChipAgainstDevice(job);
    uint32_t backupAddress = 0;
    if (!firmware.empty() && ConfigAddressOf(firmware, &backupAddress) &&
        backupAddress != chip.configByteAddress) {
        job.Say("The firmware backup looks for its configuration at " + Hex(backupAddress, 6) +
                "; it is set to " + Hex(chip.configByteAddress, 6) + ", where " + chip.deviceName +
                " keeps it.");
    }
    const std::string configBackup = backups.config;
    if (!configBackup.empty()) {
        backups.config = identity.Settle(job, configBackup, temp);
        configBytes = ReadFileBytes(backups.config);
    }
    CheckCancelled();
    const std::string recovery = "Run the same `loric restore` again.";
    Progress& progress = job.progress();
    if (!loader.empty()) Record().AddImage("loader", options.loader);
    if (!backups.firmware.empty()) Record().AddImage("firmware", backups.firmware);
    if (!configBackup.empty()) Record().AddImage("configuration", configBackup, backups.config);
    if (!loader.empty()) LoaderStep(job, options.loader, eraseDelay, false, recovery);
    {
        FlashChange change(FlashJob::Restore, recovery);
        job.AimTarget(backups.config.empty() ? &chip.sectors[0] : chip.configSector);
    }
    RestoreBackups(job.node(), chip, backups, progress);
    if (!backups.config.empty()) job.ExpectIdOf(backups.config);
    job.Say(std::string("Put back the ") +
            (firmware.empty()         ? "configuration"
             : backups.config.empty() ? "firmware"
                                      : "firmware and configuration") +
            "; the device restarts.");
    job.AwaitRestart();
    StopIfInterrupted("the backup was put back; nothing was read back", "");
    Record().result() = {
        {"node", NodeText(job.node())}, {"firmware", backups.firmware}, {"config", configBackup}};
    if (options.noVerify) {
        Record().SetVerify("skipped");
        if (!configBackup.empty()) identity.Done();
        return kExitOk;
    }
    if (!firmware.empty()) {
        VerifyRegion(job, 0, ProgrammedFirmwareImage(firmware, chip.configByteAddress), "firmware",
                     recovery);
    }
    if (!configBytes.empty())
        VerifyRegion(job, chip.configByteAddress, configBytes, "configuration", recovery);
    if (!configBackup.empty()) identity.Done();
    return kExitOk;
}

}  // namespace tool
