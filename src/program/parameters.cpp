// The parameter section of a firmware image: "FWPARAMETERS_", a hexadecimal count, and
// little-endian quadlets from the next quadlet boundary at least 16 bytes after the marker.
#include <cstdio>
#include <cstring>

#include "api/context.h"
#include "platform/bytes.h"
#include "program/upload.h"

namespace loric {
namespace {

// The count as hexadecimal text right after the marker; reads nothing beyond the image.
bool ReadParameterCount(const uint8_t* text, size_t available, uint32_t* count) {
    char digits[16] = {};
    std::memcpy(digits, text, available < sizeof digits - 1 ? available : sizeof digits - 1);
    unsigned int value = 0;
    if (std::sscanf(digits, "%x", &value) != 1) return false;
    *count = value;
    return true;
}

bool PokeSection(uint8_t* image, uint32_t length, const uint32_t* parameter) {
    const size_t markerLength = sizeof kParameterMarker - 1;
    const uint8_t* marker = FindMarker(image, kParameterMarker, length);
    if (marker == nullptr) {
        Trace(TRACE_ERROR, "No parameter section found in file!\n");
        return true;
    }
    const uint32_t markerOffset = static_cast<uint32_t>(marker - image);

    uint32_t count = 0;
    const uint32_t countOffset = markerOffset + static_cast<uint32_t>(markerLength);
    if (!ReadParameterCount(image + countOffset, length - countOffset, &count)) return false;
    if (count == 0) {
        Trace(TRACE_ERROR, "Attempting to poke too many parameters (%d > %d)\n", 1, count);
        return false;
    }
    // Parameter 1 must lie wholly inside the image.
    const uint64_t first = ParameterOffset(markerOffset);
    if (first + 4 > length) return false;

    Trace(TRACE_INTERNAL, "%d Quadlet parameter section found in file\n", count);
    if (TraceOn(TRACE_INTERNAL)) {
        // Only the parameters that the image really holds are listed.
        for (uint32_t n = 1; n <= count && first + 4ull * n <= length; ++n)
            Trace(TRACE_INTERNAL, "File Param %d = 0x%.8x\n", n,
                  bytes::LoadLittleEndian32(image + first + 4 * (n - 1)));
    }
    bytes::StoreLittleEndian32(image + first, *parameter);
    return true;
}

}  // namespace

const uint8_t* FindMarker(const uint8_t* buffer, const char* marker, size_t length) {
    if (buffer == nullptr || marker == nullptr) return nullptr;
    const size_t markerLength = std::strlen(marker);
    if (markerLength == 0 || length == 0 || markerLength > length) return nullptr;
    for (size_t at = 0; at + markerLength <= length; ++at) {
        if (std::memcmp(buffer + at, marker, markerLength) == 0) return buffer + at;
    }
    return nullptr;
}

bool PokeParameters(uint8_t* image, uint32_t length, const uint32_t* parameter) {
    Trace(TRACE_INTERNAL, "Enter PokeParameters\n");
    bool ok = image != nullptr && parameter != nullptr && PokeSection(image, length, parameter);
    Trace(TRACE_INTERNAL, "Exit PokeParameters (ret %d)\n", ok ? 1 : 0);
    return ok;
}

}  // namespace loric
