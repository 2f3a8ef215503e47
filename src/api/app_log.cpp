// LogAppMessage: the host's own lines in the trace.
#include <cstdarg>

#include "api/context.h"
#include "api/export_frame.h"
#include "platform/platform.h"

extern "C" LORIC_EXPORT uint32_t LORIC_CDECL LogAppMessage(const char* format, ...) {
    using namespace loric;
    va_list args;
    va_start(args, format);
    const uint32_t status = IfApiOpen([&]() -> uint32_t {
        if (format == nullptr) return ReportFailure(LORIC_ERR_INVALID_PARAMETER);
        char text[1024];
        platform::FormatV(text, sizeof text, format, args);
        // Application messages test no trace bit: they always reach the debugger output and,
        // whenever the log is open, the file.
        platform::DebugOutput("APPLOG: ");
        platform::DebugOutput(text);
        WriteTraceLog("APPLOG: ");
        WriteTraceLog(text);
        return LORIC_OK;
    });
    va_end(args);
    return status;
}
