/*
 * Serial upload rate through the public API, built the same for Windows (run under Wine, the
 * port a COM name) and for Linux (the port a terminal path), so the two links compare on one
 * machine against one simulator. The upload is the one of upload mode: one quadlet write a
 * four image bytes, each a 20-byte frame out and a 4-byte reply back.
 *   serial_bench PORT FLASH_DATA [KIB] [ROUNDS]
 * Prints one line: wall seconds, processor seconds of this process, their ratio, bytes a
 * second, the line's share (10 bits a byte at 115200 baud over the wall time), ms a frame.
 * Exit status 0, or 1 when the device refuses a step.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "loric.h"

#if defined(_WIN32)
#include <windows.h>
static double WallSeconds(void) {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}
static double CpuSeconds(void) {
    FILETIME created, exited, kernel, user;
    ULARGE_INTEGER k, u;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    k.LowPart = kernel.dwLowDateTime;
    k.HighPart = kernel.dwHighDateTime;
    u.LowPart = user.dwLowDateTime;
    u.HighPart = user.dwHighDateTime;
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
}
#else
#include <time.h>
static double WallSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}
static double CpuSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}
#endif

#define OFFSET_HIGH 0xFFFFu
#define UPLOAD_CHECKSUM 0xF0090004u
#define UPLOAD_CTRL 0xF0090008u

static FLASH_DEVICE g_devices[LORIC_MAX_FLASH_DEVICES];

int main(int argc, char** argv) {
    const char* port;
    const char* flashData;
    unsigned long kib = 4, rounds = 1, round, i, quadlets;
    uint32_t count = LORIC_MAX_FLASH_DEVICES, status, blank = 0;
    uint16_t node = 0;
    double wall, cpu, frames;
    if (argc < 3) {
        fprintf(stderr, "usage: serial_bench PORT FLASH_DATA [KIB] [ROUNDS]\n");
        return 2;
    }
    port = argv[1];
    flashData = argv[2];
    if (argc > 3) kib = strtoul(argv[3], NULL, 10);
    if (argc > 4) rounds = strtoul(argv[4], NULL, 10);
    if (kib == 0 || rounds == 0) return 2;
    quadlets = kib * 256;

    if ((status = OpenComAPI(port, 0)) != LORIC_OK) {
        fprintf(stderr, "OpenComAPI(%s): %u\n", port, (unsigned)status);
        return 1;
    }
    if ((status = LoadFlashData(flashData, g_devices, &count)) != LORIC_OK || count == 0) {
        fprintf(stderr, "LoadFlashData: %u\n", (unsigned)status);
        return 1;
    }
    if ((status = FindNode(&node, &blank)) != LORIC_OK || blank) {
        fprintf(stderr, "FindNode: %u (blank %u)\n", (unsigned)status, (unsigned)blank);
        return 1;
    }
    /* The command set of the first chip is all the simulated device checks before uploading. */
    if ((status = SwitchDeviceToUploadMode(node, &g_devices[0])) != LORIC_OK) {
        fprintf(stderr, "SwitchDeviceToUploadMode: %u\n", (unsigned)status);
        return 1;
    }

    wall = WallSeconds();
    cpu = CpuSeconds();
    for (round = 0; round < rounds; ++round) {
        if ((status = WriteQuadlet(node, OFFSET_HIGH, UPLOAD_CTRL, 0)) != LORIC_OK) {
            fprintf(stderr, "upload start: %u\n", (unsigned)status);
            return 1;
        }
        for (i = 0; i < quadlets; ++i) {
            if ((status = WriteQuadlet(node, OFFSET_HIGH, UPLOAD_CHECKSUM,
                                       (uint32_t)(i * 0x01030507u))) != LORIC_OK) {
                fprintf(stderr, "quadlet %lu: %u\n", i, (unsigned)status);
                return 1;
            }
        }
    }
    wall = WallSeconds() - wall;
    cpu = CpuSeconds() - cpu;
    CloseLORIC();

    frames = (double)rounds * (double)(quadlets + 1);
    printf(
        "wall %.2f s  cpu %.3f s  cpu/wall %.1f %%  payload %.0f B/s  line %.3f  %.3f ms a frame\n",
        wall, cpu, 100.0 * cpu / wall, (double)rounds * (double)quadlets * 4.0 / wall,
        frames * 24.0 / (115200.0 / 10.0) / wall, 1000.0 * wall / frames);
    return 0;
}
