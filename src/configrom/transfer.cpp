// Moving the configuration image between a file and the device's configuration sector, and
// reading the running firmware's time stamp, through the device's read window.
#include <cstdio>
#include <cstring>

#include "api/context.h"
#include "api/export_frame.h"
#include "configrom/crom.h"
#include "link/registers.h"
#include "platform/bytes.h"
#include "platform/platform.h"

namespace loric {

namespace {

// The time stamp record: six quadlets, read as characters least significant byte first.
constexpr uint32_t kTimestampQuadlets = 6;
constexpr uint32_t kTimestampBytes = kTimestampQuadlets * 4;

void ShowStep(ProgressWindow window, const char* text) {
    if (window != nullptr) platform::SetWindowTitle(window, text);
}

bool WriteFileQuadlet(FILE* file, uint32_t value) {
    uint8_t word[4];
    bytes::StoreLittleEndian32(word, value);
    return std::fwrite(word, 1, 4, file) == 4;
}

uint32_t UploadConfiguration(uint32_t nodeId, FLASH_DEVICE* device, const char* fileName,
                             uint32_t erase, ProgressWindow window, ProgressCallback callback) {
    if (fileName == nullptr || device == nullptr || device->configSector == nullptr) {
        return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
    }
    const uint32_t sector = device->configSector->start;

    if (SwitchDeviceToUploadMode(nodeId, device) != LORIC_OK)
        return ReportFailure(LORIC_ERR_UPLOAD_MODE);
    if (erase != 0) {
        ShowStep(window, "Erasing configuration flash...");
        if (EraseFlashSector(nodeId, device, sector, 0) != LORIC_OK) {
            return ReportFailure(LORIC_ERR_ERASE_FAILED, sector);
        }
    }
    ShowStep(window, "Uploading configuration...");
    if (UploadFile(nodeId, fileName, sector, 0, device, nullptr, window, callback) != LORIC_OK) {
        return ReportFailure(LORIC_ERR_CONFIG_UPLOAD);
    }
    ShowStep(window, "Reseting processor...");
    if (WriteQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CTRL, PROCESSOR_RESET) !=
        LORIC_OK) {
        return ReportFailure(LORIC_ERR_PROCESSOR_RESET);
    }
    return LORIC_OK;
}

// Reads the next quadlet of the read window and appends it to the file.
uint32_t CopyQuadlet(uint32_t nodeId, FILE* file, const char* fileName, uint32_t* value) {
    if (ReadQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL, value) != LORIC_OK) {
        return LORIC_ERR_QUADLET_READ;
    }
    if (!WriteFileQuadlet(file, *value)) return ReportFailure(LORIC_ERR_FILE_IO, fileName);
    return LORIC_OK;
}

uint32_t DownloadConfiguration(uint32_t nodeId, FLASH_DEVICE* device, const char* fileName,
                               ProgressWindow window, FILE** file) {
    if (fileName == nullptr || device == nullptr || device->configSector == nullptr) {
        return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
    }
    *file = std::fopen(fileName, "wb");
    if (*file == nullptr) return ReportFailure(LORIC_ERR_FILE_OPEN, fileName);

    Trace(TRACE_API, "Read additional config from flash address %.8X (%.8X)\n",
          device->configSector->start, device->configByteAddress);
    if (WriteQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL, device->configByteAddress) !=
        LORIC_OK) {
        return ReportFailure(LORIC_ERR_QUADLET_WRITE, FLASH_READ_CTRL);
    }
    ShowStep(window, "Downloading configuration");

    uint32_t header[kExtConfigWords];
    for (uint32_t i = 0; i < kExtConfigWords; ++i) {
        const uint32_t status = CopyQuadlet(nodeId, *file, fileName, &header[i]);
        if (status == LORIC_ERR_QUADLET_READ) return ReportFailure(status, FLASH_READ_CTRL);
        if (status != LORIC_OK) return status;
    }
    if (header[0] != EXT_CONFIG_MAGIC) {
        Trace(TRACE_ERROR, "Validity check failed!\n");
        Trace(TRACE_ERROR, "- Device probably blank, If not ensure correct flash selected\n");
        Trace(TRACE_ERROR, "- and config sector has been programmed correctly\n");
        return ReportFailure(LORIC_ERR_CONFIG_DOWNLOAD);
    }
    const uint32_t length = header[kConfigRomLenWord];
    if (length == 0) {
        Trace(TRACE_ERROR, "Zero length config ROM\n");
        return ReportFailure(LORIC_ERR_CONFIG_DOWNLOAD);
    }
    // No ROM is longer than an 8-bit crc_length allows; a larger length is not a
    // configuration, and reading it would run on for a very long time.
    if (length > kMaxRomBytes) {
        Trace(TRACE_ERROR, "Config ROM length %d out of range\n", length);
        return ReportFailure(LORIC_ERR_CONFIG_DOWNLOAD);
    }
    for (uint32_t offset = 0; offset < length; offset += 4) {
        uint32_t value = 0;
        const uint32_t status = CopyQuadlet(nodeId, *file, fileName, &value);
        if (status == LORIC_ERR_QUADLET_READ) {
            Trace(TRACE_ERROR, "Read error from CONFIG_ROM + %.2X!\n", offset);
            return ReportFailure(status, FLASH_READ_CTRL);
        }
        if (status != LORIC_OK) return status;
    }
    return LORIC_OK;
}

// Copies the text that starts at record[first] up to its zero or the record's end, at most
// the record's length including the zero. Returns the index after the text's zero.
uint32_t CopyRecordText(const char* record, uint32_t first, char* text) {
    uint32_t i = first;
    while (i < kTimestampBytes && record[i] != '\0') ++i;
    uint32_t length = i - first;
    if (length > kTimestampBytes - 1) length = kTimestampBytes - 1;
    std::memcpy(text, record + first, length);
    text[length] = '\0';
    return i + 1;
}

uint32_t ReadTimestamp(uint32_t nodeId, char* timeText, char* dateText) {
    if (timeText == nullptr || dateText == nullptr)
        return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
    if (WriteQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL, READ_TIMESTAMP) != LORIC_OK) {
        return ReportFailure(LORIC_ERR_QUADLET_WRITE, FLASH_READ_CTRL);
    }
    uint8_t received[kTimestampBytes];
    for (uint32_t i = 0; i < kTimestampQuadlets; ++i) {
        uint32_t value = 0;
        if (ReadQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_READ_CTRL, &value) != LORIC_OK) {
            return ReportFailure(LORIC_ERR_QUADLET_READ, FLASH_READ_CTRL);
        }
        bytes::StoreLittleEndian32(&received[i * 4], value);
    }
    char record[kTimestampBytes];
    std::memcpy(record, received, sizeof(record));
    const uint32_t dateFirst = CopyRecordText(record, 0, timeText);
    if (dateFirst < kTimestampBytes) {
        CopyRecordText(record, dateFirst, dateText);
    } else {
        dateText[0] = '\0';
    }
    // Without both texts there is no time stamp to report.
    if (timeText[0] == '\0' || dateText[0] == '\0') return ReportFailure(LORIC_ERR_TIMESTAMP);
    Trace(TRACE_API, "Time: %s  Date: %s\n", timeText, dateText);
    return LORIC_OK;
}

}  // namespace

}  // namespace loric

using namespace loric;

extern "C" LORIC_EXPORT uint32_t LORIC_CALL
UploadConfigurationFile(uint32_t nodeId, FLASH_DEVICE* device, const char* fileName, uint32_t erase,
                        ProgressWindow window, ProgressCallback callback) {
    return RunExport({TRACE_API, "UploadConfigurationFile", ExitLine::kBlankLine}, [&] {
        return UploadConfiguration(nodeId, device, fileName, erase, window, callback);
    });
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL DownloadConfigurationFile(uint32_t nodeId,
                                                                      FLASH_DEVICE* device,
                                                                      const char* fileName,
                                                                      ProgressWindow window) {
    return RunExport(
        {TRACE_API, "DownloadConfigurationFile", ExitLine::kBlankLine}, [&]() -> uint32_t {
            FILE* file = nullptr;
            uint32_t status = DownloadConfiguration(nodeId, device, fileName, window, &file);
            // A file that cannot be completed when closed is a failed write too.
            if (file != nullptr && std::fclose(file) != 0 && status == LORIC_OK) {
                status = ReportFailure(LORIC_ERR_FILE_IO, fileName);
            }
            return status;
        });
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL DownloadTimestamp(uint32_t nodeId, char* timeText,
                                                              char* dateText) {
    return RunExport({TRACE_API, "DownloadTimestamp", ExitLine::kBlankLine},
                     [&] { return ReadTimestamp(nodeId, timeText, dateText); });
}
