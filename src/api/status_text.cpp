// The message of every status code and the export that formats it.
#include <cstdio>
#include <cstring>

#include "api/context.h"

namespace loric {

namespace {

enum class Placeholder : uint8_t { kNone, kNumber, kFileName };

struct StatusText {
    const char* format;
    Placeholder placeholder;
};

constexpr StatusText kStatusTexts[LORIC_STATUS_COUNT] = {
    {"No error", Placeholder::kNone},
    {"Unable to open 1394 device driver BRENNOCK.SYS", Placeholder::kNone},
    {"Unable to close 1394 device driver BRENNOCK.SYS", Placeholder::kNone},
    {"Access to the 1394 device driver was denied", Placeholder::kNone},
    {"Internal driver error (GetLastError = %d)", Placeholder::kNumber},
    {"An API function parameter was invalid", Placeholder::kNone},
    {"Unable to create or open %s", Placeholder::kFileName},
    {"A read / write error occurred while accessing %s", Placeholder::kFileName},
    {"Unable to allocate %d byte memory block", Placeholder::kNumber},
    {"1394 Quadlet read of address offset 0x%.8X failed", Placeholder::kNumber},
    {"1394 Quadlet write of address offset 0x%.8X failed", Placeholder::kNumber},
    {"The TQ6410 device could not be detected", Placeholder::kNone},
    {"The TQ6410 device could not be relocated after reset", Placeholder::kNone},
    {"Unable to load flash data file", Placeholder::kNone},
    {"Failed to switch device to upload mode", Placeholder::kNone},
    {"Failed to switch device to flash port programming mode", Placeholder::kNone},
    {"Unable to download firmware revision time stamp", Placeholder::kNone},
    {"Unable to download configuration", Placeholder::kNone},
    {"Error uploading file %s", Placeholder::kFileName},
    {"Unable to import configuration file", Placeholder::kNone},
    {"Unable to generate configuration file", Placeholder::kNone},
    {"The operation was cancelled and could not be completed", Placeholder::kNone},
    {"Flash sector erase failed (sector at 0x%.5X)", Placeholder::kNumber},
    {"Flash sector erase timed out (sector at 0x%.5X)", Placeholder::kNumber},
    {"File too large for selected flash (%d bytes)", Placeholder::kNumber},
    {"Bootstrap firmware upload failed", Placeholder::kNone},
    {"Firmware upload failed", Placeholder::kNone},
    {"Configuration upload failed", Placeholder::kNone},
    {"Flash reset failed", Placeholder::kNone},
    {"Bus reset failed", Placeholder::kNone},
    {"Device reset failed", Placeholder::kNone},
    {"Processor reset failed", Placeholder::kNone},
};

}  // namespace

bool FormatStatusText(uint32_t code, char* text) {
    if (code >= LORIC_STATUS_COUNT || text == nullptr) return false;
    const StatusText& entry = kStatusTexts[code];
    const MessageArgument& argument = g_api.messageArgument;
    // Templates hold at most one placeholder; a file name is at most kMessageTextSize - 1
    // characters, so the longest message fits this buffer.
    char message[kMessageTextSize + 64];
    switch (entry.placeholder) {
    case Placeholder::kNone: std::snprintf(message, sizeof message, "%s", entry.format); break;
    case Placeholder::kNumber:
        // A file name standing where a number belongs shows as 0, never as an address.
        std::snprintf(message, sizeof message, entry.format,
                      argument.isText ? 0u : argument.number);
        break;
    case Placeholder::kFileName:
        // A number standing where a file name belongs is never read as an address.
        std::snprintf(message, sizeof message, entry.format,
                      argument.isText ? argument.text : "(null)");
        break;
    }
    std::memcpy(text, message, std::strlen(message) + 1);
    return true;
}

}  // namespace loric

extern "C" LORIC_EXPORT uint32_t LORIC_CALL GetErrorText(uint32_t code, char* text) {
    if (!loric::FormatStatusText(code, text)) return LORIC_ERR_INVALID_PARAMETER;
    return LORIC_OK;
}
