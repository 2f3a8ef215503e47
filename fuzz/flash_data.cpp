// The flash data file: the input loaded with LoadFlashData; every record it accepts must be
// usable (sector table and configuration sector within bounds) and is handed to SetFlashDevice.
#include <cstdlib>

#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const loric::fuzz::WorkFolder folder;
    loric::fuzz::OpenQuietApi();
    loric::fuzz::WriteFile("flash.dat", data, size);
    static FLASH_DEVICE devices[LORIC_MAX_FLASH_DEVICES];
    uint32_t count = 0;
    if (LoadFlashData("flash.dat", devices, &count) != LORIC_OK) return 0;
    for (uint32_t i = 0; i < count; ++i) {
        const FLASH_DEVICE& device = devices[i];
        if (device.sectorCount > LORIC_MAX_SECTORS || device.configSector < device.sectors ||
            device.configSector >= device.sectors + device.sectorCount)
            abort();
        SetFlashDevice(&devices[i]);
    }
    return 0;
}
