// The device link over the kernel-mode 1394 driver: one I/O control request per operation.
#pragma once

#include <cstdint>
#include <string>

#include "link/device_link.h"
#include "platform/platform.h"

namespace loric {

// I/O control codes of the driver: device type 0x22, any access, buffered method.
inline constexpr uint32_t IOCTL_ASYNC_READ = 0x222008;
inline constexpr uint32_t IOCTL_ASYNC_WRITE = 0x22200C;
inline constexpr uint32_t IOCTL_GET_NODE_LIST = 0x222190;
inline constexpr uint32_t IOCTL_SET_TARGET_NODE = 0x222194;
inline constexpr uint32_t IOCTL_UPLOAD_FLASH_PORT = 0x222198;
inline constexpr uint32_t IOCTL_UPLOAD_UPLOADER = 0x22219C;
inline constexpr uint32_t IOCTL_ERASE_SECTOR = 0x2221A0;
inline constexpr uint32_t IOCTL_RESET = 0x2221A4;
inline constexpr uint32_t IOCTL_SET_FLASH_COMMAND_SET = 0x2221A8;
inline constexpr uint32_t IOCTL_SET_BYTE_PROGRAM_DELAY = 0x2221AC;

// Size of the request that UploadBlock hands to the driver: four 32-bit fields.
inline constexpr uint32_t kUploadBlockRequestSize = 16;

class DriverLink final : public DeviceLink {
public:
    // Opens the device; throws std::runtime_error("couldn't create file") when it cannot.
    explicit DriverLink(const char* devicePath);
    ~DriverLink() override;
    DriverLink(const DriverLink&) = delete;
    DriverLink& operator=(const DriverLink&) = delete;

    uint32_t GetNodeList(NODE_INFO* records, uint32_t size) override;
    bool SetTargetNode(uint16_t nodeId) override;
    bool SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) override;
    bool Reset(uint32_t kind) override;
    bool UploadBlock(bool useFlashPort, const UploadBlockRequest& request) override;
    bool EraseSector(uint32_t sectorAddress) override;
    bool SetByteProgramDelay(uint32_t delayMicroseconds) override;
    bool AsyncRead(uint8_t* request, uint32_t length) override;
    bool AsyncWrite(uint8_t* request, uint32_t length) override;

    const std::string& devicePath() const { return devicePath_; }

private:
    bool SendValue(uint32_t code, uint32_t value);

    std::string devicePath_;
    platform::Handle handle_ = platform::kInvalidHandle;
};

}  // namespace loric
