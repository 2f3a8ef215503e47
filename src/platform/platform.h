// Everything that differs between the Windows DLL and the Linux library. The rest of the
// library calls these functions only; on Windows they are thin wrappers of kernel32/user32,
// on Linux they are the stand-ins described in README.md (driver socket, serial paths,
// debug output on standard error, progress window record).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "loric.h"

namespace loric::platform {

// ---- Last error (Windows numbering) -----------------------------------------------------
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorBusy = 170;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kErrorTimeout = 1460;

uint32_t GetLastErrorCode();
void SetLastErrorCode(uint32_t code);

// ---- Debugger output and formatting ------------------------------------------------------
void DebugOutput(const char* text);
// Tests capture the debugger output: while a hook is set, every piece goes to it instead.
struct DebugOutputHook {
    void (*write)(void* context, const char* text);
    void* context;
};
void SetDebugOutputHook(const DebugOutputHook* hook);  // null restores the platform channel
// The platform channel itself (OutputDebugStringA; standard error under LORIC_DEBUG_OUTPUT).
void NativeDebugOutput(const char* text);
// wvsprintfA: printf-style placeholders without floating point; the result is cut to
// size - 1 characters and always zero-terminated. Returns the number of characters stored.
int FormatV(char* buffer, size_t size, const char* format, va_list args);

// ---- Trace log file ------------------------------------------------------------------------
struct LogFile;
// Opens for writing in text mode (created or truncated). Null when it cannot be opened.
LogFile* OpenLogFile(const char* fileName);
// Appends the text; each line feed is stored as carriage return and line feed.
void WriteLogFile(LogFile* file, const char* text);
void FlushLogFile(LogFile* file);
void CloseLogFile(LogFile* file);

// ---- Handles --------------------------------------------------------------------------------
using Handle = void*;
inline Handle const kInvalidHandle = reinterpret_cast<Handle>(static_cast<intptr_t>(-1));

// ---- The kernel driver ----------------------------------------------------------------------
// CreateFileA(path, GENERIC_READ|GENERIC_WRITE, FILE_SHARE_READ|FILE_SHARE_WRITE, NULL,
// OPEN_EXISTING, 0, NULL). kInvalidHandle on failure, last error set.
Handle OpenDevice(const char* path);
// DeviceIoControl without overlapped I/O. `uploadData`/`uploadLength` are the bytes that an
// upload request's data field points at: on Windows the driver reads them through the
// pointer inside the request; the Linux stand-in sends them after the request.
bool DeviceControl(Handle device, uint32_t code, const void* in, uint32_t inLength, void* out,
                   uint32_t outLength, uint32_t* bytesReturned, const void* uploadData = nullptr,
                   uint32_t uploadLength = 0);
void CloseDevice(Handle device);
// The value an upload request carries in its 32-bit data field for `data`: its address on
// a 32-bit build, 0 on the Linux stand-in (the bytes travel after the request).
uint32_t UploadDataField(const void* data);

// ---- Serial port ----------------------------------------------------------------------------
// CreateFileA of the port name (COMn on Linux maps to /dev/ttyS<n-1>, other names are paths).
Handle OpenSerialPort(const char* portName);
// GetCommState / SetCommState (115200 8N1, binary, no flow control, RTS on, DTR off) and
// SetCommTimeouts (reads return at once). `step` receives which step failed:
// 1 get state, 2 set state, 3 set time-outs.
bool ConfigureSerialPort(Handle port, int* failedStep);
// PurgeComm with all four purge flags.
bool PurgeSerialPort(Handle port);
bool ReadSerialPort(Handle port, void* buffer, uint32_t size, uint32_t* bytesRead);
bool WriteSerialPort(Handle port, const void* buffer, uint32_t size, uint32_t* bytesWritten);
// Blocks up to `milliseconds` until input is available (Linux: poll; Windows: a one-byte
// read under read time-outs that end it at the first byte, the byte kept for the next read).
// False, with last error set, when the port has hung up.
bool WaitSerialInput(Handle port, uint32_t milliseconds);
void CloseSerialPort(Handle port);

// ---- Progress window -----------------------------------------------------------------------
// GetWindowTextA: copies at most size - 1 characters, zero-terminated. Returns the length.
int GetWindowTitle(ProgressWindow window, char* text, int size);
// SetWindowTextA.
void SetWindowTitle(ProgressWindow window, const char* text);
// Calls the host's progress callback so that the stack pointer is what it was afterwards,
// whether the callback removed its argument (stdcall) or not (cdecl).
uint32_t CallProgress(ProgressCallback callback, uint8_t percent);

// ---- Clock ----------------------------------------------------------------------------------
// Calendar time: seconds since 1970 and milliseconds within the second.
struct CalendarTime {
    int64_t seconds;
    uint32_t milliseconds;
};
CalendarTime Now();
void SleepMilliseconds(uint32_t milliseconds);

// Tests replace the clock so that waits of seconds pass in microseconds. Null members fall
// back to the real clock. Plain data: no code runs at load.
struct ClockHooks {
    CalendarTime (*now)(void* context);
    void (*sleep)(void* context, uint32_t milliseconds);
    void* context;
};
void SetClockHooks(const ClockHooks* hooks);  // null restores the real clock

// The platform's own clock, used while no hook is set.
CalendarTime RealNow();
void RealSleepMilliseconds(uint32_t milliseconds);

}  // namespace loric::platform
