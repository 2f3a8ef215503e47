// The data page file: the input as datapage.dat beside a configuration being generated. An
// image the library generates must decode with every CRC right.
#include <cstdio>

#include "harness.h"
#include "rom_decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const loric::fuzz::WorkFolder folder;
    loric::fuzz::WriteFile("datapage.dat", data, size);
    CONFIG_FILE_INFO info = {};
    std::remove("out.bin");
    if (GenerateConfigurationFile(&info, "out.bin") != LORIC_OK) return 0;
    const tool::RomReport report = tool::DecodeConfigImage(tool::ReadFileBytes("out.bin"));
    if (!report.valid || report.crcFailed != 0) abort();
    return 0;
}
