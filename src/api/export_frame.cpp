// The enter and exit lines of the export frame and its failure report.
#include "api/export_frame.h"

namespace loric {

namespace {

// Writes the error line of `status` with the message argument already stored.
uint32_t WriteFailure(uint32_t status) {
    if (TraceOn(TRACE_ERROR)) {
        char text[kMessageTextSize + 128];
        if (FormatStatusText(status, text)) TraceLine("LORIC ERROR: %s\n", text);
    }
    return status;
}

}  // namespace

void TraceEnter(const ExportFrame& frame) {
    if (!TraceOn(frame.traceBit)) return;
    TraceLine(TracePrefix(frame.traceBit));
    TraceLine("Enter %s\n", frame.name);
}

void TraceExit(const ExportFrame& frame, uint32_t status) {
    if (!TraceOn(frame.traceBit)) return;
    TraceLine(TracePrefix(frame.traceBit));
    const bool blankLine = frame.exitLine == ExitLine::kBlankLine;
    TraceLine(blankLine ? "Exit %s (ret %d)\n\n" : "Exit %s (ret %d)\n", frame.name,
              static_cast<int>(status));
}

uint32_t ReportFailure(uint32_t status, uint32_t number) {
    SetMessageArgument(number);
    return WriteFailure(status);
}

uint32_t ReportFailure(uint32_t status, const char* fileName) {
    SetMessageText(fileName);
    return WriteFailure(status);
}

}  // namespace loric
