// How the tool reports a failure: the status code, its text and what to try next, and the
// exit code that goes with it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tool {

// Exit codes. 0 is success, 1 to 31 are the library's status codes (the tool also uses them for
// the same failures found before a call: 5 for a wrong argument, 6 for a file it cannot open,
// 11 when no device is found). The codes below have no status code of their own.
enum ExitCode : int {
    kExitOk = 0,
    kExitVerifyFailed = 32,   // read-back differs from the file
    kExitBadDescription = 33, // the JSON configuration description is not valid
    kExitUsage = 64,          // the command line is wrong
};

// A failure to report: the exit code, a sentence for the user and what to try next.
class ToolError : public std::runtime_error {
public:
    ToolError(int code, std::string message, std::string hint = {})
        : std::runtime_error(std::move(message)), code_(code), hint_(std::move(hint)) {}
    int code() const { return code_; }
    const std::string& hint() const { return hint_; }

private:
    int code_;
    std::string hint_;
};

// The text GetErrorText gives for a status, with the argument of the last failure.
std::string StatusText(uint32_t status);

// What a person can try after the status; `action` names what was being done.
std::string StatusHint(uint32_t status);

// Throws a ToolError for a non-zero status of the library: "<action> failed: error N: text".
void Check(uint32_t status, const std::string& action);

// Makes a ToolError for a status without calling the library (the text comes from GetErrorText
// with whatever argument it holds, so use it only for codes without a placeholder).
ToolError StatusError(uint32_t status, const std::string& action, const std::string& hint = {});

}  // namespace tool
