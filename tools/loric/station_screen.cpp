#include "station_screen.h"

#include <utility>
#include <vector>

namespace tool {
namespace {

// Five rows a letter, for PASS and FAIL across the screen.
const char* const* Glyph(char letter) {
    static const char* const kP[] = {"#### ", "#   #", "#### ", "#    ", "#    "};
    static const char* const kA[] = {" ### ", "#   #", "#####", "#   #", "#   #"};
    static const char* const kS[] = {" ####", "#    ", " ### ", "    #", "#### "};
    static const char* const kF[] = {"#####", "#    ", "#### ", "#    ", "#    "};
    static const char* const kI[] = {" ### ", "  #  ", "  #  ", "  #  ", " ### "};
    static const char* const kL[] = {"#    ", "#    ", "#    ", "#    ", "#####"};
    switch (letter) {
    case 'P': return kP;
    case 'A': return kA;
    case 'S': return kS;
    case 'F': return kF;
    case 'I': return kI;
    default: return kL;
    }
}

std::string Large(const std::string& word) {
    std::string text;
    for (int row = 0; row < 5; ++row) {
        text += "   ";
        for (char letter : word) text += std::string(Glyph(letter)[row]) + "  ";
        text += "\n";
    }
    return text;
}

std::string Seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string Verdict(const BoardOutcome& o) {
    std::string line = "Board " + std::to_string(o.board) + ": " + (o.passed ? "PASS" : "FAIL");
    if (!o.id.empty()) line += " " + o.id;
    if (o.unchanged) line += " (unchanged)";
    if (!o.passed) line += " at \"" + o.step + "\": " + o.message;
    return line + " (" + Seconds(o.seconds) + ")";
}

}  // namespace

StationScreen::StationScreen(std::FILE* out, bool full, std::string title)
    : out_(out), full_(full), title_(std::move(title)) {}

std::string StationScreen::Counters() const {
    const int boards = passed_ + failed_;
    char text[160];
    std::snprintf(text, sizeof text,
                  "passed %d (unchanged %d), failed %d, yield %.1f %%, last cycle %s, average %s",
                  passed_, unchanged_, failed_, boards ? 100.0 * passed_ / boards : 0.0,
                  Seconds(last_).c_str(), Seconds(boards ? total_ / boards : 0).c_str());
    return text;
}

void StationScreen::Draw() {
    std::string text = title_ + "\n\n" + Counters() + "\n\n" + status_ + "\n";
    if (!step_.empty()) {
        text += "  " + step_;
        if (percent_ >= 0) {
            const int filled = percent_ * 40 / 100;
            text += "  [" + std::string(filled, '#') + std::string(40 - filled, '-') + "] " +
                    std::to_string(percent_) + " %";
        }
        text += "\n";
    }
    if (haveLatest_) {
        text += "\n" + Large(latest_.passed ? "PASS" : "FAIL") + "\n" + Verdict(latest_) + "\n";
    }
    // Drawn over the last screen from its top, each line cleared to its end and the rest of the
    // old screen below it cleared, so that nothing flickers; the first draw clears it all.
    std::string screen = cleared_ ? "\033[H" : "\033[H\033[2J";
    cleared_ = true;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        screen += text.substr(start, end - start) + "\033[K\n";
    }
    std::fputs((screen + "\033[J").c_str(), out_);
    std::fflush(out_);
}

void StationScreen::Waiting(int board) {
    board_ = board;
    status_ = "Board " + std::to_string(board) + ": waiting for a board...";
    step_.clear();
    if (full_) return Draw();
    std::fprintf(out_, "%s\n", status_.c_str());
    std::fflush(out_);
}

void StationScreen::Found(int board, const std::string& device) {
    status_ = "Board " + std::to_string(board) + ": " + device;
    if (full_) Draw();
}

void StationScreen::Step(const std::string& step, int percent) {
    if (!full_ || (step == step_ && percent == percent_)) return;
    step_ = step;
    percent_ = percent;
    Draw();
}

void StationScreen::Done(const BoardOutcome& outcome) {
    (outcome.passed ? passed_ : failed_)++;
    if (outcome.unchanged) ++unchanged_;
    last_ = outcome.seconds;
    total_ += outcome.seconds;
    latest_ = outcome;
    haveLatest_ = true;
    step_.clear();
    if (full_) return;
    std::fprintf(out_, "%s\n", Verdict(outcome).c_str());
    std::fflush(out_);
}

void StationScreen::AwaitRemoval(const BoardOutcome& outcome) {
    status_ = "Board " + std::to_string(outcome.board) + ": " +
              (outcome.passed ? "done" : "failed") + "; remove it for the next.";
    if (full_) return Draw();
    std::fprintf(out_, "%s\n", status_.c_str());
    std::fflush(out_);
}

void StationScreen::Summary() {
    status_ = "Station ended.";
    if (full_) Draw();
    std::fprintf(out_, "Station ended: %s.\n", Counters().c_str());
    std::fflush(out_);
}

}  // namespace tool
