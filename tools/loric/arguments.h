// The values the user writes on the command line, read into numbers: each refusal names the
// option and exits with kExitUsage (not a number) or LORIC_ERR_INVALID_PARAMETER (out of range).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tool {

// A number as the user writes it: 0x1F000, 126976 or 124K (1024) or 1M; `what` names it in the
// refusal.
uint64_t ParseNumber(const std::string& text, const std::string& what);
uint32_t ParseU32(const std::string& text, const std::string& what);

// --node: a 16-bit node ID; nullopt when not given.
std::optional<uint16_t> ParseNode(const std::string& text);

// --trace: a number (0x3F), or names joined by commas: error, warning, api, api-verbose,
// internal, verbose, node0, all.
uint32_t ParseTraceFlags(const std::string& text);

// --erase-delay: whole seconds, 0 to 30; nullopt, the chip family's erase time, when not given.
std::optional<uint32_t> ParseEraseDelay(const std::string& text);

}  // namespace tool
