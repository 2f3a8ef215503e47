// Serial ports on Windows: the communications functions of kernel32.
//
// The link above reads whatever has arrived (ReadSerialPort, never blocking) and, when nothing
// has, waits a bounded time for input (WaitSerialInput) before it looks at its clock again.
// Both are built on one set of read time-outs:
//
//   ReadIntervalTimeout = MAXDWORD, ReadTotalTimeoutMultiplier = MAXDWORD,
//   ReadTotalTimeoutConstant = the wait asked for (1 ms to 60 s).
//
// For exactly this combination the COMMTIMEOUTS documentation says: if there are bytes in the
// input buffer, ReadFile returns at once with them; if there are none, it waits until a byte
// arrives and then returns at once; if none arrives within ReadTotalTimeoutConstant, it times
// out (success, no bytes). A reply is therefore seen the moment its first byte arrives, and
// the thread sleeps in the system meanwhile: no fixed wait per read and no polling loop.
//
// Every ReadFile here asks for no more bytes than are known to be there (ClearCommError's
// cbInQue), or for one byte when waiting. Emulations that keep a read open until the constant
// has run out once some but not all of the requested bytes came (Wine does this) then behave
// as Windows documents too. The byte a wait brings is kept and handed out by the next read.
// Writes return when all bytes are written (no write time-outs).
#include <windows.h>

#include <cstdint>
#include <new>

#include "platform/platform.h"

namespace loric::platform {

namespace {

// The longest single wait; the link waits in slices far shorter than this.
constexpr DWORD kLongestWaitMs = 60000;

struct SerialPort {
    HANDLE handle;
    DWORD waitMs;  // ReadTotalTimeoutConstant as set now
    bool hasByte;  // a byte read while waiting, not yet handed out
    uint8_t byte;
};

SerialPort* PortOf(Handle port) { return static_cast<SerialPort*>(port); }

bool SetReadWait(SerialPort* port, DWORD milliseconds) {
    if (milliseconds == port->waitMs) return true;
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = milliseconds;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!::SetCommTimeouts(port->handle, &timeouts)) return false;
    port->waitMs = milliseconds;
    return true;
}

// Bytes in the driver's input buffer; false when the port cannot say (gone, or closed).
bool QueuedBytes(SerialPort* port, DWORD* count) {
    DWORD errors = 0;
    COMSTAT status;
    ZeroMemory(&status, sizeof status);
    if (!::ClearCommError(port->handle, &errors, &status)) return false;
    *count = status.cbInQue;
    return true;
}

}  // namespace

Handle OpenSerialPort(const char* portName) {
    if (portName == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return kInvalidHandle;
    }
    HANDLE h =
        ::CreateFileA(portName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kInvalidHandle;
    SerialPort* port = new (std::nothrow) SerialPort{h, 0, false, 0};
    if (port == nullptr) {
        ::CloseHandle(h);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return kInvalidHandle;
    }
    return port;
}

bool ConfigureSerialPort(Handle handle, int* failedStep) {
    SerialPort* port = PortOf(handle);
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!::GetCommState(port->handle, &dcb)) {
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
    if (!::SetCommState(port->handle, &dcb)) {
        if (failedStep != nullptr) *failedStep = 2;
        return false;
    }
    port->waitMs = 0;  // not set yet: the next line sets it whatever it was
    if (!SetReadWait(port, 10)) {
        if (failedStep != nullptr) *failedStep = 3;
        return false;
    }
    return true;
}

bool PurgeSerialPort(Handle handle) {
    SerialPort* port = PortOf(handle);
    port->hasByte = false;
    return ::PurgeComm(port->handle,
                       PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != 0;
}

bool ReadSerialPort(Handle handle, void* buffer, uint32_t size, uint32_t* bytesRead) {
    SerialPort* port = PortOf(handle);
    *bytesRead = 0;
    if (size == 0) return true;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    if (port->hasByte) {
        out[done++] = port->byte;
        port->hasByte = false;
    }
    DWORD queued = 0;
    if (!QueuedBytes(port, &queued)) {
        *bytesRead = done;
        return done != 0;
    }
    DWORD want = size - done;
    if (queued < want) want = queued;
    if (want != 0) {
        DWORD n = 0;
        if (!::ReadFile(port->handle, out + done, want, &n, nullptr)) {
            *bytesRead = done;
            return done != 0;
        }
        done += n;
    }
    *bytesRead = done;
    return true;
}

bool WriteSerialPort(Handle handle, const void* buffer, uint32_t size, uint32_t* bytesWritten) {
    DWORD n = 0;
    *bytesWritten = 0;
    if (size == 0) return true;
    if (!::WriteFile(PortOf(handle)->handle, buffer, size, &n, nullptr)) return false;
    *bytesWritten = n;
    return true;
}

// A one-byte read under the time-outs above: it returns as soon as a byte is there, or after
// the wait with none. The byte is kept for the next ReadSerialPort.
bool WaitSerialInput(Handle handle, uint32_t milliseconds) {
    SerialPort* port = PortOf(handle);
    if (port->hasByte) return true;
    DWORD wait = milliseconds;
    if (wait == 0) wait = 1;
    if (wait > kLongestWaitMs) wait = kLongestWaitMs;
    if (!SetReadWait(port, wait)) {
        ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    DWORD n = 0;
    if (!::ReadFile(port->handle, &port->byte, 1, &n, nullptr)) {
        ::SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    port->hasByte = n == 1;
    return true;
}

void CloseSerialPort(Handle handle) {
    SerialPort* port = PortOf(handle);
    ::CloseHandle(port->handle);
    delete port;
}

}  // namespace loric::platform
