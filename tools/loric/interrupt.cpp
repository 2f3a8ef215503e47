#include "interrupt.h"

#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "errors.h"

#if defined(_WIN32)
#include <io.h>
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
std::atomic<bool> g_changing{false};
std::atomic<bool> g_asking{false};
FlashJob g_job = FlashJob::Erase;
std::string g_recovery;
Stage g_stage = Stage::None;
void (*g_quitHook)() = nullptr;

const char* Finishing(FlashJob job) {
    switch (job) {
    case FlashJob::Loader:
        return "programming the bootstrap loader";
    case FlashJob::FirmwareAndConfig:
        return "programming the firmware and configuration";
    case FlashJob::Config:
        return "programming the configuration";
    case FlashJob::Erase:
        return "the erase";
    case FlashJob::Restore:
        return "putting the backup back";
    }
    return "the step";
}

// What the flash holds if the tool quits in `stage` of `job`.
std::string LeftBehind(FlashJob job, Stage stage) {
    const char* blank = "once reset or power-cycled the device answers only at its flash port (blank)";
    switch (job) {
    case FlashJob::Loader:
        if (stage == Stage::EraseFlash) return std::string("the bottom of the flash is being erased: ") + blank;
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
            return "the firmware is written, the configuration only partly: the device starts without a valid "
                   "configuration";
        }
        if (IsResetting(stage)) return "the firmware and configuration are written: the device restarts with them";
        return "nothing is erased yet: the device stays in upload mode until it is reset or power-cycled";
    case FlashJob::Config:
        if (IsErasing(stage) || IsUploading(stage)) {
            return "the configuration sector is erased or only partly written: the device starts without a valid "
                   "configuration";
        }
        if (IsResetting(stage)) return "the configuration is written: the device restarts with it";
        return "nothing is erased yet: the device stays in upload mode until it is reset or power-cycled";
    case FlashJob::Erase:
        return "the sector (or the flash) is only partly erased";
    }
    return {};
}

void Write(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

[[noreturn]] void QuitNow(const std::string& what, const std::string& hint) {
    std::fflush(stdout);
    Write("\nloric: quit at once: " + what + "\n" + (hint.empty() ? "" : "  What to try: " + hint + "\n"));
    if (g_quitHook) g_quitHook();
    std::_Exit(LORIC_ERR_CANCELLED);
}

void OnInterrupt() {
    const int count = ++g_interrupts;
    Guard lock(g_lock);
    if (g_asking) QuitNow("cancelled; nothing on the device was changed", "");
    if (!g_changing) {
        if (count > 1) QuitNow("nothing on the device was changed", "");
        Write("\nloric: cancelling; nothing on the device has been changed (Ctrl-C again to quit at once)\n");
        return;
    }
    const std::string state = LeftBehind(g_job, g_stage);
    if (count > 1) QuitNow(state + ".", g_recovery);
    Write(std::string("\nloric: the flash is being changed, so the tool finishes ") + Finishing(g_job) +
          " and then stops (stopping in the middle could leave a device that does not start). Ctrl-C again quits at "
          "once: " + state + ".\n");
}

// The test hook LORIC_TOOL_INTERRUPT_AT: the points where a Ctrl-C is made to come, in turn,
// separated by commas: "N" a step at N percent, "TEXT" when a step whose title starts with TEXT
// begins, "TEXT@N" that step at N percent.
struct HookPoint {
    std::string step;
    int percent = -1;
};

std::vector<HookPoint> HookPoints() {
    std::vector<HookPoint> points;
    const char* at = std::getenv("LORIC_TOOL_INTERRUPT_AT");
    if (at == nullptr) return points;
    const std::string list = at;
    size_t start = 0;
    while (start < list.size()) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        HookPoint point;
        size_t percentAt = item.rfind('@');
        if (!item.empty() && std::isdigit(static_cast<unsigned char>(item[0])) && item.find('.') == std::string::npos) {
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
void OnSignal(int) {
    // The console's Ctrl-C runs this on a thread of its own; the handler is reset each time.
    std::signal(SIGINT, OnSignal);
    OnInterrupt();
}
#endif

}  // namespace

void InstallInterruptHandler() {
#if defined(_WIN32)
    std::signal(SIGINT, OnSignal);
#else
    // Ctrl-C is taken by a thread of its own, so that it is handled (and a second one quits)
    // even while the library waits on the device. Threads started later inherit the mask.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) == 0) OnInterrupt();
        }
    }).detach();
#endif
}

bool Interrupted() { return g_interrupts.load() != 0; }

void CheckCancelled() {
    if (Interrupted()) throw ToolError(LORIC_ERR_CANCELLED, "cancelled; nothing on the device was changed");
}

bool CancelRequested() { return Interrupted() && !g_changing.load(); }

void BeginFlashChange(FlashJob job, const std::string& recovery) {
    Guard lock(g_lock);
    if (Interrupted()) throw ToolError(LORIC_ERR_CANCELLED, "cancelled; nothing on the device was changed");
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
    ++next;
    OnInterrupt();
}

}  // namespace tool
