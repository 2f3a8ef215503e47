#include "program/upload.h"

namespace loric {

uint32_t GetStreamLength(FILE* stream) {
    if (stream == nullptr) return kUnknownLength;
    long position = std::ftell(stream);
    if (position < 0) return kUnknownLength;
    if (std::fseek(stream, 0, SEEK_END) != 0) return kUnknownLength;
    long end = std::ftell(stream);
    if (std::fseek(stream, position, SEEK_SET) != 0 || end < 0) return kUnknownLength;
    // A length that 32 bits cannot hold is as unknown as one that cannot be read.
    if (static_cast<unsigned long>(end) >= kUnknownLength) return kUnknownLength;
    return static_cast<uint32_t>(end);
}

uint32_t GetFileLength(const char* fileName) {
    if (fileName == nullptr) return 0;
    FILE* file = std::fopen(fileName, "rb");
    if (file == nullptr) return 0;
    uint32_t length = GetStreamLength(file);
    std::fclose(file);
    return length;
}

}  // namespace loric
