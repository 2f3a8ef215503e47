/*
 * A host in plain C linked against loric.dll through an import library, as a Windows
 * developer builds one: with MinGW (libloric.dll.a) or with an MSVC-compatible compiler and
 * linker (clang-cl and lld-link here) and the import library made from lib/loric.def. run.sh
 * builds it every way README names and runs each under Wine against a device running
 * firmware behind a COM port.
 *   c_host COM_PORT FLASH_DATA
 * Prints one line a check and a closing "N passed, N failed" line.
 *
 * Under the MSVC target no C runtime headers or startup code are at hand (only the compiler's
 * own <stddef.h> and <stdint.h>), so the few msvcrt.dll functions used are declared here and
 * the program has its own entry point.
 */
#include "loric.h"

#if defined(_MSC_VER)
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) void __cdecl exit(int status);
__declspec(dllimport) int __cdecl __getmainargs(int* argc, char*** argv, char*** env, int expand,
                                                void* startup);
#else
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#endif

static int g_passed, g_failed;
static FLASH_DEVICE g_devices[LORIC_MAX_FLASH_DEVICES];

/* CHECK(call, want, condition, what): makes the call; it passes when it returns `want` and
 * `condition` holds. Prints one "ok:" or "FAIL:" line. */
static uint32_t status;
static void Report(int ok, const char* what) {
    ok ? ++g_passed : ++g_failed;
    printf("%s: %s (%u)\n", ok ? "ok" : "FAIL", what, (unsigned)status);
}
#define CHECK(call, want, condition, what) \
    (status = (call), Report(status == (want) && (condition), what))

int main(int argc, char** argv) {
    char text[1100], timeText[64], dateText[64];
    uint32_t count = LORIC_MAX_FLASH_DEVICES, blank = 0, value = 0, nodes = 0;
    uint16_t node = 0;
    NODE_INFO records[8];
    if (argc < 3) {
        printf("usage: c_host COM_PORT FLASH_DATA\n");
        return 2;
    }

    CHECK(GetErrorText(LORIC_ERR_ACCESS_DENIED, text), LORIC_OK, text[0] != '\0',
          "GetErrorText without the API open");
    CHECK(LoadFlashData(argv[2], g_devices, &count), LORIC_ERR_ACCESS_DENIED, 1,
          "LoadFlashData before the API is open refuses with 3");
    CHECK(OpenComAPI(argv[1], 0), LORIC_OK, 1, "OpenComAPI");
    if (status != LORIC_OK) goto done;
    count = LORIC_MAX_FLASH_DEVICES;
    CHECK(LoadFlashData(argv[2], g_devices, &count), LORIC_OK, count > 0, "LoadFlashData");
    CHECK(FindNode(&node, &blank), LORIC_OK, blank == 0,
          "FindNode finds the device running firmware");
    CHECK(GetNodeInfo(&nodes, records, sizeof records), LORIC_OK, nodes > 0 && nodes <= 8,
          "GetNodeInfo");
    CHECK(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value), LORIC_OK, (value >> 24) == 0x04,
          "ReadQuadlet of the configuration ROM's first quadlet");
    CHECK(DownloadTimestamp(node, timeText, dateText), LORIC_OK,
          timeText[0] != '\0' && dateText[0] != '\0', "DownloadTimestamp");
    CHECK(LogAppMessage("c_host %s %u\n", "says", 42u), LORIC_OK, 1,
          "LogAppMessage (cdecl, variable arguments)");
    CHECK(CloseLORIC(), LORIC_OK, 1, "CloseLORIC");
    CHECK(ReadQuadlet(node, 0xFFFF, 0xF0000400, &value), LORIC_ERR_ACCESS_DENIED, 1,
          "ReadQuadlet after CloseLORIC refuses with 3");

done:
    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed != 0;
}

#if defined(_MSC_VER)
/* The entry point the linker's default names for a console program. */
void __cdecl mainCRTStartup(void) {
    int argc = 0;
    char** argv = 0;
    char** env = 0;
    int startup[1] = {0};
    __getmainargs(&argc, &argv, &env, 0, startup);
    exit(main(argc, argv));
}
#endif
