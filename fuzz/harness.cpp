#include "harness.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "support/fake_clock.h"
#include "support/request_recorder.h"

namespace loric::fuzz {

static char g_folder[] = "/tmp/loric-fuzz-XXXXXX";

WorkFolder::WorkFolder() : previous_(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    static std::unique_ptr<test::FakeClock> clock;
    if (!clock) {
        if (mkdtemp(g_folder) == nullptr) abort();
        std::atexit([] {
            std::error_code error;
            std::filesystem::remove_all(g_folder, error);
        });
        clock = std::make_unique<test::FakeClock>(1700000000, 500);
    }
    if (previous_ < 0 || chdir(g_folder) != 0) abort();
}

WorkFolder::~WorkFolder() {
    if (fchdir(previous_) != 0) abort();
    close(previous_);
}

void WriteFile(const char* path, const uint8_t* data, size_t size) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr) abort();
    if (size != 0) std::fwrite(data, 1, size, file);
    std::fclose(file);
}

void OpenQuietApi() {
    static std::unique_ptr<test::RequestRecorder> driver;
    if (driver) {
        driver->ClearRequests();  // a long run must not keep every request
        return;
    }
    driver = std::make_unique<test::RequestRecorder>();
    if (OpenLORIC(0) != LORIC_OK) abort();
}

void RunDeviceJobs() {
    static const char kChip[] = "FLASH_DATA_FILE_V3\nG\n\n0,CHIP\n1\n20\nB8\nX8\nK64\n\n";
    WriteFile("chip.dat", reinterpret_cast<const uint8_t*>(kChip), sizeof kChip - 1);
    static FLASH_DEVICE devices[LORIC_MAX_FLASH_DEVICES];
    uint32_t count = 0;
    if (LoadFlashData("chip.dat", devices, &count) != LORIC_OK) abort();
    FLASH_DEVICE& chip = devices[0];

    NODE_INFO nodes[64];
    GetNodeInfo(&count, nodes, sizeof nodes);
    uint16_t node = 0xFFC0;
    uint32_t blank = 0, value = 0, parameter = 0;
    char time[64] = {}, date[64] = {};
    FindNode(&node, &blank);
    ReadQuadlet(node, 0xFFFF, 0xF0000400, &value);
    DownloadTimestamp(node, time, date);
    DownloadConfigurationFile(node, &chip, "download.bin", nullptr);
    SwitchDeviceToUploadMode(node, &chip);
    static const uint8_t kImage[300] = {0x5A, 0xA5};
    WriteFile("image.bin", kImage, sizeof kImage);
    UploadFile(node, "image.bin", 0x800, UPLOAD_METHOD_UPLOADER, &chip, &parameter, nullptr, nullptr);
    EraseFlashSector(node, &chip, chip.sectors[1].start, 0);
}

}  // namespace loric::fuzz
