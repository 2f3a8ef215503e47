// The trace writer: every piece goes to the debugger output and, when open, to the trace log.
#include <cstdarg>

#include "api/context.h"
#include "platform/platform.h"

namespace loric {

namespace {

// Longest formatted piece, terminator included; longer pieces are cut.
constexpr size_t kTracePieceSize = 1024;

void EmitPiece(const char* text) {
    platform::DebugOutput(text);
    WriteTraceLog(text);
}

}  // namespace

const char* TracePrefix(uint32_t bit) {
    switch (bit) {
    case TRACE_ERROR: return "ERROR INFO: ";
    case TRACE_WARNING: return "WARNING: ";
    case TRACE_API: return "API_TRACE: ";
    case TRACE_API_VERBOSE: return "API_TRACEV: ";
    case TRACE_INTERNAL: return "INTERNAL: ";
    case TRACE_VERBOSE: return "VERBOSE: ";
    default: return "";
    }
}

void TraceLineV(const char* format, va_list args) {
    char piece[kTracePieceSize];
    platform::FormatV(piece, sizeof piece, format, args);
    EmitPiece(piece);
}

void TraceLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    TraceLineV(format, args);
    va_end(args);
}

void Trace(uint32_t bit, const char* format, ...) {
    if (!TraceOn(bit)) return;
    TraceLine(TracePrefix(bit));
    va_list args;
    va_start(args, format);
    TraceLineV(format, args);
    va_end(args);
}

void OpenTraceLog(const char* fileName) {
    // A reopen (a new open after CloseLORIC) starts the file afresh: the stream of the
    // earlier open is closed first, so that no two streams write the same file.
    if (g_api.logFile != nullptr) platform::CloseLogFile(g_api.logFile);
    g_api.logFile = platform::OpenLogFile(fileName);
}

void WriteTraceLog(const char* text) {
    if (g_api.logFile != nullptr && text != nullptr) platform::WriteLogFile(g_api.logFile, text);
}

}  // namespace loric
