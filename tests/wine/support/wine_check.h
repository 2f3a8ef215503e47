// Shared helpers of the Windows host programs that check loric.dll under Wine.
//
// A program loads the DLL the way a host does (LoadLibraryA, GetProcAddress by plain name),
// calls exports through a thunk that records what the call did to the stack pointer and to
// the registers a callee must keep, counts checks, and ends with "N passed, N failed".
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <vector>

namespace wine_check {

// What one call through the thunk left behind.
struct CallResult {
    uint32_t value;      // EAX on return
    int32_t stackDelta;  // stack pointer after the call minus before the arguments were pushed:
                         // 0 when the callee removed its arguments (stdcall), -4*n when not (cdecl)
    bool registersKept;  // EBX, ESI and EDI held the values they had before the call
};

// Calls `function` with the 32-bit words `args` pushed right to left.
CallResult Call(const void* function, const uint32_t* args, uint32_t count);
inline CallResult Call(const void* function, std::initializer_list<uint32_t> args) {
    return Call(function, args.begin(), static_cast<uint32_t>(args.size()));
}

// One 32-bit stack word from an integer or a pointer.
template <typename T>
uint32_t Word(T value) {
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
    } else {
        return static_cast<uint32_t>(value);
    }
}

// Counts one check; prints "FAIL: <message>" when it failed. Returns `ok`.
bool Expect(bool ok, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Calls `function` as a stdcall export taking args.size() words and checks that it removed
// exactly its arguments and kept the callee-saved registers.
CallResult ExpectStdcall(const char* name, const void* function, const uint32_t* args, uint32_t count);
inline CallResult ExpectStdcall(const char* name, const void* function, std::initializer_list<uint32_t> args) {
    return ExpectStdcall(name, function, args.begin(), static_cast<uint32_t>(args.size()));
}

// Loads loric.dll from the program's folder; exits with a failure line when it cannot.
HMODULE LoadLibraryUnderTest();

// Finds an export by its plain name, counting a check.
FARPROC Resolve(HMODULE library, const char* name);

// Prints a line that says a group of checks did not run and why; counted in the summary.
void Skip(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Whole files: read into `bytes` / written from `length` bytes; false when that fails.
bool ReadFileBytes(const char* name, std::vector<unsigned char>& bytes);
bool WriteFileBytes(const char* name, const void* bytes, size_t length);
inline bool WriteText(const char* name, const char* text) { return WriteFileBytes(name, text, std::strlen(text)); }
// Counts one check: the two files hold the same bytes.
void ExpectSameFile(const char* got, const char* want);

// Prints "<passed> passed, <failed> failed" (and skips, when any) and returns the exit code.
int Finish();

}  // namespace wine_check
