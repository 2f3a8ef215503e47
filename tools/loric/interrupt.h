// Ctrl-C, in two phases.
//
// Before a job changes the flash, the first Ctrl-C cancels it: uploads and reads stop at their
// next step, and the job ends at its next CheckCancelled() with LORIC_ERR_CANCELLED and the
// device as it was. At a confirmation question it quits at once.
//
// Once the flash is being changed (between BeginFlashChange and EndFlashChange) stopping would
// leave a device that does not start, so the first Ctrl-C lets the library run on to the end of
// the job's step, says so and what would be left otherwise; the job then stops
// (LORIC_ERR_CANCELLED) at the first point where the device starts again. A second Ctrl-C quits
// at once and says what the flash holds and how to recover.
//
// SIGTERM (kill, a service manager, `timeout`) and SIGHUP (a closed terminal or SSH session) are
// taken as a Ctrl-C; on Windows Ctrl-Break and the console's close, logoff and shutdown events.
// A second signal quits at once only when it comes a second or more after the first: two within
// a moment are one (a process manager signals the process, then its group). SIGPIPE is ignored:
// output to a terminal that went away fails quietly.
#pragma once

#include <string>

#include "stage.h"

namespace tool {

// What interrupted the job.
enum class Interrupt { CtrlC, Terminate, Hangup, Break, Close };

// What is being changed, for the messages.
enum class FlashJob { Loader, FirmwareAndConfig, Config, Erase, Restore };

void InstallInterruptHandler();
bool Interrupted();

// A run of jobs (the station): the first signal only asks the run to end once the job under way
// is done, and that job goes on as if none had come; the signals after it (a second or more
// later) are the job's, as above. StopRequested: that first signal came.
void DeferFirstInterrupt();
bool StopRequested();

// The library's trace log is open: the outcome of a signal goes there too (LogAppMessage).
void SetTraceOpen(bool open);
// What the first signal was and what the job did about it, for the trace log ("" without one):
// "SIGTERM came while the flash was being changed: the tool let ... run to its end, then stopped".
std::string InterruptOutcome();

// Before the first erase: ToolError(LORIC_ERR_CANCELLED) when a Ctrl-C came.
void CheckCancelled();

// The progress callback's answer: cancel only while the flash is not being changed.
bool CancelRequested();

// The flash is being changed from now on. `recovery` says how to get back (a restore or a
// program command), for the messages.
void BeginFlashChange(FlashJob job, const std::string& recovery);
void EndFlashChange();
// Begin and end of a flash change for one scope (the end also on an exception).
class FlashChange {
public:
    FlashChange(FlashJob job, const std::string& recovery) { BeginFlashChange(job, recovery); }
    ~FlashChange() { EndFlashChange(); }
    FlashChange(const FlashChange&) = delete;
    FlashChange& operator=(const FlashChange&) = delete;
};
// The stage the library (or the tool) is in, as its progress title says.
void NoteStage(Stage stage);
// What a quit now would leave, in words, for the current job and step.
std::string FlashStateText();

// A confirmation question is open: a Ctrl-C ends the tool at once.
void SetAsking(bool asking);

// Called just before the tool quits at once (the simulated device saves its flash).
void SetQuitHook(void (*hook)());

// The test hook (LORIC_TOOL_INTERRUPT_AT, read once): called as a step with title `step` begins
// (percent -1) and at each of its percentages; at the hook's next point it makes a Ctrl-C (or the
// signals the point names) that behaves exactly as one from the terminal.
void InterruptHook(const std::string& step, int percent);

}  // namespace tool
