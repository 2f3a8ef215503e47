// Configuration files: the input imported by the library (ImportConfigurationFile) and decoded
// by the tool (`loric config show FILE`).
#include "harness.h"
#include "rom_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const loric::fuzz::WorkFolder folder;
    loric::fuzz::WriteFile("config.bin", data, size);
    CONFIG_FILE_INFO info;
    ImportConfigurationFile(&info, "config.bin");
    tool::DecodeConfigImage(std::vector<uint8_t>(data, data + size));
    return 0;
}
