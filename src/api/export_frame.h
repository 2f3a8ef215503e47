// The frame every export shares: its enter and exit lines in the trace, the check that the API
// is open, and the one failure reporter. With it an export's body is only its work:
//
//     return RunExport({TRACE_API, "IssueReset"}, [&]() -> uint32_t {
//         if (!g_api.link->Reset(kind)) return ReportFailure(...);
//         return LORIC_OK;
//     });
//
// writes "<prefix>Enter IssueReset\n", reports LORIC_ERR_ACCESS_DENIED without running the work
// while the API is closed, and writes "<prefix>Exit IssueReset (ret %d)\n" with the status.
#pragma once

#include <cstdint>

#include "api/context.h"

namespace loric {

// How an exit line ends: a plain line, or a line and a blank one (the exports that end a whole
// step of a job: the programming sequences, the configuration transfers, FindNode, ...).
enum class ExitLine : uint8_t { kLine, kBlankLine };

// The trace class and the name of an export's enter and exit lines (internal operations that
// trace their own enter and exit the same way use it too).
struct ExportFrame {
    uint32_t traceBit;
    const char* name;
    ExitLine exitLine = ExitLine::kLine;
};

// "<prefix>Enter <name>\n" under the frame's bit.
void TraceEnter(const ExportFrame& frame);
// "<prefix>Exit <name> (ret %d)\n" (or "...\n\n") under the frame's bit.
void TraceExit(const ExportFrame& frame, uint32_t status);

// The failure report: stores the message argument (a number, or a copy of the file name for
// the messages that show one), then writes "LORIC ERROR: %s\n" with the status text under
// TRACE_ERROR. Returns the status.
uint32_t ReportFailure(uint32_t status, uint32_t number = 0);
uint32_t ReportFailure(uint32_t status, const char* fileName);

// True while the API is open, that is while a link exists.
inline bool ApiOpen() { return g_api.link != nullptr; }

// The open check: runs `work` and returns its status while the API is open; otherwise reports
// LORIC_ERR_ACCESS_DENIED and leaves the work undone.
template <typename Work>
uint32_t IfApiOpen(Work&& work) {
    if (!ApiOpen()) return ReportFailure(LORIC_ERR_ACCESS_DENIED);
    return work();
}

// The whole frame for an export whose enter line the export has already written (a line that
// shows an argument): the open check, the work, the exit line.
template <typename Work>
uint32_t RunEnteredExport(const ExportFrame& frame, Work&& work) {
    const uint32_t status = IfApiOpen(work);
    TraceExit(frame, status);
    return status;
}

// The whole frame: the enter line, the open check, the work, the exit line.
template <typename Work>
uint32_t RunExport(const ExportFrame& frame, Work&& work) {
    TraceEnter(frame);
    return RunEnteredExport(frame, work);
}

}  // namespace loric
