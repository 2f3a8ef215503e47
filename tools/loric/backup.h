// Backups around destructive jobs: their names, the firmware backup taken before a firmware
// erase, and putting firmware and configuration backups back byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loric.h"

namespace tool {

class Progress;

// "<kind>-backup-<date>-<time>.bin" in the folder of `besides` (the current folder when empty).
std::string BackupName(const std::string& kind, const std::string& besides);

// Saves the first `sectors` sectors of the flash, the region the firmware step erases, read
// through the read window, to `path`; false (and no file) when they are erased already. A Ctrl-C
// while reading cancels the job (LORIC_ERR_CANCELLED).
bool BackupFirmware(uint16_t node, const FLASH_DEVICE& chip, uint32_t sectors, const std::string& path,
                    Progress& progress);

// Backup files sorted by what they hold: a configuration image (its magic word) or firmware.
struct Backups {
    std::string firmware;
    std::string config;
};
Backups SortBackups(const std::vector<std::string>& files);

// Puts the backups back: erases the sectors the firmware backup covers and the configuration
// sector, uploads both unchanged (no parameter is patched) and restarts the device's processor.
// The device must run its loader or firmware.
void RestoreBackups(uint16_t node, FLASH_DEVICE& chip, const Backups& backups, Progress& progress);

// The command that puts these backups back, for messages ("" when there is none).
std::string RestoreCommand(const std::string& firmware, const std::string& config);

}  // namespace tool
