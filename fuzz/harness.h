// What the fuzz targets share: the input read as a stream, a private working folder, a clock
// whose waits pass at once, and the jobs of a host that read what the device answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "loric.h"

namespace loric::fuzz {

// The fuzz input, front to back; past its end it yields nothing.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::vector<uint8_t> Bytes(size_t count) {
        const size_t from = at_ < size_ ? at_ : size_;
        at_ = count < size_ - from ? from + count : size_;
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
    WorkFolder();
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

private:
    int previous_;  // the folder to return to
};

void WriteFile(const char* path, const uint8_t* data, size_t size);

// Opens the API over a driver stand-in that answers every request with success (once per
// process; later calls forget the requests recorded), for the parsers that need an open API.
void OpenQuietApi();

// With the API open: loads a one-chip flash data file, then runs the jobs that read the
// device's answers (node list, find, register read, time stamp, configuration download,
// upload mode, a small upload and an erase), each whatever the previous one returned.
void RunDeviceJobs();

}  // namespace loric::fuzz
