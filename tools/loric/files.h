// The tool's files: reading and writing them whole, their sizes, and a folder of its own for
// intermediate files. (Input files the user names are read with the checks of checks.h.)
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tool {

// The whole file; ToolError(LORIC_ERR_FILE_OPEN) when it cannot be opened,
// ToolError(LORIC_ERR_FILE_IO) when it cannot be read, ToolError(LORIC_ERR_FILE_TOO_LARGE) past
// 64 MiB.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
// Creates or replaces the file; ToolError(LORIC_ERR_FILE_OPEN or LORIC_ERR_FILE_IO) on failure.
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

uint64_t FileSize(const std::string& path);  // 0 when unknown

// Writes every byte to the open file `fd` and flushes them to the disk; false with errno on
// failure.
bool WriteAndFlush(int fd, const std::vector<uint8_t>& bytes);
// Replaces the file whole or not at all: a new file beside it, flushed, renamed over it.
// ToolError(LORIC_ERR_FILE_OPEN or LORIC_ERR_FILE_IO) on failure, the old file then unchanged.
void ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A folder of its own for intermediate files, removed at the end of the command.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

}  // namespace tool
