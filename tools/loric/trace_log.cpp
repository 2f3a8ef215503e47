#include "trace_log.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "record.h"

namespace tool {
namespace {

const char* const kLibraryLog = "debug.log";

}  // namespace

TraceLog::TraceLog(const std::string& path) : path_(path) {
    if (path_.empty()) return;
    std::error_code error;
    existed_ = std::filesystem::exists(kLibraryLog, error);
    if (existed_) written_ = std::filesystem::last_write_time(kLibraryLog, error);
}

std::string TraceLog::Append(const std::string& commandLine) const {
    if (path_.empty()) return {};
    // The library keeps its log open until the process ends: what it buffered goes out first.
    std::fflush(nullptr);
    std::error_code error;
    std::string trace;
    const bool now = std::filesystem::exists(kLibraryLog, error);
    if (now && (!existed_ || std::filesystem::last_write_time(kLibraryLog, error) != written_)) {
        std::ifstream in(kLibraryLog, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        trace = text.str();
    }
    const nlohmann::json& doc = Record().doc();
    std::string board;
    if (doc.contains("node")) board = "node " + doc["node"].get<std::string>();
    const auto eui = doc.find("eui64_before");
    if (eui != doc.end() && eui->is_string() && !eui->get<std::string>().empty()) {
        board += (board.empty() ? "" : ", ") + std::string("EUI-64 ") + eui->get<std::string>();
    }
    std::string header = "==== " + RecordTime() + " " + commandLine;
    if (!board.empty()) header += " (" + board + ")";
    header += trace.empty() ? " ==== no trace\n" : " ====\n";
    if (!trace.empty() && trace.back() != '\n') trace += "\n";
    std::FILE* out = std::fopen(path_.c_str(), "ab");
    if (out == nullptr) return "cannot open the trace log " + path_;
    const std::string text = header + trace;
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed) return "cannot write the trace log " + path_;
    return {};
}

}  // namespace tool
