// Serial ports on Linux: the port name is a path, COMn stands for /dev/ttyS<n-1>. The line is
// set up as the Windows build sets it: raw, 115200 baud 8N1, no flow control, RTS on, DTR off,
// and reads that return at once with whatever has arrived.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace loric::platform {

namespace {

int FdOf(Handle port) { return static_cast<int>(reinterpret_cast<intptr_t>(port)); }
Handle HandleOf(int fd) { return reinterpret_cast<Handle>(static_cast<intptr_t>(fd)); }

uint32_t ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR: return kErrorFileNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EBADF: return kErrorInvalidHandle;
    case EBUSY: return kErrorBusy;
    case EINVAL:
    case ENOTTY: return kErrorInvalidParameter;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EIO: return kErrorIoDevice;
    case ENXIO:
    case ENODEV: return kErrorDeviceNotConnected;
    default: return kErrorGenFailure;
    }
}

// "COMn" or "\\.\COMn" (any case, n from 1) names /dev/ttyS<n-1>; anything else is a path.
bool ComPortPath(const char* name, char* path, size_t size) {
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    if (std::strlen(name) < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' ||
        (name[2] | 0x20) != 'm')
        return false;
    uint32_t number = 0;
    const char* digit = name + 3;
    for (; *digit >= '0' && *digit <= '9'; ++digit) {
        number = number * 10 + static_cast<uint32_t>(*digit - '0');
        if (number > 100000) return false;
    }
    if (*digit != '\0' || number == 0) return false;
    std::snprintf(path, size, "/dev/ttyS%u", static_cast<unsigned>(number - 1));
    return true;
}

}  // namespace

Handle OpenSerialPort(const char* portName) {
    if (portName == nullptr) {
        SetLastErrorCode(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    char comPath[32];
    const char* path = ComPortPath(portName, comPath, sizeof comPath) ? comPath : portName;
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return kInvalidHandle;
    }
    // No second open of the port while this one lasts (it fails with EBUSY), as a COM port on
    // Windows is never open twice: two programs on one adapter would mix their frames. Only a
    // privileged process can still open it; a terminal that cannot be made exclusive is used as
    // it is.
    (void)::ioctl(fd, TIOCEXCL);
    return HandleOf(fd);
}

bool ConfigureSerialPort(Handle port, int* failedStep) {
    const int fd = FdOf(port);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        if (failedStep != nullptr) *failedStep = 1;
        return false;
    }

    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        if (failedStep != nullptr) *failedStep = 2;
        return false;
    }
    // RTS on, DTR off. Pseudo-terminals have no modem lines: that is no failure.
    int rts = TIOCM_RTS, dtr = TIOCM_DTR;
    (void)::ioctl(fd, TIOCMBIS, &rts);
    (void)::ioctl(fd, TIOCMBIC, &dtr);

    // Reads return at once with what has arrived, writes never block the caller for long.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::tcsetattr(fd, TCSANOW, &tio) != 0 || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        if (failedStep != nullptr) *failedStep = 3;
        return false;
    }
    return true;
}

bool PurgeSerialPort(Handle port) {
    if (::tcflush(FdOf(port), TCIOFLUSH) != 0) {
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    return true;
}

bool ReadSerialPort(Handle port, void* buffer, uint32_t size, uint32_t* bytesRead) {
    *bytesRead = 0;
    if (size == 0) return true;
    const ssize_t n = ::read(FdOf(port), buffer, size);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    *bytesRead = static_cast<uint32_t>(n);
    return true;
}

bool WriteSerialPort(Handle port, const void* buffer, uint32_t size, uint32_t* bytesWritten) {
    *bytesWritten = 0;
    if (size == 0) return true;
    const ssize_t n = ::write(FdOf(port), buffer, size);
    if (n < 0) {
        // A full output queue is no failure: nothing was written this time.
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
        SetLastErrorCode(ErrorFromErrno(errno));
        return false;
    }
    *bytesWritten = static_cast<uint32_t>(n);
    return true;
}

bool WaitSerialInput(Handle port, uint32_t milliseconds) {
    pollfd p{FdOf(port), POLLIN, 0};
    const int timeout = milliseconds > 60000 ? 60000 : static_cast<int>(milliseconds);
    const int n = ::poll(&p, 1, timeout);
    if (n < 0) return true;  // interrupted: the caller reads and checks its clock anyway
    if (n > 0 && (p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        SetLastErrorCode(kErrorDeviceNotConnected);
        return false;
    }
    return true;
}

void CloseSerialPort(Handle port) { ::close(FdOf(port)); }

}  // namespace loric::platform
