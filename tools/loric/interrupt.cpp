#include "interrupt.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "errors.h"
#include "loric.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>

#include <thread>
#endif

namespace tool {
namespace {

// Guards the texts below. A spin lock: it is held for a moment only, and the Windows
// toolchain's C++ library has no std::mutex.
class SpinLock {
public:
    void lock() {
        while (flag_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

class Guard {
public:
    explicit Guard(SpinLock& lock) : lock_(lock) { lock_.lock(); }
    ~Guard() { lock_.unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    SpinLock& lock_;
};

SpinLock g_lock;
std::atomic<int> g_interrupts{0};
// The first signal: what it was, when (seconds of the steady clock), and what the job was doing.
Interrupt g_first = Interrupt::CtrlC;
double g_firstAt = 0;
bool g_firstWhileChanging = false;
FlashJob g_firstJob = FlashJob::Erase;
std::atomic<bool> g_traceOpen{false};
std::atomic<bool> g_changing{false};
std::atomic<bool> g_asking{false};
FlashJob g_job = FlashJob::Erase;
std::string g_recovery;
Stage g_stage = Stage::None;
void (*g_quitHook)() = nullptr;
// A run of jobs: the first signal is the run's (DeferFirstInterrupt), and when it came.
bool g_defer = false;
std::atomic<bool> g_stopRequested{false};
double g_stopAt = 0;

const char* Finishing(FlashJob job) {
    switch (job) {
    case FlashJob::Loader: return "programming the bootstrap loader";
    case FlashJob::FirmwareAndConfig: return "programming the firmware and configuration";
    case FlashJob::Config: return "programming the configuration";
    case FlashJob::Erase: return "the erase";
    case FlashJob::Restore: return "putting the backup back";
    }
    return "the step";
}

// What the flash holds if the tool quits in `stage` of `job`.
std::string LeftBehind(FlashJob job, Stage stage) {
    const char* blank =
        "once reset or power-cycled the device answers only at its flash port (blank)";
    switch (job) {
    case FlashJob::Loader:
        if (stage == Stage::EraseFlash)
            return std::string("the bottom of the flash is being erased: ") + blank;
        if (stage == Stage::UploadLoader) {
            return std::string("the bootstrap loader is only partly written: ") + blank;
        }
        if (stage == Stage::InitialiseLoader || stage == Stage::Relocate) {
            return "the bootstrap loader is written: after a power-cycle the device runs it";
        }
        return "nothing is erased yet: after a power-cycle the device runs what it ran before";
    case FlashJob::FirmwareAndConfig:
    case FlashJob::Restore:
        if (IsErasing(stage) || stage == Stage::UploadFirmware) {
            return std::string("the firmware is erased or only partly written: ") + blank;
        }
        if (stage == Stage::UploadConfig) {
            return "the firmware is written, the configuration only partly: the device starts "
                   "without a valid "
                   "configuration";
        }
        if (IsResetting(stage))
            return "the firmware and configuration are written: the device restarts with them";
        return "nothing is erased yet: the device stays in upload mode until it is reset or "
               "power-cycled";
    case FlashJob::Config:
        if (IsErasing(stage) || IsUploading(stage)) {
            return "the configuration sector is erased or only partly written: the device starts "
                   "without a valid "
                   "configuration";
        }
        if (IsResetting(stage)) return "the configuration is written: the device restarts with it";
        return "nothing is erased yet: the device stays in upload mode until it is reset or "
               "power-cycled";
    case FlashJob::Erase: return "the sector (or the flash) is only partly erased";
    }
    return {};
}

// A terminal that went away (a closed SSH session) makes writes fail with EIO or EPIPE: the
// tool goes on without its output, and SIGPIPE is ignored so that such a write cannot end it.
void Write(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

const char* NameOf(Interrupt source) {
    switch (source) {
    case Interrupt::CtrlC: return "Ctrl-C";
    case Interrupt::Terminate: return "SIGTERM";
    case Interrupt::Hangup: return "SIGHUP";
    case Interrupt::Break: return "Ctrl-Break";
    case Interrupt::Close: return "the console closing";
    }
    return "a signal";
}

// Into the library's trace log, when one is open.
void Log(const std::string& text) {
    if (g_traceOpen) LogAppMessage("%s\n", ("loric: " + text).c_str());
}

[[noreturn]] void QuitNow(const std::string& what, const std::string& hint) {
    std::fflush(stdout);
    Write("\nloric: quit at once: " + what + "\n" +
          (hint.empty() ? "" : "  What to try: " + hint + "\n"));
    Log("quit at once: " + what);
    if (g_quitHook) g_quitHook();
    std::_Exit(LORIC_ERR_CANCELLED);
}

// A second signal quits at once only when it comes a second or more after the first: `timeout`
// and process managers signal the process and then its group within microseconds, and a person
// does not press Ctrl-C twice that fast.
constexpr double kSecondSignalAfter = 1.0;

void OnInterrupt(Interrupt source, double now) {
    Guard lock(g_lock);
    if (g_stopRequested && now - g_stopAt < kSecondSignalAfter) return;
    if (g_defer && !g_stopRequested) {
        g_stopRequested = true;
        g_stopAt = now;
        const bool ctrlC = source == Interrupt::CtrlC;
        Write("\nloric: " + (ctrlC ? std::string() : std::string(NameOf(source)) + ": ") +
              "the station stops once the board on it is done (" +
              (ctrlC ? "Ctrl-C again" : "another signal a second or more later") +
              " cancels that board's job as `loric program` does)\n");
        return;
    }
    if (g_interrupts.load() > 0 && now - g_firstAt < kSecondSignalAfter) return;
    const int count = ++g_interrupts;
    if (count == 1) {
        g_first = source;
        g_firstAt = now;
        g_firstWhileChanging = g_changing;
        g_firstJob = g_job;
    }
    const bool ctrlC = source == Interrupt::CtrlC;
    const std::string by = ctrlC ? "" : std::string(NameOf(source)) + ": ";
    const char* again = ctrlC ? "Ctrl-C again" : "another signal a second or more later";
    if (g_asking) QuitNow(by + "cancelled; nothing on the device was changed", "");
    if (!g_changing) {
        if (count > 1) QuitNow(by + "nothing on the device was changed", "");
        Write("\nloric: " + by + "cancelling; nothing on the device has been changed (" + again +
              " to quit at once)\n");
        return;
    }
    const std::string state = LeftBehind(g_job, g_stage);
    if (count > 1) QuitNow(by + state + ".", g_recovery);
    Write("\nloric: " + by + "the flash is being changed, so the tool finishes " +
          Finishing(g_job) +
          " and then stops (stopping in the middle could leave a device that does not start). " +
          (ctrlC ? "Ctrl-C again" : "Another signal a second or more later") +
          " quits at once: " + state + ".\n");
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The test hook LORIC_TOOL_INTERRUPT_AT: the points where a Ctrl-C is made to come, in turn,
// separated by commas: "N" a step at N percent, "TEXT" when a step whose title starts with TEXT
// begins, "TEXT@N" that step at N percent. "TERM:" before a point makes it a SIGTERM instead
// (INT, HUP, BREAK, CLOSE likewise), "TERM+INT:" two at once (microseconds apart). The points
// count as a second or more apart, as a person's presses are.
struct HookPoint {
    std::vector<Interrupt> sources{Interrupt::CtrlC};
    std::string step;
    int percent = -1;
};

std::vector<Interrupt> HookSources(const std::string& names) {
    std::vector<Interrupt> sources;
    size_t start = 0;
    while (start <= names.size()) {
        size_t plus = names.find('+', start);
        const std::string name =
            names.substr(start, plus == std::string::npos ? std::string::npos : plus - start);
        sources.push_back(name == "TERM"    ? Interrupt::Terminate
                          : name == "HUP"   ? Interrupt::Hangup
                          : name == "BREAK" ? Interrupt::Break
                          : name == "CLOSE" ? Interrupt::Close
                                            : Interrupt::CtrlC);
        if (plus == std::string::npos) break;
        start = plus + 1;
    }
    return sources;
}

std::vector<HookPoint> HookPoints() {
    std::vector<HookPoint> points;
    const char* at = std::getenv("LORIC_TOOL_INTERRUPT_AT");
    if (at == nullptr) return points;
    const std::string list = at;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        HookPoint point;
        if (size_t colon = item.find(':'); colon != std::string::npos) {
            point.sources = HookSources(item.substr(0, colon));
            item = item.substr(colon + 1);
        }
        size_t percentAt = item.rfind('@');
        if (!item.empty() && std::isdigit(static_cast<unsigned char>(item[0])) &&
            item.find('.') == std::string::npos) {
            point.percent = std::atoi(item.c_str());
        } else if (percentAt != std::string::npos) {
            point.step = item.substr(0, percentAt);
            point.percent = std::atoi(item.c_str() + percentAt + 1);
        } else {
            point.step = item;
        }
        points.push_back(point);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return points;
}

#if defined(_WIN32)
// The console runs this on a thread of its own for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT: OnInterrupt(Interrupt::CtrlC, Now()); return TRUE;
    case CTRL_BREAK_EVENT: OnInterrupt(Interrupt::Break, Now()); return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Windows ends the process as soon as this returns, and about 5 s after a close event
        // whatever it does (logoff and shutdown: the system's own time-out, a few seconds too;
        // they reach a console program only while it has loaded no window library). The job
        // gets that time to finish its step; the message above says what the flash holds should
        // it not.
        OnInterrupt(Interrupt::Close, Now());
        Sleep(4500);
        return TRUE;
    default: return FALSE;
    }
}
#endif

}  // namespace

void InstallInterruptHandler() {
#if defined(_WIN32)
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
    // Ctrl-C, SIGTERM (kill, a service manager) and SIGHUP (a closed terminal or SSH session)
    // are taken by a thread of their own, so that they are handled (and a second one quits)
    // even while the library waits on the device. Threads started later inherit the mask.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            OnInterrupt(signal == SIGTERM  ? Interrupt::Terminate
                        : signal == SIGHUP ? Interrupt::Hangup
                                           : Interrupt::CtrlC,
                        Now());
        }
    }).detach();
#endif
}

void SetTraceOpen(bool open) { g_traceOpen = open; }

std::string InterruptOutcome() {
    Guard lock(g_lock);
    if (g_interrupts.load() == 0) return {};
    std::string text = std::string(NameOf(g_first)) + " came ";
    if (!g_firstWhileChanging) return text + "before the flash was changed: the job was cancelled";
    return text + "while the flash was being changed: the tool let " + Finishing(g_firstJob) +
           " run to its end, then stopped";
}

bool Interrupted() { return g_interrupts.load() != 0; }

void DeferFirstInterrupt() {
    Guard lock(g_lock);
    g_defer = true;
}

bool StopRequested() { return g_stopRequested.load() || Interrupted(); }

void CheckCancelled() {
    if (Interrupted())
        throw ToolError(LORIC_ERR_CANCELLED, "cancelled; nothing on the device was changed");
}

bool CancelRequested() { return Interrupted() && !g_changing.load(); }

void BeginFlashChange(FlashJob job, const std::string& recovery) {
    Guard lock(g_lock);
    if (Interrupted())
        throw ToolError(LORIC_ERR_CANCELLED, "cancelled; nothing on the device was changed");
    g_job = job;
    g_recovery = recovery;
    g_stage = Stage::None;
    g_changing = true;
}

void EndFlashChange() {
    Guard lock(g_lock);
    g_changing = false;
}

void NoteStage(Stage stage) {
    Guard lock(g_lock);
    g_stage = stage;
}

std::string FlashStateText() {
    Guard lock(g_lock);
    return LeftBehind(g_job, g_stage);
}

void SetAsking(bool asking) { g_asking = asking; }

void SetQuitHook(void (*hook)()) { g_quitHook = hook; }

void InterruptHook(const std::string& step, int percent) {
    static const std::vector<HookPoint> points = HookPoints();
    static size_t next = 0;
    if (next >= points.size()) return;
    const HookPoint& point = points[next];
    if (!point.step.empty() && step.rfind(point.step, 0) != 0) return;
    if (point.percent >= 0 ? percent < point.percent : percent >= 0) return;
    const double at = Now() + static_cast<double>(++next) * kSecondSignalAfter;
    for (Interrupt source : point.sources) OnInterrupt(source, at);
}

}  // namespace tool
