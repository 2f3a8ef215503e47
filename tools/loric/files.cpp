#include "files.h"

#include <filesystem>
#include <fstream>

#include "errors.h"
#include "loric.h"

#if defined(_WIN32)
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

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
