/* A small host of the LORIC library, in C: opens the API, finds the device, loads a flash data
 * file, and prints each status with its text. Built against an installed LORIC either way:
 *   cc host.c $(pkg-config --cflags --libs loric) -o host
 *   cmake -S . -B build && cmake --build build      (find_package(loric), CMakeLists.txt here)
 * usage: host [FLASH_DATA_FILE]; exit status 0 when every step succeeded.
 */
#include <loric.h>
#include <stdio.h>

static FLASH_DEVICE devices[LORIC_MAX_FLASH_DEVICES];

static int report(const char* step, uint32_t status) {
    char text[1100]; /* the longest status text, with a file name in it */
    if (GetErrorText(status, text) != LORIC_OK) snprintf(text, sizeof text, "(unknown status)");
    printf("%s: %u %s\n", step, (unsigned)status, text);
    return status != LORIC_OK;
}

int main(int argc, char** argv) {
    uint16_t node = 0;
    uint32_t blank = 0, count = 0;
    if (report("OpenLORIC", OpenLORIC(0))) return 1;
    int failed = report("FindNode", FindNode(&node, &blank));
    if (!failed) printf("device at node 0x%04X%s\n", (unsigned)node, blank ? " (blank)" : "");
    if (!failed && argc > 1) {
        failed = report("LoadFlashData", LoadFlashData(argv[1], devices, &count));
        printf("%u flash chips, the first %s\n", (unsigned)count, count ? devices[0].deviceName : "-");
    }
    failed |= report("CloseLORIC", CloseLORIC());
    return failed;
}
