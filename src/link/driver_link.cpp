#include "link/driver_link.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "api/context.h"
#include "platform/bytes.h"

namespace loric {

DriverLink::DriverLink(const char* devicePath)
    : devicePath_(devicePath != nullptr ? devicePath : "") {
    platform::Handle handle = platform::OpenDevice(devicePath_.c_str());
    if (handle == platform::kInvalidHandle) throw std::runtime_error("couldn't create file");
    handle_ = handle;
}

DriverLink::~DriverLink() {
    if (handle_ != platform::kInvalidHandle) platform::CloseDevice(handle_);
}

uint32_t DriverLink::GetNodeList(NODE_INFO* records, uint32_t size) {
    if (size > UINT32_MAX - 4) throw static_cast<uint32_t>(LORIC_ERR_NO_MEMORY);
    const uint32_t replySize = size + 4;
    uint8_t* reply = new (std::nothrow) uint8_t[replySize];
    if (reply == nullptr) throw static_cast<uint32_t>(LORIC_ERR_NO_MEMORY);
    std::memset(reply, 0, replySize);
    uint32_t bytesReturned = 0;
    if (!platform::DeviceControl(handle_, IOCTL_GET_NODE_LIST, nullptr, 0, reply, replySize,
                                 &bytesReturned)) {
        const uint32_t error = platform::GetLastErrorCode();
        delete[] reply;
        platform::SetLastErrorCode(error);  // left for the catcher
        throw static_cast<uint32_t>(LORIC_ERR_DRIVER_INTERNAL);
    }
    const uint32_t count = bytes::LoadLittleEndian32(reply);
    Trace(TRACE_VERBOSE, "Bytes Returned: %d  Nodes %d\n", static_cast<int>(bytesReturned),
          static_cast<int>(count));
    if (records != nullptr && size != 0) std::memcpy(records, reply + 4, size);
    delete[] reply;
    return count;
}

bool DriverLink::SetTargetNode(uint16_t nodeId) {
    const uint8_t input[2] = {static_cast<uint8_t>(nodeId), static_cast<uint8_t>(nodeId >> 8)};
    uint32_t bytesReturned = 0;
    return platform::DeviceControl(handle_, IOCTL_SET_TARGET_NODE, input, sizeof input, nullptr, 0,
                                   &bytesReturned);
}

bool DriverLink::SetFlashCommandSet(const FLASH_COMMAND_SET& commandSet) {
    uint8_t input[sizeof commandSet.words];
    for (uint32_t i = 0; i < 16; ++i)
        bytes::StoreLittleEndian32(input + 4 * i, commandSet.words[i]);
    uint32_t bytesReturned = 0;
    return platform::DeviceControl(handle_, IOCTL_SET_FLASH_COMMAND_SET, input, sizeof input,
                                   nullptr, 0, &bytesReturned);
}

bool DriverLink::Reset(uint32_t kind) { return SendValue(IOCTL_RESET, kind); }

bool DriverLink::UploadBlock(bool useFlashPort, const UploadBlockRequest& request) {
    uint8_t input[kUploadBlockRequestSize];
    bytes::StoreLittleEndian32(input, request.flashAddress);
    bytes::StoreLittleEndian32(input + 4, request.byteCount);
    bytes::StoreLittleEndian32(input + 8, platform::UploadDataField(request.data));
    bytes::StoreLittleEndian32(input + 12, request.uploadMode);
    uint32_t bytesReturned = 0;
    return platform::DeviceControl(
        handle_, useFlashPort ? IOCTL_UPLOAD_FLASH_PORT : IOCTL_UPLOAD_UPLOADER, input,
        sizeof input, nullptr, 0, &bytesReturned, request.data, request.byteCount);
}

bool DriverLink::EraseSector(uint32_t sectorAddress) {
    return SendValue(IOCTL_ERASE_SECTOR, sectorAddress);
}

bool DriverLink::SetByteProgramDelay(uint32_t delayMicroseconds) {
    return SendValue(IOCTL_SET_BYTE_PROGRAM_DELAY, delayMicroseconds);
}

bool DriverLink::AsyncRead(uint8_t* request, uint32_t length) {
    uint32_t bytesReturned = 0;
    return platform::DeviceControl(handle_, IOCTL_ASYNC_READ, request, length, request, length,
                                   &bytesReturned);
}

bool DriverLink::AsyncWrite(uint8_t* request, uint32_t length) {
    uint32_t bytesReturned = 0;
    return platform::DeviceControl(handle_, IOCTL_ASYNC_WRITE, request, length, request, length,
                                   &bytesReturned);
}

bool DriverLink::SendValue(uint32_t code, uint32_t value) {
    uint8_t input[4];
    bytes::StoreLittleEndian32(input, value);
    uint32_t bytesReturned = 0;
    return platform::DeviceControl(handle_, code, input, sizeof input, nullptr, 0, &bytesReturned);
}

}  // namespace loric
