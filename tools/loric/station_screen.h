// What the station shows while it runs: on a terminal one screen, redrawn in place (the counters,
// the yield, the last and average cycle time, the current board's step with its progress, and a
// large PASS or FAIL for the board just done); plain lines otherwise.
#pragma once

#include <cstdio>
#include <string>

namespace tool {

struct BoardOutcome {
    int board = 0;  // 1 for the first board of the run
    bool passed = false;
    bool unchanged = false;  // passed without being programmed (--skip-unchanged)
    std::string id;          // the board's EUI-64 as the record writes it ("" when unknown)
    std::string step;        // the step that failed
    std::string message;     // why it failed
    double seconds = 0;      // its cycle: from the board found to its outcome
    int code = 0;            // its job's exit code
    std::string hint;        // what to try after a failure
};

class StationScreen {
public:
    // `full`: the full-screen status on `out` (a terminal); otherwise plain lines.
    StationScreen(std::FILE* out, bool full, std::string title);

    void Waiting(int board);                           // for the next board to come
    void Found(int board, const std::string& device);  // and what it is
    void Step(const std::string& step, int percent);   // of the board's job (-1: it begins)
    void Done(const BoardOutcome& outcome);            // its outcome
    void AwaitRemoval(const BoardOutcome& outcome);    // until it leaves the bus
    void Summary();                                    // at the end

    int passed() const { return passed_; }
    int failed() const { return failed_; }

private:
    void Draw();
    std::string Counters() const;

    std::FILE* out_;
    bool full_;
    std::string title_;
    int passed_ = 0, failed_ = 0, unchanged_ = 0;
    double last_ = 0, total_ = 0;
    int board_ = 0;
    std::string status_;  // what the station does now
    std::string step_;
    int percent_ = -1;
    BoardOutcome latest_;
    bool haveLatest_ = false;
    bool cleared_ = false;  // the screen was cleared once
};

}  // namespace tool
