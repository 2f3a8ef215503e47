// How the tool reports a failure: the status code, its text and what to try next, and the
// exit code that goes with it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "exit_codes.h"

namespace tool {

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

// What a person can try after the status.
std::string StatusHint(uint32_t status);

// Throws a ToolError for a non-zero status of the library: "<action> failed: error N: text".
void Check(uint32_t status, const std::string& action);

// Makes a ToolError for a status without calling the library (the text comes from GetErrorText
// with whatever argument it holds, so use it only for codes without a placeholder).
ToolError StatusError(uint32_t status, const std::string& action, const std::string& hint = {});

}  // namespace tool
