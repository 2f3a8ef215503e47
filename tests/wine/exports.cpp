// Loads loric.dll as a Windows host does, resolves all 23 exports by plain name, calls each
// through a stdcall pointer (LogAppMessage: cdecl) and checks that the stack pointer and the
// callee-saved registers are as they were. No driver runs under Wine, so the API stays closed:
// every export that needs the device must report a failure, never success.
#include <cstdio>
#include <cstring>

#include "loric.h"
#include "wine_check.h"

using wine_check::Expect;
using wine_check::ExpectStdcall;
using wine_check::Word;

namespace {

// Scratch memory for every pointer argument: large enough for any record the export may fill.
FLASH_DEVICE g_devices[4];
CONFIG_FILE_INFO g_config;
NODE_INFO g_nodes[8];
uint32_t g_words[16];
uint16_t g_node;
char g_text[1024];
char g_date[1024];

const char kMissingFile[] = "C:\\loric-wine-check-missing\\missing.bin";

struct Export {
    const char* name;
    bool mustFail;  // needs the device, or names a missing file
    uint32_t count;                        // stdcall arguments
    uint32_t args[8];
};

void CheckGetErrorText(const void* getErrorText) {
    struct Case {
        uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {0, "No error"},
        {31, "Processor reset failed"},
    };
    for (const Case& c : cases) {
        std::memset(g_text, 0x55, sizeof g_text);
        auto result = ExpectStdcall("GetErrorText", getErrorText, {c.code, Word(g_text)});
        Expect(result.value == LORIC_OK, "GetErrorText(%u) returned %u", c.code, result.value);
        Expect(std::strcmp(g_text, c.text) == 0, "GetErrorText(%u) gave \"%.80s\", expected \"%s\"", c.code,
               g_text, c.text);
    }
    // One past the last code is refused and leaves the buffer alone.
    std::memset(g_text, 0x55, sizeof g_text);
    auto result = ExpectStdcall("GetErrorText", getErrorText, {LORIC_STATUS_COUNT, Word(g_text)});
    Expect(result.value == LORIC_ERR_INVALID_PARAMETER, "GetErrorText(%u) returned %u, expected %u",
           LORIC_STATUS_COUNT, result.value, LORIC_ERR_INVALID_PARAMETER);
    Expect(static_cast<unsigned char>(g_text[0]) == 0x55, "GetErrorText(%u) wrote into the buffer",
           LORIC_STATUS_COUNT);
}

// Two local functions, one per convention, show that the thunk tells them apart.
extern "C" uint32_t __stdcall LocalStdcall(uint32_t a, uint32_t b) { return a + b; }
extern "C" uint32_t __cdecl LocalCdecl(uint32_t a, uint32_t b) { return a - b; }

void CheckThunk() {
    auto callee = wine_check::Call(reinterpret_cast<const void*>(&LocalStdcall), {5, 3});
    Expect(callee.value == 8 && callee.stackDelta == 0 && callee.registersKept,
           "thunk: stdcall call gave value %u, stack delta %ld", callee.value, static_cast<long>(callee.stackDelta));
    auto caller = wine_check::Call(reinterpret_cast<const void*>(&LocalCdecl), {5, 3});
    Expect(caller.value == 2 && caller.stackDelta == -8 && caller.registersKept,
           "thunk: cdecl call gave value %u, stack delta %ld", caller.value, static_cast<long>(caller.stackDelta));
}

}  // namespace

int main() {
    CheckThunk();
    HMODULE library = wine_check::LoadLibraryUnderTest();

    // Decorated names must not be exported next to the plain ones.
    for (const char* decorated : {"OpenLORIC@4", "_OpenLORIC@4", "GetErrorText@8", "UploadFile@32"}) {
        Expect(GetProcAddress(library, decorated) == nullptr, "decorated name %s is exported", decorated);
    }

    // No driver under Wine: opening fails with status 1 and the API stays closed.
    const void* openLoric = reinterpret_cast<const void*>(wine_check::Resolve(library, "OpenLORIC"));
    if (openLoric != nullptr) {
        auto result = ExpectStdcall("OpenLORIC", openLoric, {0});
        Expect(result.value == LORIC_ERR_OPEN_DRIVER, "OpenLORIC without a driver returned %u, expected 1",
               result.value);
    }

    const uint32_t callback = 0;  // no progress callback
    const uint32_t window = 0;    // no progress window
    const Export exports[] = {
        {"CloseLORIC", false, 0, {}},
        {"OpenComAPI", false, 2, {Word("COM250"), 0}},
        {"ReadQuadlet", true, 4, {0xFFC0, 0xFFFF, 0xF0000400, Word(g_words)}},
        {"WriteQuadlet", true, 4, {0xFFC0, 0xFFFF, 0xF0000400, 0x12345678}},
        {"GetNodeInfo", true, 3, {Word(g_words), Word(g_nodes), sizeof g_nodes}},
        {"FindNode", true, 2, {Word(&g_node), Word(g_words)}},
        {"IssueReset", true, 1, {RESET_BUS}},
        {"SwitchDeviceToUploadMode", true, 2, {0, Word(&g_devices[0])}},
        {"SwitchDeviceToForceFlashMode", true, 1, {0}},
        {"LoadFlashData", true, 3, {Word(kMissingFile), Word(g_devices), Word(g_words)}},
        {"SetFlashDevice", false, 1, {Word(&g_devices[0])}},
        {"UploadFile", true, 8, {0, Word(kMissingFile), 0, 0, Word(&g_devices[0]), Word(g_words), window, callback}},
        {"EraseFlashSector", true, 4, {0, Word(&g_devices[0]), 0, 0}},
        {"UploadFirmwareLoader", true, 7, {Word(&g_node), Word(&g_devices[0]), Word(kMissingFile), 0, 0, window, callback}},
        {"UploadFirmwareAndConfig", true, 6, {0, Word(&g_devices[0]), Word(kMissingFile), Word(kMissingFile), window, callback}},
        {"GenerateConfigurationFile", true, 2, {Word(&g_config), Word(kMissingFile)}},
        {"ImportConfigurationFile", true, 2, {Word(&g_config), Word(kMissingFile)}},
        {"UploadConfigurationFile", true, 6, {0, Word(&g_devices[0]), Word(kMissingFile), 0, window, callback}},
        {"DownloadConfigurationFile", true, 4, {0, Word(&g_devices[0]), Word(kMissingFile), window}},
        {"DownloadTimestamp", true, 3, {0, Word(g_text), Word(g_date)}},
    };
    for (const Export& e : exports) {
        const void* function = reinterpret_cast<const void*>(wine_check::Resolve(library, e.name));
        if (function == nullptr) continue;
        auto result = ExpectStdcall(e.name, function, e.args, e.count);
        if (e.mustFail) {
            Expect(result.value != LORIC_OK, "%s reported success with the API closed or a missing file", e.name);
        }
    }

    // The one cdecl export: the caller removes the arguments, so the stack pointer stays below
    // by the three words pushed.
    const void* logAppMessage = reinterpret_cast<const void*>(wine_check::Resolve(library, "LogAppMessage"));
    if (logAppMessage != nullptr) {
        auto result = wine_check::Call(logAppMessage, {Word("%s %u\n"), Word("wine"), 7});
        Expect(result.stackDelta == -12, "LogAppMessage: stack pointer moved by %ld bytes, expected -12 (cdecl)",
               static_cast<long>(result.stackDelta));
        Expect(result.registersKept, "LogAppMessage: EBX, ESI or EDI changed across the call");
    }

    const void* getErrorText = reinterpret_cast<const void*>(wine_check::Resolve(library, "GetErrorText"));
    if (getErrorText != nullptr) CheckGetErrorText(getErrorText);

    FreeLibrary(library);
    return wine_check::Finish();
}
