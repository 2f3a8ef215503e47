// Writes the example images of the simulated TQ6410 into a directory:
//   loader.bin    bootstrap loader (6144 bytes, one parameter)
//   firmware.bin  main firmware (40000 bytes, three parameters, time stamp 10:15:30 Dec 06 2026)
//   config.bin    configuration image (ext_config + a small configuration ROM)
//   simchips.dat  the simulator's built-in chips as a flash data file
// The committed copies under sim/images/ were made with it: tqsim-mkimages sim/images
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tqsim/flash_chip.h"
#include "tqsim/images.h"

namespace {
bool Write(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) std::fprintf(stderr, "tqsim-mkimages: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tqsim-mkimages OUTPUT_DIRECTORY\n");
        return 2;
    }
    const std::string dir = argv[1];
    using namespace tqsim::image;
    const std::string chips = tqsim::BuiltInChipsAsFlashDataFile();
    bool ok = Write(dir + "/loader.bin", ExampleLoader()) &&
              Write(dir + "/firmware.bin", ExampleFirmware()) &&
              Write(dir + "/config.bin", ExampleConfig()) &&
              Write(dir + "/simchips.dat", std::vector<uint8_t>(chips.begin(), chips.end()));
    return ok ? 0 : 1;
}
