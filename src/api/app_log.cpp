// LogAppMessage: the host's own lines in the trace.
#include <cstdarg>

#include "api/context.h"
#include "platform/platform.h"

extern "C" LORIC_EXPORT uint32_t LORIC_CDECL LogAppMessage(const char* format, ...) {
    using namespace loric;
    if (g_api.link == nullptr) return ReportFailure(LORIC_ERR_ACCESS_DENIED);
    if (format == nullptr) return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
    char text[1024];
    va_list args;
    va_start(args, format);
    platform::FormatV(text, sizeof text, format, args);
    va_end(args);
    // Application messages test no trace bit: they always reach the debugger output and,
    // whenever the log is open, the file.
    platform::DebugOutput("APPLOG: ");
    platform::DebugOutput(text);
    WriteTraceLog("APPLOG: ");
    WriteTraceLog(text);
    return LORIC_OK;
}
