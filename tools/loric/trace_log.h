// --log FILE: the trace of each command kept in a file of the user's choosing. The library
// writes its trace to debug.log in the current folder, afresh at each open; once the command
// has closed the library, what this run wrote there is appended to FILE under a header line
// (the time, the command line, the device), and debug.log is left as the library left it.
#pragma once

#include <filesystem>
#include <string>

namespace tool {

// The trace classes of --log without --trace.
inline constexpr const char* kLogTraceDefault = "error,warning,api";

class TraceLog {
public:
    // Notes how debug.log stands before the command, so that a trace of an earlier run is never
    // taken for this one's. Nothing to do when `path` is "".
    explicit TraceLog(const std::string& path);

    // Appends this run's trace to the file under its header; the header alone (with "no trace")
    // when the library wrote none. Returns "" or what went wrong, for the user.
    std::string Append(const std::string& commandLine) const;

private:
    std::string path_;
    bool existed_ = false;
    std::filesystem::file_time_type written_{};
};

}  // namespace tool
