#include "arguments.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "errors.h"
#include "loric.h"
#include "text.h"

namespace tool {

uint64_t ParseNumber(const std::string& text, const std::string& what) {
    std::string digits = text;
    uint64_t scale = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) {
        scale = 1024;
        digits.pop_back();
    } else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) {
        scale = 1024 * 1024;
        digits.pop_back();
    }
    if (digits.empty()) throw ToolError(kExitUsage, what + ": \"" + text + "\" is not a number");
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || digits[0] == '-') {
        throw ToolError(kExitUsage, what + ": \"" + text + "\" is not a number",
                        "Write numbers as 0x1F000, 126976 or 124K.");
    }
    return value * scale;
}

uint32_t ParseU32(const std::string& text, const std::string& what) {
    uint64_t value = ParseNumber(text, what);
    if (value > 0xFFFFFFFFull)
        throw ToolError(kExitUsage, what + ": " + text + " is larger than 32 bits");
    return static_cast<uint32_t>(value);
}

std::optional<uint16_t> ParseNode(const std::string& text) {
    if (text.empty()) return std::nullopt;
    uint64_t node = ParseNumber(text, "--node");
    if (node > 0xFFFF)
        throw ToolError(LORIC_ERR_INVALID_PARAMETER,
                        "--node: a node ID has 16 bits, such as 0xFFC0");
    return static_cast<uint16_t>(node);
}

uint32_t ParseTraceFlags(const std::string& text) {
    if (text.empty()) return 0;
    if (std::isdigit(static_cast<unsigned char>(text[0]))) {
        char* end = nullptr;
        unsigned long value = std::strtoul(text.c_str(), &end, 0);
        if (*end != '\0' || value > 0xFFFFFFFFul) {
            throw ToolError(kExitUsage,
                            "--trace: \"" + text + "\" is not a number or a list of trace names");
        }
        return static_cast<uint32_t>(value);
    }
    static const struct {
        const char* name;
        uint32_t bits;
    } kNames[] = {{"error", TRACE_ERROR},
                  {"warning", TRACE_WARNING},
                  {"api", TRACE_API},
                  {"api-verbose", TRACE_API_VERBOSE},
                  {"internal", TRACE_INTERNAL},
                  {"verbose", TRACE_VERBOSE},
                  {"node0", TRACE_SELECT_NODE_0},
                  {"all", 0x3F}};
    uint32_t flags = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string name = Lower(
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        bool known = false;
        for (const auto& entry : kNames) {
            if (name == entry.name) {
                flags |= entry.bits;
                known = true;
            }
        }
        if (!known) {
            throw ToolError(
                kExitUsage, "--trace: unknown trace class \"" + name + "\"",
                "Use a number such as 0x3F, or names joined by commas: error, warning, api, "
                "api-verbose, internal, verbose, node0, all.");
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return flags;
}

std::optional<uint32_t> ParseEraseDelay(const std::string& text) {
    if (text.empty()) return std::nullopt;  // the chip family's erase time
    const std::string range = "--erase-delay: give 0 to 30 seconds";
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0') {
        throw ToolError(kExitUsage, "--erase-delay: \"" + text + "\" is not a number of seconds");
    }
    if (errno != 0 || value < 0 || value > 30)
        throw ToolError(LORIC_ERR_INVALID_PARAMETER, range + ", not " + text);
    return static_cast<uint32_t>(value);
}

}  // namespace tool
