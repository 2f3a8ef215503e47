// The transport to the device. Everything that reaches the bus goes through the one
// DeviceLink held by the API context; callers never know which transport is in use.
#pragma once

#include <cstdint>

#include "link/registers.h"
#include "loric.h"

namespace loric {

// What UploadBlock hands to the link: program `byteCount` bytes at `data` into flash at
// `flashAddress` (words of the bus width). `uploadMode` is passed to the driver unchanged.
struct UploadBlockRequest {
    uint32_t flashAddress;
    uint32_t byteCount;
    const uint8_t* data;
    uint32_t uploadMode;
};

// Operations 2 to 9 return false on failure and leave a non-zero last-error code.
// GetNodeList either throws a uint32_t StatusCode (4 or 8) or returns 0 nodes.
class DeviceLink {
public:
    virtual ~DeviceLink() = default;
    virtual uint32_t GetNodeList(NODE_INFO* records, uint32_t size) = 0;
    virtual bool SetTargetNode(uint16_t nodeId) = 0;
    virtual bool SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) = 0;
    virtual bool Reset(uint32_t kind) = 0;
    virtual bool UploadBlock(bool useFlashPort, const UploadBlockRequest& request) = 0;
    virtual bool EraseSector(uint32_t sectorAddress) = 0;
    virtual bool SetByteProgramDelay(uint32_t delayMicroseconds) = 0;
    virtual bool AsyncRead(uint8_t* request, uint32_t length) = 0;
    virtual bool AsyncWrite(uint8_t* request, uint32_t length) = 0;
};

}  // namespace loric
