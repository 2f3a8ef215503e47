// The two programming sequences: the bootstrap loader through the flash port (works on a
// blank device), then the firmware and the configuration through the running loader or
// firmware in upload mode.
#include <cstdio>

#include "api/context.h"
#include "api/export_frame.h"
#include "bus/modes.h"
#include "flash/flash_data.h"
#include "link/registers.h"
#include "link/timing.h"
#include "loric.h"
#include "platform/platform.h"
#include "program/erase.h"
#include "program/upload.h"

using namespace loric;

namespace {

constexpr uint32_t kMaxEraseDelaySeconds = 30;

void SetTitle(ProgressWindow window, const char* text) {
    if (window != nullptr) platform::SetWindowTitle(window, text);
}

uint32_t BytesPerWord(const FLASH_DEVICE* device) { return device->busWidth / 8u; }

uint32_t SectorBytes(const FLASH_DEVICE* device, uint32_t index) {
    return BytesPerWord(device) * device->sectors[index].size;
}

uint32_t UsableSectorCount(const FLASH_DEVICE* device) {
    return device->sectorCount < LORIC_MAX_SECTORS ? device->sectorCount : LORIC_MAX_SECTORS;
}

// Checks, before anything on the device is touched, that an image the sequence will upload
// can be opened and holds at least one byte; otherwise reports what UploadFile would report
// once the flash had already been erased.
uint32_t CheckImageReadable(const char* fileName) {
    std::FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) return ReportFailure(LORIC_ERR_FILE_OPEN, fileName);
    unsigned char byte;
    const size_t got = std::fread(&byte, 1, 1, file);
    std::fclose(file);
    if (got != 1) return ReportFailure(LORIC_ERR_FILE_IO, fileName);
    return LORIC_OK;
}

// A record the uploads can work with: a bus width of 8, 16 or 32 and a built-in command set.
// Checked before anything is erased, since UploadFile would refuse it only afterwards.
bool DeviceUsable(const FLASH_DEVICE* device) {
    FLASH_COMMAND_SET set{};
    return IsValidBusWidth(device->busWidth) && DeviceCommandSet(*device, set);
}

// The configuration sector the record names. A host that copied a record keeps the pointer
// into the original's table, which still describes the same sector, so any pointer is taken;
// only a missing one is refused.
bool ConfigSectorValid(const FLASH_DEVICE* device) { return device->configSector != nullptr; }

uint32_t ProgramLoader(uint16_t* nodeId, FLASH_DEVICE* device, const char* fileName, uint32_t blank,
                       uint32_t eraseDelay, ProgressWindow window, ProgressCallback callback,
                       uint32_t loaderLength) {
    uint32_t eraseAddress = device->sectors[0].start;
    SetTitle(window, "Preparing to upload...");
    SetFlashDevice(device);  // the link keeps whichever set it accepted; go on regardless
    if (loaderLength > SectorBytes(device, 0)) {
        Trace(TRACE_API, "Loader too large for bottom sector - erasing entire device\n");
        eraseAddress = ERASE_ALL;
    }

    if (blank == 0) {
        if (SwitchDeviceToForceFlashMode(*nodeId) == LORIC_OK) {
            // The device dropped to its flash port and answers at a blank-device node now.
            uint32_t probeBlank = 1;
            if (FindNode(nodeId, &probeBlank) != LORIC_OK)
                return ReportFailure(LORIC_ERR_DEVICE_NOT_RELOCATED);
        }
        SetTitle(window, "Erasing flash...");
        if (EraseFlashSector(*nodeId, device, eraseAddress, 1) != LORIC_OK)
            return ReportFailure(LORIC_ERR_ERASE_FAILED, eraseAddress);
        WaitSeconds(eraseDelay);
    }

    SetTitle(window, "Uploading bootstrap loader...");
    const uint32_t status = UploadFile(*nodeId, fileName, 0, UPLOAD_METHOD_FLASH_PORT, device,
                                       nullptr, window, callback);
    if (status != LORIC_OK) return status;

    if (IssueReset(RESET_FLASH) != LORIC_OK) return ReportFailure(LORIC_ERR_FLASH_RESET);
    SetTitle(window, "Initialising bootstrap loader...");
    if (IssueReset(RESET_DEVICE) != LORIC_OK) return ReportFailure(LORIC_ERR_DEVICE_RESET);
    WriteQuadlet(*nodeId, REGISTER_OFFSET_HIGH, FLASH_PORT_CTRL, FLASH_PORT_CLEAR);
    if (IssueReset(RESET_BUS) != LORIC_OK) return ReportFailure(LORIC_ERR_BUS_RESET);
    WaitSeconds(1);
    SetTitle(window, "Relocating device...");
    if (!FindUploaderNode(nodeId)) return ReportFailure(LORIC_ERR_DEVICE_NOT_RELOCATED);
    return LORIC_OK;
}

uint32_t EraseForFirmware(uint32_t nodeId, FLASH_DEVICE* device, uint32_t sectorsToErase,
                          ProgressWindow window) {
    if (IsInternalFlash(*device)) {
        SetTitle(window, "Erasing internal flash...");
        if (EraseFlashSector(nodeId, device, ERASE_ALL, 0) != LORIC_OK) {
            Trace(TRACE_ERROR, "Internal flash erase failed");
            return ReportFailure(LORIC_ERR_ERASE_FAILED, ERASE_ALL);
        }
        return LORIC_OK;
    }
    SetTitle(window, "Erasing firmware flash...");
    for (uint32_t i = 0; i < sectorsToErase; ++i) {
        const uint32_t start = device->sectors[i].start;
        if (EraseFlashSector(nodeId, device, start, 0) != LORIC_OK) {
            Trace(TRACE_ERROR, "Flash firmware sector erase failed");
            return ReportFailure(LORIC_ERR_ERASE_FAILED, start);
        }
    }
    SetTitle(window, "Erasing configuration flash...");
    const uint32_t configStart = device->configSector->start;
    if (EraseFlashSector(nodeId, device, configStart, 0) != LORIC_OK) {
        Trace(TRACE_ERROR, "Configuration sector erase failed");
        return ReportFailure(LORIC_ERR_ERASE_FAILED, configStart);
    }
    return LORIC_OK;
}

uint32_t ProgramFirmwareAndConfig(uint32_t nodeId, FLASH_DEVICE* device,
                                  const char* firmwareFileName, const char* configFileName,
                                  ProgressWindow window, ProgressCallback callback,
                                  uint32_t firmwareLength) {
    if (SwitchDeviceToUploadMode(nodeId, device) != LORIC_OK)
        return ReportFailure(LORIC_ERR_UPLOAD_MODE);

    // Just enough sectors from the bottom up to hold the firmware.
    uint32_t flashEraseBytes = 0;
    uint32_t sectorsToErase = 0;
    for (uint32_t i = 0; i < UsableSectorCount(device); ++i) {
        flashEraseBytes += SectorBytes(device, i);
        sectorsToErase = i + 1;
        Trace(TRACE_API_VERBOSE, "Erasing to end of sector %d gives %d (0x%X) bytes\n", i,
              flashEraseBytes, flashEraseBytes);
        if (flashEraseBytes >= firmwareLength) break;
    }
    if (flashEraseBytes < firmwareLength || firmwareLength > device->firmwareSpace) {
        Trace(TRACE_API, "flashEraseBytes %d,  firwareSpace bytes %d\n", flashEraseBytes,
              device->firmwareSpace);
        return ReportFailure(LORIC_ERR_FILE_TOO_LARGE, firmwareLength);
    }

    uint32_t status = EraseForFirmware(nodeId, device, sectorsToErase, window);
    if (status != LORIC_OK) return status;

    // The firmware finds its configuration through parameter 1 of its parameter section.
    uint32_t parameter = device->configByteAddress;
    SetTitle(window, "Uploading firmware...");
    status = UploadFile(nodeId, firmwareFileName, 0, UPLOAD_METHOD_UPLOADER, device, &parameter,
                        window, callback);
    if (status != LORIC_OK) return status;

    SetTitle(window, "Uploading configuration...");
    status = UploadFile(nodeId, configFileName, device->configSector->start, UPLOAD_METHOD_UPLOADER,
                        device, nullptr, window, callback);
    if (status != LORIC_OK) return status;

    SetTitle(window, "Reseting device processor...");
    if (WriteQuadlet(nodeId, REGISTER_OFFSET_HIGH, FLASH_UPLOAD_CTRL, PROCESSOR_RESET) != LORIC_OK)
        return ReportFailure(LORIC_ERR_PROCESSOR_RESET);
    return LORIC_OK;
}

}  // namespace

extern "C" LORIC_EXPORT uint32_t LORIC_CALL
UploadFirmwareLoader(uint16_t* nodeId, FLASH_DEVICE* device, const char* fileName, uint32_t blank,
                     uint32_t eraseDelay, ProgressWindow window, ProgressCallback callback) {
    const uint32_t loaderLength = fileName != nullptr ? GetFileLength(fileName) : 0;
    return RunExport({TRACE_API, "UploadFirmwareLoader", ExitLine::kBlankLine}, [&]() -> uint32_t {
        if (fileName == nullptr || device == nullptr || nodeId == nullptr ||
            eraseDelay > kMaxEraseDelaySeconds || !DeviceUsable(device))
            return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        const uint32_t status = CheckImageReadable(fileName);
        if (status != LORIC_OK) return status;
        return ProgramLoader(nodeId, device, fileName, blank, eraseDelay, window, callback,
                             loaderLength);
    });
}

extern "C" LORIC_EXPORT uint32_t LORIC_CALL UploadFirmwareAndConfig(
    uint32_t nodeId, FLASH_DEVICE* device, const char* firmwareFileName, const char* configFileName,
    ProgressWindow window, ProgressCallback callback) {
    const uint32_t firmwareLength =
        firmwareFileName != nullptr ? GetFileLength(firmwareFileName) : 0;
    const uint32_t node = nodeId & 0xFFFF;
    // Its enter and exit lines name it UploadMainFirmware.
    return RunExport({TRACE_API, "UploadMainFirmware", ExitLine::kBlankLine}, [&]() -> uint32_t {
        if (firmwareFileName == nullptr || device == nullptr || configFileName == nullptr ||
            !DeviceUsable(device) || !ConfigSectorValid(device))
            return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        uint32_t status = CheckImageReadable(firmwareFileName);
        if (status == LORIC_OK) status = CheckImageReadable(configFileName);
        if (status != LORIC_OK) return status;
        return ProgramFirmwareAndConfig(node, device, firmwareFileName, configFileName, window,
                                        callback, firmwareLength);
    });
}
