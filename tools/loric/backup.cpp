#include "backup.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#define getpid _getpid
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "../../src/platform/bytes.h"
#include "checks.h"
#include "device_facts.h"
#include "dump.h"
#include "errors.h"
#include "files.h"
#include "interrupt.h"
#include "progress.h"
#include "read_window.h"
#include "record.h"

namespace tool {
namespace {

std::string Quoted(const std::string& path) {
    return path.find_first_of(" \t'\"") == std::string::npos ? path : "'" + path + "'";
}

bool Taken(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

const char* const kNothingChanged = " Nothing on the device was changed.";

// A new file only (it never replaces one); -1 with errno on failure.
int CreateNew(const std::string& path) {
#if defined(_WIN32)
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
}

// Gives `temp` the name `path` unless that name is taken; false with errno otherwise.
bool RenameWithoutReplacing(const std::string& temp, const std::string& path) {
#if defined(_WIN32)
    return std::rename(temp.c_str(), path.c_str()) == 0;  // never replaces a file here
#else
    // A hard link fails when the name is taken; file systems without links get a rename after
    // a last look (one job per device runs at a time).
    if (link(temp.c_str(), path.c_str()) == 0) {
        unlink(temp.c_str());
    } else if (errno == EEXIST || Taken(path) || std::rename(temp.c_str(), path.c_str()) != 0) {
        if (Taken(path)) errno = EEXIST;
        return false;
    }
    // The new name itself reaches the disk with its folder.
    std::string folder = std::filesystem::path(path).parent_path().string();
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return true;
#endif
}

std::string Lines(const std::vector<std::string>& problems) {
    std::string text;
    for (const auto& problem : problems) text += "\n  " + problem;
    return text;
}

// The first `bytes` of the flash, for a backup.
std::vector<uint8_t> ReadForBackup(uint16_t node, uint64_t bytes, Progress& progress,
                                   const std::string& step) {
    try {
        return ReadFlash(node, 0, static_cast<uint32_t>(bytes), &progress, step);
    } catch (const ToolError& error) {
        if (error.code() == LORIC_ERR_CANCELLED) {
            throw ToolError(LORIC_ERR_CANCELLED, "cancelled; nothing on the device was changed");
        }
        throw ToolError(error.code(),
                        "saving the device's firmware failed: " + std::string(error.what()),
                        error.hint() + " To go on without a backup, add --no-backup.");
    }
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
    const std::filesystem::path folder = std::filesystem::path(besides).parent_path();
    // The board's EUI-64, when the job knows it, so that backups of many boards stay apart.
    std::string board;
    const auto eui = Record().doc().find("eui64_before");
    if (eui != Record().doc().end() && eui->is_string()) board = eui->get<std::string>();
    if (board.size() > 2 && board[0] == '0' && (board[1] == 'x' || board[1] == 'X'))
        board.erase(0, 2);
    const std::string stem = kind + "-backup-" + (board.empty() ? "" : board + "-") + stamp;
    std::string name;
    for (int n = 1; n == 1 || Taken(name); ++n) {
        std::string file = stem;
        if (n > 1) file.append("-").append(std::to_string(n));
        file.append(".bin");
        name = folder.empty() ? file : (folder / file).string();
    }
    return name;
}

void RefuseExistingBackup(const std::string& requested) {
    if (requested.empty() || !Taken(requested)) return;
    throw ToolError(
        LORIC_ERR_FILE_OPEN,
        "the backup file " + requested + " exists already; a backup never replaces another",
        "Name a new file with --backup, or move the old one away." + std::string(kNothingChanged));
}

void WriteBackupFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    RefuseExistingBackup(path);
    const std::string temp = path + ".part-" + std::to_string(getpid());
    const int fd = CreateNew(temp);
    if (fd < 0) {
        throw ToolError(
            LORIC_ERR_FILE_OPEN, "cannot create the backup " + path + ": " + std::strerror(errno),
            "Check that its folder exists and can be written; --backup FILE saves it elsewhere." +
                std::string(kNothingChanged));
    }
    bool written = WriteAndFlush(fd, bytes);
    int error = errno;
#if defined(_WIN32)
    written = _close(fd) == 0 && written;
#else
    written = close(fd) == 0 && written;
#endif
    if (written && !RenameWithoutReplacing(temp, path)) {
        written = false;
        error = errno;
    }
    if (!written) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        if (error == EEXIST) RefuseExistingBackup(path);
        throw ToolError(LORIC_ERR_FILE_IO,
                        "cannot write the backup " + path + ": " + std::strerror(error),
                        "Check the free space on the disk; --backup FILE saves it elsewhere." +
                            std::string(kNothingChanged));
    }
    Record().AddBackup(path);
}

void RejectBackup(const std::string& path, const std::vector<uint8_t>& bytes,
                  const std::string& why) {
    const std::string kept = path + ".rejected";
    std::string where = " (what was read is kept in " + kept + ")";
    try {
        WriteFileBytes(kept, bytes);
    } catch (const ToolError&) {
        where = "";
    }
    throw ToolError(
        kExitBackupFailed,
        "the backup " + path + where + " failed its check, so nothing was erased: " + why,
        "Most often --chip does not name the flash chip on the board (`loric chips` lists them). "
        "To go "
        "on without a backup, add --no-backup." +
            std::string(kNothingChanged));
}

bool BackupFirmware(uint16_t node, uint64_t bytes, const std::string& path, Progress& progress) {
    const std::vector<uint8_t> image =
        ReadForBackup(node, bytes, progress, "Saving the device's firmware...");
    bool erased = true;
    for (uint8_t byte : image) erased = erased && byte == 0xFF;
    if (erased) return false;
    const std::vector<uint8_t> again =
        ReadForBackup(node, bytes, progress, "Reading the firmware again to check the backup...");
    const Comparison comparison = Compare(image, again);
    if (!comparison.same) {
        RejectBackup(path, image,
                     "the firmware read differently the second time: " + Describe(comparison, 0));
    }
    const std::vector<std::string> problems = ImageProblems(image, ImageKind::Firmware);
    if (!problems.empty())
        RejectBackup(path, image,
                     "it is not a firmware image the device could start:" + Lines(problems));
    WriteBackupFile(path, image);
    return true;
}

Backups SortBackups(const std::vector<std::string>& files) {
    Backups backups;
    for (const auto& file : files) {
        std::vector<uint8_t> bytes = ReadInputFile(file, "backup");
        const bool config =
            bytes.size() >= 4 && loric::bytes::LoadLittleEndian32(bytes.data()) == kConfigMagic;
        std::string& slot = config ? backups.config : backups.firmware;
        if (!slot.empty()) {
            throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                            "restore: " + slot + " and " + file + " are both " +
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
        sectors =
            FirmwareSectors(chip, std::filesystem::file_size(backups.firmware), &firmwareBytes);
    }
    progress.SetStep(Stage::SwitchToUpload);
    Check(SwitchDeviceToUploadMode(node, &chip), "switching the device to upload mode");
    FlashChange change(FlashJob::Restore, "Run the same `loric restore` again.");
    if (!backups.firmware.empty()) {
        progress.SetStep(Stage::EraseFirmware);
        for (uint32_t i = 0; i < sectors; ++i) {
            Check(EraseFlashSector(node, &chip, chip.sectors[i].start, 0),
                  "erasing sector " + std::to_string(i));
        }
    }
    if (!backups.config.empty()) {
        progress.SetStep(Stage::EraseConfig);
        Check(EraseFlashSector(node, &chip, chip.configSector->start, 0),
              "erasing the configuration sector");
    }
    if (!backups.firmware.empty()) {
        progress.ExpectBytes(Stage::UploadFirmware, firmwareBytes);
        progress.SetStep(Stage::UploadFirmware);
        uint32_t configAddress = chip.configByteAddress;
        Check(UploadFile(node, backups.firmware.c_str(), 0, UPLOAD_METHOD_UPLOADER, &chip,
                         &configAddress, progress.window(), Progress::callback()),
              "uploading the firmware backup " + backups.firmware);
    }
    if (!backups.config.empty()) {
        progress.ExpectBytes(Stage::UploadConfig, std::filesystem::file_size(backups.config));
        progress.SetStep(Stage::UploadConfig);
        Check(UploadFile(node, backups.config.c_str(), chip.configSector->start,
                         UPLOAD_METHOD_UPLOADER, &chip, nullptr, progress.window(),
                         Progress::callback()),
              "uploading the configuration backup " + backups.config);
    }
    progress.SetStep(Stage::ResetDevice);
    Check(WriteQuadlet(node, kRegisterHigh, kFlashUploadCtrl, kProcessorReset),
          "restarting the device's processor");
    progress.Finish();
}

std::string RestoreCommand(const std::string& firmware, const std::string& config,
                           const std::string& options) {
    if (firmware.empty() && config.empty()) return {};
    std::string command = "`loric restore";
    for (const std::string* file : {&firmware, &config}) {
        if (file->empty()) continue;
        command.push_back(' ');
        command.append(Quoted(*file));
    }
    if (!config.empty()) command.append(options);
    command.push_back('`');
    return command;
}

}  // namespace tool
