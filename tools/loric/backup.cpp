#include "backup.h"

#include <ctime>
#include <filesystem>

#include "../../src/platform/bytes.h"
#include "checks.h"
#include "device_facts.h"
#include "errors.h"
#include "dump.h"
#include "files.h"
#include "read_window.h"
#include "interrupt.h"
#include "progress.h"

namespace tool {
namespace {

std::string Quoted(const std::string& path) {
    return path.find_first_of(" \t'\"") == std::string::npos ? path : "'" + path + "'";
}

}  // namespace

std::string BackupName(const std::string& kind, const std::string& besides) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string name = kind + "-backup-" + stamp + ".bin";
    std::filesystem::path folder = std::filesystem::path(besides).parent_path();
    return folder.empty() ? name : (folder / name).string();
}

bool BackupFirmware(uint16_t node, const FLASH_DEVICE& chip, uint32_t sectors, const std::string& path,
                    Progress& progress) {
    uint64_t bytes = 0;
    for (uint32_t i = 0; i < sectors; ++i) bytes += SectorBytes(chip, i);
    std::vector<uint8_t> image;
    try {
        image = ReadFlash(node, 0, static_cast<uint32_t>(bytes), &progress, "Saving the device's firmware...");
    } catch (const ToolError& error) {
        if (error.code() == LORIC_ERR_CANCELLED) {
            throw ToolError(LORIC_ERR_CANCELLED, "cancelled; nothing on the device was changed");
        }
        throw ToolError(error.code(), "saving the device's firmware failed: " + std::string(error.what()),
                        error.hint() + " To go on without a backup, add --no-backup.");
    }
    bool erased = true;
    for (uint8_t byte : image) erased = erased && byte == 0xFF;
    if (erased) return false;
    WriteFileBytes(path, image);
    return true;
}

Backups SortBackups(const std::vector<std::string>& files) {
    Backups backups;
    for (const auto& file : files) {
        std::vector<uint8_t> bytes = ReadInputFile(file, "backup");
        const bool config = bytes.size() >= 4 && loric::bytes::LoadLittleEndian32(bytes.data()) == kConfigMagic;
        std::string& slot = config ? backups.config : backups.firmware;
        if (!slot.empty()) {
            throw ToolError(LORIC_ERR_INVALID_PARAMETER, "restore: " + slot + " and " + file + " are both " +
                                   (config ? "configuration backups" : "firmware backups"),
                            "Give one firmware backup, one configuration backup, or one of each.");
        }
        slot = file;
    }
    return backups;
}

void RestoreBackups(uint16_t node, FLASH_DEVICE& chip, const Backups& backups, Progress& progress) {
    uint64_t firmwareBytes = 0;
    uint32_t sectors = 0;
    if (!backups.firmware.empty()) {
        sectors = FirmwareSectors(chip, std::filesystem::file_size(backups.firmware), &firmwareBytes);
    }
    progress.SetStep(Stage::SwitchToUpload);
    Check(SwitchDeviceToUploadMode(node, &chip), "switching the device to upload mode");
    FlashChange change(FlashJob::Restore, "Run the same `loric restore` again.");
    if (!backups.firmware.empty()) {
        progress.SetStep(Stage::EraseFirmware);
        for (uint32_t i = 0; i < sectors; ++i) {
            Check(EraseFlashSector(node, &chip, chip.sectors[i].start, 0), "erasing sector " + std::to_string(i));
        }
    }
    if (!backups.config.empty()) {
        progress.SetStep(Stage::EraseConfig);
        Check(EraseFlashSector(node, &chip, chip.configSector->start, 0), "erasing the configuration sector");
    }
    if (!backups.firmware.empty()) {
        progress.ExpectBytes(Stage::UploadFirmware, firmwareBytes);
        progress.SetStep(Stage::UploadFirmware);
        Check(UploadFile(node, backups.firmware.c_str(), 0, UPLOAD_METHOD_UPLOADER, &chip, nullptr, progress.window(), Progress::callback()),
              "uploading the firmware backup " + backups.firmware);
    }
    if (!backups.config.empty()) {
        progress.ExpectBytes(Stage::UploadConfig, std::filesystem::file_size(backups.config));
        progress.SetStep(Stage::UploadConfig);
        Check(UploadFile(node, backups.config.c_str(), chip.configSector->start, UPLOAD_METHOD_UPLOADER, &chip, nullptr, progress.window(),
                         Progress::callback()),
              "uploading the configuration backup " + backups.config);
    }
    progress.SetStep(Stage::ResetDevice);
    Check(WriteQuadlet(node, kRegisterHigh, kFlashUploadCtrl, kProcessorReset), "restarting the device's processor");
    progress.Finish();
}

std::string RestoreCommand(const std::string& firmware, const std::string& config) {
    if (firmware.empty() && config.empty()) return {};
    std::string command = "`loric restore";
    for (const std::string* file : {&firmware, &config}) {
        if (file->empty()) continue;
        command.push_back(' ');
        command.append(Quoted(*file));
    }
    command.push_back('`');
    return command;
}

}  // namespace tool
