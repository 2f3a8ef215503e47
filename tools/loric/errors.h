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

// The failure of a library call: "<action> failed: error N: text" with StatusHint and `more`;
// or, when the call failed because the driver or the serial adapter no longer answers (the
// node list cannot be read either), a ToolError(kExitConnectionLost) that says so.
ToolError LibraryFailure(uint32_t status, const std::string& action, const std::string& more = {});

// What the library talks over, for LibraryFailure's message ("the 1394 driver", "the serial
// adapter on /dev/ttyUSB0"); "" (the embedded simulator) never asks whether it was lost.
void SetLinkName(const std::string& name);

// Makes a ToolError for a status without calling the library (the text comes from GetErrorText
// with whatever argument it holds, so use it only for codes without a placeholder).
ToolError StatusError(uint32_t status, const std::string& action, const std::string& hint = {});

}  // namespace tool
