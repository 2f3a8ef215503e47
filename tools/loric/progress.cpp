#include "progress.h"

#include <cstdlib>
#include <cstring>

#include "interrupt.h"
#include "record.h"
#include "term.h"

namespace tool {
namespace {

Progress* g_active = nullptr;

uint32_t ProgressCallbackFn(uint8_t percent) {
    return g_active ? g_active->OnPercent(percent) : (CancelRequested() ? 1u : 0u);
}

std::string Bytes(double bytes) {
    char text[32];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    } else if (bytes < 1024.0 * 1024.0) {
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024.0);
    } else {
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024.0));
    }
    return text;
}

// Splits "Uploading firmware... 42%" into its step text and its percentage (-1 when none).
void SplitTitle(const std::string& title, std::string& step, int& percent) {
    step = title;
    percent = -1;
    if (title.size() < 3 || title.back() != '%') return;
    size_t digits = title.size() - 1;
    size_t begin = digits;
    while (begin > 0 && title[begin - 1] >= '0' && title[begin - 1] <= '9') --begin;
    if (begin == digits || begin == 0 || title[begin - 1] != ' ') return;
    percent = std::atoi(title.c_str() + begin);
    step = title.substr(0, begin - 1);
}

#if !defined(_WIN32)
void TitleChanged(LORIC_PROGRESS_WINDOW* window) {
    if (auto* self = static_cast<Progress*>(window->context)) {
        char title[sizeof window->title];
        std::memcpy(title, window->title, sizeof title);
        title[sizeof title - 1] = '\0';
        self->OnTitle(title);
    }
}
#endif

}  // namespace

Progress::Progress(ProgressStyle style, std::FILE* out) : style_(style), out_(out) {
    if (style_ == ProgressStyle::Auto) {
        style_ = IsTerminal(fileno(out)) ? ProgressStyle::Bar : ProgressStyle::Plain;
    }
#if defined(_WIN32)
    // A hidden window of our own: the library sets its text, and the subclassed window
    // procedure tells us at once.
    hwnd_ = CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr),
                          nullptr);
    if (hwnd_) {
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        previous_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
            hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Progress::WindowProc)));
    }
#else
    window_.titleChanged = &TitleChanged;
    window_.context = this;
#endif
    g_active = this;
}

Progress::~Progress() {
    Finish();
    RecordStep();
    if (g_active == this) g_active = nullptr;
#if defined(_WIN32)
    if (hwnd_) DestroyWindow(hwnd_);
#endif
}

#if defined(_WIN32)
LRESULT CALLBACK Progress::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Progress*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    LRESULT result = CallWindowProcA(self->previous_, hwnd, message, wParam, lParam);
    if (message == WM_SETTEXT && lParam) {
        self->OnTitle(reinterpret_cast<const char*>(lParam));
    }
    return result;
}

ProgressWindow Progress::window() { return reinterpret_cast<ProgressWindow>(hwnd_); }
#else
ProgressWindow Progress::window() { return &window_; }
#endif

ProgressCallback Progress::callback() { return &ProgressCallbackFn; }

void Progress::ExpectBytes(Stage stage, uint64_t bytes) { sizes_[stage] = bytes; }

void Progress::SetStep(Stage stage) { SetStep(stage, TitleOf(stage)); }

void Progress::SetStep(Stage stage, const std::string& step) {
    ownTitle_ = step;
    ownStage_ = stage;
#if defined(_WIN32)
    if (hwnd_) {
        SetWindowTextA(hwnd_, step.c_str());
        return;
    }
#else
    std::snprintf(window_.title, sizeof window_.title, "%s", step.c_str());
#endif
    OnTitle(step);
}

bool Progress::Report(int percent) { return OnPercent(percent) != 0; }

void Progress::OnTitle(const std::string& title) {
    std::string step;
    int percent = -1;
    SplitTitle(title, step, percent);
    if (step != step_) StartStep(step);
    if (percent >= 0) Draw(percent);
}

uint32_t Progress::OnPercent(int percent) {
    InterruptHook(step_, percent);
    Draw(percent);
    return CancelRequested() ? 1u : 0u;
}

void Progress::RecordStep() {
    if (!stepOpen_) return;
    stepOpen_ = false;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stepStart_).count();
    std::string name = shown_;
    while (!name.empty() && name.back() == '.') name.pop_back();
    Record().AddStep(name, static_cast<double>(static_cast<long long>(seconds * 1000)) / 1000);
}

void Progress::StartStep(const std::string& step) {
    Finish();
    RecordStep();
    step_ = step;
    stage_ = !ownTitle_.empty() && step == ownTitle_ ? ownStage_ : StageOfTitle(step);
    shown_ = ShownTitle(stage_, step);
    stepStart_ = std::chrono::steady_clock::now();
    lastPrinted_ = -1;
    stepOpen_ = !step.empty();
    NoteStage(stage_);
    if (watcher_ && !step.empty()) watcher_(shown_, -1);
    if (style_ != ProgressStyle::None && !step.empty()) {
        if (style_ == ProgressStyle::Bar) {
            RewriteLine(out_, shown_);
            lineOpen_ = true;
        } else {
            std::fprintf(out_, "%s\n", shown_.c_str());
        }
        std::fflush(out_);
    }
    InterruptHook(step_, -1);
}

std::string Progress::Details(int percent, bool bar) const {
    auto size = sizes_.find(stage_);
    if (size == sizes_.end() || size->second == 0) return {};
    double total = static_cast<double>(size->second);
    double done = total * percent / 100.0;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - stepStart_).count();
    std::string text = bar ? "  " + Bytes(done) + " of " + Bytes(total)
                           : " (" + std::to_string(static_cast<uint64_t>(done)) + " of " +
                                 std::to_string(size->second) + " bytes";
    if (seconds > 0 && done > 0 && (percent == 100 || seconds > 0.05)) {
        double rate = done / seconds;
        text += (bar ? "  " : ", ") + Bytes(rate) + "/s";
        if (percent < 100) {
            long left = static_cast<long>((total - done) / rate + 0.5);
            char eta[48];
            if (bar) {
                std::snprintf(eta, sizeof eta, "  %ld:%02ld left", left / 60, left % 60);
            } else {
                std::snprintf(eta, sizeof eta, ", about %ld s left", left);
            }
            text += eta;
        } else {
            char took[48];
            std::snprintf(took, sizeof took, bar ? "  in %.1f s" : ", %.1f s", seconds);
            text += took;
        }
    }
    if (!bar) text += ")";
    return text;
}

void Progress::Draw(int percent) {
    if (watcher_) watcher_(shown_, percent);
    if (style_ == ProgressStyle::None) return;
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    if (style_ == ProgressStyle::Plain) {
        // A line every ten percent, and the last one.
        if (lastPrinted_ >= 0 && percent < lastPrinted_ + 10 &&
            !(percent == 100 && lastPrinted_ != 100)) {
            return;
        }
        lastPrinted_ = percent;
        std::fprintf(out_, "%s %d%%%s\n", shown_.c_str(), percent, Details(percent, false).c_str());
        std::fflush(out_);
        return;
    }
    if (percent == lastPrinted_) return;
    lastPrinted_ = percent;
    int width = TerminalWidth(fileno(out_));
    std::string details = Details(percent, true);
    int room = width - static_cast<int>(shown_.size() + details.size()) - 12;
    int barWidth = room > 40 ? 40 : room;
    std::string line = shown_;
    if (barWidth >= 10) {
        int filled = barWidth * percent / 100;
        line += "  [" + std::string(filled, '#') + std::string(barWidth - filled, '-') + "]";
    }
    char pct[8];
    std::snprintf(pct, sizeof pct, " %3d%%", percent);
    line += pct + details;
    RewriteLine(out_, line);
    std::fflush(out_);
    lineOpen_ = true;
}

void Progress::Finish() {
    if (lineOpen_) {
        std::fprintf(out_, "\n");
        std::fflush(out_);
        lineOpen_ = false;
    }
}

}  // namespace tool
