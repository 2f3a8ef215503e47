// The configuration record as a file a person edits: a JSON object with one member per field of
// CONFIG_FILE_INFO, numbers written as "0x..." strings and texts as strings.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "loric.h"

namespace tool {

// Longest text the tool accepts. A longer text still fits the record, but its leaf then holds
// 15 text quadlets, and such an image cannot be read back.
inline constexpr size_t kMaxConfigText = 56;

// The description of a record, members in record order.
nlohmann::ordered_json DescribeConfig(const CONFIG_FILE_INFO& info);

// Fills a record from a description. Members left out keep the defaults of a new configuration
// (the configuration words 375, 375, 0x00601504 and flags 0x17, everything else 0). Throws
// ToolError(kExitBadDescription) naming the member for an unknown member, a value of the wrong
// kind or out of range, or a text that is too long.
CONFIG_FILE_INFO ParseConfigDescription(const nlohmann::json& description);

// Things in a valid record that will not reach the image: the second unit's fields while
// "second_lun" is false. One sentence each.
std::vector<std::string> DescriptionNotes(const CONFIG_FILE_INFO& info);

// Reads a description file; errors name the file and, for syntax errors, the position.
nlohmann::json LoadDescriptionFile(const std::string& path);

// The defaults described above.
CONFIG_FILE_INFO DefaultConfig();

}  // namespace tool
