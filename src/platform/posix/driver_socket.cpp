// The driver device on Linux: a Unix stream socket that carries each I/O control request
// as one exchange. Request: code, inLength, outLength (little-endian 32-bit), the input bytes,
// and for the two upload codes the data bytes that the request's data field stands for.
// Reply: ok, error, bytesReturned, then exactly outLength output bytes.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/bytes.h"
#include "platform/platform.h"

namespace loric::platform {

namespace {

constexpr uint32_t kUploadFlashPortCode = 0x222198;
constexpr uint32_t kUploadUploaderCode = 0x22219C;
constexpr uint32_t kUploadRequestSize = 16;
constexpr const char* kDefaultSocketPath = "/tmp/brennock.sock";

int HandleToFd(Handle handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int fd, uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t got = recv(fd, data, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

uint32_t ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR: return kErrorFileNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case ENOMEM: return kErrorNotEnoughMemory;
    default: return kErrorGenFailure;
    }
}

}  // namespace

Handle OpenDevice(const char* /*path*/) {
    const char* socketPath = std::getenv("BRENNOCK_SOCKET");
    if (socketPath == nullptr || socketPath[0] == '\0') socketPath = kDefaultSocketPath;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(socketPath) >= sizeof address.sun_path) {
        SetLastErrorCode(kErrorFileNotFound);
        return kInvalidHandle;
    }
    std::strcpy(address.sun_path, socketPath);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return kInvalidHandle;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        uint32_t error = ErrorFromErrno(errno);
        close(fd);
        SetLastErrorCode(error);
        return kInvalidHandle;
    }
    return reinterpret_cast<Handle>(static_cast<intptr_t>(fd));
}

bool DeviceControl(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint32_t* bytesReturned, const void* uploadData,
                   uint32_t uploadLength) {
    if (bytesReturned != nullptr) *bytesReturned = 0;
    if (device == kInvalidHandle) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    if ((in == nullptr && inLength != 0)) {
        SetLastErrorCode(kErrorInvalidParameter);
        return false;
    }
    const bool upload = (code == kUploadFlashPortCode || code == kUploadUploaderCode);
    uint32_t appended = 0;
    if (upload) {
        if (inLength != kUploadRequestSize) {
            SetLastErrorCode(kErrorInvalidParameter);
            return false;
        }
        appended = bytes::LoadLittleEndian32(static_cast<const uint8_t*>(in) + 4);
        if (appended != 0 && (uploadData == nullptr || uploadLength < appended)) {
            SetLastErrorCode(kErrorInvalidParameter);
            return false;
        }
    }
    std::vector<uint8_t> message;
    try {
        message.resize(12 + static_cast<size_t>(inLength) + appended);
    } catch (...) {
        SetLastErrorCode(kErrorNotEnoughMemory);
        return false;
    }
    bytes::StoreLittleEndian32(message.data(), code);
    bytes::StoreLittleEndian32(message.data() + 4, inLength);
    bytes::StoreLittleEndian32(message.data() + 8, outLength);
    if (inLength != 0) std::memcpy(message.data() + 12, in, inLength);
    if (upload) {
        // The data travel after the request, not at the address its data field holds.
        bytes::StoreLittleEndian32(message.data() + 12 + 8, 0);
        if (appended != 0)
            std::memcpy(message.data() + 12 + kUploadRequestSize, uploadData, appended);
    }
    const int fd = HandleToFd(device);
    uint8_t reply[12];
    if (!SendAll(fd, message.data(), message.size()) || !ReceiveAll(fd, reply, sizeof reply)) {
        SetLastErrorCode(kErrorDeviceNotConnected);
        return false;
    }
    if (outLength != 0) {
        bool received;
        if (out != nullptr) {
            received = ReceiveAll(fd, static_cast<uint8_t*>(out), outLength);
        } else {
            std::vector<uint8_t> discard(outLength);
            received = ReceiveAll(fd, discard.data(), outLength);
        }
        if (!received) {
            SetLastErrorCode(kErrorDeviceNotConnected);
            return false;
        }
    }
    const uint32_t ok = bytes::LoadLittleEndian32(reply);
    const uint32_t error = bytes::LoadLittleEndian32(reply + 4);
    if (bytesReturned != nullptr) *bytesReturned = bytes::LoadLittleEndian32(reply + 8);
    if (ok == 0) {
        // A failure always leaves a non-zero code behind.
        SetLastErrorCode(error != 0 ? error : kErrorGenFailure);
        return false;
    }
    return true;
}

void CloseDevice(Handle device) {
    if (device != kInvalidHandle) close(HandleToFd(device));
}

uint32_t UploadDataField(const void* /*data*/) { return 0; }

}  // namespace loric::platform
