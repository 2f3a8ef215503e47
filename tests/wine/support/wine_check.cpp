#include "wine_check.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

int g_passed;
int g_failed;
int g_skipped;

struct ThunkRecord {
    int32_t stackDelta;
    uint32_t ebx;
    uint32_t esi;
    uint32_t edi;
    uint32_t expectedStack;
};

}  // namespace

// CallThunk(function, args, count, record): pushes the words right to left on a 16-byte
// aligned stack, fills EBX/ESI/EDI with markers, calls, and records the stack pointer and the
// registers afterwards. It restores its own frame from EBP, so a callee that cleans the wrong
// number of bytes is reported instead of crashing the program.
extern "C" uint32_t __cdecl CallThunk(const void* function, const uint32_t* args, uint32_t count,
                                      ThunkRecord* record);
asm(R"(
    .text
    .globl _CallThunk
    .def _CallThunk; .scl 2; .type 32; .endef
_CallThunk:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 16(%ebp), %ecx
    leal (,%ecx,4), %eax
    movl %esp, %edx
    subl %eax, %edx
    andl $-16, %edx
    addl %eax, %edx
    movl %edx, %esp
    movl 20(%ebp), %eax
    movl %esp, 16(%eax)
    movl 12(%ebp), %edx
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%edx,%ecx,4)
    jmp 1b
2:  movl $0x5A5A0B0B, %ebx
    movl $0x5A5A0505, %esi
    movl $0x5A5A0D0D, %edi
    call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %esp, %edx
    subl 16(%ecx), %edx
    movl %edx, 0(%ecx)
    movl %ebx, 4(%ecx)
    movl %esi, 8(%ecx)
    movl %edi, 12(%ecx)
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace wine_check {

CallResult Call(const void* function, const uint32_t* args, uint32_t count) {
    ThunkRecord record{};
    uint32_t value = CallThunk(function, args, count, &record);
    bool kept = record.ebx == 0x5A5A0B0Bu && record.esi == 0x5A5A0505u && record.edi == 0x5A5A0D0Du;
    return CallResult{value, record.stackDelta, kept};
}

bool Expect(bool ok, const char* format, ...) {
    if (ok) {
        ++g_passed;
        return true;
    }
    ++g_failed;
    std::va_list args;
    va_start(args, format);
    std::fputs("FAIL: ", stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    va_end(args);
    std::fflush(stdout);
    return false;
}

CallResult ExpectStdcall(const char* name, const void* function, const uint32_t* args, uint32_t count) {
    CallResult result = Call(function, args, count);
    Expect(result.stackDelta == 0, "%s: stack pointer moved by %ld bytes after a stdcall call with %u arguments",
           name, static_cast<long>(result.stackDelta), static_cast<unsigned>(count));
    Expect(result.registersKept, "%s: EBX, ESI or EDI changed across the call", name);
    return result;
}

HMODULE LoadLibraryUnderTest() {
    HMODULE library = LoadLibraryA("loric.dll");
    if (!Expect(library != nullptr, "LoadLibraryA(\"loric.dll\") failed with error %lu", GetLastError())) {
        std::exit(Finish());
    }
    return library;
}

FARPROC Resolve(HMODULE library, const char* name) {
    FARPROC function = GetProcAddress(library, name);
    Expect(function != nullptr, "GetProcAddress(\"%s\") found nothing", name);
    return function;
}

void Skip(const char* format, ...) {
    ++g_skipped;
    std::va_list args;
    va_start(args, format);
    std::fputs("SKIPPED: ", stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    va_end(args);
}

bool ReadFileBytes(const char* name, std::vector<unsigned char>& bytes) {
    FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return false;
    bytes.clear();
    unsigned char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
    std::fclose(file);
    return true;
}

bool WriteFileBytes(const char* name, const void* bytes, size_t length) {
    FILE* file = std::fopen(name, "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(bytes, 1, length, file) == length;
    return std::fclose(file) == 0 && ok;
}

void ExpectSameFile(const char* got, const char* want) {
    std::vector<unsigned char> a, b;
    if (!Expect(ReadFileBytes(got, a), "%s cannot be read", got) || !Expect(ReadFileBytes(want, b), "%s cannot be read", want))
        return;
    size_t first = 0;
    while (first < a.size() && first < b.size() && a[first] == b[first]) ++first;
    Expect(a.size() == b.size() && first == a.size(), "%s (%u bytes) and %s (%u bytes) differ from byte %u on", got,
           static_cast<unsigned>(a.size()), want, static_cast<unsigned>(b.size()), static_cast<unsigned>(first));
}

int Finish() {
    if (g_skipped > 0) {
        std::printf("%d passed, %d failed, %d skipped\n", g_passed, g_failed, g_skipped);
    } else {
        std::printf("%d passed, %d failed\n", g_passed, g_failed);
    }
    std::fflush(stdout);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}

}  // namespace wine_check
