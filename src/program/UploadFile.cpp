// UploadFile: programs one file image into flash in 50 link requests, by the device's
// uploader (with its checksum compared at the end) or through the flash port.
#include <cstdio>
#include <cstring>
#include <new>

#include "api/context.h"
#include "api/export_frame.h"
#include "flash/flash_data.h"
#include "link/registers.h"
#include "platform/bytes.h"
#include "platform/platform.h"
#include "program/upload.h"

namespace loric {
namespace {

constexpr int kTitleSize = 128;

uint32_t SumQuadlets(const uint8_t* image, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t at = 0; at + 4 <= length; at += 4) sum += bytes::LoadLittleEndian32(image + at);
    return sum;
}

void ShowPercent(ProgressWindow window, const char* savedTitle, uint32_t percent) {
    char title[kTitleSize + 16];
    std::snprintf(title, sizeof title, "%s %u%%", savedTitle, percent);
    platform::SetWindowTitle(window, title);
}

struct UploadJob {
    uint32_t nodeId;
    const char* fileName;
    uint32_t address;
    uint32_t flags;
    const FLASH_DEVICE* device;
    const uint32_t* parameter;
    ProgressWindow window;
    ProgressCallback callback;
};

// Everything after the file is open; the caller closes it.
uint32_t UploadOpenFile(const UploadJob& job, FILE* file) {
    const uint32_t fileLength = GetStreamLength(file);
    if (fileLength == kUnknownLength) return ReportFailure(LORIC_ERR_FILE_IO, job.fileName);
    const uint32_t length = RoundedImageLength(fileLength);
    Trace(TRACE_API, "Upload file length %d (%X)\n", length, length);

    // Pad bytes after the file's last byte are zero.
    uint8_t* image = new (std::nothrow) uint8_t[length == 0 ? 1 : length]();
    if (image == nullptr) return ReportFailure(LORIC_ERR_NO_MEMORY, length);
    struct ImageOwner {
        uint8_t* image;
        ~ImageOwner() { delete[] image; }
    } owner{image};

    // A short read would send a damaged image: only the whole file goes up.
    if (fileLength == 0 || std::fread(image, 1, fileLength, file) != fileLength)
        return ReportFailure(LORIC_ERR_FILE_IO, job.fileName);

    if (job.parameter != nullptr && !PokeParameters(image, length, job.parameter)) {
        Trace(TRACE_ERROR, "Poke Parameters failed!\n");
        return ReportFailure(LORIC_ERR_FILE_UPLOAD, job.fileName);
    }

    const uint32_t sum = SumQuadlets(image, length);
    const FLASH_DEVICE& device = *job.device;
    const bool flashPort = UsesFlashPort(job.flags);
    if (flashPort) {
        Trace(TRACE_API, "Setting byte prog delay to %d uS\n", device.byteProgramDelay);
        SetByteProgramDelay(
            static_cast<uint32_t>(device.byteProgramDelay));  // a failure is only logged
    } else if (WriteQuadlet(job.nodeId, REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CTRL, job.address) !=
               LORIC_OK) {
        ReportFailure(LORIC_ERR_QUADLET_WRITE, FLASH_UPLOAD_CTRL);
        Trace(TRACE_ERROR, "1394 Write error to FLASH_UPLOAD_CTRL!\n");
        return LORIC_ERR_QUADLET_WRITE;
    }

    char savedTitle[kTitleSize] = {};
    if (job.window != nullptr) platform::GetWindowTitle(job.window, savedTitle, kTitleSize);
    const bool showTitle = job.window != nullptr && length >= kTitleMinimumLength;

    const uint32_t segment = SegmentLength(length);
    const uint32_t bytesPerWord = device.busWidth / 8u;
    const uint32_t mode = job.flags |
                          (static_cast<uint32_t>(device.commandSetIndex) & 0xFFu) << 24 |
                          (device.busWidth & 0x18u);
    uint32_t position = 0;
    uint32_t remaining = length;
    for (uint32_t step = 0; step < kUploadSteps; ++step) {
        const uint32_t percent = 2 * step;
        if (showTitle) ShowPercent(job.window, savedTitle, percent);
        const uint32_t stepLength = segment < remaining ? segment : remaining;
        Trace(TRACE_API_VERBOSE, "Uploading segment %d - %d bytes (of %d remaining)...\n", step,
              stepLength, remaining);
        if (!UploadBuffer(job.address + step * (segment / bytesPerWord), image + position,
                          stepLength, mode)) {
            ReportFailure(LORIC_ERR_FILE_UPLOAD, job.fileName);
            Trace(TRACE_ERROR, "UploadBuffer error! (segment %d)\n", step);
            return LORIC_ERR_FILE_UPLOAD;
        }
        position += stepLength;
        remaining -= stepLength;
        if (job.callback != nullptr &&
            platform::CallProgress(job.callback, static_cast<uint8_t>(percent)) != 0)
            return ReportFailure(LORIC_ERR_CANCELLED);
    }
    if (showTitle) ShowPercent(job.window, savedTitle, 100);
    if (job.callback != nullptr) platform::CallProgress(job.callback, 100);

    // The internal flash and the flash port keep no checksum.
    if (!flashPort && !IsInternalFlash(device)) {
        uint32_t deviceSum = 0;
        if (ReadQuadlet(job.nodeId, REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CHECKSUM, &deviceSum) !=
            LORIC_OK)
            return ReportFailure(LORIC_ERR_QUADLET_READ, FLASH_UPLOAD_CHECKSUM);
        // 0: the device offers no checksum.
        if (deviceSum != 0 && deviceSum != sum) {
            ReportFailure(LORIC_ERR_FILE_UPLOAD, job.fileName);
            Trace(TRACE_ERROR, "Device checksum mismatch! Ret = %.8X Calc = %.8X\n", deviceSum,
                  sum);
            return LORIC_ERR_FILE_UPLOAD;
        }
    }
    return LORIC_OK;
}

}  // namespace
}  // namespace loric

using namespace loric;

extern "C" LORIC_EXPORT uint32_t LORIC_CALL UploadFile(uint32_t nodeId, const char* fileName,
                                                       uint32_t address, uint32_t flags,
                                                       FLASH_DEVICE* device, uint32_t* parameter,
                                                       ProgressWindow window,
                                                       ProgressCallback callback) {
    Trace(TRACE_API, "Enter UploadFile to address %.8X\n", address);
    return RunEnteredExport({TRACE_API, "UploadFile", ExitLine::kBlankLine}, [&]() -> uint32_t {
        // Every word address below divides by the bus width.
        if (fileName == nullptr || device == nullptr || !IsValidBusWidth(device->busWidth))
            return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        FILE* file = std::fopen(fileName, "rb");
        if (file == nullptr) return ReportFailure(LORIC_ERR_FILE_OPEN, fileName);
        const UploadJob job{nodeId, fileName, address, flags, device, parameter, window, callback};
        const uint32_t status = UploadOpenFile(job, file);
        std::fclose(file);
        return status;
    });
}
