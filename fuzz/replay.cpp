// Without libFuzzer: runs every file named, and every file in every folder named, through the
// target once (the seed corpus and the regressions, in CTest).
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (fs::is_regular_file(argv[i])) files.emplace_back(argv[i]);
        if (fs::is_directory(argv[i]))
            for (const auto& entry : fs::directory_iterator(argv[i]))
                if (entry.is_regular_file()) files.push_back(entry.path());
    }
    for (const auto& file : files) {
        const std::vector<uint8_t> bytes = tool::ReadFileBytes(file);
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs run\n", files.size());
    return files.empty() ? 1 : 0;
}
