// The upload engine: moving a file image into flash through the device link. UploadFile
// itself is an export (loric.h); the programming sequences and the configuration transfer
// call it for every image they program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "loric.h"

namespace loric {

// Number of link requests every upload is cut into.
inline constexpr uint32_t kUploadSteps = 50;
// Images shorter than this (after rounding to whole quadlets) leave the window title alone.
inline constexpr uint32_t kTitleMinimumLength = 1024;
// The marker of a firmware image's parameter section.
inline constexpr char kParameterMarker[] = "FWPARAMETERS_";

// The length of an image whose file is `fileLength` bytes long: rounded up to whole quadlets.
inline uint32_t RoundedImageLength(uint32_t fileLength) { return (fileLength + 3u) & ~3u; }
// The bytes of each of the 50 steps: the length divided by 50, rounded up, then rounded up to
// whole quadlets.
inline uint32_t SegmentLength(uint32_t imageLength) {
    return ((imageLength + kUploadSteps - 1) / kUploadSteps + 3u) & ~3u;
}

// Bits 0-1 of an upload's flags (and of the link's upload mode) choose the method:
// UPLOAD_METHOD_UPLOADER, or any other value for the flash port.
inline constexpr uint32_t kUploadMethodMask = 3u;
inline bool UsesFlashPort(uint32_t flags) {
    return (flags & kUploadMethodMask) != UPLOAD_METHOD_UPLOADER;
}

// One request of the link's UploadBlock, by the method that bits 0-1 of uploadMode choose
// (the uploader rounds the byte count up to whole quadlets). True on success; on failure the
// last-error code tells why.
bool UploadBuffer(uint32_t flashAddress, const uint8_t* data, uint32_t byteCount,
                  uint32_t uploadMode);

// Tells the link the delay per programmed byte of the flash port method. On failure the
// last-error code becomes the message argument.
bool SetByteProgramDelay(uint32_t delayMicroseconds);

// Stores *parameter as parameter 1 of the image's parameter section. An image without the
// section is left unchanged (true). False when the section's count is 0 or unreadable, or
// when its first parameter would lie outside the image.
bool PokeParameters(uint8_t* image, uint32_t length, const uint32_t* parameter);

// The offset of parameter 1 for a marker that starts at `markerOffset`: the first multiple
// of 4 at least 16 bytes on (13 marker characters, two count digits and a NUL).
inline uint32_t ParameterOffset(uint32_t markerOffset) { return (markerOffset + 16u + 3u) & ~3u; }

// The first position of `marker` that lies wholly inside buffer[0, length); null when there is
// none, for an empty marker and for a length of 0.
const uint8_t* FindMarker(const uint8_t* buffer, const char* marker, size_t length);

// The stream's length in bytes; its position is left where it was. 0xFFFFFFFF when the
// position cannot be read, moved or restored.
inline constexpr uint32_t kUnknownLength = 0xFFFFFFFFu;
uint32_t GetStreamLength(FILE* stream);

// Opens the file for binary reading and returns its length; 0 when it cannot be opened.
uint32_t GetFileLength(const char* fileName);

}  // namespace loric
