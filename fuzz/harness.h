// What the fuzz targets share: the input read as a stream, a private working folder, a clock
// whose waits pass at once, and the jobs of a host that read what the device answers.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "files.h"
#include "loric.h"
#include "support/fake_clock.h"
#include "support/request_recorder.h"

namespace loric::fuzz {

// The fuzz input, front to back; past its end it yields nothing.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<uint8_t> Bytes(size_t count) {
        const size_t from = at_;
        at_ += std::min(count, size_ - at_);
        return std::vector<uint8_t>(data_ + from, data_ + at_);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// While it lives, the current folder is the process's own temporary folder (made at the
// first use, removed at exit), so the files a target writes and the library's own (a data
// page, downloads) stay there, and libFuzzer's own files go where it was told. The first use
// also replaces the clock for good: waits pass at once and each reading moves it on by half a
// second, so time-outs come soon.
class WorkFolder {
public:
    WorkFolder() {
        static char folder[] = "/tmp/loric-fuzz-XXXXXX";
        [[maybe_unused]] static test::FakeClock clock(1700000000, 500);
        static const bool made =
            mkdtemp(folder) != nullptr && std::atexit([] {
                                              std::error_code ignored;
                                              std::filesystem::remove_all(folder, ignored);
                                          }) == 0;
        if (!made || chdir(folder) != 0) abort();
    }
    ~WorkFolder() { std::filesystem::current_path(previous_); }

private:
    const std::filesystem::path previous_ = std::filesystem::current_path();
};

inline void WriteFile(const char* path, const uint8_t* data, size_t size) {
    tool::WriteFileBytes(path, {data, data + size});  // a failure ends the run
}

// Opens the API over a driver stand-in that answers every request with success (once per
// process; later calls forget the requests recorded), for the parsers that need an open API.
inline void OpenQuietApi() {
    static std::unique_ptr<test::RequestRecorder> driver;
    if (driver) return driver->ClearRequests();  // a long run must not keep every request
    driver = std::make_unique<test::RequestRecorder>();
    if (OpenLORIC(0) != LORIC_OK) abort();
}

// With the API open: loads a one-chip flash data file, then runs the jobs that read the
// device's answers (node list, find, register read, time stamp, configuration download,
// upload mode, a small upload and an erase), each whatever the previous one returned.
inline void RunDeviceJobs() {
    static const char kChip[] = "FLASH_DATA_FILE_V3\nG\n\n0,CHIP\n1\n20\nB8\nX8\nK64\n\n";
    WriteFile("chip.dat", reinterpret_cast<const uint8_t*>(kChip), sizeof kChip - 1);
    static FLASH_DEVICE devices[LORIC_MAX_FLASH_DEVICES];
    uint32_t count = 0;
    if (LoadFlashData("chip.dat", devices, &count) != LORIC_OK) abort();
    FLASH_DEVICE& chip = devices[0];

    NODE_INFO nodes[64];
    GetNodeInfo(&count, nodes, sizeof nodes);
    uint16_t node = 0xFFC0;
    uint32_t blank = 0, value = 0, parameter = 0;
    char time[64] = {}, date[64] = {};
    FindNode(&node, &blank);
    ReadQuadlet(node, 0xFFFF, 0xF0000400, &value);
    DownloadTimestamp(node, time, date);
    DownloadConfigurationFile(node, &chip, "download.bin", nullptr);
    SwitchDeviceToUploadMode(node, &chip);
    static const uint8_t kImage[300] = {0x5A, 0xA5};
    WriteFile("image.bin", kImage, sizeof kImage);
    UploadFile(node, "image.bin", 0x800, UPLOAD_METHOD_UPLOADER, &chip, &parameter, nullptr,
               nullptr);
    EraseFlashSector(node, &chip, chip.sectors[1].start, 0);
}

}  // namespace loric::fuzz
