// Backups around destructive jobs: their names, the firmware backup taken before a firmware
// erase, and putting firmware and configuration backups back byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loric.h"

namespace tool {

class Progress;

// "<kind>-backup-<eui64>-<date>-<time>.bin" (the board's EUI-64 in 16 hex digits, when the
// job's record knows it; without it "<kind>-backup-<date>-<time>.bin") in the folder of
// `besides` (the current folder when empty); a name already taken (two jobs in one second) gets
// "-2", "-3"... before ".bin".
std::string BackupName(const std::string& kind, const std::string& besides);

// A backup never replaces a file: --backup FILE naming one that exists is refused
// (LORIC_ERR_FILE_OPEN) before the device is touched. Nothing to check for "".
void RefuseExistingBackup(const std::string& requested);

// Writes a backup whole or not at all: to a temporary name beside `path`, flushed to the disk,
// then renamed to `path`, which must not exist. On failure the temporary file is removed and a
// ToolError (LORIC_ERR_FILE_OPEN: cannot be created or the name is taken; LORIC_ERR_FILE_IO:
// cannot be written, a full disk) says what went wrong before anything is erased.
void WriteBackupFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A backup that failed its check stops the job (kExitBackupFailed) before anything is erased:
// its bytes are kept in "<path>.rejected" for a look, and the message says why.
[[noreturn]] void RejectBackup(const std::string& path, const std::vector<uint8_t>& bytes,
                               const std::string& why);

// Saves the first `bytes` bytes of the flash (whole sectors: the region the firmware step
// erases, or more when the running firmware is longer) to `path`, read twice through the read
// window and compared, and checked as an image to be programmed is (boot header, boot sum,
// parameter section). False (and no file) when the region is erased already. A Ctrl-C while
// reading cancels the job (LORIC_ERR_CANCELLED).
bool BackupFirmware(uint16_t node, uint64_t bytes, const std::string& path, Progress& progress);

// Backup files sorted by what they hold: a configuration image (its magic word) or firmware.
struct Backups {
    std::string firmware;
    std::string config;
};
Backups SortBackups(const std::vector<std::string>& files);

// Puts the backups back: erases the sectors the firmware backup covers and the configuration
// sector, uploads both (the firmware's configuration address set to where `chip` keeps its
// configuration, as `program` does) and restarts the device's processor. The device must run
// its loader or firmware.
void RestoreBackups(uint16_t node, FLASH_DEVICE& chip, const Backups& backups, Progress& progress);

// The command that puts these backups back, for messages ("" when there is none); `options`
// (" --guid 0x...": the board's id, when the job gives it another) go with a configuration.
std::string RestoreCommand(const std::string& firmware, const std::string& config,
                           const std::string& options = {});

}  // namespace tool
