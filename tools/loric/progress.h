// Shows what a job is doing: the step text that the library writes into its ProgressWindow
// title, and the percentage it passes to the progress callback, as a bar on a terminal or as
// plain lines otherwise. The callback is also where Ctrl-C cancels an upload.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "loric.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tool {

enum class ProgressStyle { Auto, Bar, Plain, None };

class Progress {
public:
    Progress(ProgressStyle style, std::FILE* out);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // What to pass to the library.
    ProgressWindow window();
    static ProgressCallback callback();

    // The size of the file that a step uploads, so that its line shows bytes, rate and time left.
    void ExpectBytes(const std::string& step, uint64_t bytes);

    // Sets the window's title as the library does, for steps of the tool's own.
    void SetStep(const std::string& step);
    // A percentage of a step of the tool's own; returns true when the user asked to stop.
    bool Report(int percent);
    // Ends the current line.
    void Finish();

    // Called from the window stand-in and the callback.
    void OnTitle(const std::string& title);
    uint32_t OnPercent(int percent);

private:
    void StartStep(const std::string& step);
    void Draw(int percent);
    std::string Details(int percent, bool bar) const;

    ProgressStyle style_;
    std::FILE* out_;
    std::map<std::string, uint64_t> sizes_;
    std::string step_;
    std::chrono::steady_clock::time_point stepStart_{};
    int lastPrinted_ = -1;
    bool lineOpen_ = false;
    // Test hook (LORIC_TOOL_INTERRUPT_AT): behave as if Ctrl-C came at these points, in turn:
    // "N" a step at N percent, "TEXT" when a step whose title starts with TEXT begins,
    // "TEXT@N" that step at N percent; separated by commas.
    struct Trigger {
        std::string step;
        int percent = -1;
    };
    std::vector<Trigger> triggers_;
    size_t nextTrigger_ = 0;
    void MaybeInterrupt(int percent);
#if defined(_WIN32)
    HWND hwnd_ = nullptr;
    WNDPROC previous_ = nullptr;
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
#else
    LORIC_PROGRESS_WINDOW window_{};
#endif
};

}  // namespace tool
