// Shows what a job is doing: the step text that the library writes into its ProgressWindow
// title, and the percentage it passes to the progress callback, as a bar on a terminal or as
// plain lines otherwise. The callback is also where Ctrl-C cancels an upload. Each title is read
// once into its Stage (stage.h), which the rest of the tool goes by.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>

#include "loric.h"
#include "stage.h"

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

    // The size of the file that a stage uploads (or reads), so that its line shows bytes, rate
    // and time left.
    void ExpectBytes(Stage stage, uint64_t bytes);

    // Sets the window's title as the library does, for steps of the tool's own: the stage's own
    // title, or `title` for a stage whose title says what it works on.
    void SetStep(Stage stage);
    void SetStep(Stage stage, const std::string& title);
    // A percentage of a step of the tool's own; returns true when the user asked to stop.
    bool Report(int percent);
    // Ends the current line.
    void Finish();

    // Someone else who shows the job (the station's screen): told each step as it begins
    // (percent -1) and each percentage, whatever the style.
    using Watcher = std::function<void(const std::string& step, int percent)>;
    void Watch(Watcher watcher) { watcher_ = std::move(watcher); }

    // Called from the window stand-in and the callback.
    void OnTitle(const std::string& title);
    uint32_t OnPercent(int percent);

private:
    void StartStep(const std::string& step);
    // The step that ends goes into the job's record with its duration.
    void RecordStep();
    void Draw(int percent);
    std::string Details(int percent, bool bar) const;

    ProgressStyle style_;
    std::FILE* out_;
    std::map<Stage, uint64_t> sizes_;
    std::string step_;   // the title, without its percentage
    std::string shown_;  // the title as the user reads it (ShownTitle)
    Stage stage_ = Stage::None;
    // The title and stage of the tool's own step being set (its title names no stage).
    std::string ownTitle_;
    Stage ownStage_ = Stage::None;
    std::chrono::steady_clock::time_point stepStart_{};
    int lastPrinted_ = -1;
    bool lineOpen_ = false;
    bool stepOpen_ = false;  // the current step is not in the record yet
    Watcher watcher_;
#if defined(_WIN32)
    HWND hwnd_ = nullptr;
    WNDPROC previous_ = nullptr;
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
#else
    LORIC_PROGRESS_WINDOW window_{};
#endif
};

}  // namespace tool
