// Windows host check of the flash description and upload exports against loric.dll.
//   wine_flash_host.exe                       closed API: the exports answer 3
//   wine_flash_host.exe <COM port> <data file> <device name>
// With a port (the simulator's serial adapter behind a Wine COM mapping, set up by
// flash_host.sh) it opens the API, loads flash data files into a raw buffer to check the
// 6280-byte record stride and the values the Linux library derives, and uploads an image
// through the flash port of the blank simulated device twice: with a caller-cleans and with a
// callee-cleans progress callback. Every export is called through the stdcall thunk, which
// checks that the stack pointer and the callee-saved registers survive.
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

#include "loric.h"
#include "wine_check.h"

using wine_check::Expect;
using wine_check::ExpectStdcall;
using wine_check::Word;

namespace {

static_assert(sizeof(void*) == 4, "a 32-bit host");
static_assert(sizeof(FLASH_DEVICE) == 6280, "FLASH_DEVICE stride");
constexpr size_t kStride = 6280;

const void* g_loadFlashData;
const void* g_uploadFile;

int g_percents[64];
int g_calls;

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

// The caller's array of 128 records as raw bytes, with a guard area after it.
struct RawDevices {
    std::vector<unsigned char> bytes = std::vector<unsigned char>(LORIC_MAX_FLASH_DEVICES * kStride + 64, 0xA5);
    FLASH_DEVICE* Array() { return reinterpret_cast<FLASH_DEVICE*>(bytes.data()); }
    const unsigned char* Record(uint32_t i) const { return bytes.data() + i * kStride; }
    template <typename T>
    T Field(uint32_t i, size_t offset) const {
        T value;
        std::memcpy(&value, Record(i) + offset, sizeof value);
        return value;
    }
    const char* Text(uint32_t i, size_t offset) const { return reinterpret_cast<const char*>(Record(i) + offset); }
};

uint32_t Load(const char* fileName, RawDevices& devices, uint32_t* count) {
    return ExpectStdcall("LoadFlashData", g_loadFlashData, {Word(fileName), Word(devices.Array()), Word(count)}).value;
}

void CheckWorkedExample() {
    const char text[] = "FLASH_DATA_FILE_V3\r\nNameA\r\nNameB\r\n\r\n1,CHIP4M8\r\n1\r\n20\r\nB8\r\nX8\r\nK64\r\n\r\n";
    if (!Expect(wine_check::WriteFileBytes("worked.dat", text, sizeof text - 1), "cannot write worked.dat")) return;
    RawDevices devices;
    uint32_t count = 99;
    Expect(Load("worked.dat", devices, &count) == 0, "LoadFlashData(worked.dat) failed");
    Expect(count == 1, "worked example: count %u", count);
    // The loader keeps bits 4-5 and 24-31 of what was there (0xA5 filler) and sets the rest;
    // the fields lie at the offsets of the 32-bit layout.
    const struct {
        size_t offset, size;
        uint32_t value;
    } fields[] = {{0, 4, 0xA5000023}, {4, 4, 1},     {104, 4, 1},          {108, 4, 20},        {112, 1, 8},
                  {113, 1, 0xA5},     {116, 4, 4194304}, {120, 4, 8},     {124 + 7 * 12, 4, 0x70000},
                  {124 + 7 * 12 + 4, 4, 0x7FFFF}, {6272, 4, 0x10000}, {6276, 4, 65536}};
    for (const auto& f : fields) {
        uint32_t value = 0;
        std::memcpy(&value, devices.Record(0) + f.offset, f.size);
        Expect(value == f.value, "worked example: %u bytes at %u hold %X, expected %X", static_cast<unsigned>(f.size),
               static_cast<unsigned>(f.offset), value, f.value);
    }
    Expect(std::strcmp(devices.Text(0, 8), "NameB") == 0 && std::strcmp(devices.Text(0, 40), "CHIP4M8") == 0 &&
               std::strcmp(devices.Text(0, 72), "4Mbit (512K x 8)") == 0,
           "worked example: group, device or size text");
    Expect(devices.Field<uint32_t>(0, 6268) == reinterpret_cast<uintptr_t>(devices.Record(0) + 124 + 12),
           "configSector at 6268 points at sector 1");
    Expect(devices.bytes[kStride] == 0xA5, "nothing written past the first record");
}

// Returns the record named `deviceName` in the shipped file, loaded into `devices`.
FLASH_DEVICE* CheckShippedFile(const char* fileName, const char* deviceName, RawDevices& devices) {
    uint32_t count = 0;
    Expect(Load(fileName, devices, &count) == 0, "LoadFlashData(%s) failed", fileName);
    Expect(count == 25, "%s: %u records, expected 25", fileName, count);
    FLASH_DEVICE* selected = nullptr;
    for (uint32_t i = 0; i < count && i < LORIC_MAX_FLASH_DEVICES; ++i) {
        const uint32_t attributes = devices.Field<uint32_t>(i, 0);
        Expect(((attributes & FLASH_ATTR_ID_MASK) >> FLASH_ATTR_ID_SHIFT) == i, "record %u: device id", i);
        const uintptr_t config = devices.Field<uint32_t>(i, 6268);
        const uintptr_t sectors = reinterpret_cast<uintptr_t>(devices.Record(i) + 124);
        Expect(config > sectors && config < sectors + 512 * 12 && (config - sectors) % 12 == 0,
               "record %u: configSector inside its own sector table", i);
        const char* name = devices.Text(i, offsetof(FLASH_DEVICE, deviceName));
        if (std::strcmp(name, "29LV400B-x16") == 0) {
            Expect(devices.Field<uint32_t>(i, 120) == 11, "29LV400B-x16 sector count");
            Expect(devices.Field<uint32_t>(i, 6272) == 0x30000, "29LV400B-x16 configByteAddress");
            Expect(devices.Field<uint32_t>(i, 6276) == 196608, "29LV400B-x16 firmwareSpace");
            Expect(std::strcmp(devices.Text(i, offsetof(FLASH_DEVICE, sizeText)), "4Mbit (256K x 16)") == 0,
                   "29LV400B-x16 sizeText");
        }
        if (std::strcmp(name, "39VF160") == 0) Expect(devices.Field<uint32_t>(i, 120) == 512, "39VF160 sectors");
        if (std::strcmp(name, deviceName) == 0) selected = &devices.Array()[i];
    }
    Expect(selected != nullptr, "no record %s in %s", deviceName, fileName);
    return selected;
}

uint32_t Upload(uint16_t node, const char* image, FLASH_DEVICE* device, HWND window, const void* callback) {
    return ExpectStdcall("UploadFile", g_uploadFile,
                         {node, Word(image), 0, UPLOAD_METHOD_FLASH_PORT, Word(device), 0, Word(window), Word(callback)})
        .value;
}

void CheckProgress(const char* convention) {
    Expect(g_calls == 51, "%s callback: %d calls, expected 51", convention, g_calls);
    bool inOrder = g_calls == 51 && g_percents[50] == 100;
    for (int i = 0; i < 50 && i < g_calls; ++i) inOrder = inOrder && g_percents[i] == 2 * i;
    Expect(inOrder, "%s callback: percentages 0, 2, ..., 98, 100", convention);
}

}  // namespace

int main(int argc, char** argv) {
    HMODULE dll = wine_check::LoadLibraryUnderTest();
    const void* openComApi = reinterpret_cast<const void*>(wine_check::Resolve(dll, "OpenComAPI"));
    const void* closeLoric = reinterpret_cast<const void*>(wine_check::Resolve(dll, "CloseLORIC"));
    const void* findNode = reinterpret_cast<const void*>(wine_check::Resolve(dll, "FindNode"));
    const void* setFlashDevice = reinterpret_cast<const void*>(wine_check::Resolve(dll, "SetFlashDevice"));
    g_loadFlashData = reinterpret_cast<const void*>(wine_check::Resolve(dll, "LoadFlashData"));
    g_uploadFile = reinterpret_cast<const void*>(wine_check::Resolve(dll, "UploadFile"));
    if (!openComApi || !closeLoric || !findNode || !setFlashDevice || !g_loadFlashData || !g_uploadFile)
        return wine_check::Finish();

    if (argc < 4) {
        // The API is closed: nothing is read or written.
        RawDevices devices;
        uint32_t count = 99;
        Expect(Load("flash_devices.dat", devices, &count) == LORIC_ERR_ACCESS_DENIED, "LoadFlashData while closed");
        Expect(count == 99 && devices.bytes[0] == 0xA5, "LoadFlashData while closed touched its arguments");
        Expect(Upload(0, "image.bin", devices.Array(), nullptr, reinterpret_cast<const void*>(&CdeclProgress)) ==
                   LORIC_ERR_ACCESS_DENIED,
               "UploadFile while closed");
        wine_check::Skip("flash data and upload checks need the simulator's serial adapter (flash_host.sh)");
        return wine_check::Finish();
    }

    const uint32_t opened = ExpectStdcall("OpenComAPI", openComApi, {Word(argv[1]), 0}).value;
    if (opened == LORIC_ERR_INVALID_PARAMETER) {
        // What a build without the serial link answers to a valid port name.
        wine_check::Skip("flash data and upload checks: OpenComAPI(%s) refused the port name", argv[1]);
        return wine_check::Finish();
    }
    if (!Expect(opened == 0, "OpenComAPI(%s) returned %u", argv[1], opened)) return wine_check::Finish();
    CheckWorkedExample();
    RawDevices devices;
    FLASH_DEVICE* device = CheckShippedFile(argv[2], argv[3], devices);

    uint16_t node = 0;
    uint32_t blank = 0;
    Expect(ExpectStdcall("FindNode", findNode, {Word(&node), Word(&blank)}).value == 0, "FindNode");
    Expect(blank != 0, "the simulated device starts blank");
    if (device != nullptr) {
        Expect(ExpectStdcall("SetFlashDevice", setFlashDevice, {Word(device)}).value == 0, "SetFlashDevice");

        std::vector<unsigned char> image(1024);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + 1);
        Expect(wine_check::WriteFileBytes("image.bin", image.data(), image.size()), "cannot write image.bin");

        // A message-only window has a title too and needs no desktop; where even that cannot
        // be made, the title checks do not run.
        HWND window = CreateWindowA("STATIC", "Uploading bootstrap loader...", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    nullptr, nullptr);
        g_calls = 0;
        Expect(Upload(node, "image.bin", device, window, reinterpret_cast<const void*>(&CdeclProgress)) == 0,
               "UploadFile with a cdecl callback");
        CheckProgress("cdecl");
        if (window != nullptr) {
            char title[128] = {};
            GetWindowTextA(window, title, sizeof title);
            Expect(std::strcmp(title, "Uploading bootstrap loader... 100%") == 0, "window title \"%s\"", title);
            DestroyWindow(window);
        } else {
            wine_check::Skip("window title: CreateWindowA failed with error %lu", GetLastError());
        }

        g_calls = 0;
        Expect(Upload(node, "image.bin", device, nullptr, reinterpret_cast<const void*>(&StdcallProgress)) == 0,
               "UploadFile with a stdcall callback");
        CheckProgress("stdcall");
    }
    ExpectStdcall("CloseLORIC", closeLoric, {});
    return wine_check::Finish();
}
