// Windows host check of the flash description and upload exports, run under Wine against
// loric.dll. Usage:
//   flash_host.exe <loric.dll> <flash data file> [<COM port> <image file> <device name>]
// Without a port it checks what needs no open API: LoadFlashData and UploadFile answer 3.
// With a port (a serial adapter of the simulator behind a Wine COM mapping) it opens the API,
// loads the data file into a raw buffer to check the 6280-byte record stride, and uploads
// the image through the flash port twice, with a caller-cleans and a callee-cleans progress
// callback, checking the callback values, the window title and that the stack survived.
// Prints one line per failed check; exit code 0 when every check passed.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "loric.h"

namespace {

static_assert(sizeof(void*) == 4, "a 32-bit host");
static_assert(sizeof(FLASH_DEVICE) == 6280, "FLASH_DEVICE stride");

int g_failures = 0;
#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond);    \
            ++g_failures;                                                    \
        }                                                                    \
    } while (0)

using OpenComApiFn = uint32_t(__stdcall*)(const char*, uint32_t);
using CloseFn = uint32_t(__stdcall*)();
using LoadFlashDataFn = uint32_t(__stdcall*)(const char*, FLASH_DEVICE*, uint32_t*);
using SetFlashDeviceFn = uint32_t(__stdcall*)(FLASH_DEVICE*);
using UploadFileFn = uint32_t(__stdcall*)(uint32_t, const char*, uint32_t, uint32_t, FLASH_DEVICE*, uint32_t*,
                                          ProgressWindow, ProgressCallback);
using FindNodeFn = uint32_t(__stdcall*)(uint16_t*, uint32_t*);

// GetProcAddress through a plain pointer, so that the cast to the export's type is explicit.
template <class Function>
Function Resolve(HMODULE dll, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

int g_percents[64];
int g_calls = 0;

uint32_t __cdecl CdeclProgress(uint8_t percent) {
    if (g_calls < 64) g_percents[g_calls] = percent;
    ++g_calls;
    return 0;
}

uint32_t __stdcall StdcallProgress(uint8_t percent) {
    if (g_calls < 64) g_percents[g_calls] = percent;
    ++g_calls;
    return 0;
}

// Calls UploadFile with the stack pointer checked around the call.
uint32_t CheckedUpload(UploadFileFn upload, uint32_t node, const char* image, FLASH_DEVICE* device, HWND window,
                       ProgressCallback callback) {
    void* before = nullptr;
    void* after = nullptr;
    __asm__ __volatile__("movl %%esp, %0" : "=r"(before));
    uint32_t status = upload(node, image, 0, UPLOAD_METHOD_FLASH_PORT, device, nullptr, window, callback);
    __asm__ __volatile__("movl %%esp, %0" : "=r"(after));
    CHECK(before == after);
    return status;
}

void CheckProgress() {
    CHECK(g_calls == 51);
    for (int i = 0; i < 50 && i < g_calls; ++i) CHECK(g_percents[i] == 2 * i);
    if (g_calls == 51) CHECK(g_percents[50] == 100);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 6) {
        std::printf("usage: flash_host <loric.dll> <flash data file> [<COM port> <image> <device name>]\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    if (dll == nullptr) {
        std::printf("FAILED: cannot load %s\n", argv[1]);
        return 1;
    }
    auto openComApi = Resolve<OpenComApiFn>(dll, "OpenComAPI");
    auto close = Resolve<CloseFn>(dll, "CloseLORIC");
    auto loadFlashData = Resolve<LoadFlashDataFn>(dll, "LoadFlashData");
    auto setFlashDevice = Resolve<SetFlashDeviceFn>(dll, "SetFlashDevice");
    auto uploadFile = Resolve<UploadFileFn>(dll, "UploadFile");
    auto findNode = Resolve<FindNodeFn>(dll, "FindNode");
    CHECK(openComApi && close && loadFlashData && setFlashDevice && uploadFile && findNode);
    if (g_failures) return 1;

    // The caller's array as raw bytes: record i starts at i x 6280.
    const size_t stride = 6280;
    std::vector<unsigned char> raw(LORIC_MAX_FLASH_DEVICES * stride + 64, 0xA5);
    auto* devices = reinterpret_cast<FLASH_DEVICE*>(raw.data());
    uint32_t count = 99;

    if (argc == 3) {
        CHECK(loadFlashData(argv[2], devices, &count) == LORIC_ERR_ACCESS_DENIED);
        CHECK(count == 99);
        CHECK(uploadFile(0, argv[2], 0, 0, devices, nullptr, nullptr, &CdeclProgress) == LORIC_ERR_ACCESS_DENIED);
        std::printf(g_failures ? "flash_host: %d failures\n" : "flash_host: closed-API checks passed\n", g_failures);
        return g_failures ? 1 : 0;
    }

    CHECK(openComApi(argv[3], 0) == 0);
    CHECK(loadFlashData(argv[2], devices, &count) == 0);
    CHECK(count > 1 && count <= LORIC_MAX_FLASH_DEVICES);
    FLASH_DEVICE* selected = nullptr;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* record = raw.data() + i * stride;
        // Each record's position sits in its own attributes, its sector table is within it.
        uint32_t attributes;
        std::memcpy(&attributes, record, 4);
        CHECK(((attributes & FLASH_ATTR_ID_MASK) >> FLASH_ATTR_ID_SHIFT) == i);
        FLASH_SECTOR* config;
        std::memcpy(&config, record + offsetof(FLASH_DEVICE, configSector), 4);
        CHECK(reinterpret_cast<unsigned char*>(config) > record + offsetof(FLASH_DEVICE, sectors));
        CHECK(reinterpret_cast<unsigned char*>(config) < record + offsetof(FLASH_DEVICE, configSector));
        if (std::strcmp(reinterpret_cast<const char*>(record + offsetof(FLASH_DEVICE, deviceName)), argv[5]) == 0)
            selected = &devices[i];
    }
    // Nothing was written past the last record.
    CHECK(raw[count * stride] == 0xA5 || count == LORIC_MAX_FLASH_DEVICES);
    CHECK(selected != nullptr);
    if (selected == nullptr) return 1;

    uint16_t node = 0;
    uint32_t blank = 0;
    CHECK(findNode(&node, &blank) == 0);
    CHECK(setFlashDevice(selected) == 0);

    HWND window = CreateWindowA("STATIC", "Uploading bootstrap loader...", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                                nullptr, nullptr, nullptr);
    CHECK(window != nullptr);
    g_calls = 0;
    CHECK(CheckedUpload(uploadFile, node, argv[4], selected, window, &CdeclProgress) == 0);
    CheckProgress();
    char title[128] = {};
    GetWindowTextA(window, title, sizeof title);
    CHECK(std::strcmp(title, "Uploading bootstrap loader... 100%") == 0);

    g_calls = 0;
    CHECK(CheckedUpload(uploadFile, node, argv[4], selected, nullptr,
                        reinterpret_cast<ProgressCallback>(reinterpret_cast<void*>(&StdcallProgress))) == 0);
    CheckProgress();

    if (window) DestroyWindow(window);
    close();
    std::printf(g_failures ? "flash_host: %d failures\n" : "flash_host: all checks passed\n", g_failures);
    return g_failures ? 1 : 0;
}
