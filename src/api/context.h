// The state every export shares while the API is open, the trace writer and the message
// argument of the status texts. The frame of an export (its enter and exit lines, the open
// check and the failure report) is in api/export_frame.h.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "loric.h"

namespace loric {

class DeviceLink;

namespace platform {
struct LogFile;
}

// Longest file name kept for an error message; longer names are cut.
inline constexpr uint32_t kMessageTextSize = 1024;

// The value GetErrorText substitutes into a message template: a number, or a copy of the
// file name of the failing call.
struct MessageArgument {
    bool isText;
    uint32_t number;
    char text[kMessageTextSize];
};

// The one record of the open API. Plain data, zero at load: loading the library runs no code.
struct ApiContext {
    DeviceLink* link;
    uint32_t traceFlags;
    MessageArgument messageArgument;
    platform::LogFile* logFile;
};

extern ApiContext g_api;

inline bool TraceOn(uint32_t bit) { return (g_api.traceFlags & bit) != 0; }

// Prefix written before the text of a line of each trace class.
const char* TracePrefix(uint32_t bit);

// Formats one piece (wvsprintfA rules, cut at 1024 bytes) and sends it to the debugger output
// and, when open, the trace log. Tests no bit.
void TraceLine(const char* format, ...);
void TraceLineV(const char* format, va_list args);

// The usual two-piece line: if `bit` is on, writes its prefix and then the formatted text.
// Nothing is formatted while the bit is off.
void Trace(uint32_t bit, const char* format, ...);

// Opens "debug.log" (or another name) for the trace log; keeps none when it cannot be opened.
void OpenTraceLog(const char* fileName);
// Appends a piece to the trace log when it is open and the text is not null.
void WriteTraceLog(const char* text);

// Stores the message argument without writing the error line.
void SetMessageArgument(uint32_t argument);
void SetMessageText(const char* fileName);

// Formats the message of `code` with the current message argument into `text`
// (the caller guarantees the room). Returns false when the code is out of range.
bool FormatStatusText(uint32_t code, char* text);

// Tells the link which node its flash operations act on (only the low 16 bits of `nodeId`
// count). Traced under TRACE_API; returns 0, 3 (API closed) or 4 (the link refused).
uint32_t SetTargetNode(uint32_t nodeId);

// Returns the library to the state it has at load (link destroyed, flags 0, no message
// argument, trace log closed). For tests and for hosts that reload.
void ResetApiContext();

}  // namespace loric
