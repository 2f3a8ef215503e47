// Node files of the kernel's 1394 stack through the firewire-cdev interface. The only file of
// the library that includes the kernel's header.
//
// Events are read with plain read(2), never its fortified form (__read_chk), which umockdev's
// preload library does not intercept: the end-to-end tests run this file under umockdev.
#undef _FORTIFY_SOURCE
#include "platform/posix/firewire.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace loric::platform::firewire {

static_assert(kRcodeComplete == RCODE_COMPLETE && kRcodeConflictError == RCODE_CONFLICT_ERROR &&
              kRcodeDataError == RCODE_DATA_ERROR && kRcodeTypeError == RCODE_TYPE_ERROR &&
              kRcodeAddressError == RCODE_ADDRESS_ERROR && kRcodeSendError == RCODE_SEND_ERROR &&
              kRcodeCancelled == RCODE_CANCELLED && kRcodeBusy == RCODE_BUSY &&
              kRcodeGeneration == RCODE_GENERATION && kRcodeNoAck == RCODE_NO_ACK);

namespace {

// ABI version declared to GET_INFO: plain response events (later versions add time stamps).
constexpr uint32_t kAbiVersion = 4;
// Events passed over while waiting for one response, before the wait is given up.
constexpr int kMaxForeignEvents = 4096;

const KernelHooks* g_hooks = nullptr;

int SysOpen(const char* path) {
    if (g_hooks != nullptr && g_hooks->open != nullptr)
        return g_hooks->open(g_hooks->context, path);
    return ::open(path, O_RDWR | O_CLOEXEC);
}

int SysClose(int fd) {
    if (g_hooks != nullptr && g_hooks->close != nullptr)
        return g_hooks->close(g_hooks->context, fd);
    return ::close(fd);
}

int SysIoctl(int fd, unsigned long request, void* argument) {
    if (g_hooks != nullptr && g_hooks->ioctl != nullptr)
        return g_hooks->ioctl(g_hooks->context, fd, request, argument);
    return ::ioctl(fd, request, argument);
}

long SysRead(int fd, void* buffer, size_t size) {
    if (g_hooks != nullptr && g_hooks->read != nullptr)
        return g_hooks->read(g_hooks->context, fd, buffer, size);
    return ::read(fd, buffer, size);
}

bool SysList(std::vector<std::string>* names) {
    if (g_hooks != nullptr && g_hooks->list != nullptr)
        return g_hooks->list(g_hooks->context, names);
    DIR* dir = ::opendir(kDeviceDirectory);
    if (dir == nullptr) return false;
    while (const dirent* entry = ::readdir(dir)) names->push_back(entry->d_name);
    ::closedir(dir);
    return true;
}

// The number of a node file's name ("fw12" is 12), or -1 for any other name.
long NodeFileNumber(const std::string& name) {
    const size_t prefix = std::strlen(kNodeFilePrefix);
    if (name.size() <= prefix || name.size() > prefix + 6 ||
        name.compare(0, prefix, kNodeFilePrefix) != 0)
        return -1;
    long number = 0;
    for (size_t i = prefix; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

uint64_t Pointer(const void* p) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p)); }

Outcome FailWithErrno(int error) {
    if (error == ENODEV) return Outcome::kNodeGone;
    SetLastErrorCode(ErrorOfErrno(error));
    return Outcome::kFailed;
}

}  // namespace

void SetKernelHooks(const KernelHooks* hooks) { g_hooks = hooks; }

std::vector<std::string> NodeFiles() {
    std::vector<std::string> names;
    if (!SysList(&names)) return {};
    std::vector<std::pair<long, std::string>> numbered;
    for (const std::string& name : names) {
        const long number = NodeFileNumber(name);
        if (number >= 0) numbered.emplace_back(number, std::string(kDeviceDirectory) + "/" + name);
    }
    std::sort(numbered.begin(), numbered.end());
    std::vector<std::string> paths;
    for (auto& entry : numbered) paths.push_back(std::move(entry.second));
    return paths;
}

bool KernelStackChosen() {
    const char* link = std::getenv("LORIC_LINK");
    if (link != nullptr && std::strcmp(link, "firewire") == 0) return true;
    if (link != nullptr && std::strcmp(link, "socket") == 0) return false;
    const char* socket = std::getenv("BRENNOCK_SOCKET");
    if (socket != nullptr && socket[0] != '\0') return false;
    return !NodeFiles().empty();
}

int OpenNode(const char* path) {
    for (;;) {
        const int fd = SysOpen(path);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        SetLastErrorCode(ErrorOfErrno(errno));
        return -1;
    }
}

void CloseNode(int fd) {
    if (fd >= 0) SysClose(fd);
}

Outcome GetNodeInfo(int fd, NodeInfo* info) {
    uint32_t rom[kRomQuadlets] = {};
    fw_cdev_event_bus_reset reset{};
    fw_cdev_get_info request{};
    request.version = kAbiVersion;
    request.rom_length = sizeof rom;
    request.rom = Pointer(rom);
    request.bus_reset = Pointer(&reset);
    if (SysIoctl(fd, FW_CDEV_IOC_GET_INFO, &request) < 0) return FailWithErrno(errno);
    // The kernel gives the ROM's whole length and copies what fits.
    const uint32_t quadlets = std::min<uint32_t>(request.rom_length, sizeof rom) / 4;
    info->rom.assign(rom, rom + quadlets);
    info->generation = reset.generation;
    info->nodeId = static_cast<uint16_t>(reset.node_id);
    info->localNodeId = static_cast<uint16_t>(reset.local_node_id);
    info->rootNodeId = static_cast<uint16_t>(reset.root_node_id);
    return Outcome::kDone;
}

Outcome Transaction(int fd, bool write, uint64_t offset, uint32_t generation, uint8_t* data,
                    uint32_t length) {
    if (data == nullptr || length == 0 || length % 4 != 0 || length > kMaxPayload) {
        SetLastErrorCode(kErrorInvalidParameter);
        return Outcome::kFailed;
    }
    fw_cdev_send_request request{};
    // The request's own address tells its response from any other.
    const uint64_t closure = Pointer(&request);
    if (write)
        request.tcode = length == 4 ? TCODE_WRITE_QUADLET_REQUEST : TCODE_WRITE_BLOCK_REQUEST;
    else
        request.tcode = length == 4 ? TCODE_READ_QUADLET_REQUEST : TCODE_READ_BLOCK_REQUEST;
    request.length = length;
    request.offset = offset & 0xFFFFFFFFFFFFull;
    request.closure = closure;
    request.data = Pointer(data);
    request.generation = generation;
    // A stale generation comes back as a response event, not as an errno.
    if (SysIoctl(fd, FW_CDEV_IOC_SEND_REQUEST, &request) < 0) return FailWithErrno(errno);

    // Events are read one a call; a bus reset may come before the response.
    alignas(8) uint8_t buffer[sizeof(fw_cdev_event_response) + kMaxPayload];
    for (int passed = 0; passed < kMaxForeignEvents;) {
        const long got = SysRead(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return FailWithErrno(errno);
        if (got < static_cast<long>(sizeof(fw_cdev_event_common))) {
            SetLastErrorCode(kErrorIoDevice);
            return Outcome::kFailed;
        }
        fw_cdev_event_common common;
        std::memcpy(&common, buffer, sizeof common);
        if (common.type != FW_CDEV_EVENT_RESPONSE || common.closure != closure ||
            got < static_cast<long>(sizeof(fw_cdev_event_response))) {
            ++passed;
            continue;
        }
        fw_cdev_event_response response;
        std::memcpy(&response, buffer, sizeof response);
        if (response.rcode == RCODE_GENERATION) return Outcome::kStaleGeneration;
        if (response.rcode != RCODE_COMPLETE) {
            SetLastErrorCode(ErrorOfRcode(response.rcode));
            return Outcome::kFailed;
        }
        if (!write) {
            const size_t carried = static_cast<size_t>(got) - sizeof response;
            if (response.length < length || carried < length) {
                SetLastErrorCode(kErrorIoDevice);  // a short read response
                return Outcome::kFailed;
            }
            std::memcpy(data, buffer + sizeof response, length);
        }
        return Outcome::kDone;
    }
    SetLastErrorCode(kErrorTimeout);
    return Outcome::kFailed;
}

Outcome InitiateBusReset(int fd) {
    fw_cdev_initiate_bus_reset request{};
    request.type = FW_CDEV_LONG_RESET;
    if (SysIoctl(fd, FW_CDEV_IOC_INITIATE_BUS_RESET, &request) < 0) return FailWithErrno(errno);
    return Outcome::kDone;
}

uint32_t ErrorOfErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO: return kErrorFileNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EINVAL:
    case EFAULT: return kErrorInvalidParameter;
    case EBUSY:
    case EAGAIN: return kErrorBusy;
    case EIO: return kErrorIoDevice;
    case ENODEV: return kErrorDeviceNotConnected;
    case ETIMEDOUT: return kErrorTimeout;
    default: return kErrorGenFailure;
    }
}

uint32_t ErrorOfRcode(uint32_t rcode) {
    switch (rcode) {
    case RCODE_COMPLETE: return 0;
    case RCODE_CONFLICT_ERROR:
    case RCODE_DATA_ERROR:
    case RCODE_TYPE_ERROR:
    case RCODE_ADDRESS_ERROR: return kErrorIoDevice;
    case RCODE_BUSY: return kErrorBusy;
    case RCODE_CANCELLED: return kErrorTimeout;
    case RCODE_NO_ACK: return kErrorSemTimeout;
    case RCODE_GENERATION: return kErrorDeviceNotConnected;
    case RCODE_SEND_ERROR:
    default: return kErrorGenFailure;
    }
}

}  // namespace loric::platform::firewire
