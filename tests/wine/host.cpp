// Checks loric.dll under Wine as a host uses it: LoadLibraryA, exports by their plain names,
// called through a thunk that records what each call did to ESP, EBX, ESI and EDI.
//   wine_host.exe [<COM port of a blank device> <COM port of a device running firmware>]
//   wine_host.exe --driver running|blank      (the device behind the driver; run_driver.sh)
// run.sh starts the simulators behind the ports and puts the reference files in the folder.
#include <windows.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "configrom_record.h"
#include "loric.h"

namespace {

// loric.h checks the 32-bit layout hosts compile against.
static_assert(sizeof(void*) == 4);
constexpr size_t kStride = sizeof(FLASH_DEVICE);

int g_passed, g_failed, g_skipped;
HMODULE g_dll;

__attribute__((format(printf, 2, 3))) bool Expect(bool ok, const char* format, ...) {
    if (ok) return ++g_passed, true;
    ++g_failed;
    std::va_list args;
    va_start(args, format);
    std::fputs("FAIL: ", stdout);
    std::vprintf(format, args);
    std::fputc('\n', stdout);
    va_end(args);
    return false;
}

uint32_t W(const void* pointer) { return uint32_t(reinterpret_cast<uintptr_t>(pointer)); }

struct ThunkRecord {
    int32_t stackDelta;  // after the call minus before the arguments: 0 stdcall, -4*n cdecl
    uint32_t ebx, esi, edi, expectedStack;
};
// Pushes the words right to left on a 16-byte aligned stack, fills EBX/ESI/EDI with markers,
// calls, records the stack pointer and the registers; restores its frame from EBP, so a callee
// that removes the wrong number of bytes is reported instead of crashing the program.
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

// The value and the stack delta of a call; a changed callee-saved register is a failure.
uint32_t Call(const void* function, const std::vector<uint32_t>& args, int32_t* delta) {
    ThunkRecord r{};
    const uint32_t value = CallThunk(function, args.data(), static_cast<uint32_t>(args.size()), &r);
    Expect(r.ebx == 0x5A5A0B0Bu && r.esi == 0x5A5A0505u && r.edi == 0x5A5A0D0Du,
           "EBX, ESI or EDI changed");
    *delta = r.stackDelta;
    return value;
}

constexpr uint32_t kFails = 0xFFFFFFFEu, kAny = 0xFFFFFFFFu;
// Calls the export `name` as a stdcall function: it must remove exactly its arguments and
// return `want` (kFails: anything but LORIC_OK).
uint32_t Api(const char* name, const std::vector<uint32_t>& args, uint32_t want = kAny) {
    const void* function = reinterpret_cast<const void*>(GetProcAddress(g_dll, name));
    if (!Expect(function != nullptr, "GetProcAddress(\"%s\") found nothing", name))
        return 0xFFFFFFFFu;
    int32_t delta = 0;
    const uint32_t value = Call(function, args, &delta);
    Expect(delta == 0, "%s: stack pointer moved by %ld bytes (stdcall, %u arguments)", name,
           long(delta), unsigned(args.size()));
    Expect(want == kAny || (want == kFails ? value != LORIC_OK : value == want),
           "%s returned %u, expected %u", name, value, want);
    return value;
}

std::vector<unsigned char> ReadAll(const char* name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void WriteAll(const char* name, const void* bytes, size_t length) {
    FILE* file = std::fopen(name, "wb");
    Expect(file && std::fwrite(bytes, 1, length, file) == length && std::fclose(file) == 0,
           "cannot write %s", name);
}
void ExpectSameFile(const char* got, const char* want) {
    const auto a = ReadAll(got), b = ReadAll(want);
    Expect(!a.empty() && a == b, "%s (%u bytes) differs from %s (%u bytes)", got,
           unsigned(a.size()), want, unsigned(b.size()));
}

// Two local functions, one per convention, show that the thunk tells them apart.
extern "C" uint32_t __stdcall LocalStdcall(uint32_t a, uint32_t b) { return a + b; }
extern "C" uint32_t __cdecl LocalCdecl(uint32_t a, uint32_t b) { return a - b; }

uint32_t g_scratch[8192];
char g_text[1024];

// No driver runs under Wine: the API stays closed and every export that needs the device fails.
void CheckClosedApi() {
    int32_t delta = 0;
    Expect(Call(reinterpret_cast<const void*>(&LocalStdcall), {5, 3}, &delta) == 8 && delta == 0,
           "thunk: stdcall");
    Expect(Call(reinterpret_cast<const void*>(&LocalCdecl), {5, 3}, &delta) == 2 && delta == -8,
           "thunk: cdecl");
    // closed_exports.txt: "<export> <arguments> <status | fails | any>" a line; every argument
    // is the address of zeros (an empty name, a zero record).
    std::ifstream table("closed_exports.txt");
    std::string name, want;
    unsigned arguments = 0, rows = 0;
    for (; table >> name >> arguments >> want; ++rows) {
        const uint32_t status = want == "fails" ? kFails : want == "any" ? kAny : std::stoul(want);
        Api(name.c_str(), std::vector<uint32_t>(arguments, W(g_scratch)), status);
    }
    Expect(rows == 22, "closed_exports.txt holds %u exports, not 22", rows);
    Api("GetErrorText", {31, W(g_text)}, LORIC_OK);
    Expect(std::strcmp(g_text, "Processor reset failed") == 0, "GetErrorText(31) gave \"%.80s\"",
           g_text);
    // The one cdecl export: the caller removes the three words it pushed.
    const void* log = reinterpret_cast<const void*>(GetProcAddress(g_dll, "LogAppMessage"));
    if (Expect(log != nullptr, "no LogAppMessage")) {
        Call(log, {W("%s %u\n"), W("wine"), 7}, &delta);
        Expect(delta == -12,
               "LogAppMessage: stack pointer moved by %ld bytes, expected -12 (cdecl)",
               long(delta));
    }
}

// Both builds generate reference.bin from the fixed record; a backslash in the output name makes
// its folder the data page's.
void CheckConfigurationFiles() {
    WriteAll("datapage.dat", wine_reference::kDataPage, std::strlen(wine_reference::kDataPage));
    CONFIG_FILE_INFO record = wine_reference::Record();
    Api("GenerateConfigurationFile", {W(&record), W("windows.bin")}, LORIC_OK);
    ExpectSameFile("windows.bin", "reference.bin");
    CreateDirectoryA("out", nullptr);
    WriteAll("out\\datapage.dat", "7\n0\n", 4);
    Api("GenerateConfigurationFile", {W(&record), W("out\\windows.bin")}, LORIC_OK);
    const auto second = ReadAll("out\\windows.bin");
    Expect(second.size() > 20 && second[19] == 7,
           "out\\windows.bin lacks the page type of out\\datapage.dat");
    CONFIG_FILE_INFO imported;
    std::memset(&imported, 0xCC, sizeof imported);
    Api("ImportConfigurationFile", {W(&imported), W("windows.bin")}, LORIC_OK);
    const CONFIG_FILE_INFO expected = wine_reference::Imported();
    Expect(std::memcmp(&imported, &expected, sizeof expected) == 0, "the imported record differs");
}

// The caller's array of 128 records as raw bytes: the DLL must fill them at the 32-bit stride,
// each configSector a 32-bit pointer into its own record, and leave the record after the last
// alone.
std::vector<unsigned char> g_raw(LORIC_MAX_FLASH_DEVICES* kStride);
uint32_t Field(uint32_t record, size_t offset) {
    uint32_t value;
    std::memcpy(&value, &g_raw[record * kStride + offset], 4);
    return value;
}

FLASH_DEVICE* LoadFlashData(const char* chip) {
    std::fill(g_raw.begin(), g_raw.end(), 0xA5);
    uint32_t count = 0;
    Api("LoadFlashData", {W("flash_devices.dat"), W(g_raw.data()), W(&count)}, LORIC_OK);
    Expect(count == 25 && Field(count, 0) == 0xA5A5A5A5u,
           "flash_devices.dat: %u records, or one too many", count);
    FLASH_DEVICE* selected = nullptr;
    for (uint32_t i = 0; i < count && i < LORIC_MAX_FLASH_DEVICES; ++i) {
        const uint32_t sectors = W(&g_raw[i * kStride + offsetof(FLASH_DEVICE, sectors)]);
        const uint32_t config = Field(i, offsetof(FLASH_DEVICE, configSector));
        Expect(((Field(i, 0) & FLASH_ATTR_ID_MASK) >> FLASH_ATTR_ID_SHIFT) == i &&
                   config >= sectors &&
                   config < sectors + Field(i, offsetof(FLASH_DEVICE, sectorCount)) * 12 &&
                   (config - sectors) % 12 == 0,
               "record %u: device id, or configSector outside its own sector table", i);
        auto* record = reinterpret_cast<FLASH_DEVICE*>(&g_raw[i * kStride]);
        if (!std::strcmp(record->deviceName, chip)) selected = record;
    }
    Expect(selected != nullptr, "no record %s", chip);
    return selected;
}

uint16_t FindNode(bool blank) {
    uint16_t node = 0;
    uint32_t isBlank = 0;  // in: 0 looks at the node list first
    Api("FindNode", {W(&node), W(&isBlank)}, LORIC_OK);
    Expect((isBlank != 0) == blank, "FindNode: blank %u", isBlank);
    return node;
}

// Opens the API over the serial adapter on `port`, or over the driver when it is null.
void OpenApi(const char* port) {
    port ? Api("OpenComAPI", {W(port), 0}, LORIC_OK) : Api("OpenLORIC", {0}, LORIC_OK);
}

// A device running firmware: its installed configuration read back, one uploaded and read back.
void CheckSerialLink(const char* port) {
    OpenApi(port);
    uint16_t node = FindNode(false);
    FLASH_DEVICE* device = LoadFlashData("29F040B");
    if (device == nullptr) return;
    Api("DownloadConfigurationFile", {node, W(device), W("installed-back.bin"), 0}, LORIC_OK);
    ExpectSameFile("installed-back.bin", "installed.bin");
    Api("UploadConfigurationFile", {node, W(device), W("windows.bin"), 1, 0, 0}, LORIC_OK);
    node = FindNode(false);  // the processor reset after the upload may move the device
    Api("DownloadConfigurationFile", {node, W(device), W("back.bin"), 0}, LORIC_OK);
    ExpectSameFile("back.bin", "windows.bin");
    Api("CloseLORIC", {}, LORIC_OK);
}

int g_percents[64], g_calls;
uint32_t __cdecl CdeclProgress(uint8_t percent) { return g_percents[g_calls++ & 63] = percent, 0; }
uint32_t __stdcall StdcallProgress(uint8_t percent) { return CdeclProgress(percent); }

// A blank device programmed at its flash port, with a callee-cleans and a caller-cleans callback.
void CheckUpload(const char* port) {
    OpenApi(port);
    FLASH_DEVICE* device = LoadFlashData("29LV400B-x16");
    const uint16_t node = FindNode(true);
    if (device == nullptr) return;
    Api("SetFlashDevice", {W(device)}, LORIC_OK);
    std::vector<unsigned char> image(1024, 0x5A);
    WriteAll("image.bin", image.data(), image.size());
    // A message-only window has a title too and needs no desktop.
    HWND window = CreateWindowA("STATIC", "Uploading bootstrap loader...", 0, 0, 0, 0, 0,
                                HWND_MESSAGE, nullptr, nullptr, nullptr);
    for (const void* callback : {reinterpret_cast<const void*>(&CdeclProgress),
                                 reinterpret_cast<const void*>(&StdcallProgress)}) {
        g_calls = 0;
        Api("UploadFile",
            {node, W("image.bin"), 0, UPLOAD_METHOD_FLASH_PORT, W(device), 0, W(window),
             W(callback)},
            LORIC_OK);
        bool inOrder = g_calls == 51 && g_percents[50] == 100;
        for (int i = 0; i < 50 && inOrder; ++i) inOrder = g_percents[i] == 2 * i;
        Expect(inOrder, "callback %p: %d calls, expected 51 (0, 2, ..., 98, 100)", callback,
               g_calls);
        if (window == nullptr) continue;
        char title[128] = {};
        GetWindowTextA(window, title, sizeof title);
        Expect(std::strcmp(title, "Uploading bootstrap loader... 100%") == 0, "window title \"%s\"",
               title);
        DestroyWindow(window);
        window = nullptr;
    }
    Api("CloseLORIC", {}, LORIC_OK);
}

}  // namespace

int main(int argc, char** argv) {
    g_dll = LoadLibraryA("loric.dll");
    const bool driver = argc > 2 && std::strcmp(argv[1], "--driver") == 0;
    if (Expect(g_dll != nullptr, "LoadLibraryA(\"loric.dll\") failed with error %lu",
               GetLastError())) {
        if (!driver) CheckClosedApi();
        CheckConfigurationFiles();
        // Over a (stand-in) driver: `running` a device running firmware, `blank` a blank one.
        if (driver)
            std::strcmp(argv[2], "running") == 0 ? CheckSerialLink(nullptr) : CheckUpload(nullptr);
        else if (argc > 2) {
            CheckSerialLink(argv[2]);
            CheckUpload(argv[1]);
        } else {
            ++g_skipped;
            std::printf("SKIPPED: the device checks need the simulators' COM ports (run.sh)\n");
        }
    }
    std::printf(g_skipped ? "%d passed, %d failed, %d skipped\n" : "%d passed, %d failed\n",
                g_passed, g_failed, g_skipped);
    return g_failed == 0 && g_passed > 0 ? 0 : 1;
}
