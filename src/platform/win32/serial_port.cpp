// Serial ports on Windows: the communications functions of kernel32. Reads return at once
// with what has arrived, and when nothing has arrived wait for the first byte at most
// kFirstByteWaitMs (ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD, a small
// total constant): the reply poll then sleeps in the driver instead of spinning, and still
// sees a reply the moment it starts. Writes return when all bytes are written.
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace loric::platform {

namespace {
constexpr DWORD kFirstByteWaitMs = 10;
}  // namespace

Handle OpenSerialPort(const char* portName) {
    if (portName == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidHandle;
    }
    HANDLE h = ::CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : static_cast<Handle>(h);
}

bool ConfigureSerialPort(Handle port, int* failedStep) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(static_cast<HANDLE>(port), &dcb)) {
        if (failedStep != nullptr) *failedStep = 1;
        return false;
    }
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!::SetCommState(static_cast<HANDLE>(port), &dcb)) {
        if (failedStep != nullptr) *failedStep = 2;
        return false;
    }

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = kFirstByteWaitMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(static_cast<HANDLE>(port), &timeouts)) {
        if (failedStep != nullptr) *failedStep = 3;
        return false;
    }
    return true;
}

bool PurgeSerialPort(Handle port) {
    return ::PurgeComm(static_cast<HANDLE>(port), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool ReadSerialPort(Handle port, void* buffer, uint32_t size, uint32_t* bytesRead) {
    DWORD n = 0;
    *bytesRead = 0;
    if (size == 0) return true;
    if (!::ReadFile(static_cast<HANDLE>(port), buffer, size, &n, nullptr)) return false;
    *bytesRead = n;
    return true;
}

bool WriteSerialPort(Handle port, const void* buffer, uint32_t size, uint32_t* bytesWritten) {
    DWORD n = 0;
    *bytesWritten = 0;
    if (size == 0) return true;
    if (!::WriteFile(static_cast<HANDLE>(port), buffer, size, &n, nullptr)) return false;
    *bytesWritten = n;
    return true;
}

// The read itself has already waited for the first byte (see the time-outs above).
bool WaitSerialInput(Handle, uint32_t) { return true; }

void CloseSerialPort(Handle port) { ::CloseHandle(static_cast<HANDLE>(port)); }

}  // namespace loric::platform
