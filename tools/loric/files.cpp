#include "files.h"

#include <filesystem>
#include <fstream>

#include "errors.h"
#include "loric.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#define getpid _getpid
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tool {

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw ToolError(LORIC_ERR_FILE_OPEN, "cannot open " + path,
                        "Check the file name and that the file can be read.");
    }
    // More than any flash chip holds: a device or a pipe that never ends is read no further.
    constexpr size_t kMaxFileBytes = size_t{64} << 20;
    std::vector<uint8_t> bytes;
    std::vector<char> block(1 << 16);
    for (;;) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        bytes.insert(bytes.end(), block.data(), block.data() + in.gcount());
        if (bytes.size() > kMaxFileBytes) {
            throw ToolError(LORIC_ERR_FILE_TOO_LARGE,
                            path + " is larger than 64 MiB, more than any flash chip holds",
                            "Check the file name.");
        }
        if (!in) break;
    }
    if (in.bad())
        throw ToolError(LORIC_ERR_FILE_IO, "cannot read " + path, "Check the file and the disk.");
    return bytes;
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw ToolError(LORIC_ERR_FILE_OPEN, "cannot create " + path,
                        "Check that the folder exists and can be written.");
    }
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw ToolError(LORIC_ERR_FILE_IO, "cannot write " + path,
                        "Check the free space on the disk.");
}

uint64_t FileSize(const std::string& path) {
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

bool WriteAndFlush(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t chunk = std::min<size_t>(bytes.size() - done, size_t{1} << 20);
#if defined(_WIN32)
        const int written = _write(fd, bytes.data() + done, static_cast<unsigned>(chunk));
#else
        const ssize_t written = write(fd, bytes.data() + done, chunk);
        if (written < 0 && errno == EINTR) continue;
#endif
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(written);
    }
#if defined(_WIN32)
    return _commit(fd) == 0;
#else
    return fsync(fd) == 0;
#endif
}

void ReplaceFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    const std::string temp = path + ".new-" + std::to_string(getpid());
#if defined(_WIN32)
    const int fd =
        _open(temp.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
#endif
    if (fd < 0) {
        throw ToolError(LORIC_ERR_FILE_OPEN, "cannot create " + temp + ": " + std::strerror(errno),
                        "Check that the folder of " + path + " can be written.");
    }
    const bool written = WriteAndFlush(fd, bytes);
    const int error = errno;
#if defined(_WIN32)
    _close(fd);
    const bool renamed =
        written && MoveFileExA(temp.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    close(fd);
    bool renamed = written && std::rename(temp.c_str(), path.c_str()) == 0;
    if (renamed) {
        // The new name reaches the disk with its folder.
        const std::string folder = std::filesystem::path(path).parent_path().string();
        const int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_CLOEXEC);
        if (dir >= 0) fsync(dir), close(dir);
    }
#endif
    if (!renamed) {
        std::remove(temp.c_str());
        throw ToolError(LORIC_ERR_FILE_IO,
                        "cannot write " + path + ": " + std::strerror(written ? errno : error),
                        "Check the free space on the disk; the file is as it was.");
    }
}

TempDir::TempDir() {
    static int counter = 0;
    std::error_code error;
    auto base = std::filesystem::temp_directory_path(error);
    if (error) base = ".";
    path_ = base / ("loric-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_, error);
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

}  // namespace tool
